// The model check over sessions built only through the public calls: every
// kind of session and history the library can produce must pass it.
#include <gtest/gtest.h>

#include <string>

#include "test_support.h"
#include "vanto_edit.h"

namespace {

using vanto::test::ScratchDir;
using vanto::test::write_file;

TEST(ModelCheck, SessionsAsCreatedPass) {
  EXPECT_EQ(vanto_check_model(nullptr), -1);

  ScratchDir dir;
  const std::string full = dir.file("full.bin");
  const std::string empty = dir.file("empty.bin");
  write_file(full, "0123456789");
  write_file(empty, "");
  // A file of data (one read piece at 0, shown by a change that is no edit),
  // an empty file and nothing at all (no pieces).
  for (const char *path : {full.c_str(), empty.c_str(), static_cast<const char *>(nullptr)}) {
    vanto_session_t *session = vanto_edit_create_session(path, nullptr, nullptr, 0);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(vanto_check_model(session), 0) << (path != nullptr ? path : "no file");
    vanto_edit_destroy_session(session);
  }
}

TEST(ModelCheck, EditsUndoRedoAndClearKeepTheModelSound) {
  ScratchDir dir;
  const std::string path = dir.file("data.bin");
  write_file(path, "0123456789");
  vanto_session_t *session = vanto_edit_create_session(path.c_str(), nullptr, nullptr, 0);
  ASSERT_NE(session, nullptr);

  // Pieces of zero length, deletes across several pieces, overwrites that
  // extend the data, and an edit at offset 0 that leaves a change with
  // transaction bit 0 at the front.
  ASSERT_GT(vanto_edit_insert(session, 5, "", 0), 0);
  ASSERT_GT(vanto_edit_insert(session, 3, "abcdefghij", 10), 0);
  ASSERT_GT(vanto_edit_delete(session, 2, 6), 0);
  ASSERT_GT(vanto_edit_overwrite(session, 12, "XYZW", 4), 0);
  ASSERT_GT(vanto_edit_insert(session, 0, "<", 1), 0);
  EXPECT_EQ(vanto_check_model(session), 0);
  for (int i = 0; i < 3; ++i) {
    ASSERT_LT(vanto_edit_undo_last_change(session), 0);
    EXPECT_EQ(vanto_check_model(session), 0);
  }
  ASSERT_GT(vanto_edit_redo_last_undo(session), 0);
  EXPECT_EQ(vanto_check_model(session), 0);

  // Each checkpoint level is a model of its own, checked from offset 0.
  ASSERT_EQ(vanto_edit_create_checkpoint(session, dir.file("checkpoints").c_str()), 0);
  EXPECT_EQ(vanto_check_model(session), 0);
  ASSERT_GT(vanto_edit_delete(session, 1, 3), 0);
  ASSERT_GT(vanto_edit_insert(session, 4, "0123456789", 10), 0);
  EXPECT_EQ(vanto_check_model(session), 0);

  ASSERT_EQ(vanto_edit_clear_changes(session), 0);
  EXPECT_EQ(vanto_check_model(session), 0);
  vanto_edit_destroy_session(session);
}

}  // namespace
