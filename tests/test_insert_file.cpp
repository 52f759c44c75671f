// Inserts and overwrites that take a range of another file without reading
// it: the data they show through every way of reading, their history, save,
// checkpoints and transforms over them, refusals, the source file's life
// after its name goes, and a source that changes in place.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "persist_test_util.h"
#include "test_support.h"
#include "vanto_edit.h"

namespace fs = std::filesystem;
using vanto::test::open_session;
using vanto::test::read_file;
using vanto::test::ScratchDir;
using vanto::test::session_data;
using vanto::test::SessionPtr;
using vanto::test::write_file;

namespace {

const std::string kBase = "0123456789abcdefghijklmnopqrstuvwxyz";
const std::string kSource = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";

struct Files {
  ScratchDir dir;
  std::string base = dir.file("base.txt");
  std::string source = dir.file("source.txt");
  Files() {
    write_file(base, kBase);
    write_file(source, kSource);
  }
};

// What a file edit should leave, computed on strings.
std::string expected_edit(std::string data, bool insert, int64_t offset, const std::string &bytes) {
  const auto at = static_cast<size_t>(offset);
  if (insert) return data.insert(at, bytes);
  if (at + bytes.size() > data.size()) data.resize(at + bytes.size());
  return data.replace(at, bytes.size(), bytes);
}

struct EditCase {
  const char *what;
  bool insert;
  int64_t offset, file_offset, length;  // length < 0: to the end of the source
};

const EditCase kEdits[] = {
    {"insert whole at start", true, 0, 0, -1},
    {"insert part in the middle", true, 10, 3, 5},
    {"insert tail at the end", true, 36, 20, -1},
    {"insert the empty end", true, 5, 26, -1},
    {"overwrite inside", false, 4, 0, 6},
    {"overwrite past the end", false, 30, 2, 20},
};

TEST(InsertFile, ReadsUndoRedoAndChangeRecords) {
  for (const EditCase &c : kEdits) {
    SCOPED_TRACE(c.what);
    Files f;
    SessionPtr s = open_session(f.base);
    const int64_t length = c.length < 0 ? static_cast<int64_t>(kSource.size()) - c.file_offset : c.length;
    const std::string bytes = kSource.substr(static_cast<size_t>(c.file_offset), static_cast<size_t>(length));
    const std::string want = expected_edit(kBase, c.insert, c.offset, bytes);
    auto *edit = c.insert ? vanto_edit_insert_file : vanto_edit_overwrite_file;
    ASSERT_EQ(edit(s.get(), c.offset, f.source.c_str(), c.file_offset, c.length), 1);
    EXPECT_EQ(session_data(s.get()), want);

    // A viewport and a segment over the edited place read the same bytes.
    const int64_t from = c.offset > 2 ? c.offset - 2 : 0;
    vanto_viewport_t *v = vanto_edit_create_viewport(s.get(), from, 7, 0, nullptr, nullptr, 0);
    const std::string window = want.substr(static_cast<size_t>(from), 7);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(vanto_viewport_get_data(v)),
                          static_cast<size_t>(vanto_viewport_get_length(v))),
              window);
    vanto_segment_t *seg = vanto_segment_create(7);
    ASSERT_EQ(vanto_session_get_segment(s.get(), seg, from), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(vanto_segment_get_data(seg)),
                          static_cast<size_t>(vanto_segment_get_length(seg))),
              window);
    vanto_segment_destroy(seg);

    // The change record: its kind and length, no bytes in memory, and the
    // file's bytes through the copy call.
    const vanto_change_t *change = vanto_session_get_change(s.get(), 1);
    ASSERT_NE(change, nullptr);
    EXPECT_EQ(vanto_change_get_kind_as_char(change), c.insert ? 'I' : 'O');
    EXPECT_EQ(vanto_change_get_offset(change), c.offset);
    EXPECT_EQ(vanto_change_get_length(change), length);
    EXPECT_EQ(vanto_change_get_string(change), bytes);
    if (length > 0) {
      EXPECT_EQ(vanto_change_get_bytes(change), nullptr);
      std::string part(4, '\0');
      const int64_t got = vanto_change_copy_bytes(change, length - 2, part.data(), 4);
      EXPECT_EQ(got, 2);
      EXPECT_EQ(part.substr(0, 2), bytes.substr(bytes.size() - 2));
    }

    ASSERT_LT(vanto_edit_undo_last_change(s.get()), 0);
    EXPECT_EQ(session_data(s.get()), kBase);
    ASSERT_GT(vanto_edit_redo_last_undo(s.get()), 0);
    EXPECT_EQ(session_data(s.get()), want);
    vanto_edit_destroy_viewport(v);
  }
}

// File edits mixed with byte edits over several pieces of the same file,
// inside a transaction: the visitor sees each, one undo takes all.
TEST(InsertFile, MixedWithOtherEditsInATransaction) {
  Files f;
  SessionPtr s = open_session(f.base);
  std::string want = kBase;
  ASSERT_EQ(vanto_session_begin_transaction(s.get()), 0);
  ASSERT_GT(vanto_edit_insert_file(s.get(), 3, f.source.c_str(), 0, 10), 0);
  want.insert(3, kSource.substr(0, 10));
  ASSERT_GT(vanto_edit_insert(s.get(), 8, "--", 2), 0);  // splits the inserted piece
  want.insert(8, "--");
  ASSERT_GT(vanto_edit_delete(s.get(), 5, 2), 0);
  want.erase(5, 2);
  ASSERT_GT(vanto_edit_overwrite_file(s.get(), 0, f.source.c_str(), 20, 6), 0);
  want.replace(0, 6, kSource.substr(20, 6));
  ASSERT_EQ(vanto_session_end_transaction(s.get()), 0);
  EXPECT_EQ(session_data(s.get()), want);

  std::string kinds;
  vanto_visit_changes(
      s.get(),
      [](const vanto_change_t *change, void *out) {
        *static_cast<std::string *>(out) += vanto_change_get_kind_as_char(change);
        return 0;
      },
      &kinds);
  EXPECT_EQ(kinds, "IIDO");
  ASSERT_LT(vanto_edit_undo_last_change(s.get()), 0);
  EXPECT_EQ(session_data(s.get()), kBase);
  EXPECT_EQ(vanto_session_get_num_changes(s.get()), 0);
}

TEST(InsertFile, SearchFindsMatchesAcrossTheBoundaries) {
  Files f;
  SessionPtr s = open_session(f.base);
  ASSERT_EQ(vanto_edit_insert_file(s.get(), 10, f.source.c_str(), 0, 3), 1);  // ..9ABCa..
  vanto_search_context_t *across_start = vanto_search_create_context(s.get(), "9A", 2, 0, 0, 0);
  ASSERT_EQ(vanto_search_next_match(across_start, 1), 1);
  EXPECT_EQ(vanto_search_context_get_offset(across_start), 9);
  vanto_search_context_t *across_end = vanto_search_create_context(s.get(), "bca", 3, 0, 0, 1);
  ASSERT_EQ(vanto_search_next_match(across_end, 1), 1);
  EXPECT_EQ(vanto_search_context_get_offset(across_end), 11);
  vanto_search_destroy_context(across_start);
  vanto_search_destroy_context(across_end);
}

TEST(InsertFile, SaveToAnotherFileAndOverTheSessionsOwn) {
  Files f;
  SessionPtr s = open_session(f.base);
  ASSERT_GT(vanto_edit_insert_file(s.get(), 4, f.source.c_str(), 0, -1), 0);
  ASSERT_GT(vanto_edit_overwrite_file(s.get(), 0, f.source.c_str(), 25, 1), 0);
  const std::string want = "Z123" + kSource + kBase.substr(4);
  const std::string other = f.dir.file("other.txt");
  ASSERT_EQ(vanto_edit_save(s.get(), other.c_str(), SAVE_FLAG_REFUSE_IF_CHANGED, nullptr), 0);
  EXPECT_EQ(read_file(other), want);
  ASSERT_EQ(vanto_edit_save(s.get(), f.base.c_str(), SAVE_FLAG_OVERWRITE, nullptr), 0);
  EXPECT_EQ(read_file(f.base), want);
  EXPECT_EQ(session_data(s.get()), want);  // re-based on the saved file
  EXPECT_EQ(vanto_session_get_num_changes(s.get()), 0);
}

// A save whose target is the source file itself: the source is read through
// the descriptor the session holds, so the saved file is complete.
TEST(InsertFile, SaveOverTheSourceFile) {
  Files f;
  SessionPtr s = open_session(f.base);
  ASSERT_GT(vanto_edit_insert_file(s.get(), 0, f.source.c_str(), 0, -1), 0);
  ASSERT_GT(vanto_edit_insert_file(s.get(), 0, f.source.c_str(), 0, -1), 0);
  ASSERT_EQ(vanto_edit_save(s.get(), f.source.c_str(), SAVE_FLAG_OVERWRITE, nullptr), 0);
  EXPECT_EQ(read_file(f.source), kSource + kSource + kBase);
  EXPECT_EQ(session_data(s.get()), kSource + kSource + kBase);
}

TEST(InsertFile, CheckpointRollbackAndTransform) {
  Files f;
  SessionPtr s = open_session(f.base);
  ASSERT_GT(vanto_edit_insert_file(s.get(), 2, f.source.c_str(), 0, 4), 0);  // 01ABCD23...
  const std::string first = "01ABCD" + kBase.substr(2);
  ASSERT_EQ(vanto_edit_create_checkpoint(s.get(), f.dir.path().c_str()), 0);
  ASSERT_GT(vanto_edit_overwrite_file(s.get(), 0, f.source.c_str(), 10, 3), 0);  // KLMBCD23...
  EXPECT_EQ(session_data(s.get()), "KLM" + first.substr(3));
  // Lower case over the inserted range and one byte either side.
  ASSERT_EQ(vanto_edit_apply_transform(
                s.get(), [](unsigned char b, void *) { return static_cast<unsigned char>(b | 0x20); },
                nullptr, 1, 6, f.dir.path().c_str()),
            0);
  EXPECT_EQ(session_data(s.get()), "Klmbcd2" + first.substr(7));
  while (vanto_session_get_num_checkpoints(s.get()) > 1) {
    ASSERT_EQ(vanto_edit_destroy_last_checkpoint(s.get()), 0);
  }
  ASSERT_EQ(vanto_edit_destroy_last_checkpoint(s.get()), 0);
  EXPECT_EQ(session_data(s.get()), first);
  ASSERT_LT(vanto_edit_undo_last_change(s.get()), 0);
  EXPECT_EQ(session_data(s.get()), kBase);
}

TEST(InsertFile, RefusalsRecordNothing) {
  Files f;
  const std::string fifo = f.dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string unreadable = f.dir.file("unreadable");
  write_file(unreadable, "secret");
  ::chmod(unreadable.c_str(), 0);
  const bool root = ::geteuid() == 0;
  struct Refusal {
    const char *what;
    const char *path;
    int64_t file_offset, length;
  };
  const std::string missing = f.dir.file("missing");
  const Refusal refusals[] = {
      {"null path", nullptr, 0, -1},
      {"missing", missing.c_str(), 0, -1},
      {"directory", f.dir.path().c_str(), 0, -1},
      {"fifo without a writer", fifo.c_str(), 0, -1},
      {"unreadable", root ? nullptr : unreadable.c_str(), 0, -1},
      {"start beyond the end", f.source.c_str(), 27, -1},
      {"range beyond the end", f.source.c_str(), 20, 7},
      {"negative start", f.source.c_str(), -1, 3},
  };
  SessionPtr s = open_session(f.base);
  for (const Refusal &r : refusals) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(vanto_edit_insert_file(s.get(), 0, r.path, r.file_offset, r.length), 0);
    EXPECT_EQ(vanto_edit_overwrite_file(s.get(), 0, r.path, r.file_offset, r.length), 0);
  }
  EXPECT_EQ(vanto_session_get_num_changes(s.get()), 0);
  EXPECT_EQ(session_data(s.get()), kBase);
  // The range that ends at the file's end is not refused.
  EXPECT_EQ(vanto_edit_insert_file(s.get(), 0, f.source.c_str(), 20, 6), 1);
}

// The session keeps its descriptor: removing or replacing the source by
// name changes nothing, and two inserts of the same file share one.
TEST(InsertFile, SourceStaysReadableAfterItsNameGoes) {
  Files f;
  SessionPtr s = open_session(f.base);
  const auto open_descriptors = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
  };
  const auto before = open_descriptors();
  ASSERT_GT(vanto_edit_insert_file(s.get(), 0, f.source.c_str(), 0, 5), 0);
  ASSERT_GT(vanto_edit_insert_file(s.get(), 0, f.source.c_str(), 5, 5), 0);
  EXPECT_EQ(open_descriptors(), before + 1);
  fs::remove(f.source);
  write_file(f.source, "replaced by name");
  const std::string want = "FGHIJABCDE" + kBase;
  EXPECT_EQ(session_data(s.get()), want);
  EXPECT_EQ(vanto_session_get_backing_file_changes(s.get()), FILE_CHANGE_NONE);
  const std::string out = f.dir.file("out.txt");
  ASSERT_EQ(vanto_edit_save(s.get(), out.c_str(), SAVE_FLAG_REFUSE_IF_CHANGED, nullptr), 0);
  EXPECT_EQ(read_file(out), want);
  // The history going closes the descriptor.
  ASSERT_EQ(vanto_edit_clear_changes(s.get()), 0);
  EXPECT_EQ(open_descriptors(), before);
}

TEST(InsertFile, SourceChangedInPlaceIsReportedAndRefusesTheFlaggedSave) {
  Files f;
  SessionPtr s = open_session(f.base);
  ASSERT_GT(vanto_edit_insert_file(s.get(), 0, f.source.c_str(), 0, 10), 0);
  const struct timespec times[2] = {{1100000000, 5}, {1100000000, 5}};
  {
    const int fd = ::open(f.source.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "more", 4), 4);
    ASSERT_EQ(::futimens(fd, times), 0);
    ::close(fd);
  }
  EXPECT_EQ(vanto_session_get_backing_file_changes(s.get()), FILE_CHANGE_SIZE | FILE_CHANGE_MTIME);
  const std::string out = f.dir.file("out.txt");
  EXPECT_EQ(vanto_edit_save(s.get(), out.c_str(), SAVE_FLAG_REFUSE_IF_CHANGED, nullptr),
            SAVE_ERROR_FILE_CHANGED);
  EXPECT_FALSE(fs::exists(out));
  EXPECT_TRUE(vanto::test::temp_files(f.dir.path()).empty());
  // Without the flag the data is saved as it reads now.
  ASSERT_EQ(vanto_edit_save(s.get(), out.c_str(), SAVE_FLAG_NONE, nullptr), 0);
  EXPECT_EQ(read_file(out), kSource.substr(0, 10) + kBase);
  // Once the data no longer shows the file, the flagged save goes ahead;
  // the undone change still refers to it, so the query still reports it.
  ASSERT_LT(vanto_edit_undo_last_change(s.get()), 0);
  EXPECT_EQ(vanto_edit_save(s.get(), out.c_str(), SAVE_FLAG_OVERWRITE | SAVE_FLAG_REFUSE_IF_CHANGED, nullptr),
            0);
  EXPECT_EQ(read_file(out), kBase);
  EXPECT_EQ(vanto_session_get_backing_file_changes(s.get()), FILE_CHANGE_SIZE | FILE_CHANGE_MTIME);
  // A new insert of the changed file opens it afresh, recording its new state.
  ASSERT_GT(vanto_edit_insert_file(s.get(), 0, f.source.c_str(), 26, -1), 0);
  EXPECT_EQ(session_data(s.get()), "more" + kBase);
  EXPECT_EQ(vanto_session_get_backing_file_changes(s.get()), FILE_CHANGE_NONE);
}

// A source cut short behind the session: reads of its range fail instead of
// giving bytes that are not there, and the copy call says so.
TEST(InsertFile, TruncatedSourceFailsReads) {
  Files f;
  SessionPtr s = open_session(f.base);
  ASSERT_GT(vanto_edit_insert_file(s.get(), 0, f.source.c_str(), 0, -1), 0);
  ASSERT_EQ(::truncate(f.source.c_str(), 4), 0);
  vanto_segment_t *seg = vanto_segment_create(16);
  EXPECT_NE(vanto_session_get_segment(s.get(), seg, 0), 0);
  vanto_segment_destroy(seg);
  char buffer[8];
  EXPECT_EQ(vanto_change_copy_bytes(vanto_session_get_change(s.get(), 1), 2, buffer, 8), -1);
  EXPECT_EQ(vanto_change_copy_bytes(vanto_session_get_change(s.get(), 1), 0, buffer, 4), 4);
  const std::string out = f.dir.file("out.txt");
  EXPECT_EQ(vanto_edit_save(s.get(), out.c_str(), SAVE_FLAG_NONE, nullptr), SAVE_ERROR_READ);
}

// A sparse source beyond 4 GiB, inserted whole and read at its end.
TEST(InsertFile, SparseSourceBeyondFourGiB) {
  Files f;
  constexpr int64_t kSize = (int64_t{4} << 30) + 4096 + 17;
  const std::string big = f.dir.file("big.bin");
  {
    const int fd = ::open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, kSize), 0);
    ASSERT_EQ(::pwrite(fd, "END", 3, kSize - 3), 3);
    ASSERT_EQ(::pwrite(fd, "MID", 3, int64_t{4} << 30), 3);
    ::close(fd);
  }
  SessionPtr s = open_session(f.base);
  ASSERT_GT(vanto_edit_insert_file(s.get(), 10, big.c_str(), 0, -1), 0);
  EXPECT_EQ(vanto_session_get_computed_file_size(s.get()), kSize + static_cast<int64_t>(kBase.size()));
  EXPECT_EQ(vanto_session_get_segment_string(s.get(), 10 + kSize - 5, 7), std::string("\0\0END", 5) + "ab");
  EXPECT_EQ(vanto_session_get_segment_string(s.get(), 10 + (int64_t{4} << 30), 3), "MID");
  // Part of it, from beyond 4 GiB, overwriting.
  ASSERT_GT(vanto_edit_overwrite_file(s.get(), 0, big.c_str(), kSize - 3, 3), 0);
  EXPECT_EQ(vanto_session_get_segment_string(s.get(), 0, 4), "END3");
  char buffer[3];
  EXPECT_EQ(vanto_change_copy_bytes(vanto_session_get_change(s.get(), 1), kSize - 3, buffer, 3), 3);
  EXPECT_EQ(std::string(buffer, 3), "END");
}

}  // namespace
