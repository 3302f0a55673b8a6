#include "Io.h"
#include "Sockets.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace sim {

void Fd::reset(int fd) {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = fd;
}

bool set_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int64_t now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

namespace {

bool wait_for(int fd, short events, int timeout_ms) {
  int64_t deadline = now_ms() + (timeout_ms > 0 ? timeout_ms : 0);
  for (;;) {
    pollfd p{fd, events, 0};
    int left = static_cast<int>(deadline - now_ms());
    if (left < 0) left = 0;
    int rc = ::poll(&p, 1, left);
    if (rc > 0) return true; // readiness, hang-up or error: the next call tells which
    if (rc == 0) return false;
    if (errno != EINTR) return false;
  }
}

} // namespace

bool wait_readable(int fd, int timeout_ms) { return wait_for(fd, POLLIN, timeout_ms); }
bool wait_writable(int fd, int timeout_ms) { return wait_for(fd, POLLOUT, timeout_ms); }

bool wait_readable_any(const Handle* fds, bool* ready, int n, int timeout_ms) {
  pollfd p[8];
  if (n > 8) n = 8;
  for (int i = 0; i < n; ++i) p[i] = {fds[i], POLLIN, 0};
  int rc = ::poll(n ? p : nullptr, static_cast<nfds_t>(n), timeout_ms);
  for (int i = 0; i < n; ++i) ready[i] = rc > 0 && (p[i].revents & (POLLIN | POLLHUP | POLLERR));
  return rc > 0;
}

void nap_ms(int ms) {
  if (ms > 0) ::poll(nullptr, 0, ms);
}

long read_some(int fd, void* buf, size_t n) { return static_cast<long>(::read(fd, buf, n)); }

int bytes_waiting(int fd) {
  int avail = 0;
  return ::ioctl(fd, FIONREAD, &avail) == 0 && avail > 0 ? avail : 0;
}

long write_some(int fd, const void* data, size_t n) {
  ssize_t w = ::send(fd, data, n, MSG_NOSIGNAL);
  if (w < 0 && errno == ENOTSOCK) w = ::write(fd, data, n);
  if (w < 0 && errno == EWOULDBLOCK) errno = EAGAIN;
  return static_cast<long>(w);
}

namespace {

std::string errno_text(const std::string& what) { return what + ": " + std::strerror(errno); }

} // namespace

Fd tcp_listen(const std::string& host, int port, std::string& error) {
  sockaddr_in addr{};
  if (!resolve_ipv4(host, port, addr, error)) return Fd();
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    error = errno_text("socket");
    return Fd();
  }
  int one = 1;
  setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    error = errno_text("bind " + host + ":" + std::to_string(port));
    return Fd();
  }
  if (::listen(fd.get(), 4) != 0 || !set_nonblocking(fd.get())) {
    error = errno_text("listen");
    return Fd();
  }
  return fd;
}

Fd tcp_connect_start(const std::string& host, int port, bool& in_progress, std::string& error, int receive_buffer) {
  in_progress = false;
  sockaddr_in addr{};
  if (!resolve_ipv4(host, port, addr, error)) return Fd();
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) {
    error = errno_text("socket");
    return Fd();
  }
  int one = 1;
  setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (receive_buffer > 0) setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  if (errno == EINPROGRESS) {
    in_progress = true;
    return fd;
  }
  error = errno_text("connect " + host + ":" + std::to_string(port));
  return Fd();
}

Fd tcp_accept(int listen) { return Fd(::accept4(listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)); }

void shutdown_both(int fd) { ::shutdown(fd, SHUT_RDWR); }

int tcp_connect_result(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

namespace {

speed_t speed_of(int baud) {
  switch (baud) {
  case 1200: return B1200;
  case 2400: return B2400;
  case 4800: return B4800;
  case 19200: return B19200;
  case 38400: return B38400;
  case 57600: return B57600;
  case 115200: return B115200;
  case 230400: return B230400;
  default: return B9600;
  }
}

} // namespace

bool configure_tty(int fd, const SerialSettings& s, std::string& error) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) {
    error = errno_text("tcgetattr");
    return false;
  }
  cfmakeraw(&t);
  cfsetispeed(&t, speed_of(s.baud));
  cfsetospeed(&t, speed_of(s.baud));
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= sizes[(s.data_bits >= 5 && s.data_bits <= 8) ? s.data_bits - 5 : 3];
  if (s.parity == 'E') t.c_cflag |= PARENB;
  if (s.parity == 'O') t.c_cflag |= PARENB | PARODD;
  if (s.stop_bits == 2) t.c_cflag |= CSTOPB;
  t.c_cflag |= CLOCAL | CREAD;
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &t) != 0) {
    error = errno_text("tcsetattr");
    return false;
  }
  return true;
}

Fd open_serial(const std::string& path, const SerialSettings& s, std::string& error) {
  Fd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    error = errno_text("open " + path);
    return Fd();
  }
  if (!isatty(fd.get())) {
    error = path + " is not a terminal";
    return Fd();
  }
  if (!configure_tty(fd.get(), s, error)) return Fd();
  return fd;
}

bool open_pty(Pty& pty, std::string& error) {
  Fd master(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!master.valid() || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0) {
    error = errno_text("posix_openpt");
    return false;
  }
  char name[128];
  if (ptsname_r(master.get(), name, sizeof name) != 0) {
    error = errno_text("ptsname");
    return false;
  }
  Fd peer(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!peer.valid()) {
    error = errno_text(std::string("open ") + name);
    return false;
  }
  // raw on the peer side, so neither end translates CR LF or echoes
  SerialSettings raw;
  if (!configure_tty(peer.get(), raw, error)) return false;
  pty.master = std::move(master);
  pty.keep_peer = std::move(peer);
  pty.peer_path = name;
  return true;
}

} // namespace sim
