// Logging in the library's two forms, or through the host's log sink.
//
// Stream form (editing core, save, checkpoints, transforms of session data):
//   <file>@<line>::<function>: <message and values>\n   on std::clog, flushed.
// Standard-error form (the small file and mask utilities):
//   "%s@%d::%s: %s\n" on stderr.
// Error-line form (vanto_util_touch): "<prefix>: <error text>\n" on stderr,
//   as perror writes it.
// <file> is the base name of the source file (the text after its last '/').
//
// When the host has set a sink (vanto_util_set_log_cbk), every line goes to
// it instead, in pieces: level, source file, line, function (the prefix of
// an error line) and the message without any prefix or newline.  The
// message is always built whole first, so the sink hears once per line.
#ifndef VANTO_EDIT_IMPL_LOG_H
#define VANTO_EDIT_IMPL_LOG_H

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "vanto_edit/types.h"

namespace vanto::internal {

constexpr const char *source_base_name(const char *path) {
  const char *base = path;
  for (const char *p = path; *p != '\0'; ++p) {
    if (*p == '/') base = p + 1;
  }
  return base;
}

// Where a line goes when no sink is set.
enum class LogForm { kStream, kStandardError };

// One log line: to the host's sink when one is set, otherwise written in
// `form` to its standard stream.
void log_line_(int32_t level, LogForm form, const char *source_file, int source_line,
               const char *function, const std::string &message);

// One error line for the system error `error`: to the sink (the prefix as the
// function, the error text as the message), or "<prefix>: <error text>\n" on
// standard error.
void log_error_line_(const char *source_file, int source_line, const char *prefix, int error);

// The model's text form (one line per piece): each line to the sink at
// LOG_LEVEL_INFO, or the text as it is onto std::clog.
void log_model_(const vanto_model_t *model, const char *source_file, int source_line,
                const char *function);

// The host's sink (null: the standard streams).  Process-wide.
void set_log_sink_(vanto_log_cbk_t cbk, void *user_data);

}  // namespace vanto::internal

// One line in the stream form at `level`, naming `function_name`.  errno is
// what it was before the line was begun, so the message may show it.
#define VANTO_LOG_LEVEL_AS(level, function_name, expr)                                         \
  do {                                                                                         \
    const int vanto_log_errno_ = errno;                                                        \
    std::ostringstream vanto_log_text_;                                                        \
    errno = vanto_log_errno_;                                                                  \
    vanto_log_text_ << expr;                                                                   \
    ::vanto::internal::log_line_((level), ::vanto::internal::LogForm::kStream,                 \
                                 ::vanto::internal::source_base_name(__FILE__), __LINE__,      \
                                 (function_name), vanto_log_text_.str());                      \
    errno = vanto_log_errno_;                                                                  \
  } while (0)

// VANTO_LOG(message << value << ...): one error line in the stream form.
#define VANTO_LOG(expr) VANTO_LOG_LEVEL_AS(LOG_LEVEL_ERROR, __func__, expr)

// Same, naming a function explicitly (for lines written on behalf of another name).
#define VANTO_LOG_AS(function_name, expr) VANTO_LOG_LEVEL_AS(LOG_LEVEL_ERROR, function_name, expr)

// A warning: something went wrong that the call gets over.
#define VANTO_WARN_AS(function_name, expr) VANTO_LOG_LEVEL_AS(LOG_LEVEL_WARNING, function_name, expr)

// One error line in the standard-error form, naming `function_name`.
#define VANTO_ERRLOG_AS(function_name, message)                                                \
  ::vanto::internal::log_line_(LOG_LEVEL_ERROR, ::vanto::internal::LogForm::kStandardError,    \
                               ::vanto::internal::source_base_name(__FILE__), __LINE__,        \
                               (function_name), (message))

// VANTO_ERRLOG("message"): one error line in the standard-error form.
#define VANTO_ERRLOG(message) VANTO_ERRLOG_AS(__func__, message)

#endif  // VANTO_EDIT_IMPL_LOG_H
