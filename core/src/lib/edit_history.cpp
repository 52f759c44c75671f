// Undo and redo: walking the current model's history back and forth, one
// change transaction per call.
//
// Undo does not patch the model: it takes the newest change off the change
// list, rebuilds the model from its backing file and replays the changes that
// remain.  Redo sends the most recently undone change down the same road as a
// new change (apply_change_).  A transaction is a run of changes with equal
// transaction bits; both calls step through it one change at a time, each
// step with its own events, until the bit changes.
//
// Neither call loses history when it fails: a change whose undo or redo
// cannot be completed stays where it was, with the serial it had.
#include <memory>
#include <utility>

#include "impl_/internal_fun.h"
#include "vanto_edit/edit.h"

using namespace vanto::internal;

namespace {

using ChangePtr = std::shared_ptr<vanto_change_struct>;

enum class Step { kNothing, kFailed, kDone };

// Undo and redo are refused while changes are paused, while an operation's
// events run half way through it, and from the events of a change (an edit,
// an undo or a redo), where the change being reported is still on its way.
bool changes_paused(const vanto_session_struct &session) {
  return (session.flags & (SESSION_FLAG_CHANGES_PAUSED | kFlagChangesLocked | kFlagInChangeEvents)) != 0;
}

// Rebases the current model on `length` bytes of its backing file and
// replays its change list, oldest first.  false at the first change that no
// longer applies.
bool rebuild_current_model(vanto_session_struct &session, int64_t length) {
  vanto_model_struct &model = session.current_model();
  reset_model_segments_(model, length);
  for (const ChangePtr &change : model.changes) {
    if (apply_change_to_model_(session, change) != 0) return false;
  }
  return true;
}

// Undoes the newest change of the current model.  On kDone, `undone` holds
// the change, now negated and at the end of the undone list, and its events
// have been sent.  On kFailed nothing has changed.
Step undo_one(vanto_session_struct &session, ChangePtr &undone) {
  if (changes_paused(session)) return Step::kNothing;
  vanto_model_struct &model = session.current_model();
  if (model.changes.empty()) return Step::kNothing;

  // The file may have changed size since the model was built; the rebuild
  // takes it as it is now.
  const int64_t length = backing_file_length_(model);
  if (length < 0) return Step::kFailed;

  ChangePtr change = model.changes.back();
  model.changes.pop_back();
  // Keep the current pieces aside: if the remaining changes no longer apply
  // (the file became shorter), the model goes back to them untouched and
  // keeps matching its change list.
  SegmentSequence previous = std::move(model.model_segments);
  if (!rebuild_current_model(session, length)) {
    model.model_segments = std::move(previous);
    model.changes.push_back(std::move(change));
    return Step::kFailed;
  }

  change->serial = -change->serial;
  model.changes_undone.push_back(change);
  {
    FlagScope in_events(session, kFlagInChangeEvents);
    mark_affected_viewports_(session, *change, ViewportMotion::kInverse);
    notify_session_(session, SESSION_EVENT_UNDO, change.get());
  }
  undone = std::move(change);
  return Step::kDone;
}

// Redoes the most recently undone change of the current model.  On kDone,
// `redone` holds the change, applied again with its positive serial.  On
// kFailed the change is back at the end of the undone list with its negative
// serial and the change list is as it was.
Step redo_one(vanto_session_struct &session, ChangePtr &redone) {
  if (changes_paused(session)) return Step::kNothing;
  vanto_model_struct &model = session.current_model();
  if (model.changes_undone.empty()) return Step::kNothing;

  // The change leaves the undone list before it takes the road of a new
  // change: its events then see it in the change list only, and whatever
  // their callbacks do to the levels (a checkpoint made or dropped), no
  // list keeps a second copy of it.  A reference of our own keeps it alive.
  ChangePtr change = model.changes_undone.back();
  model.changes_undone.pop_back();
  if (apply_change_(session, change) < 0) {
    // apply_change_ may have appended the change and made its serial
    // positive before the model update refused it (it refuses before
    // touching any piece or sending any event); put it back as an undone
    // change.
    auto &changes = model.changes;
    if (!changes.empty() && changes.back() == change) changes.pop_back();
    if (change->serial > 0) change->serial = -change->serial;
    model.changes_undone.push_back(change);
    return Step::kFailed;
  }
  redone = std::move(change);
  return Step::kDone;
}

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
    const auto &rest = source(session.current_model());
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
                          [](const vanto_model_struct &model) -> const auto & { return model.changes; });
}

int64_t vanto_edit_redo_last_undo(vanto_session_t *session) {
  if (session == nullptr) return 0;
  // The mirror of undo: changes come back in the order they were made.
  return walk_transaction(*session, redo_one, [](const vanto_model_struct &model) -> const auto & {
    return model.changes_undone;
  });
}
