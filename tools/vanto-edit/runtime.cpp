// Sessions on input files, ranges and numbers, and the scratch and
// checkpoint directories.
#include "runtime.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <vector>

#include <fmt/format.h>

#include "text.h"

namespace vtool {

const char *file_kind(mode_t mode) {
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISDIR(mode)) return "a directory";
  return "not a regular file";
}

std::string parent_directory(const std::string &path) {
  std::string parent = std::filesystem::path(path).parent_path().string();
  return parent.empty() ? std::string(".") : parent;
}

// ---- sessions -----------------------------------------------------------------------------

namespace {

// A regular file whose size says nothing about its content: the files of
// /proc, /sys and the like, made up when they are read (most say they hold 0
// bytes).  Such a file is not edited as if it were what its size says.
bool size_is_made_up(int fd, const struct stat &info) {
  struct statfs fs {};
  if (::fstatfs(fd, &fs) == 0) {
    switch (static_cast<unsigned long>(fs.f_type)) {
      case PROC_SUPER_MAGIC:
      case SYSFS_MAGIC:
      case DEBUGFS_MAGIC:
      case TRACEFS_MAGIC: return true;
      default: break;
    }
  }
  char byte = 0;
  return info.st_size == 0 && ::pread(fd, &byte, 1, 0) > 0;
}

}  // namespace

void check_input_file(const std::string &path) {
  const std::string name = shown_name(path);
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) throw Failure(fmt::format("{}: {}", name, std::strerror(errno)));
  if (S_ISDIR(info.st_mode)) throw Failure(fmt::format("{}: {}", name, std::strerror(EISDIR)));
  // Regular files and block devices have a size that can be read; a pipe,
  // a socket or a terminal is never opened (opening a pipe could block).
  auto usable = [](mode_t mode) { return S_ISREG(mode) || S_ISBLK(mode); };
  if (!usable(info.st_mode)) {
    throw Failure(fmt::format("{}: not a regular file ({})", name, file_kind(info.st_mode)));
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) throw Failure(fmt::format("{}: {}", name, std::strerror(errno)));
  struct stat opened {};
  std::string problem;
  if (::fstat(fd, &opened) != 0) {
    problem = std::strerror(errno);
  } else if (!usable(opened.st_mode)) {
    problem = fmt::format("not a regular file ({})", file_kind(opened.st_mode));
  } else if (S_ISREG(opened.st_mode) && size_is_made_up(fd, opened)) {
    problem = "its size cannot be known (not a regular file with real content)";
  }
  ::close(fd);
  if (!problem.empty()) throw Failure(fmt::format("{}: {}", name, problem));
}

Session::Session(std::string path, Progress &progress) : path_(std::move(path)) {
  check_input_file(path_);
  session_ = vanto_edit_create_session(path_.c_str(), nullptr, nullptr, 0);
  if (session_ == nullptr) throw Failure(fmt::format("{}: cannot open the file", shown_name(path_)));
  vanto_session_set_progress_cbk(session_, &Progress::hook, &progress);
}

Session::~Session() { vanto_edit_destroy_session(session_); }

int64_t number_option(std::string_view option, const std::string &text) {
  const std::optional<int64_t> value = parse_number(text);
  if (!value) throw Failure(fmt::format("{}: '{}' is not a number (digits, 0x-hex, optional K/M/G/T)", option, printable(text)));
  return *value;
}

Range resolve_range(const std::string &file, int64_t size, const std::string &offset_text,
                    const std::string &length_text) {
  Range range;
  if (!offset_text.empty()) range.offset = number_option("--offset", offset_text);
  if (range.offset > size) {
    throw Failure(fmt::format("{}: offset {} is beyond the end of the data ({} bytes)", shown_name(file), range.offset,
                              size));
  }
  range.length = size - range.offset;
  if (!length_text.empty()) range.length = std::min(range.length, number_option("--length", length_text));
  return range;
}

// ---- scratch and checkpoint directories ------------------------------------------------

std::optional<FileId> file_id(const std::string &path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
  return FileId{info.st_dev, info.st_ino};
}

namespace {

constexpr std::string_view kScratchPrefix = ".vanto-edit-";
// Written into each scratch directory when it is made: who made it.
constexpr const char *kOwnerFile = ".vanto-edit-owner";

std::string first_line_of(const char *path) {
  std::string text;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return text;
  char buffer[256];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  if (n > 0) text.assign(buffer, static_cast<std::size_t>(n));
  return text.substr(0, text.find('\n'));
}

std::string link_text(const char *path) {
  char buffer[256];
  const ssize_t n = ::readlink(path, buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

// What the owner file holds: the process, and where its id means something
// (this boot of the machine, this process id namespace).
std::string owner_record(long pid) {
  return fmt::format("vanto-edit {}\nboot {}\npid-namespace {}\n", pid,
                     first_line_of("/proc/sys/kernel/random/boot_id"), link_text("/proc/self/ns/pid"));
}

// The process id in a scratch directory's name ".vanto-edit-<pid>-XXXXXX", or 0.
long pid_in_name(std::string_view name) {
  if (name.substr(0, kScratchPrefix.size()) != kScratchPrefix) return 0;
  name.remove_prefix(kScratchPrefix.size());
  const std::size_t dash = name.find('-');
  if (dash == std::string_view::npos || dash == 0 || name.size() - dash - 1 != 6) return 0;
  long pid = 0;
  for (const char c : name.substr(0, dash)) {
    if (c < '0' || c > '9' || pid > 100000000) return 0;
    pid = pid * 10 + (c - '0');
  }
  return pid;
}

// Whether the owner record `text` names a process that is gone: the machine
// was started again since, or its process id is unused in our namespace.  A
// process that may still run (or whose id means nothing here) is not gone.
bool owner_is_gone(const std::string &text, long pid) {
  // Three lines: "vanto-edit <pid>", "boot <id>", "pid-namespace <id>".
  auto fields = [](const std::string &record) {
    std::vector<std::string> lines;
    std::istringstream in(record);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  };
  const std::vector<std::string> theirs = fields(text);
  const std::vector<std::string> ours = fields(owner_record(pid));
  if (theirs.size() != 3 || theirs[0] != ours[0] || theirs[1].rfind("boot ", 0) != 0 ||
      theirs[2].rfind("pid-namespace ", 0) != 0) {
    return false;
  }
  if (theirs[1] != "boot " && ours[1] != "boot " && theirs[1] != ours[1]) return true;
  if (theirs[2] != ours[2]) return false;
  return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// Files the program and the library put in a scratch directory: the staged
// output, the save's temporary files, checkpoint files and their scratch files.
bool made_by_us(std::string_view name) {
  return name == "output" || name.rfind(".VantoEdit_", 0) == 0 || name.rfind(".VantoEdit-chk.", 0) == 0;
}

// Removes the scratch directory `name` in `parent_fd` if it is ours (our
// user's, private, with an owner file) and its owner is gone.  Only files we
// make are removed; a directory holding anything else stays.
void remove_if_stale(int parent_fd, const char *name, long pid) {
  const int fd = ::openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  struct stat info {};
  std::string owner;
  if (::fstat(fd, &info) == 0 && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0) {
    const int owner_fd = ::openat(fd, kOwnerFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat owner_info {};
    if (owner_fd >= 0 && ::fstat(owner_fd, &owner_info) == 0 && S_ISREG(owner_info.st_mode)) {
      char buffer[1024];
      const ssize_t n = ::read(owner_fd, buffer, sizeof buffer);
      if (n > 0) owner.assign(buffer, static_cast<std::size_t>(n));
    }
    if (owner_fd >= 0) ::close(owner_fd);
  }
  if (owner.empty() || !owner_is_gone(owner, pid)) {
    ::close(fd);
    return;
  }
  DIR *entries = ::fdopendir(fd);
  if (entries == nullptr) {
    ::close(fd);
    return;
  }
  bool foreign = false;
  while (const dirent *entry = ::readdir(entries)) {
    const std::string_view entry_name = entry->d_name;
    if (entry_name == "." || entry_name == ".." || entry_name == kOwnerFile) continue;
    struct stat entry_info {};
    if (made_by_us(entry_name) && ::fstatat(fd, entry->d_name, &entry_info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(entry_info.st_mode) && ::unlinkat(fd, entry->d_name, 0) == 0) {
      continue;
    }
    foreign = true;
  }
  if (!foreign && ::unlinkat(fd, kOwnerFile, 0) == 0) ::unlinkat(parent_fd, name, AT_REMOVEDIR);
  ::closedir(entries);
}

}  // namespace

void remove_stale_scratch_directories(const std::string &parent) {
  const int parent_fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parent_fd < 0) return;
  DIR *entries = ::fdopendir(::dup(parent_fd));
  if (entries != nullptr) {
    const long self = static_cast<long>(::getpid());
    while (const dirent *entry = ::readdir(entries)) {
      const long pid = pid_in_name(entry->d_name);
      if (pid > 0 && pid != self) remove_if_stale(parent_fd, entry->d_name, pid);
    }
    ::closedir(entries);
  }
  ::close(parent_fd);
}

bool OwnDirectory::make_in(const std::string &parent) {
  remove();
  remove_stale_scratch_directories(parent);
  const long pid = static_cast<long>(::getpid());
  std::string name = fmt::format("{}/{}{}-XXXXXX", parent, kScratchPrefix, pid);
  if (::mkdtemp(name.data()) == nullptr) return false;
  if (!adopt(name)) return false;
  // Without its owner file a later run could not tell the directory is stale.
  const std::string record = owner_record(pid);
  const int fd = ::open((name + "/" + kOwnerFile).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  const bool written = fd >= 0 && ::write(fd, record.data(), record.size()) == static_cast<ssize_t>(record.size());
  const int saved_errno = errno;
  if (fd >= 0) ::close(fd);
  if (!written) {
    remove();
    errno = saved_errno;
    return false;
  }
  return true;
}

bool OwnDirectory::adopt(const std::string &path) {
  remove();
  id_ = file_id(path);
  if (!id_) return false;
  path_ = path;
  return true;
}

bool OwnDirectory::intact() const { return id_ && file_id(path_) == id_; }

void OwnDirectory::remove() {
  if (intact()) {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  id_.reset();
  path_.clear();
}

CheckpointDir::CheckpointDir(std::string requested, std::string default_parent)
    : requested_(std::move(requested)), default_parent_(std::move(default_parent)) {}

const std::string &CheckpointDir::path() {
  if (!path_.empty()) return path_;
  if (!requested_.empty()) {
    struct stat info {};
    if (::stat(requested_.c_str(), &info) == 0) {
      if (!S_ISDIR(info.st_mode)) throw Failure(fmt::format("{}: not a directory", shown_name(requested_)));
    } else {
      std::error_code error;
      std::filesystem::create_directories(requested_, error);
      if (error) throw Failure(fmt::format("{}: cannot create the directory: {}", shown_name(requested_), error.message()));
      made_requested_.adopt(requested_);
    }
  }
  // Checkpoints go into a scratch directory of their own even in a given
  // directory, so that a later run can tell what a killed one left there.
  const std::string &parent = requested_.empty() ? default_parent_ : requested_;
  if (!made_.make_in(parent)) {
    throw Failure(fmt::format("{}: cannot create a checkpoint directory: {}", shown_name(parent), std::strerror(errno)));
  }
  path_ = made_.path();
  return path_;
}

}  // namespace vtool
