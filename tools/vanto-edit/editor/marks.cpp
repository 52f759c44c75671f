#include "marks.h"

#include <algorithm>

namespace vtool::editor {

namespace {

void append_run(std::vector<Run> &out, int64_t length, bool changed) {
  if (length <= 0) return;
  if (!out.empty() && out.back().changed == changed) {
    out.back().length += length;
  } else {
    out.push_back({length, changed});
  }
}

}  // namespace

void ChangeMarks::reset(int64_t size) {
  nodes_.clear();
  free_.clear();
  root_ = size > 0 ? make(size, false) : -1;
}

int64_t ChangeMarks::size() const { return total(root_); }

int32_t ChangeMarks::make(int64_t length, bool changed) {
  seed_ ^= seed_ << 13;
  seed_ ^= seed_ >> 17;
  seed_ ^= seed_ << 5;
  const Node node{length, length, seed_, -1, -1, changed};
  if (!free_.empty()) {
    const int32_t index = free_.back();
    free_.pop_back();
    nodes_[static_cast<std::size_t>(index)] = node;
    return index;
  }
  nodes_.push_back(node);
  return static_cast<int32_t>(nodes_.size() - 1);
}

void ChangeMarks::release(int32_t node) {
  if (node < 0) return;
  // Iterative, so that a deep subtree cannot exhaust the stack.
  std::vector<int32_t> pending{node};
  while (!pending.empty()) {
    const int32_t current = pending.back();
    pending.pop_back();
    const Node &n = nodes_[static_cast<std::size_t>(current)];
    if (n.left >= 0) pending.push_back(n.left);
    if (n.right >= 0) pending.push_back(n.right);
    free_.push_back(current);
  }
}

void ChangeMarks::update(int32_t node) {
  Node &n = nodes_[static_cast<std::size_t>(node)];
  n.total = n.length + total(n.left) + total(n.right);
}

void ChangeMarks::split(int32_t node, int64_t position, int32_t &left, int32_t &right) {
  if (node < 0) {
    left = right = -1;
    return;
  }
  const int64_t left_total = total(nodes_[static_cast<std::size_t>(node)].left);
  const int64_t length = nodes_[static_cast<std::size_t>(node)].length;
  if (position <= left_total) {
    int32_t a = -1;
    int32_t b = -1;
    split(nodes_[static_cast<std::size_t>(node)].left, position, a, b);
    nodes_[static_cast<std::size_t>(node)].left = b;
    update(node);
    left = a;
    right = node;
  } else if (position >= left_total + length) {
    int32_t a = -1;
    int32_t b = -1;
    split(nodes_[static_cast<std::size_t>(node)].right, position - left_total - length, a, b);
    nodes_[static_cast<std::size_t>(node)].right = a;
    update(node);
    left = node;
    right = b;
  } else {
    // The cut falls inside this node's run: the node keeps the first part and
    // its left subtree; a new node takes the rest and the right subtree.
    const int64_t head = position - left_total;
    const int32_t tail = make(length - head, nodes_[static_cast<std::size_t>(node)].changed);
    Node &n = nodes_[static_cast<std::size_t>(node)];
    nodes_[static_cast<std::size_t>(tail)].right = n.right;
    n.right = -1;
    n.length = head;
    update(tail);
    update(node);
    left = node;
    right = tail;
  }
}

int32_t ChangeMarks::merge(int32_t left, int32_t right) {
  if (left < 0) return right;
  if (right < 0) return left;
  if (nodes_[static_cast<std::size_t>(left)].priority > nodes_[static_cast<std::size_t>(right)].priority) {
    const int32_t merged = merge(nodes_[static_cast<std::size_t>(left)].right, right);
    nodes_[static_cast<std::size_t>(left)].right = merged;
    update(left);
    return left;
  }
  const int32_t merged = merge(left, nodes_[static_cast<std::size_t>(right)].left);
  nodes_[static_cast<std::size_t>(right)].left = merged;
  update(right);
  return right;
}

int32_t ChangeMarks::build(const std::vector<Run> &runs) {
  int32_t tree = -1;
  for (const Run &run : runs) {
    if (run.length > 0) tree = merge(tree, make(run.length, run.changed));
  }
  return tree;
}

void ChangeMarks::collect(int32_t node, int64_t offset, int64_t begin, int64_t end, std::vector<Run> &out) const {
  // `offset`: where the subtree starts in the data.
  while (node >= 0 && offset < end && offset + total(node) > begin) {
    const Node &n = nodes_[static_cast<std::size_t>(node)];
    const int64_t own = offset + total(n.left);
    if (begin < own) collect(n.left, offset, begin, end, out);
    const int64_t from = std::max(begin, own);
    const int64_t to = std::min(end, own + n.length);
    append_run(out, to - from, n.changed);
    offset = own + n.length;
    node = n.right;
  }
}

std::vector<Run> ChangeMarks::runs(int64_t offset, int64_t length) const {
  std::vector<Run> out;
  if (length > 0) collect(root_, 0, offset, offset + length, out);
  return out;
}

std::vector<Run> ChangeMarks::cut(int64_t offset, int64_t length) {
  int32_t left = -1;
  int32_t rest = -1;
  int32_t middle = -1;
  int32_t right = -1;
  split(root_, offset, left, rest);
  split(rest, length, middle, right);
  std::vector<Run> removed;
  collect(middle, 0, 0, length, removed);
  release(middle);
  root_ = merge(left, right);
  return removed;
}

void ChangeMarks::paste(int64_t offset, const std::vector<Run> &runs) {
  int32_t left = -1;
  int32_t right = -1;
  split(root_, offset, left, right);
  root_ = merge(merge(left, build(runs)), right);
}

MarkOp ChangeMarks::apply(const MarkOp &op) {
  const int64_t size = this->size();
  const int64_t offset = std::clamp<int64_t>(op.offset, 0, size);
  switch (op.kind) {
    case MarkOp::Insert: {
      paste(offset, op.runs);
      int64_t length = 0;
      for (const Run &run : op.runs) length += std::max<int64_t>(run.length, 0);
      return {MarkOp::Erase, offset, length, {}};
    }
    case MarkOp::Erase: {
      const int64_t length = std::clamp<int64_t>(op.length, 0, size - offset);
      return {MarkOp::Insert, offset, 0, cut(offset, length)};
    }
    case MarkOp::Assign: {
      int64_t length = 0;
      for (const Run &run : op.runs) length += std::max<int64_t>(run.length, 0);
      length = std::min(length, size - offset);
      std::vector<Run> before = cut(offset, length);
      std::vector<Run> after;
      int64_t left = length;
      for (const Run &run : op.runs) {
        const int64_t take = std::min(std::max<int64_t>(run.length, 0), left);
        append_run(after, take, run.changed);
        left -= take;
      }
      paste(offset, after);
      return {MarkOp::Assign, offset, 0, std::move(before)};
    }
  }
  return {};
}

}  // namespace vtool::editor
