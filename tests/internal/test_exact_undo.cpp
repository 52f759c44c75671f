// Undo patches the model instead of rebuilding it: on random histories the
// model after each undo must have exactly the text form it had before the
// change, and after each redo the text form it had after it; the data must
// match an in-memory reference throughout.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
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

struct Step {
  std::string text_before;
  std::string text_after;
  std::string data_before;
  std::string data_after;
};

// Random edits, undos and redos; `file` is the backing file's content (none
// for a session on nothing).
void run_history(const char *file, uint64_t seed, int ops) {
  SCOPED_TRACE(::testing::Message() << "seed " << seed << (file ? "" : ", no file"));
  ScratchDir dir;
  const std::string path = dir.file("data.bin");
  vanto_session_t *session = nullptr;
  if (file != nullptr) {
    write_file(path, file);
    session = vanto_edit_create_session(path.c_str(), nullptr, nullptr, 0);
  } else {
    session = vanto_edit_create_session(nullptr, nullptr, nullptr, 0);
  }
  ASSERT_NE(session, nullptr);
  std::mt19937_64 rng(seed);
  std::vector<Step> done;
  std::vector<Step> undone;
  std::string data = file != nullptr ? file : "";
  for (int op = 0; op < ops; ++op) {
    SCOPED_TRACE(::testing::Message() << "operation " << op);
    const int64_t size = static_cast<int64_t>(data.size());
    const int what = static_cast<int>(rng() % 10);
    if (what < 6) {
      Step step{text_of(session), "", data, ""};
      const int kind = static_cast<int>(rng() % 3);
      const int64_t offset = static_cast<int64_t>(rng() % static_cast<uint64_t>(size + 1));
      // Lengths around the small-buffer limit, zero-length inserts among them.
      const int64_t length = static_cast<int64_t>(rng() % (rng() % 4 == 0 ? 40 : 10));
      std::string bytes(static_cast<size_t>(length), 'a');
      for (char &c : bytes) c = static_cast<char>('a' + rng() % 26);
      int64_t serial = 0;
      if (kind == CHANGE_DELETE) {
        serial = vanto_edit_delete(session, offset, length);
        if (serial > 0) data.erase(static_cast<size_t>(offset), static_cast<size_t>(length));
      } else if (kind == CHANGE_INSERT) {
        serial = vanto_edit_insert_bytes(session, offset, reinterpret_cast<const unsigned char *>(bytes.data()), length);
        if (serial > 0) data.insert(static_cast<size_t>(offset), bytes);
      } else {
        serial = vanto_edit_overwrite_bytes(session, offset, reinterpret_cast<const unsigned char *>(bytes.data()), length);
        if (serial > 0) data.replace(static_cast<size_t>(offset), static_cast<size_t>(length), bytes);
      }
      if (serial > 0) {
        step.text_after = text_of(session);
        step.data_after = data;
        done.push_back(step);
        undone.clear();
      }
    } else if (what < 8 || undone.empty()) {
      const int64_t rc = vanto_edit_undo_last_change(session);
      if (done.empty()) {
        ASSERT_EQ(rc, 0);
      } else {
        ASSERT_LT(rc, 0);
        const Step step = done.back();
        done.pop_back();
        ASSERT_EQ(text_of(session), step.text_before);
        data = step.data_before;
        undone.push_back(step);
      }
    } else {
      ASSERT_GT(vanto_edit_redo_last_undo(session), 0);
      const Step step = undone.back();
      undone.pop_back();
      ASSERT_EQ(text_of(session), step.text_after);
      data = step.data_after;
      done.push_back(step);
    }
    ASSERT_EQ(vanto_check_model(session), 0);
    ASSERT_EQ(data_of(session), data);
  }
  vanto_edit_destroy_session(session);
}

TEST(ExactUndo, RandomHistoriesRestoreTheTextForm) {
  for (uint64_t seed = 1; seed <= 40; ++seed) {
    run_history("0123456789abcdefghijklmnopqrstuvwxyz", seed, 400);
    run_history("", seed, 200);
    run_history(nullptr, seed, 200);
    if (::testing::Test::HasFatalFailure()) return;
  }
  // A long one, so that the tree has inner nodes that split and merge.
  run_history("0123456789abcdefghijklmnopqrstuvwxyz", 4242, 6000);
}

// A redo asked for by a callback while an outer redo sends its events is
// refused; the outer redo completes and the lists stay consistent.
struct NestedRedo {
  int pending = 1;
};

void redo_once_more(const vanto_session_t *session, int32_t event, const void *) {
  auto *nested = static_cast<NestedRedo *>(vanto_session_get_user_data_ptr(session));
  if (event == SESSION_EVENT_EDIT && nested->pending > 0) {
    --nested->pending;
    vanto_edit_redo_last_undo(const_cast<vanto_session_t *>(session));
  }
}

TEST(ExactUndo, RedoFromInsideARedoIsRefusedAndTheOuterOneCompletes) {
  ScratchDir dir;
  const std::string path = dir.file("data.bin");
  write_file(path, "0123456789");
  NestedRedo nested{0};
  vanto_session_t *session = vanto_edit_create_session(path.c_str(), redo_once_more, &nested, SESSION_EVENT_ALL);
  ASSERT_NE(session, nullptr);
  ASSERT_EQ(vanto_edit_insert(session, 2, "ab", 2), 1);
  ASSERT_EQ(vanto_edit_insert(session, 6, "cd", 2), 2);
  ASSERT_EQ(vanto_edit_undo_last_change(session), -2);
  ASSERT_EQ(vanto_edit_undo_last_change(session), -1);
  nested.pending = 1;
  EXPECT_EQ(vanto_edit_redo_last_undo(session), 1);
  EXPECT_EQ(nested.pending, 0);  // the callback did ask
  EXPECT_EQ(data_of(session), "01ab23456789");
  EXPECT_EQ(vanto_session_get_num_changes(session), 1);
  EXPECT_EQ(vanto_session_get_num_undone_changes(session), 1);
  EXPECT_EQ(vanto_check_model(session), 0);
  vanto_edit_destroy_session(session);
}

// When the file changed length, undo rebuilds from it only if the remaining
// changes apply to it; here the file became empty, so the insert at 5 no
// longer fits after the empty insert at 0 (a model of one empty piece).
TEST(ExactUndo, RebuildThatNoLongerAppliesChangesNothing) {
  ScratchDir dir;
  const std::string path = dir.file("data.bin");
  write_file(path, "0123456789");
  vanto_session_t *session = vanto_edit_create_session(path.c_str(), nullptr, nullptr, 0);
  ASSERT_NE(session, nullptr);
  ASSERT_EQ(vanto_edit_insert_bytes(session, 0, nullptr, 0), 1);
  ASSERT_EQ(vanto_edit_insert(session, 5, "ab", 2), 2);
  ASSERT_EQ(vanto_edit_insert(session, 0, "x", 1), 3);
  const std::string before = text_of(session);
  write_file(path, "");
  EXPECT_EQ(vanto_edit_undo_last_change(session), -1);
  EXPECT_EQ(text_of(session), before);
  EXPECT_EQ(vanto_session_get_num_changes(session), 3);
  EXPECT_EQ(vanto_session_get_num_undone_changes(session), 0);
  EXPECT_EQ(vanto_check_model(session), 0);
  vanto_edit_destroy_session(session);
}

}  // namespace
