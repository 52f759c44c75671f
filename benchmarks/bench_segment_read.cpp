// Sequential reading of a whole file through a session and one segment, for
// several segment capacities. Reports bytes per second.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "bench_support.h"

namespace {

using vanto_bench::SampleFile;

constexpr std::int64_t kFileSize = 16 << 20;

// A file of pseudo-random bytes in the temporary directory, removed at exit.
const SampleFile &sample() {
  static const SampleFile file("read", kFileSize, SampleFile::Content::kRandom, 42);
  return file;
}

void BM_SequentialRead(benchmark::State &state) {
  const std::int64_t capacity = state.range(0);
  vanto_session_t *session = vanto_edit_create_session(sample().path().c_str(), nullptr, nullptr, 0);
  if (session == nullptr) {
    state.SkipWithError("cannot open the sample file");
    return;
  }
  vanto_segment_t *segment = vanto_segment_create(capacity);
  for (auto _ : state) {
    std::int64_t total = 0;
    for (std::int64_t offset = 0; offset < kFileSize; offset += capacity) {
      if (vanto_session_get_segment(session, segment, offset) != 0) break;
      total += vanto_segment_get_length(segment);
      benchmark::DoNotOptimize(vanto_segment_get_data(segment));
    }
    if (total != kFileSize) {
      state.SkipWithError("the file was not read completely");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * kFileSize);
  vanto_segment_destroy(segment);
  vanto_edit_destroy_session(session);
}
BENCHMARK(BM_SequentialRead)->Arg(4 << 10)->Arg(64 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

}  // namespace
