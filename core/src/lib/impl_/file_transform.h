// The file rewrite behind vanto_util_apply_byte_transform_to_file and session
// transforms, with the progress reports of a session transform.
#ifndef VANTO_EDIT_IMPL_FILE_TRANSFORM_H
#define VANTO_EDIT_IMPL_FILE_TRANSFORM_H

#include <sys/types.h>

#include <cstdint>

#include "vanto_edit/types.h"

namespace vanto::internal {

class Progress;

// Writes to the descriptor `out` a copy of the `size` bytes of the
// descriptor `in` whose `length` bytes at `offset` (0 = to the end) went
// through `transform`, once per byte, in order.  Reads with pread, writes
// from the descriptor's current position; neither descriptor is closed.
// Reports the bytes processed to `progress` (may be null); a cancel there
// fails the call.  0, or -1 (what was written is then of no use).
int transform_descriptors_(int in, int64_t size, int out, vanto_byte_transform_t transform,
                           void *user_data, int64_t offset, int64_t length, Progress *progress);

// The same from the file at `input_path` into the file at `output_path`,
// created (0666 less the umask) or truncated.  0, or -1 with the output
// removed.
int transform_file_(const char *input_path, const char *output_path, vanto_byte_transform_t transform,
                    void *user_data, int64_t offset, int64_t length, Progress *progress);

// Creates a new file from a name template ending in six 'X', which are
// replaced until a name is free: exclusive, never through a link, with
// `mode` less the umask, close-on-exec.  The descriptor (read-write), or -1
// with errno set.
int make_unique_file_(char *template_name, mode_t mode);

}  // namespace vanto::internal

#endif  // VANTO_EDIT_IMPL_FILE_TRANSFORM_H
