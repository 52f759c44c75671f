#include "inspector.h"

#include <cstring>

#include <fmt/format.h>

namespace vtool::editor {

namespace {

uint64_t load(const unsigned char *bytes, int width, bool big_endian) {
  uint64_t value = 0;
  for (int i = 0; i < width; ++i) {
    const unsigned char b = big_endian ? bytes[i] : bytes[width - 1 - i];
    value = (value << 8) | b;
  }
  return value;
}

int64_t sign_extend(uint64_t value, int width) {
  if (width == 8) return static_cast<int64_t>(value);
  const int bits = width * 8;
  const uint64_t sign = uint64_t{1} << (bits - 1);
  return static_cast<int64_t>((value ^ sign) - sign);
}

}  // namespace

std::string unsigned_value(const unsigned char *bytes, int count, int width, bool big_endian) {
  if (count < width) return "-";
  return fmt::format("{}", load(bytes, width, big_endian));
}

std::string signed_value(const unsigned char *bytes, int count, int width, bool big_endian) {
  if (count < width) return "-";
  return fmt::format("{}", sign_extend(load(bytes, width, big_endian), width));
}

std::string float_value(const unsigned char *bytes, int count, int width, bool big_endian) {
  if (count < width) return "-";
  const uint64_t bits = load(bytes, width, big_endian);
  if (width == 4) {
    const auto narrow = static_cast<uint32_t>(bits);
    float value = 0;
    std::memcpy(&value, &narrow, sizeof value);
    return fmt::format("{:.9g}", value);
  }
  double value = 0;
  std::memcpy(&value, &bits, sizeof value);
  return fmt::format("{:.17g}", value);
}

std::string binary_value(const unsigned char *bytes, int count, int max_bytes) {
  if (count <= 0) return "-";
  std::string out;
  for (int i = 0; i < count && i < max_bytes; ++i) {
    if (i > 0) out += ' ';
    out += fmt::format("{:08b}", bytes[i]);
  }
  return out;
}

std::vector<std::string> inspector_lines(const unsigned char *b, int n) {
  std::vector<std::string> lines;
  lines.push_back(fmt::format(" 8-bit    s {}  u {}   binary {}", signed_value(b, n, 1, false),
                              unsigned_value(b, n, 1, false), binary_value(b, n, 4)));
  for (const int width : {2, 4}) {
    lines.push_back(fmt::format(" {:<8} le s {} u {}   be s {} u {}", fmt::format("{}-bit", width * 8),
                                signed_value(b, n, width, false), unsigned_value(b, n, width, false),
                                signed_value(b, n, width, true), unsigned_value(b, n, width, true)));
  }
  for (const bool big : {false, true}) {
    lines.push_back(fmt::format(" 64-bit   {} s {} u {}", big ? "be" : "le", signed_value(b, n, 8, big),
                                unsigned_value(b, n, 8, big)));
  }
  lines.push_back(fmt::format(" float32  le {}   be {}", float_value(b, n, 4, false), float_value(b, n, 4, true)));
  lines.push_back(fmt::format(" float64  le {}   be {}", float_value(b, n, 8, false), float_value(b, n, 8, true)));
  return lines;
}

}  // namespace vtool::editor
