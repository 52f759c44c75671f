// The ordered pieces of one model, behind one small interface.
//
// Everything that looks at a model's pieces (the model update, reads, undo's
// rebuild, the save, the printers and the model check) goes through this
// class, so that the representation can change without touching them.
// This version keeps the pieces in a doubly linked list with stored offsets.
#ifndef VANTO_EDIT_IMPL_SEGMENT_SEQUENCE_H
#define VANTO_EDIT_IMPL_SEGMENT_SEQUENCE_H

#include <cstdint>
#include <list>
#include <memory>

struct vanto_change_struct;

// One piece of the edited data: `computed_length` bytes at `computed_offset`,
// taken from the change's bytes (or, for a read piece, the backing file)
// starting at `change_offset`.
struct vanto_model_segment_struct {
  int64_t computed_offset = 0;
  int64_t computed_length = 0;
  int64_t change_offset = 0;
  std::shared_ptr<vanto_change_struct> change;
};

namespace vanto::internal {

using ModelSegment = vanto_model_segment_struct;

// Where a scan found the pieces out of order: the position it expected and
// the offset it found instead.
struct ContinuityBreak {
  bool broken = false;
  int64_t expected = 0;
  int64_t got = 0;
};

class SegmentSequence {
 public:
  using Pos = std::list<ModelSegment>::iterator;
  using ConstPos = std::list<ModelSegment>::const_iterator;

  bool empty() const { return pieces_.empty(); }
  int64_t count() const { return static_cast<int64_t>(pieces_.size()); }

  Pos begin() { return pieces_.begin(); }
  Pos end() { return pieces_.end(); }
  ConstPos begin() const { return pieces_.begin(); }
  ConstPos end() const { return pieces_.end(); }

  // Size of the data the pieces make up: end of the last piece, or 0.
  int64_t total_length() const {
    if (pieces_.empty()) return 0;
    const ModelSegment &last = pieces_.back();
    return last.computed_offset + last.computed_length;
  }

  void clear() { pieces_.clear(); }
  void push_back(ModelSegment segment) { pieces_.push_back(std::move(segment)); }

  // The first piece whose closed range [offset, offset + length] holds
  // `target`, scanning from the start; end() when none does.  A target on the
  // boundary between two pieces is held by the earlier one.  A piece that
  // does not start where its predecessor ended stops the scan and is
  // reported through `brk`.
  Pos find_covering(int64_t target, ContinuityBreak *brk) {
    int64_t expected = 0;
    for (auto it = pieces_.begin(); it != pieces_.end(); ++it) {
      if (it->computed_offset != expected) {
        if (brk != nullptr) *brk = ContinuityBreak{true, expected, it->computed_offset};
        return pieces_.end();
      }
      if (expected <= target && target <= expected + it->computed_length) return it;
      expected += it->computed_length;
    }
    return pieces_.end();
  }
  ConstPos find_covering(int64_t target, ContinuityBreak *brk) const {
    return const_cast<SegmentSequence *>(this)->find_covering(target, brk);
  }

  // Splits the piece at `pos` after its first `delta` bytes (0 < delta <
  // length); both halves show the same change.  Returns the second half.
  Pos split(Pos pos, int64_t delta) {
    ModelSegment second{pos->computed_offset + delta, pos->computed_length - delta,
                        pos->change_offset + delta, pos->change};
    pos->computed_length = delta;
    return pieces_.insert(std::next(pos), std::move(second));
  }

  // Inserts a piece before `pos` and returns its position.
  Pos insert(Pos pos, ModelSegment segment) { return pieces_.insert(pos, std::move(segment)); }

  // Removes the piece at `pos` (releasing its change) and returns the next.
  Pos erase(Pos pos) { return pieces_.erase(pos); }

  // Moves every piece from `pos` to the end by `delta` bytes.
  void shift_from(Pos pos, int64_t delta) {
    for (; pos != pieces_.end(); ++pos) pos->computed_offset += delta;
  }

 private:
  std::list<ModelSegment> pieces_;
};

}  // namespace vanto::internal

#endif  // VANTO_EDIT_IMPL_SEGMENT_SEQUENCE_H
