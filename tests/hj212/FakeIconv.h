#pragma once

namespace fake_iconv {
// false where the conversions need no converter (the tables of Windows builds).
bool CanTakeConverterAway();
// true: iconv_open fails, as on a system without the converter.
void SetConverterMissing(bool missing);
} // namespace fake_iconv
