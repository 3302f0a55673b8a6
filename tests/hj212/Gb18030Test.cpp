// The GB18030 tables against the C library's converter, which made them: every code of one, two
// and four bytes read, every code point written, and random text both ways, bytes dropped included.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "hj212/Charset.h"
#include "hj212/src/Gb18030.h"

namespace {

std::string by_iconv_to_utf8(const std::string& bytes) {
  std::string out;
  EXPECT_TRUE(HJ::gb18030_to_utf8(bytes, out));
  return out;
}

std::string by_iconv_to_gb18030(const std::string& text) {
  std::string out;
  EXPECT_TRUE(HJ::utf8_to_gb18030(text, out));
  return out;
}

std::string by_table_to_utf8(const std::string& bytes) {
  std::string out;
  HJ::gb18030_to_utf8_by_table(bytes, out);
  return out;
}

std::string by_table_to_gb18030(const std::string& text) {
  std::string out;
  HJ::utf8_to_gb18030_by_table(text, out);
  return out;
}

std::string utf8(char32_t c) {
  std::string s;
  if (c < 0x80) return std::string(1, static_cast<char>(c));
  if (c < 0x800) return s + static_cast<char>(0xC0 | c >> 6) + static_cast<char>(0x80 | (c & 0x3F));
  if (c < 0x10000) return s + static_cast<char>(0xE0 | c >> 12) + static_cast<char>(0x80 | (c >> 6 & 0x3F)) + static_cast<char>(0x80 | (c & 0x3F));
  return s + static_cast<char>(0xF0 | c >> 18) + static_cast<char>(0x80 | (c >> 12 & 0x3F)) + static_cast<char>(0x80 | (c >> 6 & 0x3F)) +
         static_cast<char>(0x80 | (c & 0x3F));
}

// Each code alone and between two ASCII letters, so a code read short or long shows.
TEST(Gb18030Tables, ReadEveryCodeAsTheConverterDoes) {
  for (int b = 0; b < 0x100; ++b) {
    std::string code(1, static_cast<char>(b));
    ASSERT_EQ(by_table_to_utf8("a" + code + "b"), by_iconv_to_utf8("a" + code + "b")) << b;
  }
  for (int lead = 0x81; lead <= 0xFE; ++lead)
    for (int trail = 0x30; trail <= 0xFF; ++trail) {
      std::string code{static_cast<char>(lead), static_cast<char>(trail)};
      ASSERT_EQ(by_table_to_utf8("a" + code + "b"), by_iconv_to_utf8("a" + code + "b")) << lead << " " << trail;
    }
  for (int first : {0x81, 0x82, 0x83, 0x84, 0x85, 0x8F, 0x90, 0x95, 0xE3, 0xE4, 0xFE})
    for (int second = 0x30; second <= 0x39; ++second)
      for (int third = 0x81; third <= 0xFE; third += first <= 0x84 ? 1 : 7)
        for (int fourth = 0x30; fourth <= 0x39; ++fourth) {
          std::string code{static_cast<char>(first), static_cast<char>(second), static_cast<char>(third), static_cast<char>(fourth)};
          ASSERT_EQ(by_table_to_utf8("a" + code + "b"), by_iconv_to_utf8("a" + code + "b")) << first << " " << second << " " << third;
        }
}

TEST(Gb18030Tables, WriteEveryCodePointAsTheConverterDoes) {
  for (char32_t c = 0; c < 0x110000; c += c < 0x10000 ? 1 : 61) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    ASSERT_EQ(by_table_to_gb18030("a" + utf8(c) + "b"), by_iconv_to_gb18030("a" + utf8(c) + "b")) << std::hex << c;
  }
}

// Broken and cut-off characters among good ones: the same bytes dropped, the same read afresh.
TEST(Gb18030Tables, DropTheBytesTheConverterDrops) {
  const unsigned char kBytes[] = {0x00, 0x30, 0x39, 0x3B, 0x40, 0x7E, 0x7F, 0x80, 0x81, 0x84, 0x90, 0xA1,
                                  0xBF, 0xC2, 0xC7, 0xE0, 0xE3, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFE, 0xFF};
  std::mt19937 random(212);
  for (int trial = 0; trial < 20000; ++trial) {
    std::string bytes(random() % 12, '\0');
    for (char& b : bytes) b = static_cast<char>(kBytes[random() % sizeof kBytes]);
    ASSERT_EQ(by_table_to_utf8(bytes), by_iconv_to_utf8(bytes)) << trial;
    ASSERT_EQ(by_table_to_gb18030(bytes), by_iconv_to_gb18030(bytes)) << trial;
  }
}

} // namespace
