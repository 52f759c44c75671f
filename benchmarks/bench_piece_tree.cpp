// The cost of edits and history at piece counts from 10^3 to 10^7, on a
// 256 MiB file (sparse: only the model is exercised, never its bytes).
//   - RandomInsert: 8 bytes inserted at a random offset (each insert splits
//     a piece: two pieces more).  The session is built with (pieces - 1) / 2
//     such inserts (not timed); then batches of 64 inserts are timed and
//     "median_us" is the median over the batches of one insert.
//   - UndoRedo: at 2 * 10^6 changes, the undo of the last change and its
//     redo ("undo_us", "redo_us": medians over the iterations).
//   - Memory: resident memory growth over 2 * 10^6 random 8-byte inserts,
//     per insert ("bytes_per_insert"; the 8 bytes are what it must hold).
//   - Destroy: destroying a session of about `pieces` pieces.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

#include "bench_support.h"

namespace {

using namespace vanto_bench;

constexpr int64_t kFileSize = int64_t{256} << 20;

const SampleFile &sample() {
  static const SampleFile file("piece_tree", kFileSize, SampleFile::Content::kSparse);
  return file;
}

vanto_session_t *session_with_inserts(int64_t inserts, std::mt19937_64 &rng) {
  return vanto_bench::session_with_inserts(sample().path(), inserts, rng);
}

void BM_RandomInsert(benchmark::State &state) {
  const int64_t pieces = state.range(0);
  std::mt19937_64 rng(11);
  vanto_session_t *session = session_with_inserts((pieces - 1) / 2, rng);
  if (session == nullptr) {
    state.SkipWithError("cannot set up the session");
    return;
  }
  constexpr int kBatch = 64;
  std::vector<double> per_insert;
  for (auto _ : state) {
    const auto start = Clock::now();
    for (int i = 0; i < kBatch; ++i) {
      if (!insert_random(session, rng)) state.SkipWithError("insert failed");
    }
    const auto took = Clock::now() - start;
    state.SetIterationTime(std::chrono::duration<double>(took).count());
    per_insert.push_back(micros(took) / kBatch);
  }
  state.counters["pieces"] = static_cast<double>(pieces);
  state.counters["median_us"] = median(per_insert);
  vanto_edit_destroy_session(session);
}
BENCHMARK(BM_RandomInsert)
    ->Arg(1000)->Arg(10000)->Arg(100000)->Arg(1000000)->Arg(4000000)->Arg(10000000)
    ->Iterations(200)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_UndoRedo(benchmark::State &state) {
  const int64_t changes = state.range(0);
  std::mt19937_64 rng(12);
  vanto_session_t *session = session_with_inserts(changes, rng);
  if (session == nullptr) {
    state.SkipWithError("cannot set up the session");
    return;
  }
  std::vector<double> undo_us;
  std::vector<double> redo_us;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    const bool undone = vanto_edit_undo_last_change(session) == -changes;
    const auto t1 = Clock::now();
    const bool redone = vanto_edit_redo_last_undo(session) == changes;
    const auto t2 = Clock::now();
    if (!undone || !redone) state.SkipWithError("undo or redo failed");
    undo_us.push_back(micros(t1 - t0));
    redo_us.push_back(micros(t2 - t1));
    state.SetIterationTime(std::chrono::duration<double>(t2 - t0).count());
  }
  // One insert at the same level, for reference.
  std::vector<double> insert_us;
  for (int i = 0; i < 200; ++i) {
    const auto t0 = Clock::now();
    insert_random(session, rng);
    insert_us.push_back(micros(Clock::now() - t0));
  }
  state.counters["changes"] = static_cast<double>(changes);
  state.counters["undo_us"] = median(undo_us);
  state.counters["redo_us"] = median(redo_us);
  state.counters["insert_us"] = median(insert_us);
  vanto_edit_destroy_session(session);
}
BENCHMARK(BM_UndoRedo)->Arg(2000000)->Iterations(1000)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_Memory(benchmark::State &state) {
  const int64_t inserts = state.range(0);
  for (auto _ : state) {
    std::mt19937_64 rng(13);
    vanto_session_t *session = vanto_edit_create_session(sample().path().c_str(), nullptr, nullptr, 0);
    if (session == nullptr) {
      state.SkipWithError("cannot open the sample file");
      break;
    }
    const int64_t before = resident_bytes();
    for (int64_t i = 0; i < inserts; ++i) insert_random(session, rng);
    const int64_t after = resident_bytes();
    state.counters["bytes_per_insert"] = static_cast<double>(after - before) / static_cast<double>(inserts);
    vanto_edit_destroy_session(session);
  }
}
BENCHMARK(BM_Memory)->Arg(2000000)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Destroy(benchmark::State &state) {
  const int64_t pieces = state.range(0);
  for (auto _ : state) {
    state.PauseTiming();
    std::mt19937_64 rng(14);
    vanto_session_t *session = session_with_inserts((pieces - 1) / 2, rng);
    state.ResumeTiming();
    if (session == nullptr) {
      state.SkipWithError("cannot set up the session");
      break;
    }
    vanto_edit_destroy_session(session);
  }
  state.counters["pieces"] = static_cast<double>(pieces);
}
BENCHMARK(BM_Destroy)->Arg(1000000)->Arg(10000000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
