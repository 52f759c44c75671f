// Event delivery, viewport marks and the viewport step of a change.
#include "impl_/events.h"

#include <algorithm>
#include <cstdlib>

#include "impl_/log.h"

namespace vanto::internal {

void notify_session_(const vanto_session_struct &session, int32_t event, const void *event_ptr) {
  if (session.event_cbk != nullptr && (session.event_interest & event) != 0) {
    session.event_cbk(&session, event, event_ptr);
  }
}

int notify_viewport_(const vanto_viewport_struct &viewport, int32_t event, const void *event_ptr) {
  if (viewport.event_cbk == nullptr || (viewport.event_interest & event) == 0) return 0;
  // A destroyed viewport hears nothing, even while a loop still holds it.
  const vanto_session_struct *session = viewport.session_ptr;
  if (session == nullptr || (session->flags & SESSION_FLAG_VIEWPORT_CALLBACKS_PAUSED) != 0) return 0;
  viewport.event_cbk(&viewport, event, event_ptr);
  return 1;
}

bool change_affects_viewport_(const vanto_viewport_struct &viewport,
                              const vanto_change_struct &change) {
  const int64_t start = viewport_offset_(viewport);
  const int64_t end = saturating_add_(start, std::abs(viewport.data_segment.capacity));
  switch (change.kind_value()) {
    case CHANGE_DELETE:
    case CHANGE_INSERT:
      return change.offset <= end;
    case CHANGE_OVERWRITE:
      return change.offset <= end && change.offset + change.length >= start;
    default:
      VANTO_LOG("Unhandled change kind");
      std::abort();
  }
}

void mark_affected_viewports_(vanto_session_struct &session, const vanto_change_struct &change,
                              ViewportMotion motion) {
  // Work on a copy of the list: a callback that destroys a viewport must not
  // pull the list from under the loop.
  const auto viewports = session.viewports;
  for (const auto &viewport : viewports) {
    if (is_detached_(*viewport)) continue;  // destroyed by an earlier callback
    vanto_segment_struct &window = viewport->data_segment;
    const int64_t before = viewport_offset_(*viewport);
    if (window.is_floating != 0 && change.offset <= before) {
      // An undone change moves the data as its inverse does: an undone insert
      // removes bytes, an undone delete brings them back.
      int kind = change.kind_value();
      if (motion == ViewportMotion::kInverse) {
        if (kind == CHANGE_INSERT) {
          kind = CHANGE_DELETE;
        } else if (kind == CHANGE_DELETE) {
          kind = CHANGE_INSERT;
        } else {
          kind = -1;
        }
      }
      if (kind == CHANGE_DELETE) {
        // Never below offset 0, whether or not the viewport moved before.
        window.offset_adjustment = std::max(window.offset_adjustment - change.length, -window.offset);
      } else if (kind == CHANGE_INSERT) {
        window.offset_adjustment += change.length;
      }
    }
    const bool moved = viewport_offset_(*viewport) != before;
    if (moved || change_affects_viewport_(*viewport, change)) {
      mark_viewport_(*viewport);
      notify_viewport_(*viewport, change.serial > 0 ? VIEWPORT_EVENT_EDIT : VIEWPORT_EVENT_UNDO,
                       &change);
    }
  }
}

void mark_all_viewports_(vanto_session_struct &session, int32_t viewport_event,
                         int32_t session_event) {
  const auto viewports = session.viewports;
  for (const auto &viewport : viewports) {
    if (is_detached_(*viewport)) continue;  // destroyed by an earlier callback
    mark_viewport_(*viewport);
    notify_viewport_(*viewport, viewport_event, nullptr);
  }
  notify_session_(session, session_event, nullptr);
}

}  // namespace vanto::internal
