// The library's internal records: changes, models and their pieces,
// segments, viewports, search contexts, visitor contexts and the session.
//
// Hosts see these only as opaque handles.  Ownership:
//   - a session owns its models (unique_ptr) and shares its viewports and
//     search contexts (shared_ptr, the lists are the only other holders);
//   - a model shares its changes with its model segments: a change lives
//     while a change list, an undone list or a model segment holds it.
#ifndef VANTO_EDIT_IMPL_RECORDS_H
#define VANTO_EDIT_IMPL_RECORDS_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "vanto_edit/types.h"
#include "impl_/segment_sequence.h"

// Small-buffer storage: fewer than 8 bytes (plus the terminating zero) live in
// the 8-byte field itself, longer runs in a heap block of length + 1 bytes.
union vanto_small_buffer {
  unsigned char sm_bytes[8];
  unsigned char *bytes_ptr;
};

namespace vanto::internal {

constexpr int64_t kSmallBufferLimit = 8;

inline bool is_inline_size(int64_t size) { return (size < 0 ? -size : size) < kSmallBufferLimit; }

// Address of the data held by a small buffer whose size (capacity or length)
// is `size`.  Only the magnitude of `size` decides inline or heap.
inline unsigned char *small_buffer_data(vanto_small_buffer &buffer, int64_t size) {
  return is_inline_size(size) ? buffer.sm_bytes : buffer.bytes_ptr;
}
inline const unsigned char *small_buffer_data(const vanto_small_buffer &buffer, int64_t size) {
  return is_inline_size(size) ? buffer.sm_bytes : buffer.bytes_ptr;
}

// Sets up a buffer for `size` bytes plus a terminating zero; the zero byte at
// index `size` is written.  Heap blocks are zero-initialised.
inline void small_buffer_allocate(vanto_small_buffer &buffer, int64_t size) {
  buffer.bytes_ptr = nullptr;
  for (auto &b : buffer.sm_bytes) b = 0;
  if (!is_inline_size(size)) {
    buffer.bytes_ptr = static_cast<unsigned char *>(std::calloc(static_cast<size_t>(size) + 1, 1));
    if (buffer.bytes_ptr == nullptr) std::abort();
  }
}

inline void small_buffer_free(vanto_small_buffer &buffer, int64_t size) {
  if (!is_inline_size(size)) {
    std::free(buffer.bytes_ptr);
    buffer.bytes_ptr = nullptr;
  }
}

constexpr uint8_t kChangeKindMask = 0x03;
constexpr uint8_t kTransactionBit = 0x04;

}  // namespace vanto::internal

// One delete, insert or overwrite.
struct vanto_change_struct {
  int64_t serial = 0;     // positive while applied, negated while undone, 0 for base changes
  uint8_t kind = 0;       // bits 0-1 kind, bit 2 transaction bit
  int64_t offset = 0;
  int64_t length = 0;
  vanto_small_buffer data{};  // inserts and overwrites: the bytes and a zero byte
  bool owns_bytes = false;    // data holds bytes (inserts and overwrites made by edits)

  vanto_change_struct() = default;
  vanto_change_struct(const vanto_change_struct &) = delete;
  vanto_change_struct &operator=(const vanto_change_struct &) = delete;
  ~vanto_change_struct() {
    if (owns_bytes) vanto::internal::small_buffer_free(data, length);
  }

  int kind_value() const { return kind & vanto::internal::kChangeKindMask; }
  bool transaction_bit() const { return (kind & vanto::internal::kTransactionBit) != 0; }
  // The bytes of an insert or overwrite, null for deletes and base changes.
  const unsigned char *bytes() const {
    return owns_bytes ? vanto::internal::small_buffer_data(data, length) : nullptr;
  }
};

// A caller-visible buffer filled from the current model.
struct vanto_segment_struct {
  int64_t offset = -1;
  int64_t length = 0;
  int64_t capacity = 0;  // negated while a viewport is marked as having changes
  vanto_small_buffer data{};
  uint8_t is_floating = 0;
  int64_t offset_adjustment = 0;
};

// The piece table of one checkpoint level.
struct vanto_model_struct {
  FILE *backing_file = nullptr;
  std::string file_path;
  std::vector<std::shared_ptr<vanto_change_struct>> changes;
  std::vector<std::shared_ptr<vanto_change_struct>> changes_undone;
  vanto::internal::SegmentSequence model_segments;

  vanto_model_struct() = default;
  vanto_model_struct(const vanto_model_struct &) = delete;
  vanto_model_struct &operator=(const vanto_model_struct &) = delete;
  ~vanto_model_struct() {
    if (backing_file != nullptr) std::fclose(backing_file);
  }
};

struct vanto_viewport_struct {
  vanto_session_struct *session_ptr = nullptr;
  vanto_segment_struct data_segment{};
  vanto_viewport_event_cbk_t event_cbk = nullptr;
  void *user_data_ptr = nullptr;
  int32_t event_interest = 0;
};

struct vanto_find_skip_table_struct;

struct vanto_search_context_struct {
  vanto_find_skip_table_struct *skip_table_ptr = nullptr;
  vanto_session_struct *session_ptr = nullptr;
  int64_t pattern_length = 0;
  int64_t session_offset = 0;
  int64_t session_length = 0;
  int64_t match_offset = 0;
  vanto_byte_transform_t byte_transform = nullptr;
  vanto_small_buffer pattern{};
};

struct vanto_visit_change_context_struct {
  vanto_session_struct *session_ptr = nullptr;
  uint8_t at_end = 1;
  uint8_t reverse = 0;
  // Index into the current change list: forward, the current change; reverse,
  // the place just after the current change.  -1 until the first begin.
  int64_t position = -1;
};

struct vanto_session_struct {
  vanto_session_event_cbk_t event_cbk = nullptr;
  void *user_data_ptr = nullptr;
  int32_t event_interest = 0;
  std::vector<std::shared_ptr<vanto_viewport_struct>> viewports;
  std::vector<std::shared_ptr<vanto_search_context_struct>> search_contexts;
  std::vector<std::unique_ptr<vanto_model_struct>> models;
  int64_t prior_change_count = 0;
  uint8_t flags = 0;
  vanto_progress_cbk_t progress_cbk = nullptr;  // progress hook of long calls, may be null
  void *progress_user_data = nullptr;

  vanto_model_struct &current_model() { return *models.back(); }
  const vanto_model_struct &current_model() const { return *models.back(); }
  vanto_model_struct &first_model() { return *models.front(); }
};

#endif  // VANTO_EDIT_IMPL_RECORDS_H
