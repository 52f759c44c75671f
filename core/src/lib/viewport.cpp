// Viewport queries, the lazy refill, modification and event delivery.
//
// A viewport's window is the segment record it embeds.  The sign of the
// segment's capacity field is the viewport's mark: negative while the buffer
// may not show the current data.  Readers of the capacity take its magnitude.
#include "vanto_edit/viewport.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "impl_/internal_fun.h"
#include "vanto_edit/internal.h"
#include "vanto_edit/segment.h"
#include "vanto_edit/session.h"

using namespace vanto::internal;

namespace {

int64_t capacity_of(const vanto_viewport_struct &viewport) {
  return std::abs(viewport.data_segment.capacity);
}

bool is_marked(const vanto_viewport_struct &viewport) {
  return viewport.data_segment.capacity < 0;
}

// Number of bytes a refill at the viewport's current offset produces.
int64_t expected_length(const vanto_viewport_struct &viewport) {
  const int64_t offset = viewport_offset_(viewport);
  // A window before the start of the data cannot be filled at all.
  if (offset < 0) return 0;
  const int64_t size = vanto_session_get_computed_file_size(viewport.session_ptr);
  return std::min(capacity_of(viewport), std::max<int64_t>(0, size - offset));
}

}  // namespace

int vanto_viewport_modify(vanto_viewport_t *viewport, int64_t offset, int64_t capacity,
                          int is_floating) {
  if (viewport == nullptr) return -1;
  if (capacity < 1 || capacity > VANTO_VIEWPORT_CAPACITY_LIMIT) return -1;
  vanto_segment_struct &window = viewport->data_segment;
  const uint8_t floating = is_floating != 0 ? 1 : 0;
  // The base offset is compared, not the moved one: a floating viewport
  // that has moved is re-based even when asked for the offset it shows.
  if (offset == window.offset && capacity == capacity_of(*viewport) &&
      floating == window.is_floating) {
    return 0;
  }
  small_buffer_free(window.data, window.capacity);
  window.offset = offset;
  window.offset_adjustment = 0;
  window.is_floating = floating;
  window.capacity = -capacity;  // marked: the next read fills the new window
  window.length = 0;
  small_buffer_allocate(window.data, capacity);
  notify_viewport_(*viewport, VIEWPORT_EVENT_MODIFY, nullptr);
  return 0;
}

const unsigned char *vanto_viewport_get_data(const vanto_viewport_t *viewport) {
  if (viewport == nullptr) return nullptr;
  // The refill is a cache update behind a const handle: viewport records are
  // always created non-const by the library, and callbacks receive const
  // handles yet may read the data.
  auto &window = const_cast<vanto_segment_struct &>(viewport->data_segment);
  if (window.capacity < 0) {
    window.capacity = -window.capacity;
    unsigned char *buffer = small_buffer_data(window.data, window.capacity);
    if (populate_data_segment_(viewport->session_ptr, &window) != 0) {
      // No data for this window: it reads as null until a change touches it
      // or it is modified, rather than handing out a partial or stale buffer
      // as if it were the current data.
      buffer[0] = 0;
      window.length = -1;
      return nullptr;
    }
    // A session without any data fills nothing; keep the buffer an empty text.
    buffer[window.length] = 0;
  }
  return vanto_segment_get_data(&window);
}

int64_t vanto_viewport_get_length(const vanto_viewport_t *viewport) {
  if (viewport == nullptr) return 0;
  if (is_marked(*viewport)) return expected_length(*viewport);
  return std::max<int64_t>(0, viewport->data_segment.length);
}

int64_t vanto_viewport_get_capacity(const vanto_viewport_t *viewport) {
  return viewport != nullptr ? capacity_of(*viewport) : 0;
}

int64_t vanto_viewport_get_offset(const vanto_viewport_t *viewport) {
  return viewport != nullptr ? viewport_offset_(*viewport) : 0;
}

int64_t vanto_viewport_get_following_byte_count(const vanto_viewport_t *viewport) {
  if (viewport == nullptr) return 0;
  const int64_t size = vanto_session_get_computed_file_size(viewport->session_ptr);
  const int64_t end = saturating_add_(viewport_offset_(*viewport), vanto_viewport_get_length(viewport));
  // size - end, held at the int64 limits for offsets far outside the data.
  int64_t following = 0;
  if (__builtin_sub_overflow(size, end, &following)) return end < 0 ? INT64_MAX : INT64_MIN;
  return following;
}

int vanto_viewport_has_changes(const vanto_viewport_t *viewport) {
  return viewport != nullptr && is_marked(*viewport) ? 1 : 0;
}

int vanto_viewport_in_segment(const vanto_viewport_t *viewport, int64_t offset, int64_t length) {
  if (viewport == nullptr) return 0;
  const int64_t start = viewport_offset_(*viewport);
  const int64_t end = saturating_add_(start, capacity_of(*viewport));
  return saturating_add_(offset, length) >= start && offset <= end ? 1 : 0;
}

int vanto_viewport_is_floating(const vanto_viewport_t *viewport) {
  return viewport != nullptr && viewport->data_segment.is_floating != 0 ? 1 : 0;
}

vanto_session_t *vanto_viewport_get_session(const vanto_viewport_t *viewport) {
  return viewport != nullptr ? viewport->session_ptr : nullptr;
}

void *vanto_viewport_get_user_data_ptr(const vanto_viewport_t *viewport) {
  return viewport != nullptr ? viewport->user_data_ptr : nullptr;
}

vanto_viewport_event_cbk_t vanto_viewport_get_event_cbk(const vanto_viewport_t *viewport) {
  return viewport != nullptr ? viewport->event_cbk : nullptr;
}

int32_t vanto_viewport_get_event_interest(const vanto_viewport_t *viewport) {
  return viewport != nullptr ? viewport->event_interest : 0;
}

int32_t vanto_viewport_set_event_interest(vanto_viewport_t *viewport, int32_t interest) {
  if (viewport == nullptr) return 0;
  viewport->event_interest = interest;
  return interest;
}

int vanto_viewport_notify(const vanto_viewport_t *viewport, int32_t event, const void *event_ptr) {
  return viewport != nullptr ? notify_viewport_(*viewport, event, event_ptr) : 0;
}

std::string vanto_viewport_get_string(const vanto_viewport_t *viewport) {
  // The data read refills a marked viewport; the length is then what it holds.
  const unsigned char *data = vanto_viewport_get_data(viewport);
  if (data == nullptr) return {};
  return std::string(reinterpret_cast<const char *>(data),
                     static_cast<size_t>(vanto_viewport_get_length(viewport)));
}
