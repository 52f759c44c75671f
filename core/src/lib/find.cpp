// Byte-pattern finder with a per-pattern skip table: the search position
// advances by the table entry of the haystack byte under the pattern's last
// position, so most positions cost one byte comparison.

#include "vanto_edit/find.h"

#include <cstring>
#include <new>

#include "impl_/find_table.h"

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
    for (uint64_t i = 0; i < haystack_length; ++i) {
      if (haystack[i] == needle[0]) return haystack + i;
    }
    return nullptr;
  }
  if (table == nullptr) return nullptr;

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
