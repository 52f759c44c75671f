// Durable save of a session whose data is split into many pieces, against a
// durable plain copy of the same file, in the same run.  The source holds
// 256 MiB of pseudo-random bytes, fsync'ed once when written.
//   - PlainCopy: read/write loop with a 1 MiB buffer into a new file, then
//     fsync of the output; the reference.
//   - Save/inserts: vanto_edit_save (temporary file, fsync, rename,
//     directory fsync) of a session holding `inserts` random 8-byte inserts
//     (about 2 * inserts pieces) to a new file.  The session is built before
//     the timed loop ("setup_s"); after the first save a few windows of the
//     saved file are compared with the session's data.
// Every output is removed between iterations, outside the timing.  "MB/s" is
// the bytes written per second (the saved size for Save); "vs_copy" is that
// rate over PlainCopy's rate in the same run.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

using namespace vanto_bench;
namespace fs = std::filesystem;

constexpr int64_t kFileSize = int64_t{256} << 20;
constexpr int kCopyIterations = 5;
constexpr int kSaveIterations = 3;

const SampleFile &source() {
  static const SampleFile file("piece_save_source", ".bin", [](int fd) {
    std::mt19937_64 rng(31);
    std::vector<uint64_t> block(std::size_t{1} << 17);  // 1 MiB
    for (int64_t written = 0; written < kFileSize; written += int64_t{1} << 20) {
      for (auto &word : block) word = rng();
      if (!SampleFile::write_all(fd, block.data(), block.size() * sizeof(uint64_t))) return false;
    }
    return ::fsync(fd) == 0;
  });
  return file;
}

std::string output_path(const char *what) { return temp_path(std::string("piece_save_") + what); }

void remove_file(const std::string &path) {
  std::error_code ec;
  fs::remove(path, ec);
}

double copy_rate = 0;  // bytes per second of PlainCopy in this run

void report(benchmark::State &state, int64_t bytes_per_iteration, double total_seconds) {
  const double rate =
      static_cast<double>(bytes_per_iteration) * static_cast<double>(state.iterations()) / total_seconds;
  state.counters["MB/s"] = rate / 1e6;
  if (copy_rate > 0) state.counters["vs_copy"] = rate / copy_rate;
}

bool copy_durably(const std::string &from, const std::string &to, std::vector<char> &buffer) {
  const int in = ::open(from.c_str(), O_RDONLY);
  if (in < 0) return false;
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  bool ok = out >= 0;
  ssize_t n = 0;
  while (ok && (n = ::read(in, buffer.data(), buffer.size())) > 0) {
    ok = SampleFile::write_all(out, buffer.data(), static_cast<std::size_t>(n));
  }
  if (n < 0) ok = false;
  if (out >= 0) {
    if (::fsync(out) != 0) ok = false;
    if (::close(out) != 0) ok = false;
  }
  ::close(in);
  return ok;
}

void BM_PlainCopy(benchmark::State &state) {
  if (source().path().empty()) {
    state.SkipWithError("cannot write the source file");
    return;
  }
  const std::string target = output_path("copy");
  std::vector<char> buffer(std::size_t{1} << 20);
  double total = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    const bool ok = copy_durably(source().path(), target, buffer);
    total += seconds(Clock::now() - start);
    state.PauseTiming();
    remove_file(target);
    state.ResumeTiming();
    if (!ok) {
      state.SkipWithError("copy failed");
      return;
    }
  }
  copy_rate = static_cast<double>(kFileSize) * static_cast<double>(state.iterations()) / total;
  report(state, kFileSize, total);
}

// Compares `windows` random 4 KiB windows of the file at `path` with the
// session's data, and the file's size with the session's size.
bool matches_session(const std::string &path, vanto_session_t *session, int windows) {
  const int64_t size = vanto_session_get_computed_file_size(session);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || st.st_size != size) return false;
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  constexpr int64_t kWindow = 4096;
  vanto_segment_t *segment = vanto_segment_create(kWindow);
  std::vector<char> bytes(kWindow);
  std::mt19937_64 rng(32);
  bool ok = true;
  for (int i = 0; ok && i < windows; ++i) {
    const auto offset = static_cast<int64_t>(rng() % static_cast<uint64_t>(size - kWindow + 1));
    ok = vanto_session_get_segment(session, segment, offset) == 0 && vanto_segment_get_length(segment) == kWindow &&
         ::pread(fd, bytes.data(), kWindow, offset) == kWindow &&
         std::memcmp(bytes.data(), vanto_segment_get_data(segment), kWindow) == 0;
  }
  vanto_segment_destroy(segment);
  ::close(fd);
  return ok;
}

void BM_Save(benchmark::State &state) {
  const int64_t inserts = state.range(0);
  if (source().path().empty()) {
    state.SkipWithError("cannot write the source file");
    return;
  }
  std::mt19937_64 rng(33);
  const auto setup_start = Clock::now();
  vanto_session_t *session = session_with_inserts(source().path(), inserts, rng);
  const double setup = seconds(Clock::now() - setup_start);
  if (session == nullptr) {
    state.SkipWithError("cannot set up the session");
    return;
  }
  const int64_t size = vanto_session_get_computed_file_size(session);
  const std::string target = output_path("saved");
  bool checked = false;
  double total = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    const int rc = vanto_edit_save(session, target.c_str(), SAVE_FLAG_OVERWRITE, nullptr);
    total += seconds(Clock::now() - start);
    state.PauseTiming();
    const bool ok = rc == 0 && (checked || matches_session(target, session, 64));
    checked = true;
    remove_file(target);
    state.ResumeTiming();
    if (!ok) {
      state.SkipWithError(rc == 0 ? "the saved file differs from the session" : "save failed");
      break;
    }
  }
  vanto_edit_destroy_session(session);
  state.counters["inserts"] = static_cast<double>(inserts);
  state.counters["setup_s"] = setup;
  report(state, size, total);
}

}  // namespace

// PlainCopy runs first: the others compare against its rate.
BENCHMARK(BM_PlainCopy)->Iterations(kCopyIterations)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Save)
    ->Arg(10000)->Arg(100000)->Arg(2000000)
    ->Iterations(kSaveIterations)->Unit(benchmark::kMillisecond)->UseRealTime();
