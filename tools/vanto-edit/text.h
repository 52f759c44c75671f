// Text helpers of the vanto-edit tool: numbers with size suffixes, byte data
// written as hexadecimal or as text with escapes, JSON strings and sizes for
// people.
#ifndef VANTO_EDIT_TOOL_TEXT_H
#define VANTO_EDIT_TOOL_TEXT_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vtool {

// Raw bytes, any values, zero bytes included.
using Bytes = std::string;

// A non-negative count or offset: decimal or 0x-hexadecimal digits, with an
// optional binary suffix K, M, G or T (also KiB, MiB, GiB, TiB; any case).
// Empty when the text is not such a number or does not fit in 63 bits.
std::optional<int64_t> parse_number(std::string_view text);

// The value of a hexadecimal digit (either case), -1 for any other character
// or key code.
int hex_digit_value(int c);

// Hexadecimal digit pairs ("48656c", "48 65 6C"; white space between pairs
// is ignored) to bytes.  Empty with `error` set when a character is not a
// digit or a digit is left over.
std::optional<Bytes> decode_hex(std::string_view text, std::string &error);

// A byte pattern with a mask byte per pattern byte: data byte d matches
// pattern byte b under mask m when (d & m) == (b & m).  Both have the same
// length; the mask is 0xFF where a byte is fixed.
struct MaskedBytes {
  Bytes bytes;
  Bytes mask;
};

// A hexadecimal pattern with wildcards: pairs of hexadecimal digits, where
// either digit of a pair may be '?' (any value of that nibble): "50 4b ?? ??
// 08 00", "504b????0800", "4? ?4".  White space between pairs is optional and
// ignored; inside a pair it is an error.  A wildcard nibble's bit of `bytes`
// is 0.  Empty with `error` set for a character that is neither a digit nor
// '?', or a digit left over.
std::optional<MaskedBytes> decode_hex_pattern(std::string_view text, std::string &error);

// Whether any byte of the pattern is not fully fixed (an empty mask fixes all).
bool has_wildcards(const MaskedBytes &pattern);

// The inside of a quoted text to bytes.  Escapes: \\ \" \' \0 \a \b \e \f \n
// \r \t \v and \xHH.  Empty with `error` set for an unknown or cut escape.
std::optional<Bytes> decode_escapes(std::string_view text, std::string &error);

// `text` as a JSON string literal, quotes included.  Control characters
// (C0, DEL and C1) are escaped; a byte that is not part of UTF-8 text cannot
// be put in JSON and becomes U+FFFD.
std::string json_string(std::string_view text);

// A file name as the program shows it: as it is when it is plain printable
// text (UTF-8 letters included); otherwise in double quotes, with C escapes
// (\n, \t, \xHH ...) for control characters, bytes that are not UTF-8,
// characters that reorder or break lines, and for quotes and backslashes.
// No name can split a message line or reach the terminal as a command.  A
// name of more than 200 characters is shown by its first 80 and its last 120
// with "..." between, so that a long name cannot bury the message.
std::string shown_name(std::string_view name);

// `text` with every control character, byte that is not UTF-8 and
// line-breaking or reordering character as \xHH (as \n etc. for the common
// ones); everything else as it is; more than 800 characters cut to the first
// and last 400.  For whole lines shown on a terminal.
std::string without_controls(std::string_view text);

// Bytes for people: "512 B", "1.5 KiB", "6.0 GiB".
std::string human_size(double bytes);

// Bytes shown in a message: printable ASCII as is, the rest as \xHH, cut to
// `limit` bytes with "..." after.
std::string printable(std::string_view bytes, std::size_t limit = 40);

// One line of a hex dump: the offset in `width` hexadecimal digits, up to 16
// bytes in two groups of eight, and the printable ones between bars.
std::string dump_line(int64_t offset, int width, const unsigned char *bytes, int64_t count);

}  // namespace vtool

#endif  // VANTO_EDIT_TOOL_TEXT_H
