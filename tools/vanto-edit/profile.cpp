// `vanto-edit profile`: the byte-frequency profile of a range, counted by the
// library, as a table with a summary or as JSON.
#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>

#include <fmt/format.h>

#include "commands.h"
#include "text.h"

namespace vtool {
namespace {

constexpr int kTop = 5;

std::string byte_label(int byte) {
  return byte >= 0x20 && byte < 0x7f ? fmt::format("0x{:02x} '{}'", byte, static_cast<char>(byte))
                                     : fmt::format("0x{:02x}", byte);
}

}  // namespace

int run_profile(const CommonOptions &common, const ProfileOptions &options) {
  Progress progress(common);
  Session session(options.file, progress);
  const Range range = resolve_range(options.file, session.size(), options.offset, options.length);

  std::array<int64_t, 256> counts{};
  if (range.length > 0) {
    progress.phase("profiling");
    const int rc = vanto_session_profile(session.get(), counts.data(), range.offset, range.length);
    progress.clear();
    throw_if_interrupted();
    if (rc != 0) throw Failure(fmt::format("{}: cannot read the data", shown_name(options.file)));
  }

  const int64_t total = std::accumulate(counts.begin(), counts.end(), int64_t{0});
  int distinct = 0;
  double entropy = 0.0;
  for (const int64_t count : counts) {
    if (count == 0) continue;
    ++distinct;
    const double p = static_cast<double>(count) / static_cast<double>(total);
    entropy -= p * std::log2(p);
  }
  if (entropy <= 0.0) entropy = 0.0;  // no "-0"
  std::array<int, 256> by_count{};
  std::iota(by_count.begin(), by_count.end(), 0);
  std::stable_sort(by_count.begin(), by_count.end(), [&](int a, int b) { return counts[a] > counts[b]; });
  const int top = std::min(kTop, distinct);
  auto percent = [&](int64_t count) { return total > 0 ? 100.0 * static_cast<double>(count) / static_cast<double>(total) : 0.0; };

  if (options.json) {
    std::string top_json;
    for (int i = 0; i < top; ++i) {
      top_json += fmt::format("{}{{\"byte\": {}, \"count\": {}}}", i == 0 ? "" : ", ", by_count[i], counts[by_count[i]]);
    }
    fmt::print("{{\"file\": {}, \"offset\": {}, \"length\": {}, \"distinct\": {}, \"entropy\": {:.6f}, "
               "\"top\": [{}], \"counts\": [{}]}}\n",
               json_string(options.file), range.offset, range.length, distinct, entropy, top_json,
               fmt::join(counts, ", "));
    return kExitOk;
  }

  std::string summary;
  for (int i = 0; i < top; ++i) {
    summary += fmt::format("{}{} {:.2f}%", i == 0 ? "" : ", ", byte_label(by_count[i]), percent(counts[by_count[i]]));
  }
  fmt::print("file      {}\n", shown_name(options.file));
  fmt::print("range     {} to {} ({} bytes{})\n", range.offset, range.end(), range.length,
             range.length >= 1024 ? ", " + human_size(static_cast<double>(range.length)) : std::string());
  fmt::print("distinct  {} byte values\n", distinct);
  fmt::print("entropy   {:.4f} bits per byte\n", entropy);
  fmt::print("top       {}\n", top > 0 ? summary : std::string("-"));
  if (distinct == 0) return kExitOk;

  fmt::print("\nbyte  char  {:>14}  {:>8}\n", "count", "percent");
  std::array<int, 256> order{};
  std::iota(order.begin(), order.end(), 0);
  if (options.by_count) order = by_count;
  for (const int byte : order) {
    if (counts[byte] == 0) continue;
    const std::string shown = byte >= 0x20 && byte < 0x7f ? fmt::format("'{}'", static_cast<char>(byte)) : std::string();
    fmt::print("0x{:02x}  {:<4}  {:>14}  {:>7.3f}%\n", byte, shown, counts[byte], percent(counts[byte]));
  }
  return kExitOk;
}

}  // namespace vtool
