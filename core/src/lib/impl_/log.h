// Logging in the library's two forms.
//
// Stream form (editing core, save, checkpoints, transforms of session data):
//   <file>@<line>::<function>: <message and values>\n   on std::clog, flushed.
// Standard-error form (the small file and mask utilities):
//   "%s@%d::%s: %s\n" on stderr.
// <file> is the base name of the source file (the text after its last '/').
#ifndef VANTO_EDIT_IMPL_LOG_H
#define VANTO_EDIT_IMPL_LOG_H

#include <cstdio>
#include <iostream>

namespace vanto::internal {

constexpr const char *source_base_name(const char *path) {
  const char *base = path;
  for (const char *p = path; *p != '\0'; ++p) {
    if (*p == '/') base = p + 1;
  }
  return base;
}

}  // namespace vanto::internal

// VANTO_LOG(message << value << ...): one line in the stream form.
#define VANTO_LOG(expr)                                                                    \
  do {                                                                                     \
    std::clog << ::vanto::internal::source_base_name(__FILE__) << '@' << __LINE__ << "::" \
              << __func__ << ": " << expr << std::endl;                                    \
  } while (0)

// Same, naming a function explicitly (for lines written on behalf of another name).
#define VANTO_LOG_AS(function_name, expr)                                                  \
  do {                                                                                     \
    std::clog << ::vanto::internal::source_base_name(__FILE__) << '@' << __LINE__ << "::" \
              << (function_name) << ": " << expr << std::endl;                             \
  } while (0)

// VANTO_ERRLOG("message"): one line in the standard-error form.
#define VANTO_ERRLOG(message)                                                              \
  std::fprintf(stderr, "%s@%d::%s: %s\n", ::vanto::internal::source_base_name(__FILE__),   \
               __LINE__, __func__, (message))

#endif  // VANTO_EDIT_IMPL_LOG_H
