// Skip-table finder: table contents, leftmost matches, and the inputs that
// must neither crash nor loop.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../core/src/lib/impl_/find_table.h"
#include "vanto_edit/find.h"

namespace {

const unsigned char *bytes(const std::string &s) {
  return reinterpret_cast<const unsigned char *>(s.data());
}

struct TableDeleter {
  void operator()(vanto_find_skip_table_t *t) const { vanto_find_destroy_skip_table(t); }
};
using Table = std::unique_ptr<vanto_find_skip_table_t, TableDeleter>;

Table make_table(const std::string &pattern) {
  return Table(vanto_find_create_skip_table(bytes(pattern), pattern.size()));
}

// Index of the match, or -1.
int64_t find_index(const std::string &haystack, const std::string &needle) {
  Table table = make_table(needle);
  const unsigned char *hit =
      vanto_find(bytes(haystack), haystack.size(), table.get(), bytes(needle), needle.size());
  return hit == nullptr ? -1 : hit - bytes(haystack);
}

}  // namespace

TEST(FindSkipTable, EntriesComeFromRightmostOccurrenceBeforeLastByte) {
  struct Case {
    std::string pattern;
    std::vector<std::pair<unsigned char, uint64_t>> entries;  // byte, expected entry
    uint64_t others;
  };
  const Case cases[] = {
      {"abc", {{'a', 2}, {'b', 1}, {'c', 3}}, 3},
      {"aa", {{'a', 1}}, 2},
      {"abca", {{'a', 3}, {'b', 2}, {'c', 1}}, 4},
      {"z", {{'z', 1}}, 1},
      {std::string("\xff\x80\xff", 3), {{0xFF, 2}, {0x80, 1}}, 3},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.pattern);
    Table table = make_table(c.pattern);
    ASSERT_NE(table, nullptr);
    for (int b = 0; b < 256; ++b) {
      uint64_t expected = c.others;
      for (const auto &[byte, value] : c.entries) {
        if (byte == b) expected = value;
      }
      EXPECT_EQ(table->skip[b], expected) << "byte " << b;
    }
  }
}

TEST(Find, ReturnsLeftmostOccurrence) {
  struct Case {
    std::string haystack;
    std::string needle;
    int64_t expected;
  };
  const Case cases[] = {
      {"xxabcabc", "abc", 2},
      {"abc", "abc", 0},                 // needle as long as the haystack
      {"ab", "abc", -1},                 // needle one byte longer
      {"abcab", "abd", -1},
      {"xyzabc", "abc", 3},              // match at the very end
      {"aaaaab", "aab", 3},
      {"abcabdabcab", "abcab", 0},
      {"xabcabdabcab", "bcabd", 2},
      {"hello world", "o", 4},           // one-byte needle: plain scan
      {"hello", "q", -1},
      {std::string("\x01\xfe\x80\xff\x80\xff", 6), std::string("\x80\xff", 2), 2},
      {std::string("ab\0cd\0ef", 8), std::string("\0e", 2), 5},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.haystack + " / " + c.needle);
    EXPECT_EQ(find_index(c.haystack, c.needle), c.expected);
  }
}

TEST(Find, AgreesWithStringSearchOnRandomData) {
  // A three-letter alphabet gives many partial matches and repeated bytes.
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> letter(0, 2);
  for (int round = 0; round < 2000; ++round) {
    std::string haystack(1 + rng() % 60, 'a');
    for (auto &ch : haystack) ch = static_cast<char>('a' + letter(rng));
    std::string needle(1 + rng() % 6, 'a');
    for (auto &ch : needle) ch = static_cast<char>('a' + letter(rng));
    const auto pos = haystack.find(needle);
    const int64_t expected = pos == std::string::npos ? -1 : static_cast<int64_t>(pos);
    ASSERT_EQ(find_index(haystack, needle), expected) << haystack << " / " << needle;
  }
}

TEST(Find, OneByteNeedleNeedsNoTable) {
  const std::string haystack = "abc\x90";
  const std::string needle = "\x90";
  EXPECT_EQ(vanto_find(bytes(haystack), haystack.size(), nullptr, bytes(needle), 1),
            bytes(haystack) + 3);
  EXPECT_EQ(find_index(haystack, needle), 3);
}

TEST(Find, RefusesEmptyNullAndMissingInputs) {
  const std::string haystack = "abcabc";
  const std::string needle = "bc";
  Table table = make_table(needle);
  EXPECT_EQ(vanto_find(bytes(haystack), haystack.size(), table.get(), bytes(needle), 0), nullptr);
  EXPECT_EQ(vanto_find(bytes(haystack), haystack.size(), nullptr, bytes(needle), 2), nullptr);
  EXPECT_EQ(vanto_find(nullptr, 6, table.get(), bytes(needle), 2), nullptr);
  EXPECT_EQ(vanto_find(bytes(haystack), haystack.size(), table.get(), nullptr, 2), nullptr);
  EXPECT_EQ(vanto_find(bytes(haystack), 0, table.get(), bytes(needle), 2), nullptr);
  EXPECT_EQ(vanto_find_create_skip_table(nullptr, 3), nullptr);
  vanto_find_destroy_skip_table(nullptr);
}

TEST(Find, MismatchedTablesStillEnd) {
  const std::string haystack = "xxxxxxxxxxab";
  const std::string needle = "ab";

  // A table for an empty pattern exists and advances one byte at a time,
  // which is a plain scan and still finds the leftmost match.
  Table empty(vanto_find_create_skip_table(nullptr, 0));
  ASSERT_NE(empty, nullptr);
  for (uint64_t entry : empty->skip) ASSERT_GT(entry, 0u);
  EXPECT_EQ(vanto_find(bytes(haystack), haystack.size(), empty.get(), bytes(needle), 2),
            bytes(haystack) + 10);

  // Zero entries and entries far beyond the haystack must neither stall nor
  // wrap the position around.
  Table zero = make_table("zz");
  for (auto &entry : zero->skip) entry = 0;
  EXPECT_EQ(vanto_find(bytes(haystack), haystack.size(), zero.get(), bytes(needle), 2),
            bytes(haystack) + 10);
  for (auto &entry : zero->skip) entry = UINT64_MAX;
  EXPECT_EQ(vanto_find(bytes(haystack), haystack.size(), zero.get(), bytes(needle), 2), nullptr);
}
