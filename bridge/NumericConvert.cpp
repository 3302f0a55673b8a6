#include "NumericConvert.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <strings.h>

const CONVERT_ROW convert_table[kConvertRows] = {
    {"%d", cstringToInt, "c string to int number"},       {"%u", cstringToUInt, "c string to unsigned int number"},
    {"%ld", cstringToLong, "c string to long number"},    {"%x", cstringToHex, "c string to hex number"},
    {"%o", cstringToOct, "c string to oct number"},       {"%f", cstringToFloat, "c string to float number"},
    {"%lf", cstringToDouble, "c string to float number"},
};

namespace {

// An integer as the text wrote it: its sign, and its size or the fact that it exceeds 64 bits.
// Parsed with 64-bit strtoull on every target, so a 32-bit `long` cannot change any result.
struct Integer {
  bool negative;
  uint64_t magnitude;
  bool overflow;
};

Integer ParseInteger(const CString& text, int base) {
  const char* p = text.c_str();
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  Integer result{*p == '-', 0, false};
  int saved = errno;
  errno = 0;
  unsigned long long raw = std::strtoull(text.c_str(), nullptr, base);
  result.overflow = errno == ERANGE;
  errno = saved;
  // strtoull hands back a negative number as its wrap-around; undo that to get the size.
  result.magnitude = result.negative ? 0 - static_cast<uint64_t>(raw) : static_cast<uint64_t>(raw);
  return result;
}

// Signed 32 bits, limited after the sign is applied, so -2147483648 is reached.
int32_t LimitSigned(const Integer& n, bool flip) {
  constexpr uint64_t kBeyond = uint64_t{1} << 32; // anything past the 32-bit range saturates
  uint64_t magnitude = (n.overflow || n.magnitude > kBeyond) ? kBeyond : n.magnitude;
  int64_t v = static_cast<int64_t>(magnitude);
  if (n.negative != flip) v = -v;
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

// Unsigned 32 bits as strtoul reads them on the panel: too large (either sign) gives the
// maximum, a negative number wraps modulo 2^32.
uint32_t LimitUnsigned(const Integer& n, bool flip) {
  if (n.overflow || n.magnitude > UINT32_MAX) return UINT32_MAX;
  uint32_t v = static_cast<uint32_t>(n.magnitude);
  return n.negative != flip ? 0u - v : v;
}

template <typename T>
int Store(void* out, T value) {
  if (!out) return 1;
  std::memcpy(out, &value, sizeof value); // the caller's buffer need not be aligned
  return 0;
}

} // namespace

int cstringToNumeric(CString text, CString format, void* out) {
  if (!out) return 1;
  bool positive = true;
  if (!text.IsEmpty() && text[0] == '-') {
    text = text.Mid(1);
    positive = false;
  }
  for (const CONVERT_ROW& row : convert_table) {
    if (strcasecmp(format.c_str(), row.strFormat.c_str()) == 0) return row.pfnConvert(text, out, positive);
  }
  return 1;
}

int cstringToInt(CString text, void* out, bool positive) { return cstringToLong(text, out, positive); }

int cstringToLong(CString text, void* out, bool positive) { return Store(out, LimitSigned(ParseInteger(text, 10), !positive)); }

int cstringToUInt(CString text, void* out, bool positive) { return Store(out, LimitUnsigned(ParseInteger(text, 10), !positive)); }

int cstringToHex(CString text, void* out, bool /*positive*/) { return Store(out, LimitUnsigned(ParseInteger(text, 16), false)); }

int cstringToOct(CString text, void* out, bool /*positive*/) { return Store(out, LimitUnsigned(ParseInteger(text, 8), false)); }

int cstringToFloat(CString text, void* out, bool positive) {
  float f = std::strtof(text.c_str(), nullptr);
  return Store(out, positive ? f : -f);
}

int cstringToDouble(CString text, void* out, bool positive) {
  double d = std::strtod(text.c_str(), nullptr);
  return Store(out, positive ? d : -d);
}
