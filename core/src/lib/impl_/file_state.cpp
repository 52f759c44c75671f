#include "impl_/file_state.h"

#include <sys/stat.h>

#include <cstdio>

#include "impl_/records.h"
#include "vanto_edit/types.h"

namespace vanto::internal {

BackingFileState file_state_of_(int fd) {
  BackingFileState state;
  struct stat st {};
  if (fd >= 0 && ::fstat(fd, &st) == 0) {
    state.recorded = true;
    state.device = st.st_dev;
    state.inode = st.st_ino;
    state.size = st.st_size;
    state.mtime = st.st_mtim;
  }
  return state;
}

void record_backing_file_(vanto_model_struct &model) {
  model.file_state =
      model.backing_file != nullptr ? file_state_of_(::fileno(model.backing_file)) : BackingFileState{};
}

int32_t backing_file_changes_in_place_(const vanto_model_struct &model) {
  if (model.backing_file == nullptr) return FILE_CHANGE_NONE;
  return file_changes_in_place_(::fileno(model.backing_file), model.file_state);
}

int32_t file_changes_in_place_(int fd, const BackingFileState &was) {
  struct stat st {};
  if (!was.recorded || fd < 0 || ::fstat(fd, &st) != 0) {
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
