// `vanto-edit profile`: the byte-frequency profile of a range, counted by the
// library, as a table with a summary or as JSON; with --blocks, the entropy of
// each block of the range, as a table, JSON or a sparkline plot.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <numeric>

#include <fmt/format.h>

#include "commands.h"
#include "text.h"

namespace vtool {
namespace {

constexpr int kTop = 5;
// Blocks a row of the plot.
constexpr int64_t kPlotRow = 64;

// Shannon entropy of the counted bytes, in bits per byte (0 to 8).
double entropy_of(const std::array<int64_t, 256> &counts) {
  const int64_t total = std::accumulate(counts.begin(), counts.end(), int64_t{0});
  double entropy = 0.0;
  for (const int64_t count : counts) {
    if (count == 0) continue;
    const double p = static_cast<double>(count) / static_cast<double>(total);
    entropy -= p * std::log2(p);
  }
  return entropy <= 0.0 ? 0.0 : entropy;  // no "-0"
}

// The profile hook of one block's call, shown as progress over the whole range.
struct BlockProgress {
  Progress *progress;
  int64_t done_before;  // bytes of the range before the block
  int64_t total;
};

int block_hook(const vanto_session_t *session, int64_t done, int64_t, void *user_data) {
  const auto *state = static_cast<const BlockProgress *>(user_data);
  return Progress::hook(session, state->done_before + done, state->total, state->progress);
}

// One character a block: "▁" for less than 1 bit per byte up to "█" for 7 or more.
const char *spark(double entropy) {
  static constexpr std::array<const char *, 8> kLevels{"\u2581", "\u2582", "\u2583", "\u2584",
                                                       "\u2585", "\u2586", "\u2587", "\u2588"};
  return kLevels[static_cast<std::size_t>(std::clamp(static_cast<int>(entropy), 0, 7))];
}

int profile_blocks(Session &session, Progress &progress, const Range &range, const ProfileOptions &options) {
  const int64_t block = number_option("--blocks", options.blocks);
  if (block < 1) throw Failure("--blocks: the block size must be at least 1 byte");
  const int64_t blocks = range.length == 0 ? 0 : (range.length - 1) / block + 1;

  std::string out;
  auto flush = [&] {
    std::fwrite(out.data(), 1, out.size(), stdout);
    out.clear();
  };
  if (options.json) {
    out += fmt::format("{{\"file\": {}, \"offset\": {}, \"length\": {}, \"block_size\": {}, \"blocks\": [",
                       json_string(options.file), range.offset, range.length, block);
  } else if (options.plot) {
    out += fmt::format("{}: {} blocks of {} bytes, {} a row; \u2581 under 1 bit per byte ... \u2588 7 to 8\n",
                       shown_name(options.file), blocks, block, kPlotRow);
  } else {
    out += fmt::format("{:>16}  {:>12}  {}\n", "offset", "length", "entropy");
  }

  BlockProgress state{&progress, 0, range.length};
  vanto_session_set_progress_cbk(session.get(), &block_hook, &state);
  progress.phase("profiling");
  std::array<int64_t, 256> counts{};
  for (int64_t index = 0; index < blocks; ++index) {
    const int64_t offset = range.offset + index * block;
    const int64_t length = std::min(block, range.end() - offset);
    state.done_before = offset - range.offset;
    const int rc = vanto_session_profile(session.get(), counts.data(), offset, length);
    throw_if_interrupted();
    if (rc != 0) {
      vanto_session_set_progress_cbk(session.get(), &Progress::hook, &progress);
      throw Failure(fmt::format("{}: cannot read the data at offset {}", shown_name(options.file), offset));
    }
    const double entropy = entropy_of(counts);
    if (options.json) {
      out += fmt::format("{}{{\"offset\": {}, \"length\": {}, \"entropy\": {:.6f}}}", index == 0 ? "" : ", ", offset,
                         length, entropy);
    } else if (options.plot) {
      if (index % kPlotRow == 0) out += fmt::format("{:>16}  ", offset);
      out += spark(entropy);
      if (index % kPlotRow == kPlotRow - 1 || index + 1 == blocks) out.push_back('\n');
    } else {
      out += fmt::format("{:>16}  {:>12}  {:.4f}\n", offset, length, entropy);
    }
    if (out.size() >= (std::size_t{1} << 16)) {
      progress.clear();
      flush();
    }
  }
  vanto_session_set_progress_cbk(session.get(), &Progress::hook, &progress);
  progress.clear();
  if (options.json) out += "]}\n";
  flush();
  return kExitOk;
}

std::string byte_label(int byte) {
  return byte >= 0x20 && byte < 0x7f ? fmt::format("0x{:02x} '{}'", byte, static_cast<char>(byte))
                                     : fmt::format("0x{:02x}", byte);
}

}  // namespace

int run_profile(const CommonOptions &common, const ProfileOptions &options) {
  Progress progress(common);
  Session session(options.file, progress);
  const Range range = resolve_range(options.file, session.size(), options.offset, options.length);
  if (!options.blocks.empty()) return profile_blocks(session, progress, range, options);

  std::array<int64_t, 256> counts{};
  if (range.length > 0) {
    progress.phase("profiling");
    const int rc = vanto_session_profile(session.get(), counts.data(), range.offset, range.length);
    progress.clear();
    throw_if_interrupted();
    if (rc != 0) throw Failure(fmt::format("{}: cannot read the data", shown_name(options.file)));
  }

  const int64_t total = std::accumulate(counts.begin(), counts.end(), int64_t{0});
  const auto distinct = static_cast<int>(std::count_if(counts.begin(), counts.end(), [](int64_t count) { return count > 0; }));
  const double entropy = entropy_of(counts);
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
