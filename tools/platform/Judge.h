// The judge: what a platform demands of a station's frame beyond what the plug-in's reader takes
// (hj212/Envelope.h). The frame's fields are the engine's; the strictness here is the platform's.
#pragma once

#include <string>
#include <string_view>

namespace sim {

enum class Verdict {
  Ok,
  OkAfterConversion, // length and CRC agree only over the GB18030 bytes decoded to UTF-8
  TooShort,
  NoStart,
  NoEnd,
  BadLengthField, // not four decimal digits
  LengthMismatch,
  BadCrc,
};
const char* verdict_text(Verdict v);
inline bool verdict_ok(Verdict v) { return v == Verdict::Ok || v == Verdict::OkAfterConversion; }

struct FrameCheck {
  Verdict verdict = Verdict::TooShort;
  std::string segment; // the data segment (decoded to UTF-8 for OkAfterConversion)
  std::string crc_field;
  std::string crc_expected;
  long declared_length = -1;
};
// A whole frame as a platform takes it: "##", exactly four digits equal to the segment's byte
// count, the CRC over the segment in upper case, "\r\n"; or a GB18030 frame whose length and CRC
// were counted over its UTF-8 form.
FrameCheck check_frame(std::string_view frame);

} // namespace sim
