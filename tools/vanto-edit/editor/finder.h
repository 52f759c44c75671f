// Every search the editor makes: forward and backward, exact or with a mask
// (a byte of the pattern matches where (data & mask) == (pattern & mask)),
// optionally ignoring the case of ASCII letters, with progress and cancel.
#ifndef VANTO_EDIT_TOOL_EDITOR_FINDER_H
#define VANTO_EDIT_TOOL_EDITOR_FINDER_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <vanto_edit.h>

namespace vtool::editor {

struct Pattern {
  std::string bytes;
  std::string mask;  // empty: every bit of every byte counts
  bool ignore_case = false;
};

// Hexadecimal digit pairs with wildcards to a pattern: "de ad", "?? 4?",
// "?4".  Empty with `error` set for anything else.
std::optional<Pattern> parse_hex_pattern(std::string_view text, std::string &error);

enum class FindResult { Found, NotFound, Cancelled, Failed };

// Called with the bytes searched so far and in all; true cancels.
using FindProgress = std::function<bool(int64_t done, int64_t total)>;

// The first match starting in [from, end - length] (forward), or the last
// one starting in [begin, from] (backward); a match lies whole inside the
// range.  `match` receives its offset.
FindResult find_next(vanto_session_t *session, const Pattern &pattern, int64_t from, int64_t end, int64_t &match,
                     const FindProgress &progress = {});
FindResult find_prev(vanto_session_t *session, const Pattern &pattern, int64_t from, int64_t begin,
                     int64_t &match, const FindProgress &progress = {});

}  // namespace vtool::editor

#endif  // VANTO_EDIT_TOOL_EDITOR_FINDER_H
