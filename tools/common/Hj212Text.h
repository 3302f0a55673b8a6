// HJ 212 frame handling for the simulators: envelope, CRC, checks, field decoding. An
// independent reading of frames: the checks here never use the plug-in's code. Frames are cut
// from a stream by the plug-in's own scanner (StreamSpans, FrameCipher.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

// CRC-16 of HJ 212 frames (reflected 0xA001, register 0xFFFF, byte into the high byte moved down).
uint16_t crc16(std::string_view data);
// The CRC as four upper-case hexadecimal digits.
std::string crc_text(std::string_view data);
// "##", four-digit length, the segment, CRC, "\r\n".
std::string wrap(std::string_view segment);

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
// Strict check of a whole frame as a platform would make it: "##", exactly four digits equal
// to the segment's byte count, upper-case CRC over the segment, "\r\n".
FrameCheck check_frame(std::string_view frame);

// GB18030 bytes to UTF-8; false when the bytes are not GB18030.
bool gb18030_to_utf8(std::string_view in, std::string& out);

// Fields of a data segment, split properly: header fields "K=V" by ';' up to "CP=&&", the CP
// content up to the last "&&", whose fields are separated by ';' and ','.
struct Segment {
  std::vector<std::pair<std::string, std::string>> header;
  bool has_cp = false;
  std::string cp; // raw CP content
  std::vector<std::pair<std::string, std::string>> cp_fields;

  const std::string* get(std::string_view key) const;
  const std::string* cp_get(std::string_view key) const;
  std::string value(std::string_view key) const { // empty when absent
    const std::string* v = get(key);
    return v ? *v : std::string();
  }
};
Segment parse_segment(std::string_view segment);

// Local time texts: "yyyyMMddHHmmssSSS" (QN), "yyyyMMddHHmmss" (DataTime), "HH:MM:SS.mmm" (trace).
std::string qn_text();
std::string datatime_text();
std::string clock_text();

// Names of the standard's command codes (CN), 2017 and 2025, and system codes (ST), from the code
// tables (Codes.h); nullptr for a code the standards do not name.
const char* command_name(std::string_view cn);
const char* system_name(std::string_view st);
// Flag decoded: "HJ 212-2017, answer wanted" and so on; "not a number" when it is not one.
std::string flag_text(std::string_view flag);
// The protocol version number in Flag's upper six bits, -1 when Flag is not a number 0..255.
int flag_version(std::string_view flag);

// The length of the well-formed UTF-8 character at s[at] (ASCII included), or 0: a stray byte,
// an overlong form, a surrogate, beyond U+10FFFF or cut off by the end.
size_t utf8_char(std::string_view s, size_t at);

// `text` as a trace shows it: GB18030 converted to UTF-8 (a 2017 frame's Chinese reads as text,
// and grep sees no binary); control bytes (C0, DEL, C1) and bytes that are neither charset as \xHH.
std::string readable_text(std::string_view text);
// One readable line about a frame: length, check verdict and the QN/ST/CN/MN fields, as
// readable_text. Key values are masked.
std::string describe_frame(std::string_view frame);

// `text` with every key value shown as "****": the value after each "NewSK=" up to the next
// ';', ',', '&' or line end. Every tool output that may hold a frame's text goes through this.
std::string mask_keys(std::string_view text);

} // namespace sim
