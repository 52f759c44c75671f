#include "finder.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace vtool::editor {

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

unsigned char fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c; }

bool full_mask(const Pattern &p) {
  return p.mask.empty() || std::all_of(p.mask.begin(), p.mask.end(), [](char m) { return m == '\xff'; });
}

unsigned char mask_at(const Pattern &p, std::size_t i) {
  return p.mask.empty() ? 0xff : static_cast<unsigned char>(p.mask[i]);
}

bool matches_at(const Pattern &p, const unsigned char *data) {
  for (std::size_t i = 0; i < p.bytes.size(); ++i) {
    const unsigned char m = mask_at(p, i);
    unsigned char d = data[i];
    unsigned char b = static_cast<unsigned char>(p.bytes[i]);
    if (p.ignore_case && m == 0xff) {
      d = fold(d);
      b = fold(b);
    }
    if ((d & m) != (b & m)) return false;
  }
  return true;
}

// Routes the library's progress reports of one call into the caller's,
// counted over the whole search.
struct ProgressBridge {
  const FindProgress *progress;
  int64_t base;
  int64_t total;
  bool cancelled = false;

  static int hook(const vanto_session_t *, int64_t done, int64_t, void *user_data) {
    auto *self = static_cast<ProgressBridge *>(user_data);
    if (self->progress != nullptr && *self->progress &&
        (*self->progress)(std::min(self->total, self->base + done), self->total)) {
      self->cancelled = true;
      return 1;
    }
    return 0;
  }
};

class HookScope {
 public:
  HookScope(vanto_session_t *session, ProgressBridge *bridge) : session_(session) {
    vanto_session_set_progress_cbk(session_, &ProgressBridge::hook, bridge);
  }
  ~HookScope() { vanto_session_set_progress_cbk(session_, nullptr, nullptr); }
  HookScope(const HookScope &) = delete;
  HookScope &operator=(const HookScope &) = delete;

 private:
  vanto_session_t *session_;
};

struct ContextDeleter {
  void operator()(vanto_search_context_t *context) const { vanto_search_destroy_context(context); }
};
using Context = std::unique_ptr<vanto_search_context_t, ContextDeleter>;

struct SegmentDeleter {
  void operator()(vanto_segment_t *segment) const { vanto_segment_destroy(segment); }
};

// Reads `length` bytes at `offset`; false when they cannot be read.
bool read_bytes(vanto_session_t *session, int64_t offset, int64_t length, std::vector<unsigned char> &out) {
  std::unique_ptr<vanto_segment_t, SegmentDeleter> segment(vanto_segment_create(length));
  if (!segment || vanto_session_get_segment(session, segment.get(), offset) != 0 ||
      vanto_segment_get_length(segment.get()) != length) {
    return false;
  }
  const unsigned char *data = vanto_segment_get_data(segment.get());
  out.assign(data, data + length);
  return true;
}

// Forward over [from, end): each match offset to `on_match` until it returns
// false.  An exact pattern goes through the library's search context; a
// masked one is checked here at every position of windows read in turn.
FindResult scan_forward(vanto_session_t *session, const Pattern &p, int64_t from, int64_t end,
                        ProgressBridge &bridge, const std::function<bool(int64_t)> &on_match) {
  const auto length = static_cast<int64_t>(p.bytes.size());
  if (length == 0 || end - from < length) return FindResult::NotFound;
  if (!full_mask(p)) {
    constexpr int64_t kWindow = 1 << 20;
    std::vector<unsigned char> window;
    for (int64_t start = from; start + length <= end;) {
      const int64_t window_length = std::min(end - start, kWindow + length - 1);
      if (!read_bytes(session, start, window_length, window)) return FindResult::Failed;
      for (int64_t i = 0; i + length <= window_length; ++i) {
        if (matches_at(p, window.data() + i) && !on_match(start + i)) return FindResult::Found;
      }
      start += window_length - length + 1;
      if (ProgressBridge::hook(session, start - from, 0, &bridge) != 0) return FindResult::Cancelled;
    }
    return FindResult::NotFound;
  }

  Context context(vanto_search_create_context_bytes(session, reinterpret_cast<const unsigned char *>(p.bytes.data()),
                                                    length, from, end - from, p.ignore_case ? 1 : 0));
  if (!context) return FindResult::Failed;
  while (true) {
    const int found = vanto_search_next_match(context.get(), 1);
    if (bridge.cancelled) return FindResult::Cancelled;
    if (found != 1) return FindResult::NotFound;
    if (!on_match(vanto_search_context_get_offset(context.get()))) return FindResult::Found;
  }
}

}  // namespace

std::optional<Pattern> parse_hex_pattern(std::string_view text, std::string &error) {
  Pattern pattern;
  pattern.mask.clear();
  std::string digits;
  for (const char c : text) {
    if (c == ' ' || c == '\t') continue;
    if (c != '?' && hex_digit(c) < 0) {
      error = std::string("not a hexadecimal digit or '?': '") + c + "'";
      return std::nullopt;
    }
    digits += c;
  }
  if (digits.empty()) {
    error = "no digits";
    return std::nullopt;
  }
  if (digits.size() % 2 != 0) {
    error = "an odd number of digits: give each byte two (a leading 0, or ? for any)";
    return std::nullopt;
  }
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    unsigned value = 0;
    unsigned mask = 0;
    for (std::size_t k = 0; k < 2; ++k) {
      value <<= 4;
      mask <<= 4;
      const int digit = hex_digit(digits[i + k]);
      if (digit >= 0) {
        value |= static_cast<unsigned>(digit);
        mask |= 0xfu;
      }
    }
    pattern.bytes += static_cast<char>(value);
    pattern.mask += static_cast<char>(mask);
  }
  if (full_mask(pattern)) pattern.mask.clear();
  return pattern;
}

FindResult find_next(vanto_session_t *session, const Pattern &pattern, int64_t from, int64_t end, int64_t &match,
                     const FindProgress &progress) {
  from = std::max<int64_t>(from, 0);
  end = std::min(end, vanto_session_get_computed_file_size(session));
  ProgressBridge bridge{&progress, 0, std::max<int64_t>(end - from, 0)};
  HookScope scope(session, &bridge);
  bool found = false;
  const FindResult result = scan_forward(session, pattern, from, end, bridge, [&](int64_t at) {
    match = at;
    found = true;
    return false;
  });
  return found ? FindResult::Found : result;
}

FindResult find_prev(vanto_session_t *session, const Pattern &pattern, int64_t from, int64_t begin,
                     int64_t &match, const FindProgress &progress) {
  const auto length = static_cast<int64_t>(pattern.bytes.size());
  begin = std::max<int64_t>(begin, 0);
  const int64_t size = vanto_session_get_computed_file_size(session);
  // Matches start at most at `from`, so they end at most at from + length.
  const int64_t limit = std::min(size, from + length);
  if (length == 0 || limit - begin < length) return FindResult::NotFound;
  ProgressBridge bridge{&progress, 0, limit - begin};
  HookScope scope(session, &bridge);
  // Windows ending at the limit, moving back; the last match of the nearest
  // window that has one is the answer.  Windows grow, so that a long stretch
  // without matches costs few calls.
  int64_t window = std::max<int64_t>(int64_t{1} << 12, 8 * length);
  for (int64_t end = limit; end - begin >= length;) {
    const int64_t start = std::max(begin, end - window);
    bridge.base = limit - end;
    int64_t last = -1;
    const FindResult result = scan_forward(session, pattern, start, end, bridge, [&](int64_t at) {
      last = at;
      return true;
    });
    if (result == FindResult::Cancelled || result == FindResult::Failed) return result;
    if (last >= 0) {
      match = last;
      return FindResult::Found;
    }
    if (start == begin) break;
    end = start + length - 1;  // a match across the cut lies in the next window
    window = std::min<int64_t>(window * 2, int64_t{1} << 26);
  }
  return FindResult::NotFound;
}

}  // namespace vtool::editor
