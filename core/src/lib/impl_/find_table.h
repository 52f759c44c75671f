// Layout of the finder's skip table.  Public code sees the record only as
// the opaque vanto_find_skip_table_t.
#ifndef VANTO_EDIT_IMPL_FIND_TABLE_H
#define VANTO_EDIT_IMPL_FIND_TABLE_H

#include <cstdint>

// skip[b]: how far the search position advances when the haystack byte under
// the pattern's last position is b.
struct vanto_find_skip_table_struct {
  std::uint64_t skip[256];
};

#endif  // VANTO_EDIT_IMPL_FIND_TABLE_H
