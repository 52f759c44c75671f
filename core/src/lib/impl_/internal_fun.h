// The session's steps shared by the families: the road of a change, the
// internal flags, the removal of viewports and search contexts, and the
// checkpoint levels.  The model (impl_/model.h) and the events
// (impl_/events.h) come with it.
#ifndef VANTO_EDIT_IMPL_INTERNAL_FUN_H
#define VANTO_EDIT_IMPL_INTERNAL_FUN_H

#include <cstdint>
#include <functional>

#include "impl_/events.h"
#include "impl_/model.h"
#include "impl_/records.h"

namespace vanto::internal {

// The road of every new or redone change: history, model, viewports, events.
// A new change is already the newest in the current model's store (see
// new_change_); a redone one is the most recently undone.  Returns the
// change's serial, or -1.
int64_t apply_change_(vanto_session_struct &session, vanto_change_struct *change);

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

}  // namespace vanto::internal

#endif  // VANTO_EDIT_IMPL_INTERNAL_FUN_H
