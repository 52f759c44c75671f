// Undo and redo of the last change with 10^2, 10^3 and 10^4 changes at the
// current level.  An undo puts back the pieces the change replaced; a redo
// is one model update.
//
// The session is a 1 MiB file with N small inserts at pseudo-random offsets,
// each a transaction of its own.  An undo iteration times one undo and then
// (untimed) redoes it, so every iteration starts from the same N changes; a
// redo iteration does the opposite.  The pause around the untimed half adds
// a fraction of a microsecond to each timed figure.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include <vanto_edit.h>

#include "bench_support.h"

namespace {

constexpr std::int64_t kFileSize = 1 << 20;

// The same pseudo-random bytes on every run (seed 42).
const vanto_bench::SampleFile &sample() {
  static const vanto_bench::SampleFile file("history", kFileSize, vanto_bench::SampleFile::Content::kRandom, 42);
  return file;
}

// A session on the sample file with `count` inserts of 4 bytes at
// pseudo-random offsets; null when it cannot be set up.
vanto_session_t *session_with_changes(std::int64_t count) {
  vanto_session_t *session = vanto_edit_create_session(sample().path().c_str(), nullptr, nullptr, 0);
  if (session == nullptr) return nullptr;
  std::mt19937_64 rng(7);
  for (std::int64_t i = 0; i < count; ++i) {
    const std::int64_t size = vanto_session_get_computed_file_size(session);
    const auto offset = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(size + 1));
    if (vanto_edit_insert(session, offset, "abcd", 4) != i + 1) {
      vanto_edit_destroy_session(session);
      return nullptr;
    }
  }
  return session;
}

void BM_UndoLastChange(benchmark::State &state) {
  const std::int64_t count = state.range(0);
  vanto_session_t *session = session_with_changes(count);
  if (session == nullptr) {
    state.SkipWithError("cannot set up the session");
    return;
  }
  for (auto _ : state) {
    if (vanto_edit_undo_last_change(session) != -count) {
      state.SkipWithError("undo failed");
      break;
    }
    state.PauseTiming();
    const std::int64_t redone = vanto_edit_redo_last_undo(session);
    state.ResumeTiming();
    if (redone != count) {
      state.SkipWithError("redo failed");
      break;
    }
  }
  state.counters["changes"] = static_cast<double>(count);
  vanto_edit_destroy_session(session);
}
BENCHMARK(BM_UndoLastChange)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_RedoLastUndo(benchmark::State &state) {
  const std::int64_t count = state.range(0);
  vanto_session_t *session = session_with_changes(count);
  if (session == nullptr || vanto_edit_undo_last_change(session) != -count) {
    state.SkipWithError("cannot set up the session");
    vanto_edit_destroy_session(session);
    return;
  }
  for (auto _ : state) {
    if (vanto_edit_redo_last_undo(session) != count) {
      state.SkipWithError("redo failed");
      break;
    }
    state.PauseTiming();
    const std::int64_t undone = vanto_edit_undo_last_change(session);
    state.ResumeTiming();
    if (undone != -count) {
      state.SkipWithError("undo failed");
      break;
    }
  }
  state.counters["changes"] = static_cast<double>(count);
  vanto_edit_destroy_session(session);
}
// Each iteration pays an untimed undo; the iteration counts are fixed, as
// when an undo rebuilt the whole model, to keep the figures comparable.
BENCHMARK(BM_RedoLastUndo)->Arg(100)->Iterations(2000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RedoLastUndo)->Arg(1000)->Iterations(200)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RedoLastUndo)->Arg(10000)->Iterations(4)->Unit(benchmark::kMicrosecond);

}  // namespace
