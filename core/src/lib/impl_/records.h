// The library's internal records: changes, models and their pieces,
// segments, viewports, search contexts, visitor contexts and the session.
//
// Hosts see these only as opaque handles.  Ownership:
//   - a session owns its models (unique_ptr) and shares its viewports and
//     search contexts (shared_ptr, the lists are the only other holders);
//   - a model owns its changes in its change store (impl_/change_store.h)
//     and its base change as a member.  Pieces and undo records refer to
//     changes by plain pointer.  The rule that keeps them valid: a change
//     must outlive every piece and every undo record that refers to it.  It
//     holds because pieces only ever refer to the base change or to applied
//     changes of their model, undo records only to changes older than their
//     own, and the store drops changes only when they are undone (their
//     pieces are gone then) or when the whole history goes.
//   - a change made from another file owns a FileBytes record that shares
//     the open file (SourceFile) with the other changes made from it; the
//     file closes with the last of them.
#ifndef VANTO_EDIT_IMPL_RECORDS_H
#define VANTO_EDIT_IMPL_RECORDS_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "vanto_edit/types.h"
#include "impl_/file_state.h"
#include "impl_/piece_table.h"

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

// Where a change's bytes live (vanto_change_struct::owns_bytes).
constexpr uint8_t kBytesNone = 0;   // a delete or a base change
constexpr uint8_t kBytesHeap = 1;   // inline, or a heap block the change frees
constexpr uint8_t kBytesArena = 2;  // in the change store's byte arena
constexpr uint8_t kBytesFile = 3;   // a range of another open file (FileBytes)

// A file an insert or overwrite takes a range of, opened read-only and kept
// open while any change refers to it (so it stays readable after its name
// goes).  The changes share it; the session keeps a weak list of them so
// that a second insert of the same unchanged file reuses the descriptor.
struct SourceFile {
  int fd = -1;
  std::string path;
  BackingFileState state;  // when it was opened; what a later look compares with
  SourceFile() = default;
  SourceFile(const SourceFile &) = delete;
  SourceFile &operator=(const SourceFile &) = delete;
  ~SourceFile();
};

// What `data` of a kBytesFile change points to: the bytes are the `length`
// bytes of `file` from `offset` on.  Owned by the change.
struct FileBytes {
  std::shared_ptr<SourceFile> file;
  int64_t offset = 0;
};

// What the model update keeps about the pieces a change replaced
// (vanto_change_struct::undo), so that undo can put them back exactly.
// Undo finds the first piece the change left by the change's offset: at 0
// it is the first piece; elsewhere the piece covering the offset is the one
// that ends there, and the change's pieces begin with it when the change
// split it (kUndoSplit) or right after it otherwise.  Of the pieces found,
// the first kUndoNewMask >> kUndoNewShift are the change's own; they give
// way to the pieces replaced.  A single replaced piece that the new pieces
// show a part of is derived from them (kUndoDerived); any other replaced
// pieces are kept in the model's change store, numbered by `kept_pieces`.
constexpr uint8_t kUndoSplit = 0x01;
constexpr uint8_t kUndoNewShift = 1;
constexpr uint8_t kUndoNewMask = 0x06;
constexpr uint8_t kUndoDerived = 0x08;
constexpr uint8_t kUndoRecorded = 0x10;

}  // namespace vanto::internal

// One delete, insert or overwrite.
struct vanto_change_struct {
  int64_t serial = 0;     // positive while applied, negated while undone, 0 for base changes
  int64_t offset = 0;
  int64_t length = 0;
  vanto_small_buffer data{};  // inserts and overwrites: the bytes and a zero byte
  uint8_t kind = 0;           // bits 0-1 kind, bit 2 transaction bit
  uint8_t owns_bytes = vanto::internal::kBytesNone;  // where `data` points (kBytes*)
  uint8_t undo = 0;                                  // kUndo* flags of the last update
  uint32_t kept_pieces = 0;  // replaced pieces kept whole: 1 + their index in the store, or 0

  vanto_change_struct() = default;
  vanto_change_struct(const vanto_change_struct &) = delete;
  vanto_change_struct &operator=(const vanto_change_struct &) = delete;
  ~vanto_change_struct() { release(); }

  // Frees the heap bytes the change owns.  (Kept pieces belong to the
  // change store, which frees them.)
  void release() {
    if (owns_bytes == vanto::internal::kBytesHeap) vanto::internal::small_buffer_free(data, length);
    if (owns_bytes == vanto::internal::kBytesFile) {
      delete file_bytes();
      data.bytes_ptr = nullptr;
    }
    owns_bytes = vanto::internal::kBytesNone;
  }

  int kind_value() const { return kind & vanto::internal::kChangeKindMask; }
  bool transaction_bit() const { return (kind & vanto::internal::kTransactionBit) != 0; }
  // The bytes of an insert or overwrite held in memory; null for deletes,
  // base changes and changes whose bytes are a range of another file.
  const unsigned char *bytes() const {
    return owns_bytes != vanto::internal::kBytesNone && owns_bytes != vanto::internal::kBytesFile
               ? vanto::internal::small_buffer_data(data, length)
               : nullptr;
  }
  // Where the bytes of a kBytesFile change are; null for any other change.
  vanto::internal::FileBytes *file_bytes() const {
    return owns_bytes == vanto::internal::kBytesFile
               ? reinterpret_cast<vanto::internal::FileBytes *>(data.bytes_ptr)
               : nullptr;
  }
};

// Every change costs its record; keep it at five words.
static_assert(sizeof(vanto_change_struct) <= 40, "change records grew");

#include "impl_/change_store.h"

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
  // The backing file as it was when the model was given it (see
  // impl_/file_state.h); what a later look at the file is compared with.
  vanto::internal::BackingFileState file_state;
  // The base change of the read pieces: serial 0, an insert without bytes
  // over the backing file's length when the model was last based on it.
  vanto_change_struct base;
  // The change list and the undone list, in one store.
  vanto::internal::ChangeStore changes;
  vanto::internal::PieceTable model_segments;

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
  // Built with the context and released with it, but the search does not
  // consult it: memchr / memmem find the same leftmost match.
  vanto_find_skip_table_struct *skip_table_ptr = nullptr;
  vanto_session_struct *session_ptr = nullptr;
  int64_t pattern_length = 0;
  int64_t session_offset = 0;
  int64_t session_length = 0;
  int64_t match_offset = 0;
  vanto_byte_transform_t byte_transform = nullptr;
  vanto_small_buffer pattern{};
  // One mask byte per pattern byte of a masked search (the stored pattern
  // is then already masked); empty for an exact one.
  std::vector<unsigned char> mask;
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
  // Files inserted from that some change (applied or undone, at any level)
  // still refers to; expired entries are pruned when a file is opened.
  std::vector<std::weak_ptr<vanto::internal::SourceFile>> source_files;

  vanto_model_struct &current_model() { return *models.back(); }
  const vanto_model_struct &current_model() const { return *models.back(); }
  vanto_model_struct &first_model() { return *models.front(); }
};

#endif  // VANTO_EDIT_IMPL_RECORDS_H
