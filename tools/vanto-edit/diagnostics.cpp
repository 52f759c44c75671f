// The user's standard error and the library's log lines.  The library hands
// its lines to a log sink set here; they are shown only with --verbose (or
// held for the editor's message line), and the last one explains a failure
// in the program's own message.
#include "runtime.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <iterator>
#include <string>

#include <fmt/format.h>

#include "text.h"

namespace vtool {
namespace {

struct DiagnosticsState {
  bool verbose = false;
  bool initialized = false;
  bool bar_visible = false;
  std::string last_message;  // of the library's last line since forget_reason()
  bool holding = false;
  std::deque<std::string> held;  // messages kept while holding, the newest last
  int64_t dropped = 0;           // the older ones not kept
};

constexpr std::size_t kHeldLines = 32;

// Allocated once and never freed: the library may still log while static
// objects are being destroyed.
DiagnosticsState &state() {
  static DiagnosticsState *const instance = new DiagnosticsState;
  return *instance;
}

void write_all(int fd, std::string_view text) {
  while (fd >= 0 && !text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

// The library's log sink: one call per line.  With --verbose the line is
// shown as the library would have written it.
void on_library_line(int32_t, const char *source_file, int32_t source_line, const char *function,
                     const char *message, void *) {
  DiagnosticsState &s = state();
  s.last_message = message;
  if (s.holding) {
    if (s.held.size() == kHeldLines) {
      s.held.pop_front();
      ++s.dropped;
    }
    s.held.emplace_back(message);
  } else if (s.verbose) {
    const std::string line = fmt::format("{}@{}::{}: {}", source_file, source_line, function, message);
    diagnostics::erase_bar();
    write_all(STDERR_FILENO, fmt::format("vanto-edit: [library] {}\n", without_controls(line)));
  }
}

}  // namespace

namespace diagnostics {

void init(bool verbose) {
  DiagnosticsState &s = state();
  if (s.initialized) return;
  s.initialized = true;
  s.verbose = verbose;
  // Started with a standard descriptor closed, a file opened later (the
  // output's temporary file, say) could get its number and receive what is
  // meant for the user: hold them all on /dev/null.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0) {
      const int null_fd = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
      if (null_fd >= 0 && null_fd != fd) {
        ::dup2(null_fd, fd);
        ::close(null_fd);
      }
    }
  }
  vanto_util_set_log_cbk(&on_library_line, nullptr);
}

void shutdown() {
  DiagnosticsState &s = state();
  if (!s.initialized) return;
  erase_bar();
  vanto_util_set_log_cbk(nullptr, nullptr);
  s.initialized = false;
}

void say(std::string_view message) {
  erase_bar();
  // Names in messages are shown with shown_name(); this also keeps control
  // characters of anything else (a reason logged by the library) off the terminal.
  write_all(STDERR_FILENO, fmt::format("vanto-edit: {}\n", without_controls(message)));
}

int user_fd() { return STDERR_FILENO; }

void draw_bar(std::string_view text) {
  write_all(STDERR_FILENO, text);
  state().bar_visible = true;
}

void erase_bar() {
  DiagnosticsState &s = state();
  if (s.bar_visible) {
    write_all(STDERR_FILENO, "\r\x1b[K");
    s.bar_visible = false;
  }
}

void forget_reason() { state().last_message.clear(); }

std::string last_reason() { return state().last_message; }

void hold_lines(bool hold) {
  DiagnosticsState &s = state();
  s.holding = hold;
  s.held.clear();
  s.dropped = 0;
}

std::vector<std::string> take_held_lines() {
  DiagnosticsState &s = state();
  std::vector<std::string> lines;
  if (s.dropped > 0) lines.push_back(fmt::format("({} earlier lines not shown)", s.dropped));
  lines.insert(lines.end(), std::make_move_iterator(s.held.begin()), std::make_move_iterator(s.held.end()));
  s.held.clear();
  s.dropped = 0;
  return lines;
}

}  // namespace diagnostics
}  // namespace vtool
