// Undo of a large replace transaction against the replace itself, in the
// same run: a file of 2 * 10^6 lines of 32 bytes ending in CRLF, every CRLF
// replaced by LF with vanto_edit_replace_all (2 * 10^6 one-byte deletes in
// one transaction), then the whole transaction undone with one call.
//   - ReplaceAll: the replace is timed; the undo that restores the session
//     for the next iteration is not.
//   - UndoReplace: the undo is timed; the replace before it is not.
// "changes" is the number of changes in the transaction.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "bench_support.h"

namespace {

using vanto_bench::SampleFile;

constexpr int64_t kLines = 2000000;
constexpr int64_t kLineLength = 32;

const SampleFile &sample() {
  static const SampleFile file("replace_undo", ".txt", [](int fd) {
    std::string line(kLineLength - 2, 'x');
    line += "\r\n";
    std::string block;
    for (int64_t i = 0; i < kLines; ++i) {
      line[0] = static_cast<char>('a' + i % 26);
      block += line;
      if (block.size() >= (std::size_t{1} << 20) || i + 1 == kLines) {
        if (!SampleFile::write_all(fd, block.data(), block.size())) return false;
        block.clear();
      }
    }
    return true;
  });
  return file;
}

bool replace(vanto_session_t *session) {
  int64_t count = 0;
  return vanto_edit_replace_all(session, "\r\n", 2, "\n", 1, REPLACE_FLAG_NONE, 0, 0, -1, &count) == kLines &&
         count == kLines;
}

bool undo(vanto_session_t *session) { return vanto_edit_undo_last_change(session) == -1; }

void BM_ReplaceAll(benchmark::State &state) {
  vanto_session_t *session = vanto_edit_create_session(sample().path().c_str(), nullptr, nullptr, 0);
  if (session == nullptr) {
    state.SkipWithError("cannot open the sample file");
    return;
  }
  for (auto _ : state) {
    if (!replace(session)) {
      state.SkipWithError("replace failed");
      break;
    }
    state.PauseTiming();
    const bool undone = undo(session);
    state.ResumeTiming();
    if (!undone) {
      state.SkipWithError("undo failed");
      break;
    }
  }
  state.counters["changes"] = static_cast<double>(kLines);
  vanto_edit_destroy_session(session);
}

void BM_UndoReplace(benchmark::State &state) {
  vanto_session_t *session = vanto_edit_create_session(sample().path().c_str(), nullptr, nullptr, 0);
  if (session == nullptr) {
    state.SkipWithError("cannot open the sample file");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    const bool replaced = replace(session);
    state.ResumeTiming();
    if (!replaced || !undo(session)) {
      state.SkipWithError("replace or undo failed");
      break;
    }
  }
  state.counters["changes"] = static_cast<double>(kLines);
  vanto_edit_destroy_session(session);
}

BENCHMARK(BM_ReplaceAll)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UndoReplace)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
