// Sessions, edits, clearing the history, and the life of viewports.  A
// change takes its road through impl_/internal_fun.h: model, then events.
#include "vanto_edit/edit.h"


#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "impl_/internal_fun.h"
#include "impl_/log.h"
#include "vanto_edit/session.h"

using namespace vanto::internal;

namespace {

// Refusal tests shared by inserts and overwrites.
bool insert_refused(const vanto_session_struct *session, int64_t offset, const void *bytes,
                    int64_t length) {
  if (session == nullptr) return true;
  if ((session->flags & SESSION_FLAG_CHANGES_PAUSED) != 0 || changes_locked_(*session)) return true;
  if (length < 0 || offset < 0) return true;
  if (offset > vanto_session_get_computed_file_size(session)) return true;
  return bytes == nullptr && length > 0;
}

int64_t next_serial(const vanto_session_struct &session) {
  return static_cast<int64_t>(session.current_model().changes.size()) + session.prior_change_count + 1;
}

}  // namespace

namespace {

// Records an insert or overwrite (kind CHANGE_INSERT or CHANGE_OVERWRITE)
// after the refusal tests.  With `measure_text`, a length of 0 means the
// bytes are a zero-terminated text to be measured.  Returns the serial, 0
// when refused, -1 when the model update fails.
int64_t record_bytes_change_(vanto_session_t *session, int kind, int64_t offset,
                             const unsigned char *bytes, int64_t length, bool measure_text);
int64_t record_bytes_change_(vanto_session_t *session, int kind, int64_t offset,
                            const unsigned char *bytes, int64_t length, bool measure_text) {
  if (insert_refused(session, offset, bytes, length)) return 0;
  const bool bit = determine_change_transaction_bit_(session) != 0;
  if (length == 0 && measure_text && bytes != nullptr) {
    length = static_cast<int64_t>(std::strlen(reinterpret_cast<const char *>(bytes)));
  }
  vanto_change_struct *change = new_change_(*session, next_serial(*session), kind, bit, offset, length, bytes);
  if (change == nullptr) return -1;
  return apply_change_(*session, change);
}

// Records an insert or overwrite of `length` bytes of the file at `path`
// from `file_offset` on (length < 0: to its end), after the refusal tests
// of the byte edits and those of the file and range.  The file is opened,
// not read.
int64_t record_file_change_(vanto_session_t *session, int kind, int64_t offset, const char *path,
                            int64_t file_offset, int64_t length) {
  if (path == nullptr || file_offset < 0) return 0;
  if (insert_refused(session, offset, path, 0)) return 0;
  std::shared_ptr<SourceFile> file = open_source_file_(*session, path);
  if (!file) return 0;
  const int64_t size = static_cast<int64_t>(file->state.size);
  if (file_offset > size) return 0;
  if (length < 0) length = size - file_offset;
  if (length > size - file_offset) return 0;
  if (length == 0) return record_bytes_change_(session, kind, offset, nullptr, 0, false);
  const bool bit = determine_change_transaction_bit_(session) != 0;
  vanto_change_struct *change =
      new_file_change_(*session, next_serial(*session), kind, bit, offset, length, std::move(file), file_offset);
  if (change == nullptr) return -1;
  return apply_change_(*session, change);
}

}  // namespace

int vanto_session_get_transaction_bit_(const vanto_session_t *session) {
  if (session == nullptr) return 1;
  const auto &changes = session->current_model().changes;
  return changes.empty() ? 1 : (changes.back()->transaction_bit() ? 1 : 0);
}

int determine_change_transaction_bit_(vanto_session_t *session) {
  if (session == nullptr) return 0;
  const int last = vanto_session_get_transaction_bit_(session);
  switch (vanto_session_get_transaction_state(session)) {
    case 1:
      session->flags |= SESSION_FLAG_TRANSACTION_HAS_CHANGE;
      return last != 0 ? 0 : 1;
    case 2:
      return last;
    default:
      return last != 0 ? 0 : 1;
  }
}

vanto_session_t *vanto_edit_create_session(const char *file_path, vanto_session_event_cbk_t event_cbk,
                                           void *user_data_ptr, int32_t event_interest) {
  FILE *file = nullptr;
  int64_t length = 0;
  if (file_path != nullptr && file_path[0] != '\0') {
    file = open_backing_file_(file_path);
    if (file == nullptr) return nullptr;
    length = stream_length_(file);
    if (length < 0) {
      std::fclose(file);
      return nullptr;
    }
  }

  auto *session = new vanto_session_struct();
  session->event_cbk = event_cbk;
  session->user_data_ptr = user_data_ptr;
  session->event_interest = event_interest;
  auto model = std::make_unique<vanto_model_struct>();
  model->backing_file = file;
  model->file_path = file != nullptr ? file_path : "";
  session->models.push_back(std::move(model));
  record_backing_file_(session->first_model());
  reset_model_segments_(session->first_model(), length);
  notify_session_(*session, SESSION_EVENT_CREATE, nullptr);
  return session;
}

void vanto_edit_destroy_session(vanto_session_t *session) {
  if (session == nullptr) return;
  // The host hears of each viewport going and may call the library from
  // there: no change is taken any more (the session is going), and the
  // files stay open until the last event, so that reads still work.  A
  // viewport or search context made by a callback goes with the others.
  session->flags |= kFlagChangesLocked;
  while (!session->search_contexts.empty() || !session->viewports.empty()) {
    while (!session->search_contexts.empty()) {
      destroy_search_context_(*session, session->search_contexts.back().get());
    }
    while (!session->viewports.empty()) {
      const vanto_viewport_struct *viewport = session->viewports.back().get();
      destroy_viewport_(*session, viewport);
      notify_session_(*session, SESSION_EVENT_DESTROY_VIEWPORT, viewport);
    }
  }
  for (auto &model : session->models) {
    if (model->backing_file != nullptr) {
      std::fclose(model->backing_file);
      model->backing_file = nullptr;
    }
  }
  for (auto &model : session->models) {
    clear_model_changes_(*model);
    clear_model_changes_undone_(*model);
  }
  while (session->models.size() > 1) {
    // Checkpoint files go with the session; the host's own file never does.
    std::error_code ec;
    if (!std::filesystem::remove(session->current_model().file_path, ec)) {
      VANTO_LOG_LEVEL_AS(LOG_LEVEL_WARNING, __func__, std::strerror(ec ? ec.value() : ENOENT));
    }
    session->models.pop_back();
  }
  delete session;
}

int64_t vanto_edit_delete(vanto_session_t *session, int64_t offset, int64_t length) {
  if (session == nullptr || (session->flags & SESSION_FLAG_CHANGES_PAUSED) != 0) return 0;
  if (changes_locked_(*session)) return 0;
  const int64_t size = vanto_session_get_computed_file_size(session);
  if (length <= 0 || offset < 0 || offset >= size) return 0;
  const bool bit = determine_change_transaction_bit_(session) != 0;
  length = std::min(length, size - offset);
  vanto_change_struct *change =
      new_change_(*session, next_serial(*session), CHANGE_DELETE, bit, offset, length, nullptr);
  if (change == nullptr) return -1;
  return apply_change_(*session, change);
}

int64_t vanto_edit_insert(vanto_session_t *session, int64_t offset, const char *bytes, int64_t length) {
  return record_bytes_change_(session, CHANGE_INSERT, offset,
                             reinterpret_cast<const unsigned char *>(bytes), length, true);
}

int64_t vanto_edit_insert_bytes(vanto_session_t *session, int64_t offset, const unsigned char *bytes,
                                int64_t length) {
  return record_bytes_change_(session, CHANGE_INSERT, offset, bytes, length, true);
}

int64_t vanto_edit_overwrite(vanto_session_t *session, int64_t offset, const char *bytes,
                             int64_t length) {
  return record_bytes_change_(session, CHANGE_OVERWRITE, offset,
                             reinterpret_cast<const unsigned char *>(bytes), length, true);
}

int64_t vanto_edit_overwrite_bytes(vanto_session_t *session, int64_t offset,
                                   const unsigned char *bytes, int64_t length) {
  return record_bytes_change_(session, CHANGE_OVERWRITE, offset, bytes, length, true);
}

int64_t vanto_edit_insert_file(vanto_session_t *session, int64_t offset, const char *path,
                                int64_t file_offset, int64_t length) {
  return record_file_change_(session, CHANGE_INSERT, offset, path, file_offset, length);
}

int64_t vanto_edit_overwrite_file(vanto_session_t *session, int64_t offset, const char *path,
                                  int64_t file_offset, int64_t length) {
  return record_file_change_(session, CHANGE_OVERWRITE, offset, path, file_offset, length);
}

int64_t vanto_edit_insert_string(vanto_session_t *session, int64_t offset, std::string_view bytes) {
  // An empty view records an empty change: its data is never measured as text.
  return record_bytes_change_(session, CHANGE_INSERT, offset,
                              reinterpret_cast<const unsigned char *>(bytes.data()),
                              static_cast<int64_t>(bytes.size()), false);
}

int64_t vanto_edit_overwrite_string(vanto_session_t *session, int64_t offset,
                                    std::string_view bytes) {
  return record_bytes_change_(session, CHANGE_OVERWRITE, offset,
                              reinterpret_cast<const unsigned char *>(bytes.data()),
                              static_cast<int64_t>(bytes.size()), false);
}

vanto_viewport_t *vanto_edit_create_viewport(vanto_session_t *session, int64_t offset,
                                             int64_t capacity, int is_floating,
                                             vanto_viewport_event_cbk_t event_cbk,
                                             void *user_data_ptr, int32_t event_interest) {
  if (session == nullptr || capacity < 1 || capacity > VANTO_VIEWPORT_CAPACITY_LIMIT) return nullptr;
  auto viewport = std::make_shared<vanto_viewport_struct>();
  viewport->session_ptr = session;
  vanto_segment_struct &window = viewport->data_segment;
  window.offset = offset;
  window.length = 0;
  window.capacity = -capacity;  // a new viewport has changes: its first read fills it
  small_buffer_allocate(window.data, capacity);
  window.is_floating = is_floating != 0 ? 1 : 0;
  window.offset_adjustment = 0;
  viewport->event_cbk = event_cbk;
  viewport->user_data_ptr = user_data_ptr;
  viewport->event_interest = event_interest;
  session->viewports.push_back(viewport);
  notify_viewport_(*viewport, VIEWPORT_EVENT_CREATE, viewport.get());
  // A callback may destroy the new viewport at once; the host has then
  // heard of its end and gets no handle to it.
  if (is_detached_(*viewport)) return nullptr;
  notify_session_(*session, SESSION_EVENT_CREATE_VIEWPORT, viewport.get());
  return is_detached_(*viewport) ? nullptr : viewport.get();
}

void vanto_edit_destroy_viewport(vanto_viewport_t *viewport) {
  if (viewport == nullptr || viewport->session_ptr == nullptr) return;
  vanto_session_struct &session = *viewport->session_ptr;
  const void *identity = viewport;
  if (destroy_viewport_(session, viewport)) {
    notify_session_(session, SESSION_EVENT_DESTROY_VIEWPORT, identity);
  }
}

int vanto_edit_clear_changes(vanto_session_t *session) {
  if (session == nullptr || changes_locked_(*session)) return -1;
  vanto_model_struct &first = session->first_model();
  const int64_t length = backing_file_length_(first);
  if (length < 0) return -1;
  // Clearing returns to the session's own file: the checkpoints above it go
  // first, newest first, each with its file and its event.  Afterwards the
  // first model is the current one again and every count starts from 0.
  reset_to_first_model_(*session, length);
  return 0;
}
