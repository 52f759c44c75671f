// Throughput of writing a 1 GiB session to disk, against a plain file copy.
//
//   - PlainCopy: read/write loop with a 1 MiB buffer, then fsync: what the
//     disk and the page cache allow; the reference for the others.
//   - Save/10 and Save/10000: vanto_edit_save of a session on the 1 GiB file
//     with 10 or 10^4 small edits (overwrites, inserts and deletes of 16 bytes
//     spread over the file) to a new file.
//   - Checkpoint: vanto_edit_create_checkpoint of the unedited session.
//   - Transform: vanto_edit_apply_transform over the whole data (a checkpoint
//     save plus a rewrite of the checkpoint file).
//
// Files go to the system temporary directory (TMPDIR) and are removed.  Each
// timed iteration writes at least 1 GiB and fsyncs it, so the counts are kept
// small.  "MB/s" counts the bytes of data written once; "vs_copy" is that
// rate over PlainCopy's rate measured in the same run.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <vanto_edit.h>

#include "bench_support.h"

namespace {

namespace fs = std::filesystem;

constexpr int64_t kFileSize = int64_t{1} << 30;
constexpr int kIterations = 3;

fs::path work_dir() {
  static const fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / ("vanto_bench_save_" + std::to_string(::getpid()));
    fs::create_directories(d);
    return d;
  }();
  return dir;
}

// The 1 GiB source file, written once per process and removed at exit with
// the work directory.
struct SourceFile : vanto_bench::SampleFile {
  SourceFile() : SampleFile("save", kFileSize, Content::kRandom) {}
  ~SourceFile() {
    std::error_code ec;
    fs::remove_all(work_dir(), ec);
  }
};

const SourceFile &source() {
  static const SourceFile file;
  return file;
}

double copy_rate = 0;  // bytes per second of PlainCopy in this run

void report(benchmark::State &state, int64_t bytes_per_iteration, double seconds) {
  const double rate = static_cast<double>(bytes_per_iteration) * static_cast<double>(state.iterations()) / seconds;
  state.counters["MB/s"] = rate / 1e6;
  if (copy_rate > 0) state.counters["vs_copy"] = rate / copy_rate;
}

void remove_file(const std::string &path) {
  std::error_code ec;
  fs::remove(path, ec);
}

void BM_PlainCopy(benchmark::State &state) {
  source();  // the 1 GiB file is made here, outside the timed loop
  const std::string target = (work_dir() / "copy.bin").string();
  std::vector<char> buffer(1 << 20);
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const int in = ::open(source().path().c_str(), O_RDONLY);
    const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ssize_t n = 0;
    while ((n = ::read(in, buffer.data(), buffer.size())) > 0) {
      if (::write(out, buffer.data(), static_cast<size_t>(n)) != n) {
        state.SkipWithError("write failed");
        break;
      }
    }
    ::fsync(out);
    ::close(out);
    ::close(in);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.PauseTiming();
    remove_file(target);
    state.ResumeTiming();
  }
  copy_rate = static_cast<double>(kFileSize) * static_cast<double>(state.iterations()) / seconds;
  report(state, kFileSize, seconds);
}

// n edits of 16 bytes spread over the file, last offset first so that each
// lands where it was aimed.
void apply_edits(vanto_session_t *session, int64_t n) {
  const int64_t step = kFileSize / (n + 1);
  const char bytes[17] = "0123456789abcdef";
  for (int64_t i = n; i >= 1; --i) {
    const int64_t offset = i * step;
    switch (i % 3) {
      case 0: vanto_edit_overwrite(session, offset, bytes, 16); break;
      case 1: vanto_edit_insert(session, offset, bytes, 16); break;
      default: vanto_edit_delete(session, offset, 16); break;
    }
  }
}

void BM_Save(benchmark::State &state) {
  const int64_t edits = state.range(0);
  vanto_session_t *session = vanto_edit_create_session(source().path().c_str(), nullptr, nullptr, 0);
  apply_edits(session, edits);
  const int64_t size = vanto_session_get_computed_file_size(session);
  const std::string target = (work_dir() / "saved.bin").string();
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (vanto_edit_save(session, target.c_str(), SAVE_FLAG_OVERWRITE, nullptr) != 0) {
      state.SkipWithError("save failed");
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.PauseTiming();
    remove_file(target);
    state.ResumeTiming();
  }
  vanto_edit_destroy_session(session);
  report(state, size, seconds);
}

void BM_Checkpoint(benchmark::State &state) {
  vanto_session_t *session = vanto_edit_create_session(source().path().c_str(), nullptr, nullptr, 0);
  const std::string dir = (work_dir() / "checkpoints").string();
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (vanto_edit_create_checkpoint(session, dir.c_str()) != 0) state.SkipWithError("checkpoint failed");
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.PauseTiming();
    vanto_edit_destroy_last_checkpoint(session);
    state.ResumeTiming();
  }
  vanto_edit_destroy_session(session);
  report(state, kFileSize, seconds);
}

unsigned char invert(unsigned char byte, void *) { return static_cast<unsigned char>(~byte); }

void BM_Transform(benchmark::State &state) {
  vanto_session_t *session = vanto_edit_create_session(source().path().c_str(), nullptr, nullptr, 0);
  const std::string dir = (work_dir() / "checkpoints").string();
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (vanto_edit_apply_transform(session, invert, nullptr, 0, 0, dir.c_str()) != 0) {
      state.SkipWithError("transform failed");
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.PauseTiming();
    vanto_edit_destroy_last_checkpoint(session);
    state.ResumeTiming();
  }
  vanto_edit_destroy_session(session);
  report(state, kFileSize, seconds);
}

}  // namespace

// PlainCopy runs first: the others compare against its rate.
BENCHMARK(BM_PlainCopy)->Iterations(kIterations)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Save)->Arg(10)->Arg(10000)->Iterations(kIterations)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Checkpoint)->Iterations(kIterations)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Transform)->Iterations(kIterations)->Unit(benchmark::kMillisecond)->UseRealTime();
