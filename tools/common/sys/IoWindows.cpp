#include "Io.h"
#include "Sockets.h"

#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace sim {

namespace {

SOCKET sock(Handle h) { return static_cast<SOCKET>(h); }
HANDLE file(Handle h) { return reinterpret_cast<HANDLE>(h); }

// A socket, or else a file or serial line (a Windows HANDLE).
bool is_socket(Handle h) {
  int type = 0;
  int len = sizeof type;
  return ::getsockopt(sock(h), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len) == 0;
}

// errno from the last socket error, so callers test one set of codes on every system.
int errno_of_wsa(int wsa) {
  switch (wsa) {
  case WSAEWOULDBLOCK: return EAGAIN;
  case WSAEINTR: return EINTR;
  case WSAEINPROGRESS: return EINPROGRESS;
  case WSAECONNRESET: return ECONNRESET;
  case WSAECONNREFUSED: return ECONNREFUSED;
  case WSAECONNABORTED: return ECONNABORTED;
  case WSAETIMEDOUT: return ETIMEDOUT;
  case WSAEADDRINUSE: return EADDRINUSE;
  case WSAENOTCONN: return ENOTCONN;
  case WSAEHOSTUNREACH: return EHOSTUNREACH;
  case WSAENETUNREACH: return ENETUNREACH;
  case WSAEACCES: return EACCES;
  default: return EIO;
  }
}

int set_errno_from_wsa() { return errno = errno_of_wsa(::WSAGetLastError()); }

std::string error_text(const std::string& what) {
  set_errno_from_wsa();
  return what + ": " + std::strerror(errno);
}

} // namespace

void start_sockets() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
  });
}

void Fd::reset(Handle fd) {
  if (m_fd != kNoHandle && ::closesocket(sock(m_fd)) != 0) ::CloseHandle(file(m_fd));
  m_fd = fd;
}

bool set_nonblocking(Handle fd) {
  u_long on = 1;
  return ::ioctlsocket(sock(fd), FIONBIO, &on) == 0;
}

int64_t now_ms() { return static_cast<int64_t>(::GetTickCount64()); }

namespace {

// Serial lines cannot be waited on with sockets: one whose read returns at once (COMMTIMEOUTS) is
// always "ready", and the read itself waits up to its timeout.
bool wait_for(Handle fd, short events, int timeout_ms) {
  if (!is_socket(fd)) return true;
  WSAPOLLFD p{sock(fd), events, 0};
  return ::WSAPoll(&p, 1, timeout_ms > 0 ? timeout_ms : 0) > 0;
}

} // namespace

bool wait_readable(Handle fd, int timeout_ms) { return wait_for(fd, POLLRDNORM, timeout_ms); }
bool wait_writable(Handle fd, int timeout_ms) { return wait_for(fd, POLLWRNORM, timeout_ms); }

bool wait_readable_any(const Handle* fds, bool* ready, int n, int timeout_ms) {
  WSAPOLLFD p[8];
  if (n > 8) n = 8;
  bool line = false; // a serial line among them: its read does the waiting
  for (int i = 0; i < n; ++i) {
    ready[i] = !is_socket(fds[i]);
    line = line || ready[i];
    p[i] = WSAPOLLFD{ready[i] ? INVALID_SOCKET : sock(fds[i]), POLLRDNORM, 0};
  }
  if (line) return true;
  if (n == 0) {
    nap_ms(timeout_ms);
    return false;
  }
  int rc = ::WSAPoll(p, static_cast<ULONG>(n), timeout_ms);
  for (int i = 0; i < n; ++i) ready[i] = rc > 0 && (p[i].revents & (POLLRDNORM | POLLHUP | POLLERR));
  return rc > 0;
}

void nap_ms(int ms) {
  if (ms > 0) ::Sleep(static_cast<DWORD>(ms));
}

long write_some(Handle fd, const void* data, size_t n) {
  int chunk = n > (1u << 30) ? (1 << 30) : static_cast<int>(n);
  if (is_socket(fd)) {
    int w = ::send(sock(fd), static_cast<const char*>(data), chunk, 0);
    if (w < 0) set_errno_from_wsa();
    return w;
  }
  DWORD wrote = 0;
  if (!::WriteFile(file(fd), data, static_cast<DWORD>(chunk), &wrote, nullptr)) {
    errno = EIO;
    return -1;
  }
  if (wrote == 0) { // a serial line's write timeout ran out
    errno = EAGAIN;
    return -1;
  }
  return static_cast<long>(wrote);
}

long read_some(Handle fd, void* buf, size_t n) {
  int want = n > (1u << 30) ? (1 << 30) : static_cast<int>(n);
  if (is_socket(fd)) {
    int got = ::recv(sock(fd), static_cast<char*>(buf), want, 0);
    if (got < 0) set_errno_from_wsa();
    return got;
  }
  DWORD got = 0;
  if (!::ReadFile(file(fd), buf, static_cast<DWORD>(want), &got, nullptr)) {
    errno = EIO;
    return -1;
  }
  if (got == 0) { // a serial line with nothing to read: no end of file there
    errno = EAGAIN;
    return -1;
  }
  return static_cast<long>(got);
}

int bytes_waiting(Handle fd) {
  if (is_socket(fd)) {
    u_long avail = 0;
    return ::ioctlsocket(sock(fd), FIONREAD, &avail) == 0 ? static_cast<int>(avail) : 0;
  }
  COMSTAT st{};
  DWORD errors = 0;
  return ::ClearCommError(file(fd), &errors, &st) ? static_cast<int>(st.cbInQue) : 0;
}

namespace {

Handle new_socket() {
  SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  return s == INVALID_SOCKET ? kNoHandle : static_cast<Handle>(s);
}

} // namespace

Fd tcp_listen(const std::string& host, int port, std::string& error) {
  sockaddr_in addr{};
  if (!resolve_ipv4(host, port, addr, error)) return Fd();
  Fd fd(new_socket());
  if (!fd.valid()) {
    error = error_text("socket");
    return Fd();
  }
  // a port in use stays refused (SO_REUSEADDR would let two programs share it here)
  BOOL one = TRUE;
  ::setsockopt(sock(fd.get()), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
  if (::bind(sock(fd.get()), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    error = error_text("bind " + host + ":" + std::to_string(port));
    return Fd();
  }
  if (::listen(sock(fd.get()), 4) != 0 || !set_nonblocking(fd.get())) {
    error = error_text("listen");
    return Fd();
  }
  return fd;
}

Fd tcp_accept(Handle listen) {
  SOCKET c = ::accept(sock(listen), nullptr, nullptr);
  if (c == INVALID_SOCKET) {
    set_errno_from_wsa();
    return Fd();
  }
  ::SetHandleInformation(reinterpret_cast<HANDLE>(c), HANDLE_FLAG_INHERIT, 0);
  Fd fd(static_cast<Handle>(c));
  set_nonblocking(fd.get());
  return fd;
}

void shutdown_both(Handle fd) { ::shutdown(sock(fd), SD_BOTH); }

Fd tcp_connect_start(const std::string& host, int port, bool& in_progress, std::string& error, int receive_buffer) {
  in_progress = false;
  sockaddr_in addr{};
  if (!resolve_ipv4(host, port, addr, error)) return Fd();
  Fd fd(new_socket());
  if (!fd.valid() || !set_nonblocking(fd.get())) {
    error = error_text("socket");
    return Fd();
  }
  BOOL one = TRUE;
  ::setsockopt(sock(fd.get()), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  if (receive_buffer > 0) ::setsockopt(sock(fd.get()), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receive_buffer), sizeof receive_buffer);
  if (::connect(sock(fd.get()), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  if (::WSAGetLastError() == WSAEWOULDBLOCK) {
    in_progress = true;
    return fd;
  }
  error = error_text("connect " + host + ":" + std::to_string(port));
  return Fd();
}

int tcp_connect_result(Handle fd) {
  int err = 0;
  int len = sizeof err;
  if (::getsockopt(sock(fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0) return set_errno_from_wsa();
  return err == 0 ? 0 : errno_of_wsa(err);
}

bool configure_tty(Handle fd, const SerialSettings& s, std::string& error) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(file(fd), &dcb)) {
    error = "GetCommState failed";
    return false;
  }
  dcb.BaudRate = static_cast<DWORD>(s.baud);
  dcb.ByteSize = static_cast<BYTE>(s.data_bits);
  dcb.Parity = s.parity == 'E' ? EVENPARITY : s.parity == 'O' ? ODDPARITY : NOPARITY;
  dcb.StopBits = s.stop_bits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = s.parity != 'N';
  // raw, no flow control: as the termios side sets it
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  if (!::SetCommState(file(fd), &dcb)) {
    error = "SetCommState failed (" + serial_settings_text(s) + ")";
    return false;
  }
  // A read returns what is there, waiting up to 50 ms for a first byte, so the reading side's
  // wait (which cannot poll a serial line) costs no busy loop; writes time out after 2 s.
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = MAXDWORD;
  t.ReadTotalTimeoutMultiplier = MAXDWORD;
  t.ReadTotalTimeoutConstant = 50;
  t.WriteTotalTimeoutConstant = 2000;
  if (!::SetCommTimeouts(file(fd), &t)) {
    error = "SetCommTimeouts failed";
    return false;
  }
  return true;
}

Fd open_serial(const std::string& path, const SerialSettings& s, std::string& error) {
  // COM1..COM9 open by name; every port (COM10 and up too) opens through the device namespace
  std::string device = path.compare(0, 4, "\\\\.\\") == 0 ? path : "\\\\.\\" + path;
  std::wstring wide(device.begin(), device.end());
  HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = "open " + path + ": error " + std::to_string(::GetLastError());
    return Fd();
  }
  Fd fd(reinterpret_cast<Handle>(h));
  if (!configure_tty(fd.get(), s, error)) return Fd();
  return fd;
}

bool open_pty(Pty&, std::string& error) {
  error = "pseudo-terminals do not exist on Windows: use a COM port (a virtual pair for a trial)";
  return false;
}

} // namespace sim
