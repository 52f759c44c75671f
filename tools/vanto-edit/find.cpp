// `vanto-edit find`: the offsets of a pattern's occurrences, found by the
// library's search context.
#include <cstdio>

#include <fmt/format.h>

#include "commands.h"
#include "text.h"
#include "search.h"

namespace vtool {

int run_find(const CommonOptions &common, const FindOptions &options) {
  const Bytes pattern = bytes_argument("pattern", options.pattern, options.hex);
  Progress progress(common);
  Session session(options.file, progress);
  const Range range = resolve_range(options.file, session.size(), options.offset, options.length);
  const int64_t advance = options.overlapping ? 1 : static_cast<int64_t>(pattern.size());
  const bool list = !options.count_only;

  if (options.json) {
    fmt::print("{{\"file\": {}, \"offset\": {}, \"length\": {}, \"pattern_length\": {}", json_string(options.file),
               range.offset, range.length, pattern.size());
    if (list) fmt::print(", \"matches\": [");
  }
  int64_t listed = 0;
  const int64_t count = for_each_match(session, progress, pattern, options.ignore_case, range, advance,
                                       [&](int64_t offset) {
                                         if (list) {
                                           progress.clear();
                                           if (options.json) {
                                             fmt::print("{}{}", listed == 0 ? "" : ", ", offset);
                                           } else {
                                             fmt::print("{}\n", offset);
                                           }
                                           ++listed;
                                         }
                                         return true;
                                       });
  if (options.json) {
    fmt::print("{}, \"count\": {}}}\n", list ? "]" : "", count);
  } else if (!list) {
    fmt::print("{}\n", count);
  }
  return count > 0 ? kExitOk : kExitNothingFound;
}

}  // namespace vtool
