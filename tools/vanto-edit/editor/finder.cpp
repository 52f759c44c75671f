#include "finder.h"

#include <algorithm>
#include <memory>

namespace vtool::editor {

namespace {

// Hands the library's progress reports of one search to the caller's hook
// and remembers a cancel, which the library reports as "nothing found".
struct ProgressBridge {
  const FindProgress *progress;
  int64_t total;
  bool cancelled = false;

  static int hook(const vanto_session_t *, int64_t done, int64_t, void *user_data) {
    auto *self = static_cast<ProgressBridge *>(user_data);
    if (*self->progress && (*self->progress)(std::min(self->total, done), self->total)) {
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

// One step of a search context over [begin, end), clamped to the data:
// vanto_search_next_match or vanto_search_prev_match.
FindResult find_in(vanto_session_t *session, const Pattern &p, int64_t begin, int64_t end, bool backward,
                   int64_t &match, const FindProgress &progress) {
  const auto length = static_cast<int64_t>(p.bytes.size());
  begin = std::max<int64_t>(begin, 0);
  end = std::min(end, vanto_session_get_computed_file_size(session));
  if (length == 0 || end - begin < length) return FindResult::NotFound;
  if (!p.mask.empty() && p.mask.size() != p.bytes.size()) return FindResult::Failed;
  const auto *mask = has_wildcards(p) ? reinterpret_cast<const unsigned char *>(p.mask.data()) : nullptr;
  Context context(vanto_search_create_context_masked(session, reinterpret_cast<const unsigned char *>(p.bytes.data()),
                                                     mask, length, begin, end - begin, p.ignore_case ? 1 : 0));
  if (!context) return FindResult::Failed;
  ProgressBridge bridge{&progress, end - begin};
  HookScope scope(session, &bridge);
  const int found = backward ? vanto_search_prev_match(context.get(), 1) : vanto_search_next_match(context.get(), 1);
  if (bridge.cancelled) return FindResult::Cancelled;
  if (found != 1) return FindResult::NotFound;
  match = vanto_search_context_get_offset(context.get());
  return FindResult::Found;
}

}  // namespace

std::optional<Pattern> hex_pattern(std::string_view text, std::string &error) {
  std::optional<MaskedBytes> decoded = decode_hex_pattern(text, error);
  if (!decoded) return std::nullopt;
  if (decoded->bytes.empty()) {
    error = "no digits";
    return std::nullopt;
  }
  if (decoded->bytes.size() >= VANTO_SEARCH_PATTERN_LIMIT) {
    error = "too long: at most " + std::to_string(VANTO_SEARCH_PATTERN_LIMIT - 1) + " bytes";
    return std::nullopt;
  }
  Pattern pattern;
  static_cast<MaskedBytes &>(pattern) = std::move(*decoded);
  return pattern;
}

FindResult find_next(vanto_session_t *session, const Pattern &pattern, int64_t from, int64_t end, int64_t &match,
                     const FindProgress &progress) {
  return find_in(session, pattern, from, end, false, match, progress);
}

FindResult find_prev(vanto_session_t *session, const Pattern &pattern, int64_t from, int64_t begin,
                     int64_t &match, const FindProgress &progress) {
  // Matches start at most at `from`, so they end at most at from + length.
  const auto length = static_cast<int64_t>(pattern.bytes.size());
  const int64_t limit = from > INT64_MAX - length ? INT64_MAX : from + length;
  return find_in(session, pattern, begin, limit, true, match, progress);
}

}  // namespace vtool::editor
