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
// The counter "per_edit" is the time of one edit.
#include <benchmark/benchmark.h>

#include <unistd.h>

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

namespace {

constexpr int64_t kFileSize = int64_t{64} << 20;
constexpr int64_t kViewportCapacity = VANTO_VIEWPORT_CAPACITY_LIMIT;

class SampleFile {
 public:
  SampleFile() {
    path_ = (std::filesystem::temp_directory_path() /
             ("vanto_bench_edit_" + std::to_string(::getpid()) + ".bin"))
                .string();
    std::vector<char> bytes(static_cast<size_t>(kFileSize));
    std::mt19937_64 rng(42);
    for (size_t i = 0; i < bytes.size(); i += 8) {
      const uint64_t v = rng();
      for (size_t k = 0; k < 8; ++k) bytes[i + k] = static_cast<char>(v >> (8 * k));
    }
    std::ofstream(path_, std::ios::binary).write(bytes.data(), kFileSize);
  }
  ~SampleFile() { std::remove(path_.c_str()); }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

const SampleFile &sample() {
  static const SampleFile file;
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

void piece_counts(benchmark::internal::Benchmark *b) {
  b->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_Overwrite)->Apply(piece_counts);
BENCHMARK(BM_InsertDelete)->Apply(piece_counts);
BENCHMARK(BM_ViewportRefill)->Apply(piece_counts);

}  // namespace
