// Input: 8 bytes choosing the chunk sizes (1..255, 255 meaning the whole rest; the last one odd:
// the scanner has the key "0123456789abcdef"), then the stream. The scanner, fed in those chunks,
// must give the frames a plain whole-stream reading gives, in the same order, and spend at most
// kCrcWorkPerByte CRC bytes and three decryptions per byte; with the key, no frame it queues with
// a data command's own header has a CP region that is not text (the CRC takes 256 values only).
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "Charset.h"
#include "CpCipher.h"
#include "Envelope.h"
#include "FrameScanner.h"
#include "Sm4.h"

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
// Text as GetData reads it by Flag: no control byte; UTF-8 for 2025, UTF-8 or GB18030 before.
bool TextRegion(std::string_view data) {
  std::string_view region = Region(data);
  for (unsigned char c : region)
    if (c < 0x20 || c == 0x7F) return false;
  if (HJ::is_utf8(region.data(), region.size())) return true;
  long flag = HJ::header_number(std::string(data.substr(0, data.find("CP=&&"))), "Flag", 255);
  return !(flag >= 0 && flag >> 2 >= 2) && HJ::is_gb18030(region.data(), region.size());
}
bool TextForm(std::string_view data) {
  std::string_view region = Region(data);
  return region.substr(0, 3) == "{0x" || region.substr(0, 3) == "{0X";
}

// A CN 2000-2999 candidate whose CP region decrypted gives the CRC it carries, whose length
// field counts the data as sent or as plain, and whose plain region is text: the plain frame.
bool AcceptsDecrypted(std::string_view c, const HJ::Sm4& cipher, std::string& frame) {
  std::string_view data = c.substr(6, c.size() - HJ::kEnvelopeBytes), crc = c.substr(c.size() - 6, 4);
  std::string plain;
  if (!DataCommand(data) || !HJ::decrypt_cp(data.data(), data.size(), cipher, plain)) return false;
  if (Upper(crc) != CrcText(plain) || !TextRegion(plain)) return false;
  long announced = Announced(c);
  if (announced < 0 || (static_cast<std::size_t>(announced) != data.size() && static_cast<std::size_t>(announced) != plain.size())) return false;
  char length[16];
  std::snprintf(length, sizeof length, "%04zu", plain.size());
  frame = "##" + std::string(length) + plain + std::string(crc) + "\r\n";
  return true;
}

// Each "##" up to the first "\r\n" after it; a start whose bytes before the "\n" outgrow the
// largest frame gives way to the next "##" inside; a rejected candidate is retried from each
// later "##" before the "\r\n". With a key, the first candidate whose length matches and CRC does
// not is tried decrypted; in a span without a frame, the last "##" closest before a "CP=&&" (after
// the one before) that announces more than reaches the span's "\r\n" (its header a data command)
// is followed to that end, one at a time: the spans that end there or before are read first (a
// frame among them ends the following), then, at an end that is "\r\n", it is tried decrypted and
// the reading goes on behind it.
std::vector<std::string> Reference(std::string_view s, const HJ::Sm4* cipher) {
  std::vector<std::string> out;
  std::size_t followed = npos, followed_end = npos;
  for (std::size_t pos = 0;;) {
    std::size_t start = s.find("##", pos);
    std::size_t cr = start == npos ? npos : s.find("\r\n", start + 2);
    std::size_t end = cr == npos ? npos : cr + 2;
    if (followed != npos && (end == npos || end > followed_end)) {
      if (followed_end > s.size()) return out; // still waiting for its end
      std::size_t from = followed, to = followed_end;
      followed = followed_end = npos;
      if (s.substr(to - 2, 2) == "\r\n") {
        std::string frame;
        if (AcceptsDecrypted(s.substr(from, to - from), *cipher, frame)) out.push_back(frame);
        pos = to;
      }
      continue;
    }
    if (end == npos) return out;
    while (start != npos && end - start > HJ::kMaxFrameBytes + 1) {
      start = s.find("##", start + 1);
      if (start != npos && start + 1 >= cr) start = npos;
    }
    bool found = false, decryption_left = cipher != nullptr;
    for (std::size_t at = start; at != npos && at + 1 < cr && !found; at = s.find("##", at + 1)) {
      std::string_view c = s.substr(at, end - at);
      std::string_view data = c.size() > HJ::kEnvelopeBytes ? c.substr(6, c.size() - HJ::kEnvelopeBytes) : std::string_view();
      const bool command = cipher && DataCommand(data);
      std::string frame;
      if (!LengthMatches(c)) {
        // the {0x..} form with the plain segment's length: shorter than what it carries
        long announced = c.size() > 6 ? Announced(c) : -1;
        if (decryption_left && command && TextForm(data) && announced > 0 && static_cast<std::size_t>(announced) + HJ::kEnvelopeBytes < c.size()) {
          decryption_left = false;
          if (AcceptsDecrypted(c, *cipher, frame)) out.push_back(frame), found = true;
        }
        continue;
      }
      if (Accepts(c) && (!command || (TextRegion(data) && Region(data).substr(0, 1) != "{"))) {
        out.emplace_back(c);
        found = true;
      } else if (command && decryption_left) {
        decryption_left = false;
        if (AcceptsDecrypted(c, *cipher, frame)) out.push_back(frame), found = true;
      }
    }
    if (found) {
      followed = followed_end = npos;
    } else if (cipher && followed == npos && start != npos) {
      // Frame starts: the last "##" before each "CP=&&", after the one before; the last one counts.
      for (std::size_t from = start, cp; (cp = s.find("CP=&&", from)) != npos && cp + 5 <= cr; from = cp + 5) {
        std::size_t at = cp >= from + 6 ? s.rfind("##", cp - 6) : npos;
        if (at == npos || at < from) continue;
        long announced = Announced(s.substr(at));
        if (announced > 0 && at + static_cast<std::size_t>(announced) + HJ::kEnvelopeBytes > end && DataCommand(s.substr(at + 6, cp - at - 6))) {
          followed = at;
          followed_end = at + static_cast<std::size_t>(announced) + HJ::kEnvelopeBytes;
        }
      }
    }
    pos = end;
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  const std::uint8_t* sizes = data;
  std::string_view stream(reinterpret_cast<const char*>(data + 8), size - 8);
  const bool keyed = sizes[7] % 2 == 1;

  HJ::FrameScanner scanner;
  if (keyed) scanner.set_key(kKey);
  std::vector<std::string> got;
  std::size_t at = 0;
  for (int i = 0; at < stream.size(); i = (i + 1) % 8) {
    std::size_t n = sizes[i] == 255 ? stream.size() - at : sizes[i] + 1u;
    if (n > stream.size() - at) n = stream.size() - at;
    scanner.feed(stream.data() + at, n, [&](std::string&& f) { got.push_back(std::move(f)); });
    at += n;
  }
  if (scanner.counts().crc_bytes > HJ::FrameScanner::kCrcWorkPerByte * stream.size()) std::abort();
  if (scanner.counts().cipher_bytes > 3 * stream.size()) std::abort();
  // A span whose retries ran out of CRC work is given up on purpose: the reference has no bound.
  HJ::Sm4 cipher(kKey);
  if (scanner.counts().cut_short == 0 && got != Reference(stream, keyed ? &cipher : nullptr)) std::abort();
  if (keyed)
    for (const std::string& frame : got) {
      std::string_view segment = std::string_view(frame).substr(6, frame.size() - HJ::kEnvelopeBytes);
      if (DataCommand(segment) && !TextRegion(segment)) std::abort();
    }
  return 0;
}
