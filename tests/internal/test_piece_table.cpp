// The piece tree against a naive twin: a plain vector of (length, source
// offset) pairs.  After every random operation the tree must pass its own
// full check, list the same pieces at the same derived offsets, and agree
// with the twin on the covering piece of a few random targets and on ranks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "impl_/piece_table.h"
#include "impl_/records.h"

namespace {

using vanto::internal::ContinuityBreak;
using vanto::internal::Piece;
using vanto::internal::PieceTable;

struct TwinPiece {
  int64_t length;
  int64_t change_offset;
};

class TreeAndTwin {
 public:
  PieceTable::Pos pos_of(size_t i) const { return tree.at_rank(static_cast<int64_t>(i)); }

  void insert(size_t i, int64_t length, int64_t source) {
    const auto pos = tree.insert(pos_of(i), Piece{length, source, &change});
    EXPECT_EQ(tree.rank_of(pos), static_cast<int64_t>(i)) << "insert returns the new piece";
    twin.insert(twin.begin() + static_cast<std::ptrdiff_t>(i), TwinPiece{length, source});
  }
  void split(size_t i, int64_t delta) {
    const auto pos = tree.split(pos_of(i), delta);
    EXPECT_EQ(tree.rank_of(pos), static_cast<int64_t>(i + 1)) << "split returns the second half";
    const TwinPiece first = twin[i];
    twin[i].length = delta;
    twin.insert(twin.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                TwinPiece{first.length - delta, first.change_offset + delta});
  }
  void erase(size_t i) {
    const auto next = tree.erase(pos_of(i));
    EXPECT_EQ(next, pos_of(i)) << "erase returns the following piece";
    twin.erase(twin.begin() + static_cast<std::ptrdiff_t>(i));
  }
  void trim(size_t i, int64_t bytes) {
    tree.trim_front(pos_of(i), bytes);
    twin[i].length -= bytes;
    twin[i].change_offset += bytes;
  }

  void expect_same(std::mt19937_64 &rng) const {
    ContinuityBreak brk;
    ASSERT_TRUE(tree.check(&brk)) << "expected " << brk.expected << ", got " << brk.got;
    ASSERT_EQ(tree.count(), static_cast<int64_t>(twin.size()));
    int64_t offset = 0;
    size_t i = 0;
    for (const auto piece : tree) {
      ASSERT_LT(i, twin.size());
      EXPECT_EQ(piece.computed_offset, offset);
      EXPECT_EQ(piece.computed_length, twin[i].length);
      EXPECT_EQ(piece.change_offset, twin[i].change_offset);
      offset += twin[i].length;
      ++i;
    }
    ASSERT_EQ(i, twin.size());
    ASSERT_EQ(tree.total_length(), offset);
    // The covering piece of a target is the first whose closed range holds it.
    for (int k = 0; k < 4; ++k) {
      const int64_t target = static_cast<int64_t>(rng() % static_cast<uint64_t>(offset + 2)) - 1;
      int64_t start = 0;
      size_t expected = twin.size();
      int64_t expected_start = 0;
      for (size_t j = 0; j < twin.size(); ++j) {
        if (start <= target && target <= start + twin[j].length) {
          expected = j;
          expected_start = start;
          break;
        }
        start += twin[j].length;
      }
      int64_t got_start = -1;
      ContinuityBreak none;
      const auto pos = tree.find_covering(target, &got_start, &none);
      ASSERT_FALSE(none.broken);
      if (expected == twin.size()) {
        EXPECT_EQ(pos, tree.end_pos()) << "target " << target;
      } else {
        EXPECT_EQ(tree.rank_of(pos), static_cast<int64_t>(expected)) << "target " << target;
        EXPECT_EQ(got_start, expected_start) << "target " << target;
        EXPECT_EQ(tree.offset_of(pos), expected_start) << "target " << target;
      }
    }
  }

  PieceTable tree;
  std::vector<TwinPiece> twin;
  vanto_change_struct change;
};

// Phases of growth and shrinking, so that leaves and inner nodes split,
// borrow and merge, and the tree gains and loses levels; zero-length pieces
// among them, and runs of erasures that empty whole leaves.
TEST(PieceTable, MatchesNaiveTwinAfterEveryOperation) {
  std::mt19937_64 rng(20261210);
  TreeAndTwin m;
  size_t most = 0;
  int tallest = 0;
  for (int op = 0; op < 60000; ++op) {
    const bool growing = (op / 15000) % 2 == 0;
    const size_t n = m.twin.size();
    const int kind = static_cast<int>(rng() % 100);
    if (n == 0 || kind < (growing ? 60 : 20)) {
      const int64_t length = (rng() % 8 == 0) ? 0 : static_cast<int64_t>(1 + rng() % 50);
      m.insert(static_cast<size_t>(rng() % (n + 1)), length, static_cast<int64_t>(rng() % 1000));
    } else if (kind < (growing ? 85 : 35)) {
      const size_t i = static_cast<size_t>(rng() % n);
      if (m.twin[i].length >= 2) {
        m.split(i, 1 + static_cast<int64_t>(rng() % static_cast<uint64_t>(m.twin[i].length - 1)));
      }
    } else if (kind < 95) {
      // Erase a run, sometimes long enough to empty leaves.
      size_t i = static_cast<size_t>(rng() % n);
      size_t run = (rng() % 50 == 0) ? static_cast<size_t>(rng() % 400) : 1;
      while (run-- > 0 && i < m.twin.size()) m.erase(i);
    } else {
      const size_t i = static_cast<size_t>(rng() % n);
      if (m.twin[i].length >= 1) {
        m.trim(i, 1 + static_cast<int64_t>(rng() % static_cast<uint64_t>(m.twin[i].length)));
      }
    }
    most = std::max(most, m.twin.size());
    tallest = std::max(tallest, m.tree.height());
    // The full comparison is linear: run it after every operation while the
    // tree is small, and often enough once it is large.
    if (m.twin.size() < 2000 || op % 97 == 0) m.expect_same(rng);
    if (::testing::Test::HasFatalFailure()) FAIL() << "after operation " << op;
  }
  EXPECT_GE(tallest, 3) << "the test should reach a tree of three levels";
  EXPECT_GT(most, static_cast<size_t>(PieceTable::kLeafMax * PieceTable::kInnerMax));
}

TEST(PieceTable, EmptyTreeFindsNothing) {
  PieceTable tree;
  ContinuityBreak brk;
  EXPECT_TRUE(tree.check(&brk));
  EXPECT_EQ(tree.find_covering(0, nullptr, &brk), tree.end_pos());
  EXPECT_EQ(tree.begin(), tree.end());
  EXPECT_EQ(tree.total_length(), 0);
  EXPECT_EQ(tree.at_rank(0), tree.end_pos());
}

// Appending and erasing from the front walk the tree through every shape
// from one leaf to three levels and back to nothing.
TEST(PieceTable, GrowsAndShrinksToNothing) {
  PieceTable tree;
  vanto_change_struct change;
  const int64_t n = int64_t{PieceTable::kLeafMax} * PieceTable::kInnerMax * 3;
  for (int64_t i = 0; i < n; ++i) tree.push_back(Piece{i % 5, i, &change});
  ContinuityBreak brk;
  ASSERT_TRUE(tree.check(&brk)) << brk.expected << " " << brk.got;
  EXPECT_EQ(tree.height(), 3);
  int64_t total = 0;
  for (int64_t i = 0; i < n; ++i) total += i % 5;
  EXPECT_EQ(tree.total_length(), total);
  for (int64_t i = 0; i < n; ++i) {
    const auto next = tree.erase(tree.begin_pos());
    ASSERT_EQ(next, tree.begin_pos());
    if (i % 1000 == 0) {
      ASSERT_TRUE(tree.check(&brk)) << "after " << i;
    }
  }
  EXPECT_TRUE(tree.empty());
  EXPECT_TRUE(tree.check(&brk));
  EXPECT_EQ(tree.height(), 0);
}

}  // namespace
