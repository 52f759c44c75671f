#include "log_route.h"

#include <cstdio>
#include <iostream>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace vtool::editor {

LogRoute::LogRoute() {
  saved_clog_ = std::clog.rdbuf(&clog_buffer_);
  // A file, not a pipe: a writer can never block on it, however much is logged.
  capture_fd_ = ::memfd_create("vanto-edit-editor-log", MFD_CLOEXEC);
  if (capture_fd_ >= 0) {
    std::fflush(stderr);
    saved_stderr_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    ::dup2(capture_fd_, STDERR_FILENO);
  }
}

LogRoute::~LogRoute() {
  std::clog.rdbuf(saved_clog_);
  if (saved_stderr_ >= 0) {
    std::fflush(stderr);
    ::dup2(saved_stderr_, STDERR_FILENO);
    ::close(saved_stderr_);
  }
  if (capture_fd_ >= 0) ::close(capture_fd_);
}

std::vector<std::string> LogRoute::take_lines() {
  pending_ += clog_buffer_.str();
  clog_buffer_.str(std::string());
  if (capture_fd_ >= 0) {
    std::fflush(stderr);
    char buffer[4096];
    if (::lseek(capture_fd_, 0, SEEK_SET) == 0) {
      ssize_t n;
      while ((n = ::read(capture_fd_, buffer, sizeof buffer)) > 0) pending_.append(buffer, static_cast<std::size_t>(n));
    }
    if (::ftruncate(capture_fd_, 0) == 0) ::lseek(capture_fd_, 0, SEEK_SET);
  }
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  for (std::string::size_type end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
    if (end > start) lines.push_back(pending_.substr(start, end - start));
  }
  pending_.erase(0, start);
  return lines;
}

}  // namespace vtool::editor
