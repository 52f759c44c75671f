// Hexadecimal encoding and decoding.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "vanto_edit/encode.h"

namespace {

const unsigned char *ubytes(const std::string &s) {
  return reinterpret_cast<const unsigned char *>(s.data());
}

TEST(Bin2Hex, WritesLowerCaseDigitsAndAZero) {
  const std::pair<std::string, std::string> cases[] = {
      {std::string("\x00\xab\xff", 3), "00abff"},
      {"", ""},
      {"\x01\x23\x45\x67\x89\xAB\xCD\xEF", "0123456789abcdef"},
  };
  for (const auto &[bytes, text] : cases) {
    SCOPED_TRACE(text);
    std::vector<char> out(2 * bytes.size() + 2, 'Z');
    EXPECT_EQ(vanto_encode_bin2hex(ubytes(bytes), out.data(), bytes.size()), text.size());
    EXPECT_EQ(std::string(out.data()), text);
    EXPECT_EQ(out[text.size() + 1], 'Z');  // nothing past the zero byte
  }
}

TEST(Hex2Bin, DecodesPairsAndStopsAtNonDigits) {
  struct Case {
    std::string text;
    uint64_t result;
    std::string bytes;  // what the destination holds afterwards
    bool terminated;    // a zero byte follows
  };
  const Case cases[] = {
      {"00abFF", 3, std::string("\x00\xab\xff", 3), true},
      {"0aB", 1, "\x0a", true},  // odd last character ignored
      {"0g", 0, "", false},
      {"", 0, "", true},
      {"7", 0, "", true},
      {"AbCdEf", 3, "\xab\xcd\xef", true},
      {"12zz34", 0, "\x12", false},  // decoded bytes before the bad pair stay
      {"1 ", 0, "", false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<unsigned char> out(c.text.size() / 2 + 2, 0xEE);
    EXPECT_EQ(vanto_encode_hex2bin(c.text.data(), out.data(), c.text.size()), c.result);
    EXPECT_EQ(std::string(out.begin(), out.begin() + c.bytes.size()), c.bytes);
    EXPECT_EQ(out[c.bytes.size()], c.terminated ? 0 : 0xEE);
  }
}

TEST(Hex2Bin, RoundTripsEveryByteValue) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  all += vanto::test::random_bytes(1000, 9);
  std::vector<char> text(2 * all.size() + 1);
  ASSERT_EQ(vanto_encode_bin2hex(ubytes(all), text.data(), all.size()), 2 * all.size());
  std::vector<unsigned char> back(all.size() + 1);
  ASSERT_EQ(vanto_encode_hex2bin(text.data(), back.data(), 2 * all.size()), all.size());
  EXPECT_EQ(std::string(back.begin(), back.end() - 1), all);
}

TEST(Encode, NullBuffersAreRefused) {
  char text[8] = "keep";
  unsigned char bytes[8] = {7};
  EXPECT_EQ(vanto_encode_bin2hex(nullptr, text, 2), 0u);
  EXPECT_EQ(vanto_encode_bin2hex(bytes, nullptr, 2), 0u);
  EXPECT_EQ(vanto_encode_hex2bin(nullptr, bytes, 2), 0u);
  EXPECT_EQ(vanto_encode_hex2bin("ab", nullptr, 2), 0u);
  EXPECT_STREQ(text, "keep");
  EXPECT_EQ(bytes[0], 7);
}

}  // namespace
