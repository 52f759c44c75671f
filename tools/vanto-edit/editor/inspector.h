// The values the bytes at the cursor encode: integers of 8 to 64 bits,
// signed and unsigned, in both byte orders, IEEE floats of 32 and 64 bits,
// and the bytes in binary.
#ifndef VANTO_EDIT_TOOL_EDITOR_INSPECTOR_H
#define VANTO_EDIT_TOOL_EDITOR_INSPECTOR_H

#include <cstdint>
#include <string>
#include <vector>

namespace vtool::editor {

// The panel's lines for up to 8 bytes at the cursor (fewer near the end: a
// width that needs more bytes than there are shows "-").
std::vector<std::string> inspector_lines(const unsigned char *bytes, int count);

// One value as the panel shows it; "-" when `count` is smaller than `width`.
std::string unsigned_value(const unsigned char *bytes, int count, int width, bool big_endian);
std::string signed_value(const unsigned char *bytes, int count, int width, bool big_endian);
std::string float_value(const unsigned char *bytes, int count, int width, bool big_endian);
std::string binary_value(const unsigned char *bytes, int count, int max_bytes);

}  // namespace vtool::editor

#endif  // VANTO_EDIT_TOOL_EDITOR_INSPECTOR_H
