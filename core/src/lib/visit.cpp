// Change visitors: callback walks and host-driven cursors over the current
// model's change list.
//
// A cursor keeps an index into the list rather than a pointer, and checks it
// against the list on every use: a cursor the host forgot to begin again
// after the list changed reports that it is at its end instead of reading
// outside the list.
#include "vanto_edit/visit.h"

#include <memory>
#include <vector>

#include "impl_/records.h"

namespace {

using ChangeList = vanto::internal::ChangeStore;

const ChangeList &current_changes(const vanto_session_struct &session) {
  return session.current_model().changes;
}

// The change a context points at: forward, the change at `position`;
// reverse, the change just before it.  Null when that is outside the list.
const vanto_change_struct *change_at(const vanto_visit_change_context_t &context) {
  const ChangeList &changes = current_changes(*context.session_ptr);
  const int64_t count = static_cast<int64_t>(changes.size());
  const int64_t index = context.reverse != 0 ? context.position - 1 : context.position;
  if (index < 0 || index >= count) return nullptr;
  return changes[static_cast<size_t>(index)];
}

}  // namespace

int vanto_visit_changes(const vanto_session_t *session, vanto_change_visitor_cbk_t visitor,
                        void *user_data) {
  if (session == nullptr || visitor == nullptr) return -1;
  // The list is looked up again at every step, so a visitor that breaks the
  // rule and edits the session cannot make the walk read outside the list.
  for (size_t i = 0; i < current_changes(*session).size(); ++i) {
    const vanto_change_struct *change = current_changes(*session)[i];
    const int rc = visitor(change, user_data);
    if (rc != 0) return rc;
  }
  return 0;
}

int vanto_visit_changes_reverse(const vanto_session_t *session, vanto_change_visitor_cbk_t visitor,
                                void *user_data) {
  if (session == nullptr || visitor == nullptr) return -1;
  size_t i = current_changes(*session).size();
  while (i > 0) {
    const ChangeList &changes = current_changes(*session);
    if (i > changes.size()) {  // the list shrank under the walk
      i = changes.size();
      continue;
    }
    const vanto_change_struct *change = changes[i - 1];
    const int rc = visitor(change, user_data);
    if (rc != 0) return rc;
    --i;
  }
  return 0;
}

vanto_visit_change_context_t *vanto_visit_change_create_context(const vanto_session_t *session,
                                                                 int reverse) {
  if (session == nullptr) return nullptr;
  auto *context = new vanto_visit_change_context_struct();
  // The context only reads through this pointer.
  context->session_ptr = const_cast<vanto_session_struct *>(session);
  context->at_end = 1;
  context->reverse = reverse != 0 ? 1 : 0;
  context->position = -1;
  return context;
}

int vanto_visit_change_begin(vanto_visit_change_context_t *context) {
  if (context == nullptr) return -1;
  const int64_t count = static_cast<int64_t>(current_changes(*context->session_ptr).size());
  if (count == 0) {
    // Nothing to walk: the context is at its end, whatever it held before.
    context->position = -1;
    context->at_end = 1;
    return 0;
  }
  context->position = context->reverse != 0 ? count : 0;
  context->at_end = 0;
  return 0;
}

int vanto_visit_change_next(vanto_visit_change_context_t *context) {
  if (context == nullptr) return 1;
  if (context->at_end != 0 || change_at(*context) == nullptr) {
    // At the end already, no changes at all, or a stale position: the walk
    // is over (a result of 0 here would keep a host's loop going forever).
    context->at_end = 1;
    return 1;
  }
  const int64_t count = static_cast<int64_t>(current_changes(*context->session_ptr).size());
  if (context->reverse != 0) {
    --context->position;
    if (context->position <= 0) context->at_end = 1;
  } else {
    ++context->position;
    if (context->position >= count) context->at_end = 1;
  }
  return context->at_end;
}

int vanto_visit_change_at_end(const vanto_visit_change_context_t *context) {
  if (context == nullptr) return 1;
  return context->at_end != 0 || change_at(*context) == nullptr ? 1 : 0;
}

const vanto_change_t *vanto_visit_change_context_get_change(
    const vanto_visit_change_context_t *context) {
  if (context == nullptr || context->at_end != 0) return nullptr;
  return change_at(*context);
}

void vanto_visit_change_destroy_context(vanto_visit_change_context_t *context) {
  delete context;
}
