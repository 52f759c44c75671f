// The file rewrite behind vanto_util_apply_byte_transform_to_file, with the
// progress reports of a session transform.
#ifndef VANTO_EDIT_IMPL_FILE_TRANSFORM_H
#define VANTO_EDIT_IMPL_FILE_TRANSFORM_H

#include <cstdint>

#include "vanto_edit/types.h"

namespace vanto::internal {

class Progress;

// Writes `output_path` as a copy of `input_path` whose `length` bytes at
// `offset` (0 = to the end) went through `transform`, once per byte, in
// order.  Reports the bytes of the file processed to `progress` (may be
// null); a cancel there fails the call.  0, or -1 with the output removed.
// With `fresh_output` the output must be a new file: it is created
// exclusively and a symbolic link at its name is never followed (the call
// fails instead); otherwise an existing output is replaced.
int transform_file_(const char *input_path, const char *output_path, vanto_byte_transform_t transform,
                    void *user_data, int64_t offset, int64_t length, Progress *progress,
                    bool fresh_output = false);

}  // namespace vanto::internal

#endif  // VANTO_EDIT_IMPL_FILE_TRANSFORM_H
