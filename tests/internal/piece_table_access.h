// White-box access to a model's piece tree, for tests that break it on
// purpose and check that the library notices.
#ifndef VANTO_TEST_PIECE_TABLE_ACCESS_H
#define VANTO_TEST_PIECE_TABLE_ACCESS_H

#include "impl_/piece_table.h"

namespace vanto::internal {

struct PieceTableTestAccess {
  // The length the tree records for all its bytes.
  static int64_t &total(PieceTable &table) { return table.total_; }
  // The length the root records for its child number `slot`.
  static int64_t &inner_length(PieceTable &table, int slot) {
    return static_cast<PieceTable::Inner *>(table.root_)->lengths[slot];
  }
  // The stored piece number `index` (0-based, in order).
  static Piece &piece(PieceTable &table, int64_t index) { return table.piece(table.at_rank(index)); }
};

}  // namespace vanto::internal

#endif  // VANTO_TEST_PIECE_TABLE_ACCESS_H
