// `vanto-edit find`: the offsets of a pattern's occurrences, found by the
// library's search context: from the start, from the end (--reverse), only
// the last one (--last), or only their number (--count, counted by the
// library in one call).
#include <cstdio>

#include <fmt/format.h>

#include "commands.h"
#include "text.h"
#include "search.h"

namespace vtool {

int run_find(const CommonOptions &common, const FindOptions &options) {
  const MaskedBytes pattern = pattern_argument(options.pattern, options.hex);
  Progress progress(common);
  Session session(options.file, progress);
  const Range range = resolve_range(options.file, session.size(), options.offset, options.length);
  const int64_t advance = options.overlapping ? 1 : static_cast<int64_t>(pattern.bytes.size());
  const bool list = !options.count_only;

  if (options.json) {
    fmt::print("{{\"file\": {}, \"offset\": {}, \"length\": {}, \"pattern_length\": {}", json_string(options.file),
               range.offset, range.length, pattern.bytes.size());
    if (list) fmt::print(", \"matches\": [");
  }
  int64_t count = 0;
  if (list) {
    const Direction direction = options.last || options.reverse ? Direction::kBackward : Direction::kForward;
    count = for_each_match(session, progress, pattern, options.ignore_case, range, advance, direction,
                           [&](int64_t offset) {
                             progress.clear();
                             if (options.json) {
                               fmt::print("{}{}", count == 0 ? "" : ", ", offset);
                             } else {
                               fmt::print("{}\n", offset);
                             }
                             ++count;
                             return !options.last;
                           });
  } else {
    count = count_matches(session, progress, pattern, options.ignore_case, range, advance);
  }
  if (options.json) {
    fmt::print("{}, \"count\": {}}}\n", list ? "]" : "", count);
  } else if (!list) {
    fmt::print("{}\n", count);
  }
  return count > 0 ? kExitOk : kExitNothingFound;
}

}  // namespace vtool
