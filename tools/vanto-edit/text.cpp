#include "text.h"

#include <array>
#include <cctype>

#include <fmt/format.h>

#include <vanto_edit.h>

namespace vtool {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<int64_t> parse_number(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  std::size_t digits = 0;
  int64_t value = 0;
  while (digits < text.size()) {
    const int digit = hex_value(text[digits]);
    if (digit < 0 || digit >= base) break;
    if (__builtin_mul_overflow(value, int64_t{base}, &value) ||
        __builtin_add_overflow(value, int64_t{digit}, &value)) {
      return std::nullopt;
    }
    ++digits;
  }
  if (digits == 0) return std::nullopt;
  const std::string_view suffix = text.substr(digits);
  if (suffix.empty()) return value;
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 4> kSuffixes{{
      {"k", "kib"}, {"m", "mib"}, {"g", "gib"}, {"t", "tib"}}};
  int shift = 0;
  for (const auto &[short_name, long_name] : kSuffixes) {
    shift += 10;
    if (equals_ignoring_case(suffix, short_name) || equals_ignoring_case(suffix, long_name)) {
      if (value > (INT64_MAX >> shift)) return std::nullopt;
      return value << shift;
    }
  }
  return std::nullopt;
}

std::optional<Bytes> decode_hex(std::string_view text, std::string &error) {
  std::string digits;
  digits.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t') {
      if (digits.size() % 2 != 0) {
        error = fmt::format("hexadecimal digits must come in pairs (a lone digit before position {})", i + 1);
        return std::nullopt;
      }
      continue;
    }
    if (hex_value(c) < 0) {
      error = fmt::format("'{}' at position {} is not a hexadecimal digit", printable(std::string_view(&c, 1)), i + 1);
      return std::nullopt;
    }
    digits.push_back(c);
  }
  if (digits.size() % 2 != 0) {
    error = "hexadecimal digits must come in pairs (one digit is left over)";
    return std::nullopt;
  }
  // The library's decoder writes a zero byte after the data.
  std::string bytes(digits.size() / 2 + 1, '\0');
  const uint64_t written = vanto_encode_hex2bin(digits.data(), reinterpret_cast<unsigned char *>(bytes.data()),
                                                digits.size());
  if (written != digits.size() / 2) {
    error = "malformed hexadecimal data";
    return std::nullopt;
  }
  bytes.resize(written);
  return bytes;
}

std::optional<Bytes> decode_escapes(std::string_view text, std::string &error) {
  Bytes out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out.push_back(text[i]);
      continue;
    }
    if (++i == text.size()) {
      error = "a backslash ends the text";
      return std::nullopt;
    }
    switch (text[i]) {
      case '\\': out.push_back('\\'); break;
      case '"': out.push_back('"'); break;
      case '\'': out.push_back('\''); break;
      case '0': out.push_back('\0'); break;
      case 'a': out.push_back('\a'); break;
      case 'b': out.push_back('\b'); break;
      case 'e': out.push_back('\x1b'); break;
      case 'f': out.push_back('\f'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'v': out.push_back('\v'); break;
      case 'x': {
        const int high = i + 1 < text.size() ? hex_value(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? hex_value(text[i + 2]) : -1;
        if (high < 0 || low < 0) {
          error = "\\x needs two hexadecimal digits";
          return std::nullopt;
        }
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        break;
      }
      default:
        error = fmt::format("unknown escape \\{}", printable(text.substr(i, 1)));
        return std::nullopt;
    }
  }
  return out;
}

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          out += fmt::format("\\u{:04x}", byte);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
  return out;
}

std::string human_size(double bytes) {
  static constexpr std::array<const char *, 6> kUnits{"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  std::size_t unit = 0;
  while (bytes >= 1024.0 && unit + 1 < kUnits.size()) {
    bytes /= 1024.0;
    ++unit;
  }
  if (unit == 0) return fmt::format("{:.0f} B", bytes);
  return fmt::format("{:.1f} {}", bytes, kUnits[unit]);
}

std::string printable(std::string_view bytes, std::size_t limit) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
      out.push_back(static_cast<char>(byte));
    } else if (byte == '\\') {
      out += "\\\\";
    } else {
      out += fmt::format("\\x{:02x}", byte);
    }
  }
  if (bytes.size() > limit) out += "...";
  return out;
}

std::string dump_line(int64_t offset, int width, const unsigned char *bytes, int64_t count) {
  std::string out = fmt::format("{:0{}x} ", offset, width);
  for (int64_t i = 0; i < 16; ++i) {
    if (i == 8) out.push_back(' ');
    out += i < count ? fmt::format(" {:02x}", bytes[i]) : std::string("   ");
  }
  out += "  |";
  for (int64_t i = 0; i < count; ++i) out.push_back(bytes[i] >= 0x20 && bytes[i] < 0x7f ? static_cast<char>(bytes[i]) : '.');
  out += "|\n";
  return out;
}

}  // namespace vtool
