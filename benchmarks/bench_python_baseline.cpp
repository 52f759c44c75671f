// The C side of benchmarks/python_overhead.py: the calls the Python package
// makes, timed without Python, on the file named by VANTO_PY_BENCH_FILE
// (written by that script; without it every benchmark is skipped).
//   - InsertDelete: a one-byte insert and its delete at one offset (two edits
//     per iteration; the piece count stays the same after the first).
//   - Read1MiB: 1 MiB through a segment at offsets stepping through the file.
//   - SearchLoop: every non-overlapping occurrence of VANTO_PY_BENCH_PATTERN
//     through one search context, next_match after next_match.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <vanto_edit.h>

namespace {

const char *bench_file() { return std::getenv("VANTO_PY_BENCH_FILE"); }

vanto_session_t *open_session(benchmark::State &state) {
  const char *path = bench_file();
  if (path == nullptr) {
    state.SkipWithError("VANTO_PY_BENCH_FILE is not set (run benchmarks/python_overhead.py)");
    return nullptr;
  }
  vanto_session_t *session = vanto_edit_create_session(path, nullptr, nullptr, 0);
  if (session == nullptr) state.SkipWithError("cannot open VANTO_PY_BENCH_FILE");
  return session;
}

void BM_InsertDelete(benchmark::State &state) {
  vanto_session_t *session = open_session(state);
  if (session == nullptr) return;
  for (auto _ : state) {
    benchmark::DoNotOptimize(vanto_edit_insert_bytes(session, 4096, reinterpret_cast<const unsigned char *>("i"), 1));
    benchmark::DoNotOptimize(vanto_edit_delete(session, 4096, 1));
  }
  state.counters["per_edit"] =
      benchmark::Counter(2, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  vanto_edit_destroy_session(session);
}
BENCHMARK(BM_InsertDelete);

void BM_Read1MiB(benchmark::State &state) {
  vanto_session_t *session = open_session(state);
  if (session == nullptr) return;
  constexpr int64_t kRead = int64_t{1} << 20;
  const int64_t span = vanto_session_get_computed_file_size(session) - kRead;
  vanto_segment_t *segment = vanto_segment_create(kRead);
  int64_t offset = 0;
  for (auto _ : state) {
    offset = (offset + 7 * kRead + 4093) % span;  // the same walk as the Python side
    if (vanto_session_get_segment(session, segment, offset) != 0 ||
        vanto_segment_get_length(segment) != kRead) {
      state.SkipWithError("short read");
      break;
    }
    benchmark::DoNotOptimize(vanto_segment_get_data(segment));
  }
  state.SetBytesProcessed(state.iterations() * kRead);
  vanto_segment_destroy(segment);
  vanto_edit_destroy_session(session);
}
BENCHMARK(BM_Read1MiB);

void BM_SearchLoop(benchmark::State &state) {
  vanto_session_t *session = open_session(state);
  if (session == nullptr) return;
  const char *pattern = std::getenv("VANTO_PY_BENCH_PATTERN");
  const std::string needle = pattern != nullptr ? pattern : "NEEDLE42";
  const auto length = static_cast<int64_t>(needle.size());
  int64_t matches = 0;
  for (auto _ : state) {
    vanto_search_context_t *context = vanto_search_create_context_bytes(
        session, reinterpret_cast<const unsigned char *>(needle.data()), length, 0, 0, 0);
    matches = 0;
    while (vanto_search_next_match(context, length) == 1) {
      benchmark::DoNotOptimize(vanto_search_context_get_offset(context));
      ++matches;
    }
    vanto_search_destroy_context(context);
  }
  state.counters["matches"] = static_cast<double>(matches);
  vanto_edit_destroy_session(session);
}
BENCHMARK(BM_SearchLoop)->Unit(benchmark::kMillisecond);

}  // namespace
