// What every command of the vanto-edit tool shares: failures and their exit
// status, the user's standard error and the library's log lines
// (diagnostics.cpp), Ctrl-C and the progress bar (progress.cpp), sessions on
// input files, ranges and the checkpoint directory (runtime.cpp), and the
// output file (output.cpp).
#ifndef VANTO_EDIT_TOOL_RUNTIME_H
#define VANTO_EDIT_TOOL_RUNTIME_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include <vanto_edit.h>

namespace vtool {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitNothingFound = 1;
constexpr int kExitError = 2;
// The output file was written, but what followed (the report on standard
// output) failed.
constexpr int kExitWrittenNotReported = 3;
constexpr int kExitInterrupted = 130;

// A failure shown to the user as one line ("vanto-edit: <what>"), exit status 2.
class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The user pressed Ctrl-C (or the process got SIGTERM or SIGHUP); exit status 130.
class Interrupted : public std::runtime_error {
 public:
  Interrupted() : std::runtime_error("interrupted") {}
};

// Options every command has.
struct CommonOptions {
  bool quiet = false;    // no progress bar
  bool verbose = false;  // show the library's log lines
};

// ---- the user's standard error and the library's log ------------------------
//
// From init() on, the library's log lines come to the program through the
// library's log sink (vanto_util_set_log_cbk), never onto the standard
// streams.  They are shown only with --verbose, as
// "vanto-edit: [library] <file>@<line>::<function>: <message>"; the last one
// explains a failure in the program's own message.
namespace diagnostics {

void init(bool verbose);
void shutdown();
// "vanto-edit: <message>\n" on the user's standard error.
void say(std::string_view message);
// The user's standard error descriptor.
int user_fd();
// Draws the progress bar (text that starts with a carriage return); it is
// erased before any other line is shown.
void draw_bar(std::string_view text);
// Erases the progress bar if it is drawn.
void erase_bar();
// Forgets the last library line (call before an operation whose failure is explained by it).
void forget_reason();
// The message of the last library line since forget_reason(), or "".
std::string last_reason();
// While lines are held (the editor draws on the terminal), the library's
// lines are kept instead of shown, --verbose or not, until taken: their
// messages in order, at most the last 32, after a note of how many were
// dropped.  Releasing drops what was not taken.
void hold_lines(bool hold);
std::vector<std::string> take_held_lines();

}  // namespace diagnostics

// ---- Ctrl-C -----------------------------------------------------------------

// Installs handlers of SIGINT, SIGTERM and SIGHUP.  The first signal sets a
// flag that the progress hook returns to the library and that the steps of
// the program check; a system call waiting for a pipe or a terminal returns
// early (EINTR) instead of being restarted.  A second signal ends the process
// at once with exit status 130.
void install_interrupt_handlers();
bool interrupted();
void throw_if_interrupted();

// ---- progress -----------------------------------------------------------------

// A progress bar on the user's standard error, driven by the library's
// progress hook: label, bar, percentage and throughput.  Drawn only when that
// is a terminal and --quiet was not given; the hook always reports Ctrl-C.
class Progress {
 public:
  explicit Progress(const CommonOptions &options);
  ~Progress();
  Progress(const Progress &) = delete;
  Progress &operator=(const Progress &) = delete;

  // Starts a phase: the label shown before the bar until the next phase.
  // With `overall`, the phase is several calls over a range of that many
  // bytes, each reporting the part of the range from its own start to the end.
  void phase(std::string label, int64_t overall = 0);
  // Removes the bar from the screen.
  void clear();

  static int hook(const vanto_session_t *session, int64_t done, int64_t total, void *user_data);

 private:
  void report(int64_t done, int64_t total);

  bool enabled_;
  bool shown_ = false;
  std::string label_;
  int64_t last_done_ = -1;
  int64_t overall_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

// ---- sessions -----------------------------------------------------------------

// A session on an input file, with the progress hook set.  Opening checks the
// file first and fails with a one-line reason: missing, a directory, not a
// regular file, unreadable.
class Session {
 public:
  Session(std::string path, Progress &progress);
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  vanto_session_t *get() const { return session_; }
  const std::string &path() const { return path_; }
  int64_t size() const { return vanto_session_get_computed_file_size(session_); }

 private:
  std::string path_;
  vanto_session_t *session_ = nullptr;
};

// What a file that is not a regular file is, for messages ("a named pipe").
const char *file_kind(mode_t mode);

// The directory a path is in: "." for a bare name.
std::string parent_directory(const std::string &path);

// Checks that `path` names a readable regular file; throws Failure otherwise.
void check_input_file(const std::string &path);

// A range of the data: [offset, offset + length).
struct Range {
  int64_t offset = 0;
  int64_t length = 0;
  int64_t end() const { return offset + length; }
};

// The range given by --offset and --length over data of `size` bytes: the
// offset defaults to 0 and must not lie beyond the end; the length defaults to
// the rest of the data and is cut at the end.
Range resolve_range(const std::string &file, int64_t size, const std::string &offset_text,
                    const std::string &length_text);

// A number given on the command line; throws Failure naming the option.
int64_t number_option(std::string_view option, const std::string &text);

// ---- scratch and checkpoint directories --------------------------------------------

// The device and inode of a file: what a name led to when it was looked at.
struct FileId {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileId &other) const { return device == other.device && inode == other.inode; }
};

// The identity of what `path` itself names (a link is not followed), if it exists.
std::optional<FileId> file_id(const std::string &path);

// Removes what runs that were killed left in `parent`: scratch directories
// of our user whose owner file names a process that is gone (this machine
// was started again since, or no process has its id now).  In them only the
// files the program and the library make are removed, and the directory
// only when nothing else is left.  Anything else is left alone; failures are
// ignored.
void remove_stale_scratch_directories(const std::string &parent);

// A directory this process made.  When the object goes, the directory is
// removed with everything in it, but only if its name still leads to the
// directory that was made: something put in its place is left alone.
class OwnDirectory {
 public:
  OwnDirectory() = default;
  ~OwnDirectory() { remove(); }
  OwnDirectory(const OwnDirectory &) = delete;
  OwnDirectory &operator=(const OwnDirectory &) = delete;

  // Makes a new scratch directory ".vanto-edit-<pid>-XXXXXX" (mode 0700)
  // in `parent`, with a file in it naming this process; false with errno
  // set when that fails.  Stale scratch directories in `parent` are removed
  // first (see remove_stale_scratch_directories).
  bool make_in(const std::string &parent);
  // Takes `path`, a directory just made by this process, as its own.
  bool adopt(const std::string &path);
  // True while the name leads to the directory that was made.
  bool intact() const;
  void remove();

  const std::string &path() const { return path_; }

 private:
  std::string path_;
  std::optional<FileId> id_;
};

// Where checkpoints go: a new scratch directory in the directory given with
// --checkpoint-dir (made if missing) or else in `default_parent` (beside the
// output file).  Made on first use; the directories made here are removed
// with everything in them when this object goes, which must be after the
// session.
class CheckpointDir {
 public:
  CheckpointDir(std::string requested, std::string default_parent);
  CheckpointDir(const CheckpointDir &) = delete;
  CheckpointDir &operator=(const CheckpointDir &) = delete;

  const std::string &path();

 private:
  std::string requested_;
  std::string default_parent_;
  std::string path_;
  OwnDirectory made_requested_;  // declared first: removed last
  OwnDirectory made_;
};

// ---- the output ---------------------------------------------------------------

// The file the edited data was saved to in this run, "" before (set by
// OutputTarget::save): a failure after it must not read as "nothing written".
const std::string &written_file();

struct OutputOptions {
  std::string output;     // --output OUT
  bool in_place = false;  // --in-place
  // --force: an existing OUT may be replaced, and the data is saved even
  // when the input changed while the program worked on it.
  bool force = false;
};

// Where the edited data goes.  The constructor checks everything that can be
// checked before any work (exactly one of --output and --in-place; OUT not a
// directory, not the input itself, not existing without --force; its
// directory exists and may be written) and throws Failure otherwise.
//
// Without --force nothing is saved when the input file changed since its
// session opened it: changed in place (its size or modification time), or
// another file (or none) now at its name.  The library's save is asked to
// refuse too (SAVE_FLAG_REFUSE_IF_CHANGED), for a change made while it
// reads the input.
class OutputTarget {
 public:
  OutputTarget(const std::string &input, const OutputOptions &options);

  const std::string &path() const { return path_; }
  bool in_place() const { return in_place_; }
  // The directory the output goes to (the default home of checkpoints).
  const std::string &directory() const { return directory_; }

  // Saves the session through the library's atomic save: a new file in the
  // target's directory renamed onto the target.  A new output (no --force)
  // is saved in a private directory beside it and then given its name only
  // if that is still free, so a file that appears meanwhile is never
  // replaced.  Throws Failure (nothing written; also when the input
  // changed, see above) or Interrupted.
  void save(Session &session, Progress &progress) const;

 private:
  // Throws Failure when the input changed since it was opened (not with --force).
  void refuse_if_input_changed(Session &session) const;
  // One call of the library's save to `file`; failures name the target.
  void library_save(Session &session, Progress &progress, const std::string &file, int32_t flags) const;

  std::string input_;
  std::string path_;
  std::string directory_;
  bool in_place_ = false;
  bool force_ = false;
};

}  // namespace vtool

#endif  // VANTO_EDIT_TOOL_RUNTIME_H
