// Text to number by printf-style format: how a literal number written in place of a variable
// name is read, and the table of the formats understood.
#pragma once

#include "panel/hostshim.h"

// The int results below are the conversion table's fixed interface (0 done, 1 not), kept as such.
// Every row function: converts `text` and stores the number, of the row's width, at `out`.
// `positive` is false when the caller removed a leading minus sign from the text.
// Returns 0; 1 only for a null `out` (nothing stored).
typedef int (*PFN_CSTRINGCONVERT)(CString text, void* out, bool positive);

struct CONVERT_ROW {
  CString strFormat; // compared without regard to letter case
  PFN_CSTRINGCONVERT pfnConvert;
  CString strDescription; // informational only
};

constexpr int kConvertRows = 7;
// "%d" "%u" "%ld" "%x" "%o" "%f" "%lf", in this order.
extern const CONVERT_ROW convert_table[kConvertRows];

// Removes one minus sign in the very first position (blanks before it keep it in the text), then
// converts with the row whose format equals `format`. Returns the row's result (0), or 1 when no
// row has that format or `out` is null (out untouched).
int cstringToNumeric(CString text, CString format, void* out);

// Signed decimal, limited to the 32-bit range after the removed sign is applied: stores an int.
int cstringToInt(CString text, void* out, bool positive);
int cstringToLong(CString text, void* out, bool positive);
// Unsigned decimal limited to 4294967295; a minus sign wraps modulo 2^32: stores a 32-bit unsigned.
int cstringToUInt(CString text, void* out, bool positive);
// Unsigned hexadecimal (0x prefix allowed) and octal, limited to 4294967295: store a 32-bit
// unsigned. They ignore `positive`: a removed minus sign is lost, as it always has been here.
int cstringToHex(CString text, void* out, bool positive);
int cstringToOct(CString text, void* out, bool positive);
// strtof / strtod, negated (sign bit flipped) when `positive` is false: store a float / a double.
int cstringToFloat(CString text, void* out, bool positive);
int cstringToDouble(CString text, void* out, bool positive);
