// Checkpoints: file names, freezing and restoring data and counts, events,
// viewports, files removed, and how clearing and saving onto the session's
// own file treat the checkpoints that exist.

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "persist_test_util.h"
#include "test_support.h"
#include "vanto_edit.h"

namespace fs = std::filesystem;
using vanto::test::EventLog;
using vanto::test::files_with_prefix;
using vanto::test::LoggedEvent;
using vanto::test::open_session;
using vanto::test::read_file;
using vanto::test::ScratchDir;
using vanto::test::session_data;
using vanto::test::session_event;
using vanto::test::SessionPtr;
using vanto::test::temp_files;
using vanto::test::viewport_event;
using vanto::test::write_file;

namespace {

const std::string kOriginal = "The quick brown fox jumps over the lazy dog";

std::vector<std::string> checkpoint_files(const fs::path &dir) {
  return files_with_prefix(dir, ".VantoEdit-chk.");
}

std::string file_path(const vanto_session_t *session) {
  const char *path = vanto_session_get_file_path(session);
  return path != nullptr ? path : "";
}

}  // namespace

TEST(Checkpoint, FileNamesCarryTheLevelNumber) {
  ScratchDir dir;
  write_file(dir.file("own.txt"), kOriginal);
  fs::create_directory(dir.file("chk"));
  SessionPtr session = open_session(dir.file("own.txt"));
  // Given in a roundabout form: names are built in the normalized directory.
  const std::string given = dir.file("chk/../chk/.");
  const std::string normalized = fs::canonical(dir.file("chk")).string();
  auto name_pattern = [&](int level) {
    return std::regex(std::regex_replace(normalized, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                      "/\\.VantoEdit-chk\\." + std::to_string(level) + "\\.[A-Za-z0-9]{6}");
  };

  ASSERT_EQ(vanto_edit_create_checkpoint(session.get(), given.c_str()), 0);
  const std::string first = file_path(session.get());
  EXPECT_TRUE(std::regex_match(first, name_pattern(1))) << first;
  ASSERT_EQ(vanto_edit_create_checkpoint(session.get(), given.c_str()), 0);
  const std::string second = file_path(session.get());
  EXPECT_TRUE(std::regex_match(second, name_pattern(2))) << second;
  EXPECT_EQ(checkpoint_files(dir.file("chk")).size(), 2u);

  ASSERT_EQ(vanto_edit_destroy_last_checkpoint(session.get()), 0);
  EXPECT_FALSE(fs::exists(second));
  EXPECT_EQ(file_path(session.get()), first);
  ASSERT_EQ(vanto_edit_create_checkpoint(session.get(), given.c_str()), 0);
  EXPECT_TRUE(std::regex_match(file_path(session.get()), name_pattern(2))) << file_path(session.get());
  EXPECT_TRUE(temp_files(dir.file("chk")).empty());
}

TEST(Checkpoint, FreezesTheDataAndDestroyRestoresIt) {
  ScratchDir dir;
  write_file(dir.file("own.txt"), kOriginal);
  EventLog log;
  SessionPtr session = open_session(dir.file("own.txt"), &log);
  vanto_viewport_t *view = vanto_edit_create_viewport(session.get(), 0, 64, 0, EventLog::on_viewport,
                                                      &log, VIEWPORT_EVENT_ALL);
  ASSERT_EQ(vanto_edit_overwrite(session.get(), 4, "QUICK", 5), 1);
  ASSERT_EQ(vanto_edit_delete(session.get(), 0, 4), 2);
  ASSERT_EQ(vanto_edit_insert(session.get(), 0, "A ", 2), 3);
  const std::string frozen = "A QUICK brown fox jumps over the lazy dog";
  ASSERT_EQ(session_data(session.get()), frozen);
  ASSERT_EQ(vanto_viewport_get_string(view), frozen);
  log.take();

  ASSERT_EQ(vanto_edit_create_checkpoint(session.get(), dir.file("chk").c_str()), 0);
  const std::string checkpoint = file_path(session.get());
  EXPECT_EQ(log.take(), (std::vector<LoggedEvent>{session_event(session.get(), SESSION_EVENT_SAVE),
                                                  session_event(session.get(), SESSION_EVENT_CREATE_CHECKPOINT)}));
  EXPECT_EQ(vanto_session_get_num_checkpoints(session.get()), 1);
  EXPECT_EQ(vanto_session_get_num_changes(session.get()), 3);
  EXPECT_EQ(session_data(session.get()), frozen);
  EXPECT_EQ(read_file(checkpoint), frozen);
  EXPECT_EQ(vanto_viewport_has_changes(view), 0);  // same data, nothing to re-read
  EXPECT_EQ(vanto_edit_undo_last_change(session.get()), 0);

  // Editing above the checkpoint; serials go on from the levels below.
  ASSERT_EQ(vanto_edit_delete(session.get(), 0, 2), 4);
  ASSERT_EQ(vanto_edit_insert(session.get(), 0, "One ", 4), 5);
  ASSERT_EQ(session_data(session.get()), "One QUICK brown fox jumps over the lazy dog");
  ASSERT_EQ(vanto_viewport_get_string(view), "One QUICK brown fox jumps over the lazy dog");
  log.take();

  ASSERT_EQ(vanto_edit_destroy_last_checkpoint(session.get()), 0);
  EXPECT_EQ(log.take(), std::vector<LoggedEvent>{session_event(session.get(), SESSION_EVENT_DESTROY_CHECKPOINT)});
  EXPECT_FALSE(fs::exists(checkpoint));
  EXPECT_EQ(vanto_session_get_num_checkpoints(session.get()), 0);
  EXPECT_EQ(vanto_session_get_num_changes(session.get()), 3);
  EXPECT_EQ(file_path(session.get()), dir.file("own.txt"));
  EXPECT_EQ(session_data(session.get()), frozen);
  // The viewport was marked (without an event) and shows the restored data.
  EXPECT_EQ(vanto_viewport_has_changes(view), 1);
  EXPECT_EQ(vanto_viewport_get_string(view), frozen);

  // History below the checkpoint is reachable again; serials continue as if
  // the checkpoint had never been.
  ASSERT_EQ(vanto_edit_create_checkpoint(session.get(), dir.file("chk").c_str()), 0);
  ASSERT_EQ(vanto_edit_destroy_last_checkpoint(session.get()), 0);
  EXPECT_EQ(vanto_edit_insert(session.get(), 0, "!", 1), 4);
  EXPECT_EQ(vanto_edit_undo_last_change(session.get()), -4);
  EXPECT_EQ(vanto_edit_undo_last_change(session.get()), -3);
  EXPECT_EQ(read_file(dir.file("own.txt")), kOriginal);
  EXPECT_TRUE(checkpoint_files(dir.file("chk")).empty());
}

TEST(Checkpoint, OfASessionWithoutDataIsEmpty) {
  ScratchDir dir;
  SessionPtr session = open_session("");
  ASSERT_EQ(vanto_edit_create_checkpoint(session.get(), dir.path().c_str()), 0);
  EXPECT_EQ(vanto_session_get_computed_file_size(session.get()), 0);
  EXPECT_EQ(fs::file_size(file_path(session.get())), 0u);
  ASSERT_EQ(vanto_edit_insert(session.get(), 0, "grows", 5), 1);
  EXPECT_EQ(session_data(session.get()), "grows");
}

TEST(Checkpoint, CreatesAMissingDirectoryWithItsParents) {
  ScratchDir dir;
  SessionPtr session = open_session("");
  ASSERT_GT(vanto_edit_insert(session.get(), 0, "data", 4), 0);
  const std::string nested = dir.file("a/b/c");
  ASSERT_EQ(vanto_edit_create_checkpoint(session.get(), nested.c_str()), 0);
  EXPECT_EQ(checkpoint_files(nested).size(), 1u);
  EXPECT_EQ(read_file(file_path(session.get())), "data");
}

TEST(Checkpoint, RefusalsChangeNothing) {
  ScratchDir dir;
  write_file(dir.file("own.txt"), kOriginal);
  EventLog log;
  SessionPtr session = open_session(dir.file("own.txt"), &log);
  log.take();
  EXPECT_EQ(vanto_edit_destroy_last_checkpoint(session.get()), -1);
  EXPECT_EQ(vanto_edit_destroy_last_checkpoint(nullptr), -1);
  EXPECT_EQ(vanto_edit_create_checkpoint(nullptr, dir.path().c_str()), -1);
  EXPECT_EQ(vanto_edit_create_checkpoint(session.get(), nullptr), -1);
  // A regular file where the directory should be: the file-system error comes
  // back as a failure.
  write_file(dir.file("plain.txt"), "x");
  int rc = 0;
  EXPECT_NO_THROW(rc = vanto_edit_create_checkpoint(session.get(), dir.file("plain.txt").c_str()));
  EXPECT_EQ(rc, -1);
  EXPECT_NO_THROW(rc = vanto_edit_create_checkpoint(session.get(), dir.file("plain.txt/sub").c_str()));
  EXPECT_EQ(rc, -1);
  EXPECT_TRUE(log.take().empty());
  EXPECT_EQ(vanto_session_get_num_checkpoints(session.get()), 0);

  // The name adds the separator and 23 characters for a one-digit level.
  const std::string base = fs::canonical(dir.path()).string() + "/";
  const std::string fits = base + std::string(235 - base.size(), 'f');
  const std::string too_long = base + std::string(236 - base.size(), 't');
  fs::create_directory(fits);
  fs::create_directory(too_long);
  EXPECT_EQ(vanto_edit_create_checkpoint(session.get(), too_long.c_str()), -1);
  EXPECT_EQ(vanto_session_get_num_checkpoints(session.get()), 0);
  EXPECT_TRUE(fs::is_empty(too_long));
  EXPECT_TRUE(log.take().empty());
  EXPECT_EQ(vanto_edit_create_checkpoint(session.get(), fits.c_str()), 0);
  EXPECT_EQ(vanto_session_get_num_checkpoints(session.get()), 1);
}

TEST(Checkpoint, DestroyingTheSessionRemovesEveryCheckpointFile) {
  ScratchDir dir;
  write_file(dir.file("own.txt"), kOriginal);
  SessionPtr session = open_session(dir.file("own.txt"));
  for (int i = 0; i < 3; ++i) {
    ASSERT_GT(vanto_edit_insert(session.get(), 0, "x", 1), 0);
    ASSERT_EQ(vanto_edit_create_checkpoint(session.get(), dir.file("chk").c_str()), 0);
  }
  ASSERT_EQ(checkpoint_files(dir.file("chk")).size(), 3u);
  session.reset();
  EXPECT_TRUE(checkpoint_files(dir.file("chk")).empty());
  EXPECT_EQ(read_file(dir.file("own.txt")), kOriginal);
}

// Clearing goes back to the session's own file: checkpoints are dropped first.
TEST(Checkpoint, ClearingDropsEveryCheckpoint) {
  ScratchDir dir;
  write_file(dir.file("own.txt"), kOriginal);
  EventLog log;
  SessionPtr session = open_session(dir.file("own.txt"), &log);
  vanto_viewport_t *view = vanto_edit_create_viewport(session.get(), 0, 16, 0, EventLog::on_viewport,
                                                      &log, VIEWPORT_EVENT_ALL);
  for (const char *word : {"one ", "two "}) {
    ASSERT_GT(vanto_edit_insert(session.get(), 0, word, 4), 0);
    ASSERT_EQ(vanto_edit_create_checkpoint(session.get(), dir.file("chk").c_str()), 0);
  }
  ASSERT_GT(vanto_edit_insert(session.get(), 0, "three ", 6), 0);
  ASSERT_EQ(vanto_edit_undo_last_change(session.get()), -3);
  ASSERT_EQ(vanto_viewport_get_string(view), std::string("two one ") + kOriginal.substr(0, 8));
  log.take();

  ASSERT_EQ(vanto_edit_clear_changes(session.get()), 0);
  const std::vector<LoggedEvent> expected = {
      session_event(session.get(), SESSION_EVENT_DESTROY_CHECKPOINT),
      session_event(session.get(), SESSION_EVENT_DESTROY_CHECKPOINT),
      viewport_event(view, VIEWPORT_EVENT_CLEAR),
      session_event(session.get(), SESSION_EVENT_CLEAR)};
  EXPECT_EQ(log.take(), expected);
  EXPECT_EQ(vanto_session_get_num_checkpoints(session.get()), 0);
  EXPECT_TRUE(checkpoint_files(dir.file("chk")).empty());
  EXPECT_EQ(session_data(session.get()), kOriginal);
  EXPECT_EQ(vanto_viewport_get_string(view), kOriginal.substr(0, 16));
  EXPECT_EQ(vanto_session_get_num_changes(session.get()), 0);
  EXPECT_EQ(vanto_session_get_num_undone_changes(session.get()), 0);
  EXPECT_EQ(vanto_session_get_num_change_transactions(session.get()), 0);
  EXPECT_EQ(vanto_edit_undo_last_change(session.get()), 0);
  EXPECT_EQ(vanto_edit_insert(session.get(), 0, "new ", 4), 1);
}

// Saving onto the session's own file re-bases the whole session, whatever
// checkpoints exist.
TEST(Checkpoint, SavingOntoTheOwnFileDropsEveryCheckpoint) {
  ScratchDir dir;
  const std::string own = dir.file("own.txt");
  write_file(own, kOriginal);
  EventLog log;
  SessionPtr session = open_session(own, &log);
  for (const char *word : {"one ", "two "}) {
    ASSERT_GT(vanto_edit_insert(session.get(), 0, word, 4), 0);
    ASSERT_EQ(vanto_edit_create_checkpoint(session.get(), dir.file("chk").c_str()), 0);
  }
  ASSERT_GT(vanto_edit_insert(session.get(), 0, "three ", 6), 0);
  const std::string edited = "three two one " + kOriginal;
  log.take();

  ASSERT_EQ(vanto_edit_save(session.get(), own.c_str(), SAVE_FLAG_OVERWRITE, nullptr), 0);
  const std::vector<LoggedEvent> expected = {
      session_event(session.get(), SESSION_EVENT_DESTROY_CHECKPOINT),
      session_event(session.get(), SESSION_EVENT_DESTROY_CHECKPOINT),
      session_event(session.get(), SESSION_EVENT_CLEAR),
      session_event(session.get(), SESSION_EVENT_SAVE)};
  EXPECT_EQ(log.take(), expected);
  EXPECT_EQ(read_file(own), edited);
  EXPECT_EQ(session_data(session.get()), edited);
  EXPECT_EQ(vanto_session_get_num_checkpoints(session.get()), 0);
  EXPECT_EQ(vanto_session_get_num_changes(session.get()), 0);
  EXPECT_EQ(file_path(session.get()), own);
  EXPECT_TRUE(checkpoint_files(dir.file("chk")).empty());
  EXPECT_TRUE(temp_files(dir.path()).empty());
  // Clearing now returns to the saved file.
  ASSERT_GT(vanto_edit_delete(session.get(), 0, 6), 0);
  ASSERT_EQ(vanto_edit_clear_changes(session.get()), 0);
  EXPECT_EQ(session_data(session.get()), edited);
}

// A checkpoint file is data the session reads: no save may write over it.
TEST(Checkpoint, SavingOntoACheckpointFileIsRefused) {
  ScratchDir dir;
  write_file(dir.file("own.txt"), kOriginal);
  EventLog log;
  SessionPtr session = open_session(dir.file("own.txt"), &log);
  ASSERT_GT(vanto_edit_insert(session.get(), 0, "one ", 4), 0);
  ASSERT_EQ(vanto_edit_create_checkpoint(session.get(), dir.file("chk").c_str()), 0);
  const std::string lower = file_path(session.get());
  ASSERT_GT(vanto_edit_insert(session.get(), 0, "two ", 4), 0);
  ASSERT_EQ(vanto_edit_create_checkpoint(session.get(), dir.file("chk").c_str()), 0);
  const std::string upper = file_path(session.get());
  ASSERT_GT(vanto_edit_insert(session.get(), 0, "three ", 6), 0);
  const std::string lower_bytes = read_file(lower);
  const std::string upper_bytes = read_file(upper);
  log.take();

  for (const std::string &target : {lower, upper}) {
    for (const int32_t flags : {SAVE_FLAG_NONE, SAVE_FLAG_OVERWRITE}) {
      char saved[VANTO_PATH_BUFFER_SIZE] = "junk";
      EXPECT_EQ(vanto_edit_save(session.get(), target.c_str(), flags, saved), -9);
      EXPECT_STREQ(saved, "");
    }
  }
  EXPECT_TRUE(log.take().empty());
  EXPECT_EQ(read_file(lower), lower_bytes);
  EXPECT_EQ(read_file(upper), upper_bytes);
  EXPECT_EQ(checkpoint_files(dir.file("chk")).size(), 2u);
  EXPECT_TRUE(temp_files(dir.file("chk")).empty());
  EXPECT_EQ(vanto_session_get_num_checkpoints(session.get()), 2);
  EXPECT_EQ(session_data(session.get()), "three two one " + kOriginal);
}

// Changes made from the callback of an event sent in the middle of an
// operation (the checkpoint's save, the levels a clear or a re-basing save
// drops, a transform before its rewrite) are refused: the operation goes on
// to build data they would be missing from.  Events sent once an operation's
// state is in place take changes, which are then part of the data.
TEST(Checkpoint, ChangesFromEventCallbacksAreRefusedMidOperationOrKept) {
  enum class Op { kCheckpoint, kTransform, kClear, kSaveOwn, kSaveOther, kRollback };
  struct Case {
    const char *name;
    Op op;
    int32_t event;
    bool allowed;
  };
  const Case cases[] = {
      {"checkpoint, its save", Op::kCheckpoint, SESSION_EVENT_SAVE, false},
      {"checkpoint, created", Op::kCheckpoint, SESSION_EVENT_CREATE_CHECKPOINT, true},
      {"transform, its checkpoint's save", Op::kTransform, SESSION_EVENT_SAVE, false},
      {"transform, its checkpoint created", Op::kTransform, SESSION_EVENT_CREATE_CHECKPOINT, false},
      {"transform, done", Op::kTransform, SESSION_EVENT_TRANSFORM, true},
      {"clear, a checkpoint dropped", Op::kClear, SESSION_EVENT_DESTROY_CHECKPOINT, false},
      {"clear, done", Op::kClear, SESSION_EVENT_CLEAR, true},
      {"save onto the own file, a checkpoint dropped", Op::kSaveOwn, SESSION_EVENT_DESTROY_CHECKPOINT, false},
      {"save onto the own file, re-based", Op::kSaveOwn, SESSION_EVENT_CLEAR, true},
      {"save onto the own file, saved", Op::kSaveOwn, SESSION_EVENT_SAVE, true},
      {"save elsewhere, saved", Op::kSaveOther, SESSION_EVENT_SAVE, true},
      {"rollback, done", Op::kRollback, SESSION_EVENT_DESTROY_CHECKPOINT, true},
  };
  struct Host {
    vanto_session_t *session = nullptr;
    int32_t event = 0;
    bool allowed = false;
    std::string dir;
    std::vector<int64_t> results;
  };
  auto on_session = [](const vanto_session_t *cs, int32_t event, const void *) {
    auto *host = static_cast<Host *>(vanto_session_get_user_data_ptr(cs));
    if (event != host->event || !host->results.empty()) return;
    vanto_session_t *s = host->session;
    host->results.push_back(vanto_edit_insert(s, 0, "Z", 1));
    if (host->allowed) return;
    // Every other call that changes the data or the history is refused too.
    host->results.push_back(vanto_edit_delete(s, 0, 1));
    host->results.push_back(vanto_edit_overwrite(s, 0, "Z", 1));
    host->results.push_back(vanto_edit_undo_last_change(s));
    host->results.push_back(vanto_edit_redo_last_undo(s));
    host->results.push_back(vanto_edit_clear_changes(s));
    host->results.push_back(vanto_edit_create_checkpoint(s, host->dir.c_str()));
    host->results.push_back(vanto_edit_destroy_last_checkpoint(s));
    host->results.push_back(vanto_edit_save(s, (host->dir + "/elsewhere").c_str(), SAVE_FLAG_OVERWRITE, nullptr));
    host->results.push_back(vanto_edit_apply_transform(
        s, [](unsigned char b, void *) { return b; }, nullptr, 0, 0, host->dir.c_str()));
  };
  auto upper = [](unsigned char b, void *) -> unsigned char { return b >= 'a' && b <= 'z' ? b - 32 : b; };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::string own = dir.file("own.txt");
    write_file(own, "abcdefghij");
    Host host;
    host.dir = dir.file("chk");
    host.session = vanto_edit_create_session(own.c_str(), on_session, &host, SESSION_EVENT_ALL);
    ASSERT_NE(host.session, nullptr);
    vanto_session_t *s = host.session;
    ASSERT_EQ(vanto_edit_insert(s, 0, "x", 1), 1);
    ASSERT_EQ(vanto_edit_insert(s, 0, "u", 1), 2);
    ASSERT_EQ(vanto_edit_undo_last_change(s), -2);  // something to redo
    const bool below = c.op == Op::kClear || c.op == Op::kSaveOwn || c.op == Op::kRollback;
    if (below) {
      ASSERT_EQ(vanto_edit_create_checkpoint(s, host.dir.c_str()), 0);
      ASSERT_EQ(vanto_edit_insert(s, 0, "y", 1), 2);
    }
    host.event = c.event;
    host.allowed = c.allowed;

    // The data and change count the operation leaves without callbacks, and
    // those a rollback of the checkpoint it made brings back.
    std::string after;
    int64_t changes = 0;
    switch (c.op) {
      case Op::kCheckpoint:
        ASSERT_EQ(vanto_edit_create_checkpoint(s, host.dir.c_str()), 0);
        after = "xabcdefghij", changes = 1;
        break;
      case Op::kTransform:
        ASSERT_EQ(vanto_edit_apply_transform(s, upper, nullptr, 0, 0, host.dir.c_str()), 0);
        after = "XABCDEFGHIJ", changes = 1;
        break;
      case Op::kClear:
        ASSERT_EQ(vanto_edit_clear_changes(s), 0);
        after = "abcdefghij", changes = 0;
        break;
      case Op::kSaveOwn:
        ASSERT_EQ(vanto_edit_save(s, own.c_str(), SAVE_FLAG_OVERWRITE, nullptr), 0);
        EXPECT_EQ(read_file(own), "yxabcdefghij");
        after = "yxabcdefghij", changes = 0;
        break;
      case Op::kSaveOther:
        ASSERT_EQ(vanto_edit_save(s, dir.file("other.txt").c_str(), SAVE_FLAG_OVERWRITE, nullptr), 0);
        EXPECT_EQ(read_file(dir.file("other.txt")), "xabcdefghij");
        after = "xabcdefghij", changes = 1;
        break;
      case Op::kRollback:
        ASSERT_EQ(vanto_edit_destroy_last_checkpoint(s), 0);
        after = "xabcdefghij", changes = 1;
        break;
    }
    ASSERT_FALSE(host.results.empty());
    if (c.allowed) {
      EXPECT_EQ(host.results, std::vector<int64_t>{changes + 1});
      after = "Z" + after;
      ++changes;
    } else {
      EXPECT_EQ(host.results, (std::vector<int64_t>{0, 0, 0, 0, 0, -1, -1, -1, -1, -1}));
    }
    EXPECT_EQ(session_data(s), after);
    EXPECT_EQ(vanto_session_get_num_changes(s), changes);
    EXPECT_EQ(vanto_check_model(s), 0);
    host.event = 0;
    if (c.op == Op::kCheckpoint) {
      // What the level below holds is what was counted when it was made.
      ASSERT_EQ(vanto_edit_destroy_last_checkpoint(s), 0);
      EXPECT_EQ(session_data(s), "xabcdefghij");
      EXPECT_EQ(vanto_session_get_num_changes(s), 1);
    }
    vanto_edit_destroy_session(s);
  }
}

// Between the checkpoint's save and the new level, another process puts a
// file of the same size at the checkpoint's name: the session reads what it
// wrote, not what the name now holds, and the impostor is never written.
TEST(Checkpoint, IsReadThroughTheFileItWroteNeverThroughItsName) {
  struct Host {
    std::string chk_dir;
    std::string impostor;
    bool swapped = false;
  };
  auto on_session = [](const vanto_session_t *cs, int32_t event, const void *) {
    auto *host = static_cast<Host *>(vanto_session_get_user_data_ptr(cs));
    if (event != SESSION_EVENT_SAVE || host->swapped) return;
    const std::vector<std::string> files = checkpoint_files(host->chk_dir);
    if (files.size() != 1) return;
    host->swapped = std::rename(host->impostor.c_str(), files[0].c_str()) == 0;
  };
  ScratchDir dir;
  const std::string own = dir.file("own.txt");
  write_file(own, kOriginal);
  Host host;
  host.chk_dir = dir.file("chk");
  fs::create_directory(host.chk_dir);
  host.impostor = dir.file("chk/impostor");
  const std::string edited = "<>" + kOriginal;
  write_file(host.impostor, std::string(edited.size(), '!'));
  SessionPtr session(vanto_edit_create_session(own.c_str(), on_session, &host, SESSION_EVENT_ALL));
  ASSERT_NE(session, nullptr);
  ASSERT_GT(vanto_edit_insert(session.get(), 0, "<>", 2), 0);
  ASSERT_EQ(vanto_edit_create_checkpoint(session.get(), host.chk_dir.c_str()), 0);
  ASSERT_TRUE(host.swapped);
  EXPECT_EQ(session_data(session.get()), edited);
  EXPECT_EQ(read_file(file_path(session.get())), std::string(edited.size(), '!'));
  // A transform of that level rewrites the data it read, not the impostor.
  ASSERT_EQ(vanto_edit_apply_transform(session.get(), [](unsigned char b, void *) -> unsigned char { return b == '<' ? '[' : b; },
                                       nullptr, 0, 0, host.chk_dir.c_str()),
            0);
  EXPECT_EQ(session_data(session.get()), "[>" + kOriginal);
  ASSERT_EQ(vanto_edit_destroy_last_checkpoint(session.get()), 0);
  EXPECT_EQ(session_data(session.get()), edited);
}
