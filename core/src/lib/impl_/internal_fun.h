// Internal functions shared by the library's families.
#ifndef VANTO_EDIT_IMPL_INTERNAL_FUN_H
#define VANTO_EDIT_IMPL_INTERNAL_FUN_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <ostream>

#include "impl_/records.h"
#include "vanto_edit/internal.h"

namespace vanto::internal {

// (Re)bases a model on its backing file of `length` bytes: one read piece
// over the whole file, or no pieces for length 0 or less.
void reset_model_segments_(vanto_model_struct &model, int64_t length);

// Releases every change of the model's change list / undone list.
void clear_model_changes_(vanto_model_struct &model);
void clear_model_changes_undone_(vanto_model_struct &model);

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

// The road of every new or redone change: history, model, viewports, events.
// A new change is already the newest in the current model's store (see
// new_change_); a redone one is the most recently undone.  Returns the
// change's serial, or -1.
int64_t apply_change_(vanto_session_struct &session, vanto_change_struct *change);

// How floating viewports move for a change: as the change itself moves the
// data (applied and redone changes) or as its inverse does (undone changes).
enum class ViewportMotion { kForward, kInverse };

// The viewport step: moves floating viewports, marks the viewports the change
// touches and sends them VIEWPORT_EVENT_EDIT (serial > 0) or
// VIEWPORT_EVENT_UNDO.
void mark_affected_viewports_(vanto_session_struct &session, const vanto_change_struct &change,
                              ViewportMotion motion);

// Touch test of one viewport against a change, at the viewport's current offset.
bool change_affects_viewport_(const vanto_viewport_struct &viewport,
                              const vanto_change_struct &change);

// Marks every viewport as having changes and sends it `viewport_event` with a
// null pointer, in creation order; then sends the session `session_event`.
void mark_all_viewports_(vanto_session_struct &session, int32_t viewport_event,
                         int32_t session_event);

// Internal bits of the session's flags, above the four the host can see.
//
// kFlagChangesLocked: an operation is half done while its events run (the
// save of a checkpoint, the checkpoints dropped by a clear or a re-basing
// save, a transform before its rewrite, a session being destroyed).  A
// change made then would be counted yet miss the data the operation goes on
// to build, so every call that changes the data or the history refuses.
//
// kFlagInChangeEvents: the events of an edit, undo or redo are running.  The
// change is half way through its road (in the lists, not yet returned, an
// undo walk between two steps), so undo and redo refuse; edits may still be
// made and take their own road.
constexpr uint8_t kFlagChangesLocked = 16;
constexpr uint8_t kFlagInChangeEvents = 32;

inline bool changes_locked_(const vanto_session_struct &session) {
  return (session.flags & kFlagChangesLocked) != 0;
}

// Sets one of the internal flag bits for a scope and puts it back as it was
// (nested scopes of the same bit leave it set for the outer one).  release()
// ends the scope early, before an operation's closing events.
class FlagScope {
 public:
  FlagScope(vanto_session_struct &session, uint8_t bit)
      : session_(&session), bit_(bit), was_set_((session.flags & bit) != 0) {
    session.flags |= bit;
  }
  ~FlagScope() { release(); }
  FlagScope(const FlagScope &) = delete;
  FlagScope &operator=(const FlagScope &) = delete;

  void release() {
    if (session_ != nullptr && !was_set_) session_->flags &= static_cast<uint8_t>(~bit_);
    session_ = nullptr;
  }

 private:
  vanto_session_struct *session_;
  uint8_t bit_;
  bool was_set_;
};

// Viewports and search contexts are shared records: a loop that calls the
// host holds them alive, so one destroyed by a callback is still readable.
// Destruction takes them off their session (null session pointer); nothing
// is sent to such a record any more.
inline bool is_detached_(const vanto_viewport_struct &viewport) {
  return viewport.session_ptr == nullptr;
}

// Session delivery rule: the callback is called when set and interested.
void notify_session_(const vanto_session_struct &session, int32_t event, const void *event_ptr);

// Viewport delivery rule: callback set, interested, callbacks not paused.
int notify_viewport_(const vanto_viewport_struct &viewport, int32_t event, const void *event_ptr);

// Marks a viewport as having changes (its capacity field goes negative).
inline void mark_viewport_(vanto_viewport_struct &viewport) {
  auto &cap = viewport.data_segment.capacity;
  if (cap > 0) cap = -cap;
}

// a + b, held at the int64 limits instead of overflowing.  Viewport offsets
// come from the host unchecked, so window arithmetic must not wrap.
inline int64_t saturating_add_(int64_t a, int64_t b) {
  int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? INT64_MAX : INT64_MIN;
  return sum;
}

// Offset a viewport shows: base plus adjustment.
inline int64_t viewport_offset_(const vanto_viewport_struct &viewport) {
  return saturating_add_(viewport.data_segment.offset, viewport.data_segment.offset_adjustment);
}

// Creates a change record held by no store (the temporary removal of an
// overwrite, tests); `bytes` (may be null when length is 0) are copied for
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

// Records an insert or overwrite (kind CHANGE_INSERT or CHANGE_OVERWRITE)
// after the refusal tests.  With `measure_text`, a length of 0 means the
// bytes are a zero-terminated text to be measured.  Returns the serial, 0
// when refused, -1 when the model update fails.
int64_t record_bytes_change_(vanto_session_t *session, int kind, int64_t offset,
                             const unsigned char *bytes, int64_t length, bool measure_text);

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

// Removes a viewport or search context from the session's list, newest
// first; false when it is not there.
bool destroy_viewport_(vanto_session_struct &session, const vanto_viewport_struct *viewport);
bool destroy_search_context_(vanto_session_struct &session,
                             const vanto_search_context_struct *context);

// Drops the newest checkpoint level (the session has one): its file, its
// changes, the viewports' marks and SESSION_EVENT_DESTROY_CHECKPOINT, as
// vanto_edit_destroy_last_checkpoint does without its refusal tests.
void destroy_last_checkpoint_(vanto_session_struct &session);

// Returns the session to its first model with an empty history, as a clear
// and a save over the session's own file do.  Changes are locked meanwhile.
// In order: every checkpoint is dropped (destroy_last_checkpoint_, newest
// first); `rebase_file`, when given, puts the first model on its new file;
// the first model is re-based on `length` bytes and every history released;
// then every viewport is marked and hears VIEWPORT_EVENT_CLEAR, and the
// session SESSION_EVENT_CLEAR.
void reset_to_first_model_(vanto_session_struct &session, int64_t length,
                           const std::function<void(vanto_model_struct &first)> &rebase_file = {});

// Prints the model and aborts: the pieces lost their continuity.
[[noreturn]] void abort_on_continuity_break_(const vanto_model_struct &model, const char *function,
                                             const ContinuityBreak &brk);

}  // namespace vanto::internal

#endif  // VANTO_EDIT_IMPL_INTERNAL_FUN_H
