#include "FrameCipher.h"

#include <cstdio>

#include "Charset.h"
#include "CpCipher.h"
#include "Hj212Text.h"
#include "Sm4.h"

namespace sim {
namespace {

const unsigned char* key_bytes(const std::string& key) { return reinterpret_cast<const unsigned char*>(key.data()); }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The CRC field equals the CRC of `data`, its hex digits compared without regard to case (as
// the plug-in compares them).
bool crc_matches(std::string_view field, const std::string& data) {
  unsigned crc = HJ::crc16(reinterpret_cast<const unsigned char*>(data.data()), data.size());
  if (field.size() != 4) return false;
  unsigned value = 0;
  for (char c : field) {
    int d = hex_digit(c);
    if (d < 0) return false;
    value = value * 16 + static_cast<unsigned>(d);
  }
  return value == crc;
}

std::string length_text(std::size_t bytes) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%04zu", bytes);
  return buf;
}

} // namespace

const char* cipher_wire_text(CipherWire form) {
  switch (form) {
  case CipherWire::Raw: return "raw";
  case CipherWire::Text: return "{0x..} text";
  case CipherWire::Plain: break;
  }
  return "plain";
}

bool check_key(const std::string& key, std::string& error) {
  if (key.size() == HJ::Sm4::kKeyBytes) return true;
  error = "a key is 16 bytes (16 ASCII characters); this one has " + std::to_string(key.size());
  return false;
}

bool binary_bytes(std::string_view bytes) {
  for (unsigned char c : bytes)
    if ((c < 0x20 && c != '\t') || c == 0x7F) return true;
  std::string utf8;
  return !HJ::is_utf8(bytes.data(), bytes.size()) && !gb18030_to_utf8(bytes, utf8);
}

CipherWire looks_encrypted(std::string_view segment) {
  std::size_t begin = 0, end = 0;
  if (!HJ::cp_region(segment.data(), segment.size(), begin, end) || end - begin < HJ::Sm4::kBlockBytes) return CipherWire::Plain;
  std::string_view region = segment.substr(begin, end - begin);
  if (region.compare(0, 3, "{0x") == 0 || region.compare(0, 3, "{0X") == 0) return CipherWire::Text;
  return binary_bytes(region.substr(0, region.size() / HJ::Sm4::kBlockBytes * HJ::Sm4::kBlockBytes)) ? CipherWire::Raw : CipherWire::Plain;
}

bool decrypt_segment(std::string_view segment, const std::string& key, std::string& plain, CipherWire& form) {
  if (key.size() != HJ::Sm4::kKeyBytes) return false;
  HJ::Sm4 cipher(key_bytes(key));
  std::string out;
  if (!HJ::decrypt_cp(segment.data(), segment.size(), cipher, out) || out == segment) return false;
  form = out.size() == segment.size() ? CipherWire::Raw : CipherWire::Text; // raw keeps the length, text never does
  plain.swap(out);
  return true;
}

CipherWire decrypt_frame(std::string_view frame, const std::string& key, std::string& plain) {
  if (frame.size() < HJ::kEnvelopeBytes || frame.substr(frame.size() - 2) != "\r\n") return CipherWire::Plain;
  // A frame whose length holds and whose CRC fails over its bytes, as the plug-in decides; or one
  // whose CRC holds over a region that is not text: one encrypted frame in 65536 has a CRC that
  // matches its ciphertext too, and is the plain frame it decrypts to all the same.
  HJ::Verdict verdict = HJ::classify_frame(frame.data(), frame.size());
  std::string segment(frame.substr(6, frame.size() - HJ::kEnvelopeBytes));
  if (verdict == HJ::Verdict::BadLength || (verdict == HJ::Verdict::Accepted && looks_encrypted(segment) == CipherWire::Plain))
    return CipherWire::Plain;
  if (!HJ::encrypted_cn(HJ::header_cn(segment))) return CipherWire::Plain;
  std::string decrypted;
  CipherWire form = CipherWire::Plain;
  std::string_view crc = frame.substr(frame.size() - 6, 4);
  if (!decrypt_segment(segment, key, decrypted, form) || !crc_matches(crc, decrypted)) return CipherWire::Plain;
  plain = "##" + length_text(decrypted.size()) + decrypted + std::string(crc) + "\r\n";
  return form;
}

std::string encrypted_frame(const HJ::WireData& wire, const std::string& key, CipherWire form) {
  HJ::WireData sent = wire;
  if (key.size() == HJ::Sm4::kKeyBytes && form != CipherWire::Plain) {
    HJ::Sm4 cipher(key_bytes(key));
    if (HJ::encrypt_cp(wire.bytes, cipher, form == CipherWire::Text ? HJ::kCipherText : HJ::kCipherRaw, sent.bytes))
      sent.length = length_text(sent.bytes.size()); // over the segment as sent; the CRC stays the plain one's
  }
  return sent.frame();
}

} // namespace sim
