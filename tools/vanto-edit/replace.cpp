// `vanto-edit replace`: replaces every occurrence of a pattern.  The
// library does it in one call: one reading pass that finds the matches,
// then one transaction of the smallest change per match; memory grows with
// the number of matches only.
#include <fmt/format.h>

#include "commands.h"
#include "text.h"
#include "search.h"

namespace vtool {

int run_replace(const CommonOptions &common, const ReplaceOptions &options) {
  const Bytes pattern = bytes_argument("pattern", options.pattern, options.hex);
  const Bytes replacement = bytes_argument("replacement", options.replacement, options.hex, true);
  const int64_t max = options.max.empty() ? -1 : number_option("--max", options.max);
  check_input_file(options.file);
  const OutputTarget target(options.file, options.output);

  Progress progress(common);
  Session session(options.file, progress);
  const int64_t size_before = session.size();
  vanto_session_t *const s = session.get();
  int64_t replaced = 0;
  if (max != 0 && size_before > 0) {
    progress.phase("replacing", size_before);
    const int64_t rc = vanto_edit_replace_all(s, pattern.data(), static_cast<int64_t>(pattern.size()),
                                              replacement.data(), static_cast<int64_t>(replacement.size()),
                                              options.ignore_case ? REPLACE_FLAG_IGNORE_CASE : REPLACE_FLAG_NONE,
                                              0, 0, max, &replaced);
    progress.clear();
    throw_if_interrupted();
    if (rc < 0) throw Failure(fmt::format("{}: cannot replace the matches", shown_name(options.file)));
  }
  const bool any = replaced > 0;

  // In place, a file without matches is left as it is.
  const bool write = any || !target.in_place();
  if (write) target.save(session, progress);
  const int64_t size_after = session.size();
  if (options.json) {
    fmt::print("{{\"file\": {}, \"output\": {}, \"replacements\": {}, \"size_before\": {}, \"size_after\": {}, "
               "\"written\": {}}}\n",
               json_string(options.file), json_string(target.path()), replaced, size_before, size_after,
               write ? "true" : "false");
  } else if (!common.quiet) {
    fmt::print("{} replacement{}; {}: {} bytes{}\n", replaced, replaced == 1 ? "" : "s", shown_name(target.path()),
               size_after, write ? "" : " (unchanged, not rewritten)");
  }
  return kExitOk;
}

}  // namespace vtool
