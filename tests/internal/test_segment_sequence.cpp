// The piece index against a naive twin: a plain vector of (length, source
// offset) pairs.  After every random operation the index must pass its own
// full check, list the same pieces at the same derived offsets, and find the
// same covering piece for a few random targets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "impl_/records.h"
#include "impl_/segment_sequence.h"

namespace {

using vanto::internal::ContinuityBreak;
using vanto::internal::SegmentSequence;

struct TwinPiece {
  int64_t length;
  int64_t change_offset;
};

class IndexAndTwin {
 public:
  // Position of twin piece `i` in the index, by walking from the start.
  SegmentSequence::Pos pos_of(size_t i) const {
    auto pos = seq.begin().pos();
    while (i-- > 0) pos = seq.next(pos);
    return pos;
  }

  void insert(size_t i, int64_t length, int64_t source) {
    seq.insert(pos_of(i), SegmentSequence::Piece{length, source, change});
    twin.insert(twin.begin() + static_cast<std::ptrdiff_t>(i), TwinPiece{length, source});
  }
  void split(size_t i, int64_t delta) {
    const auto pos = seq.split(pos_of(i), delta);
    EXPECT_EQ(pos, pos_of(i + 1)) << "split returns the second half";
    const TwinPiece first = twin[i];
    twin[i].length = delta;
    twin.insert(twin.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                TwinPiece{first.length - delta, first.change_offset + delta});
  }
  void erase(size_t i) {
    const auto next = seq.erase(pos_of(i));
    EXPECT_EQ(next, pos_of(i)) << "erase returns the following piece";
    twin.erase(twin.begin() + static_cast<std::ptrdiff_t>(i));
  }
  void trim(size_t i, int64_t bytes) {
    seq.trim_front(pos_of(i), bytes);
    twin[i].length -= bytes;
    twin[i].change_offset += bytes;
  }

  void expect_same(std::mt19937_64 &rng) const {
    ContinuityBreak brk;
    ASSERT_TRUE(seq.check(&brk)) << "expected " << brk.expected << ", got " << brk.got;
    ASSERT_EQ(seq.count(), static_cast<int64_t>(twin.size()));
    int64_t offset = 0;
    size_t i = 0;
    for (const auto piece : seq) {
      ASSERT_LT(i, twin.size());
      EXPECT_EQ(piece.computed_offset, offset);
      EXPECT_EQ(piece.computed_length, twin[i].length);
      EXPECT_EQ(piece.change_offset, twin[i].change_offset);
      offset += twin[i].length;
      ++i;
    }
    ASSERT_EQ(i, twin.size());
    ASSERT_EQ(seq.total_length(), offset);
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
      const auto pos = seq.find_covering(target, &got_start, &none);
      ASSERT_FALSE(none.broken);
      if (expected == twin.size()) {
        EXPECT_EQ(pos, seq.end_pos()) << "target " << target;
      } else {
        EXPECT_EQ(pos, pos_of(expected)) << "target " << target;
        EXPECT_EQ(got_start, expected_start) << "target " << target;
      }
    }
  }

  SegmentSequence seq;
  std::vector<TwinPiece> twin;
  std::shared_ptr<vanto_change_struct> change = std::make_shared<vanto_change_struct>();
};

// Many pieces (several chunks, chunks split when they fill up), zero-length
// pieces among them, and runs of erasures that empty whole chunks.
TEST(SegmentSequence, MatchesNaiveTwinAfterEveryOperation) {
  std::mt19937_64 rng(20261210);
  IndexAndTwin m;
  size_t most = 0;
  for (int op = 0; op < 6000; ++op) {
    const size_t n = m.twin.size();
    const int kind = static_cast<int>(rng() % 100);
    if (n == 0 || kind < 55) {
      const int64_t length = (rng() % 8 == 0) ? 0 : static_cast<int64_t>(1 + rng() % 50);
      m.insert(static_cast<size_t>(rng() % (n + 1)), length, static_cast<int64_t>(rng() % 1000));
    } else if (kind < 75) {
      const size_t i = static_cast<size_t>(rng() % n);
      if (m.twin[i].length >= 2) m.split(i, 1 + static_cast<int64_t>(rng() % static_cast<uint64_t>(m.twin[i].length - 1)));
    } else if (kind < 90) {
      // Erase a run, sometimes long enough to empty chunks.
      size_t i = static_cast<size_t>(rng() % n);
      size_t run = (rng() % 50 == 0) ? static_cast<size_t>(rng() % 400) : 1;
      while (run-- > 0 && i < m.twin.size()) m.erase(i);
    } else {
      const size_t i = static_cast<size_t>(rng() % n);
      if (m.twin[i].length >= 1) m.trim(i, 1 + static_cast<int64_t>(rng() % static_cast<uint64_t>(m.twin[i].length)));
    }
    most = std::max(most, m.twin.size());
    m.expect_same(rng);
    if (::testing::Test::HasFatalFailure()) FAIL() << "after operation " << op;
  }
  EXPECT_GT(most, SegmentSequence::kChunkMax * 4) << "the test should span several chunks";
}

TEST(SegmentSequence, EmptyIndexFindsNothing) {
  SegmentSequence seq;
  ContinuityBreak brk;
  EXPECT_TRUE(seq.check(&brk));
  EXPECT_EQ(seq.find_covering(0, nullptr, &brk), seq.end_pos());
  EXPECT_EQ(seq.begin(), seq.end());
  EXPECT_EQ(seq.total_length(), 0);
}

}  // namespace
