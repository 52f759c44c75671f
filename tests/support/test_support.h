// Small helpers shared by the test executables: scratch directories, files
// with known content, a capture of the library's log, and reading a whole session back through segments.
#ifndef VANTO_TEST_SUPPORT_H
#define VANTO_TEST_SUPPORT_H

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>

namespace vanto::test {

// A fresh directory under the system temporary directory, removed with
// everything in it when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;

  const std::filesystem::path &path() const { return path_; }
  // Path of a file name inside the directory, as text.
  std::string file(const std::string &name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Captures what the library writes to its log stream (std::clog) for one
// scope.
class LogCapture {
 public:
  LogCapture() : old_(std::clog.rdbuf(out_.rdbuf())) {}
  ~LogCapture() { std::clog.rdbuf(old_); }
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;
  std::string text() const { return out_.str(); }

 private:
  std::ostringstream out_;
  std::streambuf *old_;
};

// Writes bytes to a file, replacing it.
void write_file(const std::string &path, const std::string &bytes);
// Reads a whole file; fails the current test if it cannot be read.
std::string read_file(const std::string &path);
// Deterministic pseudo-random bytes.
std::string random_bytes(std::size_t n, std::uint64_t seed);

}  // namespace vanto::test

#endif  // VANTO_TEST_SUPPORT_H
