// White-box access to a model's piece index, for tests that break it on
// purpose and check that the library notices.
#ifndef VANTO_TEST_SEGMENT_SEQUENCE_ACCESS_H
#define VANTO_TEST_SEGMENT_SEQUENCE_ACCESS_H

#include "impl_/segment_sequence.h"

namespace vanto::internal {

struct SegmentSequenceTestAccess {
  // Where the index says chunk `chunk` starts.
  static int64_t &start(SegmentSequence &seq, size_t chunk) { return seq.starts_[chunk]; }
  // The length the index records for chunk `chunk`.
  static int64_t &chunk_length(SegmentSequence &seq, size_t chunk) { return seq.chunks_[chunk].length; }
  // The stored piece number `index` (0-based, in order).
  static SegmentSequence::Piece &piece(SegmentSequence &seq, int64_t index) {
    auto pos = seq.begin().pos();
    while (index-- > 0) pos = seq.next(pos);
    return seq.piece(pos);
  }
};

}  // namespace vanto::internal

#endif  // VANTO_TEST_SEGMENT_SEQUENCE_ACCESS_H
