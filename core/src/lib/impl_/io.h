// The library's file I/O primitives, behind one seam.
//
// Every read of a backing file and every write, flush, sync, close and
// rename that save, checkpoints and transforms do goes through these
// functions.  In the shipped library they are the plain system calls.  Test
// builds (VANTO_FAULT_INJECTION) can install a hook that makes chosen calls
// fail with a chosen errno, so that every failure path can be driven in
// turn on any machine.
#ifndef VANTO_EDIT_IMPL_IO_H
#define VANTO_EDIT_IMPL_IO_H

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace vanto::internal::io {

// The kinds of call a fault can be injected into.
enum class Op {
  kRead,      // reading a backing or source file
  kWrite,     // writing data to an output file
  kFlush,     // flushing an output stream
  kSync,      // fsync of an output file
  kClose,     // closing an output file
  kRename,    // putting a finished file in place
  kSyncDir,   // fsync of the directory after a rename
  kOpen,      // opening or creating a file
};

#ifdef VANTO_FAULT_INJECTION
// Returns 0 to let the call go ahead, or an errno value to make it fail.
using FaultHook = int (*)(Op op);
void set_fault_hook(FaultHook hook);
int injected_fault(Op op);
#else
inline int injected_fault(Op) { return 0; }
#endif

// Returns true (with errno set) when a fault is injected into this call.
inline bool fails(Op op) {
  const int err = injected_fault(op);
  if (err == 0) return false;
  errno = err;
  return true;
}

inline int open(const char *path, int flags, mode_t mode = 0) {
  return fails(Op::kOpen) ? -1 : ::open(path, flags, mode);
}
inline FILE *fopen(const char *path, const char *mode) {
  return fails(Op::kOpen) ? nullptr : std::fopen(path, mode);
}
inline ssize_t pread(int fd, void *buf, size_t n, off_t offset) {
  return fails(Op::kRead) ? -1 : ::pread(fd, buf, n, offset);
}
inline size_t fread(void *buf, size_t size, size_t n, FILE *stream) {
  return fails(Op::kRead) ? 0 : std::fread(buf, size, n, stream);
}
inline ssize_t write(int fd, const void *buf, size_t n) {
  return fails(Op::kWrite) ? -1 : ::write(fd, buf, n);
}
inline size_t fwrite(const void *buf, size_t size, size_t n, FILE *stream) {
  return fails(Op::kWrite) ? 0 : std::fwrite(buf, size, n, stream);
}
inline int fflush(FILE *stream) { return fails(Op::kFlush) ? EOF : std::fflush(stream); }
inline int fsync(int fd) { return fails(Op::kSync) ? -1 : ::fsync(fd); }
inline int fsync_dir(int fd) { return fails(Op::kSyncDir) ? -1 : ::fsync(fd); }
// A failed close still releases the stream, as fclose does.
inline int fclose(FILE *stream) {
  if (fails(Op::kClose)) {
    const int err = errno;
    std::fclose(stream);
    errno = err;
    return EOF;
  }
  return std::fclose(stream);
}
inline int close(int fd) {
  if (fails(Op::kClose)) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  return ::close(fd);
}
inline int rename(const char *from, const char *to) {
  return fails(Op::kRename) ? -1 : std::rename(from, to);
}

// Reads up to `size` bytes at `position` through pread, again after an
// interruption; returns how many arrived before the end of the file or an
// error.
int64_t pread_full(int fd, unsigned char *out, int64_t size, int64_t position);

}  // namespace vanto::internal::io

#endif  // VANTO_EDIT_IMPL_IO_H
