// Bulk byte scanning shared by the finder and the search contexts.
//
// The leftmost occurrence of a needle is found with the C library's memchr
// (one byte) and memmem (longer needles), which scan many bytes per step and
// return the leftmost occurrence, the same result as the skip-table search.
// Case folding is the C locale's lower-case mapping: only 'A' to 'Z' change,
// by a branch-free loop that the compiler turns into vector code.
//
// Masked patterns, and every backward search, go through a probe scan
// (MaskedPattern): two positions of the pattern are tested across a block of
// 64 candidate starts at a time by a loop that the compiler turns into
// vector compares, and only the starts that pass both are checked in full.
// A masked pattern with a run of 4 or more fixed bytes is found forward with
// memmem on that run instead.
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

// A pattern prepared for the probe scan.  `bytes` holds the pattern with
// its mask already applied (pattern byte & mask byte), `mask` one mask byte
// per pattern byte, or null for an exact pattern (every mask byte 0xFF).
// Data byte d matches position i when (d & mask[i]) == bytes[i].
class MaskedPattern {
 public:
  MaskedPattern(const unsigned char *bytes, const unsigned char *mask, std::size_t length)
      : bytes_(bytes), mask_(mask), length_(length) {
    // The probes: the two positions that let the fewest bytes through
    // (most mask bits set), the second as far from the first as possible
    // among equals so that the pair is less likely to pass together.
    int best = -1;
    for (std::size_t i = 0; i < length; ++i) {
      const int bits = __builtin_popcount(mask_at(i));
      if (bits > best) {
        best = bits;
        probe0_ = i;
      }
    }
    probe1_ = probe0_;
    best = -1;
    for (std::size_t i = 0; i < length; ++i) {
      if (i == probe0_) continue;
      const int bits = __builtin_popcount(mask_at(i)) * 2 +
                       ((bytes_[i] != bytes_[probe0_] || mask_at(i) != mask_at(probe0_)) ? 1 : 0);
      const std::size_t distance = i > probe0_ ? i - probe0_ : probe0_ - i;
      const std::size_t best_distance = probe1_ > probe0_ ? probe1_ - probe0_ : probe0_ - probe1_;
      if (bits > best || (bits == best && distance > best_distance)) {
        best = bits;
        probe1_ = i;
      }
    }
    all_wild_ = mask_ != nullptr && best_bits() == 0;
    // The longest run of fixed bytes, for memmem.
    if (mask_ != nullptr) {
      std::size_t start = 0;
      for (std::size_t i = 0; i <= length; ++i) {
        if (i == length || mask_[i] != 0xFF) {
          if (i - start > run_length_) {
            run_start_ = start;
            run_length_ = i - start;
          }
          start = i + 1;
        }
      }
    }
  }

  std::size_t length() const { return length_; }

  // Whether the pattern matches at `at` (length() bytes are readable).
  bool matches_at(const unsigned char *at) const {
    if (mask_ == nullptr) return std::memcmp(at, bytes_, length_) == 0;
    for (std::size_t i = 0; i < length_; ++i) {
      if ((at[i] & mask_[i]) != bytes_[i]) return false;
    }
    return true;
  }

  // Index of the leftmost match in the `size` bytes at `data`, or -1.
  std::ptrdiff_t find_first(const unsigned char *data, std::size_t size) const {
    if (length_ == 0 || length_ > size) return -1;
    if (all_wild_) return 0;
    const std::size_t starts = size - length_ + 1;
    if (mask_ == nullptr && length_ == 1) {
      const void *hit = std::memchr(data, bytes_[0], size);
      return hit != nullptr ? static_cast<const unsigned char *>(hit) - data : -1;
    }
    if (run_length_ >= kMemmemRun) {
      // Every match holds the run at start + run_start_.
      const unsigned char *run = bytes_ + run_start_;
      const unsigned char *from = data + run_start_;
      const unsigned char *const end = data + run_start_ + starts - 1 + run_length_;
      while (from < end) {
        const void *hit = ::memmem(from, static_cast<std::size_t>(end - from), run, run_length_);
        if (hit == nullptr) return -1;
        const unsigned char *start = static_cast<const unsigned char *>(hit) - run_start_;
        if (matches_at(start)) return start - data;
        from = static_cast<const unsigned char *>(hit) + 1;
      }
      return -1;
    }
    std::size_t pos = 0;
    for (; pos + kBlock <= starts; pos += kBlock) {
      if (!block_passes(data + pos)) continue;
      for (std::size_t t = 0; t < kBlock; ++t) {
        if (probes_pass(data + pos + t) && matches_at(data + pos + t)) return static_cast<std::ptrdiff_t>(pos + t);
      }
    }
    for (; pos < starts; ++pos) {
      if (probes_pass(data + pos) && matches_at(data + pos)) return static_cast<std::ptrdiff_t>(pos);
    }
    return -1;
  }

  // Index of the rightmost match in the `size` bytes at `data`, or -1.
  std::ptrdiff_t find_last(const unsigned char *data, std::size_t size) const {
    if (length_ == 0 || length_ > size) return -1;
    const std::size_t starts = size - length_ + 1;
    if (all_wild_) return static_cast<std::ptrdiff_t>(starts - 1);
    if (mask_ == nullptr && length_ == 1) {
      const void *hit = ::memrchr(data, bytes_[0], size);
      return hit != nullptr ? static_cast<const unsigned char *>(hit) - data : -1;
    }
    // Blocks from the end: starts [end - kBlock, end).
    std::size_t end = starts;
    for (; end >= kBlock; end -= kBlock) {
      const std::size_t pos = end - kBlock;
      if (!block_passes(data + pos)) continue;
      for (std::size_t t = kBlock; t-- > 0;) {
        if (probes_pass(data + pos + t) && matches_at(data + pos + t)) return static_cast<std::ptrdiff_t>(pos + t);
      }
    }
    while (end-- > 0) {
      if (probes_pass(data + end) && matches_at(data + end)) return static_cast<std::ptrdiff_t>(end);
    }
    return -1;
  }

 private:
  static constexpr std::size_t kBlock = 64;
  static constexpr std::size_t kMemmemRun = 4;

  unsigned char mask_at(std::size_t i) const { return mask_ != nullptr ? mask_[i] : 0xFF; }
  int best_bits() const { return __builtin_popcount(mask_at(probe0_)); }

  bool probes_pass(const unsigned char *start) const {
    return (start[probe0_] & mask_at(probe0_)) == bytes_[probe0_] &&
           (start[probe1_] & mask_at(probe1_)) == bytes_[probe1_];
  }

  // Whether any of the kBlock starts from `start` passes both probes; a
  // branch-free loop that the compiler vectorises.
  bool block_passes(const unsigned char *start) const {
    const unsigned char *a = start + probe0_;
    const unsigned char *b = start + probe1_;
    const unsigned char ma = mask_at(probe0_), va = bytes_[probe0_];
    const unsigned char mb = mask_at(probe1_), vb = bytes_[probe1_];
    unsigned char any = 0;
    for (std::size_t t = 0; t < kBlock; ++t) {
      any |= static_cast<unsigned char>(((a[t] & ma) == va) & ((b[t] & mb) == vb));
    }
    return any != 0;
  }

  const unsigned char *bytes_;
  const unsigned char *mask_;
  std::size_t length_;
  std::size_t probe0_ = 0;
  std::size_t probe1_ = 0;
  std::size_t run_start_ = 0;
  std::size_t run_length_ = 0;
  bool all_wild_ = false;
};

}  // namespace vanto::internal

#endif  // VANTO_EDIT_IMPL_BYTE_SEARCH_H
