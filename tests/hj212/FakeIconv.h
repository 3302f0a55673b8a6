#pragma once

namespace fake_iconv {
// true: iconv_open fails, as on a system without the converter.
void SetConverterMissing(bool missing);
} // namespace fake_iconv
