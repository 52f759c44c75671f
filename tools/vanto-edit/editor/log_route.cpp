#include "log_route.h"

#include "../runtime.h"

namespace vtool::editor {

LogRoute::LogRoute() { diagnostics::hold_lines(true); }

LogRoute::~LogRoute() { diagnostics::hold_lines(false); }

std::vector<std::string> LogRoute::take_lines() { return diagnostics::take_held_lines(); }

}  // namespace vtool::editor
