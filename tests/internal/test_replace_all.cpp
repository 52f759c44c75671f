// Replace-all against a naive replace on a string: same data, same count,
// the smallest changes, one transaction whose undo gives back exactly the
// model it started from; events, cancellation and refusals.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "impl_/internal_fun.h"
#include "impl_/records.h"
#include "model_text.h"
#include "test_support.h"
#include "vanto_edit.h"

namespace {

using vanto::test::data_of;
using vanto::test::ScratchDir;
using vanto::test::text_of;
using vanto::test::write_file;

bool same_bytes(const std::string &a, size_t at, const std::string &pattern, bool ignore_case) {
  for (size_t i = 0; i < pattern.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[at + i]);
    unsigned char y = static_cast<unsigned char>(pattern[i]);
    if (ignore_case) {
      x = static_cast<unsigned char>(x >= 'A' && x <= 'Z' ? x + 32 : x);
      y = static_cast<unsigned char>(y >= 'A' && y <= 'Z' ? y + 32 : y);
    }
    if (x != y) return false;
  }
  return true;
}

// Left to right, no overlaps, inside [offset, offset + length), at most max.
std::string naive_replace(const std::string &data, const std::string &pattern, const std::string &replacement,
                          bool ignore_case, size_t offset, size_t length, int64_t max, int64_t *count) {
  const size_t end = length == 0 ? data.size() : std::min(data.size(), offset + length);
  std::string out = data.substr(0, offset);
  size_t i = offset;
  *count = 0;
  while (i < end) {
    if (i + pattern.size() <= end && (max < 0 || *count < max) && same_bytes(data, i, pattern, ignore_case)) {
      out += replacement;
      i += pattern.size();
      ++*count;
    } else {
      out += data[i++];
    }
  }
  return out + data.substr(end);
}

struct Case {
  const char *what;
  std::string pattern;
  std::string replacement;
  bool ignore_case;
  size_t offset;
  size_t length;
  int64_t max;
  char only_kind;  // the kind every recorded change has, or 0
};

class ReplaceAllTest : public ::testing::Test {
 protected:
  void open(const std::string &content) {
    path_ = dir_.file("data.bin");
    write_file(path_, content);
    session_ = vanto_edit_create_session(path_.c_str(), on_event, this, SESSION_EVENT_ALL);
    ASSERT_NE(session_, nullptr);
  }
  void TearDown() override { vanto_edit_destroy_session(session_); }

  static void on_event(const vanto_session_t *session, int32_t event, const void *) {
    auto *self = static_cast<ReplaceAllTest *>(vanto_session_get_user_data_ptr(session));
    self->events_.push_back(event);
  }

  ScratchDir dir_;
  std::string path_;
  vanto_session_t *session_ = nullptr;
  std::vector<int32_t> events_;
};

TEST_F(ReplaceAllTest, AgreesWithANaiveReplaceAndUndoesExactly) {
  std::string base;
  for (int i = 0; i < 40; ++i) base += "line " + std::to_string(i) + " aAbB abc Abc aaaa\r\n";
  const Case cases[] = {
      {"CRLF to LF", "\r\n", "\n", false, 0, 0, -1, 'D'},
      {"equal lengths", "abc", "xyz", false, 0, 0, -1, 'O'},
      {"shared head and tail", "abc", "aXc", false, 0, 0, -1, 'O'},
      {"identity records nothing", "abc", "abc", false, 0, 0, -1, '-'},
      {"to nothing", "a", "", false, 0, 0, -1, 'D'},
      {"growing with a shared head", "ab", "abab", false, 0, 0, -1, 'I'},
      {"delete and insert", "abc", "Q", false, 0, 0, -1, 0},
      {"no overlaps", "aa", "b", false, 0, 0, -1, 0},
      {"ignoring case", "ABC", "abc", true, 0, 0, -1, 0},
      {"ignoring case, nothing shared", "ab", "--", true, 0, 0, -1, 'O'},
      {"a range", "\r\n", "\n", false, 100, 300, -1, 'D'},
      {"a range ending inside a match", "aaaa", "", false, 0, 20 + 3, -1, 0},
      {"at most three", "a", "A", false, 0, 0, 3, 'O'},
      {"no match", "zzz", "y", false, 0, 0, -1, '-'},
      {"longer than the data", std::string(5000, 'a'), "b", false, 0, 0, -1, '-'},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    open(base);
    // Some pieces first, so that matches cross piece boundaries.
    ASSERT_GT(vanto_edit_insert(session_, 7, "ab", 2), 0);
    ASSERT_GT(vanto_edit_delete(session_, 50, 3), 0);
    ASSERT_GT(vanto_edit_overwrite(session_, 90, "c\r\nab", 5), 0);
    const std::string before_text = text_of(session_);
    const std::string before = data_of(session_);
    const int64_t changes_before = vanto_session_get_num_changes(session_);
    events_.clear();

    int64_t want_count = 0;
    const std::string want = naive_replace(before, c.pattern, c.replacement, c.ignore_case, c.offset, c.length,
                                           c.max, &want_count);
    int64_t count = -1;
    const int64_t rc = vanto_edit_replace_all(session_, c.pattern.data(), static_cast<int64_t>(c.pattern.size()),
                                              c.replacement.data(), static_cast<int64_t>(c.replacement.size()),
                                              c.ignore_case ? REPLACE_FLAG_IGNORE_CASE : 0,
                                              static_cast<int64_t>(c.offset), static_cast<int64_t>(c.length),
                                              c.max, &count);
    EXPECT_EQ(count, want_count);
    EXPECT_EQ(data_of(session_), want);
    EXPECT_EQ(vanto_check_model(session_), 0);
    const int64_t recorded = vanto_session_get_num_changes(session_) - changes_before;
    EXPECT_EQ(rc, recorded > 0 ? vanto_session_get_num_changes(session_) : 0);
    EXPECT_EQ(events_, std::vector<int32_t>(static_cast<size_t>(recorded), SESSION_EVENT_EDIT));
    if (c.only_kind == '-') {
      EXPECT_EQ(recorded, 0);
    }
    if (c.only_kind != 0 && c.only_kind != '-') {
      EXPECT_GT(recorded, 0);
      for (int64_t s = changes_before + 1; s <= changes_before + recorded; ++s) {
        EXPECT_EQ(vanto_change_get_kind_as_char(vanto_session_get_change(session_, s)), c.only_kind) << s;
      }
    }
    if (c.only_kind == 'D' && c.pattern == "\r\n") {
      EXPECT_EQ(vanto_change_get_length(vanto_session_get_last_change(session_)), 1);
    }
    if (recorded > 0) {
      // One transaction: one undo takes all of it back, exactly.
      EXPECT_EQ(vanto_session_get_num_change_transactions(session_), 4);
      EXPECT_EQ(vanto_edit_undo_last_change(session_), -(changes_before + 1));
      EXPECT_EQ(text_of(session_), before_text);
      EXPECT_EQ(vanto_edit_redo_last_undo(session_), changes_before + recorded);
      EXPECT_EQ(data_of(session_), want);
    }
    vanto_edit_destroy_session(session_);
    session_ = nullptr;
  }
}

// A match that spans the boundary between two read blocks of the pass.
TEST_F(ReplaceAllTest, FindsMatchesAcrossReadBlocks) {
  std::string base(3 << 20, '.');
  for (size_t at : {size_t{0}, (size_t{1} << 20) - 2, (size_t{2} << 20) - 1, base.size() - 5}) {
    base.replace(at, 5, "NEEDL");
  }
  open(base);
  int64_t count = 0;
  EXPECT_GT(vanto_edit_replace_all(session_, "NEEDL", 5, "x", 1, 0, 0, 0, -1, &count), 0);
  EXPECT_EQ(count, 4);
  int64_t want_count = 0;
  EXPECT_TRUE(data_of(session_) == naive_replace(base, "NEEDL", "x", false, 0, 0, -1, &want_count));
}

int cancel(const vanto_session_t *, int64_t, int64_t, void *) { return 1; }

TEST_F(ReplaceAllTest, CancelledPassRecordsNothing) {
  open(std::string(9 << 20, 'a'));
  ASSERT_EQ(vanto_session_set_progress_cbk(session_, cancel, nullptr), 0);
  events_.clear();
  int64_t count = 5;
  EXPECT_EQ(vanto_edit_replace_all(session_, "a", 1, "b", 1, 0, 0, 0, -1, &count), -2);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(vanto_session_get_num_changes(session_), 0);
  EXPECT_TRUE(events_.empty());
}

// Paused viewport callbacks hear nothing; the session callback still hears
// every change; an open transaction takes the changes in.
TEST_F(ReplaceAllTest, ViewportsPausedAndHostTransaction) {
  open("a-a-a-a");
  int viewport_events = 0;
  vanto_viewport_t *viewport = vanto_edit_create_viewport(
      session_, 0, 16, 0,
      [](const vanto_viewport_t *v, int32_t, const void *) { ++*static_cast<int *>(vanto_viewport_get_user_data_ptr(v)); },
      &viewport_events, VIEWPORT_EVENT_ALL);
  ASSERT_NE(viewport, nullptr);
  viewport_events = 0;
  vanto_session_pause_viewport_event_callbacks(session_);
  ASSERT_EQ(vanto_session_begin_transaction(session_), 0);
  ASSERT_GT(vanto_edit_insert(session_, 0, ">", 1), 0);
  events_.clear();
  int64_t count = 0;
  // Nothing shared: a delete and an insert per match.
  EXPECT_EQ(vanto_edit_replace_all(session_, "a", 1, "bb", 2, 0, 0, 0, -1, &count), 9);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(viewport_events, 0);
  EXPECT_EQ(events_, std::vector<int32_t>(8, SESSION_EVENT_EDIT));
  EXPECT_EQ(vanto_session_get_transaction_state(session_), 2) << "the host's transaction stays open";
  ASSERT_EQ(vanto_session_end_transaction(session_), 0);
  EXPECT_EQ(data_of(session_), ">bb-bb-bb-bb");
  EXPECT_EQ(vanto_edit_undo_last_change(session_), -1);
  EXPECT_EQ(data_of(session_), "a-a-a-a");
}

// A session callback that edits during the call makes the remaining offsets
// meaningless: the call stops with -1 and keeps what it recorded.
void edit_back(const vanto_session_t *session, int32_t event, const void *) {
  auto *armed = static_cast<bool *>(vanto_session_get_user_data_ptr(session));
  if (event == SESSION_EVENT_EDIT && *armed) {
    *armed = false;
    vanto_edit_insert(const_cast<vanto_session_t *>(session), 0, "!", 1);
  }
}

TEST(ReplaceAllEditedUnderneath, StopsAndKeepsWhatItRecorded) {
  ScratchDir dir;
  const std::string path = dir.file("data.bin");
  write_file(path, "a-a-a-a");
  bool armed = true;
  vanto_session_t *session = vanto_edit_create_session(path.c_str(), edit_back, &armed, SESSION_EVENT_ALL);
  ASSERT_NE(session, nullptr);
  int64_t count = 0;
  EXPECT_EQ(vanto_edit_replace_all(session, "a", 1, "b", 1, 0, 0, 0, -1, &count), -1);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(data_of(session), "!b-a-a-a");
  EXPECT_EQ(vanto_check_model(session), 0);
  vanto_edit_destroy_session(session);
}

}  // namespace
