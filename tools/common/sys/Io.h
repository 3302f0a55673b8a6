// Descriptor helpers shared by the simulators: TCP on IPv4, serial lines, pseudo-terminals.
// The parsing is common; the rest has one implementation per system (sys/IoPosix.cpp, sys/IoWindows.cpp).
#pragma once

#include <cstdint>
#include <string>

#include "SysHandle.h"

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
  explicit Fd(Handle fd) : m_fd(fd) {}
  Fd(Fd&& o) noexcept : m_fd(o.release()) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  Handle get() const { return m_fd; }
  bool valid() const { return m_fd != kNoHandle; }
  Handle release() {
    Handle fd = m_fd;
    m_fd = kNoHandle;
    return fd;
  }
  void reset(Handle fd = kNoHandle);

private:
  Handle m_fd = kNoHandle;
};

bool set_nonblocking(Handle fd);
// Monotonic milliseconds.
int64_t now_ms();
// Waits until fd is readable (or writable); false on timeout. EINTR restarts with the time left.
bool wait_readable(Handle fd, int timeout_ms);
bool wait_writable(Handle fd, int timeout_ms);
// Waits until one of n handles is readable (or hung up); ready[i] tells which. False on timeout.
bool wait_readable_any(const Handle* fds, bool* ready, int n, int timeout_ms);
// Sleeps ms milliseconds.
void nap_ms(int ms);
// Writes every byte, waiting up to timeout_ms in all for room; false on error or timeout
// (errno ETIMEDOUT).
bool write_all(Handle fd, const void* data, size_t n, int timeout_ms);
// Creates (or truncates) the file at `path` and writes `text`; false on any failure.
bool write_new_file(const std::string& path, const std::string& text);
// One write of at most n bytes: the count written, -1 on error (errno; EAGAIN: no room yet).
long write_some(Handle fd, const void* data, size_t n);
// One read of at most n bytes: the count, 0 at the end, -1 on error (errno; EAGAIN: nothing yet).
long read_some(Handle fd, void* buf, size_t n);
// Bytes that can be read at once, 0 when unknown.
int bytes_waiting(Handle fd);

// A listening socket on host:port (port 0: the system picks one); error text on failure.
Fd tcp_listen(const std::string& host, int port, std::string& error);
int local_port(Handle fd);
std::string peer_text(Handle fd);
// Takes a waiting connection (non-blocking); invalid with errno when none.
Fd tcp_accept(Handle listen);
// Both ends' IPv4 address and port (host order); false when not an IPv4 socket.
bool socket_addresses(Handle fd, uint32_t& own_ip, uint16_t& own_port, uint32_t& peer_ip, uint16_t& peer_port);
// Ends both directions, waking a reader blocked on the socket.
void shutdown_both(Handle fd);
// Starts a non-blocking connect; `in_progress` tells whether it still has to complete.
// receive_buffer > 0: that receive buffer (bytes), set before the connection forms.
Fd tcp_connect_start(const std::string& host, int port, bool& in_progress, std::string& error, int receive_buffer = 0);
// After a connect in progress became writable: 0 connected, else the errno of the failure.
int tcp_connect_result(Handle fd);
// Splits "host:port"; false when the port is not a number in 0..65535.
bool split_host_port(const std::string& text, std::string& host, int& port);

// Opens a serial device (non-blocking, raw, no flow control) and applies the settings.
Fd open_serial(const std::string& path, const SerialSettings& s, std::string& error);
// Raw mode and settings on an open terminal.
bool configure_tty(Handle fd, const SerialSettings& s, std::string& error);

// A pseudo-terminal: the master side, and the path of its peer (slave) that another program opens.
struct Pty {
  Fd master;
  Fd keep_peer; // held open so the master never sees a hang-up when the peer program closes
  std::string peer_path;
};
bool open_pty(Pty& pty, std::string& error);

} // namespace sim
