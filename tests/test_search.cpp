// Search contexts: leftmost matches, advances, ranges, window boundaries,
// case folding, pattern bounds, refusals, edits between calls and the
// session's list of contexts; masks, backward search and counting.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "../core/src/lib/impl_/search_window.h"
#include "test_support.h"
#include "vanto_edit/edit.h"
#include "vanto_edit/search.h"
#include "vanto_edit/session.h"

namespace {

using vanto::test::ScratchDir;

struct SessionDeleter {
  void operator()(vanto_session_t *session) const { vanto_edit_destroy_session(session); }
};
using Session = std::unique_ptr<vanto_session_t, SessionDeleter>;

constexpr int64_t kMiB = 1024 * 1024;

// Every match offset the context reports with the given advance, until the
// first call that finds nothing.
std::vector<int64_t> all_matches(vanto_search_context_t *context, int64_t advance) {
  std::vector<int64_t> offsets;
  while (vanto_search_next_match(context, advance) == 1) {
    offsets.push_back(vanto_search_context_get_offset(context));
    if (offsets.size() > 1'000'000) break;  // a context that never stops
  }
  return offsets;
}

class SearchTest : public ::testing::Test {
 protected:
  // A session on a new file holding `bytes`.
  Session open(const std::string &bytes) {
    const std::string path = dir_.file("data" + std::to_string(files_++));
    vanto::test::write_file(path, bytes);
    Session session(vanto_edit_create_session(path.c_str(), nullptr, nullptr, 0));
    EXPECT_NE(session, nullptr);
    return session;
  }

 private:
  ScratchDir dir_;
  int files_ = 0;
};

TEST_F(SearchTest, FindsLeftmostMatchThenRestartsAfterTheLast) {
  Session session = open("xxabcabcxx");
  vanto_search_context_t *context =
      vanto_search_create_context(session.get(), "abc", 3, 0, 0, 0);
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(vanto_search_context_get_length(context), 3);
  // No current match yet: the offset is the end of the range.
  EXPECT_EQ(vanto_search_context_get_offset(context), 10);

  ASSERT_EQ(vanto_search_next_match(context, 3), 1);
  EXPECT_EQ(vanto_search_context_get_offset(context), 2);
  ASSERT_EQ(vanto_search_next_match(context, 3), 1);
  EXPECT_EQ(vanto_search_context_get_offset(context), 5);
  EXPECT_EQ(vanto_search_next_match(context, 3), 0);
  EXPECT_EQ(vanto_search_context_get_offset(context), 10);
  EXPECT_EQ(vanto_search_context_get_length(context), 3);

  // After a call that found nothing the search starts again at the range's start.
  ASSERT_EQ(vanto_search_next_match(context, 3), 1);
  EXPECT_EQ(vanto_search_context_get_offset(context), 2);
}

TEST_F(SearchTest, AdvanceChoosesOverlappingOrSeparateMatches) {
  struct Case {
    std::string data;
    std::string pattern;
    int64_t advance;
    std::vector<int64_t> expected;
  };
  const Case cases[] = {
      {"aaaa", "aa", 1, {0, 1, 2}},
      {"aaaa", "aa", 2, {0, 2}},
      {"abababa", "aba", 1, {0, 2, 4}},
      {"abababa", "aba", 3, {0, 4}},
      {"xaxxa", "a", 1, {1, 4}},
      {"abcabc", "abc", 100, {0}},
      {"abc", "abd", 1, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.data + " / " + c.pattern + " / " + std::to_string(c.advance));
    Session session = open(c.data);
    vanto_search_context_t *context =
        vanto_search_create_context_string(session.get(), c.pattern, 0, 0, 0);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(all_matches(context, c.advance), c.expected);
    // The first call ignores the advance: any advance gives the same first match.
    const std::vector<int64_t> again = all_matches(context, 1);
    if (!c.expected.empty()) {
      ASSERT_FALSE(again.empty());
      EXPECT_EQ(again.front(), c.expected.front());
    }
  }
}

TEST_F(SearchTest, MatchesStayInsideTheRange) {
  struct Case {
    std::string data;
    std::string pattern;
    int64_t offset;
    int64_t length;
    int64_t advance;
    std::vector<int64_t> expected;
  };
  const Case cases[] = {
      // Resuming after the match at 0 leaves one byte of the range: "ab" at 2
      // reaches past the end and must not be reported.
      {"abab", "ab", 0, 3, 2, {0}},
      {"abab", "ab", 0, 3, 1, {0}},
      {"abXabXabXab", "ab", 3, 5, 1, {3, 6}},
      {"abXabXabXab", "ab", 3, 4, 1, {3}},
      {"abXabXabXab", "ab", 4, 0, 1, {6, 9}},
      {"aaaaaa", "aa", 1, 4, 1, {1, 2, 3}},
      {"aaaaaa", "aa", 1, 4, 2, {1, 3}},
      {"aaaaaa", "aaaa", 2, 4, 1, {2}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.data + " [" + std::to_string(c.offset) + ", +" + std::to_string(c.length) +
                 ") advance " + std::to_string(c.advance));
    Session session = open(c.data);
    vanto_search_context_t *context = vanto_search_create_context(
        session.get(), c.pattern.c_str(), 0, c.offset, c.length, 0);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(all_matches(context, c.advance), c.expected);
    const int64_t length = c.length != 0 ? c.length : static_cast<int64_t>(c.data.size()) - c.offset;
    EXPECT_EQ(vanto_search_context_get_offset(context), c.offset + length);
  }
}

TEST_F(SearchTest, FindsOccurrencesThatStraddleWindowBoundaries) {
  // A 4-byte pattern in 3 MiB of filler.  The occurrence is placed so that it
  // ends in, or starts just after, the last bytes of each of a call's first
  // windows (which overlap by 3 bytes), and 2 bytes before the first 1 MiB
  // mark.
  const std::string pattern = "WXYZ";
  const int64_t p = static_cast<int64_t>(pattern.size());
  const int64_t range_start = 1000;
  std::vector<int64_t> placements = {kMiB - 2};
  int64_t window_start = range_start;
  int64_t window_size = vanto::internal::first_search_window_(p);
  const int64_t data_size = 3 * kMiB;
  for (int i = 0; i < 9; ++i) {
    const int64_t window_end = window_start + window_size;
    ASSERT_LE(window_end + p, data_size);
    for (int64_t inside : {1, 2, 3, 4}) placements.push_back(window_end - inside);
    placements.push_back(window_end);
    window_start = window_end - (p - 1);
    window_size = vanto::internal::next_search_window_(window_size);
  }
  ASSERT_GT(window_start, 2 * kMiB);  // the last windows were 1 MiB long

  Session session = open(std::string(data_size, '.'));
  for (int64_t at : placements) {
    SCOPED_TRACE("occurrence at " + std::to_string(at));
    ASSERT_GT(vanto_edit_overwrite(session.get(), at, pattern.c_str(), p), 0);
    vanto_search_context_t *context =
        vanto_search_create_context_string(session.get(), pattern, range_start, 0, 0);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(all_matches(context, 1), std::vector<int64_t>{at});
    vanto_search_destroy_context(context);
    ASSERT_GT(vanto_edit_overwrite(session.get(), at, "....", p), 0);
  }
}

TEST_F(SearchTest, CaseInsensitiveFoldsPatternAndWindowsOnly) {
  const std::string data = "xHeLLo hello HELLO \xC4\xE4";
  struct Case {
    std::string pattern;
    int case_insensitive;
    std::vector<int64_t> expected;
  };
  const Case cases[] = {
      {"HELLO", 1, {1, 7, 13}},
      {"hello", 1, {1, 7, 13}},
      {"hElLo", 1, {1, 7, 13}},
      {"HELLO", 0, {13}},
      {"hello", 0, {7}},
      {"HeLLo", 0, {1}},
      // Only 'A' to 'Z' fold in the default locale; other bytes match exactly.
      {"\xC4", 1, {19}},
      {"\xE4", 1, {20}},
  };
  Session session = open(data);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.pattern + (c.case_insensitive ? " (folded)" : " (exact)"));
    vanto_search_context_t *context = vanto_search_create_context_string(
        session.get(), c.pattern, 0, 0, c.case_insensitive);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(all_matches(context, 1), c.expected);
  }
  // Folding happened in the windows, never in the session's data.
  EXPECT_EQ(vanto_session_get_segment_string(session.get(), 0, 100), data);
}

TEST_F(SearchTest, PatternLengthBounds) {
  const int64_t longest = VANTO_SEARCH_PATTERN_LIMIT - 1;
  const std::string data = vanto::test::random_bytes(static_cast<size_t>(3 * kMiB / 2), 7);
  Session session = open(data);

  // The longest pattern is accepted and found where it lies, across windows.
  const int64_t at = 700'000;
  const std::string longest_pattern = data.substr(at, longest);
  vanto_search_context_t *context =
      vanto_search_create_context_string(session.get(), longest_pattern, 0, 0, 0);
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(all_matches(context, 1), std::vector<int64_t>{at});
  // Its range may be exactly as long as the pattern.
  context = vanto_search_create_context_string(session.get(), longest_pattern, at, longest, 0);
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(all_matches(context, longest), std::vector<int64_t>{at});
  EXPECT_EQ(vanto_search_create_context_string(session.get(), longest_pattern, at, longest - 1, 0),
            nullptr);

  // One byte more is refused, whatever the range.
  EXPECT_EQ(vanto_search_create_context_string(session.get(), data.substr(at, longest + 1), 0, 0, 0),
            nullptr);

  // A pattern longer than the range is refused; as long as it is accepted.
  EXPECT_EQ(vanto_search_create_context_string(session.get(), data.substr(0, 11), 0, 10, 0),
            nullptr);
  context = vanto_search_create_context_string(session.get(), data.substr(0, 10), 0, 10, 0);
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(all_matches(context, 1), std::vector<int64_t>{0});
  // The range measured to the end of the data counts too.
  const int64_t size = static_cast<int64_t>(data.size());
  EXPECT_EQ(vanto_search_create_context_string(session.get(), data.substr(size - 5), size - 4, 0, 0),
            nullptr);

  EXPECT_EQ(vanto_session_get_num_search_contexts(session.get()), 3);
}

TEST_F(SearchTest, RefusesInvalidCreation) {
  Session session = open("abcdef");
  vanto_session_t *s = session.get();
  const int64_t max = std::numeric_limits<int64_t>::max();
  const int64_t min = std::numeric_limits<int64_t>::min();

  EXPECT_EQ(vanto_search_create_context(nullptr, "abc", 3, 0, 0, 0), nullptr);
  EXPECT_EQ(vanto_search_create_context(s, nullptr, 3, 0, 0, 0), nullptr);
  EXPECT_EQ(vanto_search_create_context(s, "", 0, 0, 0, 0), nullptr);
  EXPECT_EQ(vanto_search_create_context(s, "abc", -1, 0, 0, 0), nullptr);
  EXPECT_EQ(vanto_search_create_context(s, "abc", 3, 0, -4, 0), nullptr);
  EXPECT_EQ(vanto_search_create_context_string(s, std::string_view(), 0, 0, 0), nullptr);
  EXPECT_EQ(vanto_search_create_context_string(s, std::string_view("abc", 0), 0, 0, 0), nullptr);
  // A range whose end does not fit in 64 bits.
  EXPECT_EQ(vanto_search_create_context(s, "abc", 3, max - 5, 10, 0), nullptr);
  EXPECT_EQ(vanto_search_create_context(s, "abc", 3, min, 0, 0), nullptr);
  // Measured to the end from an offset past the end: a negative range.
  EXPECT_EQ(vanto_search_create_context(s, "a", 1, 7, 0, 0), nullptr);
  EXPECT_EQ(vanto_session_get_num_search_contexts(s), 0);

  // A session with no data has no range to search.
  Session empty(vanto_edit_create_session(nullptr, nullptr, nullptr, 0));
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(vanto_search_create_context(empty.get(), "a", 1, 0, 0, 0), nullptr);
}

TEST_F(SearchTest, PatternLengthComesFromTheTextOrTheView) {
  Session session = open(std::string("xxcd\0b\0c", 8));
  // Length 0: a zero-terminated text, measured.
  vanto_search_context_t *context = vanto_search_create_context(session.get(), "cd", 0, 0, 0, 0);
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(vanto_search_context_get_length(context), 2);
  EXPECT_EQ(all_matches(context, 1), std::vector<int64_t>{2});
  // A view keeps its zero bytes.
  context = vanto_search_create_context_string(session.get(), std::string_view("\0b\0", 3), 0, 0, 0);
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(vanto_search_context_get_length(context), 3);
  EXPECT_EQ(all_matches(context, 1), std::vector<int64_t>{4});
  // The caller's pattern buffer may go once the context exists.
  std::string pattern = "cd";
  context = vanto_search_create_context_string(session.get(), pattern, 0, 0, 0);
  pattern.assign("zz");
  EXPECT_EQ(all_matches(context, 1), std::vector<int64_t>{2});
}

TEST_F(SearchTest, AdvanceBelowOneChangesNothing) {
  Session session = open("xxabxxabxx");
  vanto_search_context_t *context = vanto_search_create_context(session.get(), "ab", 2, 0, 0, 0);
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(vanto_search_next_match(context, 0), 0);
  EXPECT_EQ(vanto_search_context_get_offset(context), 10);
  ASSERT_EQ(vanto_search_next_match(context, 1), 1);
  EXPECT_EQ(vanto_search_context_get_offset(context), 2);
  for (int64_t advance : {int64_t{0}, int64_t{-1}, std::numeric_limits<int64_t>::min()}) {
    EXPECT_EQ(vanto_search_next_match(context, advance), 0);
    EXPECT_EQ(vanto_search_context_get_offset(context), 2);
  }
  ASSERT_EQ(vanto_search_next_match(context, 1), 1);
  EXPECT_EQ(vanto_search_context_get_offset(context), 6);
  // An advance past the range's end finds nothing, without overflowing.
  EXPECT_EQ(vanto_search_next_match(context, std::numeric_limits<int64_t>::max()), 0);
  EXPECT_EQ(vanto_search_context_get_offset(context), 10);
}

TEST_F(SearchTest, SeesEditsMadeBetweenCalls) {
  Session session = open("xxabxxxxabxx");
  vanto_session_t *s = session.get();
  vanto_search_context_t *context = vanto_search_create_context(s, "ab", 2, 0, 0, 0);
  ASSERT_NE(context, nullptr);

  ASSERT_EQ(vanto_search_next_match(context, 2), 1);
  EXPECT_EQ(vanto_search_context_get_offset(context), 2);
  ASSERT_GT(vanto_edit_overwrite(s, 5, "ab", 2), 0);  // xxabxabxabxx
  ASSERT_EQ(vanto_search_next_match(context, 2), 1);
  EXPECT_EQ(vanto_search_context_get_offset(context), 5);
  ASSERT_GT(vanto_edit_delete(s, 8, 2), 0);  // xxabxabxxx: the "ab" at 8 is gone
  EXPECT_EQ(vanto_search_next_match(context, 2), 0);

  // The range stays [0, 12) while the data grows: "ab" at 12 lies past it.
  ASSERT_GT(vanto_edit_insert(s, 0, "ab", 2), 0);   // abxxabxabxxx
  ASSERT_GT(vanto_edit_insert(s, 12, "ab", 2), 0);  // abxxabxabxxxab
  EXPECT_EQ(all_matches(context, 2), (std::vector<int64_t>{0, 4, 7}));
}

TEST_F(SearchTest, RangesOutsideTheDataFindNothing) {
  Session session = open("aaaaaa");
  vanto_session_t *s = session.get();
  // The offset is not checked against the data at creation.
  vanto_search_context_t *beyond = vanto_search_create_context(s, "a", 1, 100, 10, 0);
  ASSERT_NE(beyond, nullptr);
  EXPECT_EQ(vanto_search_next_match(beyond, 1), 0);
  EXPECT_EQ(vanto_search_context_get_offset(beyond), 110);

  // Data deleted under a context: the rest of its range holds nothing.
  vanto_search_context_t *context = vanto_search_create_context(s, "aa", 2, 0, 0, 0);
  ASSERT_NE(context, nullptr);
  ASSERT_EQ(vanto_search_next_match(context, 1), 1);
  ASSERT_GT(vanto_edit_delete(s, 0, 6), 0);
  EXPECT_EQ(vanto_search_next_match(context, 1), 0);
  EXPECT_EQ(vanto_search_next_match(context, 1), 0);
}

TEST_F(SearchTest, DestroyRemovesOnlyThatContext) {
  Session session = open("abcabcABCabc");
  vanto_session_t *s = session.get();
  vanto_search_context_t *first = vanto_search_create_context(s, "a", 1, 0, 0, 0);
  vanto_search_context_t *second = vanto_search_create_context(s, "b", 1, 0, 0, 0);
  vanto_search_context_t *third = vanto_search_create_context(s, "ABCABCABC", 0, 0, 0, 1);
  ASSERT_TRUE(first != nullptr && second != nullptr && third != nullptr);
  EXPECT_EQ(vanto_session_get_num_search_contexts(s), 3);

  vanto_search_destroy_context(second);
  EXPECT_EQ(vanto_session_get_num_search_contexts(s), 2);
  vanto_search_destroy_context(nullptr);
  EXPECT_EQ(vanto_session_get_num_search_contexts(s), 2);
  // The others still work; the session destroys them (one of them holds a
  // heap pattern) when it goes.
  EXPECT_EQ(all_matches(first, 1), (std::vector<int64_t>{0, 3, 9}));
  EXPECT_EQ(all_matches(third, 1), (std::vector<int64_t>{0, 3}));

  // A null context is refused by every call.
  EXPECT_EQ(vanto_search_next_match(nullptr, 1), 0);
  EXPECT_EQ(vanto_search_context_get_offset(nullptr), 0);
  EXPECT_EQ(vanto_search_context_get_length(nullptr), 0);
}

// A range may start before the data or reach past its end: the part inside
// the data is searched, as a naive scan of that part finds.
TEST_F(SearchTest, RangesReachingOutsideTheDataSearchThePartInside) {
  const std::string data = "abcabcxabc";
  Session session = open(data);
  vanto_session_t *s = session.get();
  const int64_t size = static_cast<int64_t>(data.size());
  struct Range {
    int64_t offset;
    int64_t length;  // 0: to the end of the data
  };
  const Range ranges[] = {{-3, 9},  {-3, 5},  {-3, 6}, {-1, 0},   {-10, 5}, {-10, 30}, {-100, 103},
                          {4, 100}, {8, 3},   {7, 3},  {10, 5},   {12, 5},  {0, 100},  {-5, 15},
                          {-2, 4},  {3, 4}};
  for (const std::string pattern : {"abc", "bc", "c", "abcx"}) {
    for (const Range &range : ranges) {
      SCOPED_TRACE(pattern + " at " + std::to_string(range.offset) + "+" + std::to_string(range.length));
      const int64_t length = range.length != 0 ? range.length : size - range.offset;
      const int64_t plen = static_cast<int64_t>(pattern.size());
      vanto_search_context_t *context =
          vanto_search_create_context(s, pattern.c_str(), plen, range.offset, range.length, 0);
      if (plen > length) {
        EXPECT_EQ(context, nullptr);  // longer than the range itself
        continue;
      }
      ASSERT_NE(context, nullptr);
      for (const int64_t advance : {int64_t{1}, plen}) {
        std::vector<int64_t> expected;
        const int64_t first = std::max<int64_t>(range.offset, 0);
        const int64_t end = std::min(range.offset + length, size);
        for (int64_t at = first; at + plen <= end;) {
          if (data.compare(static_cast<size_t>(at), pattern.size(), pattern) == 0) {
            expected.push_back(at);
            at += advance;
          } else {
            ++at;
          }
        }
        EXPECT_EQ(all_matches(context, advance), expected) << "advance " << advance;
      }
      vanto_search_destroy_context(context);
    }
  }
}

// A progress hook that destroys the context it reports on ends the search:
// the call returns 0 and reads nothing of the destroyed context.
TEST_F(SearchTest, ProgressHookDestroyingTheContextEndsTheSearch) {
  Session session = open(std::string(static_cast<size_t>(12 * kMiB), 'x') + "needle");
  vanto_session_t *s = session.get();
  struct Hook {
    vanto_search_context_t *context = nullptr;
    int calls = 0;
  } hook;
  vanto_session_set_progress_cbk(
      s,
      [](const vanto_session_t *, int64_t, int64_t, void *user_data) {
        auto *h = static_cast<Hook *>(user_data);
        if (h->calls++ == 0) vanto_search_destroy_context(h->context);
        return 0;
      },
      &hook);
  hook.context = vanto_search_create_context(s, "needle", 0, 0, 0, 0);
  ASSERT_NE(hook.context, nullptr);
  EXPECT_EQ(vanto_search_next_match(hook.context, 1), 0);
  EXPECT_EQ(hook.calls, 1);
  EXPECT_EQ(vanto_session_get_num_search_contexts(s), 0);
}

// Masks: which bytes a masked pattern matches, with and without folding.
TEST_F(SearchTest, MaskSelectsTheBitsThatMustMatch) {
  Session session = open(std::string("PK\x03\x04" "PK\x07\x08" "pk\x13\x04" "Pk", 14));
  struct Case {
    std::string pattern, mask;
    int fold;
    std::vector<int64_t> expected;  // with advance 1
  };
  for (const Case &c : std::vector<Case>{
           {"PK\x01\x04", std::string("\xFF\xFF\x00\xFF", 4), 0, {0}},         // one wildcard byte
           {"PK\x01\x01", std::string("\xFF\xFF\x00\x00", 4), 0, {0, 4}},      // two wildcards
           {"PK\x01\x04", std::string("\xFF\xFF\x00\xFF", 4), 1, {0, 8}},      // fold, then mask
           {"PK\x03\x01", std::string("\xFF\xFF\x0F\x00", 4), 1, {0, 8}},      // low nibble 3
           {"PK\x10\x01", std::string("\xFF\xFF\xF0\x00", 4), 1, {8}},         // high nibble 1
           {"pk", std::string("\xDF\xDF", 2), 0, {0, 4, 8, 12}},                  // the case bit ignored
           {"??", std::string(2, '\0'), 0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},  // wildcards only
       }) {
    vanto_search_context_t *context = vanto_search_create_context_masked(
        session.get(), reinterpret_cast<const unsigned char *>(c.pattern.data()),
        reinterpret_cast<const unsigned char *>(c.mask.data()), static_cast<int64_t>(c.pattern.size()), 0, 0,
        c.fold);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(all_matches(context, 1), c.expected) << c.pattern << " fold " << c.fold;
    EXPECT_EQ(vanto_search_count_matches(context, 1), static_cast<int64_t>(c.expected.size()));
    vanto_search_destroy_context(context);
  }
}

// Backward search mirrors forward: the advance, the range, going back and
// forth, and the count that leaves the current match alone.
TEST_F(SearchTest, PrevMatchMirrorsNextMatch) {
  Session session = open("aaaa");
  vanto_search_context_t *context = vanto_search_create_context(session.get(), "aa", 2, 0, 0, 0);
  ASSERT_NE(context, nullptr);
  const auto backward = [&](int64_t advance) {
    std::vector<int64_t> offsets;
    while (vanto_search_prev_match(context, advance) == 1) offsets.push_back(vanto_search_context_get_offset(context));
    EXPECT_EQ(vanto_search_context_get_offset(context), 4);
    return offsets;
  };
  EXPECT_EQ(backward(1), (std::vector<int64_t>{2, 1, 0}));
  EXPECT_EQ(backward(2), (std::vector<int64_t>{2, 0}));
  EXPECT_EQ(vanto_search_count_matches(context, 1), 3);
  EXPECT_EQ(vanto_search_count_matches(context, 2), 2);
  // Back and forth over one current match; a count in between keeps it.
  ASSERT_EQ(vanto_search_next_match(context, 1), 1);
  ASSERT_EQ(vanto_search_next_match(context, 1), 1);
  EXPECT_EQ(vanto_search_count_matches(context, 1), 3);
  EXPECT_EQ(vanto_search_context_get_offset(context), 1);
  ASSERT_EQ(vanto_search_prev_match(context, 1), 1);
  EXPECT_EQ(vanto_search_context_get_offset(context), 0);
  EXPECT_EQ(vanto_search_prev_match(context, 1), 0);
  vanto_search_destroy_context(context);

  // A range in the middle: matches lie whole inside it, and inside the data
  // when the range reaches past its end.
  Session text = open("xabxabxabx");
  for (const auto &[offset, length, expected] : std::vector<std::tuple<int64_t, int64_t, std::vector<int64_t>>>{
           {1, 8, {7, 4, 1}}, {1, 7, {4, 1}}, {2, 7, {7, 4}}, {1, 6, {4, 1}}, {-5, 100, {7, 4, 1}}, {8, 50, {}}}) {
    vanto_search_context_t *ranged = vanto_search_create_context(text.get(), "ab", 2, offset, length, 0);
    ASSERT_NE(ranged, nullptr);
    std::vector<int64_t> offsets;
    while (vanto_search_prev_match(ranged, 1) == 1) offsets.push_back(vanto_search_context_get_offset(ranged));
    EXPECT_EQ(offsets, expected) << offset << "+" << length;
    vanto_search_destroy_context(ranged);
  }
}

// A cancel from the progress hook ends a backward search with 0 and a count
// with -2; a hook that destroys the context ends them the same way.
TEST_F(SearchTest, ProgressHookCancelsPrevAndCount) {
  Session session = open("needle" + std::string(static_cast<size_t>(12 * kMiB), 'x'));
  vanto_session_t *s = session.get();
  struct Hook {
    vanto_search_context_t *context = nullptr;
    bool destroy = false;
    int calls = 0;
  } hook;
  vanto_session_set_progress_cbk(
      s,
      [](const vanto_session_t *, int64_t, int64_t, void *user_data) {
        auto *h = static_cast<Hook *>(user_data);
        ++h->calls;
        if (!h->destroy) return 1;
        vanto_search_destroy_context(h->context);
        h->context = nullptr;
        return 0;
      },
      &hook);
  for (bool destroy : {false, true}) {
    for (bool count : {false, true}) {
      hook = Hook{vanto_search_create_context(s, "needle", 0, 0, 0, 0), destroy, 0};
      ASSERT_NE(hook.context, nullptr);
      vanto_search_context_t *context = hook.context;
      if (count) {
        EXPECT_EQ(vanto_search_count_matches(context, 1), -2);
      } else {
        EXPECT_EQ(vanto_search_prev_match(context, 1), 0);
      }
      EXPECT_EQ(hook.calls, 1);
      if (!destroy) {
        EXPECT_EQ(vanto_search_context_get_offset(context), 12 * kMiB + 6);
        vanto_search_destroy_context(context);
      }
      EXPECT_EQ(vanto_session_get_num_search_contexts(s), 0);
    }
  }
  vanto_session_set_progress_cbk(s, nullptr, nullptr);
}

}  // namespace
