// `vanto-edit dump`: a range in one of several layouts (a hex and text dump,
// plain hexadecimal, a C array, a Python bytes literal, bits), read through a
// viewport that is moved along the range one window at a time.
#include <algorithm>
#include <cstdio>

#include <fmt/format.h>

#include "commands.h"
#include "dumpformat.h"
#include "text.h"

namespace vtool {

int run_dump(const CommonOptions &common, const DumpOptions &options) {
  const std::optional<DumpFormat> format = dump_format_named(options.format);
  if (!format) {
    throw Failure(fmt::format("--format: unknown format '{}' (known: {})", printable(options.format), dump_format_names()));
  }
  int group = 1;
  if (!options.group_size.empty()) {
    const int64_t size = number_option("--group-size", options.group_size);
    if (!takes_group_size(*format)) throw Failure(fmt::format("--group-size: not for the {} format", options.format));
    if (!valid_group_size(*format, static_cast<int>(std::min<int64_t>(size, 1024)))) {
      throw Failure(fmt::format("--group-size: {} bytes for the {} format, not {}", *format == DumpFormat::Hex ? "1, 2, 4, 8 or 16" : "1, 2, 4 or 8",
                                options.format, size));
    }
    group = static_cast<int>(size);
  }

  Progress progress(common);
  Session session(options.file, progress);
  const Range range = resolve_range(options.file, session.size(), options.offset, options.length);
  if (range.length == 0) return kExitOk;

  const int64_t capacity = std::min<int64_t>(range.length, VANTO_VIEWPORT_CAPACITY_LIMIT);
  vanto_viewport_t *viewport = vanto_edit_create_viewport(session.get(), range.offset, capacity, 0, nullptr, nullptr, 0);
  if (viewport == nullptr) throw Failure(fmt::format("{}: cannot create a viewport", shown_name(options.file)));

  DumpWriter writer(*format, group, !options.all_lines, range.offset, range.end(), options.file);
  for (int64_t position = range.offset; position < range.end();) {
    throw_if_interrupted();
    if (vanto_viewport_get_offset(viewport) != position) vanto_viewport_modify(viewport, position, capacity, 0);
    const unsigned char *data = vanto_viewport_get_data(viewport);
    const int64_t available = std::min(vanto_viewport_get_length(viewport), range.end() - position);
    if (data == nullptr || available <= 0) {
      throw Failure(fmt::format("{}: cannot read the data at offset {}", shown_name(options.file), position));
    }
    writer.add(data, available);
    position += available;
    std::fwrite(writer.out.data(), 1, writer.out.size(), stdout);
    writer.out.clear();
  }
  writer.finish();
  std::fwrite(writer.out.data(), 1, writer.out.size(), stdout);
  return kExitOk;
}

}  // namespace vtool
