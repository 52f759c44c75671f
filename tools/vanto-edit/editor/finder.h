// Every search the editor makes: forward and backward, exact or with a mask
// (a byte of the pattern matches where (data & mask) == (pattern & mask)),
// optionally ignoring the case of ASCII letters, with progress and cancel.
// The library's search contexts do the work.
#ifndef VANTO_EDIT_TOOL_EDITOR_FINDER_H
#define VANTO_EDIT_TOOL_EDITOR_FINDER_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <vanto_edit.h>

#include "../text.h"

namespace vtool::editor {

// The pattern's bytes and mask; an empty mask means every bit of every byte
// counts, as does a mask of 0xFF bytes.  With `ignore_case`, 'A' to 'Z' are
// folded to lower case in the pattern and the data first and the mask is
// applied after: a byte d matches when (lower(d) & m) == (lower(b) & m).
struct Pattern : MaskedBytes {
  bool ignore_case = false;
};

// A pattern typed in hexadecimal: pairs of digits, either of them '?' for
// any value of that nibble ("de ad", "?? 4?", "?4"), blanks between pairs
// (decode_hex_pattern).  Empty with `error` set when malformed, empty, or
// too long to search for.
std::optional<Pattern> hex_pattern(std::string_view text, std::string &error);

enum class FindResult { Found, NotFound, Cancelled, Failed };

// Called with the bytes searched so far and in all; true cancels.
using FindProgress = std::function<bool(int64_t done, int64_t total)>;

// The first match starting in [from, end - length] (forward), or the last
// one starting in [begin, from] (backward); a match lies whole inside the
// range and the data.  `match` receives its offset.  Failed: the search could
// not be set up (a pattern the library refuses, or no memory).
FindResult find_next(vanto_session_t *session, const Pattern &pattern, int64_t from, int64_t end, int64_t &match,
                     const FindProgress &progress = {});
FindResult find_prev(vanto_session_t *session, const Pattern &pattern, int64_t from, int64_t begin,
                     int64_t &match, const FindProgress &progress = {});

}  // namespace vtool::editor

#endif  // VANTO_EDIT_TOOL_EDITOR_FINDER_H
