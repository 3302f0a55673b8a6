// The received streams the benchmarks measure, a port that hands them out in reads of a chosen
// size, and an engine bound to that port.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "bridge/PanelDevice.h"
#include "hj212/CpCipher.h"
#include "hj212/Envelope.h"
#include "hj212/HJ212System.h"
#include "panel/ICommunication.h"
#include "panel/OrvaData.h"
#include "tests/support/crafted/CraftedPrefix.h"

namespace bench {

enum class Kind { Valid, PlainNoise, DenseHashNoise, Crafted, Encrypted, CraftedCipher, CraftedFollow, HeldSpans, StartsBefore, HeadersBefore };

// The key of the keyed rows.
constexpr char kKey[] = "0123456789abcdef";

// Up to `count` nested headers at the end of `s`, 6 bytes apart, each "##" announcing its distance
// to `end` (where the span's "\r\n" ends), stopping 12 bytes before it.
inline void AppendNestedHeaders(std::string& s, std::size_t end, std::size_t count) {
  for (std::size_t i = 0; i < count && s.size() + 6 <= end - 6; ++i) {
    char field[8];
    std::snprintf(field, sizeof field, "%04zu", end - s.size() - HJ::kEnvelopeBytes);
    s += "##";
    s += field;
  }
}

// About `bytes` bytes of one kind:
// - Valid: 1 KiB frames, each behind noise of a tenth of its size (stray "#" and "##", no CR LF);
// - PlainNoise: printable bytes without "#";
// - DenseHashNoise: "##" every few bytes, with digits and CR LF between;
// - Crafted: spans whose every "##" (one each 6 bytes) announces its own distance to the span's
//   "\r\n", CRC fields hex: each retry would cost a CRC.
// - Encrypted: as Valid, the frames uploads (CN 2011) whose CP region is encrypted under kKey
//   (raw ciphertext, which holds "\r\n" in some frames);
// - CraftedCipher: made against the key: spans of 10011 bytes whose first "##" announces their
//   whole length before a "\r\n" (a data command with "CP=&&": followed to its end, which is
//   "\r\n", and decrypted there), filled with 1 KiB data-command spans whose length matches and
//   CRC fails (each decrypted once) and whose nested headers spend the CRC budget.
// - CraftedFollow: made against following: 22-byte data-command headers back to back, each ended
//   by "\r\n" and announcing 9998 bytes, so that each announced end is another one's "\r\n":
//   every candidate is followed (as many as may be at once) and decrypted at its end while the
//   credit lasts.
// - HeldSpans: against what is held while a candidate is followed: a data-command header
//   announcing 9999 bytes, ended at once, then 2,000 empty spans "##\r\n", over and over.
// - StartsBefore: 1 KiB frames, each behind two starts announcing its end (CRC work).
// - HeadersBefore: encrypted 1 KiB uploads as in Encrypted, each behind two data-command headers
//   ended early announcing its end (decryption credit).
inline std::string MakeStream(Kind kind, std::size_t bytes) {
  std::mt19937 rng(212);
  std::uniform_int_distribution<int> printable(0x20, 0x7E), digit('0', '9'), gap(0, 6);
  std::string s;
  s.reserve(bytes + 16 * 1024);
  while (s.size() < bytes) {
    switch (kind) {
    case Kind::Valid: {
      for (int i = 0; i < 102; ++i) {
        int c = printable(rng);
        s += static_cast<char>(c % 9 == 0 ? '#' : c);
      }
      std::string data(1024 - HJ::kEnvelopeBytes, ' ');
      for (char& c : data) c = static_cast<char>(printable(rng));
      s += HJ::wrap_frame(data);
      break;
    }
    case Kind::PlainNoise: {
      int c = printable(rng);
      s += static_cast<char>(c == '#' ? '$' : c);
      break;
    }
    case Kind::DenseHashNoise: {
      s += "##";
      for (int i = gap(rng); i > 0; --i) s += static_cast<char>(digit(rng));
      if (gap(rng) == 0) s += "\r\n";
      break;
    }
    case Kind::Encrypted: {
      static const HJ::Sm4 cipher(reinterpret_cast<const unsigned char*>(kKey));
      for (int i = 0; i < 102; ++i) {
        int c = printable(rng);
        s += static_cast<char>(c % 9 == 0 ? '#' : c);
      }
      std::string data = "QN=20250101000000000;ST=22;CN=2011;PW=123456;MN=POLMON0000000001;Flag=9;CP=&&";
      while (data.size() < 1024 - HJ::kEnvelopeBytes - 2) data += static_cast<char>(printable(rng) == '&' ? 'a' : printable(rng));
      data += "&&";
      s += HJ::wire_data(data, HJ::kCharsetUtf8, &cipher, HJ::kCipherRaw).frame();
      break;
    }
    case Kind::CraftedCipher: {
      const std::size_t from = s.size(), end = from + HJ::kMaxFrameBytes;
      char field[8];
      std::snprintf(field, sizeof field, "%04zu", HJ::kMaxDataBytes);
      s += "##";
      s += field;
      s += "ST=22;CN=2011;CP=&&\r\n";
      while (s.size() < end) {
        std::size_t inner = end - s.size() < 2048 ? end - s.size() : 1024;
        const std::size_t inner_end = s.size() + inner;
        std::snprintf(field, sizeof field, "%04zu", inner - HJ::kEnvelopeBytes);
        s += "##";
        s += field;
        s += "CN=2011;CP=&&";
        AppendNestedHeaders(s, inner_end, 1000);
        s.append(inner_end - 8 - s.size(), 'x');
        s += "&&ABCD\r\n";
      }
      break;
    }
    case Kind::HeldSpans: s += crafted::Prefix(crafted::Shape::HeldSpans, 2000, ""); break;
    case Kind::StartsBefore: {
      std::string data(1024 - HJ::kEnvelopeBytes, ' ');
      for (char& c : data) c = static_cast<char>(printable(rng));
      const std::string frame = HJ::wrap_frame(data);
      s += crafted::Prefix(crafted::Shape::Starts, 2, frame) + frame;
      break;
    }
    case Kind::HeadersBefore: {
      static const HJ::Sm4 cipher(reinterpret_cast<const unsigned char*>(kKey));
      std::string data = "QN=20250101000000000;ST=22;CN=2011;PW=123456;MN=POLMON0000000001;Flag=9;CP=&&";
      while (data.size() < 1024 - HJ::kEnvelopeBytes - 2) data += static_cast<char>(printable(rng) == '&' ? 'a' : printable(rng));
      data += "&&";
      const std::string frame = HJ::wire_data(data, HJ::kCharsetUtf8, &cipher, HJ::kCipherRaw).frame();
      s += crafted::Prefix(crafted::Shape::Headers, 2, frame) + frame;
      break;
    }
    case Kind::CraftedFollow: s += "##9998CN=2011;CP=&&a\r\n"; break;
    case Kind::Crafted: {
      const std::size_t blocks = 1660, length = 6 * blocks + 6;
      for (std::size_t i = 0; i < blocks; ++i) {
        char field[8];
        std::snprintf(field, sizeof field, "%04zu", length - 6 * i - HJ::kEnvelopeBytes);
        s += "##";
        s += field;
      }
      s += "ABCD\r\n";
      break;
    }
    }
  }
  return s;
}

// Hands out `stream` in reads of `read` bytes; claims more after each read while bytes are left
// (drained) or never (one read per pass).
// A port that only reads: every other operation answers success.
class ReadOnlyPort : public ICommunication {
public:
  int Open() override { return 1; }
  int Close() override { return 1; }
  int WriteData(const unsigned char*, int*, int) override { return 1; }
  int ClearBuffer() override { return 1; }
  int SetDeviceName(const char*) override { return 1; }
  int GetCommMode() override { return 1; }
  int SetTimeout(int) override { return 1; }
  int GetTimeout() override { return 0; }
};

class StreamPort final : public ReadOnlyPort {
public:
  StreamPort(const std::string& stream, int read, bool claimsMore)
      : begin_(stream.data()), at_(begin_), end_(begin_ + stream.size()), read_(static_cast<std::size_t>(read)), more_(claimsMore) {}
  void Rewind() { at_ = begin_; }
  bool Done() const { return at_ == end_; }
  int ReadData(unsigned char* buffer, int* length, int) override {
    std::size_t n = static_cast<std::size_t>(end_ - at_);
    if (n > read_) n = read_;
    if (n > static_cast<std::size_t>(*length)) n = static_cast<std::size_t>(*length);
    if (n == 1) *buffer = static_cast<unsigned char>(*at_); // as cheap as a port can be
    else std::memcpy(buffer, at_, n);
    at_ += n;
    *length = more_ && at_ != end_ ? 1 : 0;
    return static_cast<int>(n);
  }

private:
  const char* begin_;
  const char* at_;
  const char* end_;
  std::size_t read_;
  bool more_;
};

// An engine without its thread, reading from `port`; the caller runs the passes.
struct Engine {
  ORVA_DATA data{};
  CPanelDevice device{data};
  HJ::CipherKey key;
  HJ::HJ212_system sys;
  // With `keyed`, the device has kKey.
  explicit Engine(ICommunication& port, bool keyed = false) {
    sys.attach(&device);
    StorePort(data, &port);
    sys.use_cipher_key(&key);
    if (keyed) key.set(kKey);
  }
  // Frames taken out of the queue, as the script would.
  std::size_t Take() {
    std::size_t n = 0;
    std::string frame;
    while (sys.take_frame(frame) >= 0) ++n;
    return n;
  }
};

} // namespace bench
