// Search contexts against a naive search over an in-memory copy of the data.
//
// Random data over a small alphabet (so matches are frequent), random short
// and longer patterns, random sub-ranges, exact and case-insensitive, both
// advance modes, with random edits applied to the session and the copy
// before searches and between calls.  Some patterns are copied from the
// data across its 1 MiB mark, others planted across the end of one of a
// call's read windows.  Every call's result and offset must be
// what the naive search over the copy gives.
//
// A second run does the same for masked patterns, backward search and
// counting: random masks (wildcards, nibbles, the case bit, fixed runs),
// wildcard-only patterns, patterns planted across the windows of forward
// and backward calls, random walks that mix next and previous calls with
// edits between them, and counts against a naive count.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../core/src/lib/impl_/search_window.h"
#include "test_support.h"
#include "vanto_edit/edit.h"
#include "vanto_edit/search.h"
#include "vanto_edit/session.h"

namespace {

constexpr int64_t kMiB = 1024 * 1024;
constexpr char kAlphabet[] = "abcABC";

struct SessionDeleter {
  void operator()(vanto_session_t *session) const { vanto_edit_destroy_session(session); }
};
using Session = std::unique_ptr<vanto_session_t, SessionDeleter>;

unsigned char fold(unsigned char c, bool case_insensitive) {
  return case_insensitive ? static_cast<unsigned char>(std::tolower(c)) : c;
}

// The leftmost occurrence at or after `from` that lies whole in [from, end)
// and in the data; -1 when there is none.
int64_t naive_find(const std::string &data, const std::string &pattern, int64_t from, int64_t end,
                   bool case_insensitive) {
  const int64_t p = static_cast<int64_t>(pattern.size());
  const int64_t last = std::min(end, static_cast<int64_t>(data.size())) - p;
  for (int64_t at = std::max<int64_t>(from, 0); at <= last; ++at) {
    int64_t i = 0;
    while (i < p && fold(static_cast<unsigned char>(data[at + i]), case_insensitive) ==
                        fold(static_cast<unsigned char>(pattern[i]), case_insensitive)) {
      ++i;
    }
    if (i == p) return at;
  }
  return -1;
}

class Differential {
 public:
  explicit Differential(uint64_t seed) : rng_(seed) {}

  std::mt19937_64 &rng() { return rng_; }

  int64_t uniform(int64_t lo, int64_t hi) {
    return std::uniform_int_distribution<int64_t>(lo, hi)(rng_);
  }

  std::string letters(int64_t n) {
    std::string s(static_cast<size_t>(n), 'a');
    for (char &c : s) c = kAlphabet[uniform(0, 5)];
    return s;
  }

  // One random edit, made to the session and to the copy alike.
  void edit(vanto_session_t *session, std::string &copy) {
    const int64_t size = static_cast<int64_t>(copy.size());
    const int kind = static_cast<int>(uniform(0, 2));
    if (kind == 0 || size == 0) {
      const int64_t at = uniform(0, size);
      const std::string bytes = letters(uniform(1, 300));
      ASSERT_GT(vanto_edit_insert(session, at, bytes.data(), static_cast<int64_t>(bytes.size())), 0);
      copy.insert(static_cast<size_t>(at), bytes);
    } else if (kind == 1) {
      const int64_t at = uniform(0, size - 1);
      const int64_t n = uniform(1, 300);
      ASSERT_GT(vanto_edit_delete(session, at, n), 0);
      copy.erase(static_cast<size_t>(at), static_cast<size_t>(n));
    } else {
      const int64_t at = uniform(0, size - 1);
      const std::string bytes = letters(uniform(1, 300));
      ASSERT_GT(vanto_edit_overwrite(session, at, bytes.data(), static_cast<int64_t>(bytes.size())), 0);
      copy.replace(static_cast<size_t>(at), bytes.size(), bytes);
    }
  }

 private:
  std::mt19937_64 rng_;
};

TEST(SearchDifferential, EveryMatchAgreesWithNaiveSearch) {
  vanto::test::ScratchDir dir;
  Differential d(20240611);
  std::string copy = d.letters(5 * kMiB / 2);
  const std::string path = dir.file("data");
  vanto::test::write_file(path, copy);
  Session session(vanto_edit_create_session(path.c_str(), nullptr, nullptr, 0));
  ASSERT_NE(session, nullptr);
  vanto_session_t *s = session.get();

  int64_t matches = 0;
  int64_t straddling_first_mib = 0;  // matches that start before 1 MiB and end after it
  int64_t long_searches = 0;         // calls that went on for more than 1 MiB
  int64_t refused = 0;
  for (int trial = 0; trial < 120; ++trial) {
    const int edits = static_cast<int>(d.uniform(0, 3));
    for (int e = 0; e < edits; ++e) {
      d.edit(s, copy);
      if (HasFatalFailure()) return;
    }
    const int64_t size = static_cast<int64_t>(copy.size());
    const bool case_insensitive = d.uniform(0, 1) == 1;
    // Mostly short patterns (dense matches), some longer (sparse, so a call
    // reads many windows before it finds one).
    int64_t p = d.uniform(0, 3) == 0 ? d.uniform(6, 12) : d.uniform(1, 4);
    int64_t offset = 0;
    int64_t length = 0;
    std::string pattern;
    if (trial % 6 == 0) {
      // A pattern copied from the data across the 1 MiB mark, over a range
      // that holds it.
      const int64_t at = kMiB - d.uniform(1, p);
      pattern = copy.substr(static_cast<size_t>(std::max<int64_t>(at, 0)), static_cast<size_t>(p));
      offset = d.uniform(kMiB - 20000, at);
      length = at + p - offset + d.uniform(0, 20000);
    } else if (trial % 6 == 3) {
      // A pattern bracketed by a byte that the data lacks, planted so that it
      // straddles the end of one of the first call's windows (they overlap by
      // p - 1 bytes): the call must read that many windows and find it in
      // the overlap of the next.
      p = d.uniform(0, 4) == 0 ? d.uniform(100, 5000) : d.uniform(2, 16);
      offset = d.uniform(0, 100000);
      std::vector<int64_t> window_ends;
      int64_t start = offset;
      int64_t window = vanto::internal::first_search_window_(p);
      while (start + window + p <= size) {
        window_ends.push_back(start + window);
        start += window - (p - 1);
        window = vanto::internal::next_search_window_(window);
      }
      ASSERT_GE(window_ends.size(), 8u);
      // Bytes of the pattern inside the window: one, all but one, or any.
      const int64_t inside[] = {1, p - 1, d.uniform(1, p - 1)};
      const int64_t at = window_ends[static_cast<size_t>(d.uniform(0, 7))] - inside[d.uniform(0, 2)];
      pattern = '#' + d.letters(p - 2);
      pattern.push_back('#');
      ASSERT_GT(vanto_edit_overwrite(s, at, pattern.data(), p), 0);
      copy.replace(static_cast<size_t>(at), static_cast<size_t>(p), pattern);
      length = d.uniform(0, 1) == 0 ? 0 : at + p - offset + d.uniform(0, 1000);
    } else {
      pattern = d.uniform(0, 1) == 0 ? d.letters(p)
                                     : copy.substr(static_cast<size_t>(d.uniform(0, size - p)),
                                                   static_cast<size_t>(p));
      // Dense patterns get short ranges so the number of calls stays modest.
      const int64_t span = p <= 2 ? 4000 : p <= 4 ? 60000 : size;
      offset = d.uniform(0, size - 1);
      // Length 0 (to the end of the data) only where matches are sparse.
      length = span == size && d.uniform(0, 3) == 0 ? 0 : d.uniform(1, std::min(span, size - offset));
    }
    if (case_insensitive && d.uniform(0, 1) == 0) {
      for (char &c : pattern) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const int64_t range_length = length != 0 ? length : size - offset;
    const int64_t end = offset + range_length;
    const int64_t advance = d.uniform(0, 1) == 0 ? 1 : p;
    SCOPED_TRACE("trial " + std::to_string(trial) + ": pattern '" + pattern + "' range [" +
                 std::to_string(offset) + ", " + std::to_string(end) + ") advance " +
                 std::to_string(advance) + (case_insensitive ? " folded" : " exact"));

    vanto_search_context_t *context = vanto_search_create_context_string(
        s, pattern, offset, length, case_insensitive ? 1 : 0);
    if (range_length < p) {
      EXPECT_EQ(context, nullptr);
      ++refused;
      continue;
    }
    ASSERT_NE(context, nullptr);

    int64_t previous = -1;
    for (int call = 0;; ++call) {
      const int64_t from = previous < 0 ? offset : previous + advance;
      const int64_t expected = naive_find(copy, pattern, from, end, case_insensitive);
      const int found = vanto_search_next_match(context, advance);
      ASSERT_EQ(found, expected >= 0 ? 1 : 0) << "call " << call << " from " << from;
      if (found == 0) {
        EXPECT_EQ(vanto_search_context_get_offset(context), end);
        break;
      }
      ASSERT_EQ(vanto_search_context_get_offset(context), expected) << "call " << call;
      ++matches;
      if (expected < kMiB && expected + p > kMiB) ++straddling_first_mib;
      if (expected - from > kMiB) ++long_searches;
      previous = expected;
      // Now and then the data changes between two calls.
      if (d.uniform(0, 40) == 0) {
        d.edit(s, copy);
        if (HasFatalFailure()) return;
      }
    }
    vanto_search_destroy_context(context);
  }
  EXPECT_EQ(vanto_session_get_num_search_contexts(s), 0);
  // The copy followed every edit.
  EXPECT_TRUE(vanto_session_get_segment_string(s, 0, static_cast<int64_t>(copy.size())) == copy);
  // The run covered what it is meant to cover.
  EXPECT_GT(matches, 5000);
  EXPECT_GT(straddling_first_mib, 0);
  EXPECT_GT(long_searches, 0);
  std::cout << matches << " matches, " << straddling_first_mib << " across 1 MiB, "
            << long_searches << " found more than 1 MiB after the start, " << refused
            << " refused ranges\n";
}

// Masked matching as the library defines it: fold, then mask.
bool naive_matches_at(const std::string &data, const std::string &pattern, const std::string &mask, int64_t at,
                      bool case_insensitive) {
  for (size_t i = 0; i < pattern.size(); ++i) {
    const auto m = static_cast<unsigned char>(mask[i]);
    if ((fold(static_cast<unsigned char>(data[static_cast<size_t>(at) + i]), case_insensitive) & m) !=
        (fold(static_cast<unsigned char>(pattern[i]), case_insensitive) & m)) {
      return false;
    }
  }
  return true;
}

// Leftmost masked match starting in [from, ...) and lying whole in [.., end)
// and in the data; -1 when there is none.
int64_t naive_first(const std::string &data, const std::string &pattern, const std::string &mask, int64_t from,
                    int64_t end, bool case_insensitive) {
  const int64_t last = std::min(end, static_cast<int64_t>(data.size())) - static_cast<int64_t>(pattern.size());
  for (int64_t at = std::max<int64_t>(from, 0); at <= last; ++at) {
    if (naive_matches_at(data, pattern, mask, at, case_insensitive)) return at;
  }
  return -1;
}

// Rightmost masked match starting in [start, last_start] and inside the data.
int64_t naive_last(const std::string &data, const std::string &pattern, const std::string &mask, int64_t start,
                   int64_t last_start, bool case_insensitive) {
  last_start = std::min(last_start, static_cast<int64_t>(data.size() - pattern.size()));
  for (int64_t at = last_start; at >= std::max<int64_t>(start, 0); --at) {
    if (naive_matches_at(data, pattern, mask, at, case_insensitive)) return at;
  }
  return -1;
}

// Window starts of a backward call with no current match over [offset, end)
// for a pattern of p bytes: windows grow like forward ones and overlap by
// p - 1 bytes.
std::vector<int64_t> backward_window_starts(int64_t offset, int64_t end, int64_t p) {
  std::vector<int64_t> starts;
  int64_t window_end = end;
  int64_t window = vanto::internal::first_search_window_(p);
  while (window_end - window - p >= offset) {
    starts.push_back(window_end - window);
    window_end = window_end - window + p - 1;
    window = vanto::internal::next_search_window_(window);
  }
  return starts;
}

TEST(SearchDifferential, MaskedBackwardAndCountAgreeWithNaiveSearch) {
  vanto::test::ScratchDir dir;
  Differential d(20261210);
  std::string copy = d.letters(5 * kMiB / 2);
  const std::string path = dir.file("data");
  vanto::test::write_file(path, copy);
  Session session(vanto_edit_create_session(path.c_str(), nullptr, nullptr, 0));
  ASSERT_NE(session, nullptr);
  vanto_session_t *s = session.get();

  // Mask bytes: wildcard, whole byte, nibbles, the case bit cleared, any.
  const auto mask_byte = [&d]() -> char {
    switch (d.uniform(0, 6)) {
      case 0: return '\x00';
      case 1: case 2: return '\xFF';
      case 3: return '\xF0';
      case 4: return '\x0F';
      case 5: return '\xDF';
      default: return static_cast<char>(d.uniform(0, 255));
    }
  };
  int64_t forward = 0, backward = 0, counted = 0, planted_found = 0, wildcard_only = 0;
  for (int trial = 0; trial < 160; ++trial) {
    for (int e = static_cast<int>(d.uniform(0, 2)); e > 0; --e) {
      d.edit(s, copy);
      if (HasFatalFailure()) return;
    }
    const int64_t size = static_cast<int64_t>(copy.size());
    const bool case_insensitive = d.uniform(0, 1) == 1;
    const int kind = trial % 5;
    int64_t p = d.uniform(1, 6);
    std::string pattern, mask;
    int64_t offset = 0, length = 0;
    int64_t planted = -1;
    if (kind == 0) {
      // A rare pattern with a fixed run of 4 or more bytes and masked bytes
      // around it, planted across a forward or a backward window boundary.
      p = d.uniform(6, 24);
      pattern = d.letters(p);
      pattern.front() = '#';
      pattern.back() = '#';
      mask = std::string(static_cast<size_t>(p), '\xFF');
      const int64_t run = d.uniform(4, p - 1);
      const int64_t run_at = d.uniform(0, p - run);
      for (int64_t i = 0; i < p; ++i) {
        if (i < run_at || i >= run_at + run) mask[static_cast<size_t>(i)] = mask_byte();
      }
      offset = d.uniform(0, 100000);
      const int64_t end = size - d.uniform(0, 100000);
      std::vector<int64_t> boundaries;
      if (d.uniform(0, 1) == 0) {
        for (int64_t start : backward_window_starts(offset, end, p)) boundaries.push_back(start);
      } else {
        int64_t start = offset;
        int64_t window = vanto::internal::first_search_window_(p);
        while (start + window + p <= end) {
          boundaries.push_back(start + window);
          start += window - (p - 1);
          window = vanto::internal::next_search_window_(window);
        }
      }
      ASSERT_GE(boundaries.size(), 8u);
      planted = boundaries[static_cast<size_t>(d.uniform(0, static_cast<int64_t>(boundaries.size()) - 1))] -
                d.uniform(1, p - 1);
      ASSERT_GT(vanto_edit_overwrite(s, planted, pattern.data(), p), 0);
      copy.replace(static_cast<size_t>(planted), static_cast<size_t>(p), pattern);
      length = end - offset;
    } else {
      pattern = d.uniform(0, 1) == 0 ? d.letters(p)
                                     : copy.substr(static_cast<size_t>(d.uniform(0, size - p)),
                                                   static_cast<size_t>(p));
      for (int64_t i = 0; i < p; ++i) mask.push_back(kind == 1 ? '\x00' : mask_byte());
      if (kind == 1) ++wildcard_only;
      // Short ranges: masked patterns over six letters match often.
      offset = d.uniform(-50, size - 1);
      length = d.uniform(1, 6000);
      if (kind == 2) offset = kMiB - d.uniform(0, 3000);  // across the first 1 MiB mark
    }
    if (case_insensitive && d.uniform(0, 1) == 0) {
      for (char &c : pattern) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const int64_t end = offset + length;
    const int64_t advance = d.uniform(0, 2) == 0 ? p : d.uniform(1, p);
    SCOPED_TRACE("trial " + std::to_string(trial) + " p " + std::to_string(p) + " range [" +
                 std::to_string(offset) + ", " + std::to_string(end) + ") advance " + std::to_string(advance) +
                 (case_insensitive ? " folded" : " exact"));
    vanto_search_context_t *context = vanto_search_create_context_masked(
        s, reinterpret_cast<const unsigned char *>(pattern.data()), reinterpret_cast<const unsigned char *>(mask.data()),
        p, offset, length, case_insensitive ? 1 : 0);
    if (length < p) {
      EXPECT_EQ(context, nullptr);
      continue;
    }
    ASSERT_NE(context, nullptr);
    ASSERT_EQ(vanto_search_context_get_length(context), p);

    // The count first, against a naive count.
    int64_t naive_count = 0;
    for (int64_t at = naive_first(copy, pattern, mask, offset, end, case_insensitive); at >= 0;
         at = naive_first(copy, pattern, mask, at + advance, end, case_insensitive)) {
      ++naive_count;
    }
    ASSERT_EQ(vanto_search_count_matches(context, advance), naive_count);
    ++counted;

    // Then a walk: all forward, all backward, or a random mix, with an
    // edit now and then.  The count leaves the current match alone.
    const int walk = static_cast<int>(d.uniform(0, 2));
    int64_t current = -1;
    bool saw_planted = false;
    int ends = 0;
    for (int call = 0; call < 3000; ++call) {
      const bool next = walk == 0 || (walk == 2 && d.uniform(0, 1) == 0);
      const int64_t expected =
          next ? naive_first(copy, pattern, mask, current < 0 ? offset : current + advance, end, case_insensitive)
               : (current >= 0 && current - advance < offset)
                     ? -1
                     : naive_last(copy, pattern, mask, offset, current < 0 ? end - p : current - advance,
                                  case_insensitive);
      const int found = next ? vanto_search_next_match(context, advance) : vanto_search_prev_match(context, advance);
      ASSERT_EQ(found, expected >= 0 ? 1 : 0) << "call " << call << (next ? " next" : " prev") << " after "
                                               << current;
      (next ? forward : backward) += found;
      if (found == 0) {
        EXPECT_EQ(vanto_search_context_get_offset(context), end);
        current = -1;
        // A mixed walk goes on once from no current match, then stops.
        if (walk != 2 || ++ends == 2) break;
        continue;
      }
      ASSERT_EQ(vanto_search_context_get_offset(context), expected) << "call " << call;
      current = expected;
      saw_planted = saw_planted || expected == planted;
      if (d.uniform(0, 60) == 0) {
        ASSERT_GE(vanto_search_count_matches(context, advance), 0);
        ASSERT_EQ(vanto_search_context_get_offset(context), current);
      }
      if (d.uniform(0, 80) == 0) {
        d.edit(s, copy);
        if (HasFatalFailure()) return;
      }
    }
    // The planted occurrence lies across a window boundary; a walk that
    // went all the way through one direction saw it, unless an edit hit it.
    if (saw_planted) ++planted_found;
    vanto_search_destroy_context(context);
  }
  EXPECT_TRUE(vanto_session_get_segment_string(s, 0, static_cast<int64_t>(copy.size())) == copy);
  EXPECT_GT(forward, 1000);
  EXPECT_GT(backward, 1000);
  EXPECT_GT(planted_found, 5);
  EXPECT_GT(wildcard_only, 0);
  std::cout << forward << " forward and " << backward << " backward matches, " << counted << " counts, "
            << planted_found << " planted found\n";
}

// A mask of only 0xFF (or none) makes a context that behaves exactly like an
// exact one, forward, backward and counting, with and without folding.
TEST(SearchDifferential, FullMaskEqualsExactSearch) {
  vanto::test::ScratchDir dir;
  Differential d(7);
  const std::string copy = d.letters(3 * kMiB / 2);
  const std::string path = dir.file("data");
  vanto::test::write_file(path, copy);
  Session session(vanto_edit_create_session(path.c_str(), nullptr, nullptr, 0));
  ASSERT_NE(session, nullptr);
  const auto *pattern = reinterpret_cast<const unsigned char *>("aBc");
  const unsigned char full[] = {0xFF, 0xFF, 0xFF};
  for (int fold_case : {0, 1}) {
    vanto_search_context_t *exact = vanto_search_create_context_bytes(session.get(), pattern, 3, 0, 0, fold_case);
    vanto_search_context_t *masked =
        vanto_search_create_context_masked(session.get(), pattern, full, 3, 0, 0, fold_case);
    vanto_search_context_t *unmasked =
        vanto_search_create_context_masked(session.get(), pattern, nullptr, 3, 0, 0, fold_case);
    ASSERT_TRUE(exact && masked && unmasked);
    const int64_t count = vanto_search_count_matches(exact, 1);
    EXPECT_GT(count, 1000);
    EXPECT_EQ(vanto_search_count_matches(masked, 1), count);
    EXPECT_EQ(vanto_search_count_matches(unmasked, 3), vanto_search_count_matches(exact, 3));
    int64_t walked = 0;
    while (vanto_search_prev_match(exact, 1) == 1) {
      ASSERT_EQ(vanto_search_prev_match(masked, 1), 1);
      ASSERT_EQ(vanto_search_context_get_offset(masked), vanto_search_context_get_offset(exact));
      ++walked;
    }
    EXPECT_EQ(vanto_search_prev_match(masked, 1), 0);
    EXPECT_EQ(walked, count);
  }
}

}  // namespace
