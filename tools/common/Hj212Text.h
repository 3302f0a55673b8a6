// HJ 212 text as the tools show and take it apart: a data segment's fields as a table, frames
// described in one readable line, key values masked, Flag in words. Every frame rule underneath
// (cutting a stream, envelope, CRC, charsets, Flag) is the plug-in's own, from hj212/ (the stream
// through StreamSpans, FrameCipher.h); a platform's stricter demands are tools/platform's judge.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

// Fields of a data segment, split properly: header fields "K=V" by ';' up to "CP=&&", the CP
// content up to the last "&&", whose fields are separated by ';' and ','.
struct Segment {
  std::vector<std::pair<std::string, std::string>> header;
  int flag = -1; // Flag as the plug-in reads it (HJ::header_flag): 0..255, or -1
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
// Flag (0..255, -1 for none, as HJ::header_flag reads it) decoded: "HJ 212-2017, answer wanted"
// and so on; "not a number 0..255" for -1.
std::string flag_text(int flag);

// `text` as a trace shows it: GB18030 converted to UTF-8 (a 2017 frame's Chinese reads as text,
// and grep sees no binary); control bytes (C0, DEL, C1), the bidirectional controls (U+202A-202E,
// U+2066-2069) and bytes that are neither charset as \xHH.
std::string readable_text(std::string_view text);
// Whether the UTF-8 bytes at `at` are a bidirectional control, U+202A-202E or U+2066-2069.

// One readable line about a frame: length, the plug-in's verdict on it (HJ::classify_frame) and
// the QN/ST/CN/MN fields, as readable_text. Key values are masked.
std::string describe_frame(std::string_view frame);

// `text` with every key value shown as "****": the value after each "NewSK=" up to the next
// ';', ',', '&' or line end. Every tool output that may hold a frame's text goes through this.
std::string mask_keys(std::string_view text);

} // namespace sim
