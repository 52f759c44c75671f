// Files that change under an open session, and save targets that are not
// plain files.
//
// Backing file truncated, appended to or replaced while a session is open:
// reads, profiles, checkpoints, transforms and saves return their failure
// codes (a search finds nothing where its data cannot be read), nothing
// crashes, and no partial target is ever written.  Appended bytes stay out of
// the data until an undo or a clear measures the file again.
//
// Targets: a symbolic link, a hard link, a directory, a FIFO, a read-only
// directory (as an unprivileged user), names that are too long, and
// symbolic links planted at the names of the library's temporary and scratch
// files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <grp.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"
#include "vanto_edit.h"

namespace {

namespace fs = std::filesystem;
using vanto::test::LogCapture;
using vanto::test::random_bytes;
using vanto::test::read_file;
using vanto::test::ScratchDir;
using vanto::test::write_file;

struct SessionCloser {
  void operator()(vanto_session_t *s) const { vanto_edit_destroy_session(s); }
};
using SessionPtr = std::unique_ptr<vanto_session_t, SessionCloser>;

std::string data_of(const vanto_session_t *s) {
  return vanto_session_get_segment_string(s, 0, vanto_session_get_computed_file_size(s));
}

// Entries of a directory whose names start with the library's prefixes.
std::vector<std::string> library_files(const fs::path &dir) {
  std::vector<std::string> out;
  for (const auto &entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(".VantoEdit", 0) == 0) out.push_back(name);
  }
  return out;
}

unsigned char invert(unsigned char b, void *) { return static_cast<unsigned char>(~b); }

// ---- a backing file that changes under the session --------------------------

class ChangingBackingFile : public ::testing::Test {
 protected:
  static constexpr int64_t kSize = 40000;

  void SetUp() override {
    base_ = random_bytes(kSize, 7);
    // A needle that exists only near the end of the file.
    base_.replace(kSize - 100, 8, "NEEDLE!!");
    write_file(path_, base_);
    session_.reset(vanto_edit_create_session(path_.c_str(), nullptr, nullptr, 0));
    ASSERT_NE(session_, nullptr);
    ASSERT_GT(vanto_edit_insert(s(), 0, "head", 4), 0);
    expected_ = "head" + base_;
  }

  vanto_session_t *s() { return session_.get(); }

  // Saving must fail without writing any target or leaving any file behind.
  void expect_saves_fail() {
    const std::string existing = dir_.file("existing.bin");
    write_file(existing, "old contents");
    const std::string fresh = dir_.file("fresh.bin");
    EXPECT_EQ(vanto_edit_save(s(), existing.c_str(), SAVE_FLAG_OVERWRITE, nullptr), -5);
    EXPECT_EQ(vanto_edit_save(s(), existing.c_str(), SAVE_FLAG_NONE, nullptr), -5);
    EXPECT_EQ(vanto_edit_save(s(), fresh.c_str(), SAVE_FLAG_NONE, nullptr), -5);
    const std::string own_before = read_file(path_);
    EXPECT_EQ(vanto_edit_save(s(), path_.c_str(), SAVE_FLAG_OVERWRITE, nullptr), -5);
    EXPECT_EQ(read_file(existing), "old contents");
    EXPECT_EQ(read_file(path_), own_before);
    EXPECT_FALSE(fs::exists(fresh));
    EXPECT_FALSE(fs::exists(dir_.file("existing-1.bin")));
    EXPECT_TRUE(library_files(dir_.path()).empty());
    // A checkpoint is a save: it fails too, and a transform with it.
    EXPECT_EQ(vanto_edit_create_checkpoint(s(), dir_.path().c_str()), -1);
    EXPECT_EQ(vanto_edit_apply_transform(s(), invert, nullptr, 0, 0, dir_.path().c_str()), -1);
    EXPECT_EQ(vanto_session_get_num_checkpoints(s()), 0);
    EXPECT_TRUE(library_files(dir_.path()).empty());
  }

  ScratchDir dir_;
  std::string path_ = dir_.file("base.bin");
  std::string base_, expected_;
  SessionPtr session_;
};

TEST_F(ChangingBackingFile, TruncatedFileFailsEveryReadOfTheMissingBytes) {
  ASSERT_EQ(::truncate(path_.c_str(), 1000), 0);
  const int64_t size = vanto_session_get_computed_file_size(s());
  EXPECT_EQ(size, kSize + 4);  // not measured again yet

  // What is still in the file reads; what is gone does not.
  EXPECT_EQ(vanto_session_get_segment_string(s(), 0, 500), expected_.substr(0, 500));
  vanto_segment_t *segment = vanto_segment_create(64);
  EXPECT_EQ(vanto_session_get_segment(s(), segment, 5000), -1);
  EXPECT_EQ(vanto_session_get_segment(s(), segment, 990), -1);  // runs into the missing part
  vanto_segment_destroy(segment);
  vanto_viewport_t *viewport = vanto_edit_create_viewport(s(), 20000, 100, 0, nullptr, nullptr, 0);
  EXPECT_EQ(vanto_viewport_get_data(viewport), nullptr);
  EXPECT_EQ(vanto_viewport_get_data(viewport), nullptr);

  std::array<int64_t, 256> counts{};
  EXPECT_EQ(vanto_session_profile(s(), counts.data(), 0, 0), 1);
  EXPECT_EQ(vanto_session_profile(s(), counts.data(), 0, 500), 0);

  // The needle lies in the missing part: no match, and no error.
  vanto_search_context_t *search = vanto_search_create_context(s(), "NEEDLE!!", 8, 0, 0, 0);
  ASSERT_NE(search, nullptr);
  EXPECT_EQ(vanto_search_next_match(search, 1), 0);
  EXPECT_EQ(vanto_search_context_get_offset(search), size);

  expect_saves_fail();

  // Undo measures the file again; the insert at 0 still applies.
  EXPECT_EQ(vanto_edit_undo_last_change(s()), -1);
  EXPECT_EQ(vanto_session_get_num_undone_changes(s()), 1);
  EXPECT_EQ(data_of(s()), base_.substr(0, 1000));
  EXPECT_EQ(vanto_edit_clear_changes(s()), 0);
  EXPECT_EQ(vanto_session_get_computed_file_size(s()), 1000);
  EXPECT_EQ(vanto_check_model(s()), 0);
}

TEST_F(ChangingBackingFile, AppendedBytesStayOutUntilTheFileIsMeasuredAgain) {
  {
    std::ofstream out(path_, std::ios::binary | std::ios::app);
    out << "appended tail";
  }
  EXPECT_EQ(vanto_session_get_computed_file_size(s()), kSize + 4);
  EXPECT_EQ(data_of(s()), expected_);
  std::array<int64_t, 256> counts{};
  EXPECT_EQ(vanto_session_profile(s(), counts.data(), 0, 0), 0);
  int64_t total = 0;
  for (int64_t c : counts) total += c;
  EXPECT_EQ(total, kSize + 4);

  const std::string out = dir_.file("out.bin");
  ASSERT_EQ(vanto_edit_save(s(), out.c_str(), SAVE_FLAG_OVERWRITE, nullptr), 0);
  EXPECT_EQ(read_file(out), expected_);

  // A new change does not measure the file; undo does.
  ASSERT_GT(vanto_edit_insert(s(), 1, "x", 1), 0);
  EXPECT_EQ(vanto_session_get_computed_file_size(s()), kSize + 5);
  EXPECT_LT(vanto_edit_undo_last_change(s()), 0);
  EXPECT_EQ(data_of(s()), "head" + base_ + "appended tail");
  EXPECT_EQ(vanto_edit_clear_changes(s()), 0);
  EXPECT_EQ(data_of(s()), base_ + "appended tail");
}

TEST_F(ChangingBackingFile, ReplacedFileKeepsTheSessionOnTheFileItOpened) {
  // Another file renamed onto the name: the session still reads the file it
  // opened, and saving elsewhere writes the session's data.
  const std::string other = dir_.file("other.bin");
  write_file(other, "a different file");
  ASSERT_EQ(std::rename(other.c_str(), path_.c_str()), 0);
  EXPECT_EQ(data_of(s()), expected_);
  const std::string out = dir_.file("out.bin");
  ASSERT_EQ(vanto_edit_save(s(), out.c_str(), SAVE_FLAG_OVERWRITE, nullptr), 0);
  EXPECT_EQ(read_file(out), expected_);
  EXPECT_EQ(vanto_edit_clear_changes(s()), 0);
  EXPECT_EQ(data_of(s()), base_);
  // Saving over the name replaces the new file there with the session's data.
  ASSERT_EQ(vanto_edit_save(s(), path_.c_str(), SAVE_FLAG_OVERWRITE, nullptr), 0);
  EXPECT_EQ(read_file(path_), base_);
  EXPECT_EQ(data_of(s()), base_);
}

TEST_F(ChangingBackingFile, FileEmptiedUnderACheckpointKeepsTheCheckpointReadable) {
  // The checkpoint file holds the data; the emptied own file no longer matters
  // until the checkpoint goes.
  ASSERT_EQ(vanto_edit_create_checkpoint(s(), dir_.path().c_str()), 0);
  ASSERT_EQ(::truncate(path_.c_str(), 0), 0);
  EXPECT_EQ(data_of(s()), expected_);
  const std::string out = dir_.file("out.bin");
  ASSERT_EQ(vanto_edit_save(s(), out.c_str(), SAVE_FLAG_OVERWRITE, nullptr), 0);
  EXPECT_EQ(read_file(out), expected_);
  ASSERT_EQ(vanto_edit_destroy_last_checkpoint(s()), 0);
  vanto_segment_t *segment = vanto_segment_create(16);
  EXPECT_EQ(vanto_session_get_segment(s(), segment, 100), -1);
  vanto_segment_destroy(segment);
  EXPECT_EQ(vanto_session_get_num_checkpoints(s()), 0);
  EXPECT_EQ(vanto_check_model(s()), 0);
}

// ---- unusual save targets ------------------------------------------------------

class SaveTargets : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(base_, "base data");
    session_.reset(vanto_edit_create_session(base_.c_str(), nullptr, nullptr, 0));
    ASSERT_NE(session_, nullptr);
    ASSERT_GT(vanto_edit_insert(s(), 0, "new ", 4), 0);
  }
  vanto_session_t *s() { return session_.get(); }

  ScratchDir dir_;
  std::string base_ = dir_.file("base.bin");
  const std::string data_ = "new base data";
  SessionPtr session_;
};

TEST_F(SaveTargets, SymbolicLinkStaysALinkToTheReplacedFile) {
  const std::string real = dir_.file("real.bin");
  const std::string link = dir_.file("link.bin");
  write_file(real, "old");
  ASSERT_EQ(::symlink("real.bin", link.c_str()), 0);
  char saved[VANTO_PATH_BUFFER_SIZE];
  ASSERT_EQ(vanto_edit_save(s(), link.c_str(), SAVE_FLAG_OVERWRITE, saved), 0);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(read_file(real), data_);
  EXPECT_EQ(std::string(saved), fs::canonical(real).string());
  // Free-name mode leaves the link and its file alone and saves beside the link.
  write_file(real, "old");
  ASSERT_EQ(vanto_edit_save(s(), link.c_str(), SAVE_FLAG_NONE, saved), 0);
  EXPECT_EQ(read_file(real), "old");
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(read_file(dir_.file("link-1.bin")), data_);
}

TEST_F(SaveTargets, HardLinkedTargetIsReplacedAndTheOtherNameKeepsTheOldFile) {
  const std::string first = dir_.file("first.bin");
  const std::string second = dir_.file("second.bin");
  write_file(first, "shared old contents");
  ASSERT_EQ(::link(first.c_str(), second.c_str()), 0);
  ASSERT_EQ(vanto_edit_save(s(), second.c_str(), SAVE_FLAG_OVERWRITE, nullptr), 0);
  EXPECT_EQ(read_file(second), data_);
  EXPECT_EQ(read_file(first), "shared old contents");
  struct stat st {};
  ASSERT_EQ(::stat(first.c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 1u);
}

TEST_F(SaveTargets, DirectoryIsNeverReplacedAndTheCompleteTemporaryFileIsNamedInTheLog) {
  const std::string target = dir_.file("a_directory");
  fs::create_directory(target);
  write_file(target + "/inside", "x");
  for (int32_t flags : {SAVE_FLAG_OVERWRITE, SAVE_FLAG_NONE}) {
    SCOPED_TRACE(flags);
    LogCapture log;
    EXPECT_EQ(vanto_edit_save(s(), target.c_str(), flags, nullptr), -9);
    EXPECT_TRUE(fs::is_directory(target));
    EXPECT_EQ(read_file(target + "/inside"), "x");
    const std::vector<std::string> kept = library_files(dir_.path());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(read_file(dir_.file(kept[0])), data_);
    EXPECT_NE(log.text().find(kept[0]), std::string::npos) << log.text();
    fs::remove(dir_.file(kept[0]));
  }
}

// A target that is neither a regular file nor a directory (a device, a pipe,
// a socket, or a link to one) is refused with -12 in both modes: it is never
// opened, never replaced by a regular file, and nothing is left beside it.
TEST_F(SaveTargets, NonRegularTargetsAreRefusedAndLeftAsTheyAre) {
  struct Case {
    const char *name;
    std::string path;
    mode_t type;
  };
  std::vector<Case> cases;
  const std::string fifo = dir_.file("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  cases.push_back({"fifo", fifo, S_IFIFO});
  const std::string fifo_link = dir_.file("pipe-link");
  ASSERT_EQ(::symlink("pipe", fifo_link.c_str()), 0);
  cases.push_back({"link to a fifo", fifo_link, S_IFIFO});
  const std::string socket_path = dir_.file("sock");
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socket_path.size() < sizeof address.sun_path) {
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    cases.push_back({"socket", socket_path, S_IFSOCK});
  }
  // A copy of /dev/null, where this process may make device files.
  const std::string device = dir_.file("null");
  if (::mknod(device.c_str(), S_IFCHR | 0666, ::makedev(1, 3)) == 0) {
    cases.push_back({"character device", device, S_IFCHR});
  }
  for (const Case &c : cases) {
    for (int32_t flags : {SAVE_FLAG_OVERWRITE, SAVE_FLAG_NONE}) {
      SCOPED_TRACE(std::string(c.name) + (flags != 0 ? ", overwrite" : ", free name"));
      LogCapture log;
      char saved[VANTO_PATH_BUFFER_SIZE] = "junk";
      EXPECT_EQ(vanto_edit_save(s(), c.path.c_str(), flags, saved), -12);
      EXPECT_STREQ(saved, "");
      EXPECT_NE(log.text().find("not a regular file"), std::string::npos) << log.text();
      struct stat st {};
      ASSERT_EQ(::stat(c.path.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & S_IFMT, c.type);
      EXPECT_TRUE(library_files(dir_.path()).empty());
      EXPECT_EQ(vanto_session_get_num_changes(s()), 1);
    }
  }
  ::close(sock);
  // The session is still usable: a regular target saves.
  ASSERT_EQ(vanto_edit_save(s(), dir_.file("out.bin").c_str(), SAVE_FLAG_NONE, nullptr), 0);
  EXPECT_EQ(read_file(dir_.file("out.bin")), data_);
}

// Replacing a file keeps its owner, group and extended attributes where the
// process may set them; when it may not, the set-id bits go.  Root keeps
// everything; an unprivileged user (a child process that drops to "nobody")
// replacing another user's set-id file gets a file of its own without them.
TEST(SaveOwnership, OwnerGroupSetIdBitsAndExtendedAttributesOfAReplacedFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make files of other users";
  constexpr uid_t kOther = 12345;
  constexpr uid_t kNobody = 65534;
  struct Case {
    const char *name;
    bool as_nobody;
    uid_t owner;
    gid_t group;
    mode_t mode;
    uid_t expected_owner;
    gid_t expected_group;
    mode_t expected_mode;
  };
  const Case cases[] = {
      {"root keeps another user's setuid file as it was", false, kOther, kOther, 04755, kOther, kOther, 04755},
      {"root keeps a setgid directory-style mode", false, kOther, kOther, 02775, kOther, kOther, 02775},
      {"another user's setuid file", true, kOther, kOther, 04755, kNobody, kNobody, 0755},
      {"own file of a foreign group, setgid", true, kNobody, kOther, 02775, kNobody, kNobody, 0775},
      {"own file, own group", true, kNobody, kNobody, 04750, kNobody, kNobody, 04750},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    const std::string base = dir.file("base.bin");
    const std::string target = dir.file("target.bin");
    write_file(base, "base");
    write_file(target, "old");
    ASSERT_EQ(::chmod(base.c_str(), 0644), 0);
    ASSERT_EQ(::chown(target.c_str(), c.owner, c.group), 0);
    ASSERT_EQ(::chmod(target.c_str(), c.mode), 0);
    const bool xattrs = ::setxattr(target.c_str(), "user.note", "kept", 4, 0) == 0;

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (c.as_nobody && (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) _exit(2);
      vanto_session_t *s = vanto_edit_create_session(base.c_str(), nullptr, nullptr, 0);
      if (s == nullptr || vanto_edit_insert(s, 0, "new ", 4) <= 0) _exit(3);
      const int rc = vanto_edit_save(s, target.c_str(), SAVE_FLAG_OVERWRITE, nullptr);
      vanto_edit_destroy_session(s);
      _exit(rc == 0 ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_file(target), "new base");
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, c.expected_owner);
    EXPECT_EQ(st.st_gid, c.expected_group);
    EXPECT_EQ(st.st_mode & 07777, c.expected_mode);
    if (xattrs) {
      char value[16] = {};
      EXPECT_EQ(::getxattr(target.c_str(), "user.note", value, sizeof value), 4);
      EXPECT_STREQ(value, "kept");
    }
    EXPECT_TRUE(library_files(dir.path()).empty());
  }
}

TEST_F(SaveTargets, NoFreeNameLeftKeepsTheCompleteTemporaryFileNamedInTheLog) {
  // The name and all 999 free names beside it are taken.
  const std::string target = dir_.file("report.txt");
  write_file(target, "taken");
  for (int n = 1; n <= 999; ++n) write_file(dir_.file("report-" + std::to_string(n) + ".txt"), "taken");
  LogCapture log;
  EXPECT_EQ(vanto_edit_save(s(), target.c_str(), SAVE_FLAG_NONE, nullptr), -8);
  EXPECT_EQ(read_file(target), "taken");
  EXPECT_EQ(read_file(dir_.file("report-999.txt")), "taken");
  const std::vector<std::string> kept = library_files(dir_.path());
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(read_file(dir_.file(kept[0])), data_);
  EXPECT_NE(log.text().find(kept[0]), std::string::npos) << log.text();
  EXPECT_EQ(data_of(s()), data_);
}

TEST_F(SaveTargets, NamesThatAreTooLongFailAndLeaveNoTarget) {
  // A file name longer than the file system allows: the data is written
  // beside it, the rename fails, and only the complete temporary file
  // (named in the log) is kept.
  const std::string long_component = dir_.file(std::string(300, 'c') + ".bin");
  {
    LogCapture log;
    EXPECT_EQ(vanto_edit_save(s(), long_component.c_str(), SAVE_FLAG_OVERWRITE, nullptr), -9);
    const std::vector<std::string> kept = library_files(dir_.path());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(read_file(dir_.file(kept[0])), data_);
    EXPECT_NE(log.text().find(kept[0]), std::string::npos) << log.text();
    fs::remove(dir_.file(kept[0]));
  }
  // Free-name mode meets the error while testing the name: nothing is written.
  EXPECT_EQ(vanto_edit_save(s(), long_component.c_str(), SAVE_FLAG_NONE, nullptr), -1);
  // A directory too long for the temporary file's name: refused up front.
  std::string deep = dir_.path().string();
  while (deep.size() < 5000) deep += "/" + std::string(200, 'd');
  EXPECT_EQ(vanto_edit_save(s(), (deep + "/x.bin").c_str(), SAVE_FLAG_OVERWRITE, nullptr), -2);
  EXPECT_EQ(vanto_edit_create_checkpoint(s(), deep.c_str()), -1);
  std::vector<std::string> left;
  for (const auto &entry : fs::directory_iterator(dir_.path())) left.push_back(entry.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"base.bin"});
  EXPECT_EQ(data_of(s()), data_);
}

// Root ignores permission bits, so the read-only directory is tried by an
// unprivileged user in a child process.  The child reports the first check
// that failed as its exit status.
TEST_F(SaveTargets, ReadOnlyDirectoryFailsForAnUnprivilegedUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  const std::string ro = dir_.file("readonly");
  fs::create_directory(ro);
  write_file(ro + "/existing.bin", "existing");
  ::chmod(dir_.path().c_str(), 0755);
  ::chmod(base_.c_str(), 0644);
  ::chmod((ro + "/existing.bin").c_str(), 0666);
  ::chmod(ro.c_str(), 0555);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
    vanto_session_t *session = vanto_edit_create_session(base_.c_str(), nullptr, nullptr, 0);
    if (session == nullptr) ::_exit(1);
    if (vanto_edit_insert(session, 0, "x", 1) <= 0) ::_exit(2);
    if (vanto_edit_save(session, (ro + "/new.bin").c_str(), SAVE_FLAG_OVERWRITE, nullptr) != -3) ::_exit(3);
    if (vanto_edit_save(session, (ro + "/existing.bin").c_str(), SAVE_FLAG_OVERWRITE, nullptr) != -3) ::_exit(4);
    if (vanto_edit_save(session, (ro + "/existing.bin").c_str(), SAVE_FLAG_NONE, nullptr) != -3) ::_exit(5);
    if (vanto_edit_create_checkpoint(session, ro.c_str()) != -1) ::_exit(6);
    if (vanto_edit_apply_transform(session, invert, nullptr, 0, 0, ro.c_str()) != -1) ::_exit(7);
    if (vanto_session_get_num_checkpoints(session) != 0) ::_exit(8);
    if (data_of(session) != "xbase data") ::_exit(9);
    vanto_edit_destroy_session(session);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::chmod(ro.c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 100) GTEST_SKIP() << "cannot switch to user 65534 here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "first failed check in the child";
  EXPECT_EQ(read_file(ro + "/existing.bin"), "existing");
  std::vector<std::string> names;
  for (const auto &entry : fs::directory_iterator(ro)) names.push_back(entry.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"existing.bin"});
}

// ---- links planted at the library's own file names --------------------------------

// The temporary names come from one process-wide sequence.  Two names drawn
// in a row tell the step between consecutive names, and so the names the
// next calls will try.
class NameForecast {
 public:
  explicit NameForecast(const fs::path &probe_dir) {
    values_[0] = draw(probe_dir);
    values_[1] = draw(probe_dir);
    step_ = (values_[1] + kSpace - values_[0]) % kSpace;
  }
  // The six characters of the name drawn `ahead` draws after the last one.
  std::string name(uint64_t ahead) const { return encode((values_[1] + ahead * step_) % kSpace); }

 private:
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static constexpr uint64_t kSpace = 62ull * 62 * 62 * 62 * 62 * 62;

  static uint64_t draw(const fs::path &dir) {
    std::string name = (dir / "probeXXXXXX").string();
    const int fd = vanto_util_mkstemp(name.data());
    EXPECT_GE(fd, 0);
    ::close(fd);
    const std::string digits = name.substr(name.size() - 6);
    uint64_t v = 0;
    for (int i = 5; i >= 0; --i) v = v * 62 + static_cast<uint64_t>(std::strchr(kAlphabet, digits[i]) - kAlphabet);
    return v;
  }
  static std::string encode(uint64_t v) {
    std::string s(6, ' ');
    for (char &c : s) {
      c = kAlphabet[v % 62];
      v /= 62;
    }
    return s;
  }

  uint64_t values_[2];
  uint64_t step_;
};

TEST(PlantedLinks, ForecastMatchesTheNamesDrawn) {
  // The forecast the tests below rely on: if the sequence changed, they
  // would plant links where the library never looks.
  ScratchDir dir;
  NameForecast forecast(dir.path());
  std::string name = dir.file("checkXXXXXX");
  const int fd = vanto_util_mkstemp(name.data());
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_EQ(name.substr(name.size() - 6), forecast.name(1));
}

TEST(PlantedLinks, SaveNeverWritesThroughALinkAtItsTemporaryName) {
  ScratchDir dir;
  const std::string victim = dir.file("victim.bin");
  write_file(victim, "victim");
  const std::string base = dir.file("base.bin");
  write_file(base, "base");
  SessionPtr session(vanto_edit_create_session(base.c_str(), nullptr, nullptr, 0));
  ASSERT_GT(vanto_edit_insert(session.get(), 0, "saved ", 6), 0);
  const fs::path out_dir = dir.path() / "out";
  fs::create_directory(out_dir);
  NameForecast forecast(dir.path());
  // Links at the next eight names the save may try.
  std::vector<std::string> links;
  for (uint64_t ahead = 1; ahead <= 8; ++ahead) {
    links.push_back((out_dir / (".VantoEdit_" + forecast.name(ahead))).string());
    ASSERT_EQ(::symlink(victim.c_str(), links.back().c_str()), 0);
  }
  ASSERT_EQ(vanto_edit_save(session.get(), (out_dir / "out.bin").c_str(), SAVE_FLAG_OVERWRITE, nullptr), 0);
  EXPECT_EQ(read_file((out_dir / "out.bin").string()), "saved base");
  EXPECT_EQ(read_file(victim), "victim");
  for (const std::string &link : links) EXPECT_TRUE(fs::is_symlink(link)) << link;
}

TEST(PlantedLinks, TransformNeverWritesThroughALinkAtItsScratchName) {
  ScratchDir dir;
  const std::string victim = dir.file("victim.bin");
  write_file(victim, "victim");
  const std::string base = dir.file("base.bin");
  write_file(base, "abcdef");
  SessionPtr session(vanto_edit_create_session(base.c_str(), nullptr, nullptr, 0));
  const fs::path chk = dir.path() / "chk";
  fs::create_directory(chk);
  NameForecast forecast(dir.path());
  // The transform's checkpoint file draws the next name; its scratch file is
  // that name, "_" and a name drawn after it.  Links wait at the next names,
  // and at the bare "<checkpoint>_" an earlier version used.
  const std::string checkpoint = (chk / (".VantoEdit-chk.1." + forecast.name(1))).string();
  std::vector<std::string> links = {checkpoint + "_"};
  for (uint64_t ahead = 2; ahead <= 9; ++ahead) links.push_back(checkpoint + "_" + forecast.name(ahead));
  for (const std::string &link : links) ASSERT_EQ(::symlink(victim.c_str(), link.c_str()), 0);
  // The links are skipped, never followed nor removed: the transform
  // succeeds and the file they point to keeps its contents.
  ASSERT_EQ(vanto_edit_apply_transform(session.get(), invert, nullptr, 0, 0, chk.c_str()), 0);
  EXPECT_EQ(read_file(victim), "victim");
  ASSERT_EQ(vanto_session_get_num_checkpoints(session.get()), 1);
  EXPECT_EQ(std::string(vanto_session_get_file_path(session.get())), checkpoint);
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(checkpoint)));
  for (const std::string &link : links) EXPECT_TRUE(fs::is_symlink(link)) << link;
  std::string inverted = "abcdef";
  for (char &c : inverted) c = static_cast<char>(~c);
  EXPECT_EQ(data_of(session.get()), inverted);
  EXPECT_EQ(read_file(checkpoint), inverted);
  ASSERT_EQ(vanto_edit_destroy_last_checkpoint(session.get()), 0);
  EXPECT_EQ(data_of(session.get()), "abcdef");
}

}  // namespace
