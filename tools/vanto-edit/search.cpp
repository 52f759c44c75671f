#include "search.h"

#include <fmt/format.h>

namespace vtool {

Bytes bytes_argument(const char *role, const std::string &text, bool hex, bool may_be_empty) {
  Bytes bytes = text;
  if (hex) {
    std::string error;
    std::optional<Bytes> decoded = decode_hex(text, error);
    if (!decoded) throw Failure(fmt::format("{} '{}': {}", role, printable(text), error));
    bytes = std::move(*decoded);
  }
  if (!may_be_empty && bytes.empty()) throw Failure(fmt::format("the {} is empty", role));
  if (!may_be_empty && bytes.size() >= VANTO_SEARCH_PATTERN_LIMIT) {
    throw Failure(fmt::format("the {} has {} bytes; at most {} are allowed", role, bytes.size(),
                              VANTO_SEARCH_PATTERN_LIMIT - 1));
  }
  return bytes;
}

int64_t for_each_match(Session &session, Progress &progress, const Bytes &pattern, bool ignore_case,
                       const Range &range, int64_t advance, const std::function<bool(int64_t)> &on_match) {
  if (pattern.empty() || static_cast<int64_t>(pattern.size()) > range.length) return 0;
  vanto_search_context_t *context = quietly([&] {
    return vanto_search_create_context_bytes(session.get(), reinterpret_cast<const unsigned char *>(pattern.data()),
                                             static_cast<int64_t>(pattern.size()), range.offset, range.length,
                                             ignore_case ? 1 : 0);
  });
  if (context == nullptr) throw Failure(fmt::format("{}: cannot search the data", shown_name(session.path())));
  struct Release {
    vanto_search_context_t *context;
    ~Release() { vanto_search_destroy_context(context); }
  } release{context};

  progress.phase("searching", range.length);
  int64_t count = 0;
  while (vanto_search_next_match(context, advance) == 1) {
    ++count;
    if (!on_match(vanto_search_context_get_offset(context))) break;
    throw_if_interrupted();
  }
  progress.clear();
  // A cancelled search ends as one that found nothing: tell them apart.
  throw_if_interrupted();
  return count;
}

}  // namespace vtool
