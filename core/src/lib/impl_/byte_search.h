// Bulk byte scanning shared by the finder and the search contexts.
//
// The leftmost occurrence of a needle is found with the C library's memchr
// (one byte) and memmem (longer needles), which scan many bytes per step and
// return the leftmost occurrence, the same result as the skip-table search.
// Case folding is the C locale's lower-case mapping: only 'A' to 'Z' change,
// by a branch-free loop that the compiler turns into vector code.
#ifndef VANTO_EDIT_IMPL_BYTE_SEARCH_H
#define VANTO_EDIT_IMPL_BYTE_SEARCH_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vanto::internal {

// Address of the leftmost occurrence of the needle in the haystack, or null.
// An empty needle or one longer than the haystack finds nothing.
inline const unsigned char *find_leftmost_(const unsigned char *haystack, std::size_t haystack_length,
                                           const unsigned char *needle, std::size_t needle_length) {
  if (needle_length == 0 || needle_length > haystack_length) return nullptr;
  if (needle_length == 1) {
    return static_cast<const unsigned char *>(std::memchr(haystack, needle[0], haystack_length));
  }
  return static_cast<const unsigned char *>(::memmem(haystack, haystack_length, needle, needle_length));
}

// The C locale's lower case of one byte: 'A' to 'Z' become 'a' to 'z', every
// other byte stays.
constexpr unsigned char fold_lower_(unsigned char byte) {
  return static_cast<unsigned char>(byte + (static_cast<unsigned char>(byte - 'A') < 26 ? 32 : 0));
}

// Folds `length` bytes in place with fold_lower_.
inline void fold_lower_bulk_(unsigned char *bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char b = bytes[i];
    bytes[i] = static_cast<unsigned char>(b + ((static_cast<unsigned char>(b - 'A') < 26) << 5));
  }
}

}  // namespace vanto::internal

#endif  // VANTO_EDIT_IMPL_BYTE_SEARCH_H
