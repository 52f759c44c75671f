// Support shared by the benchmark programs: a sample file in the temporary
// directory that lives as long as the process, random edits, medians and
// resident memory.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <vanto_edit.h>

namespace vanto_bench {

using Clock = std::chrono::steady_clock;

// A path "vanto_bench_<stem>_<pid><ext>" in the temporary directory (TMPDIR).
inline std::string temp_path(std::string_view stem, std::string_view ext = ".bin") {
  std::string name = "vanto_bench_";
  name.append(stem);
  name += '_';
  name += std::to_string(::getpid());
  name.append(ext);
  return (std::filesystem::temp_directory_path() / name).string();
}

// A file in the temporary directory, written by the constructor and removed
// by the destructor.  path() is empty when it could not be written whole.
class SampleFile {
 public:
  enum class Content {
    kSparse,  // a hole of `size` bytes: nothing is written, reads give zeros
    kRandom,  // pseudo-random bytes from `seed`
  };

  // Writes the file through `write`, given the open descriptor; a false
  // return drops the file.
  SampleFile(std::string_view stem, std::string_view ext, const std::function<bool(int fd)> &write)
      : path_(temp_path(stem, ext)) {
    const int fd = ::open(path_.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    bool ok = fd >= 0 && write(fd);
    // Durable before any benchmark runs: the save benchmarks must not meet
    // the sample's dirty pages.
    if (ok && ::fsync(fd) != 0) ok = false;
    if (fd >= 0 && ::close(fd) != 0) ok = false;
    if (!ok) {
      std::remove(path_.c_str());
      path_.clear();
    }
  }

  SampleFile(std::string_view stem, int64_t size, Content content, uint64_t seed = 1)
      : SampleFile(stem, ".bin", [&](int fd) {
          if (content == Content::kSparse) return ::ftruncate(fd, size) == 0;
          std::mt19937_64 rng(seed);
          std::vector<uint64_t> block(std::size_t{1} << 17);  // 1 MiB
          for (int64_t written = 0; written < size;) {
            for (auto &word : block) word = rng();
            const auto want = static_cast<std::size_t>(
                std::min<int64_t>(size - written, static_cast<int64_t>(block.size() * sizeof(uint64_t))));
            if (!write_all(fd, block.data(), want)) return false;
            written += static_cast<int64_t>(want);
          }
          return true;
        }) {}

  ~SampleFile() {
    if (!path_.empty()) std::remove(path_.c_str());
  }
  SampleFile(const SampleFile &) = delete;
  SampleFile &operator=(const SampleFile &) = delete;

  const std::string &path() const { return path_; }

  // Writes all `size` bytes at the descriptor's position.
  static bool write_all(int fd, const void *data, std::size_t size) {
    const auto *p = static_cast<const char *>(data);
    while (size > 0) {
      const ssize_t n = ::write(fd, p, size);
      if (n <= 0) return false;
      p += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }

 private:
  std::string path_;
};

inline double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

inline double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

inline double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

// Resident memory of the process in bytes.
inline int64_t resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  int64_t size = 0;
  int64_t resident = 0;
  statm >> size >> resident;
  return resident * ::sysconf(_SC_PAGESIZE);
}

// Inserts 8 bytes at a random offset of the edited data (the end included).
inline bool insert_random(vanto_session_t *session, std::mt19937_64 &rng) {
  const int64_t size = vanto_session_get_computed_file_size(session);
  return vanto_edit_insert_bytes(session, static_cast<int64_t>(rng() % static_cast<uint64_t>(size + 1)),
                                 reinterpret_cast<const unsigned char *>("8 bytes!"), 8) > 0;
}

// A session on `path` with `inserts` random 8-byte inserts (each one splits a
// piece: about two pieces more); null when the file cannot be opened or an
// insert fails.
inline vanto_session_t *session_with_inserts(const std::string &path, int64_t inserts, std::mt19937_64 &rng) {
  vanto_session_t *session = vanto_edit_create_session(path.c_str(), nullptr, nullptr, 0);
  if (session == nullptr) return nullptr;
  for (int64_t i = 0; i < inserts; ++i) {
    if (!insert_random(session, rng)) {
      vanto_edit_destroy_session(session);
      return nullptr;
    }
  }
  return session;
}

}  // namespace vanto_bench
