// A whole editing session on a 256 MiB file, phase by phase, each phase
// beside a reference measured in the same run:
//   - open: vanto_edit_create_session on the file;
//   - edits: 10,000 random inserts, deletes and overwrites of 1 to 16 bytes
//     at random offsets of the data as it is at that moment;
//   - reads: 1,000 reads of 64 KiB at random offsets through a segment,
//     against a loop of 1,000 preads of 64 KiB of the file at the same
//     offsets;
//   - save: vanto_edit_save to a new file (durable: the save fsyncs), against
//     /bin/cp of the file to a new file (not synced) and a durable copy loop
//     (1 MiB read/write, then fsync).
// The file is in the page cache (it is read once before the phases).  All
// files are removed at the end.  Counters: times of each phase and its
// reference, and the ratios reads/pread and save/cp.  One iteration per
// repetition: run with --benchmark_repetitions to see the spread.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <vanto_edit.h>

#include "bench_support.h"

namespace {

namespace fs = std::filesystem;

constexpr int64_t kFileSize = int64_t{256} << 20;
constexpr int kEdits = 10000;
constexpr int kReads = 1000;
constexpr int64_t kReadSize = 64 << 10;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class WorkDir {
 public:
  WorkDir() : dir_(fs::temp_directory_path() / ("vanto_bench_workload_" + std::to_string(::getpid()))) {
    fs::create_directories(dir_);
  }
  ~WorkDir() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  const std::string &source() const { return source_.path(); }
  std::string file(const char *name) const { return (dir_ / name).string(); }

 private:
  fs::path dir_;
  vanto_bench::SampleFile source_{"workload", kFileSize, vanto_bench::SampleFile::Content::kRandom};
};

const WorkDir &work() {
  static const WorkDir dir;
  return dir;
}

// Reads the whole file so that it sits in the page cache.
void warm(const std::string &path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::vector<char> buffer(1 << 20);
  while (::read(fd, buffer.data(), buffer.size()) > 0) {
  }
  ::close(fd);
}

void remove_file(const std::string &path) {
  std::error_code ec;
  fs::remove(path, ec);
}

void BM_Workload(benchmark::State &state) {
  const std::string source = work().source();
  const std::string saved = work().file("saved.bin");
  const std::string copied = work().file("copied.bin");
  std::mt19937_64 rng(42);
  for (auto _ : state) {
    warm(source);

    // open
    auto start = Clock::now();
    vanto_session_t *session = vanto_edit_create_session(source.c_str(), nullptr, nullptr, 0);
    const double open_s = seconds_since(start);
    if (session == nullptr) {
      state.SkipWithError("cannot open the file");
      break;
    }

    // edits: random numbers drawn before the clock starts
    std::vector<uint64_t> draws(3 * kEdits);
    for (auto &d : draws) d = rng();
    int64_t size = kFileSize;
    start = Clock::now();
    for (int i = 0; i < kEdits; ++i) {
      const int64_t n = 1 + static_cast<int64_t>(draws[3 * i] % 16);
      const int kind = static_cast<int>(draws[3 * i + 1] % 3);
      if (kind == 0) {
        const int64_t at = static_cast<int64_t>(draws[3 * i + 2] % static_cast<uint64_t>(size + 1));
        vanto_edit_insert(session, at, "0123456789abcdef", n);
        size += n;
      } else {
        const int64_t at = static_cast<int64_t>(draws[3 * i + 2] % static_cast<uint64_t>(size - n));
        if (kind == 1) {
          vanto_edit_delete(session, at, n);
          size -= n;
        } else {
          vanto_edit_overwrite(session, at, "fedcba9876543210", n);
        }
      }
    }
    const double edits_s = seconds_since(start);
    if (vanto_session_get_computed_file_size(session) != size) state.SkipWithError("sizes disagree");

    // reads, and the pread loop at the same offsets
    std::vector<int64_t> offsets(kReads);
    for (auto &o : offsets) o = static_cast<int64_t>(rng() % static_cast<uint64_t>(std::min(size, kFileSize) - kReadSize));
    vanto_segment_t *segment = vanto_segment_create(kReadSize);
    int64_t read_bytes = 0;
    start = Clock::now();
    for (const int64_t o : offsets) {
      vanto_session_get_segment(session, segment, o);
      read_bytes += vanto_segment_get_length(segment);
      benchmark::DoNotOptimize(vanto_segment_get_data(segment));
    }
    const double reads_s = seconds_since(start);
    vanto_segment_destroy(segment);
    if (read_bytes != kReads * kReadSize) state.SkipWithError("short reads");

    std::vector<unsigned char> buffer(static_cast<size_t>(kReadSize));
    const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    int64_t pread_bytes = 0;
    start = Clock::now();
    for (const int64_t o : offsets) {
      pread_bytes += ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(o));
      benchmark::DoNotOptimize(buffer.data());
    }
    const double pread_s = seconds_since(start);
    ::close(fd);
    if (pread_bytes != kReads * kReadSize) state.SkipWithError("short preads");

    // save, then the two copies of the source
    start = Clock::now();
    const int rc = vanto_edit_save(session, saved.c_str(), SAVE_FLAG_OVERWRITE, nullptr);
    const double save_s = seconds_since(start);
    if (rc != 0) state.SkipWithError("save failed");
    vanto_edit_destroy_session(session);
    remove_file(saved);

    const std::string cp = "/bin/cp '" + source + "' '" + copied + "'";
    start = Clock::now();
    const int cp_rc = std::system(cp.c_str());
    const double cp_s = seconds_since(start);
    if (cp_rc != 0) state.SkipWithError("cp failed");
    remove_file(copied);

    start = Clock::now();
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open(copied.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    std::vector<char> block(1 << 20);
    ssize_t got = 0;
    while ((got = ::read(in, block.data(), block.size())) > 0) {
      if (::write(out, block.data(), static_cast<size_t>(got)) != got) break;
    }
    ::fsync(out);
    ::close(out);
    ::close(in);
    const double durable_copy_s = seconds_since(start);
    remove_file(copied);

    state.SetIterationTime(open_s + edits_s + reads_s + save_s);
    state.counters["open_ms"] = open_s * 1e3;
    state.counters["edits_s"] = edits_s;
    state.counters["reads_ms"] = reads_s * 1e3;
    state.counters["pread_ms"] = pread_s * 1e3;
    state.counters["reads_vs_pread"] = reads_s / pread_s;
    state.counters["save_s"] = save_s;
    state.counters["cp_s"] = cp_s;
    state.counters["save_vs_cp"] = save_s / cp_s;
    state.counters["durable_copy_s"] = durable_copy_s;
    state.counters["save_vs_durable_copy"] = save_s / durable_copy_s;
  }
}
BENCHMARK(BM_Workload)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
