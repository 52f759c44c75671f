#include "impl_/file_state.h"

#include <sys/stat.h>

#include <cstdio>

#include "impl_/records.h"
#include "vanto_edit/types.h"

namespace vanto::internal {

void record_backing_file_(vanto_model_struct &model) {
  BackingFileState state;
  struct stat st {};
  if (model.backing_file != nullptr && ::fstat(::fileno(model.backing_file), &st) == 0) {
    state.recorded = true;
    state.device = st.st_dev;
    state.inode = st.st_ino;
    state.size = st.st_size;
    state.mtime = st.st_mtim;
  }
  model.file_state = state;
}

int32_t backing_file_changes_in_place_(const vanto_model_struct &model) {
  if (model.backing_file == nullptr) return FILE_CHANGE_NONE;
  const BackingFileState &was = model.file_state;
  struct stat st {};
  if (!was.recorded || ::fstat(::fileno(model.backing_file), &st) != 0) {
    return FILE_CHANGE_SIZE | FILE_CHANGE_MTIME;
  }
  int32_t changes = FILE_CHANGE_NONE;
  if (st.st_size != was.size) changes |= FILE_CHANGE_SIZE;
  if (st.st_mtim.tv_sec != was.mtime.tv_sec || st.st_mtim.tv_nsec != was.mtime.tv_nsec) {
    changes |= FILE_CHANGE_MTIME;
  }
  return changes;
}

int32_t backing_file_changes_by_name_(const vanto_model_struct &model, const std::string &path) {
  if (model.backing_file == nullptr) return FILE_CHANGE_NONE;
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return FILE_CHANGE_REMOVED;
  const BackingFileState &was = model.file_state;
  if (!was.recorded || st.st_dev != was.device || st.st_ino != was.inode) return FILE_CHANGE_REPLACED;
  return FILE_CHANGE_NONE;
}

}  // namespace vanto::internal
