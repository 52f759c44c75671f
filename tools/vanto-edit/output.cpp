// The output: where the edited data goes, and the save that puts it there.
#include "runtime.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "text.h"

namespace vtool {

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

std::string g_written_file;

// What a failed save of the library means, by its result.
const char *save_failure(int code) {
  switch (code) {
    case SAVE_ERROR_INVALID: return "cannot create its directory";
    case SAVE_ERROR_NAME_TOO_LONG: return "the name is too long";
    case SAVE_ERROR_CREATE: return "cannot create a new file beside it";
    case SAVE_ERROR_READ: return "cannot read the edited data";
    case SAVE_ERROR_WRITE: return "cannot write the data";
    case SAVE_ERROR_NO_FREE_NAME: return "no free file name";
    case SAVE_ERROR_PLACE: return "cannot put the new file in its place";
    case SAVE_ERROR_NOT_REGULAR: return "it exists and is not a regular file; it is not replaced";
    default: return "the save failed";
  }
}

// What changed about the input, for the refusal's message.
std::string change_text(int32_t changes) {
  std::vector<std::string> parts;
  if ((changes & FILE_CHANGE_REMOVED) != 0) parts.emplace_back("it was removed");
  if ((changes & FILE_CHANGE_REPLACED) != 0) parts.emplace_back("another file took its name");
  if ((changes & FILE_CHANGE_SIZE) != 0) parts.emplace_back("its size changed");
  if ((changes & FILE_CHANGE_MTIME) != 0) parts.emplace_back("it was modified");
  return fmt::format("{}", fmt::join(parts, ", "));
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

const std::string &written_file() { return g_written_file; }

void OutputTarget::refuse_if_input_changed(Session &session) const {
  if (force_) return;
  const int32_t changes = vanto_session_get_backing_file_changes(session.get());
  if (changes <= 0) return;
  throw Failure(fmt::format("{}: changed while vanto-edit worked on it ({}); nothing was written "
                            "(use --force to save all the same)",
                            shown_name(input_), change_text(changes)));
}

void OutputTarget::library_save(Session &session, Progress &progress, const std::string &file, int32_t flags) const {
  throw_if_interrupted();
  refuse_if_input_changed(session);
  // Unless forced, the library checks again while it saves: the data it
  // reads from the input must not change under it.
  if (!force_) flags |= SAVE_FLAG_REFUSE_IF_CHANGED;
  progress.phase("saving");
  diagnostics::forget_reason();
  char saved[VANTO_PATH_BUFFER_SIZE] = {};
  const int rc = vanto_edit_save(session.get(), file.c_str(), flags, saved);
  progress.clear();
  if (rc == SAVE_ERROR_REBASE) {
    // The data is in place; only going on with the saved file failed.
    diagnostics::say(fmt::format("{}: saved, but the saved file could not be reopened", shown_name(path_)));
    g_written_file = path_;
    return;
  }
  if (rc == SAVE_ERROR_FILE_CHANGED) {
    refuse_if_input_changed(session);
    // Changed and put back as it was before the library looked again.
    throw Failure(fmt::format("{}: changed while vanto-edit worked on it; nothing was written "
                              "(use --force to save all the same)",
                              shown_name(input_)));
  }
  if (rc != SAVE_OK) {
    if (rc == SAVE_ERROR_CANCELLED || interrupted()) throw Interrupted();
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
  refuse_if_input_changed(session);
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
