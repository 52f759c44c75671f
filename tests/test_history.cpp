// Undo and redo: results, events, the lists they move changes between, the
// interplay with new edits, pausing and floating viewports, and failures
// that must not lose history.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"
#include "vanto_edit.h"

namespace {

using vanto::test::ScratchDir;
using vanto::test::write_file;

// One session event as the callback saw it, with the serial the change had
// at that moment (the same record is negated and restored later).
struct SeenEvent {
  int32_t code;
  int64_t serial;  // 0 when the event carries no change
  int64_t num_changes;
  int64_t num_undone;
  bool operator==(const SeenEvent &o) const {
    return code == o.code && serial == o.serial && num_changes == o.num_changes &&
           num_undone == o.num_undone;
  }
};

std::ostream &operator<<(std::ostream &out, const SeenEvent &e) {
  return out << "{" << e.code << ", " << e.serial << ", " << e.num_changes << ", " << e.num_undone
             << "}";
}

struct Recorder {
  std::vector<SeenEvent> events;
  std::vector<SeenEvent> take() {
    std::vector<SeenEvent> out;
    out.swap(events);
    return out;
  }
};

void on_session_event(const vanto_session_t *session, int32_t event, const void *ptr) {
  auto *rec = static_cast<Recorder *>(vanto_session_get_user_data_ptr(session));
  int64_t serial = 0;
  if (event == SESSION_EVENT_EDIT || event == SESSION_EVENT_UNDO) {
    serial = vanto_change_get_serial(static_cast<const vanto_change_t *>(ptr));
  }
  rec->events.push_back({event, serial, vanto_session_get_num_changes(session),
                         vanto_session_get_num_undone_changes(session)});
}

std::string data_of(const vanto_session_t *session) {
  return vanto_session_get_segment_string(session, 0, vanto_session_get_computed_file_size(session));
}

class HistoryTest : public ::testing::Test {
 protected:
  void open(const std::string &content) {
    path_ = dir_.file("data.bin");
    write_file(path_, content);
    session_ = vanto_edit_create_session(path_.c_str(), on_session_event, &rec_,
                                         SESSION_EVENT_ALL & ~SESSION_EVENT_CREATE);
    ASSERT_NE(session_, nullptr);
  }
  void TearDown() override { vanto_edit_destroy_session(session_); }

  ScratchDir dir_;
  std::string path_;
  Recorder rec_;
  vanto_session_t *session_ = nullptr;
};

TEST(HistoryNull, NullSessionAndEmptyHistoryAreRefusedQuietly) {
  EXPECT_EQ(vanto_edit_undo_last_change(nullptr), 0);
  EXPECT_EQ(vanto_edit_redo_last_undo(nullptr), 0);

  Recorder rec;
  vanto_session_t *session = vanto_edit_create_session(nullptr, on_session_event, &rec, SESSION_EVENT_ALL);
  ASSERT_NE(session, nullptr);
  rec.take();
  EXPECT_EQ(vanto_edit_undo_last_change(session), 0);
  EXPECT_EQ(vanto_edit_redo_last_undo(session), 0);
  EXPECT_TRUE(rec.events.empty());
  vanto_edit_destroy_session(session);
}

TEST_F(HistoryTest, SingleEditsAreUndoneOneByOneAndRedoneInOrder) {
  open("0123456789");
  ASSERT_EQ(vanto_edit_insert(session_, 2, "abc", 3), 1);  // 01abc23456789
  ASSERT_EQ(vanto_edit_delete(session_, 0, 3), 2);         // bc23456789
  ASSERT_EQ(vanto_edit_overwrite(session_, 5, "XY", 2), 3);  // bc234XY789
  ASSERT_EQ(data_of(session_), "bc234XY789");
  rec_.take();

  struct Step {
    int64_t result;
    const char *data;
  };
  const Step undo_steps[] = {{-3, "bc23456789"}, {-2, "01abc23456789"}, {-1, "0123456789"}};
  int64_t changes_left = 3;
  for (const Step &step : undo_steps) {
    --changes_left;
    EXPECT_EQ(vanto_edit_undo_last_change(session_), step.result);
    EXPECT_EQ(data_of(session_), step.data);
    // One event per change, sent once the change is on the undone list.
    EXPECT_EQ(rec_.take(), (std::vector<SeenEvent>{
                               {SESSION_EVENT_UNDO, step.result, changes_left, 3 - changes_left}}));
    EXPECT_EQ(vanto_change_get_serial(vanto_session_get_last_undo(session_)), step.result);
    EXPECT_EQ(vanto_check_model(session_), 0);
  }
  // The undo of serial 1 also returns -1; the counts tell it from a failure.
  EXPECT_EQ(vanto_session_get_num_changes(session_), 0);
  EXPECT_EQ(vanto_session_get_num_undone_changes(session_), 3);
  EXPECT_EQ(vanto_session_get_num_undone_change_transactions(session_), 3);
  EXPECT_EQ(vanto_edit_undo_last_change(session_), 0);
  EXPECT_TRUE(rec_.events.empty());

  const Step redo_steps[] = {{1, "01abc23456789"}, {2, "bc23456789"}, {3, "bc234XY789"}};
  for (const Step &step : redo_steps) {
    EXPECT_EQ(vanto_edit_redo_last_undo(session_), step.result);
    EXPECT_EQ(data_of(session_), step.data);
    ASSERT_EQ(rec_.events.size(), 1u);
    EXPECT_EQ(rec_.events[0].code, SESSION_EVENT_EDIT);
    EXPECT_EQ(rec_.events[0].serial, step.result);
    rec_.take();
    EXPECT_EQ(vanto_change_get_serial(vanto_session_get_last_change(session_)), step.result);
  }
  EXPECT_EQ(vanto_session_get_num_undone_changes(session_), 0);
  EXPECT_EQ(vanto_edit_redo_last_undo(session_), 0);
  EXPECT_TRUE(rec_.events.empty());
}

TEST_F(HistoryTest, TransactionIsUndoneAndRedoneByOneCall) {
  open("0123456789");
  ASSERT_EQ(vanto_edit_insert(session_, 0, "A", 1), 1);  // A0123456789
  ASSERT_EQ(vanto_session_begin_transaction(session_), 0);
  ASSERT_EQ(vanto_edit_insert(session_, 11, "zz", 2), 2);     // A0123456789zz
  ASSERT_EQ(vanto_edit_delete(session_, 1, 3), 3);            // A3456789zz
  ASSERT_EQ(vanto_edit_overwrite(session_, 0, "QRS", 3), 4);  // QRS56789zz
  ASSERT_EQ(vanto_session_end_transaction(session_), 0);
  ASSERT_EQ(data_of(session_), "QRS56789zz");
  EXPECT_EQ(vanto_session_get_num_change_transactions(session_), 2);
  rec_.take();

  // Newest first, each change's event after it moved to the undone list;
  // the result is the negated serial of the transaction's first change.
  EXPECT_EQ(vanto_edit_undo_last_change(session_), -2);
  EXPECT_EQ(rec_.take(), (std::vector<SeenEvent>{{SESSION_EVENT_UNDO, -4, 3, 1},
                                                 {SESSION_EVENT_UNDO, -3, 2, 2},
                                                 {SESSION_EVENT_UNDO, -2, 1, 3}}));
  EXPECT_EQ(data_of(session_), "A0123456789");
  EXPECT_EQ(vanto_session_get_num_change_transactions(session_), 1);
  EXPECT_EQ(vanto_session_get_num_undone_change_transactions(session_), 1);
  EXPECT_EQ(vanto_change_get_serial(vanto_session_get_last_undo(session_)), -2);

  // Redo brings them back in the order they were made and returns the last.
  EXPECT_EQ(vanto_edit_redo_last_undo(session_), 4);
  const auto redo_events = rec_.take();
  ASSERT_EQ(redo_events.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(redo_events[i].code, SESSION_EVENT_EDIT);
    EXPECT_EQ(redo_events[i].serial, static_cast<int64_t>(i) + 2);
    EXPECT_EQ(redo_events[i].num_changes, static_cast<int64_t>(i) + 2);
  }
  EXPECT_EQ(data_of(session_), "QRS56789zz");
  EXPECT_EQ(vanto_session_get_num_undone_changes(session_), 0);
  EXPECT_EQ(vanto_session_get_num_change_transactions(session_), 2);

  // The single change before the transaction is a step of its own.
  EXPECT_EQ(vanto_edit_undo_last_change(session_), -2);
  EXPECT_EQ(vanto_edit_undo_last_change(session_), -1);
  EXPECT_EQ(data_of(session_), "0123456789");
  EXPECT_EQ(vanto_edit_redo_last_undo(session_), 1);
  EXPECT_EQ(data_of(session_), "A0123456789");
}

// Viewport and session events interleave step by step: for each change of
// the transaction, the viewports hear of it before the session does.
TEST(HistoryEvents, ViewportAndSessionEventsInterleavePerChange) {
  static std::vector<std::string> log;
  log.clear();
  auto on_session = [](const vanto_session_t *, int32_t event, const void *ptr) {
    const auto serial = vanto_change_get_serial(static_cast<const vanto_change_t *>(ptr));
    log.push_back((event == SESSION_EVENT_UNDO ? "S undo " : "S edit ") + std::to_string(serial));
  };
  auto on_viewport = [](const vanto_viewport_t *, int32_t event, const void *ptr) {
    const auto serial = vanto_change_get_serial(static_cast<const vanto_change_t *>(ptr));
    log.push_back((event == VIEWPORT_EVENT_UNDO ? "V undo " : "V edit ") + std::to_string(serial));
  };
  vanto_session_t *session = vanto_edit_create_session(nullptr, on_session, nullptr,
                                                       SESSION_EVENT_EDIT | SESSION_EVENT_UNDO);
  ASSERT_NE(session, nullptr);
  ASSERT_NE(vanto_edit_create_viewport(session, 0, 64, 0, on_viewport, nullptr, VIEWPORT_EVENT_ALL),
            nullptr);
  ASSERT_EQ(vanto_session_begin_transaction(session), 0);
  ASSERT_EQ(vanto_edit_insert(session, 0, "abc", 3), 1);
  ASSERT_EQ(vanto_edit_insert(session, 1, "de", 2), 2);
  ASSERT_EQ(vanto_session_end_transaction(session), 0);
  log.clear();

  EXPECT_EQ(vanto_edit_undo_last_change(session), -1);
  EXPECT_EQ(log, (std::vector<std::string>{"V undo -2", "S undo -2", "V undo -1", "S undo -1"}));
  log.clear();
  EXPECT_EQ(vanto_edit_redo_last_undo(session), 2);
  EXPECT_EQ(log, (std::vector<std::string>{"V edit 1", "S edit 1", "V edit 2", "S edit 2"}));
  vanto_edit_destroy_session(session);
}

TEST_F(HistoryTest, NewEditAfterUndoReusesTheSerialAndDropsTheRedoHistory) {
  open("0123456789");
  ASSERT_EQ(vanto_edit_insert(session_, 0, "a", 1), 1);
  ASSERT_EQ(vanto_edit_insert(session_, 0, "b", 1), 2);
  ASSERT_EQ(vanto_edit_insert(session_, 0, "c", 1), 3);
  ASSERT_EQ(vanto_edit_undo_last_change(session_), -3);
  ASSERT_EQ(vanto_edit_undo_last_change(session_), -2);

  // Lookups: a negative serial finds an undone change, the last serial the
  // last change.
  const vanto_change_t *undone = vanto_session_get_change(session_, -2);
  ASSERT_NE(undone, nullptr);
  EXPECT_EQ(vanto_change_get_string(undone), "b");
  EXPECT_EQ(vanto_session_get_change(session_, -1), nullptr);
  EXPECT_EQ(vanto_session_get_change(session_, 2), nullptr);
  EXPECT_EQ(vanto_session_get_change(session_, 1), vanto_session_get_last_change(session_));

  EXPECT_EQ(vanto_edit_delete(session_, 3, 2), 2);
  EXPECT_EQ(vanto_session_get_num_undone_changes(session_), 0);
  EXPECT_EQ(vanto_session_get_last_undo(session_), nullptr);
  EXPECT_EQ(vanto_session_get_change(session_, -2), nullptr);
  EXPECT_EQ(vanto_session_get_change(session_, 2), vanto_session_get_last_change(session_));
  EXPECT_EQ(vanto_edit_redo_last_undo(session_), 0);
  EXPECT_EQ(data_of(session_), "a01456789");
}

TEST_F(HistoryTest, PauseBlocksEditsUndoAndRedoButNotClear) {
  open("0123456789");
  ASSERT_EQ(vanto_edit_insert(session_, 0, "ab", 2), 1);
  ASSERT_EQ(vanto_edit_insert(session_, 0, "cd", 2), 2);
  ASSERT_EQ(vanto_edit_undo_last_change(session_), -2);
  rec_.take();

  vanto_session_pause_changes(session_);
  vanto_session_pause_changes(session_);
  EXPECT_EQ(rec_.take(), (std::vector<SeenEvent>{{SESSION_EVENT_CHANGES_PAUSED, 0, 1, 1}}));
  EXPECT_EQ(vanto_session_changes_paused(session_), 1);

  EXPECT_EQ(vanto_edit_insert(session_, 0, "x", 1), 0);
  EXPECT_EQ(vanto_edit_delete(session_, 0, 1), 0);
  EXPECT_EQ(vanto_edit_overwrite(session_, 0, "x", 1), 0);
  EXPECT_EQ(vanto_edit_undo_last_change(session_), 0);
  EXPECT_EQ(vanto_edit_redo_last_undo(session_), 0);
  EXPECT_TRUE(rec_.events.empty());
  EXPECT_EQ(data_of(session_), "ab0123456789");
  EXPECT_EQ(vanto_session_get_num_changes(session_), 1);
  EXPECT_EQ(vanto_session_get_num_undone_changes(session_), 1);

  EXPECT_EQ(vanto_edit_clear_changes(session_), 0);
  EXPECT_EQ(rec_.take(), (std::vector<SeenEvent>{{SESSION_EVENT_CLEAR, 0, 0, 0}}));
  EXPECT_EQ(data_of(session_), "0123456789");
  EXPECT_EQ(vanto_session_changes_paused(session_), 1);

  vanto_session_resume_changes(session_);
  vanto_session_resume_changes(session_);
  EXPECT_EQ(rec_.take(), (std::vector<SeenEvent>{{SESSION_EVENT_CHANGES_RESUMED, 0, 0, 0}}));
  EXPECT_EQ(vanto_edit_insert(session_, 0, "x", 1), 1);
  EXPECT_EQ(vanto_edit_undo_last_change(session_), -1);
  EXPECT_EQ(vanto_edit_redo_last_undo(session_), 1);
}

// A callback that pauses changes in the middle of undoing a transaction
// stops the walk: the remaining changes stay applied and the result is 0,
// as if the next step had been called while paused.
TEST_F(HistoryTest, PausingFromAnUndoEventStopsTheTransactionWalk) {
  path_ = dir_.file("data.bin");
  write_file(path_, "0123456789");
  // The callback gets a read-only handle; the user data carries the one it
  // may pause through.
  vanto_session_t *self = nullptr;
  auto pause_on_undo = [](const vanto_session_t *session, int32_t, const void *) {
    vanto_session_pause_changes(*static_cast<vanto_session_t **>(vanto_session_get_user_data_ptr(session)));
  };
  session_ = vanto_edit_create_session(path_.c_str(), pause_on_undo, &self, SESSION_EVENT_UNDO);
  ASSERT_NE(session_, nullptr);
  self = session_;
  ASSERT_EQ(vanto_session_begin_transaction(session_), 0);
  for (int i = 0; i < 3; ++i) ASSERT_GT(vanto_edit_insert(session_, 0, "x", 1), 0);
  ASSERT_EQ(vanto_session_end_transaction(session_), 0);

  EXPECT_EQ(vanto_edit_undo_last_change(session_), 0);
  EXPECT_EQ(vanto_session_get_num_changes(session_), 2);
  EXPECT_EQ(vanto_session_get_num_undone_changes(session_), 1);
  EXPECT_EQ(data_of(session_), "xx0123456789");
}

TEST_F(HistoryTest, UndoMovesFloatingViewportsAsTheInverseChange) {
  open(vanto::test::random_bytes(200, 7));
  const std::string original = data_of(session_);
  vanto_viewport_t *floating = vanto_edit_create_viewport(session_, 100, 16, 1, nullptr, nullptr, 0);
  vanto_viewport_t *fixed = vanto_edit_create_viewport(session_, 100, 16, 0, nullptr, nullptr, 0);
  ASSERT_NE(floating, nullptr);
  ASSERT_NE(fixed, nullptr);
  const std::string shown = original.substr(100, 16);
  ASSERT_EQ(vanto_viewport_get_string(floating), shown);

  // An insert before it: moves forward, and back on undo, forward on redo.
  ASSERT_EQ(vanto_edit_insert(session_, 50, "12345", 5), 1);
  EXPECT_EQ(vanto_viewport_get_offset(floating), 105);
  EXPECT_EQ(vanto_viewport_get_string(floating), shown);
  ASSERT_EQ(vanto_edit_undo_last_change(session_), -1);
  EXPECT_EQ(vanto_viewport_has_changes(floating), 1);
  EXPECT_EQ(vanto_viewport_get_offset(floating), 100);
  EXPECT_EQ(vanto_viewport_get_string(floating), shown);
  ASSERT_EQ(vanto_edit_redo_last_undo(session_), 1);
  EXPECT_EQ(vanto_viewport_get_offset(floating), 105);
  EXPECT_EQ(vanto_viewport_get_string(floating), shown);
  ASSERT_EQ(vanto_edit_undo_last_change(session_), -1);

  // A delete before it: moves back, and forward again on undo.
  ASSERT_EQ(vanto_edit_delete(session_, 50, 20), 1);
  EXPECT_EQ(vanto_viewport_get_offset(floating), 80);
  ASSERT_EQ(vanto_edit_undo_last_change(session_), -1);
  EXPECT_EQ(vanto_viewport_get_offset(floating), 100);
  EXPECT_EQ(vanto_viewport_get_string(floating), shown);

  // An overwrite never moves it.
  ASSERT_EQ(vanto_edit_overwrite(session_, 10, "abc", 3), 1);
  ASSERT_EQ(vanto_edit_undo_last_change(session_), -1);
  EXPECT_EQ(vanto_viewport_get_offset(floating), 100);

  // The fixed viewport stayed where it was and shows the data there.
  EXPECT_EQ(vanto_viewport_get_offset(fixed), 100);
  EXPECT_EQ(vanto_viewport_get_string(fixed), shown);
}

TEST_F(HistoryTest, UndoTellsTouchedViewportsOnly) {
  open(std::string(200, '.'));
  std::vector<int32_t> near_events, far_events;
  auto record = [](const vanto_viewport_t *viewport, int32_t event, const void *) {
    static_cast<std::vector<int32_t> *>(vanto_viewport_get_user_data_ptr(viewport))->push_back(event);
  };
  vanto_viewport_t *near = vanto_edit_create_viewport(session_, 0, 16, 0, record, &near_events,
                                                      VIEWPORT_EVENT_ALL);
  vanto_viewport_t *far = vanto_edit_create_viewport(session_, 100, 16, 0, record, &far_events,
                                                     VIEWPORT_EVENT_ALL);
  ASSERT_NE(near, nullptr);
  ASSERT_NE(far, nullptr);
  // New viewports start marked; reading them clears the marks.
  ASSERT_EQ(vanto_viewport_get_string(near), std::string(16, '.'));
  ASSERT_EQ(vanto_viewport_get_string(far), std::string(16, '.'));
  near_events.clear();
  far_events.clear();

  // An overwrite at 10 touches the viewport at 0 only.
  ASSERT_EQ(vanto_edit_overwrite(session_, 10, "abc", 3), 1);
  ASSERT_EQ(vanto_viewport_get_string(near).substr(10, 3), "abc");
  ASSERT_EQ(vanto_edit_undo_last_change(session_), -1);
  EXPECT_EQ(near_events, (std::vector<int32_t>{VIEWPORT_EVENT_EDIT, VIEWPORT_EVENT_UNDO}));
  EXPECT_TRUE(far_events.empty());
  EXPECT_EQ(vanto_viewport_has_changes(far), 0);
  EXPECT_EQ(vanto_viewport_get_string(near), std::string(16, '.'));
}

// The session's file is read again on every undo; when it has become
// shorter the remaining changes may no longer apply.  Such a failure keeps
// the change where it was and the model as it was.
TEST_F(HistoryTest, FailedUndoKeepsTheChangeAndTheModel) {
  open("0123456789");
  ASSERT_EQ(vanto_edit_delete(session_, 8, 2), 1);        // 01234567
  ASSERT_EQ(vanto_edit_insert(session_, 0, "ab", 2), 2);  // ab01234567
  const vanto_change_t *last = vanto_session_get_last_change(session_);
  rec_.take();

  std::filesystem::resize_file(path_, 5);
  // Replaying the delete at 8 on a 5-byte file fails.
  EXPECT_EQ(vanto_edit_undo_last_change(session_), -1);
  EXPECT_TRUE(rec_.events.empty());
  EXPECT_EQ(vanto_session_get_num_changes(session_), 2);
  EXPECT_EQ(vanto_session_get_num_undone_changes(session_), 0);
  EXPECT_EQ(vanto_session_get_last_change(session_), last);
  EXPECT_EQ(vanto_change_get_serial(last), 2);
  EXPECT_EQ(vanto_session_get_computed_file_size(session_), 10);
  EXPECT_EQ(vanto_check_model(session_), 0);

  // With the file back, the same history undoes and redoes normally.
  write_file(path_, "0123456789");
  EXPECT_EQ(data_of(session_), "ab01234567");
  EXPECT_EQ(vanto_edit_undo_last_change(session_), -2);
  EXPECT_EQ(data_of(session_), "01234567");
  EXPECT_EQ(vanto_edit_undo_last_change(session_), -1);
  EXPECT_EQ(data_of(session_), "0123456789");
  EXPECT_EQ(vanto_edit_redo_last_undo(session_), 1);
  EXPECT_EQ(vanto_edit_redo_last_undo(session_), 2);
  EXPECT_EQ(data_of(session_), "ab01234567");
}

TEST_F(HistoryTest, FailedRedoLeavesTheChangeUndone) {
  open("0123456789");
  ASSERT_EQ(vanto_edit_insert(session_, 0, "ab", 2), 1);       // ab0123456789
  ASSERT_EQ(vanto_edit_overwrite(session_, 10, "XY", 2), 2);   // ab01234567XY
  ASSERT_EQ(vanto_edit_undo_last_change(session_), -2);
  std::filesystem::resize_file(path_, 5);
  ASSERT_EQ(vanto_edit_undo_last_change(session_), -1);  // rebuilt on 5 bytes
  ASSERT_EQ(vanto_session_get_num_undone_changes(session_), 2);
  ASSERT_EQ(data_of(session_), "01234");
  ASSERT_EQ(vanto_edit_redo_last_undo(session_), 1);     // ab01234
  const vanto_change_t *overwrite = vanto_session_get_last_undo(session_);
  rec_.take();

  // The overwrite at 10 lies beyond the 7 bytes there are now.
  EXPECT_EQ(vanto_edit_redo_last_undo(session_), -1);
  EXPECT_TRUE(rec_.events.empty());
  EXPECT_EQ(vanto_session_get_num_changes(session_), 1);
  EXPECT_EQ(vanto_session_get_num_undone_changes(session_), 1);
  EXPECT_EQ(vanto_session_get_last_undo(session_), overwrite);
  EXPECT_EQ(vanto_change_get_serial(overwrite), -2);
  EXPECT_EQ(vanto_session_get_change(session_, -2), overwrite);
  EXPECT_EQ(vanto_change_get_serial(vanto_session_get_last_change(session_)), 1);
  EXPECT_EQ(data_of(session_), "ab01234");
  EXPECT_EQ(vanto_check_model(session_), 0);

  // Once the file is whole again and the model rebuilt, it redoes.
  write_file(path_, "0123456789");
  ASSERT_EQ(vanto_edit_undo_last_change(session_), -1);
  EXPECT_EQ(vanto_edit_redo_last_undo(session_), 1);
  EXPECT_EQ(vanto_edit_redo_last_undo(session_), 2);
  EXPECT_EQ(data_of(session_), "ab01234567XY");
}

TEST_F(HistoryTest, TransactionStatesAndUndoIgnoringTheOpenFlag) {
  open("0123456789");
  EXPECT_EQ(vanto_session_get_transaction_state(session_), 0);
  EXPECT_EQ(vanto_session_begin_transaction(session_), 0);
  EXPECT_EQ(vanto_session_begin_transaction(session_), -1);
  EXPECT_EQ(vanto_session_get_transaction_state(session_), 1);
  ASSERT_EQ(vanto_edit_insert(session_, 0, "a", 1), 1);
  EXPECT_EQ(vanto_session_get_transaction_state(session_), 2);
  ASSERT_EQ(vanto_edit_insert(session_, 0, "b", 1), 2);

  // Undo inside the open transaction takes back what it holds so far; the
  // flags stay, so the next edit still joins the transaction's run.
  EXPECT_EQ(vanto_edit_undo_last_change(session_), -1);
  EXPECT_EQ(vanto_session_get_transaction_state(session_), 2);
  ASSERT_EQ(vanto_edit_insert(session_, 0, "c", 1), 1);
  ASSERT_EQ(vanto_edit_insert(session_, 0, "d", 1), 2);
  EXPECT_EQ(vanto_session_end_transaction(session_), 0);
  EXPECT_EQ(vanto_session_end_transaction(session_), -1);
  EXPECT_EQ(vanto_session_get_transaction_state(session_), 0);
  EXPECT_EQ(vanto_session_get_num_change_transactions(session_), 1);
  EXPECT_EQ(vanto_edit_undo_last_change(session_), -1);
  EXPECT_EQ(data_of(session_), "0123456789");

  // A transaction that received no change leaves no trace.
  EXPECT_EQ(vanto_session_begin_transaction(session_), 0);
  EXPECT_EQ(vanto_session_end_transaction(session_), 0);
  EXPECT_EQ(vanto_edit_redo_last_undo(session_), 2);
  EXPECT_EQ(data_of(session_), "dc0123456789");
}

// Undo works on the current checkpoint level only; the levels below keep
// their changes, which the counts and lookups still see.
TEST_F(HistoryTest, UndoStopsAtTheCheckpoint) {
  open("0123456789");
  ASSERT_EQ(vanto_edit_insert(session_, 0, "A", 1), 1);  // A0123456789
  ASSERT_EQ(vanto_edit_delete(session_, 5, 2), 2);       // A01236789
  const vanto_change_t *first = vanto_session_get_change(session_, 1);
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(vanto_edit_create_checkpoint(session_, dir_.file("checkpoints").c_str()), 0);
  ASSERT_EQ(vanto_edit_insert(session_, 9, "Z", 1), 3);  // A01236789Z
  EXPECT_EQ(data_of(session_), "A01236789Z");
  EXPECT_EQ(vanto_session_get_num_changes(session_), 3);
  EXPECT_EQ(vanto_session_get_num_change_transactions(session_), 3);

  // Serials below the checkpoint are found in the level that holds them.
  EXPECT_EQ(vanto_session_get_change(session_, 1), first);
  EXPECT_EQ(vanto_change_get_kind_as_char(vanto_session_get_change(session_, 2)), 'D');
  EXPECT_EQ(vanto_session_get_change(session_, 3), vanto_session_get_last_change(session_));
  EXPECT_EQ(vanto_session_get_change(session_, 4), nullptr);

  EXPECT_EQ(vanto_edit_undo_last_change(session_), -3);
  EXPECT_EQ(data_of(session_), "A01236789");
  rec_.take();
  EXPECT_EQ(vanto_edit_undo_last_change(session_), 0);
  EXPECT_TRUE(rec_.events.empty());
  EXPECT_EQ(data_of(session_), "A01236789");
  EXPECT_EQ(vanto_session_get_num_changes(session_), 2);
  EXPECT_EQ(vanto_session_get_num_undone_changes(session_), 1);
  EXPECT_EQ(vanto_session_get_num_change_transactions(session_), 2);
  EXPECT_EQ(vanto_change_get_serial(vanto_session_get_change(session_, 2)), 2);
  EXPECT_EQ(vanto_check_model(session_), 0);

  EXPECT_EQ(vanto_edit_redo_last_undo(session_), 3);
  EXPECT_EQ(data_of(session_), "A01236789Z");
}

// The redo history below a checkpoint belongs to that level: whatever is
// done above the checkpoint (a plain edit, or an undo followed by an edit,
// which clears the redo history up there), a rollback brings it back.
TEST_F(HistoryTest, RollbackRestoresTheRedoHistoryBelowTheCheckpoint) {
  for (const bool undo_above : {false, true}) {
    SCOPED_TRACE(undo_above ? "undo and edit above" : "edit above");
    open("0123456789");
    ASSERT_EQ(vanto_edit_insert(session_, 0, "a", 1), 1);
    ASSERT_EQ(vanto_edit_insert(session_, 0, "b", 1), 2);
    ASSERT_EQ(vanto_edit_undo_last_change(session_), -2);  // a0123456789, "b" undone
    ASSERT_EQ(vanto_edit_create_checkpoint(session_, dir_.file("checkpoints").c_str()), 0);
    ASSERT_EQ(vanto_edit_insert(session_, 0, "c", 1), 2);
    if (undo_above) {
      ASSERT_EQ(vanto_edit_undo_last_change(session_), -2);
      ASSERT_EQ(vanto_edit_insert(session_, 0, "d", 1), 2);
    }
    EXPECT_EQ(vanto_session_get_num_undone_changes(session_), 0);

    ASSERT_EQ(vanto_edit_destroy_last_checkpoint(session_), 0);
    EXPECT_EQ(data_of(session_), "a0123456789");
    EXPECT_EQ(vanto_session_get_num_undone_changes(session_), 1);
    EXPECT_EQ(vanto_session_get_num_undone_change_transactions(session_), 1);
    EXPECT_EQ(vanto_edit_redo_last_undo(session_), 2);
    EXPECT_EQ(data_of(session_), "ba0123456789");
    EXPECT_EQ(vanto_check_model(session_), 0);
    vanto_edit_destroy_session(session_);
    session_ = nullptr;
  }
}

// Undo and redo called from the events of a change (an edit, an undo, a
// redo; session or viewport events) are refused with 0: the change being
// reported is still on its way.  The outer call completes and returns what
// it returns without callbacks.
TEST(HistoryReentry, UndoAndRedoInsideTheEventsOfAChangeAreRefused) {
  struct Host {
    vanto_session_t *session = nullptr;
    int32_t session_event = 0;   // the session event that calls `call`
    int32_t viewport_event = 0;  // or the viewport event
    bool redo = false;
    std::vector<int64_t> inner;  // results of the calls made from the events
    void call() { inner.push_back(redo ? vanto_edit_redo_last_undo(session) : vanto_edit_undo_last_change(session)); }
  };
  auto on_session = [](const vanto_session_t *session, int32_t event, const void *) {
    auto *host = static_cast<Host *>(vanto_session_get_user_data_ptr(session));
    if (event == host->session_event) host->call();
  };
  auto on_viewport = [](const vanto_viewport_t *viewport, int32_t event, const void *) {
    auto *host = static_cast<Host *>(vanto_viewport_get_user_data_ptr(viewport));
    if (event == host->viewport_event) host->call();
  };
  enum class Outer { kEdit, kUndo, kRedo };
  struct Case {
    const char *name;
    Outer outer;
    int32_t session_event;
    int32_t viewport_event;
    bool redo;
  };
  const Case cases[] = {
      {"undo in the session's edit event", Outer::kEdit, SESSION_EVENT_EDIT, 0, false},
      {"undo in a viewport's edit event", Outer::kEdit, 0, VIEWPORT_EVENT_EDIT, false},
      {"undo in the session's undo event", Outer::kUndo, SESSION_EVENT_UNDO, 0, false},
      {"redo in the session's undo event", Outer::kUndo, SESSION_EVENT_UNDO, 0, true},
      {"redo in a viewport's undo event", Outer::kUndo, 0, VIEWPORT_EVENT_UNDO, true},
      {"undo in the edit event of a redo", Outer::kRedo, SESSION_EVENT_EDIT, 0, false},
      {"redo in a viewport's edit event of a redo", Outer::kRedo, 0, VIEWPORT_EVENT_EDIT, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Host host;
    host.session = vanto_edit_create_session(nullptr, on_session, &host, SESSION_EVENT_ALL);
    ASSERT_NE(host.session, nullptr);
    ASSERT_NE(vanto_edit_create_viewport(host.session, 0, 16, 0, on_viewport, &host, VIEWPORT_EVENT_ALL), nullptr);
    // A transaction of two changes, then a third change undone (and for a
    // redo the transaction too), so that there is something to undo and to
    // redo at every point.
    ASSERT_EQ(vanto_session_begin_transaction(host.session), 0);
    ASSERT_EQ(vanto_edit_insert(host.session, 0, "ab", 2), 1);
    ASSERT_EQ(vanto_edit_insert(host.session, 2, "cd", 2), 2);
    ASSERT_EQ(vanto_session_end_transaction(host.session), 0);
    ASSERT_EQ(vanto_edit_insert(host.session, 4, "ef", 2), 3);
    ASSERT_EQ(vanto_edit_undo_last_change(host.session), -3);
    if (c.outer == Outer::kRedo) {
      ASSERT_EQ(vanto_edit_undo_last_change(host.session), -1);
    }
    host.session_event = c.session_event;
    host.viewport_event = c.viewport_event;
    host.redo = c.redo;
    std::string expected;
    switch (c.outer) {
      case Outer::kEdit:
        EXPECT_EQ(vanto_edit_insert(host.session, 0, "X", 1), 3);
        expected = "Xabcd";
        break;
      case Outer::kUndo:
        EXPECT_EQ(vanto_edit_undo_last_change(host.session), -1);
        expected = "";
        break;
      case Outer::kRedo:
        EXPECT_EQ(vanto_edit_redo_last_undo(host.session), 2);
        expected = "abcd";
        break;
    }
    EXPECT_FALSE(host.inner.empty());
    for (const int64_t result : host.inner) EXPECT_EQ(result, 0);
    EXPECT_EQ(data_of(host.session), expected);
    EXPECT_EQ(vanto_check_model(host.session), 0);
    vanto_edit_destroy_session(host.session);
  }
}

// A checkpoint made from the edit event of a redo freezes the redone change
// as applied: the level below holds it once, in its change list only, so a
// rollback neither loses it nor offers it for redo again.
TEST(HistoryReentry, CheckpointFromARedoEventKeepsOneCopyOfTheChange) {
  ScratchDir dir;
  const std::string path = dir.file("data.bin");
  write_file(path, "0123456789");
  struct Host {
    vanto_session_t *session = nullptr;
    std::string checkpoints;
    std::vector<int> results;
  } host;
  host.checkpoints = dir.file("checkpoints");
  auto on_session = [](const vanto_session_t *session, int32_t, const void *) {
    auto *h = static_cast<Host *>(vanto_session_get_user_data_ptr(session));
    h->results.push_back(vanto_edit_create_checkpoint(h->session, h->checkpoints.c_str()));
  };
  host.session = vanto_edit_create_session(path.c_str(), on_session, &host, 0);
  ASSERT_NE(host.session, nullptr);
  ASSERT_EQ(vanto_edit_insert(host.session, 0, "a", 1), 1);
  ASSERT_EQ(vanto_edit_undo_last_change(host.session), -1);
  vanto_session_set_event_interest(host.session, SESSION_EVENT_EDIT);
  EXPECT_EQ(vanto_edit_redo_last_undo(host.session), 1);
  vanto_session_set_event_interest(host.session, 0);
  EXPECT_EQ(host.results, std::vector<int>{0});
  ASSERT_EQ(vanto_session_get_num_checkpoints(host.session), 1);

  ASSERT_EQ(vanto_edit_destroy_last_checkpoint(host.session), 0);
  EXPECT_EQ(vanto_session_get_num_changes(host.session), 1);
  EXPECT_EQ(vanto_session_get_num_undone_changes(host.session), 0);
  EXPECT_EQ(vanto_edit_redo_last_undo(host.session), 0);
  EXPECT_EQ(data_of(host.session), "a0123456789");
  EXPECT_EQ(vanto_edit_undo_last_change(host.session), -1);
  EXPECT_EQ(data_of(host.session), "0123456789");
  EXPECT_EQ(vanto_check_model(host.session), 0);
  vanto_edit_destroy_session(host.session);
}

}  // namespace
