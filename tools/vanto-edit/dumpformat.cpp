#include "dumpformat.h"

#include <algorithm>
#include <array>
#include <cstring>

#include <fmt/format.h>

namespace vtool {
namespace {

constexpr char kDigits[] = "0123456789abcdef";

struct FormatInfo {
  DumpFormat format;
  std::string_view name;
  int64_t per_line;  // bytes a line
};

constexpr std::array<FormatInfo, 5> kFormats{{
    {DumpFormat::Hex, "hex", 16},
    {DumpFormat::Plain, "plain", 30},
    {DumpFormat::C, "c", 12},
    {DumpFormat::Python, "python", 16},
    {DumpFormat::Binary, "binary", 8},
}};

const FormatInfo &info_of(DumpFormat format) {
  for (const FormatInfo &info : kFormats) {
    if (info.format == format) return info;
  }
  return kFormats[0];
}

// Digits of the offset column: 8, or more for offsets that need them.
int offset_width(int64_t last_offset) {
  int width = 8;
  while (width < 16 && (static_cast<uint64_t>(last_offset) >> (4 * width)) != 0) ++width;
  return width;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// A C identifier made of a file's name: "notes.txt" -> "notes_txt".
std::string identifier_of(std::string_view name) {
  const std::size_t slash = name.rfind('/');
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  std::string out;
  for (const char c : name) {
    const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    out.push_back(word ? c : '_');
  }
  if (out.empty()) return "data";
  if (out[0] >= '0' && out[0] <= '9') out.insert(out.begin(), '_');
  return out;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

// Hex and binary dumps: offset, bytes (hexadecimal or bits) and the text
// between bars; '*' for lines like the one before; the end offset last.
std::optional<Bytes> parse_lines(std::string_view text, bool bits, std::string &error) {
  const std::size_t per_line = bits ? 8 : 16;
  Bytes out;
  Bytes previous;  // the last full line
  int64_t base = -1;
  bool repeat = false;  // a '*' waits for the next offset
  bool ended = false;
  int number = 0;
  auto fail = [&](const std::string &what) {
    error = fmt::format("line {}: {}", number, what);
    return std::nullopt;
  };
  while (!text.empty()) {
    ++number;
    const std::size_t newline = text.find('\n');
    std::string_view line = trimmed(text.substr(0, newline));
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    if (line.empty()) continue;
    if (ended) return fail("text after the end offset");
    if (line == "*") {
      if (previous.empty() || repeat) return fail("'*' without a full line before it");
      repeat = true;
      continue;
    }
    std::size_t digits = 0;
    uint64_t offset = 0;
    while (digits < line.size() && hex_digit_value(line[digits]) >= 0) {
      if (digits == 16) return fail("the offset is too long");
      offset = offset * 16 + static_cast<uint64_t>(hex_digit_value(line[digits]));
      ++digits;
    }
    if (digits == 0 || offset > static_cast<uint64_t>(INT64_MAX)) return fail("no offset at the start of the line");
    if (digits < line.size() && !is_blank(line[digits])) return fail("no offset at the start of the line");
    if (base < 0) base = static_cast<int64_t>(offset);
    const int64_t at = static_cast<int64_t>(offset) - base;
    const auto held = static_cast<int64_t>(out.size());
    if (repeat) {
      const auto line_length = static_cast<int64_t>(previous.size());
      if (at <= held || (at - held) % line_length != 0) {
        return fail(fmt::format("offset {:x} does not follow the repeated line before", offset));
      }
      for (int64_t n = (at - held) / line_length; n > 0; --n) out += previous;
      repeat = false;
    } else if (at != held) {
      return fail(fmt::format("offset {:x} does not follow the line before (expected {:x})", offset, base + held));
    }
    std::string_view rest = line.substr(digits);
    if (trimmed(rest).empty()) {
      ended = true;  // the end offset
      continue;
    }
    rest = rest.substr(0, rest.find('|'));
    std::string why;
    const std::optional<Bytes> bytes = bits ? decode_bits(rest, why) : decode_spaced_hex(rest, why);
    if (!bytes) return fail(why);
    if (bytes->empty() || bytes->size() > per_line) {
      return fail(fmt::format("{} bytes on the line (1 to {} expected)", bytes->size(), per_line));
    }
    out += *bytes;
    if (bytes->size() == per_line) {
      previous = *bytes;
    } else {
      previous.clear();
    }
  }
  ++number;
  if (repeat) return fail("the dump ends with '*' and no end offset");
  return out;
}

// A C array: the numbers between '{' and '}' (0x-hexadecimal or decimal,
// 0 to 255); a length "NAME_len = N" after it must match.
std::optional<Bytes> parse_c(std::string_view text, std::string &error) {
  const std::size_t open = text.find('{');
  const std::size_t close = open == std::string_view::npos ? open : text.find('}', open);
  if (close == std::string_view::npos) {
    error = "no initializer in braces { ... }";
    return std::nullopt;
  }
  Bytes out;
  std::string_view body = text.substr(open + 1, close - open - 1);
  for (std::size_t element = 1; !trimmed(body).empty(); ++element) {
    const std::size_t comma = body.find(',');
    std::string_view item = trimmed(body.substr(0, comma));
    body.remove_prefix(comma == std::string_view::npos ? body.size() : comma + 1);
    int base = 10;
    if (item.size() > 2 && item[0] == '0' && (item[1] == 'x' || item[1] == 'X')) {
      base = 16;
      item.remove_prefix(2);
    }
    int value = 0;
    bool valid = !item.empty() && item.size() <= 3;
    for (const char c : item) {
      const int digit = hex_digit_value(c);
      if (digit < 0 || digit >= base) valid = false;
      value = value * base + std::max(digit, 0);
    }
    if (!valid || value > 255) {
      error = fmt::format("element {} of the array is not a byte (0 to 255)", element);
      return std::nullopt;
    }
    out.push_back(static_cast<char>(value));
  }
  std::string_view after = text.substr(close + 1);
  const std::size_t length_at = after.find("_len");
  if (length_at != std::string_view::npos) {
    after.remove_prefix(length_at + 4);
    after = trimmed(after);
    if (!after.empty() && after[0] == '=') {
      after = trimmed(after.substr(1));
      const std::optional<int64_t> stated = parse_number(after.substr(0, after.find_first_not_of("0123456789")));
      if (stated && *stated != static_cast<int64_t>(out.size())) {
        error = fmt::format("the array holds {} bytes, its length says {}", out.size(), *stated);
        return std::nullopt;
      }
    }
  }
  return out;
}

// Python bytes literals b"..." or b'...', one after another, in parentheses or not.
std::optional<Bytes> parse_python(std::string_view text, std::string &error) {
  Bytes out;
  std::size_t i = 0;
  int line = 1;
  auto fail = [&](const std::string &what) {
    error = fmt::format("line {}: {}", line, what);
    return std::nullopt;
  };
  auto skip_blanks = [&]() {
    while (i < text.size() && is_blank(text[i])) {
      if (text[i] == '\n') ++line;
      ++i;
    }
  };
  skip_blanks();
  const bool parenthesized = i < text.size() && text[i] == '(';
  if (parenthesized) ++i;
  int literals = 0;
  for (;;) {
    skip_blanks();
    if (i == text.size()) {
      if (parenthesized) return fail("no closing ')'");
      break;
    }
    if (parenthesized && text[i] == ')') {
      ++i;
      skip_blanks();
      if (i != text.size()) return fail("text after the closing ')'");
      break;
    }
    if ((text[i] != 'b' && text[i] != 'B') || i + 1 == text.size() || (text[i + 1] != '"' && text[i + 1] != '\'')) {
      return fail("not a bytes literal b\"...\"");
    }
    const char quote = text[i + 1];
    i += 2;
    ++literals;
    for (;;) {
      if (i == text.size() || text[i] == '\n') return fail("the bytes literal is not closed");
      const auto c = static_cast<unsigned char>(text[i]);
      if (c == static_cast<unsigned char>(quote)) {
        ++i;
        break;
      }
      if (c >= 0x80) return fail("a bytes literal holds ASCII characters only");
      if (c != '\\') {
        out.push_back(static_cast<char>(c));
        ++i;
        continue;
      }
      if (++i == text.size()) return fail("the bytes literal is not closed");
      const char e = text[i++];
      switch (e) {
        case '\n': ++line; break;  // a continued line
        case '\\': out.push_back('\\'); break;
        case '\'': out.push_back('\''); break;
        case '"': out.push_back('"'); break;
        case 'a': out.push_back('\a'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'v': out.push_back('\v'); break;
        case 'x': {
          const int high = i < text.size() ? hex_digit_value(text[i]) : -1;
          const int low = i + 1 < text.size() ? hex_digit_value(text[i + 1]) : -1;
          if (high < 0 || low < 0) return fail("\\x needs two hexadecimal digits");
          out.push_back(static_cast<char>(high * 16 + low));
          i += 2;
          break;
        }
        default:
          if (e >= '0' && e <= '7') {
            int value = e - '0';
            for (int n = 0; n < 2 && i < text.size() && text[i] >= '0' && text[i] <= '7'; ++n) value = value * 8 + (text[i++] - '0');
            if (value > 255) return fail("an octal escape beyond \\377");
            out.push_back(static_cast<char>(value));
          } else {
            // Python keeps an unknown escape as it is.
            out.push_back('\\');
            out.push_back(e);
          }
      }
    }
  }
  if (literals == 0) return fail("no bytes literal");
  return out;
}

}  // namespace

std::optional<DumpFormat> dump_format_named(std::string_view name) {
  for (const FormatInfo &info : kFormats) {
    if (info.name == name) return info.format;
  }
  return std::nullopt;
}

const char *dump_format_names() { return "hex, plain, c, python, binary"; }

bool takes_group_size(DumpFormat format) { return format == DumpFormat::Hex || format == DumpFormat::Binary; }

bool valid_group_size(DumpFormat format, int size) {
  const int64_t per_line = info_of(format).per_line;
  return takes_group_size(format) && size >= 1 && size <= per_line && per_line % size == 0;
}

DumpWriter::DumpWriter(DumpFormat format, int group, bool squeeze, int64_t start, int64_t end, std::string_view name)
    : format_(format), group_(group), squeeze_(squeeze), start_(start), end_(end), next_(start),
      per_line_(info_of(format).per_line), width_(offset_width(end)), identifier_(identifier_of(name)) {
  if (format_ == DumpFormat::C && end_ > start_) out += fmt::format("unsigned char {}[] = {{\n", identifier_);
}

void DumpWriter::add(const unsigned char *bytes, int64_t length) {
  while (length > 0) {
    if (carry_.empty() && length >= per_line_) {
      line(bytes, per_line_);
      bytes += per_line_;
      length -= per_line_;
      continue;
    }
    const int64_t take = std::min(per_line_ - static_cast<int64_t>(carry_.size()), length);
    carry_.append(reinterpret_cast<const char *>(bytes), static_cast<std::size_t>(take));
    bytes += take;
    length -= take;
    if (static_cast<int64_t>(carry_.size()) == per_line_) {
      line(reinterpret_cast<const unsigned char *>(carry_.data()), per_line_);
      carry_.clear();
    }
  }
}

void DumpWriter::finish() {
  if (!carry_.empty()) {
    line(reinterpret_cast<const unsigned char *>(carry_.data()), static_cast<int64_t>(carry_.size()));
    carry_.clear();
  }
  if (end_ == start_) return;
  switch (format_) {
    case DumpFormat::Hex:
    case DumpFormat::Binary: out += fmt::format("{:0{}x}\n", end_, width_); break;
    case DumpFormat::C: {
      const int64_t length = end_ - start_;
      out += fmt::format("}};\nunsigned {} {}_len = {};\n", length <= UINT32_MAX ? "int" : "long long", identifier_, length);
      break;
    }
    case DumpFormat::Plain:
    case DumpFormat::Python: break;
  }
}

void DumpWriter::line(const unsigned char *bytes, int64_t count) {
  const int64_t offset = next_;
  next_ += count;
  const bool last = next_ == end_;
  switch (format_) {
    case DumpFormat::Hex:
    case DumpFormat::Binary: {
      const bool repeated = squeeze_ && count == per_line_ && static_cast<int64_t>(previous_.size()) == per_line_ &&
                            std::memcmp(bytes, previous_.data(), static_cast<std::size_t>(count)) == 0;
      if (repeated) {
        if (!squeezing_) out += "*\n";
        squeezing_ = true;
      } else {
        squeezing_ = false;
        grouped_line(bytes, count);
        if (count == per_line_) previous_.assign(reinterpret_cast<const char *>(bytes), static_cast<std::size_t>(count));
      }
      break;
    }
    case DumpFormat::Plain:
      for (int64_t i = 0; i < count; ++i) {
        out.push_back(kDigits[bytes[i] >> 4]);
        out.push_back(kDigits[bytes[i] & 15]);
      }
      out.push_back('\n');
      break;
    case DumpFormat::C:
      out += "  ";
      for (int64_t i = 0; i < count; ++i) {
        out += "0x";
        out.push_back(kDigits[bytes[i] >> 4]);
        out.push_back(kDigits[bytes[i] & 15]);
        if (!last || i + 1 < count) out += i + 1 < count ? ", " : ",";
      }
      out.push_back('\n');
      break;
    case DumpFormat::Python: {
      const bool several = end_ - start_ > per_line_;
      if (several) out += offset == start_ ? "(" : " ";
      out += "b\"";
      for (int64_t i = 0; i < count; ++i) {
        const unsigned char byte = bytes[i];
        if (byte == '\\' || byte == '"') {
          out.push_back('\\');
          out.push_back(static_cast<char>(byte));
        } else if (byte >= 0x20 && byte < 0x7f) {
          out.push_back(static_cast<char>(byte));
        } else {
          out += "\\x";
          out.push_back(kDigits[byte >> 4]);
          out.push_back(kDigits[byte & 15]);
        }
      }
      out += "\"";
      if (several && last) out += ")";
      out.push_back('\n');
      break;
    }
  }
}

void DumpWriter::grouped_line(const unsigned char *bytes, int64_t count) {
  const bool bits = format_ == DumpFormat::Binary;
  out += fmt::format("{:0{}x} ", next_ - count, width_);
  for (int64_t i = 0; i < per_line_; ++i) {
    if (i % group_ == 0) out.push_back(' ');
    if (!bits && i == 8 && group_ <= 8) out.push_back(' ');  // the middle of a hex line
    if (i >= count) {
      out.append(bits ? 8 : 2, ' ');
    } else if (bits) {
      for (int bit = 7; bit >= 0; --bit) out.push_back(((bytes[i] >> bit) & 1) != 0 ? '1' : '0');
    } else {
      out.push_back(kDigits[bytes[i] >> 4]);
      out.push_back(kDigits[bytes[i] & 15]);
    }
  }
  out += "  |";
  for (int64_t i = 0; i < count; ++i) out.push_back(bytes[i] >= 0x20 && bytes[i] < 0x7f ? static_cast<char>(bytes[i]) : '.');
  out += "|\n";
}

std::optional<Bytes> parse_dump(DumpFormat format, std::string_view text, std::string &error) {
  switch (format) {
    case DumpFormat::Hex: return parse_lines(text, false, error);
    case DumpFormat::Binary: return parse_lines(text, true, error);
    case DumpFormat::Plain: return decode_spaced_hex(text, error);
    case DumpFormat::C: return parse_c(text, error);
    case DumpFormat::Python: return parse_python(text, error);
  }
  return std::nullopt;
}

std::optional<Bytes> decode_spaced_hex(std::string_view text, std::string &error) {
  Bytes out;
  int high = -1;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (is_blank(c)) {
      if (high >= 0) {
        error = fmt::format("hexadecimal digits must come in pairs (a lone digit before position {})", i + 1);
        return std::nullopt;
      }
      continue;
    }
    const int digit = hex_digit_value(c);
    if (digit < 0) {
      error = fmt::format("'{}' at position {} is not a hexadecimal digit", printable(text.substr(i, 1)), i + 1);
      return std::nullopt;
    }
    if (high < 0) {
      high = digit;
    } else {
      out.push_back(static_cast<char>(high * 16 + digit));
      high = -1;
    }
  }
  if (high >= 0) {
    error = "hexadecimal digits must come in pairs (one digit is left over)";
    return std::nullopt;
  }
  return out;
}

std::optional<Bytes> decode_bits(std::string_view text, std::string &error) {
  Bytes out;
  int value = 0;
  int count = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (is_blank(c)) {
      if (count != 0) {
        error = fmt::format("binary digits must come in groups of 8 (a byte is cut before position {})", i + 1);
        return std::nullopt;
      }
      continue;
    }
    if (c != '0' && c != '1') {
      error = fmt::format("'{}' at position {} is not a binary digit", printable(text.substr(i, 1)), i + 1);
      return std::nullopt;
    }
    value = value * 2 + (c - '0');
    if (++count == 8) {
      out.push_back(static_cast<char>(value));
      value = count = 0;
    }
  }
  if (count != 0) {
    error = "binary digits must come in groups of 8 (a byte is left unfinished)";
    return std::nullopt;
  }
  return out;
}

}  // namespace vtool
