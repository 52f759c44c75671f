// Saving: new files, free names, replacing files (including the session's own
// file, which re-bases the session), directories, links, permissions, write
// failures and offsets beyond 4 GiB.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "persist_test_util.h"
#include "test_support.h"
#include "vanto_edit.h"

namespace fs = std::filesystem;
using vanto::test::EventLog;
using vanto::test::LoggedEvent;
using vanto::test::LogCapture;
using vanto::test::open_session;
using vanto::test::read_file;
using vanto::test::ScratchDir;
using vanto::test::session_data;
using vanto::test::session_event;
using vanto::test::SessionPtr;
using vanto::test::temp_files;
using vanto::test::write_file;

namespace {

const std::string kOriginal = "0123456789abcdefghijklmnopqrstuvwxyz";

// Three edits on kOriginal and the data they give.
void edit_three_times(vanto_session_t *session) {
  ASSERT_GT(vanto_edit_delete(session, 2, 3), 0);          // 0156789abc...
  ASSERT_GT(vanto_edit_insert(session, 0, "<<", 2), 0);    // <<0156789abc...
  ASSERT_GT(vanto_edit_overwrite(session, 6, "XY", 2), 0); // <<0156XYabc... (7,8 -> X,Y)
}
const std::string kEdited = "<<0156XY9abcdefghijklmnopqrstuvwxyz";

mode_t mode_of(const std::string &path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

std::string canonical(const std::string &path) { return fs::canonical(path).string(); }

mode_t current_umask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

// Sets the process's umask for the life of the object.
class UmaskScope {
 public:
  explicit UmaskScope(mode_t mask) : saved_(::umask(mask)) {}
  ~UmaskScope() { ::umask(saved_); }

 private:
  mode_t saved_;
};

// Changes the working directory for the life of the object.
class ChangeDir {
 public:
  explicit ChangeDir(const fs::path &to) : saved_(fs::current_path()) { fs::current_path(to); }
  ~ChangeDir() { fs::current_path(saved_); }

 private:
  fs::path saved_;
};

// A path of exactly `length` characters below `base`, made of components
// short enough for any file system.
std::string path_of_length(const std::string &base, std::size_t length) {
  std::string path = base;
  while (path.size() < length) {
    std::size_t remaining = length - path.size();
    std::size_t chunk = std::min<std::size_t>(200, remaining - 1);
    if (remaining - (chunk + 1) == 1) --chunk;  // never leave room for a bare '/'
    path.append("/").append(chunk, 'd');
  }
  return path;
}

}  // namespace

TEST(Save, WritesEditedDataToANewFile) {
  ScratchDir dir;
  write_file(dir.file("in.bin"), kOriginal);

  struct Case {
    const char *name;
    std::string source;                        // "" for a session on nothing
    void (*edit)(vanto_session_t *);
    std::string expected;
  };
  const Case cases[] = {
      {"edited file", dir.file("in.bin"), edit_three_times, kEdited},
      {"inserts only", "",
       [](vanto_session_t *s) {
         ASSERT_GT(vanto_edit_insert(s, 0, "world", 5), 0);
         ASSERT_GT(vanto_edit_insert(s, 0, "hello ", 6), 0);
       },
       "hello world"},
      {"no data", "", [](vanto_session_t *) {}, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EventLog log;
    SessionPtr session = open_session(c.source, &log);
    ASSERT_NE(session, nullptr);
    c.edit(session.get());
    const int64_t changes = vanto_session_get_num_changes(session.get());
    log.take();

    const std::string target = dir.file(std::string("out-") + c.name + ".bin");
    char saved[VANTO_PATH_BUFFER_SIZE] = "junk";
    ASSERT_EQ(vanto_edit_save(session.get(), target.c_str(), SAVE_FLAG_NONE, saved), 0);

    EXPECT_EQ(read_file(target), c.expected);
    EXPECT_EQ(std::string(saved), canonical(target));
    EXPECT_EQ(log.take(), std::vector<LoggedEvent>{session_event(session.get(), SESSION_EVENT_SAVE, saved)});
    EXPECT_EQ(mode_of(target), 0666u & ~current_umask());
    EXPECT_TRUE(temp_files(dir.path()).empty());
    // A save that does not re-base leaves the session as it was.
    EXPECT_EQ(vanto_session_get_num_changes(session.get()), changes);
    EXPECT_EQ(session_data(session.get()), c.expected);
    EXPECT_EQ(read_file(dir.file("in.bin")), kOriginal);
  }
}

TEST(Save, FreeNameModeLeavesAnExistingFileAlone) {
  ScratchDir dir;
  write_file(dir.file("own.txt"), kOriginal);
  write_file(dir.file("report.txt"), "keep me");
  EventLog log;
  SessionPtr session = open_session(dir.file("own.txt"), &log);
  edit_three_times(session.get());
  log.take();

  char saved[VANTO_PATH_BUFFER_SIZE];
  ASSERT_EQ(vanto_edit_save(session.get(), dir.file("report.txt").c_str(), SAVE_FLAG_NONE, saved), 0);
  EXPECT_EQ(read_file(dir.file("report.txt")), "keep me");
  EXPECT_EQ(read_file(dir.file("report-1.txt")), kEdited);
  EXPECT_EQ(std::string(saved), canonical(dir.file("report-1.txt")));
  EXPECT_EQ(log.take(), std::vector<LoggedEvent>{session_event(session.get(), SESSION_EVENT_SAVE, saved)});

  // The session's own file with flags 0: a free name, no re-base.
  ASSERT_EQ(vanto_edit_save(session.get(), dir.file("own.txt").c_str(), SAVE_FLAG_NONE, nullptr), 0);
  EXPECT_EQ(read_file(dir.file("own.txt")), kOriginal);
  EXPECT_EQ(read_file(dir.file("own-1.txt")), kEdited);
  EXPECT_EQ(vanto_session_get_num_changes(session.get()), 3);
  EXPECT_EQ(std::string(vanto_session_get_file_path(session.get())), dir.file("own.txt"));
  EXPECT_EQ(log.take(), std::vector<LoggedEvent>{session_event(session.get(), SESSION_EVENT_SAVE)});
  EXPECT_TRUE(temp_files(dir.path()).empty());
}

TEST(Save, OverwriteReplacesTheTargetAndKeepsItsPermissions) {
  ScratchDir dir;
  write_file(dir.file("in.bin"), kOriginal);
  SessionPtr session = open_session(dir.file("in.bin"));
  edit_three_times(session.get());

  // Any bit besides SAVE_FLAG_REFUSE_IF_CHANGED means "replace" (the file
  // has not changed, so the refusal bit lets the save through).
  for (const int32_t flags : {1, 3, 4, -1}) {
    SCOPED_TRACE(flags);
    const std::string target = dir.file("target.bin");
    write_file(target, "old contents, longer than the new data will be ............");
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    ASSERT_EQ(vanto_edit_save(session.get(), target.c_str(), flags, nullptr), 0);
    EXPECT_EQ(read_file(target), kEdited);
    EXPECT_EQ(mode_of(target), 0640u);
    EXPECT_FALSE(fs::exists(dir.file("target-1.bin")));
    EXPECT_TRUE(temp_files(dir.path()).empty());
  }
  EXPECT_EQ(vanto_session_get_num_changes(session.get()), 3);
}

// A new file gets 0666 less the umask in both modes (also under a free name
// beside an existing file, whatever that file's mode); a replaced file keeps
// its own mode whatever the umask.
TEST(Save, NewFilesGetTheCreationModeAndReplacedFilesKeepTheirs) {
  struct Case {
    const char *name;
    int32_t flags;
    bool existing;  // a file of mode 0604 is at the target first
    mode_t mask;
    const char *saved_as;
    mode_t expected;
  };
  const Case cases[] = {
      {"new, overwrite mode", SAVE_FLAG_OVERWRITE, false, 022, "t.bin", 0644},
      {"new, free-name mode", SAVE_FLAG_NONE, false, 027, "t.bin", 0640},
      {"new, restrictive umask", SAVE_FLAG_OVERWRITE, false, 077, "t.bin", 0600},
      {"new, group-writable umask", SAVE_FLAG_NONE, false, 002, "t.bin", 0664},
      {"free name beside an existing file", SAVE_FLAG_NONE, true, 022, "t-1.bin", 0644},
      {"replaced", SAVE_FLAG_OVERWRITE, true, 077, "t.bin", 0604},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    write_file(dir.file("in.bin"), kOriginal);
    SessionPtr session = open_session(dir.file("in.bin"));
    ASSERT_EQ(::chmod(dir.file("in.bin").c_str(), 0640), 0);
    edit_three_times(session.get());
    if (c.existing) {
      write_file(dir.file("t.bin"), "old");
      ASSERT_EQ(::chmod(dir.file("t.bin").c_str(), 0604), 0);
    }
    {
      UmaskScope mask(c.mask);
      ASSERT_EQ(vanto_edit_save(session.get(), dir.file("t.bin").c_str(), c.flags, nullptr), 0);
    }
    EXPECT_EQ(read_file(dir.file(c.saved_as)), kEdited);
    EXPECT_EQ(mode_of(dir.file(c.saved_as)), c.expected);
  }
}

// The saved file's canonical name is longer than the 259 characters the
// buffer holds: the save succeeds and reports an empty name, never the first
// 259 characters (which here name another file).
TEST(Save, ASavedNameThatDoesNotFitIsReportedEmpty) {
  ScratchDir dir;
  write_file(dir.file("in.bin"), kOriginal);
  EventLog log;
  SessionPtr session = open_session(dir.file("in.bin"), &log);
  edit_three_times(session.get());
  log.take();
  const std::string base = canonical(dir.path().string());
  const std::string parent = path_of_length(base, 200);
  fs::create_directories(parent);
  const std::string victim = parent + "/" + std::string(258 - parent.size(), 'v');
  ASSERT_EQ(victim.size(), 259u);
  write_file(victim, "not yours");
  const std::string target = victim + ".bin";
  for (const int32_t flags : {SAVE_FLAG_OVERWRITE, SAVE_FLAG_NONE}) {
    SCOPED_TRACE(flags);
    fs::remove(target);
    char saved[VANTO_PATH_BUFFER_SIZE] = "junk";
    LogCapture clog;
    ASSERT_EQ(vanto_edit_save(session.get(), target.c_str(), flags, saved), 0);
    EXPECT_STREQ(saved, "");
    EXPECT_NE(clog.text().find("does not fit"), std::string::npos) << clog.text();
    EXPECT_EQ(read_file(target), kEdited);
    EXPECT_EQ(read_file(victim), "not yours");
    EXPECT_EQ(log.take(), std::vector<LoggedEvent>{session_event(session.get(), SESSION_EVENT_SAVE, saved)});
  }
  // The path utility never shortens a name either.
  char normalized[VANTO_PATH_BUFFER_SIZE] = "junk";
  EXPECT_EQ(vanto_util_normalize_path(target.c_str(), normalized), nullptr);
  EXPECT_STREQ(normalized, "");
}

TEST(Save, OntoTheOwnFileRebasesTheSession) {
  for (const bool host_paused : {false, true}) {
    SCOPED_TRACE(host_paused);
    ScratchDir dir;
    const std::string own = dir.file("own.bin");
    write_file(own, kOriginal);
    ASSERT_EQ(::chmod(own.c_str(), 0604), 0);
    EventLog log;
    SessionPtr session = open_session(own, &log);
    vanto_viewport_t *head = vanto_edit_create_viewport(session.get(), 0, 8, 0, EventLog::on_viewport,
                                                        &log, VIEWPORT_EVENT_ALL);
    vanto_viewport_t *tail = vanto_edit_create_viewport(session.get(), 30, 16, 0, EventLog::on_viewport,
                                                        &log, VIEWPORT_EVENT_ALL);
    edit_three_times(session.get());
    ASSERT_EQ(vanto_edit_insert(session.get(), 35, "!", 1), 4);
    ASSERT_EQ(vanto_edit_undo_last_change(session.get()), -4);  // 3 changes, 1 undone
    ASSERT_NE(vanto_viewport_get_data(head), nullptr);
    ASSERT_NE(vanto_viewport_get_data(tail), nullptr);
    if (host_paused) vanto_session_pause_viewport_event_callbacks(session.get());
    log.take();

    char saved[VANTO_PATH_BUFFER_SIZE];
    ASSERT_EQ(vanto_edit_save(session.get(), own.c_str(), SAVE_FLAG_OVERWRITE, saved), 0);

    const std::vector<LoggedEvent> expected = {session_event(session.get(), SESSION_EVENT_CLEAR),
                                               session_event(session.get(), SESSION_EVENT_SAVE, saved)};
    EXPECT_EQ(log.take(), expected);
    EXPECT_EQ(vanto_session_viewport_event_callbacks_paused(session.get()), host_paused ? 1 : 0);
    EXPECT_EQ(read_file(own), kEdited);
    EXPECT_EQ(mode_of(own), 0604u);
    EXPECT_EQ(std::string(saved), canonical(own));
    EXPECT_EQ(std::string(vanto_session_get_file_path(session.get())), own);
    EXPECT_EQ(vanto_session_get_num_changes(session.get()), 0);
    EXPECT_EQ(vanto_session_get_num_undone_changes(session.get()), 0);
    EXPECT_EQ(vanto_edit_undo_last_change(session.get()), 0);
    EXPECT_TRUE(temp_files(dir.path()).empty());

    // The viewports were marked silently and now show the saved file.
    EXPECT_EQ(vanto_viewport_has_changes(head), 1);
    EXPECT_EQ(vanto_viewport_has_changes(tail), 1);
    EXPECT_EQ(vanto_viewport_get_string(head), kEdited.substr(0, 8));
    EXPECT_EQ(vanto_viewport_get_string(tail), kEdited.substr(30, 16));
    EXPECT_EQ(session_data(session.get()), kEdited);

    // The session goes on from the saved file.
    ASSERT_EQ(vanto_edit_delete(session.get(), 0, 2), 1);
    ASSERT_EQ(vanto_edit_save(session.get(), own.c_str(), SAVE_FLAG_OVERWRITE, nullptr), 0);
    EXPECT_EQ(read_file(own), kEdited.substr(2));
    EXPECT_EQ(session_data(session.get()), kEdited.substr(2));
  }
}

TEST(Save, CreatesAMissingNestedDirectory) {
  ScratchDir dir;
  SessionPtr session = open_session("");
  ASSERT_GT(vanto_edit_insert(session.get(), 0, "nested", 6), 0);
  const std::string target = dir.file("a/b/c/out.bin");
  char saved[VANTO_PATH_BUFFER_SIZE];
  ASSERT_EQ(vanto_edit_save(session.get(), target.c_str(), SAVE_FLAG_NONE, saved), 0);
  EXPECT_EQ(read_file(target), "nested");
  EXPECT_EQ(std::string(saved), canonical(target));
  EXPECT_TRUE(temp_files(dir.file("a/b/c")).empty());
}

TEST(Save, ABareFileNameSavesInTheCurrentDirectory) {
  ScratchDir dir;
  SessionPtr session = open_session("");
  ASSERT_GT(vanto_edit_insert(session.get(), 0, "bare", 4), 0);
  char saved[VANTO_PATH_BUFFER_SIZE];
  {
    ChangeDir cd(dir.path());
    ASSERT_EQ(vanto_edit_save(session.get(), "bare.bin", SAVE_FLAG_NONE, saved), 0);
  }
  EXPECT_EQ(read_file(dir.file("bare.bin")), "bare");
  EXPECT_EQ(std::string(saved), canonical(dir.file("bare.bin")));
  EXPECT_TRUE(fs::path(saved).is_absolute());
  EXPECT_TRUE(temp_files(dir.path()).empty());
}

TEST(Save, TheTemporaryNameMustFitThePathBuffer) {
  ScratchDir dir;
  SessionPtr session = open_session("");
  ASSERT_GT(vanto_edit_insert(session.get(), 0, "fits", 4), 0);
  const std::string base = canonical(dir.path().string());

  // The temporary name adds 18 characters: the separator and ".VantoEdit_XXXXXX".
  const std::string fits = path_of_length(base, 241);
  ASSERT_EQ(fits.size(), 241u);
  ASSERT_EQ(vanto_edit_save(session.get(), (fits + "/out.bin").c_str(), SAVE_FLAG_NONE, nullptr), 0);
  EXPECT_EQ(read_file(fits + "/out.bin"), "fits");

  const std::string too_long = path_of_length(base + "/x", 242);
  ASSERT_EQ(too_long.size(), 242u);
  char saved[VANTO_PATH_BUFFER_SIZE] = "junk";
  LogCapture clog;
  EXPECT_EQ(vanto_edit_save(session.get(), (too_long + "/out.bin").c_str(), SAVE_FLAG_NONE, saved), -2);
  EXPECT_NE(clog.text().find("snprintf failed"), std::string::npos);
  EXPECT_STREQ(saved, "");
  // Nothing new on disk: not even the directory.
  EXPECT_FALSE(fs::exists(base + "/x"));
}

TEST(Save, ATargetThatIsADirectoryFailsWithoutLosingAnything) {
  for (const int32_t flags : {SAVE_FLAG_NONE, SAVE_FLAG_OVERWRITE}) {
    SCOPED_TRACE(flags);
    ScratchDir dir;
    write_file(dir.file("own.bin"), kOriginal);
    fs::create_directory(dir.file("taken"));
    write_file(dir.file("taken/inside.txt"), "inside");
    EventLog log;
    SessionPtr session = open_session(dir.file("own.bin"), &log);
    edit_three_times(session.get());
    log.take();

    LogCapture clog;
    char saved[VANTO_PATH_BUFFER_SIZE] = "junk";
    EXPECT_EQ(vanto_edit_save(session.get(), dir.file("taken").c_str(), flags, saved), -9);
    EXPECT_STREQ(saved, "");
    EXPECT_TRUE(log.take().empty());
    EXPECT_TRUE(fs::is_directory(dir.file("taken")));
    EXPECT_EQ(read_file(dir.file("taken/inside.txt")), "inside");
    EXPECT_EQ(vanto_session_get_num_changes(session.get()), 3);
    EXPECT_EQ(session_data(session.get()), kEdited);

    // The complete temporary file stays and the log names it.
    const auto temps = temp_files(dir.path());
    ASSERT_EQ(temps.size(), 1u);
    EXPECT_EQ(read_file(temps[0]), kEdited);
    EXPECT_NE(clog.text().find("rename failed"), std::string::npos);
    EXPECT_NE(clog.text().find(temps[0]), std::string::npos);
  }
}

TEST(Save, ASymbolicLinkTargetStaysALink) {
  ScratchDir dir;
  fs::create_directory(dir.file("links"));
  fs::create_directory(dir.file("data"));
  const std::string real = dir.file("data/real.bin");
  const std::string link = dir.file("links/link.bin");
  write_file(real, kOriginal);
  ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
  fs::create_symlink("../data/real.bin", link);

  // Another session's data saved through the link.
  {
    SessionPtr other = open_session("");
    ASSERT_GT(vanto_edit_insert(other.get(), 0, "through the link", 0), 0);
    char saved[VANTO_PATH_BUFFER_SIZE];
    ASSERT_EQ(vanto_edit_save(other.get(), link.c_str(), SAVE_FLAG_OVERWRITE, saved), 0);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link), fs::path("../data/real.bin"));
    EXPECT_EQ(read_file(real), "through the link");
    EXPECT_EQ(mode_of(real), 0640u);
    EXPECT_EQ(std::string(saved), canonical(real));
  }

  // A session opened through the link saves onto its own file: re-based.
  write_file(real, kOriginal);
  SessionPtr session = open_session(link);
  edit_three_times(session.get());
  ASSERT_EQ(vanto_edit_save(session.get(), link.c_str(), SAVE_FLAG_OVERWRITE, nullptr), 0);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(read_file(real), kEdited);
  EXPECT_EQ(vanto_session_get_num_changes(session.get()), 0);
  EXPECT_EQ(session_data(session.get()), kEdited);
  EXPECT_TRUE(temp_files(dir.file("links")).empty());
  EXPECT_TRUE(temp_files(dir.file("data")).empty());
}

// A file-size limit makes the write of the temporary file fail part-way.  It
// runs in a child process so that the limit does not reach the test runner.
// The smaller size fits the save's stream buffer, so the failure surfaces when
// the file is flushed; the larger one fails while ranges are being copied.
TEST(Save, AWriteFailureLeavesTheTargetAsItWas) {
  for (const std::size_t size : {std::size_t{256} << 10, std::size_t{3} << 20}) {
    SCOPED_TRACE(size);
    ScratchDir dir;
    const std::string own = dir.file("own.bin");
    const std::string other = dir.file("other.bin");
    const std::string own_bytes = vanto::test::random_bytes(size, 7);
    write_file(own, own_bytes);
    write_file(other, "the other file");

    struct Result {
      int own_rc;
      int other_rc;
      int new_rc;
      int64_t changes;
      int data_intact;
    };
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(fds[0]);
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{64 * 1024, 64 * 1024};
      ::setrlimit(RLIMIT_FSIZE, &limit);
      Result r{};
      vanto_session_t *session = vanto_edit_create_session(own.c_str(), nullptr, nullptr, 0);
      if (session != nullptr) {
        vanto_edit_insert(session, 1000, "inserted", 8);
        r.own_rc = vanto_edit_save(session, own.c_str(), SAVE_FLAG_OVERWRITE, nullptr);
        r.other_rc = vanto_edit_save(session, other.c_str(), SAVE_FLAG_OVERWRITE, nullptr);
        r.new_rc = vanto_edit_save(session, dir.file("new.bin").c_str(), SAVE_FLAG_NONE, nullptr);
        r.changes = vanto_session_get_num_changes(session);
        const std::string expected = own_bytes.substr(0, 1000) + "inserted" + own_bytes.substr(1000);
        r.data_intact = session_data(session) == expected ? 1 : 0;
        vanto_edit_destroy_session(session);
      }
      const ssize_t written = ::write(fds[1], &r, sizeof r);
      ::_exit(written == static_cast<ssize_t>(sizeof r) ? 0 : 1);
    }
    ::close(fds[1]);
    Result r{};
    const ssize_t got = ::read(fds[0], &r, sizeof r);
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof r));

    EXPECT_LT(r.own_rc, 0);
    EXPECT_LT(r.other_rc, 0);
    EXPECT_LT(r.new_rc, 0);
    EXPECT_EQ(r.changes, 1);
    EXPECT_EQ(r.data_intact, 1);
    EXPECT_TRUE(read_file(own) == own_bytes);
    EXPECT_EQ(read_file(other), "the other file");
    EXPECT_FALSE(fs::exists(dir.file("new.bin")));
    EXPECT_TRUE(temp_files(dir.path()).empty());
  }
}

// Positions beyond 4 GiB: a sparse 5 GiB file whose first 5 GiB - 4 MiB are
// deleted, so only its last 4 MiB (and a few inserted bytes) are written.
TEST(Save, CopiesRangesBeyondFourGiB) {
  ScratchDir dir;
  const std::string big = dir.file("big.bin");
  constexpr int64_t kSize = int64_t{5} << 30;
  constexpr int64_t kTail = int64_t{4} << 20;
  const std::string tail = vanto::test::random_bytes(kTail, 11);
  {
    const int fd = ::open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, kSize), 0);
    ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), kSize - kTail), static_cast<ssize_t>(kTail));
    ::close(fd);
  }
  SessionPtr session = open_session(big);
  ASSERT_NE(session, nullptr);
  ASSERT_EQ(vanto_session_get_computed_file_size(session.get()), kSize);
  ASSERT_GT(vanto_edit_delete(session.get(), 0, kSize - kTail), 0);
  ASSERT_GT(vanto_edit_insert(session.get(), 1000, "abc", 3), 0);
  ASSERT_GT(vanto_edit_insert(session.get(), kTail + 3, "xyz", 3), 0);
  ASSERT_GT(vanto_edit_delete(session.get(), 2000, 5), 0);

  std::string expected = tail.substr(0, 1000) + "abc" + tail.substr(1000) + "xyz";
  expected.erase(2000, 5);
  const std::string target = dir.file("tail.bin");
  ASSERT_EQ(vanto_edit_save(session.get(), target.c_str(), SAVE_FLAG_NONE, nullptr), 0);
  EXPECT_EQ(fs::file_size(target), expected.size());
  EXPECT_TRUE(read_file(target) == expected);
}

// The path utilities raise file-system errors; a save returns them as codes.
TEST(Save, FileSystemErrorsComeBackAsFailureCodes) {
  ScratchDir dir;
  write_file(dir.file("plain.txt"), "a file where a directory would have to be");
  SessionPtr session = open_session("");
  ASSERT_GT(vanto_edit_insert(session.get(), 0, "data", 4), 0);
  const std::string under_a_file = dir.file("plain.txt/sub/out.bin");
  const std::string name_too_long = dir.file(std::string(300, 'n'));
  const struct {
    std::string target;
    int32_t flags;
  } cases[] = {{under_a_file, SAVE_FLAG_NONE}, {under_a_file, SAVE_FLAG_OVERWRITE},
               {name_too_long, SAVE_FLAG_NONE}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.target.substr(0, 60) << " flags " << c.flags);
    int rc = 0;
    char saved[VANTO_PATH_BUFFER_SIZE] = "junk";
    EXPECT_NO_THROW(rc = vanto_edit_save(session.get(), c.target.c_str(), c.flags, saved));
    EXPECT_EQ(rc, -1);
    EXPECT_STREQ(saved, "");
  }
  EXPECT_EQ(read_file(dir.file("plain.txt")), "a file where a directory would have to be");
  EXPECT_TRUE(temp_files(dir.path()).empty());
  EXPECT_EQ(session_data(session.get()), "data");
}

TEST(Save, RefusesNullAndEmptyArguments) {
  ScratchDir dir;
  SessionPtr session = open_session("");
  char saved[VANTO_PATH_BUFFER_SIZE] = "junk";
  EXPECT_EQ(vanto_edit_save(nullptr, dir.file("x").c_str(), SAVE_FLAG_NONE, saved), -1);
  EXPECT_STREQ(saved, "");
  EXPECT_EQ(vanto_edit_save(session.get(), nullptr, SAVE_FLAG_NONE, nullptr), -1);
  EXPECT_EQ(vanto_edit_save(session.get(), "", SAVE_FLAG_NONE, nullptr), -1);
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

// Two sessions saving at once into the same directory that does not exist
// yet: whichever creates it, both saves succeed (the one that finds it made
// by the other must not report a failure to create it).
TEST(SaveDirectoryRace, SavesIntoOneNewDirectoryFromTwoThreadsBothSucceed) {
  ScratchDir dir;
  for (int round = 0; round < 40; ++round) {
    const std::string target_dir = dir.file("round" + std::to_string(round) + "/a/b");
    int results[2] = {1, 1};
    std::thread workers[2];
    for (int t = 0; t < 2; ++t) {
      workers[t] = std::thread([&, t] {
        vanto_session_t *s = vanto_edit_create_session(nullptr, nullptr, nullptr, 0);
        vanto_edit_insert(s, 0, "data", 4);
        results[t] = vanto_edit_save(s, (target_dir + "/out" + std::to_string(t)).c_str(),
                                     SAVE_FLAG_OVERWRITE, nullptr);
        vanto_edit_destroy_session(s);
      });
    }
    for (auto &w : workers) w.join();
    ASSERT_EQ(results[0], 0) << "round " << round;
    ASSERT_EQ(results[1], 0) << "round " << round;
    EXPECT_EQ(read_file(target_dir + "/out0"), "data");
    EXPECT_EQ(read_file(target_dir + "/out1"), "data");
  }
}
