// Byte-frequency profile: counts against a naive count over an in-memory
// copy, ranges that reach past the data, refusals and read failures.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"
#include "vanto_edit/edit.h"
#include "vanto_edit/session.h"

namespace {

using vanto::test::ScratchDir;
using Profile = std::array<int64_t, 256>;

struct SessionDeleter {
  void operator()(vanto_session_t *session) const { vanto_edit_destroy_session(session); }
};
using Session = std::unique_ptr<vanto_session_t, SessionDeleter>;

Profile naive_profile(const std::string &bytes) {
  Profile counts{};
  for (unsigned char c : bytes) ++counts[c];
  return counts;
}

// Counters filled with garbage, so that a call must clear them.
Profile dirty_profile() {
  Profile counts;
  counts.fill(-77);
  return counts;
}

class ProfileTest : public ::testing::Test {
 protected:
  Session open(const std::string &bytes) {
    path_ = dir_.file("data" + std::to_string(files_++));
    vanto::test::write_file(path_, bytes);
    Session session(vanto_edit_create_session(path_.c_str(), nullptr, nullptr, 0));
    EXPECT_NE(session, nullptr);
    return session;
  }
  const std::string &last_path() const { return path_; }

 private:
  ScratchDir dir_;
  std::string path_;
  int files_ = 0;
};

TEST_F(ProfileTest, CountsEachByteValue) {
  Session session = open(std::string("xaba\xff\x00\xff", 7));
  Profile counts = dirty_profile();
  ASSERT_EQ(vanto_session_profile(session.get(), counts.data(), 1, 3), 0);  // "aba"
  Profile expected{};
  expected['a'] = 2;
  expected['b'] = 1;
  EXPECT_EQ(counts, expected);

  // Whole data (length 0), with bytes 255 and 0; a second call gives the same
  // counts, not twice as many.
  for (int call = 0; call < 2; ++call) {
    ASSERT_EQ(vanto_session_profile(session.get(), counts.data(), 0, 0), 0);
    EXPECT_EQ(counts, naive_profile(std::string("xaba\xff\x00\xff", 7)));
    EXPECT_EQ(counts[255], 2);
    EXPECT_EQ(counts[0], 1);
  }
}

TEST_F(ProfileTest, AgreesWithNaiveCountOverEditedData) {
  // Random data edited into many model segments, some of them longer than
  // the 8 KiB read size; ranges start and end inside segments and across
  // read-size multiples.
  std::mt19937_64 rng(4242);
  auto uniform = [&rng](int64_t lo, int64_t hi) {
    return std::uniform_int_distribution<int64_t>(lo, hi)(rng);
  };
  std::string copy = vanto::test::random_bytes(50'000, 11);
  Session session = open(copy);
  vanto_session_t *s = session.get();
  for (int e = 0; e < 40; ++e) {
    const int64_t size = static_cast<int64_t>(copy.size());
    const int64_t at = uniform(0, size - 1);
    const std::string bytes =
        vanto::test::random_bytes(static_cast<size_t>(e % 5 == 0 ? uniform(8000, 20000) : uniform(1, 500)),
                                  static_cast<uint64_t>(e));
    switch (e % 3) {
      case 0:
        ASSERT_GT(vanto_edit_insert(s, at, bytes.data(), static_cast<int64_t>(bytes.size())), 0);
        copy.insert(static_cast<size_t>(at), bytes);
        break;
      case 1:
        ASSERT_GT(vanto_edit_delete(s, at, static_cast<int64_t>(bytes.size()) % 3000 + 1), 0);
        copy.erase(static_cast<size_t>(at), bytes.size() % 3000 + 1);
        break;
      default:
        ASSERT_GT(vanto_edit_overwrite(s, at, bytes.data(), static_cast<int64_t>(bytes.size())), 0);
        copy.replace(static_cast<size_t>(at), bytes.size(), bytes);
        break;
    }
  }
  ASSERT_EQ(vanto_session_get_computed_file_size(s), static_cast<int64_t>(copy.size()));

  const int64_t size = static_cast<int64_t>(copy.size());
  struct Range {
    int64_t offset;
    int64_t length;
  };
  std::vector<Range> ranges = {{0, 0},     {0, 20'000}, {1, 8192},  {8191, 8194},
                               {100, 7},   {size - 1, 0}, {size - 8193, 8193}, {size, 0}};
  for (int i = 0; i < 40; ++i) {
    const int64_t offset = uniform(0, size - 1);
    ranges.push_back({offset, uniform(0, std::min<int64_t>(size - offset, 40'000))});
  }
  for (const Range &r : ranges) {
    SCOPED_TRACE("offset " + std::to_string(r.offset) + " length " + std::to_string(r.length));
    Profile counts = dirty_profile();
    ASSERT_EQ(vanto_session_profile(s, counts.data(), r.offset, r.length), 0);
    const int64_t length = r.length != 0 ? r.length : size - r.offset;
    EXPECT_EQ(counts, naive_profile(copy.substr(static_cast<size_t>(r.offset),
                                                static_cast<size_t>(length))));
  }
}

TEST_F(ProfileTest, SeesInsertsAndTheirUndo) {
  Session session = open("abc");
  vanto_session_t *s = session.get();
  Profile counts{};
  ASSERT_GT(vanto_edit_insert(s, 1, "zzz", 3), 0);
  ASSERT_EQ(vanto_session_profile(s, counts.data(), 0, 0), 0);
  EXPECT_EQ(counts, naive_profile("azzzbc"));
  ASSERT_NE(vanto_edit_undo_last_change(s), 0);
  ASSERT_EQ(vanto_session_profile(s, counts.data(), 0, 0), 0);
  EXPECT_EQ(counts, naive_profile("abc"));
}

TEST_F(ProfileTest, RangesAtAndPastTheEnd) {
  const std::string data = vanto::test::random_bytes(100, 5);
  Session session = open(data);
  Session empty(vanto_edit_create_session(nullptr, nullptr, nullptr, 0));
  ASSERT_NE(empty, nullptr);
  const int64_t max = std::numeric_limits<int64_t>::max();
  const int64_t min = std::numeric_limits<int64_t>::min();
  struct Case {
    const char *what;
    vanto_session_t *session;
    int64_t offset;
    int64_t length;
    int result;
    std::string counted;  // the bytes whose counts the call leaves
  };
  const Case cases[] = {
      // A range reaching past the end counts what exists and ends.
      {"past the end", session.get(), 90, 50, 0, data.substr(90)},
      {"huge length", session.get(), 0, max, 0, data},
      {"at the end, to the end", session.get(), 100, 0, 0, ""},
      {"at the end, explicit length", session.get(), 100, 5, 0, ""},
      {"empty data, to the end", empty.get(), 0, 0, 0, ""},
      {"empty data, explicit length", empty.get(), 0, 10, 0, ""},
      // Offsets outside the data and negative lengths read nothing.
      {"beyond the end, to the end", session.get(), 101, 0, 1, ""},
      {"beyond the end, explicit length", session.get(), 500, 5, 1, ""},
      {"beyond empty data, to the end", empty.get(), 3, 0, 1, ""},
      {"beyond empty data, explicit length", empty.get(), 3, 4, 1, ""},
      {"negative offset", session.get(), -1, 10, 1, ""},
      {"lowest offset", session.get(), min, 0, 1, ""},
      {"negative length", session.get(), 10, -5, 1, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Profile counts = dirty_profile();
    EXPECT_EQ(vanto_session_profile(c.session, counts.data(), c.offset, c.length), c.result);
    EXPECT_EQ(counts, naive_profile(c.counted));
  }

  Profile counts = dirty_profile();
  EXPECT_EQ(vanto_session_profile(nullptr, counts.data(), 0, 0), -1);
  EXPECT_EQ(counts, dirty_profile());
  EXPECT_EQ(vanto_session_profile(session.get(), nullptr, 0, 0), -1);
}

TEST_F(ProfileTest, ReadFailureKeepsTheCountsOfEarlierPieces) {
  const std::string data = vanto::test::random_bytes(20'000, 9);
  Session session = open(data);
  // The backing file shrinks behind the session's back: the first 8 KiB piece
  // reads, the second cannot.
  std::filesystem::resize_file(last_path(), 10'000);
  Profile counts = dirty_profile();
  EXPECT_EQ(vanto_session_profile(session.get(), counts.data(), 0, 0), 1);
  EXPECT_EQ(counts, naive_profile(data.substr(0, 8192)));
}

}  // namespace
