// What a model's backing file was when the model last based itself on it,
// and what has changed about it since.
#ifndef VANTO_EDIT_IMPL_FILE_STATE_H
#define VANTO_EDIT_IMPL_FILE_STATE_H

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>

struct vanto_model_struct;

namespace vanto::internal {

// Identity and state of an open backing file, taken through its descriptor.
struct BackingFileState {
  bool recorded = false;  // false: no file, or it could not be examined
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  struct timespec mtime {};
};

// The state of the open file `fd` now (one fstat); not recorded when it
// cannot be examined.
BackingFileState file_state_of_(int fd);

// FILE_CHANGE_SIZE and FILE_CHANGE_MTIME: how the open file `fd` differs
// from `was` (one fstat); both bits when either cannot be examined.
int32_t file_changes_in_place_(int fd, const BackingFileState &was);

// Records the state of the model's backing file now (one fstat).  Called
// whenever a model is given a file: at session creation, when a save
// re-bases the session, for a checkpoint and for a transform's rewrite.
void record_backing_file_(vanto_model_struct &model);

// FILE_CHANGE_SIZE and FILE_CHANGE_MTIME: how the open file differs from its
// record (one fstat of its descriptor), so whether the bytes the model reads
// lazily may have changed.  0 for a model without a file; both bits when
// the file was never recorded or cannot be examined now.
int32_t backing_file_changes_in_place_(const vanto_model_struct &model);

// FILE_CHANGE_REMOVED when `path` leads to no file, FILE_CHANGE_REPLACED
// when it leads to another file than the recorded one (one stat).  0 for a
// model without a file.
int32_t backing_file_changes_by_name_(const vanto_model_struct &model, const std::string &path);

}  // namespace vanto::internal

#endif  // VANTO_EDIT_IMPL_FILE_STATE_H
