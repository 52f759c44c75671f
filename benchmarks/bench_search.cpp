// Search and profile throughput over a 256 MiB file that sits in the page
// cache, each beside a reference that works on the same bytes in memory:
//   - exact search for a 1-, 4- and 16-byte pattern that does not occur,
//     against memchr (1 byte) and memmem;
//   - case-insensitive search, against folding the bytes in memory with
//     tolower and running memmem over them;
//   - masked search: an 8-byte pattern with a fixed run of 6 bytes (against
//     memmem for that run), and one where no byte is fully fixed (every
//     mask 0xFE);
//   - backward search for the same exact and masked patterns, against the
//     forward search;
//   - counting the ~1000 occurrences of a 3-byte pattern in one call,
//     against a loop of next-match calls and memmem over the bytes;
//   - the byte-frequency profile, against a plain counting loop and a loop
//     that counts into four interleaved tables summed at the end.
// Every benchmark reports bytes per second over the 256 MiB.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "vanto_edit/edit.h"
#include "vanto_edit/search.h"
#include "vanto_edit/session.h"

namespace {

constexpr int64_t kDataSize = int64_t{256} * 1024 * 1024;

// The data: random letters, digits and a few punctuation marks.  '~' never
// occurs, so every pattern below starts with it and has no occurrence, while
// its other bytes occur everywhere (the skip table meets them all the time).
constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,";

std::string pattern_of(int64_t length) {
  std::string pattern = "~";
  for (int64_t i = 1; i < length; ++i) pattern += kAlphabet[(i * 7) % 64];
  return pattern;
}

// The file, its bytes in memory and one session on it, made on first use and
// removed at exit.
class Corpus {
 public:
  static Corpus &get() {
    static Corpus corpus;
    return corpus;
  }

  const std::vector<unsigned char> &bytes() const { return bytes_; }
  vanto_session_t *session() const { return session_; }

  ~Corpus() {
    vanto_edit_destroy_session(session_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

 private:
  Corpus() {
    dir_ = std::filesystem::temp_directory_path() /
           ("vanto_bench_search_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    const std::string path = (dir_ / "data").string();
    bytes_.resize(static_cast<size_t>(kDataSize));
    std::mt19937_64 rng(1);
    for (size_t i = 0; i < bytes_.size(); i += 8) {
      uint64_t r = rng();
      for (size_t k = 0; k < 8; ++k, r >>= 8) bytes_[i + k] = static_cast<unsigned char>(kAlphabet[r & 63]);
    }
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes_.data()), static_cast<std::streamsize>(bytes_.size()));
    session_ = vanto_edit_create_session(path.c_str(), nullptr, nullptr, 0);
    if (session_ == nullptr) std::abort();
    // Read the file once so that every measurement finds it in the page cache.
    std::array<int64_t, 256> counts{};
    vanto_session_profile(session_, counts.data(), 0, 0);
  }

  std::filesystem::path dir_;
  std::vector<unsigned char> bytes_;
  vanto_session_t *session_ = nullptr;
};

void set_throughput(benchmark::State &state) {
  state.SetBytesProcessed(state.iterations() * kDataSize);
}

// ---- exact search --------------------------------------------------------

void BM_Search(benchmark::State &state) {
  Corpus &corpus = Corpus::get();
  const std::string pattern = pattern_of(state.range(0));
  vanto_search_context_t *context =
      vanto_search_create_context_string(corpus.session(), pattern, 0, 0, 0);
  for (auto _ : state) {
    if (vanto_search_next_match(context, 1) != 0) state.SkipWithError("unexpected match");
  }
  vanto_search_destroy_context(context);
  set_throughput(state);
}
BENCHMARK(BM_Search)->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond);

void BM_Memchr(benchmark::State &state) {
  const auto &bytes = Corpus::get().bytes();
  for (auto _ : state) {
    const void *hit = std::memchr(bytes.data(), '~', bytes.size());
    benchmark::DoNotOptimize(hit);
    if (hit != nullptr) state.SkipWithError("unexpected match");
  }
  set_throughput(state);
}
BENCHMARK(BM_Memchr)->Unit(benchmark::kMillisecond);

void BM_Memmem(benchmark::State &state) {
  const auto &bytes = Corpus::get().bytes();
  const std::string pattern = pattern_of(state.range(0));
  for (auto _ : state) {
    const void *hit = memmem(bytes.data(), bytes.size(), pattern.data(), pattern.size());
    benchmark::DoNotOptimize(hit);
    if (hit != nullptr) state.SkipWithError("unexpected match");
  }
  set_throughput(state);
}
BENCHMARK(BM_Memmem)->Arg(4)->Arg(6)->Arg(16)->Unit(benchmark::kMillisecond);

// ---- masked and backward search -------------------------------------------

// The masks of the masked benchmarks: 0 = bytes 0-5 fixed, byte 6 a
// wildcard, byte 7 fixed (memmem finds the 6-byte run); 1 = every mask
// 0xFE, no byte fully fixed (the probe scan).  Neither pattern occurs.
std::string mask_of(int64_t kind) {
  if (kind == 0) return std::string("\xFF\xFF\xFF\xFF\xFF\xFF\x00\xFF", 8);
  return std::string(8, '\xFE');
}

vanto_search_context_t *masked_context(int64_t kind) {
  const std::string pattern = pattern_of(8);
  const std::string mask = mask_of(kind);
  return vanto_search_create_context_masked(Corpus::get().session(),
                                            reinterpret_cast<const unsigned char *>(pattern.data()),
                                            reinterpret_cast<const unsigned char *>(mask.data()), 8, 0, 0, 0);
}

void BM_SearchMasked(benchmark::State &state) {
  vanto_search_context_t *context = masked_context(state.range(0));
  for (auto _ : state) {
    if (vanto_search_next_match(context, 1) != 0) state.SkipWithError("unexpected match");
  }
  vanto_search_destroy_context(context);
  set_throughput(state);
}
BENCHMARK(BM_SearchMasked)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_SearchBackward(benchmark::State &state) {
  const std::string pattern = pattern_of(state.range(0));
  vanto_search_context_t *context =
      vanto_search_create_context_string(Corpus::get().session(), pattern, 0, 0, 0);
  for (auto _ : state) {
    if (vanto_search_prev_match(context, 1) != 0) state.SkipWithError("unexpected match");
  }
  vanto_search_destroy_context(context);
  set_throughput(state);
}
BENCHMARK(BM_SearchBackward)->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond);

void BM_SearchBackwardMasked(benchmark::State &state) {
  vanto_search_context_t *context = masked_context(state.range(0));
  for (auto _ : state) {
    if (vanto_search_prev_match(context, 1) != 0) state.SkipWithError("unexpected match");
  }
  vanto_search_destroy_context(context);
  set_throughput(state);
}
BENCHMARK(BM_SearchBackwardMasked)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// ---- counting ----------------------------------------------------------------

constexpr char kCounted[] = "q7.";  // about 256 Mi / 64^3 = 1024 occurrences

void BM_CountMatches(benchmark::State &state) {
  vanto_search_context_t *context =
      vanto_search_create_context(Corpus::get().session(), kCounted, 3, 0, 0, 0);
  int64_t count = 0;
  for (auto _ : state) {
    count = vanto_search_count_matches(context, 1);
    benchmark::DoNotOptimize(count);
  }
  if (count < 100) state.SkipWithError("too few matches");
  vanto_search_destroy_context(context);
  set_throughput(state);
}
BENCHMARK(BM_CountMatches)->Unit(benchmark::kMillisecond);

void BM_NextMatchLoop(benchmark::State &state) {
  vanto_search_context_t *context =
      vanto_search_create_context(Corpus::get().session(), kCounted, 3, 0, 0, 0);
  int64_t count = 0;
  for (auto _ : state) {
    count = 0;
    while (vanto_search_next_match(context, 1) == 1) ++count;
    benchmark::DoNotOptimize(count);
  }
  if (count < 100) state.SkipWithError("too few matches");
  vanto_search_destroy_context(context);
  set_throughput(state);
}
BENCHMARK(BM_NextMatchLoop)->Unit(benchmark::kMillisecond);

void BM_MemmemCount(benchmark::State &state) {
  const auto &bytes = Corpus::get().bytes();
  int64_t count = 0;
  for (auto _ : state) {
    count = 0;
    const unsigned char *at = bytes.data();
    const unsigned char *const end = at + bytes.size();
    while (const void *hit = memmem(at, static_cast<size_t>(end - at), kCounted, 3)) {
      ++count;
      at = static_cast<const unsigned char *>(hit) + 1;
    }
    benchmark::DoNotOptimize(count);
  }
  if (count < 100) state.SkipWithError("too few matches");
  set_throughput(state);
}
BENCHMARK(BM_MemmemCount)->Unit(benchmark::kMillisecond);

// ---- case-insensitive search ---------------------------------------------

void BM_SearchCaseInsensitive(benchmark::State &state) {
  Corpus &corpus = Corpus::get();
  const std::string pattern = pattern_of(state.range(0));
  vanto_search_context_t *context =
      vanto_search_create_context_string(corpus.session(), pattern, 0, 0, 1);
  for (auto _ : state) {
    if (vanto_search_next_match(context, 1) != 0) state.SkipWithError("unexpected match");
  }
  vanto_search_destroy_context(context);
  set_throughput(state);
}
BENCHMARK(BM_SearchCaseInsensitive)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond);

// Folds 1 MiB chunks (overlapping by the pattern length minus one) into a
// buffer with tolower and runs memmem over each.
void BM_FoldedMemmem(benchmark::State &state) {
  const auto &bytes = Corpus::get().bytes();
  std::string pattern = pattern_of(state.range(0));
  for (char &c : pattern) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const size_t chunk = size_t{1} << 20;
  const size_t step = chunk - (pattern.size() - 1);
  std::vector<unsigned char> folded(chunk);
  for (auto _ : state) {
    const void *hit = nullptr;
    for (size_t at = 0; at < bytes.size() && hit == nullptr; at += step) {
      const size_t n = std::min(chunk, bytes.size() - at);
      for (size_t i = 0; i < n; ++i) folded[i] = static_cast<unsigned char>(std::tolower(bytes[at + i]));
      hit = memmem(folded.data(), n, pattern.data(), pattern.size());
      if (n < chunk) break;
    }
    benchmark::DoNotOptimize(hit);
    if (hit != nullptr) state.SkipWithError("unexpected match");
  }
  set_throughput(state);
}
BENCHMARK(BM_FoldedMemmem)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond);

// ---- profile ---------------------------------------------------------------

void BM_Profile(benchmark::State &state) {
  Corpus &corpus = Corpus::get();
  std::array<int64_t, 256> counts{};
  for (auto _ : state) {
    if (vanto_session_profile(corpus.session(), counts.data(), 0, 0) != 0) {
      state.SkipWithError("profile failed");
    }
    benchmark::DoNotOptimize(counts);
  }
  if (counts['~'] != 0 || counts['a'] == 0) state.SkipWithError("wrong counts");
  set_throughput(state);
}
BENCHMARK(BM_Profile)->Unit(benchmark::kMillisecond);

void BM_CountingLoop(benchmark::State &state) {
  const auto &bytes = Corpus::get().bytes();
  std::array<int64_t, 256> counts{};
  for (auto _ : state) {
    counts.fill(0);
    for (unsigned char c : bytes) ++counts[c];
    benchmark::DoNotOptimize(counts);
  }
  set_throughput(state);
}
BENCHMARK(BM_CountingLoop)->Unit(benchmark::kMillisecond);

void BM_CountingLoop4(benchmark::State &state) {
  const auto &bytes = Corpus::get().bytes();
  std::array<int64_t, 256> counts{};
  for (auto _ : state) {
    int64_t lanes[4][256] = {};
    const unsigned char *b = bytes.data();
    const size_t n = bytes.size();
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
      ++lanes[0][b[i]];
      ++lanes[1][b[i + 1]];
      ++lanes[2][b[i + 2]];
      ++lanes[3][b[i + 3]];
    }
    for (; i < n; ++i) ++lanes[0][b[i]];
    for (int v = 0; v < 256; ++v) counts[v] = lanes[0][v] + lanes[1][v] + lanes[2][v] + lanes[3][v];
    benchmark::DoNotOptimize(counts);
  }
  if (counts['~'] != 0 || counts['a'] == 0) state.SkipWithError("wrong counts");
  set_throughput(state);
}
BENCHMARK(BM_CountingLoop4)->Unit(benchmark::kMillisecond);

}  // namespace
