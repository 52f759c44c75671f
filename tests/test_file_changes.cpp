// Changes made to a session's files behind its back: what
// vanto_session_get_backing_file_changes reports, and the save that refuses
// with SAVE_FLAG_REFUSE_IF_CHANGED, for a fresh session, after a re-basing
// save, with a checkpoint, and for a change made while the save runs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "persist_test_util.h"
#include "test_support.h"
#include "vanto_edit.h"

namespace fs = std::filesystem;
using vanto::test::EventLog;
using vanto::test::open_session;
using vanto::test::read_file;
using vanto::test::ScratchDir;
using vanto::test::session_data;
using vanto::test::SessionPtr;
using vanto::test::temp_files;
using vanto::test::write_file;

namespace {

const std::string kData = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

// File times are set explicitly: a write within the file system's timestamp
// granularity may keep the time, and the tests must not depend on the clock.
void set_mtime(const std::string &path, const struct timespec &when) {
  const struct timespec times[2] = {when, when};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}
struct timespec mtime_of(const std::string &path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mtim;
}
constexpr struct timespec kOpenedAt = {1000000000, 123456789};
constexpr struct timespec kChangedAt = {1100000000, 987654321};

void write_at(const std::string &path, off_t offset, const std::string &bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

// One change made to a file behind the session, and what it shows.
struct ExternalChange {
  const char *what;
  std::function<void(const ScratchDir &, const std::string &path)> make;
  int32_t bits;  // what vanto_session_get_backing_file_changes reports
};

const ExternalChange kChanges[] = {
    {"nothing", [](const ScratchDir &, const std::string &) {}, FILE_CHANGE_NONE},
    {"overwritten in place, same size",
     [](const ScratchDir &, const std::string &path) {
       write_at(path, 3, "###");
       set_mtime(path, kChangedAt);
     },
     FILE_CHANGE_MTIME},
    {"appended to",
     [](const ScratchDir &, const std::string &path) {
       write_at(path, static_cast<off_t>(fs::file_size(path)), "tail");
       set_mtime(path, kChangedAt);
     },
     FILE_CHANGE_SIZE | FILE_CHANGE_MTIME},
    {"appended to, its time put back",
     [](const ScratchDir &, const std::string &path) {
       const struct timespec before = mtime_of(path);
       write_at(path, static_cast<off_t>(fs::file_size(path)), "tail");
       set_mtime(path, before);
     },
     FILE_CHANGE_SIZE},
    {"truncated",
     [](const ScratchDir &, const std::string &path) {
       ASSERT_EQ(::truncate(path.c_str(), 10), 0);
       set_mtime(path, kChangedAt);
     },
     FILE_CHANGE_SIZE | FILE_CHANGE_MTIME},
    {"replaced by a rename (same size and time)",
     [](const ScratchDir &dir, const std::string &path) {
       const std::string other = dir.file("other.tmp");
       write_file(other, std::string(fs::file_size(path), 'R'));
       set_mtime(other, mtime_of(path));
       ASSERT_EQ(std::rename(other.c_str(), path.c_str()), 0);
     },
     FILE_CHANGE_REPLACED},
    {"removed", [](const ScratchDir &, const std::string &path) { ASSERT_EQ(::unlink(path.c_str()), 0); },
     FILE_CHANGE_REMOVED},
};

constexpr int32_t kInPlace = FILE_CHANGE_SIZE | FILE_CHANGE_MTIME;

// A session on `in.bin` (time kOpenedAt) with one edit; with `rebased`, the
// session has first saved over its own file and been re-based on it.
struct Scene {
  ScratchDir dir;
  std::string path = dir.file("in.bin");
  EventLog log;
  SessionPtr session;

  explicit Scene(bool rebased) {
    write_file(path, kData);
    set_mtime(path, kOpenedAt);
    session = open_session(path, &log);
    EXPECT_EQ(vanto_session_get_backing_file_changes(session.get()), FILE_CHANGE_NONE);
    EXPECT_GT(vanto_edit_insert(session.get(), 0, "<", 1), 0);
    if (rebased) {
      EXPECT_EQ(vanto_edit_save(session.get(), path.c_str(), SAVE_FLAG_OVERWRITE | SAVE_FLAG_REFUSE_IF_CHANGED,
                                nullptr),
                SAVE_OK);
      EXPECT_EQ(vanto_session_get_num_changes(session.get()), 0);
      EXPECT_EQ(read_file(path), "<" + kData);
      // The new file is what the session now compares with.
      EXPECT_EQ(vanto_session_get_backing_file_changes(session.get()), FILE_CHANGE_NONE);
      EXPECT_GT(vanto_edit_insert(session.get(), 0, "<", 1), 0);
    }
    log.take();
  }
};

TEST(FileChanges, EachChangeShowsItsBitsAndRefusesTheSaveOnlyInPlace) {
  for (const bool rebased : {false, true}) {
    for (const ExternalChange &change : kChanges) {
      SCOPED_TRACE(testing::Message() << change.what << (rebased ? ", after a re-base" : ""));
      Scene scene(rebased);
      vanto_session_t *s = scene.session.get();
      const std::string before = session_data(s);
      change.make(scene.dir, scene.path);
      EXPECT_EQ(vanto_session_get_backing_file_changes(s), change.bits);
      EXPECT_EQ(vanto_session_get_backing_file_changes(s), change.bits);  // looking changes nothing

      // With the flag, in both modes: refused with nothing written, or saved.
      const bool refused = (change.bits & kInPlace) != 0;
      for (const int32_t mode : {SAVE_FLAG_NONE, SAVE_FLAG_OVERWRITE}) {
        const std::string out = scene.dir.file("out.bin");
        char saved[VANTO_PATH_BUFFER_SIZE] = "junk";
        const int rc = vanto_edit_save(s, out.c_str(), mode | SAVE_FLAG_REFUSE_IF_CHANGED, saved);
        if (refused) {
          EXPECT_EQ(rc, SAVE_ERROR_FILE_CHANGED);
          EXPECT_STREQ(saved, "");
          EXPECT_FALSE(fs::exists(out));
          EXPECT_TRUE(scene.log.take().empty());
        } else {
          ASSERT_EQ(rc, SAVE_OK);
          EXPECT_EQ(read_file(out), before);  // the session still reads the file it was given
          fs::remove(out);
          scene.log.take();
        }
        EXPECT_TRUE(temp_files(scene.dir.path()).empty());
        EXPECT_EQ(vanto_session_get_num_changes(s), 1);
      }

      // Without the flag the save does what it always did.
      const int plain = vanto_edit_save(s, scene.dir.file("plain.bin").c_str(), SAVE_FLAG_NONE, nullptr);
      if (std::string(change.what) == "truncated") {
        EXPECT_EQ(plain, SAVE_ERROR_READ);  // the bytes the session needs are gone
      } else {
        EXPECT_EQ(plain, SAVE_OK);
        EXPECT_EQ(fs::file_size(scene.dir.file("plain.bin")), before.size());
      }
    }
  }
}

// A replaced or removed file does not stop a save over the session's path
// with the flag: it then writes what the session holds under that name.
TEST(FileChanges, ReplacedOwnFileIsNotASaveRefusal) {
  Scene scene(false);
  vanto_session_t *s = scene.session.get();
  kChanges[5].make(scene.dir, scene.path);
  ASSERT_EQ(vanto_session_get_backing_file_changes(s), FILE_CHANGE_REPLACED);
  ASSERT_EQ(vanto_edit_save(s, scene.path.c_str(), SAVE_FLAG_OVERWRITE | SAVE_FLAG_REFUSE_IF_CHANGED, nullptr),
            SAVE_OK);
  EXPECT_EQ(read_file(scene.path), "<" + kData);
}

// A change made while the save writes (here from its progress hook, after
// every byte was read) is found before the data is put in place; a change
// made before is found before anything is read.
TEST(FileChanges, ChangeDuringTheSaveIsFoundBeforeTheDataIsPlaced) {
  struct Hook {
    std::string path;
    int calls = 0;
    bool change = true;
    static int on_progress(const vanto_session_t *, int64_t done, int64_t total, void *user_data) {
      auto *self = static_cast<Hook *>(user_data);
      ++self->calls;
      if (self->change && done == total) {
        write_at(self->path, 0, "!");
        set_mtime(self->path, kChangedAt);
      }
      return 0;
    }
  };
  Scene scene(false);
  vanto_session_t *s = scene.session.get();
  Hook hook{scene.path};
  ASSERT_EQ(vanto_session_set_progress_cbk(s, &Hook::on_progress, &hook), 0);
  const std::string out = scene.dir.file("out.bin");
  EXPECT_EQ(vanto_edit_save(s, out.c_str(), SAVE_FLAG_OVERWRITE | SAVE_FLAG_REFUSE_IF_CHANGED, nullptr),
            SAVE_ERROR_FILE_CHANGED);
  EXPECT_GT(hook.calls, 0);
  EXPECT_FALSE(fs::exists(out));
  EXPECT_TRUE(temp_files(scene.dir.path()).empty());
  EXPECT_TRUE(scene.log.take().empty());

  // The file stays changed: the next save is refused before it reads a byte.
  hook.calls = 0;
  hook.change = false;
  EXPECT_EQ(vanto_edit_save(s, out.c_str(), SAVE_FLAG_REFUSE_IF_CHANGED, nullptr), SAVE_ERROR_FILE_CHANGED);
  EXPECT_EQ(hook.calls, 0);
  EXPECT_FALSE(fs::exists(out));
}

// With a checkpoint the data comes from the checkpoint's file, which was
// written from the session's own file: a change in place to either refuses
// the save; the query still speaks of the own file only.
TEST(FileChanges, CheckpointFilesAreCheckedToo) {
  struct Case {
    const char *what;
    bool change_checkpoint;  // else the session's own file
    int32_t own_bits;
  };
  const Case cases[] = {
      {"checkpoint file appended to", true, FILE_CHANGE_NONE},
      {"own file overwritten after the checkpoint", false, FILE_CHANGE_MTIME},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Scene scene(false);
    vanto_session_t *s = scene.session.get();
    ASSERT_EQ(vanto_edit_create_checkpoint(s, scene.dir.file("chk").c_str()), 0);
    const std::string checkpoint = vanto_session_get_file_path(s);
    ASSERT_NE(checkpoint, scene.path);
    const std::string out = scene.dir.file("out.bin");
    ASSERT_EQ(vanto_edit_save(s, out.c_str(), SAVE_FLAG_REFUSE_IF_CHANGED, nullptr), SAVE_OK);
    fs::remove(out);

    if (c.change_checkpoint) {
      write_at(checkpoint, static_cast<off_t>(fs::file_size(checkpoint)), "x");
      set_mtime(checkpoint, kChangedAt);
    } else {
      write_at(scene.path, 0, "#");
      set_mtime(scene.path, kChangedAt);
    }
    EXPECT_EQ(vanto_session_get_backing_file_changes(s), c.own_bits);
    EXPECT_EQ(vanto_edit_save(s, out.c_str(), SAVE_FLAG_REFUSE_IF_CHANGED, nullptr), SAVE_ERROR_FILE_CHANGED);
    EXPECT_FALSE(fs::exists(out));
    EXPECT_TRUE(temp_files(scene.dir.path()).empty());
    EXPECT_EQ(vanto_edit_save(s, out.c_str(), SAVE_FLAG_NONE, nullptr), SAVE_OK);
  }

  // A transform rewrites its checkpoint's file: the rewritten file is what
  // is compared with afterwards.
  Scene scene(false);
  vanto_session_t *s = scene.session.get();
  ASSERT_EQ(vanto_edit_apply_transform(
                s, [](unsigned char b, void *) { return static_cast<unsigned char>(b ^ 0x20); }, nullptr, 0, 0,
                scene.dir.file("chk").c_str()),
            0);
  EXPECT_EQ(vanto_edit_save(s, scene.dir.file("t.bin").c_str(), SAVE_FLAG_REFUSE_IF_CHANGED, nullptr), SAVE_OK);
}

// The refusal bit alone leaves the mode at "free name": an existing target
// is kept and the data goes beside it.
TEST(FileChanges, RefusalBitAloneKeepsTheFreeNameMode) {
  Scene scene(false);
  write_file(scene.dir.file("t.bin"), "keep");
  char saved[VANTO_PATH_BUFFER_SIZE];
  ASSERT_EQ(vanto_edit_save(scene.session.get(), scene.dir.file("t.bin").c_str(), SAVE_FLAG_REFUSE_IF_CHANGED,
                            saved),
            SAVE_OK);
  EXPECT_EQ(read_file(scene.dir.file("t.bin")), "keep");
  EXPECT_EQ(fs::path(saved).filename(), "t-1.bin");
}

TEST(FileChanges, SessionsWithoutAFileAndNullSessions) {
  EXPECT_EQ(vanto_session_get_backing_file_changes(nullptr), -1);
  SessionPtr empty = open_session("");
  ASSERT_GT(vanto_edit_insert(empty.get(), 0, "data", 4), 0);
  EXPECT_EQ(vanto_session_get_backing_file_changes(empty.get()), FILE_CHANGE_NONE);
  ScratchDir dir;
  EXPECT_EQ(vanto_edit_save(empty.get(), dir.file("out.bin").c_str(), SAVE_FLAG_REFUSE_IF_CHANGED, nullptr),
            SAVE_OK);
  EXPECT_EQ(read_file(dir.file("out.bin")), "data");
}

}  // namespace
