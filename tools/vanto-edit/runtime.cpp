#include "runtime.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <vector>

#include <fmt/format.h>

#include "text.h"

namespace vtool {
namespace {

struct DiagnosticsState {
  int user_fd = STDERR_FILENO;
  int capture_fd = -1;
  bool verbose = false;
  bool initialized = false;
  bool bar_visible = false;
  int quiet_depth = 0;
  std::stringbuf clog_buffer;
  std::streambuf *saved_clog = nullptr;
  std::string last_line;
};

// Allocated once and never freed: the library may still write to std::clog
// while static objects are being destroyed.
DiagnosticsState &state() {
  static DiagnosticsState *const instance = new DiagnosticsState;
  return *instance;
}

void write_all(int fd, std::string_view text) {
  while (fd >= 0 && !text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

void erase_bar() {
  DiagnosticsState &s = state();
  if (s.bar_visible) {
    write_all(s.user_fd, "\r\x1b[K");
    s.bar_visible = false;
  }
}

// "<file>@<line>::<function>: <message>" -> "<message>".
std::string message_of(const std::string &line) {
  const std::size_t at = line.find('@');
  const std::size_t colons = line.find("::");
  if (at != std::string::npos && colons != std::string::npos && at < colons) {
    const std::size_t start = line.find(": ", colons);
    if (start != std::string::npos) return line.substr(start + 2);
  }
  return line;
}

void take_lines(const std::string &text) {
  DiagnosticsState &s = state();
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    s.last_line = line;
    if (s.verbose) {
      erase_bar();
      write_all(s.user_fd, fmt::format("vanto-edit: [library] {}\n", without_controls(line)));
    }
  }
}

volatile std::sig_atomic_t g_interrupted = 0;

// The first signal asks the work to stop; a second one ends the process at
// once, whatever it waits for.
extern "C" void on_interrupt(int) {
  if (g_interrupted != 0) _exit(kExitInterrupted);
  g_interrupted = 1;
}

// What a file that is not a regular file is, for messages.
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

}  // namespace

// ---- diagnostics ------------------------------------------------------------------

namespace diagnostics {

void init(bool verbose) {
  DiagnosticsState &s = state();
  if (s.initialized) return;
  s.initialized = true;
  s.verbose = verbose;
  // Started with a standard descriptor closed, a file opened later could get
  // its number and then be redirected below: hold them all on /dev/null.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0) {
      const int null_fd = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
      if (null_fd >= 0 && null_fd != fd) {
        ::dup2(null_fd, fd);
        ::close(null_fd);
      }
    }
  }
  s.user_fd = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  s.capture_fd = ::memfd_create("vanto-edit-log", MFD_CLOEXEC);
  if (s.capture_fd < 0) {
    std::FILE *file = std::tmpfile();
    if (file != nullptr) s.capture_fd = ::fcntl(::fileno(file), F_DUPFD_CLOEXEC, 3);
  }
  s.saved_clog = std::clog.rdbuf(&s.clog_buffer);
}

void shutdown() {
  DiagnosticsState &s = state();
  if (!s.initialized) return;
  drain();
  erase_bar();
  std::clog.rdbuf(s.saved_clog);
  s.initialized = false;
}

void say(std::string_view message) {
  erase_bar();
  // Names in messages are shown with shown_name(); this also keeps control
  // characters of anything else (a reason logged by the library) off the terminal.
  write_all(state().user_fd, fmt::format("vanto-edit: {}\n", without_controls(message)));
}

void write_raw(std::string_view text) { write_all(state().user_fd, text); }

int user_fd() { return state().user_fd; }

void drain() {
  DiagnosticsState &s = state();
  if (!s.initialized) return;
  std::string logged = s.clog_buffer.str();
  s.clog_buffer.str(std::string());
  take_lines(logged);
  if (s.capture_fd >= 0 && s.quiet_depth == 0) {
    std::string captured;
    char buffer[4096];
    if (::lseek(s.capture_fd, 0, SEEK_SET) == 0) {
      ssize_t n;
      while ((n = ::read(s.capture_fd, buffer, sizeof buffer)) > 0) {
        captured.append(buffer, static_cast<std::size_t>(n));
      }
    }
    if (::ftruncate(s.capture_fd, 0) == 0) ::lseek(s.capture_fd, 0, SEEK_SET);
    take_lines(captured);
  }
}

void forget_reason() {
  drain();
  state().last_line.clear();
}

std::string last_reason() {
  drain();
  return message_of(state().last_line);
}

}  // namespace diagnostics

Quietly::Quietly() {
  DiagnosticsState &s = state();
  if (s.quiet_depth++ == 0 && s.initialized && s.capture_fd >= 0) {
    std::fflush(stderr);
    ::dup2(s.capture_fd, STDERR_FILENO);
  }
}

Quietly::~Quietly() {
  DiagnosticsState &s = state();
  if (--s.quiet_depth == 0 && s.initialized && s.capture_fd >= 0) {
    std::fflush(stderr);
    if (s.user_fd >= 0) ::dup2(s.user_fd, STDERR_FILENO);
    diagnostics::drain();
  }
}

// ---- Ctrl-C ----------------------------------------------------------------------------

void install_interrupt_handlers() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  // Without SA_RESTART: a system call that waits (for a pipe, a terminal)
  // returns with EINTR, and the caller sees the flag.
  action.sa_flags = 0;
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

bool interrupted() { return g_interrupted != 0; }

void throw_if_interrupted() {
  if (interrupted()) throw Interrupted();
}

// ---- progress ---------------------------------------------------------------------------

Progress::Progress(const CommonOptions &options)
    : enabled_(!options.quiet && diagnostics::user_fd() >= 0 && ::isatty(diagnostics::user_fd()) == 1) {}

Progress::~Progress() { clear(); }

void Progress::phase(std::string label, int64_t overall) {
  clear();
  label_ = std::move(label);
  overall_ = overall;
  last_done_ = -1;
  start_ = std::chrono::steady_clock::now();
}

void Progress::clear() {
  if (shown_) {
    erase_bar();
    shown_ = false;
  }
}

int Progress::hook(const vanto_session_t *, int64_t done, int64_t total, void *user_data) {
  if (interrupted()) return 1;
  if (user_data != nullptr) static_cast<Progress *>(user_data)->report(done, total);
  return 0;
}

void Progress::report(int64_t done, int64_t total) {
  if (!enabled_) return;
  using namespace std::chrono;
  const auto now = steady_clock::now();
  if (overall_ == 0 && done < last_done_) start_ = now;  // a new call of the same phase
  last_done_ = done;
  if (overall_ > 0) {
    // One call of several over the phase's range (a search resumed after a
    // match): the call reports its own rest of the range.
    done = std::clamp<int64_t>(overall_ - total + done, 0, overall_);
    total = overall_;
  }
  // Work done within one report shows nothing; then at most ten redraws a
  // second, and the end.
  if (!shown_ && done >= total) return;
  if (shown_ && now - last_draw_ < milliseconds(100) && done < total) return;
  last_draw_ = now;

  const int percent = total > 0 ? static_cast<int>(std::min<int64_t>(100, done * 100 / total)) : 100;
  constexpr int kWidth = 24;
  const int filled = percent * kWidth / 100;
  const double seconds = duration<double>(now - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
  diagnostics::write_raw(fmt::format("\r{} [{}{}] {:3d}%  {}/s\x1b[K", label_.empty() ? "working" : label_,
                                     std::string(static_cast<std::size_t>(filled), '#'),
                                     std::string(static_cast<std::size_t>(kWidth - filled), '-'), percent,
                                     human_size(rate)));
  shown_ = true;
  state().bar_visible = true;
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
  session_ = quietly([&] { return vanto_edit_create_session(path_.c_str(), nullptr, nullptr, 0); });
  if (session_ == nullptr) throw Failure(fmt::format("{}: cannot open the file", shown_name(path_)));
  vanto_session_set_progress_cbk(session_, &Progress::hook, &progress);
}

Session::~Session() {
  quietly([&] { vanto_edit_destroy_session(session_); });
}

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

// ---- the output ------------------------------------------------------------------------------

OutputTarget::OutputTarget(const std::string &input, const OutputOptions &options)
    : input_(input), in_place_(options.in_place), force_(options.force) {
  if (options.in_place && !options.output.empty()) throw Failure("give either --output or --in-place, not both");
  if (!options.in_place && options.output.empty()) throw Failure("give --output OUT or --in-place");

  if (in_place_) {
    path_ = input;
    // The save puts a new regular file in the input's place: a device stays a device.
    struct stat input_info {};
    if (::stat(input.c_str(), &input_info) == 0 && !S_ISREG(input_info.st_mode)) {
      throw Failure(fmt::format("{}: cannot be replaced in place ({}); use --output", shown_name(input),
                                file_kind(input_info.st_mode)));
    }
    directory_ = parent_directory(input);
    if (::access(directory_.c_str(), W_OK | X_OK) != 0) {
      throw Failure(fmt::format("{}: cannot write in its directory {}: {}", shown_name(input), shown_name(directory_),
                                std::strerror(errno)));
    }
    return;
  }

  path_ = options.output;
  struct stat output_info {};
  if (::stat(path_.c_str(), &output_info) == 0) {
    if (S_ISDIR(output_info.st_mode)) throw Failure(fmt::format("{}: {}", shown_name(path_), std::strerror(EISDIR)));
    struct stat input_info {};
    if (::stat(input.c_str(), &input_info) == 0 && input_info.st_dev == output_info.st_dev &&
        input_info.st_ino == output_info.st_ino) {
      throw Failure(fmt::format("{}: is the input file (use --in-place to edit it)", shown_name(path_)));
    }
    // A device, a pipe or a socket is never replaced by a regular file.
    if (!S_ISREG(output_info.st_mode)) {
      throw Failure(fmt::format("{}: exists and is not a regular file ({}); it is not replaced", shown_name(path_),
                                file_kind(output_info.st_mode)));
    }
    if (!force_) throw Failure(fmt::format("{}: already exists (use --force to replace it)", shown_name(path_)));
  } else if (errno != ENOENT) {
    throw Failure(fmt::format("{}: {}", shown_name(path_), std::strerror(errno)));
  } else if (!force_ && file_id(path_)) {
    // A symbolic link to nothing: the name is taken all the same.
    throw Failure(fmt::format("{}: already exists (use --force to replace it)", shown_name(path_)));
  }
  if (!path_.empty() && path_.back() == '/') throw Failure(fmt::format("{}: {}", shown_name(path_), std::strerror(EISDIR)));

  directory_ = parent_directory(path_);
  struct stat directory_info {};
  if (::stat(directory_.c_str(), &directory_info) != 0) {
    throw Failure(fmt::format("{}: cannot use the directory {}: {}", shown_name(path_), shown_name(directory_),
                              std::strerror(errno)));
  }
  if (!S_ISDIR(directory_info.st_mode)) {
    throw Failure(fmt::format("{}: {} is not a directory", shown_name(path_), shown_name(directory_)));
  }
  if (::access(directory_.c_str(), W_OK | X_OK) != 0) {
    throw Failure(fmt::format("{}: cannot write in {}: {}", shown_name(path_), shown_name(directory_), std::strerror(errno)));
  }
}

namespace {

const char *save_failure(int code) {
  switch (code) {
    case -1: return "cannot create its directory";
    case -2: return "the name is too long";
    case -3:
    case -4: return "cannot create a new file beside it";
    case -5: return "cannot read the edited data";
    case -6: return "cannot write the data";
    case -8: return "no free file name";
    case -9: return "cannot put the new file in its place";
    case -12: return "it exists and is not a regular file; it is not replaced";
    default: return "the save failed";
  }
}

// Gives the finished file `from` the name `to` only if no file has it; 0 or an errno value.
int place_without_replacing(const std::string &from, const std::string &to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // A file system without the no-replace rename: a hard link is not made over a taken name either.
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return 0;
  }
  if (errno != EPERM && errno != EOPNOTSUPP) return errno;
  // Nor hard links: test, then rename.
  struct stat info {};
  if (::lstat(to.c_str(), &info) == 0) return EEXIST;
  if (errno != ENOENT) return errno;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

void sync_directory(const std::string &directory) {
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

namespace {
std::string g_written_file;
}  // namespace

const std::string &written_file() { return g_written_file; }

void OutputTarget::library_save(Session &session, Progress &progress, const std::string &file, int32_t flags) const {
  throw_if_interrupted();
  progress.phase("saving");
  diagnostics::forget_reason();
  char saved[VANTO_PATH_BUFFER_SIZE] = {};
  const int rc = quietly([&] { return vanto_edit_save(session.get(), file.c_str(), flags, saved); });
  progress.clear();
  if (rc == -10) {
    // The data is in place; only going on with the saved file failed.
    diagnostics::say(fmt::format("{}: saved, but the saved file could not be reopened", shown_name(path_)));
    g_written_file = path_;
    return;
  }
  if (rc != 0) {
    if (rc == -11 || interrupted()) throw Interrupted();
    const std::string reason = diagnostics::last_reason();
    throw Failure(fmt::format("{}: cannot save ({}{}{})", shown_name(path_), save_failure(rc), reason.empty() ? "" : ": ",
                              reason));
  }
}

void OutputTarget::save(Session &session, Progress &progress) const {
  if (in_place_ || force_) {
    library_save(session, progress, path_, SAVE_FLAG_OVERWRITE);
    g_written_file = path_;
    return;
  }
  // A new output: saved as "output" in a directory of our own beside it,
  // then moved to its name unless that was taken meanwhile.  Whatever is
  // left in the directory goes with it.
  throw_if_interrupted();
  OwnDirectory staging;
  if (!staging.make_in(directory_)) {
    throw Failure(fmt::format("{}: cannot save (cannot create a directory in {}: {})", shown_name(path_),
                              shown_name(directory_), std::strerror(errno)));
  }
  const std::string staged = staging.path() + "/output";
  library_save(session, progress, staged, SAVE_FLAG_NONE);
  struct stat info {};
  if (!staging.intact() || ::lstat(staged.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    throw Failure(fmt::format("{}: cannot save (the saved data was moved away)", shown_name(path_)));
  }
  throw_if_interrupted();
  const int error = place_without_replacing(staged, path_);
  if (error == EEXIST) throw Failure(fmt::format("{}: appeared while saving and was left alone", shown_name(path_)));
  if (error != 0) {
    throw Failure(fmt::format("{}: cannot save (cannot put the new file in its place: {})", shown_name(path_),
                              std::strerror(error)));
  }
  sync_directory(directory_);
  g_written_file = path_;
}

}  // namespace vtool
