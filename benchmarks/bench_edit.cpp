// Cost of single small edits and of a 1 MiB viewport refill on a 64 MiB file
// whose model holds about 10^3, 10^4 and 10^5 pieces.
//
// Each model is prepared once: n one-byte inserts at distinct offsets spread
// over the file give 2n + 1 pieces.  The inserts go in descending order, so
// each lands at its original offset and, at the end, the i-th smallest sits
// at its original offset + i: the timed edits use these known places so that
// the piece count stays where it was prepared.
//   - Overwrite: one byte over one of the one-byte pieces (the old piece is
//     removed, a new one takes its place).
//   - InsertDelete: one byte inserted at the start of a one-byte piece (a
//     piece boundary, no split) and deleted again; two edits per iteration.
//   - ViewportRefill: a 1 MiB viewport in the middle of the data, marked by
//     an overwrite inside it (not timed) and refilled (timed).
//   - RandomInsert: 8 bytes inserted at a random offset (splitting a piece),
//     at 10^3 to 10^6 pieces.  Timed in batches of 64 inserts; "median_us" is
//     the median over the batches of the time of one insert.  Each insert adds
//     two pieces, so the session is built anew (not timed) before the count
//     has grown by a fifth.
//   - SegmentRead / Pread: 1 MiB at a random offset through a segment of the
//     session with 10^5 pieces, against a 1 MiB pread of the same file at a
//     random offset.  The file is in the page cache.
// The counter "per_edit" is the time of one edit.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <vanto_edit.h>

#include "bench_support.h"

namespace {

constexpr int64_t kFileSize = int64_t{64} << 20;
constexpr int64_t kViewportCapacity = VANTO_VIEWPORT_CAPACITY_LIMIT;

// The same pseudo-random bytes on every run (seed 42).
const vanto_bench::SampleFile &sample() {
  static const vanto_bench::SampleFile file("edit", kFileSize, vanto_bench::SampleFile::Content::kRandom, 42);
  return file;
}

// A session whose model holds about `pieces` pieces, and the offsets at
// which its one-byte pieces start (ascending).
struct Prepared {
  vanto_session_t *session = nullptr;
  std::vector<int64_t> one_byte_pieces;
  ~Prepared() { vanto_edit_destroy_session(session); }
};

Prepared &prepared(int64_t pieces) {
  static std::map<int64_t, std::unique_ptr<Prepared>> cache;
  auto &slot = cache[pieces];
  if (slot) return *slot;
  slot = std::make_unique<Prepared>();
  Prepared &p = *slot;
  p.session = vanto_edit_create_session(sample().path().c_str(), nullptr, nullptr, 0);
  if (p.session == nullptr) return p;

  // n distinct offsets inside the file, away from its ends and from each other.
  const int64_t n = (pieces - 1) / 2;
  const int64_t stride = kFileSize / (n + 1);
  std::mt19937_64 rng(static_cast<uint64_t>(pieces));
  std::vector<int64_t> offsets;
  for (int64_t i = 1; i <= n; ++i) {
    offsets.push_back(i * stride + static_cast<int64_t>(rng() % static_cast<uint64_t>(stride / 2)));
  }
  for (auto it = offsets.rbegin(); it != offsets.rend(); ++it) {
    vanto_edit_insert(p.session, *it, "+", 1);
  }
  for (int64_t i = 0; i < n; ++i) {
    p.one_byte_pieces.push_back(offsets[static_cast<size_t>(i)] + i);
  }
  return p;
}

Prepared *setup(benchmark::State &state) {
  Prepared &p = prepared(state.range(0));
  if (p.session == nullptr) {
    state.SkipWithError("cannot open the sample file");
    return nullptr;
  }
  state.counters["pieces"] = static_cast<double>(2 * p.one_byte_pieces.size() + 1);
  return &p;
}

void per_edit_counter(benchmark::State &state, int edits_per_iteration) {
  state.counters["per_edit"] =
      benchmark::Counter(edits_per_iteration,
                         benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Overwrite(benchmark::State &state) {
  Prepared *p = setup(state);
  if (p == nullptr) return;
  std::mt19937_64 rng(1);
  const auto count = p->one_byte_pieces.size();
  for (auto _ : state) {
    const int64_t at = p->one_byte_pieces[rng() % count];
    benchmark::DoNotOptimize(vanto_edit_overwrite(p->session, at, "o", 1));
  }
  per_edit_counter(state, 1);
}

void BM_InsertDelete(benchmark::State &state) {
  Prepared *p = setup(state);
  if (p == nullptr) return;
  std::mt19937_64 rng(2);
  const auto count = p->one_byte_pieces.size();
  for (auto _ : state) {
    const int64_t at = p->one_byte_pieces[rng() % count];
    benchmark::DoNotOptimize(vanto_edit_insert(p->session, at, "i", 1));
    benchmark::DoNotOptimize(vanto_edit_delete(p->session, at, 1));
  }
  per_edit_counter(state, 2);
}

void BM_ViewportRefill(benchmark::State &state) {
  Prepared *p = setup(state);
  if (p == nullptr) return;
  const int64_t start = vanto_session_get_computed_file_size(p->session) / 2;
  vanto_viewport_t *viewport =
      vanto_edit_create_viewport(p->session, start, kViewportCapacity, 0, nullptr, nullptr, 0);
  // A one-byte piece inside the window: overwriting it marks the viewport
  // without changing the piece count.
  const auto inside = std::lower_bound(p->one_byte_pieces.begin(), p->one_byte_pieces.end(), start);
  if (inside == p->one_byte_pieces.end() || *inside >= start + kViewportCapacity) {
    state.SkipWithError("no one-byte piece inside the window");
    vanto_edit_destroy_viewport(viewport);
    return;
  }
  int64_t bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    vanto_edit_overwrite(p->session, *inside, "v", 1);
    state.ResumeTiming();
    const unsigned char *data = vanto_viewport_get_data(viewport);
    benchmark::DoNotOptimize(data);
    bytes += vanto_viewport_get_length(viewport);
  }
  if (bytes != state.iterations() * kViewportCapacity) state.SkipWithError("short refill");
  state.SetBytesProcessed(bytes);
  vanto_edit_destroy_viewport(viewport);
}

// A session of about `pieces` pieces built by random one-byte inserts.
vanto_session_t *random_session(int64_t pieces, uint64_t seed) {
  vanto_session_t *session = vanto_edit_create_session(sample().path().c_str(), nullptr, nullptr, 0);
  if (session == nullptr) return nullptr;
  std::mt19937_64 rng(seed);
  for (int64_t i = 0; i < (pieces - 1) / 2; ++i) {
    const int64_t size = vanto_session_get_computed_file_size(session);
    vanto_edit_insert(session, static_cast<int64_t>(rng() % static_cast<uint64_t>(size)), "+", 1);
  }
  return session;
}

void BM_RandomInsert(benchmark::State &state) {
  const int64_t pieces = state.range(0);
  constexpr int kBatch = 64;
  const int64_t rebuild_after = std::max<int64_t>(pieces / 10 / kBatch, 1);  // batches
  vanto_session_t *session = random_session(pieces, 9);
  if (session == nullptr) {
    state.SkipWithError("cannot open the sample file");
    return;
  }
  std::mt19937_64 rng(10);
  std::vector<double> batch_us;
  int64_t batches = 0;
  for (auto _ : state) {
    if (batches == rebuild_after) {
      vanto_edit_destroy_session(session);
      session = random_session(pieces, 9 + static_cast<uint64_t>(batch_us.size()));
      batches = 0;
    }
    int64_t offsets[kBatch];
    const int64_t size = vanto_session_get_computed_file_size(session);
    for (auto &offset : offsets) offset = static_cast<int64_t>(rng() % static_cast<uint64_t>(size));
    const auto start = std::chrono::steady_clock::now();
    for (const int64_t offset : offsets) {
      benchmark::DoNotOptimize(vanto_edit_insert(session, offset, "01234567", 8));
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds / kBatch);
    batch_us.push_back(seconds * 1e6 / kBatch);
    ++batches;
  }
  std::sort(batch_us.begin(), batch_us.end());
  if (!batch_us.empty()) state.counters["median_us"] = batch_us[batch_us.size() / 2];
  state.counters["pieces"] = static_cast<double>(pieces);
  vanto_edit_destroy_session(session);
}

// Random offsets, each with 1 MiB of data after it.
std::vector<int64_t> read_offsets(int64_t size) {
  std::mt19937_64 rng(4);
  std::vector<int64_t> offsets(256);
  for (auto &offset : offsets) offset = static_cast<int64_t>(rng() % static_cast<uint64_t>(size - kViewportCapacity));
  return offsets;
}

void BM_SegmentRead(benchmark::State &state) {
  Prepared *p = setup(state);
  if (p == nullptr) return;
  vanto_segment_t *segment = vanto_segment_create(kViewportCapacity);
  const std::vector<int64_t> offsets = read_offsets(vanto_session_get_computed_file_size(p->session));
  size_t next = 0;
  int64_t bytes = 0;
  for (auto _ : state) {
    if (vanto_session_get_segment(p->session, segment, offsets[next++ % offsets.size()]) != 0) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(vanto_segment_get_data(segment));
    bytes += vanto_segment_get_length(segment);
  }
  if (bytes != state.iterations() * kViewportCapacity) state.SkipWithError("short read");
  state.SetBytesProcessed(bytes);
  vanto_segment_destroy(segment);
}

void BM_Pread(benchmark::State &state) {
  const int fd = ::open(sample().path().c_str(), O_RDONLY | O_CLOEXEC);
  std::vector<unsigned char> buffer(static_cast<size_t>(kViewportCapacity) + 1);
  const std::vector<int64_t> offsets = read_offsets(kFileSize);
  size_t next = 0;
  int64_t bytes = 0;
  for (auto _ : state) {
    const ssize_t n = ::pread(fd, buffer.data(), static_cast<size_t>(kViewportCapacity),
                              static_cast<off_t>(offsets[next++ % offsets.size()]));
    benchmark::DoNotOptimize(buffer.data());
    bytes += n;
  }
  if (bytes != state.iterations() * kViewportCapacity) state.SkipWithError("short read");
  state.SetBytesProcessed(bytes);
  ::close(fd);
}

void piece_counts(benchmark::internal::Benchmark *b) {
  b->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_Overwrite)->Apply(piece_counts);
BENCHMARK(BM_InsertDelete)->Apply(piece_counts);
BENCHMARK(BM_ViewportRefill)->Apply(piece_counts);
BENCHMARK(BM_RandomInsert)
    ->Arg(1000)->Arg(10000)->Arg(100000)->Arg(1000000)
    ->Iterations(400)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SegmentRead)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Pread)->Unit(benchmark::kMicrosecond);

}  // namespace
