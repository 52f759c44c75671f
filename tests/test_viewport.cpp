// Viewports: creation limits, the lazy refill, queries, modification, the
// viewport step (touch test and floating movement), event delivery and the
// order of events within each operation.
#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "event_recorder.h"
#include "test_support.h"
#include "vanto_edit.h"

namespace {

using vanto::test::Event;
using vanto::test::EventRecorder;
using vanto::test::session_event;
using vanto::test::viewport_event;

// Printable bytes, so that a failing comparison is readable.
std::string letters(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

enum class Op { kInsert, kDelete, kOverwrite };

struct Edit {
  Op op;
  int64_t offset;
  int64_t length;
};

// A session on a scratch file, with a reference copy of the data that every
// edit made through apply() also changes.
class ViewportTest : public ::testing::Test {
 protected:
  void open(const std::string &content) {
    path_ = dir_.file("data.bin");
    vanto::test::write_file(path_, content);
    expected_ = content;
    session_ = vanto_edit_create_session(path_.c_str(), EventRecorder::on_session, &rec_,
                                         SESSION_EVENT_ALL);
    ASSERT_NE(session_, nullptr);
    rec_.take();
  }

  void TearDown() override { vanto_edit_destroy_session(session_); }

  vanto_viewport_t *viewport(int64_t offset, int64_t capacity, bool floating,
                             int32_t interest = VIEWPORT_EVENT_ALL) {
    return vanto_edit_create_viewport(session_, offset, capacity, floating ? 1 : 0,
                                      EventRecorder::on_viewport, &rec_, interest);
  }

  int64_t apply(const Edit &e) {
    const std::string bytes(static_cast<size_t>(e.length), 'X');
    const auto off = static_cast<size_t>(e.offset);
    switch (e.op) {
      case Op::kInsert:
        expected_.insert(off, bytes);
        return vanto_edit_insert(session_, e.offset, bytes.data(), e.length);
      case Op::kDelete:
        expected_.erase(off, static_cast<size_t>(e.length));
        return vanto_edit_delete(session_, e.offset, e.length);
      case Op::kOverwrite:
        expected_.replace(off, std::min(bytes.size(), expected_.size() - off), bytes);
        return vanto_edit_overwrite(session_, e.offset, bytes.data(), e.length);
    }
    return 0;
  }

  // What a viewport at `offset` with `capacity` must show.
  std::string window(int64_t offset, int64_t capacity) const {
    if (offset < 0 || offset > static_cast<int64_t>(expected_.size())) return {};
    return expected_.substr(static_cast<size_t>(offset), static_cast<size_t>(capacity));
  }

  vanto::test::ScratchDir dir_;
  std::string path_;
  std::string expected_;
  EventRecorder rec_;
  vanto_session_t *session_ = nullptr;
};

TEST_F(ViewportTest, CreationAcceptsCapacitiesFromOneByteToOneMebibyte) {
  open(letters(32));
  struct Case {
    int64_t capacity;
    bool accepted;
  } cases[] = {{-1, false}, {0, false}, {1, true}, {VANTO_VIEWPORT_CAPACITY_LIMIT, true},
               {VANTO_VIEWPORT_CAPACITY_LIMIT + 1, false}};
  int64_t count = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.capacity);
    vanto_viewport_t *v = viewport(0, c.capacity, false);
    EXPECT_EQ(v != nullptr, c.accepted);
    if (v == nullptr) {
      EXPECT_TRUE(rec_.take().empty()) << "a refused creation sends no event";
      continue;
    }
    ++count;
    rec_.take();
    EXPECT_EQ(vanto_viewport_get_capacity(v), c.capacity);
    EXPECT_EQ(vanto_viewport_get_string(v), window(0, c.capacity));
  }
  EXPECT_EQ(vanto_session_get_num_viewports(session_), count);
}

TEST_F(ViewportTest, FirstReadFillsTheBufferAndClearsTheMark) {
  open(letters(15));
  vanto_viewport_t *v = viewport(10, 8, false);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(vanto_viewport_has_changes(v), 1);
  EXPECT_EQ(vanto_viewport_get_length(v), 5) << "length before the first read";
  EXPECT_EQ(vanto_viewport_get_following_byte_count(v), 0);

  const unsigned char *data = vanto_viewport_get_data(v);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(data), 5), "klmno");
  EXPECT_EQ(data[5], 0);
  EXPECT_EQ(vanto_viewport_has_changes(v), 0);
  EXPECT_EQ(vanto_viewport_get_length(v), 5);
  EXPECT_EQ(vanto_viewport_get_following_byte_count(v), 0);
  EXPECT_EQ(vanto_viewport_get_data(v), data) << "an unmarked viewport is not refilled";
}

TEST_F(ViewportTest, ReadsMatchTheDataForInlineAndHeapBuffers) {
  open(letters(5000));
  // Capacities around the inline limit (7 inline, 8 on the heap) and larger.
  for (int64_t capacity : {1, 2, 7, 8, 9, 64, 4096, 8192}) {
    for (int64_t offset : {int64_t{0}, int64_t{3}, int64_t{4990}, int64_t{4999}, int64_t{5000}}) {
      SCOPED_TRACE(testing::Message() << "capacity " << capacity << " offset " << offset);
      vanto_viewport_t *v = viewport(offset, capacity, false);
      ASSERT_NE(v, nullptr);
      const std::string want = window(offset, capacity);
      EXPECT_EQ(vanto_viewport_get_length(v), static_cast<int64_t>(want.size()));
      const unsigned char *data = vanto_viewport_get_data(v);
      ASSERT_NE(data, nullptr);
      EXPECT_EQ(std::string(reinterpret_cast<const char *>(data), want.size()), want);
      EXPECT_EQ(data[want.size()], 0);
      EXPECT_EQ(vanto_viewport_get_following_byte_count(v),
                5000 - offset - static_cast<int64_t>(want.size()));
      vanto_edit_destroy_viewport(v);
    }
  }
}

TEST_F(ViewportTest, ReadsAfterEditsShowTheEditedData) {
  open(letters(100));
  vanto_viewport_t *small = viewport(40, 5, false);
  vanto_viewport_t *large = viewport(20, 64, false);
  ASSERT_EQ(vanto_viewport_get_string(small), window(40, 5));
  ASSERT_EQ(vanto_viewport_get_string(large), window(20, 64));
  for (const Edit &e : {Edit{Op::kInsert, 41, 3}, Edit{Op::kDelete, 30, 12},
                        Edit{Op::kOverwrite, 38, 4}, Edit{Op::kInsert, 0, 9}}) {
    ASSERT_GT(apply(e), 0);
    EXPECT_EQ(vanto_viewport_has_changes(small), 1);
    EXPECT_EQ(vanto_viewport_get_length(small), static_cast<int64_t>(window(40, 5).size()));
    EXPECT_EQ(vanto_viewport_get_string(small), window(40, 5));
    EXPECT_EQ(vanto_viewport_get_string(large), window(20, 64));
  }
}

TEST_F(ViewportTest, WindowsOutsideTheDataReadAsNoData) {
  open(letters(20));
  vanto_viewport_t *beyond = viewport(25, 4, false);
  vanto_viewport_t *negative = viewport(-3, 8, false);
  ASSERT_NE(beyond, nullptr);
  ASSERT_NE(negative, nullptr);

  EXPECT_EQ(vanto_viewport_get_length(beyond), 0);
  EXPECT_EQ(vanto_viewport_get_length(negative), 0) << "a refill before 0 produces nothing";
  for (vanto_viewport_t *v : {beyond, negative}) {
    EXPECT_EQ(vanto_viewport_get_data(v), nullptr);
    EXPECT_EQ(vanto_viewport_has_changes(v), 0) << "the failed refill clears the mark";
    EXPECT_EQ(vanto_viewport_get_length(v), 0);
    EXPECT_EQ(vanto_viewport_get_data(v), nullptr) << "a later read does not invent data";
    EXPECT_EQ(vanto_viewport_get_string(v), "");
  }
  EXPECT_EQ(vanto_viewport_get_following_byte_count(beyond), 20 - 25);

  // Data growing under the window touches it, and it reads again.
  ASSERT_GT(apply({Op::kInsert, 20, 10}), 0);
  EXPECT_EQ(vanto_viewport_has_changes(beyond), 1);
  EXPECT_EQ(vanto_viewport_get_string(beyond), window(25, 4));
}

TEST_F(ViewportTest, SessionWithoutDataReadsAsEmptyText) {
  session_ = vanto_edit_create_session(nullptr, nullptr, nullptr, 0);
  ASSERT_NE(session_, nullptr);
  vanto_viewport_t *v = viewport(0, 16, false);
  const unsigned char *data = vanto_viewport_get_data(v);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(vanto_viewport_get_length(v), 0);
  EXPECT_EQ(data[0], 0);

  ASSERT_EQ(vanto_edit_insert(session_, 0, "hello", 5), 1);
  EXPECT_EQ(vanto_viewport_get_string(v), "hello");
  // Deleting everything leaves a model without pieces; the stale "hello"
  // must not show through the buffer.
  ASSERT_EQ(vanto_edit_delete(session_, 0, 5), 2);
  data = vanto_viewport_get_data(v);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(vanto_viewport_get_length(v), 0);
  EXPECT_EQ(data[0], 0);
}

TEST_F(ViewportTest, TruncatedBackingFileFailsTheRefill) {
  open(letters(64));
  vanto_viewport_t *head = viewport(0, 8, false);
  vanto_viewport_t *tail = viewport(40, 16, false);
  ASSERT_EQ(::truncate(path_.c_str(), 32), 0);
  EXPECT_EQ(vanto_viewport_get_string(head), window(0, 8)) << "bytes still in the file";
  EXPECT_EQ(vanto_viewport_get_data(tail), nullptr);
  EXPECT_EQ(vanto_viewport_get_data(tail), nullptr);
  EXPECT_EQ(vanto_viewport_get_length(tail), 0);
  EXPECT_EQ(vanto_viewport_has_changes(tail), 0);
}

TEST_F(ViewportTest, InSegmentBoundsAreInclusive) {
  open(letters(10));
  vanto_viewport_t *v = viewport(100, 16, false);
  struct Case {
    int64_t offset, length;
    int expected;
  } cases[] = {
      {116, 0, 1},        {117, 0, 0},       {90, 10, 1},   {90, 9, 0}, {100, 0, 1},
      {0, 1000, 1},       {105, 2, 1},       {INT64_MAX, 1, 0},          {INT64_MAX - 5, 100, 0},
      {INT64_MIN, 5, 0},  {90, INT64_MAX, 1},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(vanto_viewport_in_segment(v, c.offset, c.length), c.expected)
        << "offset " << c.offset << " length " << c.length;
  }
  // A window at the very end of the offset range must not wrap around.
  vanto_viewport_t *far = viewport(INT64_MAX - 4, 16, false);
  EXPECT_EQ(vanto_viewport_in_segment(far, INT64_MAX, 0), 1);
  EXPECT_EQ(vanto_viewport_in_segment(far, 0, 10), 0);
  EXPECT_EQ(vanto_viewport_get_length(far), 0);
  EXPECT_LT(vanto_viewport_get_following_byte_count(far), 0);
  // The touch test at such a window must not wrap either: any insert touches it.
  ASSERT_GT(apply({Op::kInsert, 0, 1}), 0);
  EXPECT_EQ(vanto_viewport_has_changes(far), 1);
}

// The touch test of a fixed viewport at 100 with capacity 16.
TEST_F(ViewportTest, ChangesTouchFixedViewportsWithinInclusiveBounds) {
  struct Case {
    const char *name;
    Edit edit;
    bool touched;
  } cases[] = {
      {"insert at the end of the window", {Op::kInsert, 116, 1}, true},
      {"insert just after the window", {Op::kInsert, 117, 1}, false},
      {"insert before the window", {Op::kInsert, 3, 1}, true},
      {"delete from 0", {Op::kDelete, 0, 1}, true},
      {"delete after the window", {Op::kDelete, 150, 10}, false},
      {"overwrite ending at the window's start", {Op::kOverwrite, 90, 10}, true},
      {"overwrite ending one byte before it", {Op::kOverwrite, 90, 9}, false},
      {"overwrite far after it", {Op::kOverwrite, 200, 4}, false},
      {"overwrite inside it", {Op::kOverwrite, 104, 2}, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    open(letters(300));
    vanto_viewport_t *v = viewport(100, 16, false);
    ASSERT_EQ(vanto_viewport_get_string(v), window(100, 16));
    rec_.take();
    ASSERT_GT(apply(c.edit), 0);
    EXPECT_EQ(vanto_viewport_has_changes(v), c.touched ? 1 : 0);
    EXPECT_EQ(vanto_viewport_get_offset(v), 100) << "fixed viewports never move";
    const vanto_change_t *change = vanto_session_get_last_change(session_);
    std::vector<Event> want;
    if (c.touched) want.push_back(viewport_event(v, VIEWPORT_EVENT_EDIT, change));
    want.push_back(session_event(session_, SESSION_EVENT_EDIT, change));
    EXPECT_EQ(rec_.take(), want);
    EXPECT_EQ(vanto_viewport_get_string(v), window(100, 16));
    vanto_edit_destroy_session(session_);
    session_ = nullptr;
  }
}

TEST_F(ViewportTest, FloatingViewportsMoveWithTheirContent) {
  struct Case {
    const char *name;
    int64_t start;
    std::vector<Edit> edits;
    int64_t offset;  // after the edits
    bool marked;
  } cases[] = {
      {"insert at its offset", 100, {{Op::kInsert, 100, 5}}, 105, true},
      {"insert just after its offset", 100, {{Op::kInsert, 101, 5}}, 100, true},
      {"insert after its window", 100, {{Op::kInsert, 200, 5}}, 100, false},
      {"delete before it", 100, {{Op::kDelete, 50, 20}}, 80, true},
      {"delete reaching into it", 100, {{Op::kDelete, 90, 20}}, 80, true},
      {"delete reaching past its window", 100, {{Op::kDelete, 90, 50}}, 50, true},
      {"delete at its offset", 100, {{Op::kDelete, 100, 3}}, 97, true},
      {"overwrite before it", 100, {{Op::kOverwrite, 20, 5}}, 100, false},
      {"overwrite at its offset", 100, {{Op::kOverwrite, 100, 5}}, 100, true},
      {"delete past offset 0", 10, {{Op::kDelete, 5, 20}}, 0, true},
      {"moved, then deleted past offset 0", 10,
       {{Op::kInsert, 0, 30}, {Op::kDelete, 2, 60}}, 0, true},
      {"moved forward and back", 50,
       {{Op::kInsert, 10, 7}, {Op::kDelete, 0, 4}, {Op::kInsert, 53, 2}}, 55, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    open(letters(300));
    vanto_viewport_t *v = viewport(c.start, 16, true);
    ASSERT_EQ(vanto_viewport_get_string(v), window(c.start, 16));
    for (const Edit &e : c.edits) ASSERT_GT(apply(e), 0);
    EXPECT_EQ(vanto_viewport_get_offset(v), c.offset);
    EXPECT_EQ(vanto_viewport_has_changes(v), c.marked ? 1 : 0);
    EXPECT_EQ(vanto_viewport_get_string(v), window(c.offset, 16));
    vanto_edit_destroy_session(session_);
    session_ = nullptr;
  }
}

TEST_F(ViewportTest, ViewportsWithoutListenersAreStillMarked) {
  open(letters(50));
  vanto_viewport_t *silent = viewport(10, 8, false, 0);
  vanto_viewport_t *deaf = vanto_edit_create_viewport(session_, 10, 8, 0, nullptr, nullptr,
                                                      VIEWPORT_EVENT_ALL);
  vanto_viewport_get_data(silent);
  vanto_viewport_get_data(deaf);
  rec_.take();
  ASSERT_GT(apply({Op::kInsert, 12, 2}), 0);
  EXPECT_EQ(vanto_viewport_has_changes(silent), 1);
  EXPECT_EQ(vanto_viewport_has_changes(deaf), 1);
  EXPECT_EQ(rec_.take(), (std::vector<Event>{session_event(
                             session_, SESSION_EVENT_EDIT, vanto_session_get_last_change(session_))}));
}

TEST_F(ViewportTest, PausedCallbacksMarkSilentlyAndNotifyChangedCatchesUp) {
  open(letters(200));
  vanto_viewport_t *a = viewport(50, 10, false);
  vanto_viewport_t *b = viewport(60, 10, true);
  vanto_viewport_t *untouched = viewport(0, 4, false);
  for (auto *v : {a, b, untouched}) vanto_viewport_get_data(v);
  rec_.take();

  vanto_session_pause_viewport_event_callbacks(session_);
  vanto_session_pause_viewport_event_callbacks(session_);
  EXPECT_EQ(vanto_session_viewport_event_callbacks_paused(session_), 1);
  ASSERT_GT(apply({Op::kInsert, 20, 3}), 0);
  EXPECT_EQ(rec_.take(), (std::vector<Event>{session_event(
                             session_, SESSION_EVENT_EDIT, vanto_session_get_last_change(session_))}));
  EXPECT_EQ(vanto_viewport_has_changes(a), 1);
  EXPECT_EQ(vanto_viewport_has_changes(b), 1);
  EXPECT_EQ(vanto_viewport_has_changes(untouched), 0);
  EXPECT_EQ(vanto_session_notify_changed_viewports(session_), 0) << "still paused";
  EXPECT_TRUE(rec_.take().empty());

  vanto_session_resume_viewport_event_callbacks(session_);
  EXPECT_EQ(vanto_session_viewport_event_callbacks_paused(session_), 0);
  EXPECT_TRUE(rec_.take().empty()) << "resuming sends nothing";
  EXPECT_EQ(vanto_session_notify_changed_viewports(session_), 2);
  EXPECT_EQ(rec_.take(), (std::vector<Event>{viewport_event(a, VIEWPORT_EVENT_CHANGES),
                                             viewport_event(b, VIEWPORT_EVENT_CHANGES)}));
  EXPECT_EQ(vanto_viewport_has_changes(a), 1) << "notifying keeps the marks";
  EXPECT_EQ(vanto_viewport_get_offset(b), 63);
  EXPECT_EQ(vanto_viewport_get_string(a), window(50, 10));
  EXPECT_EQ(vanto_viewport_get_string(b), window(63, 10));
}

TEST_F(ViewportTest, NotifyDeliversOnlyWhenSetInterestedAndNotPaused) {
  open(letters(10));
  vanto_viewport_t *listening = viewport(0, 4, false, VIEWPORT_EVENT_MODIFY | 256);
  vanto_viewport_t *no_callback =
      vanto_edit_create_viewport(session_, 0, 4, 0, nullptr, nullptr, VIEWPORT_EVENT_ALL);
  rec_.take();
  int token = 0;
  EXPECT_EQ(vanto_viewport_notify(listening, 256, &token), 1);
  EXPECT_EQ(vanto_viewport_notify(listening, VIEWPORT_EVENT_EDIT, &token), 0);
  EXPECT_EQ(vanto_viewport_notify(no_callback, 256, &token), 0);
  vanto_session_pause_viewport_event_callbacks(session_);
  EXPECT_EQ(vanto_viewport_notify(listening, 256, &token), 0);
  vanto_session_resume_viewport_event_callbacks(session_);
  EXPECT_EQ(vanto_viewport_set_event_interest(listening, VIEWPORT_EVENT_EDIT), VIEWPORT_EVENT_EDIT);
  EXPECT_EQ(vanto_viewport_get_event_interest(listening), VIEWPORT_EVENT_EDIT);
  EXPECT_EQ(vanto_viewport_notify(listening, 256, &token), 0);
  EXPECT_EQ(vanto_viewport_notify(listening, VIEWPORT_EVENT_EDIT, &token), 1);
  EXPECT_EQ(rec_.take(), (std::vector<Event>{viewport_event(listening, 256, &token),
                                             viewport_event(listening, VIEWPORT_EVENT_EDIT, &token)}));
}

TEST_F(ViewportTest, ModifyRebasesResizesAndMarks) {
  open(letters(100));
  vanto_viewport_t *v = viewport(40, 16, true);
  ASSERT_EQ(vanto_viewport_get_string(v), window(40, 16));
  rec_.take();

  // Nothing to change, or a capacity out of range: no effect at all.
  EXPECT_EQ(vanto_viewport_modify(v, 40, 16, 1), 0);
  EXPECT_EQ(vanto_viewport_modify(v, 40, 0, 1), -1);
  EXPECT_EQ(vanto_viewport_modify(v, 40, VANTO_VIEWPORT_CAPACITY_LIMIT + 1, 1), -1);
  EXPECT_EQ(vanto_viewport_has_changes(v), 0);
  EXPECT_EQ(vanto_viewport_get_capacity(v), 16);
  EXPECT_TRUE(rec_.take().empty());

  // Only the kind changes.
  EXPECT_EQ(vanto_viewport_modify(v, 40, 16, 0), 0);
  EXPECT_EQ(vanto_viewport_is_floating(v), 0);
  EXPECT_EQ(vanto_viewport_has_changes(v), 1);
  EXPECT_EQ(rec_.take(), (std::vector<Event>{viewport_event(v, VIEWPORT_EVENT_MODIFY)}));

  // A floating viewport that moved is re-based on the offset it shows.
  ASSERT_EQ(vanto_viewport_modify(v, 40, 16, 1), 0);
  ASSERT_GT(apply({Op::kInsert, 0, 5}), 0);
  ASSERT_EQ(vanto_viewport_get_offset(v), 45);
  rec_.take();
  EXPECT_EQ(vanto_viewport_modify(v, 45, 16, 1), 0);
  EXPECT_EQ(rec_.take(), (std::vector<Event>{viewport_event(v, VIEWPORT_EVENT_MODIFY)}));
  EXPECT_EQ(vanto_viewport_modify(v, 45, 16, 1), 0);
  EXPECT_TRUE(rec_.take().empty()) << "45 is now the base offset";
  ASSERT_GT(apply({Op::kDelete, 0, 2}), 0);
  EXPECT_EQ(vanto_viewport_get_offset(v), 43);

  // Resizing across the inline limit, with the data following.
  for (int64_t capacity : {3, 7, 8, 200, 1}) {
    SCOPED_TRACE(capacity);
    ASSERT_EQ(vanto_viewport_modify(v, 30, capacity, 0), 0);
    EXPECT_EQ(vanto_viewport_get_capacity(v), capacity);
    EXPECT_EQ(vanto_viewport_get_length(v), static_cast<int64_t>(window(30, capacity).size()));
    EXPECT_EQ(vanto_viewport_get_string(v), window(30, capacity));
  }

  // Silenced deliveries still modify and mark.
  vanto_viewport_set_event_interest(v, VIEWPORT_EVENT_ALL & ~VIEWPORT_EVENT_MODIFY);
  rec_.take();
  EXPECT_EQ(vanto_viewport_modify(v, 10, 4, 0), 0);
  vanto_viewport_set_event_interest(v, VIEWPORT_EVENT_ALL);
  vanto_session_pause_viewport_event_callbacks(session_);
  vanto_viewport_get_data(v);
  EXPECT_EQ(vanto_viewport_modify(v, 12, 4, 0), 0);
  vanto_session_resume_viewport_event_callbacks(session_);
  EXPECT_TRUE(rec_.take().empty());
  EXPECT_EQ(vanto_viewport_has_changes(v), 1);
  EXPECT_EQ(vanto_viewport_get_string(v), window(12, 4));
}

TEST_F(ViewportTest, CallbacksSeeTheNewDataAndStoredValues) {
  open(letters(40));
  struct Seen {
    std::string data;
    int64_t length = -1;
  } seen;
  auto cbk = [](const vanto_viewport_t *v, int32_t event, const void *) {
    if (event != VIEWPORT_EVENT_EDIT) return;
    auto *s = static_cast<Seen *>(vanto_viewport_get_user_data_ptr(v));
    s->length = vanto_viewport_get_length(v);
    s->data = vanto_viewport_get_string(v);
  };
  vanto_viewport_t *v = vanto_edit_create_viewport(session_, 8, 6, 0, cbk, &seen, VIEWPORT_EVENT_ALL);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(vanto_viewport_get_session(v), session_);
  EXPECT_EQ(vanto_viewport_get_user_data_ptr(v), &seen);
  EXPECT_EQ(vanto_viewport_get_event_cbk(v), static_cast<vanto_viewport_event_cbk_t>(cbk));
  EXPECT_EQ(vanto_viewport_get_event_interest(v), VIEWPORT_EVENT_ALL);
  EXPECT_EQ(vanto_viewport_is_floating(v), 0);
  ASSERT_GT(apply({Op::kOverwrite, 9, 2}), 0);
  EXPECT_EQ(seen.data, window(8, 6));
  EXPECT_EQ(seen.length, 6);
}

TEST_F(ViewportTest, DestroyingAViewportKeepsTheOthersInOrder) {
  open(letters(30));
  vanto_viewport_t *a = viewport(0, 4, false);
  vanto_viewport_t *b = viewport(4, 4, false);
  vanto_viewport_t *c = viewport(8, 4, false);
  ASSERT_EQ(vanto_session_get_num_viewports(session_), 3);
  rec_.take();
  vanto_edit_destroy_viewport(b);
  EXPECT_EQ(rec_.take(), (std::vector<Event>{session_event(session_, SESSION_EVENT_DESTROY_VIEWPORT, b)}));
  EXPECT_EQ(vanto_session_get_num_viewports(session_), 2);
  // The survivors are visited in creation order.
  ASSERT_GT(apply({Op::kInsert, 0, 1}), 0);
  const vanto_change_t *change = vanto_session_get_last_change(session_);
  EXPECT_EQ(rec_.take(), (std::vector<Event>{viewport_event(a, VIEWPORT_EVENT_EDIT, change),
                                             viewport_event(c, VIEWPORT_EVENT_EDIT, change),
                                             session_event(session_, SESSION_EVENT_EDIT, change)}));
  vanto_edit_destroy_viewport(nullptr);
  EXPECT_TRUE(rec_.take().empty());
}

// Callbacks that destroy viewports while the library is sending events.
// Every viewport's user data is its slot in the host below; a callback
// records what reached it, and the slot named by the plan destroys the
// viewport it names when it hears the trigger's event.
struct DestroyingHost {
  struct Slot {
    DestroyingHost *host;
    int index;
    vanto_viewport_t *handle;
    bool destroyed;
    std::vector<int32_t> events;
    int64_t events_after_destroy;
  };
  vanto_session_t *session = nullptr;
  Slot slots[3] = {};
  int actor = -1;
  int target = -1;
  int32_t trigger = 0;

  static void on_viewport(const vanto_viewport_t *viewport, int32_t event, const void *) {
    auto *slot = static_cast<Slot *>(vanto_viewport_get_user_data_ptr(viewport));
    if (slot->destroyed) {
      ++slot->events_after_destroy;  // reading it here would use a freed window
      return;
    }
    slot->events.push_back(event);
    vanto_viewport_get_data(viewport);  // the refill sees the new data
    DestroyingHost &host = *slot->host;
    if (event == host.trigger && slot->index == host.actor && !host.slots[host.target].destroyed) {
      host.slots[host.target].destroyed = true;
      vanto_edit_destroy_viewport(host.slots[host.target].handle);
    }
  }
};

TEST(ViewportReentry, ViewportsDestroyedByCallbacksHearNothingMore) {
  enum class Trigger { kEdit, kUndo, kClear, kNotifyChanged };
  struct Case {
    const char *name;
    Trigger trigger;
    int actor;
    int target;
  };
  const Case cases[] = {
      {"a later viewport, during an edit", Trigger::kEdit, 0, 1},
      {"the last viewport, during an edit", Trigger::kEdit, 1, 2},
      {"itself, during an edit", Trigger::kEdit, 0, 0},
      {"an earlier viewport, during an edit", Trigger::kEdit, 2, 0},
      {"a later viewport, during an undo", Trigger::kUndo, 0, 2},
      {"a later viewport, during a clear", Trigger::kClear, 0, 1},
      {"itself, during a clear", Trigger::kClear, 1, 1},
      {"a later viewport, while changed viewports are told", Trigger::kNotifyChanged, 0, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    vanto::test::ScratchDir dir;
    const std::string path = dir.file("data.bin");
    vanto::test::write_file(path, letters(40));
    DestroyingHost host;
    host.session = vanto_edit_create_session(path.c_str(), nullptr, nullptr, 0);
    ASSERT_NE(host.session, nullptr);
    for (int i = 0; i < 3; ++i) {
      host.slots[i] = DestroyingHost::Slot{&host, i, nullptr, false, {}, 0};
      host.slots[i].handle = vanto_edit_create_viewport(host.session, 4 * i, 8, 0, DestroyingHost::on_viewport,
                                                        &host.slots[i], VIEWPORT_EVENT_ALL & ~VIEWPORT_EVENT_CREATE);
      ASSERT_NE(host.slots[i].handle, nullptr);
    }
    host.actor = c.actor;
    host.target = c.target;
    std::string expected = letters(40);
    switch (c.trigger) {
      case Trigger::kEdit:
        host.trigger = VIEWPORT_EVENT_EDIT;
        ASSERT_EQ(vanto_edit_insert(host.session, 0, "XY", 2), 1);
        expected.insert(0, "XY");
        break;
      case Trigger::kUndo:
        vanto_session_pause_viewport_event_callbacks(host.session);
        ASSERT_EQ(vanto_edit_insert(host.session, 0, "XY", 2), 1);
        vanto_session_resume_viewport_event_callbacks(host.session);
        host.trigger = VIEWPORT_EVENT_UNDO;
        ASSERT_EQ(vanto_edit_undo_last_change(host.session), -1);
        break;
      case Trigger::kClear:
        vanto_session_pause_viewport_event_callbacks(host.session);
        ASSERT_EQ(vanto_edit_insert(host.session, 0, "XY", 2), 1);
        vanto_session_resume_viewport_event_callbacks(host.session);
        host.trigger = VIEWPORT_EVENT_CLEAR;
        ASSERT_EQ(vanto_edit_clear_changes(host.session), 0);
        break;
      case Trigger::kNotifyChanged:
        vanto_session_pause_viewport_event_callbacks(host.session);
        ASSERT_EQ(vanto_edit_insert(host.session, 0, "XY", 2), 1);
        expected.insert(0, "XY");
        vanto_session_resume_viewport_event_callbacks(host.session);
        host.trigger = VIEWPORT_EVENT_CHANGES;
        // The destroyed viewport is not called, so it is not counted.
        EXPECT_EQ(vanto_session_notify_changed_viewports(host.session), c.target > c.actor ? 2 : 3);
        break;
    }
    EXPECT_EQ(vanto_session_get_num_viewports(host.session), 2);
    for (int i = 0; i < 3; ++i) {
      const DestroyingHost::Slot &slot = host.slots[i];
      SCOPED_TRACE(i);
      EXPECT_EQ(slot.events_after_destroy, 0);
      if (i == c.target && c.target > c.actor) {
        EXPECT_TRUE(slot.events.empty());  // destroyed before its turn came
        continue;
      }
      EXPECT_EQ(slot.events, std::vector<int32_t>{host.trigger});
      if (i == c.target) continue;
      EXPECT_EQ(vanto_viewport_get_string(slot.handle), expected.substr(static_cast<size_t>(4 * i), 8));
    }
    vanto_edit_destroy_session(host.session);
  }
}

// A viewport destroyed by a callback of its own creation is not handed out.
TEST(ViewportReentry, ViewportDestroyedWhileBeingCreatedIsNotReturned) {
  struct Host {
    int32_t session_event = 0;  // the session event that destroys the new viewport
    std::vector<int32_t> session_events;
  };
  auto destroy_on_create = [](const vanto_viewport_t *viewport, int32_t, const void *) {
    vanto_edit_destroy_viewport(const_cast<vanto_viewport_t *>(viewport));
  };
  auto on_session = [](const vanto_session_t *session, int32_t event, const void *ptr) {
    auto *host = static_cast<Host *>(vanto_session_get_user_data_ptr(session));
    host->session_events.push_back(event);
    if (event == host->session_event) {
      vanto_edit_destroy_viewport(static_cast<vanto_viewport_t *>(const_cast<void *>(ptr)));
    }
  };
  for (const bool from_session : {false, true}) {
    SCOPED_TRACE(from_session ? "session callback" : "viewport callback");
    Host host;
    host.session_event = from_session ? SESSION_EVENT_CREATE_VIEWPORT : 0;
    vanto_session_t *session = vanto_edit_create_session(nullptr, on_session, &host, SESSION_EVENT_ALL);
    ASSERT_NE(session, nullptr);
    vanto_viewport_t *viewport = vanto_edit_create_viewport(
        session, 0, 8, 0, from_session ? nullptr : +destroy_on_create, nullptr, VIEWPORT_EVENT_CREATE);
    EXPECT_EQ(viewport, nullptr);
    EXPECT_EQ(vanto_session_get_num_viewports(session), 0);
    // The host heard of the viewport's end; of its creation only when it was
    // not yet gone.
    const std::vector<int32_t> expected =
        from_session ? std::vector<int32_t>{SESSION_EVENT_CREATE, SESSION_EVENT_CREATE_VIEWPORT,
                                            SESSION_EVENT_DESTROY_VIEWPORT}
                     : std::vector<int32_t>{SESSION_EVENT_CREATE, SESSION_EVENT_DESTROY_VIEWPORT};
    EXPECT_EQ(host.session_events, expected);
    vanto_edit_destroy_session(session);
  }
}

// While a session is destroyed, the callbacks of its viewport events may
// still read the data; what they create goes with the session, and changes
// are refused (the session is going).
TEST(ViewportReentry, CallbacksDuringSessionDestructionReadButChangeNothing) {
  struct Host {
    vanto_session_t *session = nullptr;
    std::vector<std::string> reads;
    std::vector<int64_t> edits;
    int created = 0;
  };
  auto on_destroy = [](const vanto_session_t *cs, int32_t, const void *) {
    auto *host = static_cast<Host *>(vanto_session_get_user_data_ptr(cs));
    auto *s = const_cast<vanto_session_t *>(cs);
    host->reads.push_back(vanto_session_get_segment_string(s, 0, 6));
    host->edits.push_back(vanto_edit_insert(s, 0, "x", 1));
    if (host->created++ == 0) {
      // A viewport and a search context made now are destroyed with the rest.
      EXPECT_NE(vanto_edit_create_viewport(s, 0, 64, 0, nullptr, nullptr, 0), nullptr);
      EXPECT_NE(vanto_search_create_context(s, "a pattern of some length", 0, 0, 0, 0), nullptr);
    }
  };
  vanto::test::ScratchDir dir;
  const std::string path = dir.file("data.bin");
  vanto::test::write_file(path, "abcdefghij and a pattern of some length");
  Host host;
  host.session = vanto_edit_create_session(path.c_str(), on_destroy, &host, SESSION_EVENT_DESTROY_VIEWPORT);
  ASSERT_NE(host.session, nullptr);
  ASSERT_NE(vanto_edit_create_viewport(host.session, 0, 8, 0, nullptr, nullptr, 0), nullptr);
  vanto_edit_destroy_session(host.session);
  EXPECT_EQ(host.created, 2);
  EXPECT_EQ(host.reads, (std::vector<std::string>{"abcdef", "abcdef"}));
  EXPECT_EQ(host.edits, (std::vector<int64_t>{0, 0}));
}

TEST_F(ViewportTest, NullViewportIsRefused) {
  EXPECT_EQ(vanto_viewport_modify(nullptr, 0, 8, 0), -1);
  EXPECT_EQ(vanto_viewport_get_data(nullptr), nullptr);
  EXPECT_EQ(vanto_viewport_get_string(nullptr), "");
  EXPECT_EQ(vanto_viewport_get_length(nullptr), 0);
  EXPECT_EQ(vanto_viewport_get_capacity(nullptr), 0);
  EXPECT_EQ(vanto_viewport_get_offset(nullptr), 0);
  EXPECT_EQ(vanto_viewport_get_following_byte_count(nullptr), 0);
  EXPECT_EQ(vanto_viewport_has_changes(nullptr), 0);
  EXPECT_EQ(vanto_viewport_in_segment(nullptr, 0, 10), 0);
  EXPECT_EQ(vanto_viewport_is_floating(nullptr), 0);
  EXPECT_EQ(vanto_viewport_get_session(nullptr), nullptr);
  EXPECT_EQ(vanto_viewport_get_user_data_ptr(nullptr), nullptr);
  EXPECT_EQ(vanto_viewport_get_event_cbk(nullptr), nullptr);
  EXPECT_EQ(vanto_viewport_get_event_interest(nullptr), 0);
  EXPECT_EQ(vanto_viewport_set_event_interest(nullptr, 5), 0);
  EXPECT_EQ(vanto_viewport_notify(nullptr, 1, nullptr), 0);
  EXPECT_EQ(vanto_edit_create_viewport(nullptr, 0, 8, 0, nullptr, nullptr, 0), nullptr);
}

// The order of session and viewport events, with their pointers, for each
// operation that sends any.
TEST(EventOrder, EachOperationSendsItsEventsInOrder) {
  vanto::test::ScratchDir dir;
  const std::string path = dir.file("order.bin");
  vanto::test::write_file(path, letters(100));
  EventRecorder rec;

  vanto_session_t *s = vanto_edit_create_session(path.c_str(), EventRecorder::on_session, &rec,
                                                 SESSION_EVENT_ALL);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(rec.take(), (std::vector<Event>{session_event(s, SESSION_EVENT_CREATE)}));

  auto make = [&](int64_t offset, int floating) {
    return vanto_edit_create_viewport(s, offset, 10, floating, EventRecorder::on_viewport, &rec,
                                      VIEWPORT_EVENT_ALL);
  };
  vanto_viewport_t *v1 = make(10, 0);
  EXPECT_EQ(rec.take(), (std::vector<Event>{viewport_event(v1, VIEWPORT_EVENT_CREATE, v1),
                                            session_event(s, SESSION_EVENT_CREATE_VIEWPORT, v1)}));
  vanto_viewport_t *v2 = make(50, 1);
  vanto_viewport_t *v3 = make(80, 0);
  rec.take();

  // Edits: the touched viewports in creation order, then the session.
  struct EditCase {
    const char *name;
    Edit edit;
    std::vector<const vanto_viewport_t *> touched;
  } edits[] = {
      {"insert touching all", {Op::kInsert, 5, 2}, {v1, v2, v3}},
      {"delete touching the last two", {Op::kDelete, 40, 3}, {v2, v3}},
      {"overwrite touching the middle one", {Op::kOverwrite, 48, 2}, {v2}},
  };
  for (const EditCase &c : edits) {
    SCOPED_TRACE(c.name);
    const std::string bytes(static_cast<size_t>(c.edit.length), 'Z');
    int64_t serial = 0;
    if (c.edit.op == Op::kInsert) serial = vanto_edit_insert(s, c.edit.offset, bytes.data(), c.edit.length);
    if (c.edit.op == Op::kDelete) serial = vanto_edit_delete(s, c.edit.offset, c.edit.length);
    if (c.edit.op == Op::kOverwrite) serial = vanto_edit_overwrite(s, c.edit.offset, bytes.data(), c.edit.length);
    ASSERT_GT(serial, 0);
    const vanto_change_t *change = vanto_session_get_last_change(s);
    ASSERT_EQ(vanto_change_get_serial(change), serial);
    std::vector<Event> want;
    for (const vanto_viewport_t *v : c.touched) want.push_back(viewport_event(v, VIEWPORT_EVENT_EDIT, change));
    want.push_back(session_event(s, SESSION_EVENT_EDIT, change));
    EXPECT_EQ(rec.take(), want);
  }

  // Refused edits send nothing.
  EXPECT_EQ(vanto_edit_delete(s, 0, 0), 0);
  EXPECT_EQ(vanto_edit_insert(s, -1, "x", 1), 0);
  EXPECT_EQ(vanto_edit_overwrite(s, 1000, "x", 1), 0);
  EXPECT_TRUE(rec.take().empty());

  EXPECT_EQ(vanto_viewport_modify(v3, 70, 10, 0), 0);
  EXPECT_EQ(rec.take(), (std::vector<Event>{viewport_event(v3, VIEWPORT_EVENT_MODIFY)}));

  // Pausing and resuming changes: only real transitions.
  vanto_session_pause_changes(s);
  vanto_session_pause_changes(s);
  EXPECT_EQ(vanto_edit_insert(s, 0, "x", 1), 0);
  vanto_session_resume_changes(s);
  vanto_session_resume_changes(s);
  EXPECT_EQ(rec.take(), (std::vector<Event>{session_event(s, SESSION_EVENT_CHANGES_PAUSED),
                                            session_event(s, SESSION_EVENT_CHANGES_RESUMED)}));

  // Asking for refresh: every marked viewport, marks kept.
  vanto_viewport_get_data(v1);
  EXPECT_EQ(vanto_session_notify_changed_viewports(s), 2);
  EXPECT_EQ(rec.take(), (std::vector<Event>{viewport_event(v2, VIEWPORT_EVENT_CHANGES),
                                            viewport_event(v3, VIEWPORT_EVENT_CHANGES)}));

  ASSERT_EQ(vanto_edit_clear_changes(s), 0);
  EXPECT_EQ(rec.take(), (std::vector<Event>{viewport_event(v1, VIEWPORT_EVENT_CLEAR),
                                            viewport_event(v2, VIEWPORT_EVENT_CLEAR),
                                            viewport_event(v3, VIEWPORT_EVENT_CLEAR),
                                            session_event(s, SESSION_EVENT_CLEAR)}));
  EXPECT_EQ(vanto_viewport_has_changes(v1), 1);

  vanto_edit_destroy_viewport(v2);
  EXPECT_EQ(rec.take(), (std::vector<Event>{session_event(s, SESSION_EVENT_DESTROY_VIEWPORT, v2)}));

  // Destroying the session: the remaining viewports, newest first.
  vanto_viewport_t *v4 = make(0, 1);
  rec.take();
  vanto_edit_destroy_session(s);
  EXPECT_EQ(rec.take(), (std::vector<Event>{session_event(s, SESSION_EVENT_DESTROY_VIEWPORT, v4),
                                            session_event(s, SESSION_EVENT_DESTROY_VIEWPORT, v3),
                                            session_event(s, SESSION_EVENT_DESTROY_VIEWPORT, v1)}));
}

TEST(EventOrder, InterestMasksFilterEachDelivery) {
  EventRecorder rec;
  vanto_session_t *s = vanto_edit_create_session(nullptr, EventRecorder::on_session, &rec,
                                                 SESSION_EVENT_EDIT);
  ASSERT_NE(s, nullptr);
  EXPECT_TRUE(rec.take().empty()) << "SESSION_EVENT_CREATE is not in the mask";
  vanto_viewport_t *v = vanto_edit_create_viewport(s, 0, 8, 0, EventRecorder::on_viewport, &rec,
                                                   VIEWPORT_EVENT_EDIT);
  EXPECT_TRUE(rec.take().empty());
  ASSERT_EQ(vanto_edit_insert(s, 0, "abc", 3), 1);
  const vanto_change_t *change = vanto_session_get_last_change(s);
  EXPECT_EQ(rec.take(), (std::vector<Event>{viewport_event(v, VIEWPORT_EVENT_EDIT, change),
                                            session_event(s, SESSION_EVENT_EDIT, change)}));
  EXPECT_EQ(vanto_session_set_event_interest(s, 0), 0);
  ASSERT_EQ(vanto_edit_insert(s, 0, "abc", 3), 2);
  EXPECT_EQ(rec.take().size(), 1u) << "only the viewport still listens";
  vanto_edit_destroy_session(s);
  EXPECT_TRUE(rec.take().empty());
}

}  // namespace
