// `vanto-edit replace`: replaces every occurrence of a pattern.  All matches
// are found first (a search context's range is fixed when it is made), then
// replaced from the last to the first, so that no replacement moves an
// offset still to be used; memory grows with the number of matches only.
#include <vector>

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
  std::vector<int64_t> matches;
  if (max != 0) {
    const Range all{0, size_before};
    for_each_match(session, progress, pattern, options.ignore_case, all, static_cast<int64_t>(pattern.size()),
                   [&](int64_t offset) {
                     matches.push_back(offset);
                     return max < 0 || static_cast<int64_t>(matches.size()) < max;
                   });
  }

  vanto_session_t *const s = session.get();
  const auto pattern_length = static_cast<int64_t>(pattern.size());
  const auto replacement_length = static_cast<int64_t>(replacement.size());
  const auto *bytes = reinterpret_cast<const unsigned char *>(replacement.data());
  if (!matches.empty()) {
    if (vanto_session_begin_transaction(s) != 0) throw Failure(fmt::format("{}: cannot open a transaction", shown_name(options.file)));
    for (auto match = matches.rbegin(); match != matches.rend(); ++match) {
      bool ok = true;
      if (replacement_length == pattern_length) {
        ok = vanto_edit_overwrite_bytes(s, *match, bytes, replacement_length) > 0;
      } else {
        ok = vanto_edit_delete(s, *match, pattern_length) > 0;
        if (ok && replacement_length > 0) ok = vanto_edit_insert_bytes(s, *match, bytes, replacement_length) > 0;
      }
      if (!ok) throw Failure(fmt::format("{}: cannot replace the match at offset {}", shown_name(options.file), *match));
      throw_if_interrupted();
    }
    vanto_session_end_transaction(s);
  }

  // In place, a file without matches is left as it is.
  const bool write = !matches.empty() || !target.in_place();
  if (write) target.save(session, progress);
  const int64_t size_after = session.size();
  if (options.json) {
    fmt::print("{{\"file\": {}, \"output\": {}, \"replacements\": {}, \"size_before\": {}, \"size_after\": {}, "
               "\"written\": {}}}\n",
               json_string(options.file), json_string(target.path()), matches.size(), size_before, size_after,
               write ? "true" : "false");
  } else if (!common.quiet) {
    fmt::print("{} replacement{}; {}: {} bytes{}\n", matches.size(), matches.size() == 1 ? "" : "s",
               shown_name(target.path()), size_after, write ? "" : " (unchanged, not rewritten)");
  }
  return kExitOk;
}

}  // namespace vtool
