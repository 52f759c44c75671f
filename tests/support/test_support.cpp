#include "test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <unistd.h>

namespace vanto::test {

ScratchDir::ScratchDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "vanto-test-XXXXXX").string();
  char *made = ::mkdtemp(tmpl.data());
  if (made == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = made;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) ADD_FAILURE() << "cannot write " << path;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return {};
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string random_bytes(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::string s(n, '\0');
  for (auto &c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

}  // namespace vanto::test
