// Reading 1 MiB at a random offset through a segment, with the data split
// into many pieces, against a plain pread of 1 MiB of the same file, in the
// same run.  The file holds 256 MiB of pseudo-random bytes and is read whole
// once before any timing, so both sides read from the page cache.
//   - Pread: pread of 1 MiB at a random offset into a buffer; the reference.
//   - SegmentRead/pieces: vanto_session_get_segment of a 1 MiB segment at a
//     random offset of a session holding (pieces - 1) / 2 random 8-byte
//     inserts (an insert adds about two pieces).  The session is built once
//     per piece count and kept for the repetitions of that count
//     ("setup_s" is what building it took).
// "median_us" is the median time of one 1 MiB read; "vs_pread" is that
// median over Pread's median in the same run.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <vector>

#include "bench_support.h"

namespace {

using namespace vanto_bench;

constexpr int64_t kFileSize = int64_t{256} << 20;
constexpr int64_t kRead = int64_t{1} << 20;

// The sample file, read whole once so that every later read hits the cache.
const SampleFile &sample() {
  static const SampleFile file("piece_read", kFileSize, SampleFile::Content::kRandom, 21);
  static const bool warmed = [] {
    const int fd = ::open(file.path().c_str(), O_RDONLY);
    if (fd < 0) return false;
    std::vector<char> buffer(static_cast<std::size_t>(kRead));
    while (::read(fd, buffer.data(), buffer.size()) > 0) {
    }
    ::close(fd);
    return true;
  }();
  (void)warmed;
  return file;
}

double pread_median_us = 0;  // Pread's median in this run

// pread of `size` bytes at `offset`, looping on short reads.
bool pread_all(int fd, char *buffer, int64_t size, int64_t offset) {
  while (size > 0) {
    const ssize_t n = ::pread(fd, buffer, static_cast<std::size_t>(size), offset);
    if (n <= 0) return false;
    buffer += n;
    size -= n;
    offset += n;
  }
  return true;
}

void BM_Pread(benchmark::State &state) {
  if (sample().path().empty()) {
    state.SkipWithError("cannot write the sample file");
    return;
  }
  const int fd = ::open(sample().path().c_str(), O_RDONLY);
  if (fd < 0) {
    state.SkipWithError("cannot open the sample file");
    return;
  }
  std::vector<char> buffer(static_cast<std::size_t>(kRead));
  std::mt19937_64 rng(22);
  std::vector<double> took;
  for (auto _ : state) {
    const auto offset = static_cast<int64_t>(rng() % static_cast<uint64_t>(kFileSize - kRead + 1));
    const auto start = Clock::now();
    const bool ok = pread_all(fd, buffer.data(), kRead, offset);
    took.push_back(micros(Clock::now() - start));
    benchmark::DoNotOptimize(buffer.data());
    if (!ok) {
      state.SkipWithError("pread failed");
      break;
    }
  }
  ::close(fd);
  pread_median_us = median(took);
  state.SetBytesProcessed(state.iterations() * kRead);
  state.counters["median_us"] = pread_median_us;
}

// The session of the current piece count, kept between the runs of one
// count and replaced (the old one destroyed first) for the next.
struct CachedSession {
  int64_t inserts = -1;
  vanto_session_t *session = nullptr;
  double setup_seconds = 0;

  ~CachedSession() { vanto_edit_destroy_session(session); }

  vanto_session_t *get(int64_t wanted) {
    if (wanted == inserts) return session;
    vanto_edit_destroy_session(session);
    session = nullptr;
    inserts = wanted;
    std::mt19937_64 rng(23);
    const auto start = Clock::now();
    session = session_with_inserts(sample().path(), wanted, rng);
    setup_seconds = seconds(Clock::now() - start);
    return session;
  }
};

CachedSession cached;

void BM_SegmentRead(benchmark::State &state) {
  const int64_t pieces = state.range(0);
  const int64_t inserts = (pieces - 1) / 2;
  if (sample().path().empty()) {
    state.SkipWithError("cannot write the sample file");
    return;
  }
  vanto_session_t *session = cached.get(inserts);
  if (session == nullptr) {
    state.SkipWithError("cannot set up the session");
    return;
  }
  const int64_t size = vanto_session_get_computed_file_size(session);
  vanto_segment_t *segment = vanto_segment_create(kRead);
  std::mt19937_64 rng(24);
  std::vector<double> took;
  for (auto _ : state) {
    const auto offset = static_cast<int64_t>(rng() % static_cast<uint64_t>(size - kRead + 1));
    const auto start = Clock::now();
    const int rc = vanto_session_get_segment(session, segment, offset);
    took.push_back(micros(Clock::now() - start));
    benchmark::DoNotOptimize(vanto_segment_get_data(segment));
    if (rc != 0 || vanto_segment_get_length(segment) != kRead) {
      state.SkipWithError("the segment was not filled");
      break;
    }
  }
  vanto_segment_destroy(segment);
  const double median_us = median(took);
  state.SetBytesProcessed(state.iterations() * kRead);
  state.counters["pieces"] = static_cast<double>(pieces);
  state.counters["inserts"] = static_cast<double>(inserts);
  state.counters["setup_s"] = cached.setup_seconds;
  state.counters["median_us"] = median_us;
  if (pread_median_us > 0) state.counters["vs_pread"] = median_us / pread_median_us;
}

}  // namespace

// Pread runs first: the others compare against its median.
BENCHMARK(BM_Pread)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SegmentRead)
    ->Arg(1000)->Arg(10000)->Arg(100000)->Arg(1000000)->Arg(4000000)
    ->Unit(benchmark::kMicrosecond)->UseRealTime();
