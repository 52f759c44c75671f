// Events: delivery to the session and its viewports, the marks of
// viewports that may not show the current data, and the viewport step of
// every change.
#ifndef VANTO_EDIT_IMPL_EVENTS_H
#define VANTO_EDIT_IMPL_EVENTS_H

#include <cstdint>

#include "impl_/records.h"

namespace vanto::internal {

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

}  // namespace vanto::internal

#endif  // VANTO_EDIT_IMPL_EVENTS_H
