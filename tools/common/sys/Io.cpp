#include "Io.h"

#include <cerrno>
#include <cstdlib>

#include "System.h"

namespace sim {

bool parse_serial_settings(const std::string& text, SerialSettings& out) {
  SerialSettings s;
  std::string baud = text;
  std::string frame;
  size_t colon = text.find(':');
  if (colon != std::string::npos) {
    baud = text.substr(0, colon);
    frame = text.substr(colon + 1);
  }
  if (baud.empty()) return false;
  char* end = nullptr;
  long b = std::strtol(baud.c_str(), &end, 10);
  if (*end != '\0' || b <= 0) return false;
  s.baud = static_cast<int>(b);
  if (!frame.empty()) {
    if (frame.size() != 3) return false;
    if (frame[0] < '5' || frame[0] > '8') return false;
    s.data_bits = frame[0] - '0';
    char p = static_cast<char>(frame[1] & ~0x20); // upper case
    if (p != 'N' && p != 'E' && p != 'O') return false;
    s.parity = p;
    if (frame[2] != '1' && frame[2] != '2') return false;
    s.stop_bits = frame[2] - '0';
  }
  switch (s.baud) { // only the rates termios can express
  case 1200:
  case 2400:
  case 4800:
  case 9600:
  case 19200:
  case 38400:
  case 57600:
  case 115200:
  case 230400: break;
  default: return false;
  }
  out = s;
  return true;
}

std::string serial_settings_text(const SerialSettings& s) {
  return std::to_string(s.baud) + ":" + std::to_string(s.data_bits) + s.parity + std::to_string(s.stop_bits);
}

bool split_host_port(const std::string& text, std::string& host, int& port) {
  size_t colon = text.rfind(':');
  std::string p = colon == std::string::npos ? text : text.substr(colon + 1);
  host = colon == std::string::npos ? std::string() : text.substr(0, colon);
  if (p.empty()) return false;
  char* end = nullptr;
  long v = std::strtol(p.c_str(), &end, 10);
  if (*end != '\0' || v < 0 || v > 65535) return false;
  port = static_cast<int>(v);
  return true;
}

bool write_all(Handle fd, const void* data, size_t n, int timeout_ms) {
  const char* p = static_cast<const char*>(data);
  int64_t deadline = now_ms() + timeout_ms;
  while (n > 0) {
    long w = write_some(fd, p, n);
    if (w > 0) {
      p += w;
      n -= static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EAGAIN) {
      int left = static_cast<int>(deadline - now_ms());
      if (left <= 0 || !wait_writable(fd, left)) {
        errno = ETIMEDOUT;
        return false;
      }
      continue;
    }
    return false;
  }
  return true;
}

bool write_new_file(const std::string& path, const std::string& text) {
  Handle fd = sys::create_file(path, false);
  if (fd == kNoHandle) return false;
  bool ok = write_all(fd, text.data(), text.size(), 5000);
  sys::close_file(fd);
  return ok;
}

} // namespace sim
