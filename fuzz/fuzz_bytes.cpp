// Differential fuzz target of the in-memory byte functions: the finder
// (vanto_find with its skip table), byte-run comparison with and without
// case folding, hexadecimal encoding both ways, bit shifts and masks, each
// against a plain reference written from its header.  Any disagreement
// aborts with a message.
#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "vanto_edit.h"

namespace {

[[noreturn]] void fail(const char *what) {
  std::fprintf(stderr, "fuzz_bytes: MISMATCH: %s\n", what);
  std::abort();
}

#define BYTES_CHECK(cond) \
  do {                    \
    if (!(cond)) fail(#cond); \
  } while (0)

const unsigned char *u(const std::string &s) { return reinterpret_cast<const unsigned char *>(s.data()); }

// Leftmost occurrence by brute force; -1 when none.
int64_t naive_find(const std::string &hay, const std::string &needle) {
  if (needle.empty() || needle.size() > hay.size()) return -1;
  for (size_t p = 0; p + needle.size() <= hay.size(); ++p) {
    if (hay.compare(p, needle.size(), needle) == 0) return static_cast<int64_t>(p);
  }
  return -1;
}

void check_find(FuzzedDataProvider &in) {
  // A small alphabet makes near-misses and overlaps common.
  const bool small_alphabet = in.ConsumeBool();
  auto text = [&](size_t max) {
    std::string s = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, max));
    if (small_alphabet) {
      for (char &c : s) c = "abAB\0\xff"[static_cast<unsigned char>(c) % 6];
    }
    return s;
  };
  std::string hay = text(4096);
  std::string needle;
  if (!hay.empty() && in.ConsumeBool()) {
    const size_t at = in.ConsumeIntegralInRange<size_t>(0, hay.size() - 1);
    needle = hay.substr(at, in.ConsumeIntegralInRange<size_t>(1, std::min<size_t>(64, hay.size() - at)));
    if (in.ConsumeBool() && !needle.empty()) needle.back() = static_cast<char>(needle.back() ^ 1);
  } else {
    needle = text(40);
  }
  vanto_find_skip_table_t *table = vanto_find_create_skip_table(u(needle), needle.size());
  BYTES_CHECK(table != nullptr);
  const unsigned char *hit = vanto_find(u(hay), hay.size(), table, u(needle), needle.size());
  const int64_t want = naive_find(hay, needle);
  BYTES_CHECK((hit == nullptr) == (want < 0));
  if (hit != nullptr) BYTES_CHECK(hit - u(hay) == want);
  vanto_find_destroy_skip_table(table);

  // A table built from another pattern: the call must end and stay inside
  // the haystack, whatever it finds.
  const std::string other = text(40);
  vanto_find_skip_table_t *wrong = vanto_find_create_skip_table(u(other), other.size());
  const unsigned char *any = vanto_find(u(hay), hay.size(), wrong, u(needle), needle.size());
  if (any != nullptr) {
    BYTES_CHECK(any >= u(hay) && any + needle.size() <= u(hay) + hay.size());
  }
  vanto_find_destroy_skip_table(wrong);
}

void check_compare(FuzzedDataProvider &in) {
  const std::string a = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 64));
  std::string b = a;
  for (char &c : b) {
    const int pick = in.ConsumeIntegralInRange<int>(0, 3);
    if (pick == 1) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (pick == 2) c = static_cast<char>(in.ConsumeIntegral<unsigned char>());
  }
  const uint64_t n = a.size();
  int want = 0, want_folded = 0;
  for (uint64_t i = 0; i < n; ++i) {
    const int x = static_cast<signed char>(a[i]);
    const int y = static_cast<signed char>(b[i]);
    if (want == 0 && x != y) want = x - y;
    const int fx = x >= 0 ? std::tolower(x) : x;
    const int fy = y >= 0 ? std::tolower(y) : y;
    if (want_folded == 0 && fx != fy) want_folded = fx - fy;
  }
  BYTES_CHECK(vanto_util_strncmp(a.data(), b.data(), n) == want);
  BYTES_CHECK(vanto_util_strnicmp(a.data(), b.data(), n) == want_folded);
}

void check_hex(FuzzedDataProvider &in) {
  const std::string bytes = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 200));
  std::vector<char> hex(2 * bytes.size() + 1, 'x');
  BYTES_CHECK(vanto_encode_bin2hex(u(bytes), hex.data(), bytes.size()) == 2 * bytes.size());
  BYTES_CHECK(hex[2 * bytes.size()] == '\0');
  static const char digits[] = "0123456789abcdef";
  for (size_t i = 0; i < bytes.size(); ++i) {
    BYTES_CHECK(hex[2 * i] == digits[static_cast<unsigned char>(bytes[i]) >> 4]);
    BYTES_CHECK(hex[2 * i + 1] == digits[static_cast<unsigned char>(bytes[i]) & 15]);
  }
  std::vector<unsigned char> back(bytes.size() + 1, 0xEE);
  BYTES_CHECK(vanto_encode_hex2bin(hex.data(), back.data(), 2 * bytes.size()) == bytes.size());
  BYTES_CHECK(std::string(back.begin(), back.begin() + static_cast<std::ptrdiff_t>(bytes.size())) == bytes);

  // Arbitrary text: decodes up to the first character that is no digit.
  const std::string text = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 40));
  std::vector<unsigned char> out(text.size() / 2 + 1, 0);
  const uint64_t got = vanto_encode_hex2bin(text.data(), out.data(), text.size());
  // An odd last character is ignored.
  bool all_hex = true;
  for (size_t i = 0; i < text.size() / 2 * 2; ++i) {
    all_hex = all_hex && std::isxdigit(static_cast<unsigned char>(text[i])) != 0;
  }
  BYTES_CHECK(got == (all_hex ? text.size() / 2 : 0));
}

void check_shifts(FuzzedDataProvider &in) {
  const std::string bytes = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(1, 32));
  const auto shift = in.ConsumeIntegralInRange<uint8_t>(1, 7);
  std::vector<unsigned char> left(bytes.begin(), bytes.end()), right = left;
  BYTES_CHECK(vanto_util_left_shift_buffer(left.data(), static_cast<int64_t>(left.size()), shift) == 0);
  BYTES_CHECK(vanto_util_right_shift_buffer(right.data(), static_cast<int64_t>(right.size()), shift) == 0);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const unsigned cur = static_cast<unsigned char>(bytes[i]);
    const unsigned next = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
    BYTES_CHECK(left[i] == static_cast<unsigned char>((cur << shift) | (next >> (8 - shift))));
    BYTES_CHECK(right[i] == static_cast<unsigned char>((cur >> shift) | ((next << (8 - shift)) & 0xFF)));
  }
  const auto b = in.ConsumeIntegral<unsigned char>();
  const auto m = in.ConsumeIntegral<unsigned char>();
  BYTES_CHECK(vanto_util_mask_byte(b, m, MASK_AND) == (b & m));
  BYTES_CHECK(vanto_util_mask_byte(b, m, MASK_OR) == (b | m));
  BYTES_CHECK(vanto_util_mask_byte(b, m, MASK_XOR) == (b ^ m));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
      case 0:
        check_find(in);
        break;
      case 1:
        check_compare(in);
        break;
      case 2:
        check_hex(in);
        break;
      default:
        check_shifts(in);
        break;
    }
  }
  return 0;
}
