#include "clipboard.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vtool::editor {

namespace {

struct SegmentDeleter {
  void operator()(vanto_segment_t *segment) const { vanto_segment_destroy(segment); }
};

bool write_all(int fd, const unsigned char *data, int64_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, data, static_cast<std::size_t>(length));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    length -= n;
  }
  return true;
}

}  // namespace

Clipboard::~Clipboard() { drop_file(); }

void Clipboard::drop_file() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool Clipboard::copy_from(vanto_session_t *session, int64_t offset, int64_t length,
                          const std::function<bool(int64_t)> &cancel, std::string &error) {
  std::unique_ptr<vanto_segment_t, SegmentDeleter> segment(vanto_segment_create(std::min(length, kChunk)));
  if (!segment) {
    error = "out of memory";
    return false;
  }
  std::string memory;
  int fd = -1;
  if (length > kInMemory) {
    const char *tmp = std::getenv("TMPDIR");
    std::string name = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vanto-edit-clipboard-XXXXXX";
    // mkstemp creates the file exclusively (O_EXCL) with mode 0600.
    fd = ::mkstemp(name.data());
    if (fd < 0) {
      error = "scratch file in " + name.substr(0, name.rfind('/')) + ": " + std::strerror(errno);
      return false;
    }
    ::unlink(name.c_str());
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  for (int64_t done = 0; done < length;) {
    const int64_t want = std::min(length - done, kChunk);
    if (vanto_segment_get_capacity(segment.get()) != want) segment.reset(vanto_segment_create(want));
    if (!segment || vanto_session_get_segment(session, segment.get(), offset + done) != 0 ||
        vanto_segment_get_length(segment.get()) != want) {
      error = "the data could not be read";
      if (fd >= 0) ::close(fd);
      return false;
    }
    const unsigned char *data = vanto_segment_get_data(segment.get());
    if (fd >= 0) {
      if (!write_all(fd, data, want)) {
        error = std::string("scratch file: ") + std::strerror(errno);
        ::close(fd);
        return false;
      }
    } else {
      memory.append(reinterpret_cast<const char *>(data), static_cast<std::size_t>(want));
    }
    done += want;
    if (cancel && done < length && cancel(done)) {
      error = "cancelled";
      if (fd >= 0) ::close(fd);
      return false;
    }
  }
  drop_file();
  fd_ = fd;
  memory_ = std::move(memory);
  size_ = length;
  return true;
}

bool Clipboard::read(int64_t offset, int64_t length, std::string &out) const {
  out.clear();
  if (offset < 0 || offset > size_) return false;
  length = std::min(length, size_ - offset);
  if (fd_ < 0) {
    out = memory_.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(length));
    return true;
  }
  out.resize(static_cast<std::size_t>(length));
  int64_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd_, out.data() + done, static_cast<std::size_t>(length - done), offset + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += n;
  }
  return true;
}

}  // namespace vtool::editor
