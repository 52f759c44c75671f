// Window sizes of a search call.  A call reads the data in windows that
// start small and double up to 1 MiB: a match close to where the call starts
// costs a small read, while a long run without matches is read in 1 MiB
// windows.  Consecutive windows overlap by the pattern's length minus one,
// so an occurrence that starts in the last bytes of one window lies whole in
// the next.
#ifndef VANTO_EDIT_IMPL_SEARCH_WINDOW_H
#define VANTO_EDIT_IMPL_SEARCH_WINDOW_H

#include <algorithm>
#include <cstdint>

#include "vanto_edit/types.h"

namespace vanto::internal {

constexpr int64_t kSearchWindowLimit = VANTO_VIEWPORT_CAPACITY_LIMIT;
constexpr int64_t kSearchFirstWindow = 8192;

// Size of a call's first window for a pattern of `pattern_length` bytes: at
// least twice the pattern, so every window moves the search on by more than
// the pattern's length.  Patterns are shorter than half the limit.
constexpr int64_t first_search_window_(int64_t pattern_length) {
  return std::min(kSearchWindowLimit, std::max(kSearchFirstWindow, 2 * pattern_length));
}

// Size of the window after one of `size` bytes.
constexpr int64_t next_search_window_(int64_t size) {
  return std::min(kSearchWindowLimit, 2 * size);
}

}  // namespace vanto::internal

#endif  // VANTO_EDIT_IMPL_SEARCH_WINDOW_H
