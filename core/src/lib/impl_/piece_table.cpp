// The B+-tree of pieces behind every model.
#include "impl_/piece_table.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace vanto::internal {

namespace {

bool fail(ContinuityBreak *brk, int64_t expected, int64_t got) {
  if (brk != nullptr) *brk = ContinuityBreak{true, expected, got};
  return false;
}

}  // namespace

int64_t PieceTable::leaf_length(const Leaf *leaf) {
  int64_t sum = 0;
  for (int i = 0; i < leaf->count; ++i) sum += leaf->pieces[i].length;
  return sum;
}

int64_t PieceTable::recorded_length(const Node *node) const {
  return node->parent == nullptr ? total_ : node->parent->lengths[node->slot];
}

int64_t PieceTable::offset_of(Pos pos) const {
  if (pos.leaf == nullptr) return total_;
  int64_t offset = 0;
  for (int i = 0; i < pos.index; ++i) offset += pos.leaf->pieces[i].length;
  for (const Node *node = pos.leaf; node->parent != nullptr; node = node->parent) {
    const Inner *parent = node->parent;
    for (int i = 0; i < node->slot; ++i) offset += parent->lengths[i];
  }
  return offset;
}

int64_t PieceTable::rank_of(Pos pos) const {
  if (pos.leaf == nullptr) return count_;
  int64_t rank = pos.index;
  for (const Node *node = pos.leaf; node->parent != nullptr; node = node->parent) {
    const Inner *parent = node->parent;
    for (int i = 0; i < node->slot; ++i) rank += parent->counts[i];
  }
  return rank;
}

PieceTable::Pos PieceTable::at_rank(int64_t rank) const {
  if (rank < 0 || rank >= count_) return end_pos();
  const Node *node = root_;
  while (!node->leaf) {
    const Inner *inner = static_cast<const Inner *>(node);
    int i = 0;
    while (i + 1 < inner->count && rank >= inner->counts[i]) rank -= inner->counts[i++];
    node = inner->children[i];
  }
  return Pos{const_cast<Leaf *>(static_cast<const Leaf *>(node)), static_cast<int>(rank)};
}

void PieceTable::clear() {
  if (root_ != nullptr) {
    // Leaves are freed along their chain; inner nodes level by level.  No
    // piece needs any work of its own.
    std::vector<Inner *> level;
    for (Leaf *leaf = first_; leaf != nullptr;) {
      Leaf *next = leaf->next;
      if (leaf->parent != nullptr && leaf->slot == 0) level.push_back(leaf->parent);
      delete leaf;
      leaf = next;
    }
    while (!level.empty()) {
      std::vector<Inner *> above;
      for (Inner *inner : level) {
        if (inner->parent != nullptr && inner->slot == 0) above.push_back(inner->parent);
        delete inner;
      }
      level.swap(above);
    }
  }
  root_ = nullptr;
  first_ = last_ = nullptr;
  total_ = 0;
  count_ = 0;
}

int PieceTable::height() const {
  int h = 0;
  for (const Node *node = root_; node != nullptr;
       node = node->leaf ? nullptr : static_cast<const Inner *>(node)->children[0]) {
    ++h;
  }
  return h;
}

PieceTable::Pos PieceTable::find_covering(int64_t target, int64_t *start_out, ContinuityBreak *brk) const {
  if (root_ == nullptr || target < 0 || target > total_) return end_pos();
  const Node *node = root_;
  int64_t start = 0;
  while (!node->leaf) {
    const Inner *inner = static_cast<const Inner *>(node);
    int i = 0;
    // The first child whose closed range reaches the target.
    while (i + 1 < inner->count && start + inner->lengths[i] < target) start += inner->lengths[i++];
    node = inner->children[i];
  }
  const Leaf *leaf = static_cast<const Leaf *>(node);
  int64_t piece_start = start;
  for (int i = 0; i < leaf->count; ++i) {
    if (target <= piece_start + leaf->pieces[i].length) {
      if (start_out != nullptr) *start_out = piece_start;
      return Pos{const_cast<Leaf *>(leaf), i};
    }
    piece_start += leaf->pieces[i].length;
  }
  // The nodes above lead here, but the pieces end before the target: the
  // leaf holds fewer bytes than recorded for it.
  fail(brk, recorded_length(leaf), leaf_length(leaf));
  return end_pos();
}

void PieceTable::grow(Node *node, int64_t length, int64_t count) {
  for (; node->parent != nullptr; node = node->parent) {
    node->parent->lengths[node->slot] += length;
    node->parent->counts[node->slot] += count;
  }
  total_ += length;
  count_ += count;
}

void PieceTable::renumber(Inner *node, int from) {
  for (int i = from; i < node->count; ++i) {
    node->children[i]->slot = static_cast<uint16_t>(i);
    node->children[i]->parent = node;
  }
}

// A new root above the old one, so that the old root can get a sibling.
void PieceTable::grow_root() {
  auto *root = new Inner();
  root->leaf = false;
  root->count = 1;
  root->children[0] = root_;
  root->lengths[0] = total_;
  root->counts[0] = count_;
  renumber(root, 0);
  root_ = root;
}

// The child's bytes and pieces are new to everything above `parent`: they
// are added along the path once the child is in place.
void PieceTable::insert_child(Inner *parent, int slot, Node *child, int64_t length, int64_t count) {
  if (parent->count == kInnerMax) {
    // Split the full node; the new right part goes in after it.  Near the
    // end the right part gets only the least it may hold, so that nodes
    // filled from left to right stay three quarters full.
    auto *right = new Inner();
    right->leaf = false;
    const int half = slot >= kInnerMax - kInnerMin ? kInnerMax - kInnerMin : kInnerMax / 2;
    int64_t moved_length = 0;
    int64_t moved_count = 0;
    for (int i = half; i < kInnerMax; ++i) {
      const int j = i - half;
      right->children[j] = parent->children[i];
      right->lengths[j] = parent->lengths[i];
      right->counts[j] = parent->counts[i];
      moved_length += parent->lengths[i];
      moved_count += parent->counts[i];
    }
    right->count = static_cast<uint16_t>(kInnerMax - half);
    parent->count = static_cast<uint16_t>(half);
    renumber(right, 0);
    if (parent->parent == nullptr) grow_root();
    grow(parent, -moved_length, -moved_count);
    insert_child(parent->parent, parent->slot + 1, right, moved_length, moved_count);
    if (slot > half) {
      parent = right;
      slot -= half;
    }
  }
  for (int i = parent->count; i > slot; --i) {
    parent->children[i] = parent->children[i - 1];
    parent->lengths[i] = parent->lengths[i - 1];
    parent->counts[i] = parent->counts[i - 1];
  }
  parent->children[slot] = child;
  parent->lengths[slot] = length;
  parent->counts[slot] = count;
  ++parent->count;
  renumber(parent, slot);
  grow(parent, length, count);
}

PieceTable::Leaf *PieceTable::split_leaf(Leaf *leaf, int half) {
  auto *right = new Leaf();
  const int moved = leaf->count - half;
  std::memcpy(right->pieces, leaf->pieces + half, sizeof(Piece) * static_cast<size_t>(moved));
  right->count = static_cast<uint16_t>(moved);
  leaf->count = static_cast<uint16_t>(half);
  right->prev = leaf;
  right->next = leaf->next;
  if (leaf->next != nullptr) leaf->next->prev = right;
  leaf->next = right;
  if (last_ == leaf) last_ = right;
  const int64_t moved_length = leaf_length(right);
  if (leaf->parent == nullptr) grow_root();
  grow(leaf, -moved_length, -moved);
  insert_child(leaf->parent, leaf->slot + 1, right, moved_length, moved);
  return right;
}

// A full leaf first hands pieces to a neighbour under the same parent that
// has room, and splits only when neither has: leaves filled by random
// inserts then stay about four fifths full instead of two thirds.  Returns
// where the insert at `pos` goes now.
PieceTable::Pos PieceTable::make_room(Pos pos) {
  Leaf *leaf = pos.leaf;
  Inner *parent = leaf->parent;
  if (parent == nullptr) return pos;
  const int slot = leaf->slot;
  if (slot + 1 < parent->count) {
    Leaf *right = static_cast<Leaf *>(parent->children[slot + 1]);
    const int n = (kLeafMax - right->count + 1) / 2;
    if (n > 0 && pos.index < leaf->count) {
      int64_t moved = 0;
      for (int i = leaf->count - n; i < leaf->count; ++i) moved += leaf->pieces[i].length;
      std::memmove(right->pieces + n, right->pieces, sizeof(Piece) * right->count);
      std::memcpy(right->pieces, leaf->pieces + leaf->count - n, sizeof(Piece) * static_cast<size_t>(n));
      leaf->count = static_cast<uint16_t>(leaf->count - n);
      right->count = static_cast<uint16_t>(right->count + n);
      parent->lengths[slot] -= moved;
      parent->counts[slot] -= n;
      parent->lengths[slot + 1] += moved;
      parent->counts[slot + 1] += n;
      if (pos.index > leaf->count) return Pos{right, pos.index - leaf->count};
      return pos;
    }
  }
  if (slot > 0) {
    Leaf *left = static_cast<Leaf *>(parent->children[slot - 1]);
    const int n = (kLeafMax - left->count + 1) / 2;
    if (n > 0 && pos.index > 0) {
      const int take = std::min(n, pos.index);
      int64_t moved = 0;
      for (int i = 0; i < take; ++i) moved += leaf->pieces[i].length;
      std::memcpy(left->pieces + left->count, leaf->pieces, sizeof(Piece) * static_cast<size_t>(take));
      std::memmove(leaf->pieces, leaf->pieces + take, sizeof(Piece) * static_cast<size_t>(leaf->count - take));
      left->count = static_cast<uint16_t>(left->count + take);
      leaf->count = static_cast<uint16_t>(leaf->count - take);
      parent->lengths[slot - 1] += moved;
      parent->counts[slot - 1] += take;
      parent->lengths[slot] -= moved;
      parent->counts[slot] -= take;
      return Pos{leaf, pos.index - take};
    }
  }
  return pos;
}

PieceTable::Pos PieceTable::insert(Pos pos, Piece piece) {
  if (root_ == nullptr) {
    auto *leaf = new Leaf();
    root_ = first_ = last_ = leaf;
    pos = Pos{leaf, 0};
  } else if (pos.leaf == nullptr) {
    pos = Pos{last_, last_->count};
  }
  if (pos.leaf->count == kLeafMax) pos = make_room(pos);
  if (pos.leaf->count == kLeafMax) {
    // Edits that move left to right (a replace-all, appends) insert near the
    // end of a leaf: the right part then gets only the least it may hold,
    // so that the leaves they fill stay three quarters full.
    const int half = pos.index >= kLeafMax - kLeafMin ? kLeafMax - kLeafMin : kLeafMax / 2;
    Leaf *right = split_leaf(pos.leaf, half);
    if (pos.index > pos.leaf->count) pos = Pos{right, pos.index - pos.leaf->count};
  }
  Leaf *leaf = pos.leaf;
  std::memmove(leaf->pieces + pos.index + 1, leaf->pieces + pos.index,
               sizeof(Piece) * static_cast<size_t>(leaf->count - pos.index));
  leaf->pieces[pos.index] = piece;
  ++leaf->count;
  grow(leaf, piece.length, 1);
  return pos;
}

PieceTable::Pos PieceTable::split(Pos pos, int64_t delta) {
  Piece &first = piece(pos);
  const Piece second{first.length - delta, first.change_offset + delta, first.change};
  first.length = delta;
  grow(pos.leaf, -second.length, 0);
  return insert(Pos{pos.leaf, pos.index + 1}, second);
}

void PieceTable::trim_front(Pos pos, int64_t bytes) {
  Piece &p = piece(pos);
  p.length -= bytes;
  p.change_offset += bytes;
  grow(pos.leaf, -bytes, 0);
}

PieceTable::Pos PieceTable::erase(Pos pos) {
  Leaf *leaf = pos.leaf;
  const int64_t length = leaf->pieces[pos.index].length;
  std::memmove(leaf->pieces + pos.index, leaf->pieces + pos.index + 1,
               sizeof(Piece) * static_cast<size_t>(leaf->count - pos.index - 1));
  --leaf->count;
  grow(leaf, -length, -1);
  if (leaf->count >= kLeafMin) {
    if (pos.index < leaf->count) return pos;
    return Pos{leaf->next, 0};
  }
  // The leaf runs low: rebalancing may move the following piece, so it is
  // found again by its rank.
  const int64_t rank = pos.index < leaf->count ? rank_of(pos)
                       : leaf->next != nullptr ? rank_of(Pos{leaf->next, 0})
                                               : count_;
  rebalance(leaf);
  return at_rank(rank);
}

void PieceTable::remove_child(Inner *parent, int slot) {
  for (int i = slot; i + 1 < parent->count; ++i) {
    parent->children[i] = parent->children[i + 1];
    parent->lengths[i] = parent->lengths[i + 1];
    parent->counts[i] = parent->counts[i + 1];
  }
  --parent->count;
  renumber(parent, slot);
}

void PieceTable::rebalance(Node *node) {
  if (node->parent == nullptr) {
    // The root: an empty leaf ends the tree, an inner root with one child
    // hands over to it.
    if (node->leaf && node->count == 0) {
      delete static_cast<Leaf *>(node);
      root_ = nullptr;
      first_ = last_ = nullptr;
    } else if (!node->leaf && node->count == 1) {
      Inner *inner = static_cast<Inner *>(node);
      root_ = inner->children[0];
      root_->parent = nullptr;
      root_->slot = 0;
      delete inner;
    }
    return;
  }
  const int min = node->leaf ? kLeafMin : kInnerMin;
  const int max = node->leaf ? kLeafMax : kInnerMax;
  if (node->count >= min) return;
  Inner *parent = node->parent;
  // Work on a pair of neighbours (left, right) under the same parent.
  const int left_slot = node->slot > 0 ? node->slot - 1 : node->slot;
  if (parent->count < 2) return;  // cannot happen below a sound root
  Node *left = parent->children[left_slot];
  Node *right = parent->children[left_slot + 1];
  if (left->count + right->count <= max) {
    // Merge right into left.
    if (node->leaf) {
      Leaf *l = static_cast<Leaf *>(left);
      Leaf *r = static_cast<Leaf *>(right);
      std::memcpy(l->pieces + l->count, r->pieces, sizeof(Piece) * r->count);
      l->count = static_cast<uint16_t>(l->count + r->count);
      l->next = r->next;
      if (r->next != nullptr) r->next->prev = l;
      if (last_ == r) last_ = l;
      delete r;
    } else {
      Inner *l = static_cast<Inner *>(left);
      Inner *r = static_cast<Inner *>(right);
      for (int i = 0; i < r->count; ++i) {
        l->children[l->count + i] = r->children[i];
        l->lengths[l->count + i] = r->lengths[i];
        l->counts[l->count + i] = r->counts[i];
      }
      const int from = l->count;
      l->count = static_cast<uint16_t>(l->count + r->count);
      renumber(l, from);
      delete r;
    }
    parent->lengths[left_slot] += parent->lengths[left_slot + 1];
    parent->counts[left_slot] += parent->counts[left_slot + 1];
    remove_child(parent, left_slot + 1);
    rebalance(parent);
    return;
  }
  // Borrow: even the two out.  Bytes and pieces move between two children
  // of one parent, so nothing above the parent changes.
  const int total = left->count + right->count;
  const int want_left = total / 2;
  if (node->leaf) {
    Leaf *l = static_cast<Leaf *>(left);
    Leaf *r = static_cast<Leaf *>(right);
    int64_t moved_length = 0;
    int64_t moved_count = 0;
    if (l->count < want_left) {
      const int n = want_left - l->count;
      std::memcpy(l->pieces + l->count, r->pieces, sizeof(Piece) * static_cast<size_t>(n));
      std::memmove(r->pieces, r->pieces + n, sizeof(Piece) * static_cast<size_t>(r->count - n));
      for (int i = 0; i < n; ++i) moved_length += l->pieces[l->count + i].length;
      l->count = static_cast<uint16_t>(l->count + n);
      r->count = static_cast<uint16_t>(r->count - n);
      moved_count = n;
    } else {
      const int n = l->count - want_left;
      std::memmove(r->pieces + n, r->pieces, sizeof(Piece) * r->count);
      std::memcpy(r->pieces, l->pieces + want_left, sizeof(Piece) * static_cast<size_t>(n));
      for (int i = 0; i < n; ++i) moved_length -= r->pieces[i].length;
      l->count = static_cast<uint16_t>(want_left);
      r->count = static_cast<uint16_t>(r->count + n);
      moved_count = -n;
    }
    parent->lengths[left_slot] += moved_length;
    parent->counts[left_slot] += moved_count;
    parent->lengths[left_slot + 1] -= moved_length;
    parent->counts[left_slot + 1] -= moved_count;
  } else {
    Inner *l = static_cast<Inner *>(left);
    Inner *r = static_cast<Inner *>(right);
    int64_t moved_length = 0;
    int64_t moved_count = 0;
    if (l->count < want_left) {
      const int n = want_left - l->count;
      for (int i = 0; i < n; ++i) {
        l->children[l->count + i] = r->children[i];
        l->lengths[l->count + i] = r->lengths[i];
        l->counts[l->count + i] = r->counts[i];
        moved_length += r->lengths[i];
        moved_count += r->counts[i];
      }
      for (int i = n; i < r->count; ++i) {
        r->children[i - n] = r->children[i];
        r->lengths[i - n] = r->lengths[i];
        r->counts[i - n] = r->counts[i];
      }
      const int from = l->count;
      l->count = static_cast<uint16_t>(l->count + n);
      r->count = static_cast<uint16_t>(r->count - n);
      renumber(l, from);
      renumber(r, 0);
    } else {
      const int n = l->count - want_left;
      for (int i = r->count - 1; i >= 0; --i) {
        r->children[i + n] = r->children[i];
        r->lengths[i + n] = r->lengths[i];
        r->counts[i + n] = r->counts[i];
      }
      for (int i = 0; i < n; ++i) {
        r->children[i] = l->children[want_left + i];
        r->lengths[i] = l->lengths[want_left + i];
        r->counts[i] = l->counts[want_left + i];
        moved_length -= r->lengths[i];
        moved_count -= r->counts[i];
      }
      l->count = static_cast<uint16_t>(want_left);
      r->count = static_cast<uint16_t>(r->count + n);
      renumber(r, 0);
    }
    parent->lengths[left_slot] += moved_length;
    parent->counts[left_slot] += moved_count;
    parent->lengths[left_slot + 1] -= moved_length;
    parent->counts[left_slot + 1] -= moved_count;
  }
}

bool PieceTable::check_node(const Node *node, int depth, int leaf_depth, int64_t *length,
                            int64_t *count, const Leaf **expected_leaf, int64_t offset,
                            ContinuityBreak *brk) const {
  const bool is_root = node == root_;
  const int min = is_root ? (node->leaf ? 1 : 2) : (node->leaf ? kLeafMin : kInnerMin);
  const int max = node->leaf ? kLeafMax : kInnerMax;
  if (node->count < min || node->count > max) return fail(brk, min, node->count);
  *length = 0;
  *count = 0;
  if (node->leaf) {
    const Leaf *leaf = static_cast<const Leaf *>(node);
    if (depth != leaf_depth) return fail(brk, leaf_depth, depth);
    if (leaf != *expected_leaf) return fail(brk, offset, -1);
    for (int i = 0; i < leaf->count; ++i) {
      const int64_t l = leaf->pieces[i].length;
      if (l < 0 || __builtin_add_overflow(*length, l, length)) return fail(brk, offset + *length, l);
    }
    *count = leaf->count;
    *expected_leaf = leaf->next;
    if (leaf->next != nullptr && leaf->next->prev != leaf) return fail(brk, offset, -1);
    return true;
  }
  const Inner *inner = static_cast<const Inner *>(node);
  for (int i = 0; i < inner->count; ++i) {
    const Node *child = inner->children[i];
    if (child->parent != inner || child->slot != i) return fail(brk, i, child->slot);
    int64_t l = 0;
    int64_t c = 0;
    if (!check_node(child, depth + 1, leaf_depth, &l, &c, expected_leaf, offset + *length, brk)) {
      return false;
    }
    if (l != inner->lengths[i]) return fail(brk, inner->lengths[i], l);
    if (c != inner->counts[i]) return fail(brk, inner->counts[i], c);
    if (__builtin_add_overflow(*length, l, length)) return fail(brk, *length, l);
    *count += c;
  }
  return true;
}

bool PieceTable::check(ContinuityBreak *brk) const {
  if (root_ == nullptr) {
    if (total_ != 0 || count_ != 0 || first_ != nullptr || last_ != nullptr) return fail(brk, 0, count_);
    return true;
  }
  if (root_->parent != nullptr) return fail(brk, 0, -1);
  if (first_ == nullptr || first_->prev != nullptr || last_ == nullptr || last_->next != nullptr) {
    return fail(brk, 0, -1);
  }
  const Leaf *expected_leaf = first_;
  int64_t length = 0;
  int64_t count = 0;
  if (!check_node(root_, 1, height(), &length, &count, &expected_leaf, 0, brk)) return false;
  if (expected_leaf != nullptr) return fail(brk, length, -1);
  if (length != total_) return fail(brk, total_, length);
  if (count != count_) return fail(brk, count_, count);
  return true;
}

}  // namespace vanto::internal
