// Hexadecimal encoding and decoding of byte runs.

#include "vanto_edit/encode.h"

namespace {

constexpr char kDigits[] = "0123456789abcdef";

// Value of a hexadecimal digit, or -1.
int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

extern "C" {

uint64_t vanto_encode_bin2hex(const unsigned char *source, char *destination, uint64_t length) {
  if (source == nullptr || destination == nullptr) return 0;
  for (uint64_t i = 0; i < length; ++i) {
    destination[2 * i] = kDigits[source[i] >> 4];
    destination[2 * i + 1] = kDigits[source[i] & 0x0F];
  }
  destination[2 * length] = '\0';
  return 2 * length;
}

uint64_t vanto_encode_hex2bin(const char *source, unsigned char *destination, uint64_t length) {
  if (source == nullptr || destination == nullptr) return 0;
  const uint64_t count = length / 2;
  for (uint64_t i = 0; i < count; ++i) {
    const int high = digit_value(source[2 * i]);
    const int low = digit_value(source[2 * i + 1]);
    if (high < 0 || low < 0) return 0;
    destination[i] = static_cast<unsigned char>((high << 4) | low);
  }
  destination[count] = 0;
  return count;
}

}  // extern "C"
