#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <strings.h>

#include "bridge/NumericConvert.h"

namespace {

constexpr unsigned char kFill = 0xAA;

// Converts into a filled buffer so a row that writes more than its width is caught.
struct Converted {
  int rc;
  unsigned char bytes[16];
  template <typename T>
  T As() const {
    T v;
    std::memcpy(&v, bytes, sizeof v);
    return v;
  }
  bool UntouchedFrom(std::size_t first) const {
    for (std::size_t i = first; i < sizeof bytes; ++i)
      if (bytes[i] != kFill) return false;
    return true;
  }
};

Converted Convert(const char* text, const char* format) {
  Converted c;
  std::memset(c.bytes, kFill, sizeof c.bytes);
  c.rc = cstringToNumeric(text, format, c.bytes);
  return c;
}

struct IntCase {
  const char* text;
  const char* format;
  int64_t expected; // read back as int32 for signed rows, uint32 for the others
};

class IntegerRows : public ::testing::TestWithParam<IntCase> {};

TEST_P(IntegerRows, WritesFourBytes) {
  const IntCase& c = GetParam();
  Converted out = Convert(c.text, c.format);
  EXPECT_EQ(0, out.rc);
  bool isSigned = strcasecmp(c.format, "%d") == 0 || strcasecmp(c.format, "%ld") == 0;
  if (isSigned) EXPECT_EQ(c.expected, out.As<int32_t>());
  else EXPECT_EQ(c.expected, out.As<uint32_t>());
  EXPECT_TRUE(out.UntouchedFrom(4));
}

INSTANTIATE_TEST_SUITE_P(Signed, IntegerRows,
                         ::testing::Values(IntCase{"42abc", "%d", 42}, IntCase{"abc", "%d", 0}, IntCase{"", "%d", 0}, IntCase{"-", "%d", 0},
                                           IntCase{"+7", "%d", 7}, IntCase{" -5", "%d", -5}, // blank first: the parser's own sign
                                           IntCase{"--5", "%d", 5},                          // removed minus negates the parsed -5
                                           IntCase{"2147483647", "%d", 2147483647},
                                           IntCase{"-2147483648", "%d", INT32_MIN}, // reached, not -2147483647
                                           IntCase{"2147483648", "%d", INT32_MAX}, IntCase{"-2147483649", "%d", INT32_MIN},
                                           IntCase{" -2147483649", "%d", INT32_MIN}, IntCase{"--2147483648", "%d", INT32_MAX},
                                           IntCase{"99999999999999999999999", "%d", INT32_MAX}, IntCase{"-99999999999999999999999", "%d", INT32_MIN},
                                           IntCase{"12", "%D", 12}, IntCase{"-2147483648", "%ld", INT32_MIN}, IntCase{"4294967296", "%ld", INT32_MAX},
                                           IntCase{"-17 apples", "%LD", -17}));

INSTANTIATE_TEST_SUITE_P(Unsigned, IntegerRows,
                         ::testing::Values(IntCase{"4294967295", "%u", 4294967295}, IntCase{"4294967296", "%u", 4294967295},
                                           IntCase{"99999999999999999999999", "%u", 4294967295}, IntCase{"2147483648", "%u", 2147483648},
                                           IntCase{"0", "%u", 0}, IntCase{"12x", "%u", 12},
                                           IntCase{"-1", "%u", 4294967295}, // a negative number wraps
                                           IntCase{"-5", "%u", 4294967291}, IntCase{" -5", "%u", 4294967291},
                                           IntCase{"-4294967296", "%u", 4294967295}, IntCase{"7", "%U", 7}));

INSTANTIATE_TEST_SUITE_P(HexOct, IntegerRows,
                         ::testing::Values(IntCase{"ff", "%x", 255}, IntCase{"0xFF", "%x", 255}, IntCase{"0XfF", "%X", 255},
                                           IntCase{"-ff", "%x", 255},        // the removed minus is lost
                                           IntCase{" -5", "%x", 4294967291}, // the parser's own minus wraps
                                           IntCase{"FFFFFFFF", "%x", 4294967295}, IntCase{"100000000", "%x", 4294967295}, IntCase{"0x", "%x", 0},
                                           IntCase{"g1", "%x", 0}, IntCase{"17", "%o", 15}, IntCase{"-17", "%o", 15}, IntCase{"178", "%o", 15},
                                           IntCase{"8", "%o", 0}, IntCase{"37777777777", "%o", 4294967295},
                                           IntCase{"40000000000", "%o", 4294967295}));

TEST(FloatRow, WritesFourByteFloat) {
  struct Case {
    const char* text;
    float expected;
  } cases[] = {{"1.5", 1.5f}, {"-1.5", -1.5f}, {" -2.5", -2.5f}, {"abc", 0.0f}, {"3.25kg", 3.25f}, {"--4", 4.0f}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Converted out = Convert(c.text, "%f");
    EXPECT_EQ(0, out.rc);
    EXPECT_EQ(c.expected, out.As<float>());
    EXPECT_TRUE(out.UntouchedFrom(sizeof(float)));
  }
  Converted zero = Convert("-0", "%F");
  EXPECT_EQ(0.0f, zero.As<float>());
  EXPECT_TRUE(std::signbit(zero.As<float>()));
}

TEST(DoubleRow, WritesEightByteDouble) {
  struct Case {
    const char* text;
    const char* format;
    double expected;
  } cases[] = {{"-12.5", "%lf", -12.5}, {"12.5", "%LF", 12.5}, {"1e308", "%lf", 1e308}, {"x", "%lf", 0.0},
               {"0.1", "%lf", 0.1},     {"--3", "%lf", 3.0},   {"  7", "%Lf", 7.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Converted out = Convert(c.text, c.format);
    EXPECT_EQ(0, out.rc);
    EXPECT_EQ(c.expected, out.As<double>());
    EXPECT_TRUE(out.UntouchedFrom(sizeof(double)));
  }
  EXPECT_TRUE(std::signbit(Convert("-0", "%lf").As<double>()));
}

TEST(NoRow, UnknownFormatLeavesOutputAlone) {
  for (const char* format : {"%s", "%i", "%lu", "%e", "", "%lf ", "d", "%%d"}) {
    SCOPED_TRACE(format);
    Converted out = Convert("-12", format);
    EXPECT_EQ(1, out.rc);
    EXPECT_TRUE(out.UntouchedFrom(0));
  }
}

TEST(NoRow, NullOutputIsRefused) {
  EXPECT_EQ(1, cstringToNumeric("5", "%d", nullptr));
  for (const CONVERT_ROW& row : convert_table) EXPECT_EQ(1, row.pfnConvert("5", nullptr, true)) << row.strFormat.c_str();
}

TEST(ConvertTable, RowsInFixedOrder) {
  const char* formats[kConvertRows] = {"%d", "%u", "%ld", "%x", "%o", "%f", "%lf"};
  PFN_CSTRINGCONVERT functions[kConvertRows] = {cstringToInt, cstringToUInt,  cstringToLong,  cstringToHex,
                                                cstringToOct, cstringToFloat, cstringToDouble};
  for (int i = 0; i < kConvertRows; ++i) {
    EXPECT_STREQ(formats[i], convert_table[i].strFormat.c_str());
    EXPECT_EQ(functions[i], convert_table[i].pfnConvert);
    EXPECT_FALSE(convert_table[i].strDescription.IsEmpty());
  }
}

TEST(RowFunctions, SignFlagNegatesSignedAndFloatingRowsOnly) {
  int32_t i = 0;
  uint32_t u = 0;
  double d = 0;
  cstringToInt("2147483648", &i, false);
  EXPECT_EQ(INT32_MIN, i);
  cstringToUInt("1", &u, false);
  EXPECT_EQ(4294967295u, u);
  cstringToHex("10", &u, false);
  EXPECT_EQ(16u, u);
  cstringToOct("10", &u, false);
  EXPECT_EQ(8u, u);
  cstringToDouble("2.5", &d, false);
  EXPECT_EQ(-2.5, d);
}

} // namespace
