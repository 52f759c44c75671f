#include "search.h"

#include <algorithm>
#include <memory>

#include <fmt/format.h>

namespace vtool {

namespace {

void check_pattern_size(const char *role, std::size_t size) {
  if (size == 0) throw Failure(fmt::format("the {} is empty", role));
  if (size >= VANTO_SEARCH_PATTERN_LIMIT) {
    throw Failure(fmt::format("the {} has {} bytes; at most {} are allowed", role, size,
                              VANTO_SEARCH_PATTERN_LIMIT - 1));
  }
}

// A search context over `range`, destroyed with the object.  Null when the
// pattern is longer than the range (nothing to find).
class Context {
 public:
  Context(Session &session, const MaskedBytes &pattern, bool ignore_case, const Range &range) {
    if (static_cast<int64_t>(pattern.bytes.size()) > range.length) return;
    context_ = vanto_search_create_context_masked(
        session.get(), reinterpret_cast<const unsigned char *>(pattern.bytes.data()),
        has_wildcards(pattern) ? reinterpret_cast<const unsigned char *>(pattern.mask.data()) : nullptr,
        static_cast<int64_t>(pattern.bytes.size()), range.offset, range.length, ignore_case ? 1 : 0);
    if (context_ == nullptr) throw Failure(fmt::format("{}: cannot search the data", shown_name(session.path())));
  }
  ~Context() { vanto_search_destroy_context(context_); }
  Context(const Context &) = delete;
  Context &operator=(const Context &) = delete;

  vanto_search_context_t *get() const { return context_; }

 private:
  vanto_search_context_t *context_ = nullptr;
};

}  // namespace

Bytes bytes_argument(const char *role, const std::string &text, bool hex, bool may_be_empty) {
  Bytes bytes = text;
  if (hex) {
    std::string error;
    std::optional<Bytes> decoded = decode_hex(text, error);
    if (!decoded) throw Failure(fmt::format("{} '{}': {}", role, printable(text), error));
    bytes = std::move(*decoded);
  }
  if (!may_be_empty) check_pattern_size(role, bytes.size());
  return bytes;
}

MaskedBytes pattern_argument(const std::string &text, bool hex) {
  MaskedBytes pattern{text, Bytes(text.size(), '\xFF')};
  if (hex) {
    std::string error;
    std::optional<MaskedBytes> decoded = decode_hex_pattern(text, error);
    if (!decoded) throw Failure(fmt::format("pattern '{}': {}", printable(text), error));
    pattern = std::move(*decoded);
  }
  check_pattern_size("pattern", pattern.bytes.size());
  return pattern;
}

int64_t for_each_match(Session &session, Progress &progress, const MaskedBytes &pattern, bool ignore_case,
                       const Range &range, int64_t advance, Direction direction,
                       const std::function<bool(int64_t)> &on_match) {
  const Context context(session, pattern, ignore_case, range);
  if (context.get() == nullptr) return 0;
  const auto step = direction == Direction::kForward ? vanto_search_next_match : vanto_search_prev_match;
  progress.phase("searching", range.length);
  int64_t count = 0;
  while (step(context.get(), advance) == 1) {
    ++count;
    if (!on_match(vanto_search_context_get_offset(context.get()))) break;
    throw_if_interrupted();
  }
  progress.clear();
  // A cancelled search ends as one that found nothing: tell them apart.
  throw_if_interrupted();
  return count;
}

int64_t count_matches(Session &session, Progress &progress, const MaskedBytes &pattern, bool ignore_case,
                      const Range &range, int64_t advance) {
  const Context context(session, pattern, ignore_case, range);
  if (context.get() == nullptr) return 0;
  progress.phase("counting", range.length);
  const int64_t count = vanto_search_count_matches(context.get(), advance);
  progress.clear();
  throw_if_interrupted();
  if (count < 0) throw Failure(fmt::format("{}: cannot count the matches", shown_name(session.path())));
  return count;
}

}  // namespace vtool
