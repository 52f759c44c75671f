// Ctrl-C and the progress bar.
#include "runtime.h"

#include <unistd.h>

#include <algorithm>
#include <csignal>

#include <fmt/format.h>

#include "text.h"

namespace vtool {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;

// The first signal asks the work to stop; a second one ends the process at
// once, whatever it waits for.
extern "C" void on_interrupt(int) {
  if (g_interrupted != 0) _exit(kExitInterrupted);
  g_interrupted = 1;
}

}  // namespace

// ---- Ctrl-C ----------------------------------------------------------------------------

void install_interrupt_handlers() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  // Without SA_RESTART: a system call that waits (for a pipe, a terminal)
  // returns with EINTR, and the caller sees the flag.
  action.sa_flags = 0;
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

bool interrupted() { return g_interrupted != 0; }

void throw_if_interrupted() {
  if (interrupted()) throw Interrupted();
}

// ---- progress ---------------------------------------------------------------------------

Progress::Progress(const CommonOptions &options)
    : enabled_(!options.quiet && diagnostics::user_fd() >= 0 && ::isatty(diagnostics::user_fd()) == 1) {}

Progress::~Progress() { clear(); }

void Progress::phase(std::string label, int64_t overall) {
  clear();
  label_ = std::move(label);
  overall_ = overall;
  last_done_ = -1;
  start_ = std::chrono::steady_clock::now();
}

void Progress::clear() {
  if (shown_) {
    diagnostics::erase_bar();
    shown_ = false;
  }
}

int Progress::hook(const vanto_session_t *, int64_t done, int64_t total, void *user_data) {
  if (interrupted()) return 1;
  if (user_data != nullptr) static_cast<Progress *>(user_data)->report(done, total);
  return 0;
}

void Progress::report(int64_t done, int64_t total) {
  if (!enabled_) return;
  using namespace std::chrono;
  const auto now = steady_clock::now();
  if (overall_ == 0 && done < last_done_) start_ = now;  // a new call of the same phase
  last_done_ = done;
  if (overall_ > 0) {
    // One call of several over the phase's range (a search resumed after a
    // match): the call reports its own rest of the range.
    done = std::clamp<int64_t>(overall_ - total + done, 0, overall_);
    total = overall_;
  }
  // Work done within one report shows nothing; then at most ten redraws a
  // second, and the end.
  if (!shown_ && done >= total) return;
  if (shown_ && now - last_draw_ < milliseconds(100) && done < total) return;
  last_draw_ = now;

  const int percent = total > 0 ? static_cast<int>(std::min<int64_t>(100, done * 100 / total)) : 100;
  constexpr int kWidth = 24;
  const int filled = percent * kWidth / 100;
  const double seconds = duration<double>(now - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
  diagnostics::draw_bar(fmt::format("\r{} [{}{}] {:3d}%  {}/s\x1b[K", label_.empty() ? "working" : label_,
                                     std::string(static_cast<std::size_t>(filled), '#'),
                                     std::string(static_cast<std::size_t>(kWidth - filled), '-'), percent,
                                     human_size(rate)));
  shown_ = true;
}

}  // namespace vtool
