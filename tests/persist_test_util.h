// Helpers shared by the save, checkpoint and transform tests: the event log,
// reading a session's whole data, listing the library's temporary and
// checkpoint files in a directory.
#ifndef VANTO_TEST_PERSIST_TEST_UTIL_H
#define VANTO_TEST_PERSIST_TEST_UTIL_H

#include <cstdint>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "event_recorder.h"
#include "vanto_edit.h"

namespace vanto::test {

// The ordered log of session and viewport events (support/event_recorder.h)
// under the names these tests use.
using LoggedEvent = Event;
using EventLog = EventRecorder;

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
