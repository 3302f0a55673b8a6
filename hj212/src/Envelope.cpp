#include "hj212/Envelope.h"

#include <array>
#include <cstring>
#include <utility>

#include "hj212/stdprintf.h"

namespace HJ {
namespace {

static_assert(kCrcTable[0] == 0x0000 && kCrcTable[1] == 0xC0C1 && kCrcTable[255] == 0x4040, "CRC table");

// The high bytes alone: between bytes the register's state is its high byte.
constexpr std::array<std::uint8_t, 256> make_high_table() {
  std::array<std::uint8_t, 256> table{};
  for (unsigned value = 0; value < 256; ++value) table[value] = static_cast<std::uint8_t>(kCrcTable[value] >> 8);
  return table;
}

constexpr std::array<std::uint8_t, 256> kCrcHigh = make_high_table();

char upper_hex(char c) { return (c >= 'a' && c <= 'f') ? static_cast<char>(c - 'a' + 'A') : c; }

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

} // namespace

std::uint16_t crc16(const unsigned char* data, std::size_t length) {
  // After "reg >> 8" the register's high byte is zero, so (reg >> 8) ^ byte alone selects the
  // result of the eight shifts; only that high byte carries on, so all bytes but the last step
  // through an 8-bit state and a byte table, four at a time.
  if (length == 0) return kCrcInitial;
  unsigned state = kCrcInitial >> 8;
  const std::size_t last = length - 1;
  std::size_t i = 0;
  for (; i + 4 <= last; i += 4) {
    state = kCrcHigh[state ^ data[i]];
    state = kCrcHigh[state ^ data[i + 1]];
    state = kCrcHigh[state ^ data[i + 2]];
    state = kCrcHigh[state ^ data[i + 3]];
  }
  for (; i < last; ++i) state = kCrcHigh[state ^ data[i]];
  return kCrcTable[state ^ data[last]];
}

std::string do_crc_check(const std::string& data) {
  return stdprintf<128>("%04X", static_cast<unsigned>(crc16(reinterpret_cast<const unsigned char*>(data.data()), data.size())));
}

WireData envelope_over(std::string bytes) {
  WireData wire;
  wire.length = stdprintf<128>("%04d", static_cast<int>(bytes.size()));
  wire.crc = do_crc_check(bytes);
  wire.bytes = std::move(bytes);
  return wire;
}

std::string wrap_frame(const std::string& data) { return envelope_over(data).frame(); }

long parse_length_field_slowly(const char* field) {
  int i = 0;
  while (i < 4 && (field[i] == ' ' || (field[i] >= '\t' && field[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < 4 && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
  long value = 0;
  for (; i < 4 && field[i] >= '0' && field[i] <= '9'; ++i) value = value * 10 + (field[i] - '0');
  return negative && value != 0 ? -1 : value;
}

bool crc_field_matches(const char* field, const char* data, std::size_t length) {
  if (!is_hex(field[0]) || !is_hex(field[1]) || !is_hex(field[2]) || !is_hex(field[3])) return false;
  std::uint16_t crc = crc16(reinterpret_cast<const unsigned char*>(data), length);
  static const char kDigits[] = "0123456789ABCDEF";
  for (int i = 0; i < 4; ++i) {
    char want = kDigits[(crc >> (12 - 4 * i)) & 0xFu];
    if (upper_hex(field[i]) != want) return false;
  }
  return true;
}

Verdict classify_frame(const char* candidate, std::size_t length) {
  if (!length_field_matches(candidate, length)) return Verdict::BadLength;
  std::size_t n = length - kEnvelopeBytes;
  return crc_field_matches(frame_crc(candidate, length), frame_data(candidate), n) ? Verdict::Accepted : Verdict::BadCrc;
}

bool check_frame(const char* candidate, std::size_t length) { return classify_frame(candidate, length) == Verdict::Accepted; }

bool check_frame(const std::string& candidate) { return check_frame(candidate.data(), candidate.size()); }

const char* find_cp_open(const char* data, std::size_t length) {
  if (length < kCpOpenBytes) return nullptr;
  for (const char *at = data, *last = data + length - kCpOpenBytes; at <= last; ++at) {
    at = static_cast<const char*>(std::memchr(at, 'C', static_cast<std::size_t>(last - at) + 1));
    if (at == nullptr) return nullptr;
    if (std::memcmp(at, kCpOpen, kCpOpenBytes) == 0) return at;
  }
  return nullptr;
}

long header_number(const char* data, std::size_t length, const char* name, long max, HeaderItem* where) {
  const char* open = find_cp_open(data, length);
  const std::size_t end = open ? static_cast<std::size_t>(open - data) : length;
  const std::size_t name_length = std::char_traits<char>::length(name);
  for (std::size_t start = 0; start < end;) {
    const void* semicolon = std::memchr(data + start, ';', end - start);
    std::size_t stop = semicolon ? static_cast<std::size_t>(static_cast<const char*>(semicolon) - data) : end;
    std::size_t at = start;
    while (at < stop && header_blank(data[at])) ++at;
    if (stop - at > name_length && std::memcmp(data + at, name, name_length) == 0) {
      std::size_t value = at + name_length;
      while (value < stop && header_blank(data[value])) ++value;
      if (value < stop && data[value] == '=') {
        std::size_t last = stop;
        while (last > value + 1 && header_blank(data[last - 1])) --last;
        ++value;
        while (value < last && header_blank(data[value])) ++value;
        if (value == last) return -1;
        long number = 0;
        for (std::size_t digit = value; digit < last; ++digit) {
          if (data[digit] < '0' || data[digit] > '9') return -1;
          number = number * 10 + (data[digit] - '0');
          if (number > max) return -1;
        }
        if (where) *where = HeaderItem{value, last, stop};
        return number;
      }
    }
    start = stop + 1;
  }
  return -1;
}

namespace {

// "##", `length`, `data`, `crc`, "\r\n": the one place the envelope is written.
std::string envelope(const std::string& length, const std::string& data, const std::string& crc) {
  std::string frame;
  frame.reserve(data.size() + length.size() + kEnvelopeBytes);
  frame += "##";
  frame += length;
  frame += data;
  frame += crc;
  frame += "\r\n";
  return frame;
}

} // namespace

std::string frame_with_crc(const std::string& data, const char* crc) {
  return envelope(stdprintf<128>("%04d", static_cast<int>(data.size())), data, std::string(crc, 4));
}

std::string WireData::frame_around(const std::string& data) const { return envelope(length, data, crc); }

std::string WireData::frame() const {
  if (!encrypted) return envelope(length, bytes, crc);
  return envelope(stdprintf<128>("%04d", static_cast<int>(cipher_bytes.size())), cipher_bytes, crc);
}

} // namespace HJ
