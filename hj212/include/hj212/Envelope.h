// The HJ 212 frame envelope: "##", four-digit length, data segment, four hex CRC digits, "\r\n".
// Both directions use this one definition: the receive path accepts with check_frame, "Send"
// takes its wire bytes from wire_data (CpCipher.h), which builds on the envelope here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "WireChoices.h"

namespace HJ {

// Envelope bytes around a data segment: "##", the length field, the CRC field and "\r\n".
constexpr std::size_t kEnvelopeBytes = 12;
// Largest data segment a four-digit length field can announce.
constexpr std::size_t kMaxDataBytes = 9999;
// Largest frame the receive side can accept, envelope included.
constexpr std::size_t kMaxFrameBytes = kEnvelopeBytes + kMaxDataBytes;
// Where the envelope's fields stand: the length field after "##", the data segment after it, the
// four CRC digits and "\r\n" at the end.
constexpr std::size_t kLengthFieldAt = 2;
constexpr std::size_t kDataAt = 6;
constexpr std::size_t kCrcDigits = 4;
constexpr std::size_t kCrcFromEnd = kCrcDigits + 2;
inline const char* frame_data(const char* frame) { return frame + kDataAt; }
inline const char* frame_crc(const char* frame, std::size_t length) { return frame + length - kCrcFromEnd; }
// What opens a data segment's CP region, and its byte count.
constexpr char kCpOpen[] = "CP=&&";
constexpr std::size_t kCpOpenBytes = sizeof kCpOpen - 1;

// The CRC's reflected polynomial, and the register's value before the first byte.
constexpr std::uint16_t kCrcPolynomial = 0xA001;
constexpr std::uint16_t kCrcInitial = 0xFFFF;
// The CRC's byte table, built once at compile time: per value of the byte entering the register,
// the effect of its eight reflected steps with kCrcPolynomial. The HJ 212 CRC steps through it; the
// tools' check for a Modbus CRC written by mistake and the bench's classic loop read it too.
constexpr std::array<std::uint16_t, 256> make_crc_table() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned value = 0; value < 256; ++value) {
    unsigned reg = value;
    for (int bit = 0; bit < 8; ++bit) reg = (reg & 1u) ? (reg >> 1) ^ kCrcPolynomial : reg >> 1;
    table[value] = static_cast<std::uint16_t>(reg);
  }
  return table;
}
inline constexpr std::array<std::uint16_t, 256> kCrcTable = make_crc_table();

// CRC-16 of HJ 212 (register >> 8, XOR byte, then eight reflected steps with 0xA001), from 0xFFFF.
std::uint16_t crc16(const unsigned char* data, std::size_t length);
// Computes the CRC of all bytes of `data`, as exactly four upper-case hexadecimal digits.
std::string do_crc_check(const std::string& data);

// "##" + "%04d" length + data + CRC + "\r\n". A data segment above 9999 bytes gets a longer
// length field, which no receiver accepts.
std::string wrap_frame(const std::string& data);
// "##" + "%04d" length + data + the four characters at `crc` + "\r\n": a received frame queued
// with its data segment decrypted keeps the CRC it carried.
std::string frame_with_crc(const std::string& data, const char* crc);

// Acceptance test of a candidate cut from "##" up to and including the first "\r\n" after it:
// longer than 12 bytes, the length field (read as strtol reads "0123", " 123" or "+123") plus 12
// equals the candidate's length, and the CRC field matches the data segment's CRC, its hex
// digits compared without regard to case.
enum class Verdict { Accepted, BadLength, BadCrc };
// The four-byte length field read as strtol reads it in base 10 (white space, one sign, digits up
// to the first other byte), -1 for any negative value. Out of line: the forms other than four
// digits.
long parse_length_field_slowly(const char* field);
inline long parse_length_field(const char* field) {
  unsigned d0 = static_cast<unsigned char>(field[0]) - '0', d1 = static_cast<unsigned char>(field[1]) - '0';
  unsigned d2 = static_cast<unsigned char>(field[2]) - '0', d3 = static_cast<unsigned char>(field[3]) - '0';
  if (d0 < 10 && d1 < 10 && d2 < 10 && d3 < 10) return static_cast<long>(((d0 * 10 + d1) * 10 + d2) * 10 + d3);
  if (d0 < 10) return d1 >= 10 ? static_cast<long>(d0) : d2 >= 10 ? static_cast<long>(d0 * 10 + d1) : static_cast<long>((d0 * 10 + d1) * 10 + d2);
  char c = field[0];
  if (c != ' ' && c != '+' && c != '-' && (c < '\t' || c > '\r')) return 0; // no number at all
  return parse_length_field_slowly(field);
}
// The length field when it is exactly four decimal digits, the form the standard writes; -1 for
// any other. The strict reading of a platform and of a log line, not the plug-in's own.
inline long four_digit_length(const char* field) {
  long value = 0;
  for (int i = 0; i < 4; ++i) {
    const unsigned digit = static_cast<unsigned>(static_cast<unsigned char>(field[i])) - '0';
    if (digit >= 10) return -1;
    value = value * 10 + static_cast<long>(digit);
  }
  return value;
}
// The length-field part of the test alone: longer than 12 bytes and announcing its own length.
// Inline: the scanner asks it of every "##" in a rejected span.
inline bool length_field_matches(const char* candidate, std::size_t length) {
  if (candidate == nullptr || length <= kEnvelopeBytes) return false;
  long announced = parse_length_field(candidate + kLengthFieldAt);
  return announced >= 0 && static_cast<std::size_t>(announced) + kEnvelopeBytes == length;
}
// The CRC part of the test: `field` holds four hex digits (either case) naming the CRC of `data`.
bool crc_field_matches(const char* field, const char* data, std::size_t length);
// The test's outcome: BadCrc only when the length field matched. A CRC field that is not four hex
// digits fails without the CRC being computed.
Verdict classify_frame(const char* candidate, std::size_t length);
bool check_frame(const char* candidate, std::size_t length);
bool check_frame(const std::string& candidate);

// Versions in the upper six bits of Flag (value >> 2): HJ/T 212-2005, HJ 212-2017, HJ 212-2025.
constexpr int kVersion2005 = 0;
constexpr int kVersion2017 = 1;
constexpr int kVersion2025 = 2;
// The version a Flag (0..255, or -1 for none) names: its upper six bits, -1 for none.
constexpr int flag_version(int flag) { return flag < 0 ? -1 : flag >> 2; }
// Flag (0..255, or -1 for none) names version 2025 or later: the frames UTF-8 goes with, and
// packets of kPacketDataBytes by default.
constexpr bool flag_names_2025(int flag) { return flag_version(flag) >= kVersion2025; }
// A blank in a data segment's header, around an item's name and value: a space or a tab. (A
// script's arguments and a template's pieces are trimmed of spaces alone: trim_blanks, Split.h.)
constexpr bool header_blank(char c) { return c == ' ' || c == '\t'; }
// Where a header item stands: its value's text [value_begin, value_end), blanks left out, and
// item_end, the offset of the ";" that closes the item (or of "CP=&&", or the data's end).
struct HeaderItem {
  std::size_t value_begin = 0;
  std::size_t value_end = 0;
  std::size_t item_end = 0;
};
// The first "CP=&&" in [data, data + length), or nullptr. It looks with memchr for the "C":
// glibc's memmem sets up a general search per call, which cost an accepted frame more than its CRC.
const char* find_cp_open(const char* data, std::size_t length);

// A number in a data segment's header (the ";"-separated items before "CP=&&"), as every rule that
// acts on Flag, CN or PNUM reads it: the item named exactly `name`, blanks around name and value
// trimmed, decimal digits with leading zeros allowed. Its value, or -1 when the header has no such
// item or its value is not a number up to `max`; with `where`, a found item's place goes there.
long header_number(const char* data, std::size_t length, const char* name, long max, HeaderItem* where = nullptr);
inline long header_number(const std::string& data, const char* name, long max, HeaderItem* where = nullptr) {
  return header_number(data.data(), data.size(), name, max, where);
}
// The Flag field: its value 0..255, or -1.
inline int header_flag(const char* data, std::size_t length) { return static_cast<int>(header_number(data, length, "Flag", 255)); }
inline int header_flag(const std::string& data) { return header_flag(data.data(), data.size()); }
// The CN field: its value 0..9999, or -1.
inline int header_cn(const char* data, std::size_t length) { return static_cast<int>(header_number(data, length, "CN", 9999)); }
inline int header_cn(const std::string& data) { return header_cn(data.data(), data.size()); }

// A data segment as it goes on the wire, and the envelope fields: length and CRC are those of the
// plain data segment; an encrypted CP region changes only the bytes transmitted (and, in the text
// form, the length field of the transmitted frame).
struct WireData {
  std::string bytes;        // the plain data segment on the wire
  std::string length;       // "%04d" of its byte count (more digits above 9999)
  std::string crc;          // four upper-case hex digits over `bytes`
  bool cipher_due = false;  // its header's CN is one whose frames are encrypted
  bool encrypted = false;   // its CP region went through the cipher (one under a block stays plain all the same)
  std::string cipher_bytes; // the data segment transmitted, when encrypted
  const std::string& sent() const { return encrypted ? cipher_bytes : bytes; }
  bool fits() const { return sent().size() <= kMaxDataBytes; }
  // "##", plain length, `data`, CRC, "\r\n": the runtime's copy with its text.
  std::string frame_around(const std::string& data) const;
  // The frame transmitted: "##", the length of `sent()`, `sent()`, CRC, "\r\n".
  std::string frame() const;
};

// The envelope fields over exactly `bytes`.
WireData envelope_over(std::string bytes);

} // namespace HJ
