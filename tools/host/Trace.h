// The simulator's output: event lines, always; a trace of every frame on every port, switchable
// at run time. Lines come from the panel's thread and from the plug-in's receive threads.
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "tools/common/FrameCipher.h"
#include "tools/common/Hj212Text.h"

namespace sim {

class Console {
public:
  explicit Console(FILE* out = stdout) : m_out(out) {}
  void line(const std::string& text); // time-stamped
  bool tracing() const { return m_trace.load(std::memory_order_relaxed); }
  void set_tracing(bool on) { m_trace.store(on, std::memory_order_relaxed); }

private:
  FILE* m_out;
  std::mutex m_mu;
  std::atomic<bool> m_trace{true};
};

// The frames of one port, cut by the plug-in's scanner, one per direction: received bytes are fed by the reading
// thread, sent bytes by the writing thread, so each scanner has one user.
class FrameTrace {
public:
  FrameTrace(Console& console, std::string device) : m_console(console), m_device(std::move(device)) {}
  void received(const unsigned char* data, size_t n) { feed(m_rx, "RX <-", data, n); }
  void sent(const unsigned char* data, size_t n) { feed(m_tx, "TX ->", data, n); }
  void event(const std::string& text) { m_console.line(m_device + ": " + text); }
  // The key the script set on the device (16 bytes; empty: none). With it, the trace cuts frames
  // as the plug-in does with that key and shows encrypted frames plain, marked as encrypted on
  // the wire. Set on the panel's thread while the port's threads trace.
  void set_key(const std::string& key);
  // Frames seen complete, by direction.
  unsigned long frames_received() const { return m_rx_frames.load(); }
  unsigned long frames_sent() const { return m_tx_frames.load(); }

private:
  void feed(StreamSpans& spans, const char* mark, const unsigned char* data, size_t n);
  Console& m_console;
  std::string m_device;
  StreamSpans m_rx, m_tx;
  std::mutex m_key_mu;
  std::string m_key;
  std::atomic<unsigned long> m_rx_frames{0}, m_tx_frames{0};
};

// Printable preview of raw bytes (escapes controls and high bytes), cut at `max` bytes.
std::string preview(std::string_view bytes, size_t max = 48);

} // namespace sim
