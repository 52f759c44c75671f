// Path and file utilities on top of std::filesystem.
//
// File-system errors are deliberately not caught here: they reach the caller
// as std::filesystem::filesystem_error (see filesystem.h for the cases).

#include "vanto_edit/filesystem.h"

#include <fcntl.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "impl_/log.h"

namespace fs = std::filesystem;
using vanto::internal::log_error_line_;
using vanto::internal::source_base_name;

namespace {

constexpr std::size_t kBufferSize = VANTO_PATH_BUFFER_SIZE;
constexpr std::size_t kMaxPathText = kBufferSize - 1;

// One static result buffer per path function, used only when the caller
// passes no buffer of its own.
char current_dir_buffer[kBufferSize];
char dirname_buffer[kBufferSize];
char basename_buffer[kBufferSize];
char extension_buffer[kBufferSize];
char normalize_buffer[kBufferSize];
char available_buffer[kBufferSize];

// Copies text into a result buffer, cutting it to 259 bytes plus the zero.
char *write_result(std::string_view text, char *buffer) {
  const std::size_t n = text.size() < kMaxPathText ? text.size() : kMaxPathText;
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return buffer;
}

// Copies text that must fit whole; a text that would need cutting gives null.
char *write_whole(std::string_view text, char *buffer) {
  if (text.size() > kMaxPathText) return nullptr;
  return write_result(text, buffer);
}

bool regular_file_at(const fs::path &p) { return fs::is_regular_file(fs::status(p)); }

}  // namespace

extern "C" {

char *vanto_util_get_current_dir(char *buffer) {
  return write_result(fs::current_path().string(), buffer ? buffer : current_dir_buffer);
}

char *vanto_util_dirname(const char *path, char *buffer) {
  if (path == nullptr) return nullptr;
  return write_result(fs::path(path).parent_path().string(), buffer ? buffer : dirname_buffer);
}

char *vanto_util_basename(const char *path, char *buffer, int drop_suffix) {
  if (path == nullptr) return nullptr;
  const fs::path p(path);
  const fs::path part = drop_suffix ? p.stem() : p.filename();
  return write_result(part.string(), buffer ? buffer : basename_buffer);
}

char *vanto_util_file_extension(const char *path, char *buffer) {
  if (path == nullptr) return nullptr;
  return write_result(fs::path(path).extension().string(), buffer ? buffer : extension_buffer);
}

char *vanto_util_normalize_path(const char *path, char *buffer) {
  if (path == nullptr) return nullptr;
  const fs::path resolved = fs::absolute(fs::canonical(fs::path(path)));
  char *const out = buffer ? buffer : normalize_buffer;
  // A shortened name could be another file's: one that does not fit is not
  // written at all.
  if (write_whole(resolved.string(), out) == nullptr) {
    out[0] = '\0';
    return nullptr;
  }
  return out;
}

char *vanto_util_available_filename(const char *path, char *buffer) {
  if (path == nullptr) return nullptr;
  char *const out = buffer ? buffer : available_buffer;
  const fs::path original(path);
  if (!regular_file_at(original)) return write_whole(path, out);

  // Decompose into local strings so that no static result buffer is touched.
  const fs::path parent = original.parent_path();
  const std::string stem = original.stem().string();
  const std::string extension = original.extension().string();

  for (int n = 1; n <= 999; ++n) {
    const fs::path candidate = parent / (stem + '-' + std::to_string(n) + extension);
    const std::string text = candidate.string();
    // Candidates only grow with n, so once one does not fit none will.
    if (text.size() > kMaxPathText) return nullptr;
    if (!regular_file_at(candidate)) return write_whole(text, out);
  }
  return nullptr;
}

int vanto_util_file_exists(const char *path) {
  if (path == nullptr) return 0;
  return regular_file_at(fs::path(path)) ? 1 : 0;
}

int vanto_util_directory_exists(const char *path) {
  if (path == nullptr) return 0;
  return fs::is_directory(fs::status(fs::path(path))) ? 1 : 0;
}

int vanto_util_paths_equivalent(const char *first, const char *second) {
  if (first == nullptr || second == nullptr) return 0;
  return fs::equivalent(fs::path(first), fs::path(second)) ? 1 : 0;
}

int vanto_util_create_directory(const char *path) {
  if (path == nullptr) return -1;
  return fs::create_directories(fs::path(path)) ? 0 : 1;
}

int vanto_util_remove_file(const char *path) {
  if (path == nullptr) return -1;
  return fs::remove(fs::path(path)) ? 0 : 1;
}

int vanto_util_remove_directory(const char *path) { return vanto_util_remove_file(path); }

int64_t vanto_util_file_size(const char *path) {
  if (path == nullptr) return 0;
  return static_cast<int64_t>(fs::file_size(fs::path(path)));
}

int vanto_util_touch(const char *path, int create) {
  if (path == nullptr) return -1;
  const int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
  const int fd = ::open(path, flags, 0644);
  if (fd < 0) {
    if (!create && errno == ENOENT) return 0;
    log_error_line_(source_base_name(__FILE__), __LINE__, "vanto_util_touch", errno);
    return -1;
  }
  ::close(fd);
  if (::utime(path, nullptr) != 0) {
    const int error = errno;
    log_error_line_(source_base_name(__FILE__), __LINE__, "vanto_util_utime_", error);
    log_error_line_(source_base_name(__FILE__), __LINE__, "vanto_util_touch", error);
    errno = error;
    return -1;
  }
  return 0;
}

char vanto_util_directory_separator(void) {
#ifdef _WIN32
  return '\\';
#else
  return '/';
#endif
}

}  // extern "C"
