// Small utilities: unique temporary files, stream-to-stream range copies,
// file and in-memory byte transforms, byte masks, bit shifts and byte-run
// comparisons.

// Stream positions must be 64-bit even where off_t defaults to 32 bits.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "vanto_edit/utility.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "impl_/file_transform.h"
#include "impl_/io.h"
#include "impl_/log.h"
#include "impl_/progress.h"

static_assert(sizeof(off_t) >= 8, "64-bit file positions are required");

namespace {

constexpr std::size_t kChunkSize = 8192;

// ---- unique names -----------------------------------------------------------

constexpr char kNameAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr uint64_t kAlphabetSize = 62;
constexpr int kNameDigits = 6;
constexpr uint64_t kNameSpace = 62ull * 62 * 62 * 62 * 62 * 62;  // 62^6 distinct names

// Step between the names of consecutive tickets.  It shares no factor with
// 62^6 (= 2^6 * 31^6), so ticket -> name is one-to-one over 62^6 tickets, and
// it is small enough that (ticket mod 62^6) * step fits in 64 bits.
constexpr uint64_t kNameStep = 123456791;
static_assert(kNameStep % 2 != 0 && kNameStep % 31 != 0, "step must be coprime with 62^6");
static_assert(kNameStep < (UINT64_MAX / kNameSpace), "step too large for 64-bit products");

// Every attempt of every thread takes its own ticket.
std::atomic<uint64_t> name_ticket{0};

uint64_t mix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Per-process starting point of the name sequence.  The process id is mixed
// in on every call, so a forked child does not repeat its parent's names.
uint64_t name_base() {
  static const uint64_t seed = mix64(
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
      reinterpret_cast<uintptr_t>(&name_ticket));
  return mix64(seed ^ static_cast<uint64_t>(static_cast<int64_t>(::getpid())));
}

void fill_name(char *digits, uint64_t ticket) {
  uint64_t v = (name_base() % kNameSpace + (ticket % kNameSpace) * kNameStep) % kNameSpace;
  for (int i = 0; i < kNameDigits; ++i) {
    digits[i] = kNameAlphabet[v % kAlphabetSize];
    v /= kAlphabetSize;
  }
}

// Byte as the signed 8-bit value it has as a plain char.
int signed_byte(char c) { return static_cast<signed char>(c); }

int folded_byte(char c) {
  const int v = signed_byte(c);
  return v >= 0 ? std::tolower(v) : v;
}

}  // namespace

namespace vanto::internal {

namespace {

// Lines of the file transform name the public function whichever way it was
// reached.
#define VANTO_TRANSFORM_LOG(message) VANTO_ERRLOG_AS("vanto_util_apply_byte_transform_to_file", message)

// The file transform moves data in blocks of this size: few system calls,
// and memory that does not depend on the size of the file.
constexpr int64_t kTransformBlock = int64_t{1} << 20;

// The output side of a transform: blocks written straight to the output
// descriptor, and the progress of the bytes handed to it.
struct TransformOutput {
  int fd;
  Progress *progress;
  int64_t done = 0;

  bool put(const unsigned char *bytes, int64_t n) {
    while (n > 0) {
      const ssize_t w = io::write(fd, bytes, static_cast<std::size_t>(n));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      bytes += w;
      n -= w;
    }
    return true;
  }
  // Counts `n` more bytes processed; false when the host cancelled.
  bool advanced(int64_t n) {
    done += n;
    return progress == nullptr || progress->advance(done);
  }
};

// Copies `length` bytes of the input from `position` to the output; false
// when they cannot all be read and written.  `cancelled` is set when the
// host cancelled.
bool copy_range(int fd, int64_t position, int64_t length, TransformOutput &out,
                unsigned char *buffer, bool &cancelled) {
  while (length > 0) {
    const int64_t n = std::min(length, kTransformBlock);
    if (io::pread_full(fd, buffer, n, position) != n || !out.put(buffer, n)) return false;
    position += n;
    length -= n;
    if (!out.advanced(n)) {
      cancelled = true;
      return false;
    }
  }
  return true;
}

// The one way a file transform gives up: the reason (when there is one),
// then the closing line.  Returns the transform's failure, -1.
int transform_failed(const char *reason) {
  if (reason != nullptr) VANTO_TRANSFORM_LOG(reason);
  VANTO_TRANSFORM_LOG("transform failed");
  return -1;
}

// Whether `length` bytes at `offset` (length 0: to the end) lie inside
// `size` bytes; sets `length` to the measured length.
bool transform_range_fits(int64_t size, int64_t offset, int64_t &length) {
  // A negative offset is refused below; measuring from it could overflow.
  if (length == 0 && offset >= 0) length = size - offset;
  // Written so that no sum can overflow: offset + length <= size.
  return offset >= 0 && length >= 1 && offset < size && length <= size - offset;
}

}  // namespace

int transform_descriptors_(int in, int64_t size, int out_fd, vanto_byte_transform_t transform,
                           void *user_data, int64_t offset, int64_t length, Progress *progress) {
  if (transform == nullptr || in < 0 || out_fd < 0) return transform_failed("null path or transform");
  if (!transform_range_fits(size, offset, length)) return transform_failed("transform out of range");

  std::unique_ptr<unsigned char[]> buffer(
      new unsigned char[static_cast<std::size_t>(std::min(size, kTransformBlock))]);
  TransformOutput out{out_fd, progress};
  bool cancelled = false;
  auto give_up = [&](const char *reason) {
    return transform_failed(cancelled ? "transform cancelled" : reason);
  };

  if (!copy_range(in, 0, offset, out, buffer.get(), cancelled)) {
    return give_up("failed to write first segment bytes to file");
  }

  // The range, block by block: each byte goes through the callback once, in
  // order, and nothing else is done per byte.
  int64_t position = offset;
  int64_t remaining = length;
  while (remaining > 0) {
    const int64_t n = std::min(remaining, kTransformBlock);
    unsigned char *bytes = buffer.get();
    if (io::pread_full(in, bytes, n, position) != n) {
      VANTO_TRANSFORM_LOG("failed to read buffer");
      break;
    }
    for (int64_t i = 0; i < n; ++i) bytes[i] = transform(bytes[i], user_data);
    if (!out.put(bytes, n)) {
      VANTO_TRANSFORM_LOG("failed to write buffer");
      break;
    }
    position += n;
    remaining -= n;
    if (!out.advanced(n)) {
      cancelled = true;
      break;
    }
  }
  if (remaining > 0 || cancelled) {
    return give_up(cancelled ? nullptr : "there are remaining bytes");
  }

  const int64_t range_end = offset + length;
  if (!copy_range(in, range_end, size - range_end, out, buffer.get(), cancelled)) {
    return give_up("failed to write last segment");
  }
  if (progress != nullptr && !progress->finish()) {
    cancelled = true;
    return give_up(nullptr);
  }
  return 0;
}

int transform_file_(const char *input_path, const char *output_path, vanto_byte_transform_t transform,
                    void *user_data, int64_t offset, int64_t length, Progress *progress) {
  if (input_path == nullptr || output_path == nullptr || transform == nullptr) {
    return transform_failed("null path or transform");
  }

  const int in = io::open(input_path, O_RDONLY | O_CLOEXEC);
  if (in < 0) return transform_failed("failed to open input file");
  auto fail = [&](const char *reason) {
    const int rc = transform_failed(reason);
    ::close(in);
    return rc;
  };
  const off_t end = ::lseek(in, 0, SEEK_END);
  if (end < 0) return fail("failed to find the input size");
  const int64_t size = static_cast<int64_t>(end);

  // Opening the output for writing truncates it, so it must not be the input.
  struct stat input_stat {};
  struct stat output_stat {};
  if (::fstat(in, &input_stat) == 0 && ::stat(output_path, &output_stat) == 0 &&
      input_stat.st_dev == output_stat.st_dev && input_stat.st_ino == output_stat.st_ino) {
    return fail("output is the input file");
  }
  int64_t measured = length;
  if (!transform_range_fits(size, offset, measured)) return fail("transform out of range");

  const int out = io::open(output_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (out < 0) return fail("failed to open output file");
  if (transform_descriptors_(in, size, out, transform, user_data, offset, length, progress) != 0) {
    ::close(out);
    std::remove(output_path);
    ::close(in);
    return -1;
  }
  // Write errors a file system reports late arrive at the close.
  if (io::close(out) != 0) {
    std::remove(output_path);
    return fail("failed to close output file");
  }
  ::close(in);
  return 0;
}

#undef VANTO_TRANSFORM_LOG

}  // namespace vanto::internal

int vanto::internal::make_unique_file_(char *template_name, mode_t mode) {
  const std::size_t len = template_name != nullptr ? std::strlen(template_name) : 0;
  if (len < kNameDigits || std::strspn(template_name + len - kNameDigits, "X") != kNameDigits) {
    errno = EINVAL;
    return -1;
  }
  char *const digits = template_name + len - kNameDigits;
  const int saved_errno = errno;
  for (int attempt = 0; attempt < INT_MAX; ++attempt) {
    fill_name(digits, name_ticket.fetch_add(1, std::memory_order_relaxed));
    const int fd = vanto::internal::io::open(template_name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) {
      errno = saved_errno;
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  errno = EEXIST;
  return -1;
}

extern "C" {

int vanto_util_mkstemp(char *template_name) {
  return vanto::internal::make_unique_file_(template_name, 0600);
}

int64_t vanto_util_write_segment_to_file(FILE *source, int64_t offset, int64_t length,
                                         FILE *destination) {
  if (source == nullptr || destination == nullptr || length < 0) return -1;
  if (fseeko(source, static_cast<off_t>(offset), SEEK_SET) != 0) return -1;
  unsigned char buffer[kChunkSize];
  int64_t remaining = length;
  while (remaining > 0) {
    const std::size_t n =
        remaining < static_cast<int64_t>(kChunkSize) ? static_cast<std::size_t>(remaining) : kChunkSize;
    if (std::fread(buffer, 1, n, source) != n) break;
    if (std::fwrite(buffer, 1, n, destination) != n) break;
    remaining -= static_cast<int64_t>(n);
  }
  return length - remaining;
}

int vanto_util_apply_byte_transform_to_file(const char *input_path, const char *output_path,
                                            vanto_byte_transform_t transform, void *user_data,
                                            int64_t offset, int64_t length) {
  return vanto::internal::transform_file_(input_path, output_path, transform, user_data, offset,
                                          length, nullptr);
}

void vanto_util_apply_byte_transform(unsigned char *buffer, int64_t length,
                                     vanto_byte_transform_t transform, void *user_data) {
  if (buffer == nullptr || transform == nullptr) return;
  for (int64_t i = 0; i < length; ++i) buffer[i] = transform(buffer[i], user_data);
}

void vanto_util_set_log_cbk(vanto_log_cbk_t cbk, void *user_data) {
  vanto::internal::set_log_sink_(cbk, user_data);
}

unsigned char vanto_util_translate_byte(unsigned char byte, void *table) {
  return table != nullptr ? static_cast<const unsigned char *>(table)[byte] : byte;
}

unsigned char vanto_util_mask_byte(unsigned char byte, unsigned char mask, int32_t mask_kind) {
  switch (mask_kind) {
    case MASK_AND:
      return static_cast<unsigned char>(byte & mask);
    case MASK_OR:
      return static_cast<unsigned char>(byte | mask);
    case MASK_XOR:
      return static_cast<unsigned char>(byte ^ mask);
    default:
      VANTO_ERRLOG("unhandled mask kind");
      return byte;
  }
}

int vanto_util_left_shift_buffer(unsigned char *buffer, int64_t length, uint8_t shift) {
  if (shift < 1 || shift > 7) return -1;
  if (buffer == nullptr || length <= 0) return 0;
  // Walk from the last byte down; carry holds the top bits of the byte
  // after the current one, as it was before the call.
  unsigned carry = 0;
  for (int64_t i = length - 1; i >= 0; --i) {
    const unsigned original = buffer[i];
    buffer[i] = static_cast<unsigned char>(((original << shift) | carry) & 0xFFu);
    carry = original >> (8 - shift);
  }
  return 0;
}

int vanto_util_right_shift_buffer(unsigned char *buffer, int64_t length, uint8_t shift) {
  if (shift < 1 || shift > 7) return -1;
  if (buffer == nullptr || length <= 0) return 0;
  // Same walk; carry holds the low bits of the following byte, moved to the top.
  unsigned carry = 0;
  for (int64_t i = length - 1; i >= 0; --i) {
    const unsigned original = buffer[i];
    buffer[i] = static_cast<unsigned char>((original >> shift) | carry);
    carry = (original << (8 - shift)) & 0xFFu;
  }
  return 0;
}

int vanto_util_strncmp(const char *first, const char *second, uint64_t count) {
  if (first == nullptr || second == nullptr) return 0;
  for (uint64_t i = 0; i < count; ++i) {
    const int a = signed_byte(first[i]);
    const int b = signed_byte(second[i]);
    if (a != b) return a - b;
  }
  return 0;
}

int vanto_util_strnicmp(const char *first, const char *second, uint64_t count) {
  if (first == nullptr || second == nullptr) return 0;
  for (uint64_t i = 0; i < count; ++i) {
    const int a = folded_byte(first[i]);
    const int b = folded_byte(second[i]);
    if (a != b) return a - b;
  }
  return 0;
}

}  // extern "C"
