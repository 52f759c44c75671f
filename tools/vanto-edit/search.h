// Pattern arguments and the walk over the matches of a pattern, shared by
// `find` and `replace`.
#ifndef VANTO_EDIT_TOOL_SEARCH_H
#define VANTO_EDIT_TOOL_SEARCH_H

#include <cstdint>
#include <functional>
#include <string>

#include "runtime.h"
#include "text.h"

namespace vtool {

// The bytes of a pattern argument given as text or (with `hex`) as
// hexadecimal digits; `role` names it in messages ("pattern").  Throws
// Failure for malformed hexadecimal, and, unless `may_be_empty`, for an empty
// or over-long pattern.
Bytes bytes_argument(const char *role, const std::string &text, bool hex, bool may_be_empty = false);

// A search pattern given as text or (with `hex`) as hexadecimal digits with
// '?' wildcard nibbles (decode_hex_pattern).  A text pattern has every byte
// fixed.  Throws Failure for malformed hexadecimal and for an empty or
// over-long pattern.
MaskedBytes pattern_argument(const std::string &text, bool hex);

// Which way for_each_match walks.
enum class Direction { kForward, kBackward };

// Calls `on_match` with the offset of each occurrence of `pattern` inside
// `range`, in order from the start (forward) or from the end (backward),
// resuming `advance` bytes after each (before each, backward: the next one
// found starts at most `advance` bytes before the previous one; 1 finds
// overlapping occurrences, the pattern's length only separate ones), until
// none is left or `on_match` returns false.  Returns the number of calls.
// The library's search context reads the data in windows; nothing else is
// held.
int64_t for_each_match(Session &session, Progress &progress, const MaskedBytes &pattern, bool ignore_case,
                       const Range &range, int64_t advance, Direction direction,
                       const std::function<bool(int64_t)> &on_match);

// The number of occurrences of `pattern` inside `range`, resuming `advance`
// bytes after each, counted by the library in one call.
int64_t count_matches(Session &session, Progress &progress, const MaskedBytes &pattern, bool ignore_case,
                      const Range &range, int64_t advance);

}  // namespace vtool

#endif  // VANTO_EDIT_TOOL_SEARCH_H
