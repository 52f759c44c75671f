// `vanto-edit diff`: the ranges in which two files differ.  Both are read in
// large blocks through the library; blocks are compared with memcmp and only
// a block that differs is looked at byte by byte.  By default bytes are
// compared at the same offset in both files.  With --resync, a difference is
// followed by a search for the nearest place where both files agree again,
// within a bounded window, so that an inserted or deleted run of bytes is one
// range instead of the rest of the file.
#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include <fmt/format.h>

#include "commands.h"
#include "reader.h"
#include "text.h"

namespace vtool {
namespace {

constexpr int64_t kBlock = int64_t{1} << 20;
// Bytes of each side shown with a range.
constexpr int64_t kShown = 8;
// Equal bytes that end a difference in --resync mode (fewer only at the end of both files).
constexpr int64_t kSync = 32;
// --resync first looks this far, then twice as far, up to its window.
constexpr int64_t kFirstWindow = 256;
constexpr int64_t kMaxWindow = int64_t{1} << 20;

// The index of the first byte where `a` and `b` differ, or `n`.
std::size_t first_difference(const char *a, const char *b, std::size_t n) {
  // Large equal stretches go by memcmp; the one that differs is searched a word at a time.
  constexpr std::size_t kStretch = 4096;
  std::size_t i = 0;
  while (i + kStretch <= n && std::memcmp(a + i, b + i, kStretch) == 0) i += kStretch;
  for (; i + 8 <= n; i += 8) {
    uint64_t x = 0;
    uint64_t y = 0;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) {
      const uint64_t bits = x ^ y;
      if constexpr (std::endian::native == std::endian::little) return i + static_cast<std::size_t>(std::countr_zero(bits) / 8);
      return i + static_cast<std::size_t>(std::countl_zero(bits) / 8);
    }
  }
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// The index of the first byte where `a` and `b` agree, or `n`.
std::size_t first_agreement(const char *a, const char *b, std::size_t n) {
  std::size_t i = 0;
  while (i < n && a[i] != b[i]) ++i;
  return i;
}

struct DiffRange {
  int64_t offset1 = 0;
  int64_t length1 = 0;
  int64_t offset2 = 0;
  int64_t length2 = 0;
  std::string head1;  // the first bytes of each side (up to kShown)
  std::string head2;
};

std::string hex_bytes(std::string_view bytes, int64_t length, bool spaced) {
  if (bytes.empty()) return spaced ? "-" : "";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (spaced && i > 0) out.push_back(' ');
    out += fmt::format("{:02x}", static_cast<unsigned char>(bytes[i]));
  }
  if (spaced && length > static_cast<int64_t>(bytes.size())) out += " ...";
  return out;
}

// Prints the ranges as they are found: lines, JSON, or only their number.
class Report {
 public:
  Report(const DiffOptions &options, int64_t window, int64_t size1, int64_t size2) : options_(options) {
    if (options_.json) {
      out_ = fmt::format("{{\"file1\": {}, \"file2\": {}, \"size1\": {}, \"size2\": {}, \"resync\": {}",
                         json_string(options_.file1), json_string(options_.file2), size1, size2,
                         window > 0 ? std::to_string(window) : std::string("null"));
      if (!options_.count_only) out_ += ", \"ranges\": [";
    }
  }

  void add(const DiffRange &range) {
    ++count_;
    differing1_ += range.length1;
    differing2_ += range.length2;
    if (options_.count_only) return;
    if (options_.json) {
      out_ += fmt::format("{}{{\"offset1\": {}, \"length1\": {}, \"offset2\": {}, \"length2\": {}, \"bytes1\": \"{}\", "
                          "\"bytes2\": \"{}\"}}",
                          count_ == 1 ? "" : ", ", range.offset1, range.length1, range.offset2, range.length2,
                          hex_bytes(range.head1, range.length1, false), hex_bytes(range.head2, range.length2, false));
    } else {
      out_ += fmt::format("{} {} {} {}  {} | {}\n", range.offset1, range.length1, range.offset2, range.length2,
                          hex_bytes(range.head1, range.length1, true), hex_bytes(range.head2, range.length2, true));
    }
    if (out_.size() >= (std::size_t{1} << 16)) flush();
  }

  // Ends the report; the exit status.
  int finish() {
    if (options_.json) {
      out_ += fmt::format("{}, \"count\": {}, \"differing1\": {}, \"differing2\": {}, \"identical\": {}}}\n",
                          options_.count_only ? "" : "]", count_, differing1_, differing2_, count_ == 0);
    } else if (options_.count_only) {
      out_ += fmt::format("{}\n", count_);
    }
    flush();
    return count_ == 0 ? kExitOk : kExitNothingFound;
  }

 private:
  void flush() {
    std::fwrite(out_.data(), 1, out_.size(), stdout);
    out_.clear();
  }

  const DiffOptions &options_;
  std::string out_;
  int64_t count_ = 0;
  int64_t differing1_ = 0;
  int64_t differing2_ = 0;
};

// The first bytes of a range, from what was read or else from the session.
std::string head_of(const Session &session, int64_t offset, int64_t length, std::string_view seen) {
  const int64_t wanted = std::min(length, kShown);
  if (static_cast<int64_t>(seen.size()) >= wanted) return std::string(seen.substr(0, static_cast<std::size_t>(wanted)));
  return vanto_session_get_segment_string(session.get(), offset, wanted);
}

// Shows how far the comparison has come; false after Ctrl-C.
void show_progress(Progress &progress, int64_t done, int64_t total) {
  if (Progress::hook(nullptr, done, total, &progress) != 0) throw Interrupted();
}

// Compares byte for byte at the same offsets.
void compare_in_place(const Session &first, const Session &second, Report &report, Progress &progress) {
  BlockReader one(first, kBlock);
  BlockReader two(second, kBlock);
  const int64_t total = std::min(one.size(), two.size());
  std::optional<DiffRange> open;  // a range that reaches the end of the blocks compared so far
  int64_t position = 0;
  for (;;) {
    const std::string_view a = one.at(position);
    const std::string_view b = two.at(position);
    const std::size_t n = std::min(a.size(), b.size());
    if (n == 0) break;
    std::size_t i = 0;
    while (i < n) {
      if (open) {
        i += first_agreement(a.data() + i, b.data() + i, n - i);
        if (i == n) break;
        open->length1 = open->length2 = position + static_cast<int64_t>(i) - open->offset1;
        open->head1 = head_of(first, open->offset1, open->length1, open->head1);
        open->head2 = head_of(second, open->offset2, open->length2, open->head2);
        report.add(*open);
        open.reset();
      } else {
        i += first_difference(a.data() + i, b.data() + i, n - i);
        if (i == n) break;
        open.emplace();
        open->offset1 = open->offset2 = position + static_cast<int64_t>(i);
        const std::size_t seen = std::min<std::size_t>(kShown, n - i);
        open->head1.assign(a.data() + i, seen);
        open->head2.assign(b.data() + i, seen);
      }
    }
    position += static_cast<int64_t>(n);
    show_progress(progress, position, total);
  }
  // Where one file ends, the rest of the other differs; an open range takes it in.
  const int64_t start = open ? open->offset1 : position;
  if (!open && start == one.size() && start == two.size()) return;
  DiffRange tail;
  tail.offset1 = tail.offset2 = start;
  tail.length1 = one.size() - start;
  tail.length2 = two.size() - start;
  tail.head1 = head_of(first, start, tail.length1, open ? std::string_view(open->head1) : std::string_view());
  tail.head2 = head_of(second, start, tail.length2, open ? std::string_view(open->head2) : std::string_view());
  report.add(tail);
}

// The rolling hash of kSync bytes: the polynomial in kBase of their values.
constexpr uint64_t kBase = 0x100000001b3ULL;
constexpr uint64_t power(uint64_t base, int64_t exponent) {
  uint64_t result = 1;
  for (int64_t i = 0; i < exponent; ++i) result *= base;
  return result;
}
constexpr uint64_t kBaseToSync = power(kBase, kSync - 1);

// The runs of kSync bytes of one side's window, found by their content: for
// each distinct run the smallest offset at which it starts.  Open addressing
// over a rolling hash; equal hashes are told apart by comparing the bytes.
class RunIndex {
 public:
  RunIndex(std::string_view data, int64_t last_start) : data_(data) {
    std::size_t slots = 16;
    // At most two thirds full.
    const auto runs = static_cast<std::size_t>(last_start + 1);
    while (slots < runs + runs / 2) slots *= 2;
    mask_ = slots - 1;
    slots_.assign(slots, Slot{});
    uint64_t hash = first_hash(data.data());
    for (int64_t start = 0; start <= last_start; ++start) {
      if (start > 0) hash = roll(hash, data[static_cast<std::size_t>(start - 1)], data[static_cast<std::size_t>(start + kSync - 1)]);
      insert(hash, start);
    }
  }

  // The smallest start of a run equal to the kSync bytes at `run`, or -1.
  int64_t find(uint64_t hash, const char *run) const {
    for (std::size_t i = index_of(hash);; i = (i + 1) & mask_) {
      const Slot &slot = slots_[i];
      if (slot.start < 0) return -1;
      if (slot.hash == hash && std::memcmp(data_.data() + slot.start, run, kSync) == 0) return slot.start;
    }
  }

  static uint64_t first_hash(const char *run) {
    uint64_t hash = 0;
    for (int64_t i = 0; i < kSync; ++i) hash = hash * kBase + static_cast<unsigned char>(run[i]);
    return hash;
  }
  static uint64_t roll(uint64_t hash, char out, char in) {
    return (hash - static_cast<unsigned char>(out) * kBaseToSync) * kBase + static_cast<unsigned char>(in);
  }

 private:
  struct Slot {
    uint64_t hash = 0;
    int64_t start = -1;
  };

  std::size_t index_of(uint64_t hash) const {
    return static_cast<std::size_t>((hash * 0x9e3779b97f4a7c15ULL) >> 20) & mask_;
  }
  void insert(uint64_t hash, int64_t start) {
    for (std::size_t i = index_of(hash);; i = (i + 1) & mask_) {
      Slot &slot = slots_[i];
      if (slot.start < 0) {
        slot = Slot{hash, start};
        return;
      }
      if (slot.hash == hash && std::memcmp(data_.data() + slot.start, data_.data() + start, kSync) == 0) return;
    }
  }

  std::string_view data_;
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
};

struct Skip {
  int64_t first = 0;
  int64_t second = 0;
  int64_t cost() const { return first + second; }
  int64_t imbalance() const { return first > second ? first - second : second - first; }
  bool better_than(const Skip &other) const {
    return cost() < other.cost() || (cost() == other.cost() && imbalance() < other.imbalance());
  }
};

// The nearest place after the starts of `a` and `b` where the two agree
// again: skips (s1, s2), both at most `window`, of the smallest sum (then the
// most even) after which kSync bytes are equal, or the rest of both files when
// shorter than that.  `rest1` and `rest2` are the bytes left in each file;
// `a` and `b` hold the first window + kSync of them (all when fewer).
std::optional<Skip> nearest_agreement(std::string_view a, std::string_view b, int64_t window, int64_t rest1,
                                      int64_t rest2) {
  std::optional<Skip> best;
  auto offer = [&](Skip candidate) {
    if (!best || candidate.better_than(*best)) best = candidate;
  };
  // Both ends in reach: equal tails shorter than kSync count too (the empty ones as well).
  for (int64_t tail = std::min({kSync - 1, rest1, rest2}); tail >= 0; --tail) {
    const Skip candidate{rest1 - tail, rest2 - tail};
    if (candidate.first > window || candidate.second > window) continue;
    if (std::memcmp(a.data() + candidate.first, b.data() + candidate.second, static_cast<std::size_t>(tail)) == 0) {
      offer(candidate);
      break;  // longer tails first: the shorter ones skip more
    }
  }
  const auto size1 = static_cast<int64_t>(a.size());
  const auto size2 = static_cast<int64_t>(b.size());
  if (size1 < kSync || size2 < kSync) return best;
  const RunIndex index(b, std::min(window, size2 - kSync));
  const int64_t last1 = std::min(window, size1 - kSync);
  uint64_t hash = RunIndex::first_hash(a.data());
  for (int64_t skip1 = 0; skip1 <= last1; ++skip1) {
    if (best && skip1 >= best->cost()) break;  // nothing further on can skip less
    if (skip1 > 0) hash = RunIndex::roll(hash, a[static_cast<std::size_t>(skip1 - 1)], a[static_cast<std::size_t>(skip1 + kSync - 1)]);
    const int64_t skip2 = index.find(hash, a.data() + skip1);
    if (skip2 >= 0) offer(Skip{skip1, skip2});
  }
  return best;
}

// How far a difference that starts at `start1` and `start2` reaches in each file.
Skip extent_of_difference(BlockReader &one, BlockReader &two, int64_t start1, int64_t start2, int64_t window) {
  Skip done;
  for (;;) {
    throw_if_interrupted();
    const int64_t at1 = start1 + done.first;
    const int64_t at2 = start2 + done.second;
    const int64_t rest1 = one.size() - at1;
    const int64_t rest2 = two.size() - at2;
    if (rest1 == 0 || rest2 == 0) return Skip{done.first + rest1, done.second + rest2};
    for (int64_t reach = std::min(kFirstWindow, window);; reach = std::min(2 * reach, window)) {
      const std::string a = one.copy(at1, reach + kSync);
      const std::string b = two.copy(at2, reach + kSync);
      const std::optional<Skip> found = nearest_agreement(a, b, reach, rest1, rest2);
      // A place beyond `reach` in either file skips more than `reach`.
      if (found && (found->cost() <= reach + 1 || reach == window)) {
        return Skip{done.first + found->first, done.second + found->second};
      }
      if (reach == window) break;
    }
    // Nothing agrees within the window: the difference goes on beyond it.
    done.first += std::min(window + 1, rest1);
    done.second += std::min(window + 1, rest2);
  }
}

// Compares with re-synchronisation after insertions and deletions.
void compare_resyncing(const Session &first, const Session &second, int64_t window, Report &report,
                       Progress &progress) {
  BlockReader one(first, kBlock);
  BlockReader two(second, kBlock);
  const int64_t total = std::max<int64_t>(1, one.size() + two.size());
  int64_t position1 = 0;
  int64_t position2 = 0;
  for (;;) {
    const std::string_view a = one.at(position1);
    const std::string_view b = two.at(position2);
    const std::size_t n = std::min(a.size(), b.size());
    if (n == 0 && a.size() == b.size()) return;
    const std::size_t same = n == 0 ? 0 : first_difference(a.data(), b.data(), n);
    if (same == n && n > 0) {
      position1 += static_cast<int64_t>(n);
      position2 += static_cast<int64_t>(n);
      show_progress(progress, position1 + position2, total);
      continue;
    }
    position1 += static_cast<int64_t>(same);
    position2 += static_cast<int64_t>(same);
    const Skip extent = extent_of_difference(one, two, position1, position2, window);
    DiffRange range;
    range.offset1 = position1;
    range.length1 = extent.first;
    range.offset2 = position2;
    range.length2 = extent.second;
    range.head1 = one.copy(position1, std::min(kShown, extent.first));
    range.head2 = two.copy(position2, std::min(kShown, extent.second));
    report.add(range);
    position1 += extent.first;
    position2 += extent.second;
    show_progress(progress, position1 + position2, total);
  }
}

}  // namespace

const char *const kDiffHelp = R"(Each range in which the files differ is one line:
  OFFSET1 LENGTH1 OFFSET2 LENGTH2  BYTES1 | BYTES2
with up to 8 bytes of each side in hexadecimal ('-' for none, '...' when
there are more).  Without --resync, bytes are compared at the same offset:
a range is a run of differing bytes, and where the shorter file ends the
rest of the longer one is a last range (LENGTH 0 on the shorter side).

--resync[=WINDOW] (WINDOW 1 to 1M, default 64K) follows each difference to
the nearest place where 32 bytes (or the rest of both files) agree again,
skipping at most WINDOW bytes in each file: it finds an insertion or a
deletion of up to WINDOW bytes, or a run of up to WINDOW bytes replaced by
another, as one range.  Of the places in reach it takes the one that skips
the fewest bytes in all; differences less than 32 bytes apart become one
range.  It does not find a block that moved, nor an insertion or deletion
longer than WINDOW: then the range goes on for WINDOW more bytes in both
files at a time, until they agree again or a file ends.  Memory: up to 50
bytes per byte of WINDOW (34 MiB at 1M), besides two 1 MiB blocks.

Exit status: 0 the files are the same, 1 they differ, 2 error.)";

int run_diff(const CommonOptions &common, const DiffOptions &options) {
  int64_t window = 0;
  if (!options.resync.empty()) {
    window = number_option("--resync", options.resync);
    if (window < 1 || window > kMaxWindow) {
      throw Failure(fmt::format("--resync: the window must be 1 to {} bytes, not {}", kMaxWindow, window));
    }
  }
  Progress progress(common);
  const Session first(options.file1, progress);
  const Session second(options.file2, progress);
  Report report(options, window, first.size(), second.size());
  progress.phase("comparing");
  if (window > 0) {
    compare_resyncing(first, second, window, report, progress);
  } else {
    compare_in_place(first, second, report, progress);
  }
  progress.clear();
  return report.finish();
}

}  // namespace vtool
