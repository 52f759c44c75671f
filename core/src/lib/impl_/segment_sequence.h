// The ordered pieces of one model, behind one small interface.
//
// Everything that looks at a model's pieces (the model update, reads, undo's
// rebuild, the save, the printers and the model check) goes through this
// class, so that the representation can change without touching them.
//
// Representation: the pieces are kept in chunks of at most kChunkMax pieces,
// in order.  Each piece stores only its length and its source; where a piece
// starts in the edited data is derived: the index keeps the start offset of
// every chunk, and a piece's offset is its chunk's start plus the lengths
// before it in the chunk.  Finding the piece at an offset is a binary search
// over the chunk starts plus a scan of one chunk; inserting, splitting and
// removing a piece touch one chunk and move the starts of the chunks after
// it (a tight loop over one integer per chunk).  Nothing is shifted piece by
// piece, and reads walk the pieces in order from any position.
#ifndef VANTO_EDIT_IMPL_SEGMENT_SEQUENCE_H
#define VANTO_EDIT_IMPL_SEGMENT_SEQUENCE_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <vector>

struct vanto_change_struct;

// One piece of the edited data as the model's users see it: `computed_length`
// bytes at `computed_offset`, taken from the change's bytes (or, for a read
// piece, the backing file) starting at `change_offset`.
struct vanto_model_segment_struct {
  int64_t computed_offset = 0;
  int64_t computed_length = 0;
  int64_t change_offset = 0;
  std::shared_ptr<vanto_change_struct> change;
};

namespace vanto::internal {

using ModelSegment = vanto_model_segment_struct;

// Where the pieces were found out of order: the position expected and the
// offset found instead.  Filled by SegmentSequence::check().
struct ContinuityBreak {
  bool broken = false;
  int64_t expected = 0;
  int64_t got = 0;
};

class SegmentSequence {
 public:
  static constexpr size_t kChunkMax = 128;

  // A piece as stored: its start is derived, not kept.
  struct Piece {
    int64_t length = 0;
    int64_t change_offset = 0;
    std::shared_ptr<vanto_change_struct> change;
  };

  // Position of one piece: chunk number and index within the chunk.  The end
  // position is {number of chunks, 0}.
  struct Pos {
    size_t chunk = 0;
    size_t index = 0;
    bool operator==(const Pos &) const = default;
  };

  // In-order walk that yields each piece with its derived offset.
  class ConstIterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = ModelSegment;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = ModelSegment;

    ConstIterator() = default;
    ConstIterator(const SegmentSequence *seq, Pos pos, int64_t offset)
        : seq_(seq), pos_(pos), offset_(offset) {}
    ModelSegment operator*() const {
      const Piece &p = seq_->piece(pos_);
      return ModelSegment{offset_, p.length, p.change_offset, p.change};
    }
    ConstIterator &operator++() {
      // Saturating: a walk over a broken index (printed for diagnosis) must
      // not overflow.
      if (__builtin_add_overflow(offset_, seq_->piece(pos_).length, &offset_)) offset_ = INT64_MAX;
      pos_ = seq_->next(pos_);
      // Each chunk starts where the index says, so a walk shows the index
      // as it is, mistakes included.
      if (pos_.index == 0 && pos_.chunk < seq_->starts_.size()) offset_ = seq_->starts_[pos_.chunk];
      return *this;
    }
    ConstIterator operator++(int) {
      ConstIterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const ConstIterator &other) const { return pos_ == other.pos_; }
    bool operator!=(const ConstIterator &other) const { return !(pos_ == other.pos_); }
    Pos pos() const { return pos_; }

   private:
    const SegmentSequence *seq_ = nullptr;
    Pos pos_{};
    int64_t offset_ = 0;
  };

  bool empty() const { return count_ == 0; }
  int64_t count() const { return count_; }
  int64_t total_length() const { return total_; }

  ConstIterator begin() const { return ConstIterator(this, Pos{0, 0}, starts_.empty() ? 0 : starts_[0]); }
  ConstIterator end() const { return ConstIterator(this, end_pos(), total_); }
  // Walk from the piece at `pos`, whose start is `offset`.
  ConstIterator iterate_from(Pos pos, int64_t offset) const { return ConstIterator(this, pos, offset); }

  Pos end_pos() const { return Pos{chunks_.size(), 0}; }
  Pos next(Pos pos) const {
    if (++pos.index == chunks_[pos.chunk].pieces.size()) return Pos{pos.chunk + 1, 0};
    return pos;
  }
  const Piece &piece(Pos pos) const { return chunks_[pos.chunk].pieces[pos.index]; }
  Piece &piece(Pos pos) { return chunks_[pos.chunk].pieces[pos.index]; }

  // Where the piece at `pos` starts in the edited data.
  int64_t offset_of(Pos pos) const {
    if (pos.chunk == chunks_.size()) return total_;
    int64_t offset = starts_[pos.chunk];
    const auto &pieces = chunks_[pos.chunk].pieces;
    for (size_t i = 0; i < pos.index; ++i) offset += pieces[i].length;
    return offset;
  }

  void clear() {
    chunks_.clear();
    starts_.clear();
    total_ = 0;
    count_ = 0;
  }

  void push_back(int64_t length, int64_t change_offset, std::shared_ptr<vanto_change_struct> change) {
    insert(end_pos(), Piece{length, change_offset, std::move(change)});
  }

  // The first piece whose closed range [start, start + length] holds
  // `target`; a target on the boundary between two pieces is held by the
  // earlier one.  Returns end_pos() when none does (target negative or
  // beyond the end).  `start_out` receives the piece's start.  The chunk
  // searched is checked against its neighbour and its own pieces on the
  // way; a mismatch (the index lost its continuity) is reported through
  // `brk` with end_pos() as the result.
  Pos find_covering(int64_t target, int64_t *start_out, ContinuityBreak *brk) const {
    if (chunks_.empty() || target < 0 || target > total_) return end_pos();
    // First chunk whose end reaches the target.
    size_t lo = 0;
    size_t hi = chunks_.size() - 1;
    while (lo < hi) {
      const size_t mid = lo + (hi - lo) / 2;
      if (starts_[mid] + chunks_[mid].length >= target) {
        hi = mid;
      } else {
        lo = mid + 1;
      }
    }
    const int64_t expected = lo == 0 ? 0 : starts_[lo - 1] + chunks_[lo - 1].length;
    if (starts_[lo] != expected) {
      fail(brk, expected, starts_[lo]);
      return end_pos();
    }
    int64_t start = starts_[lo];
    const auto &pieces = chunks_[lo].pieces;
    for (size_t i = 0; i < pieces.size(); ++i) {
      if (target <= start + pieces[i].length) {
        if (start_out != nullptr) *start_out = start;
        return Pos{lo, i};
      }
      start += pieces[i].length;
    }
    // The pieces end before the chunk's recorded end.
    fail(brk, starts_[lo] + chunks_[lo].length, start);
    return end_pos();
  }

  // Inserts a piece before `pos` and returns its position.
  Pos insert(Pos pos, Piece piece) {
    const int64_t length = piece.length;
    if (chunks_.empty()) {
      chunks_.push_back(Chunk{});
      starts_.push_back(0);
      pos = Pos{0, 0};
    } else if (pos.chunk == chunks_.size()) {
      pos = Pos{chunks_.size() - 1, chunks_.back().pieces.size()};
    }
    Chunk &chunk = chunks_[pos.chunk];
    chunk.pieces.insert(chunk.pieces.begin() + static_cast<std::ptrdiff_t>(pos.index), std::move(piece));
    chunk.length += length;
    ++count_;
    grow(pos.chunk, length);
    return rebalance(pos);
  }

  // Splits the piece at `pos` after its first `delta` bytes (0 < delta <
  // length); both halves show the same source.  Returns the second half.
  Pos split(Pos pos, int64_t delta) {
    Piece &first = piece(pos);
    Piece second{first.length - delta, first.change_offset + delta, first.change};
    first.length = delta;
    // The bytes stay in the same chunk: its length and the starts after it
    // do not change.
    Chunk &chunk = chunks_[pos.chunk];
    chunk.pieces.insert(chunk.pieces.begin() + static_cast<std::ptrdiff_t>(pos.index) + 1, std::move(second));
    ++count_;
    return rebalance(Pos{pos.chunk, pos.index + 1});
  }

  // Removes the piece at `pos` (releasing its source) and returns the
  // position of the piece that followed it.
  Pos erase(Pos pos) {
    Chunk &chunk = chunks_[pos.chunk];
    const int64_t length = chunk.pieces[pos.index].length;
    chunk.pieces.erase(chunk.pieces.begin() + static_cast<std::ptrdiff_t>(pos.index));
    chunk.length -= length;
    --count_;
    grow(pos.chunk, -length);
    if (chunk.pieces.empty()) {
      chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(pos.chunk));
      starts_.erase(starts_.begin() + static_cast<std::ptrdiff_t>(pos.chunk));
      return Pos{pos.chunk, 0};
    }
    if (pos.index == chunk.pieces.size()) return Pos{pos.chunk + 1, 0};
    return pos;
  }

  // Drops the first `bytes` bytes of the piece at `pos`.
  void trim_front(Pos pos, int64_t bytes) {
    Piece &p = piece(pos);
    p.length -= bytes;
    p.change_offset += bytes;
    chunks_[pos.chunk].length -= bytes;
    grow(pos.chunk, -bytes);
  }

  // Verifies the index: every chunk non-empty and within its limit, chunk
  // lengths equal to the sums of their pieces, chunk starts contiguous from
  // 0, totals right.  Reports the first start that does not follow.
  bool check(ContinuityBreak *brk) const {
    int64_t expected = 0;
    int64_t pieces = 0;
    for (size_t c = 0; c < chunks_.size(); ++c) {
      const Chunk &chunk = chunks_[c];
      if (starts_[c] != expected) return fail(brk, expected, starts_[c]);
      if (chunk.pieces.empty() || chunk.pieces.size() > kChunkMax) return fail(brk, expected, starts_[c]);
      int64_t sum = 0;
      for (const Piece &p : chunk.pieces) {
        if (p.length < 0 || __builtin_add_overflow(sum, p.length, &sum)) {
          return fail(brk, expected + sum, p.length);
        }
      }
      if (sum != chunk.length) return fail(brk, chunk.length, sum);
      if (__builtin_add_overflow(expected, sum, &expected)) return fail(brk, expected, sum);
      pieces += static_cast<int64_t>(chunk.pieces.size());
    }
    if (expected != total_ || pieces != count_) return fail(brk, expected, total_);
    return true;
  }

 private:
  friend struct SegmentSequenceTestAccess;  // white-box tests corrupt the index on purpose

  struct Chunk {
    std::vector<Piece> pieces;
    int64_t length = 0;
  };

  static bool fail(ContinuityBreak *brk, int64_t expected, int64_t got) {
    if (brk != nullptr) *brk = ContinuityBreak{true, expected, got};
    return false;
  }

  // Chunk `chunk` grew by `delta` bytes: every later chunk starts that much
  // further on.
  void grow(size_t chunk, int64_t delta) {
    total_ += delta;
    if (delta == 0) return;
    int64_t *starts = starts_.data();
    for (size_t c = chunk + 1, n = starts_.size(); c < n; ++c) starts[c] += delta;
  }

  // Splits a chunk that grew past its limit into two halves; returns where
  // the piece at `pos` is now.
  Pos rebalance(Pos pos) {
    Chunk &chunk = chunks_[pos.chunk];
    if (chunk.pieces.size() <= kChunkMax) return pos;
    const size_t half = chunk.pieces.size() / 2;
    Chunk upper;
    upper.pieces.assign(std::make_move_iterator(chunk.pieces.begin() + static_cast<std::ptrdiff_t>(half)),
                        std::make_move_iterator(chunk.pieces.end()));
    chunk.pieces.resize(half);
    for (const Piece &p : upper.pieces) upper.length += p.length;
    chunk.length -= upper.length;
    const int64_t upper_start = starts_[pos.chunk] + chunk.length;
    chunks_.insert(chunks_.begin() + static_cast<std::ptrdiff_t>(pos.chunk) + 1, std::move(upper));
    starts_.insert(starts_.begin() + static_cast<std::ptrdiff_t>(pos.chunk) + 1, upper_start);
    if (pos.index >= half) return Pos{pos.chunk + 1, pos.index - half};
    return pos;
  }

  std::vector<Chunk> chunks_;
  std::vector<int64_t> starts_;
  int64_t total_ = 0;
  int64_t count_ = 0;
};

}  // namespace vanto::internal

#endif  // VANTO_EDIT_IMPL_SEGMENT_SEQUENCE_H
