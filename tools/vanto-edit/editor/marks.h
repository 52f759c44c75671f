// Which bytes of the edited data changed since the last save, in the
// coordinates of the data as it is now.
//
// The data is a sequence of runs, each clean or changed, kept in a treap
// ordered by position (each node knows the length of its subtree), so that
// inserting, removing and re-marking a range and listing the runs of a window
// take logarithmic time in the number of runs, which grows with the number of
// edits, never with the size of the data.  Every operation returns its
// inverse, so the editor's undo and redo can put the marks back exactly.
#ifndef VANTO_EDIT_TOOL_EDITOR_MARKS_H
#define VANTO_EDIT_TOOL_EDITOR_MARKS_H

#include <cstdint>
#include <vector>

namespace vtool::editor {

struct Run {
  int64_t length = 0;
  bool changed = false;
};

// One step on the marks, and what undoes it.
struct MarkOp {
  enum Kind : uint8_t { Insert, Erase, Assign } kind = Insert;
  int64_t offset = 0;
  int64_t length = 0;     // Erase: bytes removed
  std::vector<Run> runs;  // Insert, Assign: the runs put at `offset`
};

class ChangeMarks {
 public:
  explicit ChangeMarks(int64_t size = 0) { reset(size); }

  // All `size` bytes clean (after opening or saving).
  void reset(int64_t size);
  int64_t size() const;

  // The primitive steps; each returns its inverse.
  MarkOp apply(const MarkOp &op);

  // Shorthands for edits: new bytes inserted, bytes removed, bytes overwritten.
  MarkOp inserted(int64_t offset, int64_t length) { return apply({MarkOp::Insert, offset, 0, {{length, true}}}); }
  MarkOp erased(int64_t offset, int64_t length) { return apply({MarkOp::Erase, offset, length, {}}); }
  MarkOp overwritten(int64_t offset, int64_t length) { return apply({MarkOp::Assign, offset, 0, {{length, true}}}); }

  // The runs covering [offset, offset + length), cut to it; neighbours of the
  // same kind joined.
  std::vector<Run> runs(int64_t offset, int64_t length) const;
  // Number of nodes (runs, not joined) in the tree.
  int64_t node_count() const { return static_cast<int64_t>(nodes_.size() - free_.size()); }

 private:
  struct Node {
    int64_t length;
    int64_t total;
    uint32_t priority;
    int32_t left;
    int32_t right;
    bool changed;
  };

  int32_t make(int64_t length, bool changed);
  void release(int32_t node);
  int64_t total(int32_t node) const { return node < 0 ? 0 : nodes_[static_cast<std::size_t>(node)].total; }
  void update(int32_t node);
  // Splits `node` into the first `position` bytes and the rest.
  void split(int32_t node, int64_t position, int32_t &left, int32_t &right);
  int32_t merge(int32_t left, int32_t right);
  int32_t build(const std::vector<Run> &runs);
  void collect(int32_t node, int64_t offset, int64_t begin, int64_t end, std::vector<Run> &out) const;
  // Removes [offset, offset + length) and returns its runs.
  std::vector<Run> cut(int64_t offset, int64_t length);
  void paste(int64_t offset, const std::vector<Run> &runs);

  std::vector<Node> nodes_;
  std::vector<int32_t> free_;
  int32_t root_ = -1;
  uint32_t seed_ = 0x9e3779b9u;
};

}  // namespace vtool::editor

#endif  // VANTO_EDIT_TOOL_EDITOR_MARKS_H
