// Saving, checkpoints and byte transforms of session data.
//
// A save never writes into a file the session reads from.  It writes the
// edited data into a temporary file beside the destination, makes it durable
// (flush, fsync, close, each checked) and renames it onto the destination in
// one step, so an existing file is replaced whole or not at all.  Only after
// that rename has succeeded does a session that saved over its own file let
// go of the stream it reads the old file through.
//
// A checkpoint is a save into a file of its own followed by a new model that
// reads that file; a transform is a checkpoint whose file is then rewritten
// through a byte function.
//
// None of these calls lets an exception out: file-system errors raised by the
// path utilities are caught here, logged, temporary files are removed, and
// the call returns its failure code.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "impl_/file_transform.h"
#include "impl_/internal_fun.h"
#include "impl_/io.h"
#include "impl_/log.h"
#include "impl_/piece_reader.h"
#include "impl_/progress.h"
#include "vanto_edit/edit.h"
#include "vanto_edit/filesystem.h"
#include "vanto_edit/session.h"
#include "vanto_edit/utility.h"

static_assert(sizeof(off_t) >= 8, "64-bit file positions are required");

using namespace vanto::internal;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kPathBufferSize = VANTO_PATH_BUFFER_SIZE;

// How often a free-name save looks for another name when the chosen one was
// taken between the choice and the rename.
constexpr int kFreeNameAttempts = 16;

// Longest chain of symbolic links followed to find the file a target names.
constexpr int kMaxLinkHops = 40;

struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const FileId &other) const { return dev == other.dev && ino == other.ino; }
};

std::optional<FileId> stream_id(FILE *stream) {
  struct stat st {};
  if (stream == nullptr || ::fstat(::fileno(stream), &st) != 0) return std::nullopt;
  return FileId{st.st_dev, st.st_ino};
}

std::optional<FileId> path_id(const std::string &path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileId{st.st_dev, st.st_ino};
}

// Removes a file without raising; false (with errno set) when nothing was
// removed.
bool remove_quietly(const std::string &path) {
  if (path.empty()) return false;
  return ::unlink(path.c_str()) == 0;
}

// The file a path finally names: symbolic links are followed (also a link
// whose file does not exist yet), so that saving through a link replaces the
// file it points to and leaves the link in place.  A path that is no link
// comes back unchanged.
std::string resolve_links(const std::string &target) {
  fs::path path(target);
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(path, ec);
    if (ec || !fs::is_symlink(st)) break;
    const fs::path next = fs::read_symlink(path, ec);
    if (ec) break;
    path = next.is_absolute() ? next : path.parent_path() / next;
  }
  return path.string();
}

// Makes a directory entry durable after a rename into it.
void sync_directory(const std::string &file_path) {
  const std::string parent = fs::path(file_path).parent_path().string();
  const char *dir = parent.empty() ? "." : parent.c_str();
  const int fd = io::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    VANTO_WARN_AS("vanto_edit_save", "cannot open directory for fsync: " << std::strerror(errno)
                                                                         << ", directory: " << dir);
    return;
  }
  if (io::fsync_dir(fd) != 0) {
    VANTO_WARN_AS("vanto_edit_save",
                 "fsync of directory failed: " << std::strerror(errno) << ", directory: " << dir);
  }
  ::close(fd);
}

// The temporary file of a save: closed and removed when the save gives up,
// unless it is to be kept (a complete file whose rename failed) or has become
// the destination.
class TempFile {
 public:
  TempFile() = default;
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;
  ~TempFile() {
    close_fd();
    if (!path_.empty() && !keep_) remove_quietly(path_);
  }

  void set_path(const std::string &path) { path_ = path; }
  const std::string &path() const { return path_; }
  void set_fd(int fd) { fd_ = fd; }
  int fd() const { return fd_; }
  // Closes the descriptor; false when the close reported an error.
  bool close_fd() {
    if (fd_ < 0) return true;
    const bool ok = io::close(fd_) == 0;
    fd_ = -1;
    return ok;
  }
  void keep() { keep_ = true; }
  void renamed() { path_.clear(); }

 private:
  std::string path_;
  int fd_ = -1;
  bool keep_ = false;
};

// Writes the edited data into the temporary file's descriptor in large
// blocks.  The data is gathered block by block from the model's pieces (runs
// of the backing file are read with one call, change bytes copied in), so
// the memory used is one block whatever the size of the data.
//
// Every kWriteBackStep bytes the kernel is told to start writing the step
// just written, and the save waits for the step started before the last
// one: the disk works while the next blocks are gathered, the dirty pages of
// the save stay few (about two steps), and the final fsync has little left
// to do.
class SaveWriter {
 public:
  static constexpr int64_t kBlock = int64_t{1} << 20;
  static constexpr int64_t kWriteBackStep = int64_t{32} << 20;

  SaveWriter(int fd, int64_t total) : fd_(fd), block_(std::min(std::max<int64_t>(total, 1), kBlock)) {
    buffer_.reset(new unsigned char[static_cast<size_t>(block_)]);
  }

  unsigned char *buffer() const { return buffer_.get(); }
  int64_t block() const { return block_; }
  int64_t written() const { return written_; }

  // Writes `n` bytes of the buffer; false (errno set) when they cannot all be
  // written.
  bool write_block(int64_t n) {
    const unsigned char *bytes = buffer_.get();
    while (n > 0) {
      const ssize_t w = io::write(fd_, bytes, static_cast<size_t>(n));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        if (w == 0) errno = EIO;
        return false;
      }
      bytes += w;
      n -= w;
      written_ += w;
    }
    if (written_ - started_ >= kWriteBackStep) start_write_back();
    return true;
  }

 private:
  // Starts writing [started_, written_) and waits for what was started two
  // steps ago, so that about two steps are on their way to the disk at any
  // time.  Write-back is a hint: a file system that does not support it is
  // simply written at the final fsync.
  void start_write_back() {
    ::sync_file_range(fd_, started_, written_ - started_, SYNC_FILE_RANGE_WRITE);
    if (previous_ > waited_) {
      ::sync_file_range(fd_, waited_, previous_ - waited_,
                        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
      waited_ = previous_;
    }
    previous_ = started_;
    started_ = written_;
  }

  int fd_;
  int64_t block_;
  std::unique_ptr<unsigned char[]> buffer_;
  int64_t written_ = 0;
  int64_t started_ = 0;  // write-back has been started up to here
  int64_t previous_ = 0;  // start of the step started before the last one
  int64_t waited_ = 0;    // write-back has finished up to here
};

// Writes the current model's data to the temporary file.  SAVE_OK, or the
// save's failure code (SAVE_ERROR_READ backing file short or unreadable,
// SAVE_ERROR_WRITE write failed, SAVE_ERROR_CANCELLED cancelled by the host).
int write_model(const vanto_model_struct &model, int fd, Progress &progress) {
  const PieceTable &pieces = model.model_segments;
  ContinuityBreak brk;
  if (!pieces.check(&brk)) abort_on_continuity_break_(model, "vanto_edit_save", brk);
  if (pieces.empty()) return progress.finish() ? SAVE_OK : SAVE_ERROR_CANCELLED;

  SaveWriter writer(fd, pieces.total_length());
  PieceCursor cursor{pieces.begin().pos(), 0};
  for (;;) {
    const PieceFill fill = read_pieces_(model, cursor, writer.buffer(), writer.block());
    if (fill.filled > 0 && !writer.write_block(fill.filled)) {
      VANTO_LOG_AS("vanto_edit_save", "write failed: " << std::strerror(errno));
      return SAVE_ERROR_WRITE;
    }
    if (!fill.ok) {
      VANTO_LOG_AS("vanto_edit_save", "vanto_util_write_segment_to_file failed");
      return SAVE_ERROR_READ;
    }
    if (fill.filled < writer.block()) break;
    if (!progress.advance(writer.written())) {
      VANTO_LOG_AS("vanto_edit_save", "save cancelled");
      return SAVE_ERROR_CANCELLED;
    }
  }
  if (!progress.finish()) {
    VANTO_LOG_AS("vanto_edit_save", "save cancelled");
    return SAVE_ERROR_CANCELLED;
  }
  return SAVE_OK;
}

// Makes the temporary file durable and closes it; SAVE_ERROR_WRITE when
// either fails.
// With `reader`, a second descriptor of the same file is kept open for the
// caller (SAVE_ERROR_WRITE when it cannot be had): the file is read again through what was
// created, never through its name.
int finish_temp_file(TempFile &temp, int *reader = nullptr) {
  if (io::fsync(temp.fd()) != 0) {
    VANTO_LOG_AS("vanto_edit_save", "fsync failed: " << std::strerror(errno));
    return SAVE_ERROR_WRITE;
  }
  int kept = -1;
  if (reader != nullptr && (kept = ::fcntl(temp.fd(), F_DUPFD_CLOEXEC, 0)) < 0) {
    VANTO_LOG_AS("vanto_edit_save", "dup failed: " << std::strerror(errno));
    return SAVE_ERROR_WRITE;
  }
  if (!temp.close_fd()) {
    VANTO_LOG_AS("vanto_edit_save", "close failed: " << std::strerror(errno));
    if (kept >= 0) ::close(kept);
    return SAVE_ERROR_WRITE;
  }
  if (reader != nullptr) *reader = kept;
  return SAVE_OK;
}

// Gives the new file behind `fd` what the file `target` it replaces has
// (`before` is its stat): owner and group where this process may set them,
// the permission bits, and the extended attributes (ACLs among them).  When
// the owner or the group cannot be kept, the setuid and setgid bits are
// dropped: a file must never become set-id for someone it was not set-id for.
// Failures are logged; none of them fails the save.
void copy_target_metadata(int fd, const std::string &target, const struct stat &before) {
  struct stat now {};
  if (::fstat(fd, &now) != 0) now = before;
  const bool owner_kept = now.st_uid == before.st_uid || ::fchown(fd, before.st_uid, static_cast<gid_t>(-1)) == 0;
  const bool group_kept = now.st_gid == before.st_gid || ::fchown(fd, static_cast<uid_t>(-1), before.st_gid) == 0;
  mode_t mode = before.st_mode & 07777;
  if (!owner_kept || !group_kept) {
    if ((mode & (S_ISUID | S_ISGID)) != 0) {
      VANTO_WARN_AS("vanto_edit_save", "owner or group of the replaced file cannot be kept; "
                                      "the setuid and setgid bits are dropped: " << target);
    }
    mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
  }
  // After the owner: a change of owner clears the set-id bits.
  if (::fchmod(fd, mode) != 0) {
    VANTO_WARN_AS("vanto_edit_save", "fchmod failed: " << std::strerror(errno));
  }

  const ssize_t listed = ::llistxattr(target.c_str(), nullptr, 0);
  if (listed <= 0) return;
  std::vector<char> names(static_cast<size_t>(listed));
  const ssize_t got = ::llistxattr(target.c_str(), names.data(), names.size());
  if (got < 0) {
    VANTO_WARN_AS("vanto_edit_save", "cannot list the extended attributes of " << target << ": "
                                                                              << std::strerror(errno));
    return;
  }
  std::vector<char> value;
  for (size_t at = 0; at < static_cast<size_t>(got);) {
    const char *name = names.data() + at;
    at += std::strlen(name) + 1;
    ssize_t size = ::lgetxattr(target.c_str(), name, nullptr, 0);
    if (size >= 0) {
      value.resize(static_cast<size_t>(size));
      size = ::lgetxattr(target.c_str(), name, value.data(), value.size());
    }
    if (size < 0 || ::fsetxattr(fd, name, value.data(), static_cast<size_t>(size), 0) != 0) {
      VANTO_WARN_AS("vanto_edit_save", "cannot copy the extended attribute " << name << ": "
                                                                           << std::strerror(errno));
    }
  }
}

// Puts the finished temporary file in place.  Overwrite mode replaces the
// destination in one rename.  Free-name mode never replaces anything: a name
// that was taken after it was chosen makes it look for the next free one.
// SAVE_OK, or SAVE_ERROR_NO_FREE_NAME / SAVE_ERROR_PLACE.
int rename_into_place(const std::string &temp_path, const char *target, bool overwrite,
                      std::string &destination) {
  int error = 0;
  if (overwrite) {
    if (io::rename(temp_path.c_str(), destination.c_str()) == 0) return SAVE_OK;
    error = errno;
  } else {
    for (int attempt = 0; attempt < kFreeNameAttempts; ++attempt) {
      if (!io::fails(io::Op::kRename) &&
          ::renameat2(AT_FDCWD, temp_path.c_str(), AT_FDCWD, destination.c_str(),
                      RENAME_NOREPLACE) == 0) {
        return SAVE_OK;
      }
      error = errno;
      if (error == EINVAL || error == ENOSYS) {
        // A file system without the no-replace rename: test, then rename.
        if (vanto_util_file_exists(destination.c_str()) != 0) {
          error = EEXIST;
        } else if (io::rename(temp_path.c_str(), destination.c_str()) == 0) {
          return SAVE_OK;
        } else {
          error = errno;
        }
      }
      if (error != EEXIST) break;
      char free_name[kPathBufferSize];
      if (vanto_util_available_filename(target, free_name) == nullptr) {
        VANTO_LOG_AS("vanto_edit_save",
                     "cannot find available filename, temp filename: " << temp_path);
        return SAVE_ERROR_NO_FREE_NAME;
      }
      // The same name again means something other than a regular file holds
      // it (a directory, say): no other name will be offered.
      if (destination == free_name) break;
      destination = free_name;
    }
  }
  VANTO_LOG_AS("vanto_edit_save", "rename failed: " << std::strerror(error)
                                                    << ", temp filename: " << temp_path);
  return SAVE_ERROR_PLACE;
}

// Makes the session read `fresh` (`length` bytes, already open) as its own
// file with an empty history (reset_to_first_model_), its viewports marked
// without hearing of it.  The host's viewport pause state is kept.
void rebase_session(vanto_session_struct &session, FILE *fresh, int64_t length,
                    const std::string &saved_path) {
  const bool host_paused = vanto_session_viewport_event_callbacks_paused(&session) != 0;
  vanto_session_pause_viewport_event_callbacks(&session);
  reset_to_first_model_(session, length, [&](vanto_model_struct &first) {
    FILE *old = first.backing_file;
    first.backing_file = fresh;
    if (old != nullptr) std::fclose(old);
    record_backing_file_(first);
    // The path the host opened keeps naming the file unless the save
    // replaced the file under another name (a second hard link); then the
    // saved name is the one that reaches the session's data.
    if (path_id(first.file_path) != stream_id(fresh)) first.file_path = saved_path;
  });
  if (!host_paused) vanto_session_resume_viewport_event_callbacks(&session);
}

// What a save knows of its target and of the file it writes, from one
// phase to the next.
struct SaveTarget {
  std::string resolved;     // the file the target names, after its links
  struct stat existing {};  // what is there now, when `exists`
  bool exists = false;
  bool replacing = false;   // an existing regular file is replaced
  bool own_file = false;    // ... and it is the session's own file
  TempFile temp;
  int reader = -1;          // with own_file: a descriptor of the written file
  std::string destination;  // where the data goes

  SaveTarget() = default;
  SaveTarget(const SaveTarget &) = delete;
  SaveTarget &operator=(const SaveTarget &) = delete;
  ~SaveTarget() {
    if (reader >= 0) ::close(reader);
  }
};

// Runs one phase of a save.  Errors the path utilities raise inside it are
// logged and reported as `code`, the phase's own failure; the temporary file,
// if any, is removed when the save returns.
template <typename Phase>
int save_phase(int code, Phase phase) {
  try {
    return phase();
  } catch (const std::exception &error) {
    VANTO_LOG_AS("vanto_edit_save", "file system error: " << error.what());
    return code;
  }
}

// Prepares the target: what is there now, and whether the save may write
// over or beside it; then the temporary file, created in the destination's
// directory.
int prepare_target(const vanto_session_struct &session, const char *target, bool overwrite,
                   SaveTarget &t) {
  t.resolved = resolve_links(target);

  // What the target (after its links) is now: one stat serves both checks.
  t.exists = ::stat(t.resolved.c_str(), &t.existing) == 0;

  // A checkpoint file belongs to the session: writing over it would change
  // data the session reads.
  if (t.exists) {
    const FileId id{t.existing.st_dev, t.existing.st_ino};
    for (size_t i = 1; i < session.models.size(); ++i) {
      if (stream_id(session.models[i]->backing_file) == id) {
        VANTO_LOG_AS("vanto_edit_save", "target is a checkpoint file of the session: " << target);
        return SAVE_ERROR_PLACE;
      }
    }
  }

  // Only regular files are replaced or saved beside: a device, a pipe or a
  // socket at the target is never turned into a regular file.  (A directory
  // fails at the rename, as it always has.)
  if (t.exists && !S_ISREG(t.existing.st_mode) && !S_ISDIR(t.existing.st_mode)) {
    VANTO_LOG_AS("vanto_edit_save", "target is not a regular file: " << target);
    return SAVE_ERROR_NOT_REGULAR;
  }
  t.replacing = overwrite && t.exists && S_ISREG(t.existing.st_mode);

  // The temporary file must be made in the destination's directory so that
  // the rename stays within one file system.  In free-name mode the new name
  // is chosen beside the target as given; otherwise the destination is the
  // file the target (possibly a link) names.
  const bool free_name_expected = !overwrite && vanto_util_file_exists(target) != 0;
  std::string dir = fs::path(free_name_expected ? std::string(target) : t.resolved).parent_path().string();
  if (dir.empty()) dir = fs::current_path().string();

  // Name check first, so that a name that cannot fit leaves nothing on disk.
  char temp_name[kPathBufferSize];
  const int formatted = std::snprintf(temp_name, sizeof temp_name, "%s%c.VantoEdit_XXXXXX",
                                      dir.c_str(), vanto_util_directory_separator());
  if (formatted < 0 || formatted >= static_cast<int>(sizeof temp_name)) {
    VANTO_LOG_AS("vanto_edit_save", "snprintf failed");
    return SAVE_ERROR_NAME_TOO_LONG;
  }

  // Created nothing is a failure only while the directory is still missing:
  // another thread or process may have made it between the two calls.
  if (vanto_util_directory_exists(dir.c_str()) == 0 &&
      vanto_util_create_directory(dir.c_str()) != 0 && vanto_util_directory_exists(dir.c_str()) == 0) {
    char normalized[kPathBufferSize];
    VANTO_LOG_AS("vanto_edit_save",
                 "failed to create directory: " << vanto_util_normalize_path(dir.c_str(), normalized));
    return SAVE_ERROR_INVALID;
  }

  // A new file gets the usual creation mode (0666 less the umask); the file
  // that replaces another stays private until it takes that file's owner
  // and mode, once its data is complete.
  return save_phase(SAVE_ERROR_CREATE, [&] {
    errno = 0;
    const int fd = make_unique_file_(temp_name, t.replacing ? 0600 : 0666);
    if (fd < 0) {
      VANTO_LOG_AS("vanto_edit_save", "mkstemp failed: " << std::strerror(errno)
                                                         << ", temp filename: " << temp_name);
      return SAVE_ERROR_CREATE;
    }
    t.temp.set_path(temp_name);
    t.temp.set_fd(fd);
    return SAVE_OK;
  });
}

// Writes the session's data into the temporary file, gives it what the file
// it replaces has, and makes it durable.  Saving over the session's own file
// keeps a descriptor of what was written, to re-base on.
int write_target(vanto_session_struct &session, SaveTarget &t) {
  Progress progress(session, session.current_model().model_segments.total_length());
  if (const int rc = write_model(session.current_model(), t.temp.fd(), progress); rc != SAVE_OK) {
    return rc;
  }
  if (t.replacing) copy_target_metadata(t.temp.fd(), t.resolved, t.existing);
  if (t.replacing) {
    const auto own = stream_id(session.first_model().backing_file);
    t.own_file = own.has_value() && *own == FileId{t.existing.st_dev, t.existing.st_ino};
  }
  return finish_temp_file(t.temp, t.own_file ? &t.reader : nullptr);
}

// Chooses where the data goes: the target (after its links), or in
// free-name mode a free name beside it.  Since nothing is removed before the
// rename, the old "target cannot be removed" failure (-7) does not arise.
int choose_destination(const char *target, bool overwrite, SaveTarget &t) {
  t.destination = t.resolved;
  if (overwrite || vanto_util_file_exists(target) == 0) return SAVE_OK;
  char free_name[kPathBufferSize];
  if (vanto_util_available_filename(target, free_name) == nullptr) {
    VANTO_LOG_AS("vanto_edit_save",
                 "cannot find available filename, temp filename: " << t.temp.path());
    t.temp.keep();
    return SAVE_ERROR_NO_FREE_NAME;
  }
  t.destination = free_name;
  return SAVE_OK;
}

// Puts the finished temporary file in place; a file that cannot be put in
// place is kept for the host.
int place_target(const char *target, bool overwrite, SaveTarget &t) {
  if (const int rc = rename_into_place(t.temp.path(), target, overwrite, t.destination); rc != SAVE_OK) {
    t.temp.keep();
    return rc;
  }
  t.temp.renamed();
  sync_directory(t.destination);
  return SAVE_OK;
}

// Re-bases a session that saved over its own file on the new file.  The old
// stream stays open until the new one is open and measured, so the session
// can go on with its previous data if that fails.
int rebase_on_target(vanto_session_struct &session, SaveTarget &t) {
  if (!t.own_file) return SAVE_OK;
  FILE *fresh = backing_stream_(t.reader);
  t.reader = -1;
  const int64_t length = fresh != nullptr ? stream_length_(fresh) : -1;
  if (length < 0) {
    VANTO_LOG_AS("vanto_edit_save", "fopen failed: " << std::strerror(errno));
    if (fresh != nullptr) std::fclose(fresh);
    return SAVE_ERROR_REBASE;
  }
  rebase_session(session, fresh, length, t.destination);
  return SAVE_OK;
}

// Writes the saved file's canonical name into `saved_path`.  The data is in
// place; a canonical name that cannot be had, or does not fit, is reported
// as an empty text, never as a shortened one (which could name another file).
void report_saved_path(const std::string &destination, char *saved_path) {
  std::error_code ec;
  const std::string canonical = fs::canonical(destination, ec).string();
  if (ec) {
    VANTO_LOG_AS("vanto_edit_save", "cannot resolve the saved file's path: " << ec.message());
  } else if (canonical.size() >= kPathBufferSize) {
    VANTO_LOG_AS("vanto_edit_save", "the saved file's path does not fit in "
                                        << kPathBufferSize - 1 << " characters: " << canonical);
  } else {
    std::memcpy(saved_path, canonical.c_str(), canonical.size() + 1);
  }
}

// With SAVE_FLAG_REFUSE_IF_CHANGED: whether any file the session's data has
// been read from changed in place since the session was given it.  The
// current model reads its unedited bytes from its own file, and each
// checkpoint's file holds data read from the files of the levels below it,
// so every level's file counts.  SAVE_ERROR_FILE_CHANGED when one did.
int check_sources_unchanged(const vanto_session_struct &session) {
  for (const auto &model : session.models) {
    const int32_t changes = backing_file_changes_in_place_(*model);
    if (changes == FILE_CHANGE_NONE) continue;
    const char *what = changes == FILE_CHANGE_SIZE    ? "its size"
                       : changes == FILE_CHANGE_MTIME ? "its modification time"
                                                      : "its size and modification time";
    VANTO_LOG_AS("vanto_edit_save", "a file the session reads has changed since it was opened ("
                                        << what << "): " << model->file_path);
    return SAVE_ERROR_FILE_CHANGED;
  }
  // Inserted files: those the data shows a part of.
  if (const SourceFile *file = changed_source_in_data_(session.current_model()); file != nullptr) {
    VANTO_LOG_AS("vanto_edit_save", "an inserted file has changed since it was opened: " << file->path);
    return SAVE_ERROR_FILE_CHANGED;
  }
  return SAVE_OK;
}

// The body of vanto_edit_save once its arguments are known to be usable: its
// phases in turn, each with its own failure code.  A complete temporary file
// that cannot be put in place is kept; any other is removed.  Refusing
// changed files, the sources are checked before anything is written and
// again once the data is written (it was read meanwhile), before it is put
// in place.
int save_session(vanto_session_struct &session, const char *target, bool overwrite,
                 bool refuse_if_changed, char *saved_path) {
  SaveTarget t;
  int rc = refuse_if_changed ? check_sources_unchanged(session) : SAVE_OK;
  if (rc == SAVE_OK) {
    rc = save_phase(SAVE_ERROR_INVALID, [&] { return prepare_target(session, target, overwrite, t); });
  }
  if (rc == SAVE_OK) rc = save_phase(SAVE_ERROR_WRITE, [&] { return write_target(session, t); });
  if (rc == SAVE_OK && refuse_if_changed) rc = check_sources_unchanged(session);
  if (rc == SAVE_OK) {
    rc = save_phase(SAVE_ERROR_NO_FREE_NAME, [&] { return choose_destination(target, overwrite, t); });
  }
  if (rc == SAVE_OK) rc = save_phase(SAVE_ERROR_PLACE, [&] { return place_target(target, overwrite, t); });
  // A raised error once the file is in place is reported as the placing's.
  if (rc == SAVE_OK) rc = save_phase(SAVE_ERROR_PLACE, [&] { return rebase_on_target(session, t); });
  if (rc == SAVE_OK && saved_path != nullptr) {
    rc = save_phase(SAVE_ERROR_PLACE, [&] {
      report_saved_path(t.destination, saved_path);
      return SAVE_OK;
    });
  }
  if (rc != SAVE_OK) {
    if (saved_path != nullptr) saved_path[0] = '\0';
    return rc;
  }
  notify_session_(session, SESSION_EVENT_SAVE, saved_path);
  return SAVE_OK;
}

}  // namespace

namespace {

// vanto_edit_create_checkpoint, with the progress of its save reported as
// `span` of a longer call.  The new level is returned through `created`.
//
// The checkpoint file is written, made durable and read back only through
// the descriptor that created it exclusively: its name is never looked up
// again, so nothing put at that name meanwhile (a link into another place, a
// file of someone else's) is written through or read as the checkpoint.
int create_checkpoint_(vanto_session_t *session, const char *checkpoint_directory, ProgressSpan span,
                       vanto_model_struct **created = nullptr) {
  if (session == nullptr || checkpoint_directory == nullptr || checkpoint_directory[0] == '\0') {
    return -1;
  }
  // The checkpoint's save sends SESSION_EVENT_SAVE before the new level
  // exists: a change made by its callback would be counted below the
  // checkpoint yet missing from its file, so none is taken until the level
  // is in place.
  FlagScope locked(*session, kFlagChangesLocked);
  char name[kPathBufferSize];
  try {
    if (vanto_util_directory_exists(checkpoint_directory) == 0 &&
        vanto_util_create_directory(checkpoint_directory) != 0) {
      VANTO_LOG_AS("vanto_edit_create_checkpoint", "failed to create checkpoint directory");
    }
    char directory[kPathBufferSize];
    if (vanto_util_normalize_path(checkpoint_directory, directory) == nullptr) {
      VANTO_LOG_AS("vanto_edit_create_checkpoint", "checkpoint directory name too long");
      return -1;
    }
    const int formatted =
        std::snprintf(name, sizeof name, "%s%c.VantoEdit-chk.%zu.XXXXXX", directory,
                      vanto_util_directory_separator(), session->models.size());
    if (formatted < 0 || formatted >= static_cast<int>(sizeof name)) {
      VANTO_LOG_AS("vanto_edit_create_checkpoint", "failed to create checkpoint filename template");
      return -1;
    }
  } catch (const std::exception &error) {
    VANTO_LOG_AS("vanto_edit_create_checkpoint", "file system error: " << error.what());
    return -1;
  }

  errno = 0;
  const int fd = make_unique_file_(name, 0600);
  if (fd < 0) {
    VANTO_LOG_AS("vanto_edit_create_checkpoint", "failed to create checkpoint file: " << std::strerror(errno) << ", " << name);
    return -1;
  }
  // A failed checkpoint leaves nothing behind.
  TempFile file;
  file.set_path(name);
  file.set_fd(fd);

  const int64_t size = vanto_session_get_computed_file_size(session);
  Progress progress(*session, size, span);
  int reader = -1;
  if (write_model(session->current_model(), fd, progress) != 0 || finish_temp_file(file, &reader) != 0) {
    VANTO_LOG_AS("vanto_edit_create_checkpoint", "failed to save checkpoint file");
    return -1;
  }
  FILE *stream = backing_stream_(reader);
  if (stream == nullptr || stream_length_(stream) != size) {
    VANTO_LOG_AS("vanto_edit_create_checkpoint", "fopen failed: " << std::strerror(errno) << ", " << name);
    if (stream != nullptr) std::fclose(stream);
    return -1;
  }
  file.renamed();  // the file is the checkpoint's now
  sync_directory(name);
  notify_session_(*session, SESSION_EVENT_SAVE, nullptr);

  session->prior_change_count = vanto_session_get_num_changes(session);
  auto model = std::make_unique<vanto_model_struct>();
  model->backing_file = stream;
  model->file_path = name;
  record_backing_file_(*model);
  session->models.push_back(std::move(model));
  reset_model_segments_(session->current_model(), size);
  if (created != nullptr) *created = &session->current_model();
  locked.release();
  notify_session_(*session, SESSION_EVENT_CREATE_CHECKPOINT, nullptr);
  return 0;
}

}  // namespace

int vanto_edit_save(vanto_session_t *session, const char *file_path, int32_t flags,
                    char *saved_file_path) {
  if (saved_file_path != nullptr) saved_file_path[0] = '\0';
  if (session == nullptr || file_path == nullptr || file_path[0] == '\0') return SAVE_ERROR_INVALID;
  if (changes_locked_(*session)) return SAVE_ERROR_INVALID;
  // Every nonzero value beside the refusal bit replaces an existing target,
  // as any nonzero value did before that bit existed.
  const bool overwrite = (flags & ~SAVE_FLAG_REFUSE_IF_CHANGED) != 0;
  const bool refuse_if_changed = (flags & SAVE_FLAG_REFUSE_IF_CHANGED) != 0;
  return save_session(*session, file_path, overwrite, refuse_if_changed, saved_file_path);
}

int vanto_edit_create_checkpoint(vanto_session_t *session, const char *checkpoint_directory) {
  if (session != nullptr && changes_locked_(*session)) return -1;
  return create_checkpoint_(session, checkpoint_directory, ProgressSpan{});
}

int vanto_edit_destroy_last_checkpoint(vanto_session_t *session) {
  if (session == nullptr || session->models.size() < 2 || changes_locked_(*session)) return -1;
  destroy_last_checkpoint_(*session);
  return 0;
}

int vanto_edit_apply_transform(vanto_session_t *session, vanto_byte_transform_t transform,
                               void *user_data, int64_t offset, int64_t length,
                               const char *checkpoint_directory) {
  if (session == nullptr || transform == nullptr || checkpoint_directory == nullptr) return -1;
  if (vanto_session_changes_paused(session) != 0 || changes_locked_(*session)) return -1;
  // From the checkpoint's events to the rewrite of its file nothing may
  // change: the rewrite works on the data of that checkpoint.
  FlagScope locked(*session, kFlagChangesLocked);
  // Progress covers both passes over the data: the checkpoint's save is the
  // first half, the rewrite of its file the second.
  const int64_t size = vanto_session_get_computed_file_size(session);
  vanto_model_struct *created = nullptr;
  if (create_checkpoint_(session, checkpoint_directory, ProgressSpan{0, 2 * size}, &created) != 0) {
    return -1;
  }

  // Only the checkpoint made above is ever rewritten.  Should the events of
  // its creation have taken it away (or put anything else in its place),
  // the transform gives up and touches no file.
  if (session->models.empty() || &session->current_model() != created || created->backing_file == nullptr) {
    VANTO_LOG("the transform's checkpoint is gone; nothing is rewritten");
    return -1;
  }
  vanto_model_struct &model = *created;
  const std::string input = model.file_path;
  const int in = ::fileno(model.backing_file);
  const int64_t checkpoint_size = stream_length_(model.backing_file);
  if (checkpoint_size != model.model_segments.total_length()) {
    VANTO_LOG("the transform's checkpoint file is not what was written; nothing is rewritten");
    return -1;
  }

  // The rewrite goes into a new file beside the checkpoint, created
  // exclusively and written only through its own descriptor; it then takes
  // the checkpoint's name.  Until that rename the untransformed checkpoint
  // stays as it is.
  std::string scratch = input + "_XXXXXX";
  errno = 0;
  const int out = make_unique_file_(scratch.data(), 0600);
  if (out < 0) {
    VANTO_LOG("cannot create the transform's file: " << std::strerror(errno) << ", " << scratch);
    return -1;
  }
  TempFile rewritten;
  rewritten.set_path(scratch);
  rewritten.set_fd(out);
  Progress rewrite(*session, size, ProgressSpan{size, 2 * size});
  if (transform_descriptors_(in, checkpoint_size, out, transform, user_data, offset, length, &rewrite) != 0) {
    return -1;
  }
  // The session goes on reading the rewritten file through a descriptor
  // kept from the one written, never through its name.
  const int reader = ::fcntl(out, F_DUPFD_CLOEXEC, 0);
  if (reader < 0 || !rewritten.close_fd()) {
    VANTO_LOG("cannot finish the transform's file: " << std::strerror(errno));
    if (reader >= 0) ::close(reader);
    return -1;
  }
  FILE *fresh = backing_stream_(reader);
  if (fresh == nullptr || stream_length_(fresh) != checkpoint_size) {
    VANTO_LOG(std::strerror(errno != 0 ? errno : EIO));
    if (fresh != nullptr) std::fclose(fresh);
    return -1;
  }
  if (io::rename(scratch.c_str(), input.c_str()) != 0) {
    VANTO_LOG(std::strerror(errno));
    std::fclose(fresh);
    return -1;
  }
  rewritten.renamed();
  FILE *old = model.backing_file;
  model.backing_file = fresh;
  if (old != nullptr) std::fclose(old);
  record_backing_file_(model);

  locked.release();
  mark_all_viewports_(*session, VIEWPORT_EVENT_TRANSFORM, SESSION_EVENT_TRANSFORM);
  return 0;
}
