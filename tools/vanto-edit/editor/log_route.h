// Keeps the library's log lines off the terminal while the editor draws on
// it and hands them to the editor's message line instead.  The library writes
// them to std::clog (and a few utilities to the standard error descriptor):
// both are captured here, in one place, so that a log callback can take over
// later without touching the rest.
#ifndef VANTO_EDIT_TOOL_EDITOR_LOG_ROUTE_H
#define VANTO_EDIT_TOOL_EDITOR_LOG_ROUTE_H

#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

namespace vtool::editor {

class LogRoute {
 public:
  LogRoute();
  ~LogRoute();
  LogRoute(const LogRoute &) = delete;
  LogRoute &operator=(const LogRoute &) = delete;

  // The whole lines logged since the last call.
  std::vector<std::string> take_lines();

 private:
  std::stringbuf clog_buffer_;
  std::streambuf *saved_clog_ = nullptr;
  int saved_stderr_ = -1;
  int capture_fd_ = -1;
  std::string pending_;
};

}  // namespace vtool::editor

#endif  // VANTO_EDIT_TOOL_EDITOR_LOG_ROUTE_H
