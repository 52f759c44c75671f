// Records session and viewport events in the order they arrive.
//
// Pass the recorder as the user data pointer of a session and of its
// viewports, with on_session / on_viewport as the callbacks.
#ifndef VANTO_TEST_EVENT_RECORDER_H
#define VANTO_TEST_EVENT_RECORDER_H

#include <cstdint>
#include <ostream>
#include <vector>

#include "vanto_edit.h"

namespace vanto::test {

struct Event {
  char source;         // 'S' session event, 'V' viewport event
  const void *handle;  // the session or viewport the callback was called with
  int32_t code;
  const void *ptr;

  bool operator==(const Event &other) const {
    return source == other.source && handle == other.handle && code == other.code &&
           ptr == other.ptr;
  }
};

inline std::ostream &operator<<(std::ostream &out, const Event &e) {
  return out << e.source << "(" << e.handle << ", " << e.code << ", " << e.ptr << ")";
}

inline Event session_event(const vanto_session_t *s, int32_t code, const void *ptr = nullptr) {
  return Event{'S', s, code, ptr};
}
inline Event viewport_event(const vanto_viewport_t *v, int32_t code, const void *ptr = nullptr) {
  return Event{'V', v, code, ptr};
}

struct EventRecorder {
  std::vector<Event> events;

  // Returns the events recorded so far and forgets them.
  std::vector<Event> take() {
    std::vector<Event> out;
    out.swap(events);
    return out;
  }

  static void on_session(const vanto_session_t *session, int32_t event, const void *ptr) {
    auto *self = static_cast<EventRecorder *>(vanto_session_get_user_data_ptr(session));
    self->events.push_back(session_event(session, event, ptr));
  }
  static void on_viewport(const vanto_viewport_t *viewport, int32_t event, const void *ptr) {
    auto *self = static_cast<EventRecorder *>(vanto_viewport_get_user_data_ptr(viewport));
    self->events.push_back(viewport_event(viewport, event, ptr));
  }
};

}  // namespace vanto::test

#endif  // VANTO_TEST_EVENT_RECORDER_H
