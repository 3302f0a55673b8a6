// Descriptor helpers shared by the simulators: TCP on IPv4, serial lines, pseudo-terminals.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

// Line settings of a serial port, written "9600:8N1" (baud, data bits, parity N/E/O, stop bits).
struct SerialSettings {
  int baud = 9600;
  int data_bits = 8;
  char parity = 'N';
  int stop_bits = 1;
};
// Parses "BAUD[:8N1]"; false on anything it does not know.
bool parse_serial_settings(const std::string& text, SerialSettings& out);
std::string serial_settings_text(const SerialSettings& s);

// Owns one descriptor.
class Fd {
public:
  Fd() = default;
  explicit Fd(int fd) : m_fd(fd) {}
  Fd(Fd&& o) noexcept : m_fd(o.release()) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return m_fd; }
  bool valid() const { return m_fd >= 0; }
  int release() {
    int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  void reset(int fd = -1);

private:
  int m_fd = -1;
};

bool set_nonblocking(int fd);
// Monotonic milliseconds.
int64_t now_ms();
// Waits until fd is readable (or writable); false on timeout. EINTR restarts with the time left.
bool wait_readable(int fd, int timeout_ms);
bool wait_writable(int fd, int timeout_ms);
// Writes every byte, waiting up to timeout_ms in all for room; false on error or timeout
// (errno ETIMEDOUT).
bool write_all(int fd, const void* data, size_t n, int timeout_ms);

// A listening socket on host:port (port 0: the system picks one); error text on failure.
Fd tcp_listen(const std::string& host, int port, std::string& error);
int local_port(int fd);
std::string peer_text(int fd);
// Starts a non-blocking connect; `in_progress` tells whether it still has to complete.
Fd tcp_connect_start(const std::string& host, int port, bool& in_progress, std::string& error);
// After a connect in progress became writable: 0 connected, else the errno of the failure.
int tcp_connect_result(int fd);
// Splits "host:port"; false when the port is not a number in 0..65535.
bool split_host_port(const std::string& text, std::string& host, int& port);

// Opens a serial device (non-blocking, raw, no flow control) and applies the settings.
Fd open_serial(const std::string& path, const SerialSettings& s, std::string& error);
// Raw mode and settings on an open terminal.
bool configure_tty(int fd, const SerialSettings& s, std::string& error);

// A pseudo-terminal: the master side, and the path of its peer (slave) that another program opens.
struct Pty {
  Fd master;
  Fd keep_peer; // held open so the master never sees a hang-up when the peer program closes
  std::string peer_path;
};
bool open_pty(Pty& pty, std::string& error);

} // namespace sim
