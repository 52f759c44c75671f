// The road of a change, the removal of viewports and search contexts, and
// the checkpoint levels.
#include "impl_/internal_fun.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "impl_/find_table.h"
#include "impl_/log.h"

namespace vanto::internal {

int64_t apply_change_(vanto_session_struct &session, vanto_change_struct *change) {
  ChangeStore &store = session.current_model().changes;
  const bool redo = change->serial < 0;
  if (change->offset > session.current_model().model_segments.total_length()) {
    if (!redo && !store.empty() && store.back() == change) store.drop_last();
    return -1;
  }
  // A redone change leaves the undone list before its events: they see it in
  // the change list only, so a checkpoint made from one of them cannot keep
  // a second copy of it below.
  if (redo) {
    change->serial = -change->serial;
    store.redo_last();
  }
  if (apply_change_to_model_(session, change) != 0) {
    if (redo) {
      store.unredo_last();
      change->serial = -change->serial;
    } else if (!store.empty() && store.back() == change) {
      store.drop_last();
    }
    return -1;
  }
  // The result is taken before the events: whatever the callbacks do, the
  // call reports the change it made.
  const int64_t serial = change->serial;
  FlagScope in_events(session, kFlagInChangeEvents);
  mark_affected_viewports_(session, *change, ViewportMotion::kForward);
  notify_session_(session, SESSION_EVENT_EDIT, change);
  return serial;
}

bool destroy_viewport_(vanto_session_struct &session, const vanto_viewport_struct *viewport) {
  auto &list = session.viewports;
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    if (it->get() == viewport) {
      std::shared_ptr<vanto_viewport_struct> held = *it;
      list.erase(std::next(it).base());
      // Loops that call the host may still hold the record: it is detached
      // from the session and left with an empty inline window, so that it
      // is skipped by them and holds no freed buffer.
      small_buffer_free(held->data_segment.data, held->data_segment.capacity);
      held->session_ptr = nullptr;
      held->data_segment.capacity = 0;
      held->data_segment.length = 0;
      return true;
    }
  }
  return false;
}

bool destroy_search_context_(vanto_session_struct &session,
                             const vanto_search_context_struct *context) {
  auto &list = session.search_contexts;
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    if (it->get() == context) {
      std::shared_ptr<vanto_search_context_struct> held = *it;
      list.erase(std::next(it).base());
      small_buffer_free(held->pattern, held->pattern_length);
      delete held->skip_table_ptr;
      held->skip_table_ptr = nullptr;
      // A search running on it (its progress hook destroyed it) sees the
      // context gone and stops.
      held->session_ptr = nullptr;
      held->pattern_length = 0;
      return true;
    }
  }
  return false;
}

void destroy_last_checkpoint_(vanto_session_struct &session) {
  vanto_model_struct &current = session.current_model();
  // Unlinking while the stream is open is fine; the stream goes with the
  // model below, so no read ever meets a closed stream.
  if (current.file_path.empty() || ::unlink(current.file_path.c_str()) != 0) {
    VANTO_LOG_LEVEL_AS(LOG_LEVEL_WARNING, __func__, std::strerror(errno));
  }
  clear_model_changes_(current);
  clear_model_changes_undone_(current);
  session.models.pop_back();
  session.prior_change_count -= static_cast<int64_t>(session.current_model().changes.size());

  // The data is again that of the moment the checkpoint was taken: every
  // viewport re-reads it on next access.  No viewport event is sent.
  for (const auto &viewport : session.viewports) mark_viewport_(*viewport);
  notify_session_(session, SESSION_EVENT_DESTROY_CHECKPOINT, nullptr);
}

void reset_to_first_model_(vanto_session_struct &session, int64_t length,
                           const std::function<void(vanto_model_struct &first)> &rebase_file) {
  {
    // Until every level is gone and the first is re-based, the callbacks of
    // the checkpoints' events can change nothing: what they made would be
    // cleared with the rest.
    FlagScope locked(session, kFlagChangesLocked);
    while (session.models.size() > 1) destroy_last_checkpoint_(session);
    vanto_model_struct &first = session.first_model();
    if (rebase_file) rebase_file(first);
    reset_model_segments_(first, length);
    for (auto &model : session.models) {
      clear_model_changes_(*model);
      clear_model_changes_undone_(*model);
    }
  }
  mark_all_viewports_(session, VIEWPORT_EVENT_CLEAR, SESSION_EVENT_CLEAR);
}

}  // namespace vanto::internal
