// `vanto-edit dump`: a hex and text dump of a range, read through a viewport
// that is moved along the range one window at a time.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include <fmt/format.h>

#include "commands.h"
#include "text.h"

namespace vtool {
namespace {

constexpr int64_t kBytesPerLine = 16;

// Digits of the offset column: 8, or more for offsets that need them.
int offset_width(int64_t last_offset) {
  int width = 8;
  while (width < 16 && (static_cast<uint64_t>(last_offset) >> (4 * width)) != 0) ++width;
  return width;
}

}  // namespace

int run_dump(const CommonOptions &common, const DumpOptions &options) {
  Progress progress(common);
  Session session(options.file, progress);
  const Range range = resolve_range(options.file, session.size(), options.offset, options.length);
  if (range.length == 0) return kExitOk;

  const int width = offset_width(range.end());
  const int64_t capacity = std::min<int64_t>(range.length, VANTO_VIEWPORT_CAPACITY_LIMIT);
  vanto_viewport_t *viewport = vanto_edit_create_viewport(session.get(), range.offset, capacity, 0, nullptr, nullptr, 0);
  if (viewport == nullptr) throw Failure(fmt::format("{}: cannot create a viewport", shown_name(options.file)));

  std::string out;
  unsigned char previous[kBytesPerLine];
  bool have_previous = false;
  bool squeezing = false;
  for (int64_t position = range.offset; position < range.end();) {
    throw_if_interrupted();
    if (vanto_viewport_get_offset(viewport) != position) vanto_viewport_modify(viewport, position, capacity, 0);
    const unsigned char *data = vanto_viewport_get_data(viewport);
    const int64_t available = std::min(vanto_viewport_get_length(viewport), range.end() - position);
    if (data == nullptr || available <= 0) {
      throw Failure(fmt::format("{}: cannot read the data at offset {}", shown_name(options.file), position));
    }
    for (int64_t i = 0; i < available; i += kBytesPerLine) {
      const int64_t count = std::min(kBytesPerLine, available - i);
      const unsigned char *line = data + i;
      const bool repeated = have_previous && count == kBytesPerLine && std::memcmp(line, previous, kBytesPerLine) == 0;
      if (repeated && !options.all_lines) {
        if (!squeezing) out += "*\n";
        squeezing = true;
      } else {
        squeezing = false;
        out += dump_line(position + i, width, line, count);
      }
      if (count == kBytesPerLine) {
        std::memcpy(previous, line, kBytesPerLine);
        have_previous = true;
      }
    }
    position += available;
    std::fwrite(out.data(), 1, out.size(), stdout);
    out.clear();
  }
  fmt::print("{:0{}x}\n", range.end(), width);
  return kExitOk;
}

}  // namespace vtool
