// Delivery of the library's log lines: the host's sink, or the standard
// streams in the forms described in log.h.
#include "impl_/log.h"

#include <cstring>
#include <mutex>
#include <utility>

#include "vanto_edit/internal.h"

namespace vanto::internal {

namespace {

struct Sink {
  vanto_log_cbk_t cbk = nullptr;
  void *user_data = nullptr;
};

// Constant-initialised: loading the library constructs nothing.  The lock
// is held only to copy or replace the pair, never while the sink runs, so a
// sink may call the library (and log, or set another sink) without
// deadlocking.
constinit std::mutex g_sink_lock;
constinit Sink g_sink;

Sink current_sink() {
  std::lock_guard<std::mutex> hold(g_sink_lock);
  return g_sink;
}

// Collects what is streamed into it and hands each line, at the flush that
// std::endl makes, to the sink without its newline.
class LineToSink : public std::stringbuf {
 public:
  LineToSink(Sink sink, const char *source_file, int source_line, const char *function)
      : sink_(sink), file_(source_file), line_(source_line), function_(function) {}

 protected:
  int sync() override {
    std::string line = str();
    str(std::string());
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (!line.empty()) sink_.cbk(LOG_LEVEL_INFO, file_, line_, function_, line.c_str(), sink_.user_data);
    return 0;
  }

 private:
  Sink sink_;
  const char *file_;
  int line_;
  const char *function_;
};

}  // namespace

void set_log_sink_(vanto_log_cbk_t cbk, void *user_data) {
  std::lock_guard<std::mutex> hold(g_sink_lock);
  g_sink = Sink{cbk, cbk != nullptr ? user_data : nullptr};
}

void log_line_(int32_t level, LogForm form, const char *source_file, int source_line,
               const char *function, const std::string &message) {
  const Sink sink = current_sink();
  if (sink.cbk != nullptr) {
    sink.cbk(level, source_file, source_line, function, message.c_str(), sink.user_data);
    return;
  }
  if (form == LogForm::kStream) {
    std::clog << source_file << '@' << source_line << "::" << function << ": " << message << std::endl;
  } else {
    std::fprintf(stderr, "%s@%d::%s: %s\n", source_file, source_line, function, message.c_str());
  }
}

void log_error_line_(const char *source_file, int source_line, const char *prefix, int error) {
  const Sink sink = current_sink();
  const char *text = std::strerror(error);
  if (sink.cbk != nullptr) {
    sink.cbk(LOG_LEVEL_ERROR, source_file, source_line, prefix, text, sink.user_data);
  } else {
    std::fprintf(stderr, "%s: %s\n", prefix, text);
  }
}

void log_model_(const vanto_model_t *model, const char *source_file, int source_line,
                const char *function) {
  const Sink sink = current_sink();
  if (sink.cbk == nullptr) {
    print_model_segments_(model, std::clog);
    return;
  }
  LineToSink lines(sink, source_file, source_line, function);
  std::ostream out(&lines);
  print_model_segments_(model, out);
  out.flush();
}

}  // namespace vanto::internal
