#include "text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include <vanto_edit.h>

namespace vtool {

int hex_digit_value(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

namespace {

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// The UTF-8 character at the start of `text`: its length in bytes, with its
// code point in `code`; 0 when the first byte does not start a well-formed
// character (overlong forms and surrogates included).
std::size_t utf8_character(std::string_view text, char32_t &code) {
  const auto lead = static_cast<unsigned char>(text[0]);
  std::size_t length = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    code = lead;
    return 1;
  } else if ((lead & 0xe0) == 0xc0) {
    length = 2, code = lead & 0x1f, minimum = 0x80;
  } else if ((lead & 0xf0) == 0xe0) {
    length = 3, code = lead & 0x0f, minimum = 0x800;
  } else if ((lead & 0xf8) == 0xf0) {
    length = 4, code = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if ((next & 0xc0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3f);
  }
  if (code < minimum || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
  return length;
}

// Characters a terminal acts on instead of showing them, and the ones that
// break a line or reorder the text around them.
bool is_control(char32_t code) {
  return code < 0x20 || (code >= 0x7f && code < 0xa0) || code == 0x061c || code == 0x200e || code == 0x200f ||
         (code >= 0x2028 && code <= 0x202e) || (code >= 0x2066 && code <= 0x2069);
}

void escape_byte(std::string &out, unsigned char byte) {
  switch (byte) {
    case '\n': out += "\\n"; break;
    case '\t': out += "\\t"; break;
    case '\r': out += "\\r"; break;
    default: out += fmt::format("\\x{:02x}", byte);
  }
}

// `text` with its control characters and stray bytes escaped; with
// `quoting`, quotes and backslashes too.  Sets `changed` when anything was.
std::string escape_controls(std::string_view text, bool quoting, bool &changed) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    char32_t code = 0;
    const std::size_t length = utf8_character(text, code);
    if (length == 0 || is_control(code)) {
      for (std::size_t i = 0; i < std::max<std::size_t>(length, 1); ++i) escape_byte(out, static_cast<unsigned char>(text[i]));
      changed = true;
      text.remove_prefix(std::max<std::size_t>(length, 1));
      continue;
    }
    if (quoting && (code == '"' || code == '\\')) {
      out.push_back('\\');
      changed = true;
    }
    out.append(text.substr(0, length));
    text.remove_prefix(length);
  }
  return out;
}

// A text of more than `head` + `tail` characters (a byte that is not UTF-8
// counts as one), as its first `head` and its last `tail` characters; empty
// when it is not that long.
std::optional<std::pair<std::string_view, std::string_view>> cut(std::string_view text, std::size_t head,
                                                                  std::size_t tail) {
  if (text.size() <= head + tail) return std::nullopt;
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i < text.size();) {
    starts.push_back(i);
    char32_t code = 0;
    i += std::max<std::size_t>(utf8_character(text.substr(i), code), 1);
  }
  if (starts.size() <= head + tail) return std::nullopt;
  return std::pair{text.substr(0, starts[head]), text.substr(starts[starts.size() - tail])};
}

// Escapes `text`, or, when it is long, its start and end with "..." between.
std::string escape_shortened(std::string_view text, std::size_t head, std::size_t tail, bool quoting,
                             bool &changed) {
  if (const auto parts = cut(text, head, tail)) {
    return escape_controls(parts->first, quoting, changed) + "..." + escape_controls(parts->second, quoting, changed);
  }
  return escape_controls(text, quoting, changed);
}

// Names longer than this many characters are shown by their start and end.
constexpr std::size_t kShownHead = 80;
constexpr std::size_t kShownTail = 120;
// The same for whole message lines.
constexpr std::size_t kLineHead = 400;
constexpr std::size_t kLineTail = 400;

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
    const int digit = hex_digit_value(text[digits]);
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
    if (hex_digit_value(c) < 0) {
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

std::optional<MaskedBytes> decode_hex_pattern(std::string_view text, std::string &error) {
  MaskedBytes out;
  out.bytes.reserve(text.size() / 2);
  out.mask.reserve(text.size() / 2);
  int high = -1;  // the first nibble of a pair, 0x10 + value, or 0 for '?'
  std::size_t high_at = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t') {
      if (high >= 0) {
        error = fmt::format("hexadecimal digits must come in pairs (a lone digit at position {})", high_at + 1);
        return std::nullopt;
      }
      continue;
    }
    const int value = c == '?' ? 0 : hex_digit_value(c) >= 0 ? 0x10 + hex_digit_value(c) : -1;
    if (value < 0) {
      error = fmt::format("'{}' at position {} is not a hexadecimal digit or '?'",
                          printable(std::string_view(&c, 1)), i + 1);
      return std::nullopt;
    }
    if (high < 0) {
      high = value;
      high_at = i;
      continue;
    }
    const auto nibble = [](int v) { return v == 0 ? 0 : v - 0x10; };
    out.bytes.push_back(static_cast<char>(nibble(high) << 4 | nibble(value)));
    out.mask.push_back(static_cast<char>((high != 0 ? 0xF0 : 0) | (value != 0 ? 0x0F : 0)));
    high = -1;
  }
  if (high >= 0) {
    error = "hexadecimal digits must come in pairs (one digit is left over)";
    return std::nullopt;
  }
  return out;
}

bool has_wildcards(const MaskedBytes &pattern) {
  return std::any_of(pattern.mask.begin(), pattern.mask.end(), [](char m) { return m != '\xFF'; });
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
        const int high = i + 1 < text.size() ? hex_digit_value(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? hex_digit_value(text[i + 2]) : -1;
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
  while (!text.empty()) {
    char32_t code = 0;
    const std::size_t length = utf8_character(text, code);
    if (length == 0) {
      out += "\\ufffd";
      text.remove_prefix(1);
      continue;
    }
    switch (code) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (is_control(code)) {
          out += fmt::format("\\u{:04x}", static_cast<uint32_t>(code));
        } else {
          out.append(text.substr(0, length));
        }
    }
    text.remove_prefix(length);
  }
  out.push_back('"');
  return out;
}

std::string shown_name(std::string_view name) {
  bool changed = name.empty();
  const std::string escaped = escape_shortened(name, kShownHead, kShownTail, true, changed);
  return changed ? "\"" + escaped + "\"" : escaped;
}

std::string without_controls(std::string_view text) {
  bool changed = false;
  return escape_shortened(text, kLineHead, kLineTail, false, changed);
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
