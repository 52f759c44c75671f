// Keeps the library's log lines off the terminal while the editor draws on
// it and hands them to the editor's message line instead.  The lines come
// through the program's log sink (diagnostics), which holds them while a
// LogRoute lives.
#ifndef VANTO_EDIT_TOOL_EDITOR_LOG_ROUTE_H
#define VANTO_EDIT_TOOL_EDITOR_LOG_ROUTE_H

#include <string>
#include <vector>

namespace vtool::editor {

class LogRoute {
 public:
  LogRoute();
  ~LogRoute();
  LogRoute(const LogRoute &) = delete;
  LogRoute &operator=(const LogRoute &) = delete;

  // The messages of the lines logged since the last call.
  std::vector<std::string> take_lines();
};

}  // namespace vtool::editor

#endif  // VANTO_EDIT_TOOL_EDITOR_LOG_ROUTE_H
