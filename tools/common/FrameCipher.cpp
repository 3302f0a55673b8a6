#include "FrameCipher.h"

#include "Hj212Text.h"
#include "hj212/Charset.h"
#include "hj212/CpCipher.h"
#include "hj212/Sm4.h"

namespace sim {
namespace {

const unsigned char* key_bytes(const std::string& key) { return reinterpret_cast<const unsigned char*>(key.data()); }

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
  return !HJ::is_utf8(bytes.data(), bytes.size()) && !HJ::is_gb18030(bytes.data(), bytes.size());
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

KeyedRead read_with_key(std::string_view frame, const std::string& key, std::string& plain, CipherWire& form) {
  form = CipherWire::Plain;
  if (key.size() != HJ::Sm4::kKeyBytes || frame.size() <= HJ::kEnvelopeBytes || frame.substr(frame.size() - 2) != "\r\n")
    return KeyedRead::AsReceived;
  const HJ::Verdict verdict = HJ::classify_frame(frame.data(), frame.size());
  switch (HJ::keyed_read(frame.data(), frame.size(), verdict, HJ::kCharsetByFlag)) {
  case HJ::KeyedRead::Take: return KeyedRead::AsReceived;
  case HJ::KeyedRead::Refuse: return verdict == HJ::Verdict::Accepted ? KeyedRead::Rejected : KeyedRead::AsReceived;
  case HJ::KeyedRead::Decrypt: break;
  }
  std::string segment;
  HJ::Sm4 cipher(key_bytes(key));
  if (!HJ::read_encrypted(frame.data(), frame.size(), cipher, HJ::kCharsetByFlag, segment)) return KeyedRead::Rejected;
  form = segment.size() == frame.size() - HJ::kEnvelopeBytes ? CipherWire::Raw : CipherWire::Text; // raw keeps the length, text never does
  plain = HJ::frame_with_crc(segment, HJ::frame_crc(frame.data(), frame.size()));
  return KeyedRead::Decrypted;
}

CipherWire decrypt_frame(std::string_view frame, const std::string& key, std::string& plain) {
  CipherWire form = CipherWire::Plain;
  return read_with_key(frame, key, plain, form) == KeyedRead::Decrypted ? form : CipherWire::Plain;
}

HJ::WireData encrypted_wire_data(const std::string& data, const std::string& key, CipherWire form) {
  if (key.size() != HJ::Sm4::kKeyBytes || form == CipherWire::Plain) return HJ::wire_data(data, HJ::kCharsetByFlag);
  HJ::Sm4 cipher(key_bytes(key));
  return HJ::wire_data(data, HJ::kCharsetByFlag, &cipher, form == CipherWire::Text ? HJ::kCipherText : HJ::kCipherRaw);
}

StreamSpans::StreamSpans(const std::string& key) {
  m_scanner.observe(this);
  set_key(key);
}

void StreamSpans::set_key(const std::string& key) {
  const std::string wanted = key.size() == HJ::Sm4::kKeyBytes ? key : std::string();
  if (wanted == m_key) return;
  m_key = wanted;
  m_scanner.set_key(m_key.empty() ? nullptr : key_bytes(m_key));
}

void StreamSpans::span(HJ::SpanKind kind, std::uint64_t offset, std::uint64_t length) { m_told.push_back(Told{kind, offset, length}); }

void StreamSpans::feed(const char* data, std::size_t n, const Sink& sink) {
  if (n == 0) return;
  m_window.append(data, n);
  m_scanner.append(data, n);
  while (m_scanner.next(m_frame)) {}
  deliver(sink);
}

void StreamSpans::finish(const Sink& sink) {
  m_scanner.give_up_followed();
  while (m_scanner.next(m_frame)) {}
  m_scanner.finish();
  deliver(sink);
}

void StreamSpans::reset() {
  m_scanner.clear();
  m_told.clear();
  m_window.clear();
  m_window_at = m_scanner.offset();
  m_window_head = 0;
}

void StreamSpans::deliver(const Sink& sink) {
  for (const Told& t : m_told) {
    const std::size_t at = static_cast<std::size_t>(t.offset - m_window_at);
    sink(t.kind, t.offset, std::string_view(m_window).substr(at, static_cast<std::size_t>(t.length)));
    m_window_head = at + static_cast<std::size_t>(t.length);
  }
  m_told.clear();
  // Delivered bytes go once they outweigh the rest: each byte is moved a bounded number of times.
  if (m_window_head > 0 && m_window_head >= m_window.size() - m_window_head) {
    m_window.erase(0, m_window_head);
    m_window_at += m_window_head;
    m_window_head = 0;
  }
}

} // namespace sim
