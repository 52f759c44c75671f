// Byte-pattern finder with a per-pattern skip table: the search position
// advances by the table entry of the haystack byte under the pattern's last
// position, so most positions cost one byte comparison.
//
// Long haystacks are scanned in bulk instead (memchr / memmem, see
// impl_/byte_search.h) once the table is known to be the needle's own: the
// leftmost occurrence is the same either way.  A table that does not belong
// to the needle keeps the skip-table walk, whose result depends on the table.

#include "vanto_edit/find.h"

#include <cstring>
#include <new>

#include "impl_/byte_search.h"
#include "impl_/find_table.h"

namespace {

// Haystacks at least this long are scanned in bulk; below it, checking the
// table would cost more than the walk saves.
constexpr uint64_t kBulkScanMin = 4096;

// Whether `table` holds exactly the entries built for the needle.
bool table_belongs_to(const vanto_find_skip_table_struct &table, const unsigned char *needle,
                      uint64_t needle_length) {
  uint64_t expected[256];
  for (auto &entry : expected) entry = needle_length;
  for (uint64_t i = 0; i + 1 < needle_length; ++i) expected[needle[i]] = needle_length - 1 - i;
  return std::memcmp(expected, table.skip, sizeof expected) == 0;
}

}  // namespace

extern "C" {

vanto_find_skip_table_t *vanto_find_create_skip_table(const unsigned char *pattern,
                                                      uint64_t pattern_length) {
  if (pattern == nullptr && pattern_length != 0) return nullptr;
  auto *table = new (std::nothrow) vanto_find_skip_table_struct;
  if (table == nullptr) return nullptr;
  // An empty pattern has no meaningful advances; 1 keeps any search moving.
  const uint64_t full = pattern_length == 0 ? 1 : pattern_length;
  for (auto &entry : table->skip) entry = full;
  // Later occurrences overwrite earlier ones, so each byte ends with the
  // distance from its rightmost occurrence before the last position.
  for (uint64_t i = 0; i + 1 < pattern_length; ++i) {
    table->skip[pattern[i]] = pattern_length - 1 - i;
  }
  return table;
}

const unsigned char *vanto_find(const unsigned char *haystack, uint64_t haystack_length,
                                const vanto_find_skip_table_t *table, const unsigned char *needle,
                                uint64_t needle_length) {
  if (haystack == nullptr || needle == nullptr) return nullptr;
  if (needle_length == 0 || needle_length > haystack_length) return nullptr;
  if (needle_length == 1) {
    return vanto::internal::find_leftmost_(haystack, haystack_length, needle, 1);
  }
  if (table == nullptr) return nullptr;
  if (haystack_length >= kBulkScanMin && table_belongs_to(*table, needle, needle_length)) {
    return vanto::internal::find_leftmost_(haystack, haystack_length, needle, needle_length);
  }

  const uint64_t last_index = needle_length - 1;
  const unsigned char last = needle[last_index];
  const uint64_t limit = haystack_length - needle_length;  // last start position
  uint64_t pos = 0;
  for (;;) {
    const unsigned char c = haystack[pos + last_index];
    if (c == last && std::memcmp(haystack + pos, needle, last_index) == 0) return haystack + pos;
    // A table built for this needle never holds 0 or more than its length;
    // the guards keep a mismatched table from stalling or wrapping around.
    uint64_t advance = table->skip[c];
    if (advance == 0) advance = 1;
    if (advance > limit - pos) return nullptr;
    pos += advance;
  }
}

void vanto_find_destroy_skip_table(vanto_find_skip_table_t *table) { delete table; }

}  // extern "C"
