// The model: a piece table over a backing file and change bytes, its
// update by one change and its exact undo, the records of changes, the
// reading of the data it shows, and its text form.
#ifndef VANTO_EDIT_IMPL_MODEL_H
#define VANTO_EDIT_IMPL_MODEL_H

#include <cstdint>
#include <cstdio>
#include <memory>

#include "impl_/records.h"
#include "vanto_edit/internal.h"

namespace vanto::internal {

// (Re)bases a model on its backing file of `length` bytes: one read piece
// over the whole file, or no pieces for length 0 or less.
void reset_model_segments_(vanto_model_struct &model, int64_t length);

// Releases every change of the model's change list / undone list.
void clear_model_changes_(vanto_model_struct &model);
void clear_model_changes_undone_(vanto_model_struct &model);

// Copies up to `room` bytes of the model's data from `offset` into `out` and
// sets `*filled` to the bytes copied (fewer at the end of the data, 0 at the
// end itself).  0 on success; 1 when the model has no pieces (nothing read);
// -1 when no piece covers the offset or a piece of the backing file cannot
// be read (then `*filled` counts the bytes before it).
int read_data_(const vanto_model_struct &model, int64_t offset, unsigned char *out, int64_t room,
               int64_t *filled);

// Applies a change to the session's current model (an overwrite first
// removes the bytes it replaces) and records in the change what it
// replaced.  0 on success, -1 when no piece covers the change's offset.
int apply_change_to_model_(vanto_session_struct &session, vanto_change_struct *change);

// Undoes the newest change applied to `model` exactly: takes out the pieces
// the change left and puts back those it replaced, as its undo flags tell.
// The model must be as the change left it (every later change undone).
// 0, or -1 when the change holds no record of what it replaced.
int restore_replaced_pieces_(vanto_model_struct &model, vanto_change_struct &change);

// Whether the first `count` changes of the model's change list apply, one
// after the other, to a model based on `length` bytes: the replay is made
// on a scratch table, touching nothing of the model.
bool replay_applies_(const vanto_model_struct &model, size_t count, int64_t length);

// Whether the model's backing file still has the length the model was based
// on (one fstat); a model without a file must have been based on nothing.
bool backing_file_unchanged_(const vanto_model_struct &model);

// Creates a change record held by no store, for the white-box tests (the
// library's own changes come from new_change_); `bytes` (may be null when length is 0) are copied for
// inserts and overwrites.  The caller keeps it alive while pieces refer to it.
std::unique_ptr<vanto_change_struct> make_change_(int64_t serial, int kind, bool transaction_bit,
                                                  int64_t offset, int64_t length,
                                                  const unsigned char *bytes);

// Adds a new change at the end of the current model's store, after emptying
// the undone lists when the current one is not empty; `bytes` are copied for
// inserts and overwrites.  Null when memory runs out.
vanto_change_struct *new_change_(vanto_session_struct &session, int64_t serial, int kind,
                                 bool transaction_bit, int64_t offset, int64_t length,
                                 const unsigned char *bytes);

// Opens `path` read-only as a file to insert from: without blocking,
// close-on-exec, and only a regular file; its state is recorded.  A file the
// session already holds open, unchanged, is shared.  Null when it cannot be
// opened or is not a regular file.
std::shared_ptr<SourceFile> open_source_file_(vanto_session_struct &session, const char *path);

// As new_change_ for an insert or overwrite whose `length` bytes are those
// of `file` from `file_offset` on (not read now).  Null when memory runs out.
vanto_change_struct *new_file_change_(vanto_session_struct &session, int64_t serial, int kind,
                                      bool transaction_bit, int64_t offset, int64_t length,
                                      std::shared_ptr<SourceFile> file, int64_t file_offset);

// Copies up to `length` of a change's bytes from `offset` on into `out`,
// from memory or from its source file.  The bytes copied (0 at the end and
// for a delete at offset 0), -1 for bad arguments or a short read.
int64_t copy_change_bytes_(const vanto_change_struct &change, int64_t offset, unsigned char *out,
                           int64_t length);

// FILE_CHANGE_SIZE / FILE_CHANGE_MTIME of every file inserted from that some
// change of the session still refers to (one fstat each).
int32_t source_files_changes_(const vanto_session_struct &session);

// The first inserted file that a piece of the model shows and that changed
// in place since it was opened; null when none did.
const SourceFile *changed_source_in_data_(const vanto_model_struct &model);

// Opens the file at `path` for reading as a backing file: without blocking
// (a FIFO without a writer must not hold the call), close-on-exec, and only
// when it is a regular file or a block device.  Null when it cannot be had.
FILE *open_backing_file_(const char *path);

// A read stream over the descriptor `fd` of a backing file, which it takes
// over (closed when no stream can be made); null then.
FILE *backing_stream_(int fd);

// Length of a backing file's stream: where its end is now (a block device has
// no size of its own); -1 when it cannot be found.
int64_t stream_length_(FILE *stream);

// Size of a model's backing file, measured now; 0 without a file, -1 when the
// file cannot be measured.
int64_t backing_file_length_(const vanto_model_struct &model);

// Prints the model and aborts: the pieces lost their continuity.
[[noreturn]] void abort_on_continuity_break_(const vanto_model_struct &model, const char *function,
                                             const ContinuityBreak &brk);

// The letter of a change's kind: 'D', 'I' or 'O'.
char change_kind_char_(const vanto_change_struct &change);

}  // namespace vanto::internal

#endif  // VANTO_EDIT_IMPL_MODEL_H
