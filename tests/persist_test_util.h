// Helpers shared by the save, checkpoint and transform tests: an ordered log
// of session and viewport events, reading a session's whole data, listing the
// library's temporary and checkpoint files in a directory.
#ifndef VANTO_TEST_PERSIST_TEST_UTIL_H
#define VANTO_TEST_PERSIST_TEST_UTIL_H

#include <cstdint>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "vanto_edit.h"

namespace vanto::test {

// One delivered event: 'S' for the session callback, 'V' for a viewport's.
struct LoggedEvent {
  char source;
  const void *handle;
  int32_t code;
  const void *ptr;

  bool operator==(const LoggedEvent &other) const {
    return source == other.source && handle == other.handle && code == other.code &&
           ptr == other.ptr;
  }
};

inline std::ostream &operator<<(std::ostream &out, const LoggedEvent &e) {
  return out << e.source << '(' << e.handle << ", " << e.code << ", " << e.ptr << ')';
}

// Pass as user data of a session and its viewports, with on_session and
// on_viewport as their callbacks.
struct EventLog {
  std::vector<LoggedEvent> events;

  std::vector<LoggedEvent> take() {
    std::vector<LoggedEvent> out;
    out.swap(events);
    return out;
  }

  static void on_session(const vanto_session_t *session, int32_t event, const void *ptr) {
    auto *log = static_cast<EventLog *>(vanto_session_get_user_data_ptr(session));
    log->events.push_back({'S', session, event, ptr});
  }
  static void on_viewport(const vanto_viewport_t *viewport, int32_t event, const void *ptr) {
    auto *log = static_cast<EventLog *>(vanto_viewport_get_user_data_ptr(viewport));
    log->events.push_back({'V', viewport, event, ptr});
  }
};

inline LoggedEvent session_event(const vanto_session_t *s, int32_t code, const void *ptr = nullptr) {
  return {'S', s, code, ptr};
}
inline LoggedEvent viewport_event(const vanto_viewport_t *v, int32_t code) {
  return {'V', v, code, nullptr};
}

struct SessionCloser {
  void operator()(vanto_session_t *session) const { vanto_edit_destroy_session(session); }
};
using SessionPtr = std::unique_ptr<vanto_session_t, SessionCloser>;

// A session on `path` ("" for none) whose events go to `log` when given.
inline SessionPtr open_session(const std::string &path, EventLog *log = nullptr) {
  return SessionPtr(vanto_edit_create_session(path.c_str(), log ? EventLog::on_session : nullptr,
                                              log, log ? SESSION_EVENT_ALL : 0));
}

// The session's whole edited data.
inline std::string session_data(const vanto_session_t *session) {
  return vanto_session_get_segment_string(session, 0, vanto_session_get_computed_file_size(session));
}

// Names in `dir` that start with `prefix`, e.g. ".VantoEdit_" for temporary
// save files and ".VantoEdit-chk." for checkpoint files.
inline std::vector<std::string> files_with_prefix(const std::filesystem::path &dir,
                                                  const std::string &prefix) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto &entry : std::filesystem::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) == 0) names.push_back(entry.path().string());
  }
  return names;
}

inline std::vector<std::string> temp_files(const std::filesystem::path &dir) {
  return files_with_prefix(dir, ".VantoEdit_");
}

}  // namespace vanto::test

#endif  // VANTO_TEST_PERSIST_TEST_UTIL_H
