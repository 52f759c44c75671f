// Undo and redo: walking the current model's history back and forth, one
// change transaction per call.
//
// Undo patches the model: the newest change gives way to the pieces it
// replaced, which the model update recorded in it, so the model is exactly
// the one a replay of the remaining changes would build, at the cost of the
// pieces touched.  That holds while the backing file has the length the
// model was based on, which one fstat tells; when it has not, undo rebuilds
// the model from the file as it is now and replays the changes that remain.
// Redo sends the most recently undone change down the same road as a new
// change (apply_change_).  A transaction is a run of changes with equal
// transaction bits; both calls step through it one change at a time, each
// step with its own events, until the bit changes.
//
// Neither call loses history when it fails: a change whose undo or redo
// cannot be completed stays where it was, with the serial it had.
#include <algorithm>
#include <memory>
#include <utility>

#include "impl_/internal_fun.h"
#include "vanto_edit/edit.h"

using namespace vanto::internal;

namespace {

using ChangePtr = vanto_change_struct *;

enum class Step { kNothing, kFailed, kDone };

// Undo and redo are refused while changes are paused, while an operation's
// events run half way through it, and from the events of a change (an edit,
// an undo or a redo), where the change being reported is still on its way.
bool changes_paused(const vanto_session_struct &session) {
  return (session.flags & (SESSION_FLAG_CHANGES_PAUSED | kFlagChangesLocked | kFlagInChangeEvents)) != 0;
}

// Rebases the current model on `length` bytes of its backing file and
// replays the first `count` changes of its change list, oldest first; each
// records again what it replaced.  replay_applies_() has said they apply.
void rebuild_current_model(vanto_session_struct &session, size_t count, int64_t length) {
  vanto_model_struct &model = session.current_model();
  reset_model_segments_(model, length);
  for (size_t i = 0; i < count; ++i) apply_change_to_model_(session, model.changes[i]);
}

// Undoes the newest change of the current model.  On kDone, `undone` holds
// the change, now negated and at the end of the undone list, and its events
// have been sent.  On kFailed nothing has changed.
Step undo_one(vanto_session_struct &session, ChangePtr &undone) {
  if (changes_paused(session)) return Step::kNothing;
  vanto_model_struct &model = session.current_model();
  if (model.changes.empty()) return Step::kNothing;

  ChangePtr change = model.changes.back();
  if (backing_file_unchanged_(model) && (change->undo & kUndoRecorded) != 0) {
    if (restore_replaced_pieces_(model, *change) != 0) return Step::kFailed;
  } else {
    // The file changed length since the model was built: the rebuild takes
    // it as it is now, if the remaining changes still apply to it.
    const int64_t length = backing_file_length_(model);
    if (length < 0) return Step::kFailed;
    const size_t remaining = model.changes.size() - 1;
    if (!replay_applies_(model, remaining, length)) return Step::kFailed;
    model.changes.forget_undo(*change);
    rebuild_current_model(session, remaining, length);
  }
  model.changes.undo_last();

  change->serial = -change->serial;
  {
    FlagScope in_events(session, kFlagInChangeEvents);
    mark_affected_viewports_(session, *change, ViewportMotion::kInverse);
    notify_session_(session, SESSION_EVENT_UNDO, change);
  }
  undone = change;
  return Step::kDone;
}

// Redoes the most recently undone change of the current model.  On kDone,
// `redone` holds the change, applied again with its positive serial.  On
// kFailed the change is back at the end of the undone list with its negative
// serial and the change list is as it was.
Step redo_one(vanto_session_struct &session, ChangePtr &redone) {
  if (changes_paused(session)) return Step::kNothing;
  vanto_model_struct &model = session.current_model();
  if (model.changes.undone_empty()) return Step::kNothing;

  ChangePtr change = model.changes.last_undone();
  if (apply_change_(session, change) < 0) return Step::kFailed;
  redone = change;
  return Step::kDone;
}

// The two lists as the walk sees them: whether empty, and the change at the
// end the walk takes from.
struct AppliedList {
  const ChangeStore *store;
  bool empty() const { return store->empty(); }
  vanto_change_struct *back() const { return store->back(); }
};
struct UndoneList {
  const ChangeStore *store;
  bool empty() const { return store->undone_empty(); }
  vanto_change_struct *back() const { return store->last_undone(); }
};

// Walks one change transaction: `step` moves one change from one list of
// the current model to the other, and the walk goes on while the list it
// takes from (`source` of the model) ends with a change of the same
// transaction.  Each step re-checks the pause flag, so a callback that
// pauses changes stops the walk with the result 0.  Returns the serial of
// the last change moved, 0 when there was nothing to move, -1 on failure.
template <typename StepFn, typename SourceFn>
int64_t walk_transaction(vanto_session_struct &session, StepFn step, SourceFn source) {
  while (true) {
    ChangePtr moved;
    switch (step(session, moved)) {
      case Step::kNothing:
        return 0;
      case Step::kFailed:
        return -1;
      case Step::kDone:
        break;
    }
    const auto rest = source(session.current_model());
    if (rest.empty() || rest.back()->transaction_bit() != moved->transaction_bit()) {
      return moved->serial;
    }
  }
}

}  // namespace

int64_t vanto_edit_undo_last_change(vanto_session_t *session) {
  if (session == nullptr) return 0;
  // Newest change first, until the change list runs out or its next change
  // belongs to another transaction.
  return walk_transaction(*session, undo_one,
                          [](const vanto_model_struct &model) { return AppliedList{&model.changes}; });
}

int64_t vanto_edit_redo_last_undo(vanto_session_t *session) {
  if (session == nullptr) return 0;
  // The mirror of undo: changes come back in the order they were made.
  return walk_transaction(*session, redo_one, [](const vanto_model_struct &model) {
    return UndoneList{&model.changes};
  });
}
