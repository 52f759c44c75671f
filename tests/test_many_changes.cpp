// A history of a million changes: every change undone one by one brings the
// data back to the file's, every redo brings the edited data back, and a save
// at each end writes exactly what an in-memory reference holds.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "test_support.h"
#include "vanto_edit.h"

namespace {

using vanto::test::random_bytes;
using vanto::test::read_file;
using vanto::test::ScratchDir;
using vanto::test::write_file;

TEST(ManyChanges, AMillionEditsUndoneRedoneAndSaved) {
  constexpr int kEdits = 1000000;
  ScratchDir dir;
  const std::string path = dir.file("data.bin");
  const std::string original = random_bytes(1 << 16, 77);
  write_file(path, original);
  vanto_session_t *session = vanto_edit_create_session(path.c_str(), nullptr, nullptr, 0);
  ASSERT_NE(session, nullptr);

  // The reference stays small (inserts and deletes balance out), so keeping
  // it as one string is cheap; the model keeps every change as pieces.
  std::string data = original;
  std::mt19937_64 rng(1234567);
  for (int i = 0; i < kEdits; ++i) {
    const auto size = static_cast<uint64_t>(data.size());
    const int kind = static_cast<int>(rng() % 3);
    const auto offset = static_cast<int64_t>(rng() % (size + 1));
    const auto length = static_cast<int64_t>(1 + rng() % 12);
    std::string bytes(static_cast<size_t>(length), '\0');
    for (char &c : bytes) c = static_cast<char>(rng());
    const auto *ub = reinterpret_cast<const unsigned char *>(bytes.data());
    if (kind == 0 && offset < static_cast<int64_t>(size)) {
      ASSERT_EQ(vanto_edit_delete(session, offset, length), i + 1);
      data.erase(static_cast<size_t>(offset), static_cast<size_t>(length));
    } else if (kind == 1) {
      ASSERT_EQ(vanto_edit_overwrite_bytes(session, offset, ub, length), i + 1);
      data.replace(static_cast<size_t>(offset), static_cast<size_t>(length), bytes);
    } else {
      ASSERT_EQ(vanto_edit_insert_bytes(session, offset, ub, length), i + 1);
      data.insert(static_cast<size_t>(offset), bytes);
    }
  }
  ASSERT_EQ(vanto_session_get_num_changes(session), kEdits);
  ASSERT_EQ(vanto_check_model(session), 0);
  const std::string edited_path = dir.file("edited.bin");
  ASSERT_EQ(vanto_edit_save(session, edited_path.c_str(), SAVE_FLAG_OVERWRITE, nullptr), 0);
  EXPECT_TRUE(read_file(edited_path) == data) << "the save after the edits differs";

  for (int i = kEdits; i > 0; --i) ASSERT_EQ(vanto_edit_undo_last_change(session), -i);
  EXPECT_EQ(vanto_edit_undo_last_change(session), 0);
  EXPECT_EQ(vanto_session_get_num_undone_changes(session), kEdits);
  ASSERT_EQ(vanto_check_model(session), 0);
  const std::string undone_path = dir.file("undone.bin");
  ASSERT_EQ(vanto_edit_save(session, undone_path.c_str(), SAVE_FLAG_OVERWRITE, nullptr), 0);
  EXPECT_TRUE(read_file(undone_path) == original) << "undoing everything does not give the file";

  for (int i = 1; i <= kEdits; ++i) ASSERT_EQ(vanto_edit_redo_last_undo(session), i);
  ASSERT_EQ(vanto_check_model(session), 0);
  const std::string redone_path = dir.file("redone.bin");
  ASSERT_EQ(vanto_edit_save(session, redone_path.c_str(), SAVE_FLAG_OVERWRITE, nullptr), 0);
  EXPECT_TRUE(read_file(redone_path) == data) << "redoing everything does not give the edits";
  vanto_edit_destroy_session(session);
}

}  // namespace
