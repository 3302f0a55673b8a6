// Input: 8 bytes choosing the chunk sizes (1..255, 255 meaning the whole rest; the last one odd:
// the scanner has the key "0123456789abcdef"), then the stream. Behind the stream the harness puts
// a crafted prefix (by the last byte's upper bits) and one intact frame (plain; with
// the key also raw ciphertext holding "\r\n", or {0x..} text, by the seventh byte). The scanner,
// fed in those chunks, must spend at most kCrcWorkPerByte CRC bytes and kDecryptPerByte decrypted
// bytes per byte, queue no frame that holds a control byte (with the key: no segment that is not
// text), and give the intact frame last, whatever came before it: bytes in front of a frame never
// cost that frame. Unless a bound cut a candidate short, it gives the frames a plain whole-stream
// reading gives, in the same order.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "hj212/Charset.h"
#include "hj212/CpCipher.h"
#include "hj212/Envelope.h"
#include "hj212/FrameScanner.h"
#include "hj212/Sm4.h"
#include "tests/support/crafted/CraftedPrefix.h"

namespace {

const unsigned char kKey[] = "0123456789abcdef";
constexpr std::size_t npos = std::string_view::npos;

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& ch : out) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  return out;
}

// The HJ 212 CRC written out bit by bit, as four upper-case hex digits: an oracle apart from the
// plug-in's table.
std::string CrcText(std::string_view data) {
  unsigned reg = 0xFFFF;
  for (unsigned char byte : data) {
    reg = (reg >> 8) ^ byte;
    for (int bit = 0; bit < 8; ++bit) reg = (reg & 1u) ? (reg >> 1) ^ 0xA001u : reg >> 1;
  }
  char text[8];
  std::snprintf(text, sizeof text, "%04X", reg);
  return text;
}

// The length field read by strtol.
long Announced(std::string_view c) {
  char field[5] = {c[2], c[3], c[4], c[5], '\0'};
  return std::strtol(field, nullptr, 10);
}

bool LengthMatches(std::string_view c) {
  if (c.size() <= HJ::kEnvelopeBytes) return false;
  long announced = Announced(c);
  return announced >= 0 && static_cast<std::size_t>(announced) + HJ::kEnvelopeBytes == c.size();
}

// The acceptance rules read plainly: strtol on the length field, the CRC bit by bit, hex compared
// in upper case.
bool Accepts(std::string_view c) {
  return LengthMatches(c) && Upper(c.substr(c.size() - 6, 4)) == CrcText(c.substr(6, c.size() - HJ::kEnvelopeBytes));
}

// A CN 2000-2999 in the data's own header: before the first "CP=&&", with no "##" in it.
bool DataCommand(std::string_view data) {
  std::size_t cp = data.find("CP=&&");
  if (cp == npos || data.substr(0, cp).find("##") != npos) return false;
  return HJ::encrypted_cn(HJ::header_cn(std::string(data.substr(0, cp))));
}

// The CP region: after the first "CP=&&", before the last "&&".
std::string_view Region(std::string_view data) {
  std::size_t open = data.find("CP=&&"), close = data.rfind("&&");
  if (open == npos || close == npos || close < open + 5) return {};
  return data.substr(open + 5, close - open - 5);
}
bool Control(unsigned char c) { return c < 0x20 || c == 0x7F; }
// Text as GetData reads it by Flag: no control byte; UTF-8 for 2025, UTF-8 or GB18030 before.
bool TextSegment(std::string_view data) {
  if (std::any_of(data.begin(), data.end(), [](char c) { return Control(static_cast<unsigned char>(c)); })) return false;
  if (HJ::is_utf8(data.data(), data.size())) return true;
  long flag = HJ::header_number(std::string(data.substr(0, data.find("CP=&&"))), "Flag", 255);
  return !(flag >= 0 && flag >> 2 >= 2) && HJ::is_gb18030(data.data(), data.size());
}
bool Hex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }
// The {0x..} list: "0x" and a hex digit after "{", "," or ", ".
bool CipherList(std::string_view data) {
  for (std::size_t at = 2; at + 1 < data.size(); ++at) {
    if ((data[at] != 'x' && data[at] != 'X') || data[at - 1] != '0' || !Hex(data[at + 1])) continue;
    char before = data[at - 2];
    if (before == '{' || before == ',' || (before == ' ' && at >= 3 && data[at - 3] == ',')) return true;
  }
  return false;
}
// A frame whose length and CRC fit is taken as received: no control byte; with a key, text
// without a {0x..} list.
bool AsReceived(std::string_view data, bool keyed) {
  if (!keyed) return std::none_of(data.begin(), data.end(), [](char c) { return Control(static_cast<unsigned char>(c)); });
  return TextSegment(data) && !CipherList(data);
}
// The plain bytes a region opening with a whole {0x..} list (16 items or more) stands for, or 0.
std::size_t PlainBytes(std::string_view data) {
  std::string_view region = Region(data);
  if (region.size() < 3 || region[0] != '{' || region[1] != '0' || (region[2] != 'x' && region[2] != 'X')) return 0;
  std::size_t at = 1, items = 0;
  for (;;) {
    if (region.size() - at < 4 || region[at] != '0' || (region[at + 1] != 'x' && region[at + 1] != 'X') || !Hex(region[at + 2]) ||
        !Hex(region[at + 3]))
      return 0;
    ++items;
    at += 4;
    if (at < region.size() && region[at] == ',') {
      for (++at; at < region.size() && region[at] == ' ';) ++at;
      continue;
    }
    if (at >= region.size() || region[at] != '}') return 0;
    return items < 16 ? 0 : data.size() - (at + 1) + items;
  }
}

// A data command whose CP region decrypted gives the CRC it carries, whose length field counts
// the data as sent or as plain, and whose plain segment is text: the plain frame.
bool AcceptsDecrypted(std::string_view c, const HJ::Sm4& cipher, std::string& frame) {
  std::string_view data = c.substr(6, c.size() - HJ::kEnvelopeBytes), crc = c.substr(c.size() - 6, 4);
  std::string plain;
  if (!DataCommand(data) || !HJ::decrypt_cp(data.data(), data.size(), cipher, plain)) return false;
  if (Upper(crc) != CrcText(plain) || !TextSegment(plain)) return false;
  long announced = Announced(c);
  if (announced < 0 || (static_cast<std::size_t>(announced) != data.size() && static_cast<std::size_t>(announced) != plain.size())) return false;
  char length[16];
  std::snprintf(length, sizeof length, "%04zu", plain.size());
  frame = "##" + std::string(length) + plain + std::string(crc) + "\r\n";
  return true;
}

// Each "##" up to the first "\r\n" after it; a start whose bytes before the "\n" outgrow the
// largest frame gives way to the next "##" inside; every later "##" before the "\r\n" is a
// candidate too, read from the last back: the last that reads as a frame wins. With a key a candidate whose length field
// fits is also read decrypted, one announcing less when it counts the plain bytes of its {0x..}
// list, and a data command announcing more than reaches the "\r\n" is followed to that end: the
// spans that end there or before are read first, then the followed candidate with the nearest end
// (the latest among equals) is read decrypted when "\r\n" stands there. A frame ends every
// candidate that began before its end.
std::vector<std::string> Reference(std::string_view s, const HJ::Sm4* cipher) {
  struct Followed {
    std::size_t at, end;
  };
  std::vector<std::string> out;
  std::vector<Followed> followed;
  for (std::size_t pos = 0;;) {
    std::size_t start = s.find("##", pos);
    std::size_t cr = start == npos ? npos : s.find("\r\n", start + 2);
    std::size_t end = cr == npos ? npos : cr + 2;
    if (!followed.empty()) {
      auto nearest = std::min_element(followed.begin(), followed.end(),
                                      [](const Followed& a, const Followed& b) { return a.end < b.end || (a.end == b.end && a.at > b.at); });
      if (end == npos || end > nearest->end) {
        if (nearest->end > s.size()) return out; // still waiting for its end
        const Followed f = *nearest;
        followed.erase(nearest);
        std::string frame;
        if (s.substr(f.end - 2, 2) == "\r\n" && AcceptsDecrypted(s.substr(f.at, f.end - f.at), *cipher, frame)) {
          out.push_back(frame);
          followed.clear();
          pos = f.end;
        }
        continue;
      }
    }
    if (end == npos) return out;
    while (start != npos && end - start > HJ::kMaxFrameBytes + 1) {
      start = s.find("##", start + 1);
      if (start != npos && start + 1 >= cr) start = npos;
    }
    std::vector<std::size_t> starts;
    for (std::size_t at = start; at != npos && at + 1 < cr; at = s.find("##", at + 1)) starts.push_back(at);
    bool found = false;
    for (auto it = starts.rbegin(); it != starts.rend() && !found; ++it) {
      const std::size_t at = *it;
      std::string_view c = s.substr(at, end - at);
      std::string_view data = c.size() > HJ::kEnvelopeBytes ? c.substr(6, c.size() - HJ::kEnvelopeBytes) : std::string_view();
      std::string frame;
      if (LengthMatches(c)) {
        if (Accepts(c) && AsReceived(data, cipher != nullptr)) {
          out.emplace_back(c);
          found = true;
        } else if (cipher && AcceptsDecrypted(c, *cipher, frame)) {
          out.push_back(frame);
          found = true;
        }
        continue;
      }
      if (!cipher || c.size() <= HJ::kEnvelopeBytes) continue;
      long announced = Announced(c);
      if (announced <= 0) continue;
      if (static_cast<std::size_t>(announced) < data.size()) {
        if (PlainBytes(data) == static_cast<std::size_t>(announced) && AcceptsDecrypted(c, *cipher, frame)) {
          out.push_back(frame);
          found = true;
        }
      } else if (DataCommand(s.substr(at + 6, cr - at - 6))) {
        followed.push_back({at, at + static_cast<std::size_t>(announced) + HJ::kEnvelopeBytes});
      }
    }
    if (found) followed.clear();
    pos = end;
  }
}

struct Intact {
  std::string wire, plain;
};

// The frames put behind the fuzzer's stream: plain; raw ciphertext holding "\r\n" (no four hex
// digits before an inner one, so no candidate can end there), and {0x..} text.
std::vector<Intact> IntactFrames() {
  const HJ::Sm4 cipher(kKey);
  const std::string plain = HJ::wrap_frame("QN=20250101000000000;ST=22;CN=2011;PW=123456;MN=POLMON0000000001;Flag=9;CP=&&"
                                           "a00000-Rtd=3165;a00000-Rtd=0267;a00203-Rtd=5692;a00201-Rtd=5728;&&");
  std::vector<Intact> frames{{plain, plain}};
  for (HJ::CipherForm form : {HJ::kCipherRaw, HJ::kCipherText}) {
    const std::string data = plain.substr(6, plain.size() - HJ::kEnvelopeBytes);
    std::string sent;
    HJ::encrypt_cp(data, cipher, form, sent);
    char length[8];
    std::snprintf(length, sizeof length, "%04zu", form == HJ::kCipherRaw ? data.size() : sent.size());
    frames.push_back({"##" + std::string(length) + sent + plain.substr(plain.size() - 6), plain});
  }
  const std::string& raw = frames[1].wire;
  std::size_t inner = raw.find("\r\n");
  if (inner + 2 == raw.size()) std::abort(); // the raw one must hold "\r\n"
  for (; inner + 2 < raw.size(); inner = raw.find("\r\n", inner + 1))
    if (std::all_of(raw.begin() + static_cast<long>(inner) - 4, raw.begin() + static_cast<long>(inner), Hex)) std::abort();
  return frames;
}

// What the scanner tells of its spans: in stream order without gap or overlap, each verdict as
// counted, each frame as delivered.
struct SpanOrder : HJ::SpanObserver {
  std::uint64_t told = 0, kinds[6] = {};
  void span(HJ::SpanKind kind, std::uint64_t offset, std::uint64_t length) override {
    if (offset != told || length == 0) std::abort();
    told = offset + length;
    ++kinds[static_cast<int>(kind)];
  }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  static const std::vector<Intact> intact = IntactFrames();
  const std::uint8_t* sizes = data;
  const bool keyed = sizes[7] % 2 == 1;
  const Intact& last = intact[keyed ? sizes[6] % intact.size() : 0];
  // The shapes crafted against the frame behind them (CraftedPrefix.h), by the last byte's upper bits.
  const unsigned shape = sizes[7] >> 1 & 3u, count = 1u + (sizes[7] >> 3);
  const std::string crafted = crafted::Prefix(static_cast<crafted::Shape>(shape), shape == 1 ? 64u * count : count, last.wire);
  const std::string stream = std::string(reinterpret_cast<const char*>(data + 8), size - 8) + crafted + last.wire;

  HJ::FrameScanner scanner;
  if (keyed) scanner.set_key(kKey);
  SpanOrder order;
  scanner.observe(&order);
  std::vector<std::string> got;
  std::size_t at = 0;
  for (int i = 0; at < stream.size(); i = (i + 1) % 8) {
    if (sizes[i] == 0) { // a pass without bytes (a pause on the line) before this chunk: it may lose nothing
      scanner.feed(stream.data() + at, 0, [&](std::string&& f) { got.push_back(std::move(f)); });
      (void)scanner.counts();
    }
    std::size_t n = sizes[i] == 255 ? stream.size() - at : sizes[i] + 1u;
    if (n > stream.size() - at) n = stream.size() - at;
    scanner.feed(stream.data() + at, n, [&](std::string&& f) { got.push_back(std::move(f)); });
    at += n;
  }
  const HJ::FrameScanner::Counts& counts = scanner.counts();
  if (order.kinds[int(HJ::SpanKind::BadLength)] != counts.bad_length || order.kinds[int(HJ::SpanKind::BadCrc)] != counts.bad_crc ||
      order.kinds[int(HJ::SpanKind::Overlong)] != counts.overlong || order.kinds[int(HJ::SpanKind::Frame)] != got.size())
    std::abort();
  if (scanner.counts().crc_bytes > HJ::FrameScanner::kCrcWorkPerByte * stream.size()) std::abort();
  if (scanner.counts().cipher_bytes > HJ::FrameScanner::kDecryptPerByte * stream.size()) std::abort();
  for (const std::string& frame : got)
    if (!AsReceived(std::string_view(frame).substr(6, frame.size() - HJ::kEnvelopeBytes), false) ||
        (keyed && !TextSegment(std::string_view(frame).substr(6, frame.size() - HJ::kEnvelopeBytes))))
      std::abort();
  // A stream that ends is told to its last byte.
  const std::size_t frames = got.size();
  scanner.give_up_followed();
  std::string none;
  if (scanner.next(none)) std::abort();
  scanner.finish();
  if (order.told != stream.size() || order.kinds[int(HJ::SpanKind::Frame)] != frames) std::abort();
  if (got.empty() || got.back() != last.plain) std::abort();
  // A candidate skipped for want of CRC work, credit or room is given up on purpose: the reference has no bound.
  if (scanner.counts().cut_short != 0) return 0;
  HJ::Sm4 cipher(kKey);
  if (got != Reference(stream, keyed ? &cipher : nullptr)) std::abort();
  return 0;
}
