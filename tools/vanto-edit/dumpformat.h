// The layouts of `vanto-edit dump --format`, written a block at a time, and
// their parsers, through which an edit script takes a dump back as data.
#ifndef VANTO_EDIT_TOOL_DUMPFORMAT_H
#define VANTO_EDIT_TOOL_DUMPFORMAT_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "text.h"

namespace vtool {

enum class DumpFormat {
  Hex,     // offset, 16 bytes in hexadecimal, the text between bars; '*' for repeated lines
  Plain,   // hexadecimal digits only, 60 a line
  C,       // a C array with its length
  Python,  // a bytes literal
  Binary,  // offset, 8 bytes as bits, the text between bars; '*' for repeated lines
};

// The format named `name` ("hex", "plain", "c", "python", "binary").
std::optional<DumpFormat> dump_format_named(std::string_view name);
// "hex, plain, c, python, binary", for messages.
const char *dump_format_names();
// Whether --group-size applies to the format, and the sizes it takes.
bool takes_group_size(DumpFormat format);
bool valid_group_size(DumpFormat format, int size);

// Writes the dump of the range [start, end) from its bytes, given in order in
// pieces of any length.  Text is collected in `out`, which the caller prints
// and empties as it likes.
class DumpWriter {
 public:
  // `group` is the bytes a group (1 for the hex and binary formats' default);
  // `squeeze` replaces repeated lines by one '*' (hex and binary); `name`
  // (the file's name) gives the C array its identifier.
  DumpWriter(DumpFormat format, int group, bool squeeze, int64_t start, int64_t end, std::string_view name);

  void add(const unsigned char *bytes, int64_t length);
  // Writes what is left; the range must have been given whole.
  void finish();

  std::string out;

 private:
  void line(const unsigned char *bytes, int64_t count);
  void grouped_line(const unsigned char *bytes, int64_t count);

  DumpFormat format_;
  int group_;
  bool squeeze_;
  int64_t start_;
  int64_t end_;
  int64_t next_ = 0;  // offset of the next line
  int64_t per_line_;
  int width_ = 8;  // digits of the offset column
  std::string identifier_;
  Bytes carry_;     // bytes of a line not yet complete
  Bytes previous_;  // the last full line (squeezing)
  bool squeezing_ = false;
};

// The bytes a dump in `format` shows, whatever the group size and offsets
// (a hex or binary dump's offsets count from its first line).  Empty with
// `error` set ("line N: ...") when the text is not such a dump or does not
// hold together (offsets that skip, a C length that does not match).
std::optional<Bytes> parse_dump(DumpFormat format, std::string_view text, std::string &error);

// Hexadecimal digit pairs with any white space between pairs.
std::optional<Bytes> decode_spaced_hex(std::string_view text, std::string &error);
// Binary digits, eight a byte, most significant bit first, with any white
// space between bytes.
std::optional<Bytes> decode_bits(std::string_view text, std::string &error);

}  // namespace vtool

#endif  // VANTO_EDIT_TOOL_DUMPFORMAT_H
