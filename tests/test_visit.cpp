// Change visitors: callback walks both ways with early stop, and cursors
// driven by the host, including stale cursors and null handles.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "vanto_edit.h"

namespace {

// Records the serial of each visited change; stops with `stop_value` at the
// change whose serial is `stop_at`.
struct Walk {
  std::vector<int64_t> seen;
  int64_t stop_at = 0;
  int stop_value = 0;
};

int record_change(const vanto_change_t *change, void *user_data) {
  auto *walk = static_cast<Walk *>(user_data);
  walk->seen.push_back(vanto_change_get_serial(change));
  return vanto_change_get_serial(change) == walk->stop_at ? walk->stop_value : 0;
}

// The serials a cursor yields, walked in the documented calling order.
std::vector<int64_t> walk_context(vanto_visit_change_context_t *context) {
  std::vector<int64_t> seen;
  EXPECT_EQ(vanto_visit_change_begin(context), 0);
  while (vanto_visit_change_at_end(context) == 0) {
    const vanto_change_t *change = vanto_visit_change_context_get_change(context);
    EXPECT_NE(change, nullptr);
    if (change == nullptr) break;
    seen.push_back(vanto_change_get_serial(change));
    const int ended = vanto_visit_change_next(context);
    EXPECT_EQ(ended, vanto_visit_change_at_end(context));
    if (seen.size() > 100) break;  // a cursor that never ends fails, not hangs
  }
  return seen;
}

class VisitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session_ = vanto_edit_create_session(nullptr, nullptr, nullptr, 0);
    ASSERT_NE(session_, nullptr);
  }
  void TearDown() override { vanto_edit_destroy_session(session_); }

  // Three changes X1, X2, X3.
  void make_three() {
    ASSERT_EQ(vanto_edit_insert(session_, 0, "abcdef", 6), 1);
    ASSERT_EQ(vanto_edit_delete(session_, 1, 2), 2);
    ASSERT_EQ(vanto_edit_overwrite(session_, 0, "Z", 1), 3);
  }

  vanto::test::ScratchDir dir_;  // checkpoint files
  vanto_session_t *session_ = nullptr;
};

using Serials = std::vector<int64_t>;

TEST_F(VisitTest, CallbackVisitorsWalkBothWaysAndStopEarly) {
  make_three();
  struct Case {
    bool reverse;
    int64_t stop_at;
    int stop_value;
    int expected_result;
    Serials expected_seen;
  };
  const Case cases[] = {
      {false, 0, 0, 0, {1, 2, 3}},
      {true, 0, 0, 0, {3, 2, 1}},
      {false, 2, 7, 7, {1, 2}},
      {true, 2, 7, 7, {3, 2}},
      {false, 1, -5, -5, {1}},
      {true, 1, 9, 9, {3, 2, 1}},
  };
  for (const Case &c : cases) {
    Walk walk{{}, c.stop_at, c.stop_value};
    const int rc = c.reverse ? vanto_visit_changes_reverse(session_, record_change, &walk)
                             : vanto_visit_changes(session_, record_change, &walk);
    EXPECT_EQ(rc, c.expected_result) << "reverse " << c.reverse << " stop at " << c.stop_at;
    EXPECT_EQ(walk.seen, c.expected_seen) << "reverse " << c.reverse << " stop at " << c.stop_at;
  }
}

TEST_F(VisitTest, ContextsWalkBothWaysAndStayAtTheirEnd) {
  make_three();
  for (const int reverse : {0, 1}) {
    vanto_visit_change_context_t *context = vanto_visit_change_create_context(session_, reverse);
    ASSERT_NE(context, nullptr);
    // A new context is at its end and has no change.
    EXPECT_EQ(vanto_visit_change_at_end(context), 1);
    EXPECT_EQ(vanto_visit_change_context_get_change(context), nullptr);

    EXPECT_EQ(walk_context(context), reverse ? Serials({3, 2, 1}) : Serials({1, 2, 3}));
    EXPECT_EQ(vanto_visit_change_next(context), 1);
    EXPECT_EQ(vanto_visit_change_at_end(context), 1);
    EXPECT_EQ(vanto_visit_change_context_get_change(context), nullptr);

    // Begin starts over; the pointer is the session's own record.
    ASSERT_EQ(vanto_visit_change_begin(context), 0);
    EXPECT_EQ(vanto_visit_change_context_get_change(context),
              vanto_session_get_change(session_, reverse ? 3 : 1));
    vanto_visit_change_destroy_context(context);
  }
}

TEST_F(VisitTest, OnlyActiveChangesAreVisited) {
  Walk walk;
  vanto_visit_change_context_t *context = vanto_visit_change_create_context(session_, 0);
  ASSERT_NE(context, nullptr);

  // No changes: nothing called, the cursor stays at its end, and next says
  // the walk is over.
  EXPECT_EQ(vanto_visit_changes(session_, record_change, &walk), 0);
  EXPECT_EQ(vanto_visit_changes_reverse(session_, record_change, &walk), 0);
  EXPECT_TRUE(walk.seen.empty());
  EXPECT_TRUE(walk_context(context).empty());
  EXPECT_EQ(vanto_visit_change_next(context), 1);

  make_three();
  ASSERT_EQ(vanto_edit_undo_last_change(session_), -3);
  EXPECT_EQ(vanto_visit_changes(session_, record_change, &walk), 0);
  EXPECT_EQ(walk.seen, Serials({1, 2}));
  EXPECT_EQ(walk_context(context), Serials({1, 2}));

  ASSERT_EQ(vanto_edit_undo_last_change(session_), -2);
  ASSERT_EQ(vanto_edit_undo_last_change(session_), -1);
  EXPECT_TRUE(walk_context(context).empty());
  vanto_visit_change_destroy_context(context);
}

// A cursor whose list changed under it must not read outside the list, nor
// keep a host's loop going: where its position names no change it is at its
// end.
TEST_F(VisitTest, StaleContextsReportTheirEnd) {
  make_three();
  for (const int reverse : {0, 1}) {
    vanto_visit_change_context_t *context = vanto_visit_change_create_context(session_, reverse);
    ASSERT_EQ(vanto_visit_change_begin(context), 0);
    if (reverse == 0) {
      ASSERT_EQ(vanto_visit_change_next(context), 0);
      ASSERT_EQ(vanto_visit_change_next(context), 0);  // on X3
    }
    ASSERT_EQ(vanto_change_get_serial(vanto_visit_change_context_get_change(context)), 3);
    ASSERT_EQ(vanto_edit_undo_last_change(session_), -3);
    EXPECT_EQ(vanto_visit_change_at_end(context), 1);
    EXPECT_EQ(vanto_visit_change_context_get_change(context), nullptr);
    EXPECT_EQ(vanto_visit_change_next(context), 1);

    // Emptied list: begin again leaves it at its end, next ends at once.
    ASSERT_EQ(vanto_edit_undo_last_change(session_), -2);
    ASSERT_EQ(vanto_edit_undo_last_change(session_), -1);
    EXPECT_EQ(vanto_visit_change_begin(context), 0);
    EXPECT_EQ(vanto_visit_change_at_end(context), 1);
    EXPECT_EQ(vanto_visit_change_next(context), 1);

    ASSERT_EQ(vanto_edit_redo_last_undo(session_), 1);
    ASSERT_EQ(vanto_edit_redo_last_undo(session_), 2);
    ASSERT_EQ(vanto_edit_redo_last_undo(session_), 3);
    vanto_visit_change_destroy_context(context);
  }
}

// A visitor that breaks the rule and undoes changes during the walk does not
// make the walk read a change that has left the list.
TEST_F(VisitTest, VisitorThatUndoesDuringTheWalkStaysInsideTheList) {
  make_three();
  struct Undoer {
    vanto_session_t *session;
    std::vector<int64_t> seen;
  };
  auto undo_each = [](const vanto_change_t *change, void *user_data) {
    auto *undoer = static_cast<Undoer *>(user_data);
    undoer->seen.push_back(vanto_change_get_serial(change));
    vanto_edit_undo_last_change(undoer->session);
    vanto_edit_undo_last_change(undoer->session);
    return 0;
  };
  Undoer forward{session_, {}};
  EXPECT_EQ(vanto_visit_changes(session_, undo_each, &forward), 0);
  EXPECT_EQ(forward.seen, Serials({1}));

  for (int i = 0; i < 3; ++i) vanto_edit_redo_last_undo(session_);
  ASSERT_EQ(vanto_session_get_num_changes(session_), 3);
  Undoer backward{session_, {}};
  EXPECT_EQ(vanto_visit_changes_reverse(session_, undo_each, &backward), 0);
  // X3 is visited, X3 and X2 are undone; the walk goes on with X1.
  EXPECT_EQ(backward.seen, Serials({3, 1}));
}

TEST_F(VisitTest, ChangesBelowTheLastCheckpointAreNotVisited) {
  make_three();
  ASSERT_EQ(vanto_edit_create_checkpoint(session_, dir_.file("checkpoints").c_str()), 0);
  Walk walk;
  vanto_visit_change_context_t *context = vanto_visit_change_create_context(session_, 1);
  EXPECT_EQ(vanto_visit_changes(session_, record_change, &walk), 0);
  EXPECT_TRUE(walk.seen.empty());
  EXPECT_TRUE(walk_context(context).empty());

  ASSERT_EQ(vanto_edit_insert(session_, 0, "new", 3), 4);
  ASSERT_EQ(vanto_edit_insert(session_, 0, "newer", 5), 5);
  EXPECT_EQ(vanto_visit_changes_reverse(session_, record_change, &walk), 0);
  EXPECT_EQ(walk.seen, Serials({5, 4}));
  EXPECT_EQ(walk_context(context), Serials({5, 4}));
  vanto_visit_change_destroy_context(context);
}

TEST(VisitNull, NullHandlesAreRefused) {
  Walk walk;
  EXPECT_EQ(vanto_visit_changes(nullptr, record_change, &walk), -1);
  EXPECT_EQ(vanto_visit_changes_reverse(nullptr, record_change, &walk), -1);
  EXPECT_TRUE(walk.seen.empty());
  EXPECT_EQ(vanto_visit_change_create_context(nullptr, 0), nullptr);
  EXPECT_EQ(vanto_visit_change_begin(nullptr), -1);
  EXPECT_EQ(vanto_visit_change_next(nullptr), 1);
  EXPECT_EQ(vanto_visit_change_at_end(nullptr), 1);
  EXPECT_EQ(vanto_visit_change_context_get_change(nullptr), nullptr);
  vanto_visit_change_destroy_context(nullptr);

  vanto_session_t *session = vanto_edit_create_session(nullptr, nullptr, nullptr, 0);
  ASSERT_EQ(vanto_edit_insert(session, 0, "a", 1), 1);
  EXPECT_EQ(vanto_visit_changes(session, nullptr, nullptr), -1);
  EXPECT_EQ(vanto_visit_changes_reverse(session, nullptr, nullptr), -1);
  vanto_edit_destroy_session(session);
}

}  // namespace
