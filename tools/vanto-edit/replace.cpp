// `vanto-edit replace`: replaces every occurrence of a pattern.  The
// library does it in one call: one reading pass that finds the matches,
// then one transaction of the smallest change per match; memory grows with
// the number of matches only.  A pattern with '?' nibbles, which that call
// cannot take, is found by a masked search context first (the offsets are
// kept, 8 bytes per match); then each match is overwritten (or deleted and
// the replacement inserted, when the lengths differ), from the last to the
// first so that no offset moves, all in one transaction.
#include <vector>

#include <fmt/format.h>

#include "commands.h"
#include "text.h"
#include "search.h"

namespace vtool {

namespace {

// Replaces the first `max` (all when negative) non-overlapping matches of a
// masked pattern, left to right, by `replacement`, in one transaction;
// returns how many.
int64_t replace_masked(Session &session, Progress &progress, const MaskedBytes &pattern, const Bytes &replacement,
                       bool ignore_case, int64_t max) {
  const auto length = static_cast<int64_t>(pattern.bytes.size());
  std::vector<int64_t> offsets;
  for_each_match(session, progress, pattern, ignore_case, Range{0, session.size()}, length, Direction::kForward,
                 [&](int64_t offset) {
                   offsets.push_back(offset);
                   return max < 0 || static_cast<int64_t>(offsets.size()) < max;
                 });
  if (offsets.empty()) return 0;
  vanto_session_t *const s = session.get();
  const auto *bytes = reinterpret_cast<const unsigned char *>(replacement.data());
  const auto size = static_cast<int64_t>(replacement.size());
  if (vanto_session_begin_transaction(s) != 0) {
    throw Failure(fmt::format("{}: cannot replace the matches", shown_name(session.path())));
  }
  bool ok = true;
  for (auto it = offsets.rbegin(); ok && it != offsets.rend(); ++it) {
    if (size == length) {
      ok = vanto_edit_overwrite_bytes(s, *it, bytes, size) > 0;
    } else {
      ok = vanto_edit_delete(s, *it, length) > 0 && (size == 0 || vanto_edit_insert_bytes(s, *it, bytes, size) > 0);
    }
  }
  vanto_session_end_transaction(s);
  if (!ok) throw Failure(fmt::format("{}: cannot replace the matches", shown_name(session.path())));
  return static_cast<int64_t>(offsets.size());
}

}  // namespace

int run_replace(const CommonOptions &common, const ReplaceOptions &options) {
  const MaskedBytes pattern = pattern_argument(options.pattern, options.hex);
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
    if (has_wildcards(pattern)) {
      replaced = replace_masked(session, progress, pattern, replacement, options.ignore_case, max);
    } else {
      progress.phase("replacing", size_before);
      const int64_t rc = vanto_edit_replace_all(s, pattern.bytes.data(), static_cast<int64_t>(pattern.bytes.size()),
                                                replacement.data(), static_cast<int64_t>(replacement.size()),
                                                options.ignore_case ? REPLACE_FLAG_IGNORE_CASE : REPLACE_FLAG_NONE,
                                                0, 0, max, &replaced);
      progress.clear();
      throw_if_interrupted();
      if (rc < 0) throw Failure(fmt::format("{}: cannot replace the matches", shown_name(options.file)));
    }
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
