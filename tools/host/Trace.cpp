#include "Trace.h"

#include "tools/common/FrameCipher.h"
#include "tools/common/TextSafe.h"

namespace sim {

void Console::line(const std::string& text) {
  std::string l = clock_text() + " " + text_safe(text) + "\n"; // a script's text and a station's bytes alike
  std::lock_guard<std::mutex> lock(m_mu);
  std::fwrite(l.data(), 1, l.size(), m_out);
  std::fflush(m_out);
}

std::string preview(std::string_view bytes, size_t max) {
  std::string out;
  size_t n = bytes.size() < max ? bytes.size() : max;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else if (c < 0x20 || c >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else out += static_cast<char>(c);
  }
  if (n < bytes.size()) out += "...";
  return out;
}

void FrameTrace::set_key(const std::string& key) {
  std::lock_guard<std::mutex> lock(m_key_mu);
  m_key = key;
}

void FrameTrace::feed(StreamSpans& spans, const char* mark, const unsigned char* data, size_t n) {
  std::atomic<unsigned long>& count = (&spans == &m_rx) ? m_rx_frames : m_tx_frames;
  std::string key;
  {
    std::lock_guard<std::mutex> lock(m_key_mu);
    key = m_key;
  }
  spans.set_key(key); // each direction has one thread: its own only
  spans.feed(reinterpret_cast<const char*>(data), n, [&](HJ::SpanKind kind, std::uint64_t, std::string_view bytes) {
    // a span with its line end is a frame seen complete, taken or not (its verdict says which)
    const bool framed = kind == HJ::SpanKind::Frame || kind == HJ::SpanKind::BadLength || kind == HJ::SpanKind::BadCrc;
    if (framed) ++count;
    if (!m_console.tracing()) return;
    std::string plain;
    CipherWire form = key.empty() || kind != HJ::SpanKind::Frame ? CipherWire::Plain : decrypt_frame(bytes, key, plain);
    if (form != CipherWire::Plain)
      m_console.line(m_device + " " + mark + " " + describe_frame(plain) + ", encrypted on the wire (" + cipher_wire_text(form) + ", " +
                     std::to_string(bytes.size()) + " B)");
    else if (framed) m_console.line(m_device + " " + mark + " " + describe_frame(bytes));
    else m_console.line(m_device + " " + mark + " junk " + std::to_string(bytes.size()) + " B \"" + preview(mask_keys(bytes)) + "\"");
  });
}

} // namespace sim
