// Session queries, history counts, transactions, pausing and the progress hook.
#include "vanto_edit/session.h"

#include <algorithm>
#include <string>

#include "impl_/internal_fun.h"
#include "vanto_edit/segment.h"

using namespace vanto::internal;

namespace {

// Number of runs of equal transaction bits in a list of changes, given as
// its length and its i-th change.
template <typename At>
int64_t count_runs(size_t size, At at) {
  int64_t runs = 0;
  for (size_t i = 0; i < size; ++i) {
    if (i == 0 || at(i)->transaction_bit() != at(i - 1)->transaction_bit()) ++runs;
  }
  return runs;
}

int64_t count_transactions(const ChangeStore &store) {
  return count_runs(store.size(), [&](size_t i) { return store[i]; });
}

int64_t count_undone_transactions(const ChangeStore &store) {
  return count_runs(store.undone_size(), [&](size_t i) { return store.undone(i); });
}

}  // namespace

const char *vanto_session_get_file_path(const vanto_session_t *session) {
  if (session == nullptr) return nullptr;
  const std::string &path = session->current_model().file_path;
  return path.empty() ? nullptr : path.c_str();
}

int32_t vanto_session_get_backing_file_changes(const vanto_session_t *session) {
  if (session == nullptr) return -1;
  const vanto_model_struct &own = *session->models.front();
  return backing_file_changes_in_place_(own) | backing_file_changes_by_name_(own, own.file_path) |
         source_files_changes_(*session);
}

void *vanto_session_get_user_data_ptr(const vanto_session_t *session) {
  return session != nullptr ? session->user_data_ptr : nullptr;
}

vanto_session_event_cbk_t vanto_session_get_event_cbk(const vanto_session_t *session) {
  return session != nullptr ? session->event_cbk : nullptr;
}

int32_t vanto_session_get_event_interest(const vanto_session_t *session) {
  return session != nullptr ? session->event_interest : 0;
}

int32_t vanto_session_set_event_interest(vanto_session_t *session, int32_t interest) {
  if (session == nullptr) return 0;
  session->event_interest = interest;
  return interest;
}

void vanto_session_notify(const vanto_session_t *session, int32_t event, const void *event_ptr) {
  if (session != nullptr) notify_session_(*session, event, event_ptr);
}

int64_t vanto_session_get_num_viewports(const vanto_session_t *session) {
  return session != nullptr ? static_cast<int64_t>(session->viewports.size()) : 0;
}

int64_t vanto_session_get_num_search_contexts(const vanto_session_t *session) {
  return session != nullptr ? static_cast<int64_t>(session->search_contexts.size()) : 0;
}

int64_t vanto_session_get_num_checkpoints(const vanto_session_t *session) {
  return session != nullptr ? static_cast<int64_t>(session->models.size()) - 1 : 0;
}

int64_t vanto_session_get_computed_file_size(const vanto_session_t *session) {
  return session != nullptr ? session->current_model().model_segments.total_length() : 0;
}

int vanto_session_get_segment(const vanto_session_t *session, vanto_segment_t *segment,
                              int64_t offset) {
  if (session == nullptr || segment == nullptr) return -1;
  segment->offset = offset;
  return populate_data_segment_(session, segment);
}

int64_t vanto_session_read(const vanto_session_t *session, int64_t offset, void *buffer,
                           int64_t length) {
  if (session == nullptr || length < 0 || (buffer == nullptr && length > 0)) return -1;
  const vanto_model_struct &model = session->current_model();
  if (offset < 0 || offset > model.model_segments.total_length()) return -1;
  if (length == 0 || offset == model.model_segments.total_length()) return 0;
  int64_t filled = 0;
  const int rc = vanto::internal::read_data_(model, offset, static_cast<unsigned char *>(buffer),
                                             length, &filled);
  return rc == 0 ? filled : -1;
}

int64_t vanto_session_get_num_changes(const vanto_session_t *session) {
  if (session == nullptr) return 0;
  return static_cast<int64_t>(session->current_model().changes.size()) + session->prior_change_count;
}

int64_t vanto_session_get_num_undone_changes(const vanto_session_t *session) {
  return session != nullptr ? static_cast<int64_t>(session->current_model().changes.undone_size()) : 0;
}

int64_t vanto_session_get_num_change_transactions(const vanto_session_t *session) {
  if (session == nullptr) return 0;
  int64_t total = 0;
  for (const auto &model : session->models) total += count_transactions(model->changes);
  return total;
}

int64_t vanto_session_get_num_undone_change_transactions(const vanto_session_t *session) {
  if (session == nullptr) return 0;
  int64_t total = 0;
  for (const auto &model : session->models) total += count_undone_transactions(model->changes);
  return total;
}

const vanto_change_t *vanto_session_get_last_change(const vanto_session_t *session) {
  if (session == nullptr) return nullptr;
  const auto &changes = session->current_model().changes;
  return changes.empty() ? nullptr : changes.back();
}

const vanto_change_t *vanto_session_get_last_undo(const vanto_session_t *session) {
  if (session == nullptr) return nullptr;
  const auto &changes = session->current_model().changes;
  return changes.undone_empty() ? nullptr : changes.last_undone();
}

const vanto_change_t *vanto_session_get_change(const vanto_session_t *session, int64_t serial) {
  if (session == nullptr || serial == 0) return nullptr;
  if (serial < 0) {
    const auto &changes = session->current_model().changes;
    for (size_t j = changes.undone_size(); j-- > 0;) {
      if (changes.undone(j)->serial == serial) return changes.undone(j);
    }
    return nullptr;
  }
  if (serial > vanto_session_get_num_changes(session)) return nullptr;
  // Serials run on across checkpoint levels: each level's change list holds
  // the serials after those of the levels below it.
  int64_t below = 0;
  for (const auto &model : session->models) {
    const auto count = static_cast<int64_t>(model->changes.size());
    if (serial <= below + count) return model->changes[static_cast<size_t>(serial - below - 1)];
    below += count;
  }
  return nullptr;
}

int vanto_session_begin_transaction(vanto_session_t *session) {
  if (session == nullptr || (session->flags & SESSION_FLAG_TRANSACTION_OPEN) != 0) return -1;
  session->flags |= SESSION_FLAG_TRANSACTION_OPEN;
  return 0;
}

int vanto_session_end_transaction(vanto_session_t *session) {
  if (session == nullptr || (session->flags & SESSION_FLAG_TRANSACTION_OPEN) == 0) return -1;
  session->flags &= static_cast<uint8_t>(~(SESSION_FLAG_TRANSACTION_OPEN | SESSION_FLAG_TRANSACTION_HAS_CHANGE));
  return 0;
}

int vanto_session_get_transaction_state(const vanto_session_t *session) {
  if (session == nullptr || (session->flags & SESSION_FLAG_TRANSACTION_OPEN) == 0) return 0;
  return (session->flags & SESSION_FLAG_TRANSACTION_HAS_CHANGE) != 0 ? 2 : 1;
}

void vanto_session_pause_changes(vanto_session_t *session) {
  if (session == nullptr || (session->flags & SESSION_FLAG_CHANGES_PAUSED) != 0) return;
  session->flags |= SESSION_FLAG_CHANGES_PAUSED;
  notify_session_(*session, SESSION_EVENT_CHANGES_PAUSED, nullptr);
}

void vanto_session_resume_changes(vanto_session_t *session) {
  if (session == nullptr || (session->flags & SESSION_FLAG_CHANGES_PAUSED) == 0) return;
  session->flags &= static_cast<uint8_t>(~SESSION_FLAG_CHANGES_PAUSED);
  notify_session_(*session, SESSION_EVENT_CHANGES_RESUMED, nullptr);
}

int vanto_session_changes_paused(const vanto_session_t *session) {
  return session != nullptr && (session->flags & SESSION_FLAG_CHANGES_PAUSED) != 0 ? 1 : 0;
}

void vanto_session_pause_viewport_event_callbacks(vanto_session_t *session) {
  if (session != nullptr) session->flags |= SESSION_FLAG_VIEWPORT_CALLBACKS_PAUSED;
}

void vanto_session_resume_viewport_event_callbacks(vanto_session_t *session) {
  if (session != nullptr) session->flags &= static_cast<uint8_t>(~SESSION_FLAG_VIEWPORT_CALLBACKS_PAUSED);
}

int vanto_session_viewport_event_callbacks_paused(const vanto_session_t *session) {
  return session != nullptr && (session->flags & SESSION_FLAG_VIEWPORT_CALLBACKS_PAUSED) != 0 ? 1 : 0;
}

int vanto_session_notify_changed_viewports(const vanto_session_t *session) {
  if (session == nullptr) return 0;
  int called = 0;
  const auto viewports = session->viewports;
  for (const auto &viewport : viewports) {
    if (viewport->data_segment.capacity < 0) {
      called += notify_viewport_(*viewport, VIEWPORT_EVENT_CHANGES, nullptr);
    }
  }
  return called;
}

int vanto_session_set_progress_cbk(vanto_session_t *session, vanto_progress_cbk_t cbk,
                                   void *user_data) {
  if (session == nullptr) return -1;
  session->progress_cbk = cbk;
  session->progress_user_data = user_data;
  return 0;
}

std::string vanto_session_get_segment_string(const vanto_session_t *session, int64_t offset,
                                             int64_t length) {
  if (session == nullptr || length <= 0) return {};
  // Never ask for more than the data holds after the offset.
  const int64_t size = vanto_session_get_computed_file_size(session);
  if (offset < 0 || offset >= size) return {};
  vanto_segment_t *segment = vanto_segment_create(std::min(length, size - offset));
  vanto_session_get_segment(session, segment, offset);
  std::string result;
  const unsigned char *data = vanto_segment_get_data(segment);
  const int64_t filled = vanto_segment_get_length(segment);
  if (data != nullptr && filled > 0) {
    result.assign(reinterpret_cast<const char *>(data), static_cast<size_t>(filled));
  }
  vanto_segment_destroy(segment);
  return result;
}
