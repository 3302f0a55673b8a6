#include "Ports.h"

#include <cerrno>
#include <cstring>

namespace sim {

namespace {

void nap(int ms) { nap_ms(ms); }

bool parse_line_settings(const std::string& rest, SerialSettings& s, std::string& error) {
  if (rest.empty()) return true;
  if (!parse_serial_settings(rest, s)) {
    error = "bad line settings \"" + rest + "\" (want BAUD[:8N1])";
    return false;
  }
  return true;
}

} // namespace

bool parse_port_spec(const std::string& text, PortSpec& out, std::string& error) {
  PortSpec s;
  size_t colon = text.find(':');
  std::string kind = text.substr(0, colon);
  std::string rest = colon == std::string::npos ? std::string() : text.substr(colon + 1);
  if (kind == "tcp-client" || kind == "tcp-server") {
    s.kind = kind == "tcp-client" ? PortSpec::TcpClient : PortSpec::TcpServer;
    if (!split_host_port(rest, s.host, s.port) || (s.kind == PortSpec::TcpClient && (s.host.empty() || s.port == 0))) {
      error = "bad address in \"" + text + "\" (want " + kind + (s.kind == PortSpec::TcpClient ? ":HOST:PORT" : ":[HOST:]PORT") + ")";
      return false;
    }
  } else if (kind == "serial") {
    s.kind = PortSpec::Serial;
    size_t c2 = rest.find(':');
    s.path = rest.substr(0, c2);
    if (s.path.empty()) {
      error = "serial port without a device path in \"" + text + "\"";
      return false;
    }
    if (c2 != std::string::npos && !parse_line_settings(rest.substr(c2 + 1), s.serial, error)) return false;
  } else if (kind == "pty") {
    s.kind = PortSpec::Pty;
    if (!parse_line_settings(rest, s.serial, error)) return false;
  } else {
    error = "unknown port \"" + text + "\" (tcp-client:HOST:PORT, tcp-server:[HOST:]PORT, serial:PATH[:BAUD[:8N1]], pty)";
    return false;
  }
  out = s;
  return true;
}

std::unique_ptr<SimPort> SimPort::create(const PortSpec& setup, FrameTrace* trace) { return std::unique_ptr<SimPort>(new SimPort(setup, trace)); }

SimPort::~SimPort() { Close(); }

void SimPort::event(const std::string& text) {
  if (m_trace) m_trace->event(text);
}

int SimPort::Open() {
  m_error.clear();
  switch (m_spec.kind) {
  case PortSpec::TcpClient: {
    // a first attempt now, so the link is usually up before the first cycle; later attempts
    // are the reading side's
    bool in_progress = false;
    Fd fd = tcp_connect_start(m_spec.host, m_spec.port, in_progress, m_error);
    if (fd.valid() && in_progress && wait_writable(fd.get(), 1000) && tcp_connect_result(fd.get()) == 0) in_progress = false;
    if (fd.valid() && !in_progress) {
      std::lock_guard<std::mutex> lock(m_mu);
      m_link = std::move(fd);
      m_up = true;
      capture_up(true);
      event("connected to " + m_spec.host + ":" + std::to_string(m_spec.port));
    } else {
      event("platform " + m_spec.host + ":" + std::to_string(m_spec.port) + " not reachable yet; retrying");
      m_next_try_ms = now_ms() + m_backoff_ms;
    }
    m_error.clear();
    return 1;
  }
  case PortSpec::TcpServer:
    m_listen = tcp_listen(m_spec.host, m_spec.port, m_error);
    if (!m_listen.valid()) return 0;
    m_listen_port = local_port(m_listen.get());
    return 1;
  case PortSpec::Serial: {
    Fd fd = open_serial(m_spec.path, m_spec.serial, m_error);
    if (!fd.valid()) return 0;
    std::lock_guard<std::mutex> lock(m_mu);
    m_link = std::move(fd);
    m_up = true;
    capture_up(true);
    return 1;
  }
  case PortSpec::Pty: {
    Pty pty;
    if (!open_pty(pty, m_error)) return 0;
    if (!configure_tty(pty.keep_peer.get(), m_spec.serial, m_error)) return 0;
    m_peer_path = pty.peer_path;
    m_pty_peer = std::move(pty.keep_peer);
    std::lock_guard<std::mutex> lock(m_mu);
    m_link = std::move(pty.master);
    m_up = true;
    capture_up(true);
    return 1;
  }
  }
  return 0;
}

int SimPort::Close() {
  std::lock_guard<std::mutex> lock(m_mu);
  capture_down();
  m_link.reset();
  m_up = false;
  m_listen.reset();
  m_pty_peer.reset();
  m_connecting = false;
  return 1;
}

std::string SimPort::describe() const {
  switch (m_spec.kind) {
  case PortSpec::TcpClient: return "tcp-client " + m_spec.host + ":" + std::to_string(m_spec.port);
  case PortSpec::TcpServer: return "tcp-server " + (m_spec.host.empty() ? std::string("0.0.0.0") : m_spec.host) + ":" + std::to_string(m_listen_port);
  case PortSpec::Serial: return "serial " + m_spec.path + " " + serial_settings_text(m_spec.serial);
  case PortSpec::Pty: return "pty " + m_peer_path;
  }
  return "?";
}

bool SimPort::link_up() const {
  std::lock_guard<std::mutex> lock(m_mu);
  return m_up;
}

void SimPort::link_down(const std::string& why) {
  {
    std::lock_guard<std::mutex> lock(m_mu);
    capture_down();
    m_link.reset();
    m_up = false;
  }
  m_connecting = false;
  m_backoff_ms = kBackoffFirstMs;
  m_next_try_ms = now_ms() + m_backoff_ms;
  event("link down (" + why + ")");
}

void SimPort::capture_up(bool opened) {
  if (!m_capture) return;
  Endpoint local, peer;
  bool tcp = m_spec.kind == PortSpec::TcpClient || m_spec.kind == PortSpec::TcpServer;
  if (!tcp) m_capture_id = m_capture->begin_serial(true);
  else if (socket_endpoints(m_link.get(), local, peer)) m_capture_id = m_capture->begin(local, peer, opened);
}

void SimPort::capture_down() {
  if (m_capture) m_capture->end(m_capture_id.exchange(-1));
}

void SimPort::schedule_retry(const std::string& why) {
  event(why + "; next attempt in " + std::to_string(m_backoff_ms) + " ms");
  m_next_try_ms = now_ms() + m_backoff_ms;
  m_backoff_ms = m_backoff_ms * 2 > kBackoffMaxMs ? kBackoffMaxMs : m_backoff_ms * 2;
}

void SimPort::mark_up(Fd fd, const std::string& what, bool opened) {
  {
    std::lock_guard<std::mutex> lock(m_mu);
    if (fd.valid()) m_link = std::move(fd);
    m_up = true;
    capture_up(opened);
  }
  m_backoff_ms = kBackoffFirstMs;
  event(what);
}

bool SimPort::retry_due(int64_t now, int wait) {
  if (now >= m_next_try_ms) return true;
  nap(static_cast<int>(m_next_try_ms - now < wait ? m_next_try_ms - now : wait));
  return now_ms() >= m_next_try_ms;
}

bool SimPort::connect_client(int64_t now, int wait) {
  if (!m_connecting) {
    if (!retry_due(now, wait)) return false;
    bool in_progress = false;
    std::string err;
    Fd fd = tcp_connect_start(m_spec.host, m_spec.port, in_progress, err);
    if (!fd.valid()) {
      schedule_retry(err);
      return false;
    }
    if (!in_progress) {
      mark_up(std::move(fd), "connected to " + m_spec.host + ":" + std::to_string(m_spec.port));
      return true;
    }
    std::lock_guard<std::mutex> lock(m_mu);
    m_link = std::move(fd);
    m_connecting = true;
  }
  if (!wait_writable(m_link.get(), wait)) return false;
  int rc = tcp_connect_result(m_link.get());
  m_connecting = false;
  if (rc == 0) {
    mark_up(Fd(), "connected to " + m_spec.host + ":" + std::to_string(m_spec.port));
    return true;
  }
  {
    std::lock_guard<std::mutex> lock(m_mu);
    m_link.reset();
  }
  schedule_retry("connect to " + m_spec.host + ":" + std::to_string(m_spec.port) + ": " + std::strerror(rc));
  return false;
}

bool SimPort::accept_platform(int wait) {
  if (!m_listen.valid()) {
    nap(wait);
    return false;
  }
  if (!wait_readable(m_listen.get(), wait)) return false;
  Fd fd = tcp_accept(m_listen.get());
  if (!fd.valid()) return false;
  std::string who = peer_text(fd.get());
  mark_up(std::move(fd), "platform connected from " + who, false);
  return true;
}

bool SimPort::reopen_serial(int64_t now, int wait) {
  if (!retry_due(now, wait)) return false;
  std::string err;
  Fd fd = open_serial(m_spec.path, m_spec.serial, err);
  if (!fd.valid()) {
    schedule_retry(err);
    return false;
  }
  mark_up(std::move(fd), "reopened " + m_spec.path);
  return true;
}

bool SimPort::bring_up(int wait) {
  int64_t now = now_ms();
  switch (m_spec.kind) {
  case PortSpec::TcpClient: return connect_client(now, wait);
  case PortSpec::TcpServer: return accept_platform(wait);
  case PortSpec::Serial: return reopen_serial(now, wait);
  case PortSpec::Pty:
    nap(wait); // made once by Open; a pty that is gone does not come back
    return false;
  }
  return false;
}

int SimPort::ReadData(unsigned char* buffer, int* length, int wait) {
  if (!buffer || !length) return 0;
  int want = *length;
  *length = 0;
  if (want <= 0) return 0;
  if (wait < 0) wait = 0;
  bool up;
  {
    std::lock_guard<std::mutex> lock(m_mu);
    up = m_up;
  }
  if (!up && !bring_up(wait)) return 0;
  Handle fd = m_link.get(); // only this side replaces the descriptor
  if (!wait_readable(fd, wait)) return 0;
  long n = read_some(fd, buffer, static_cast<size_t>(want));
  if (n > 0) {
    if (m_capture) m_capture->received(m_capture_id, buffer, static_cast<size_t>(n));
    if (m_trace) m_trace->received(buffer, static_cast<size_t>(n));
    int avail = bytes_waiting(fd);
    if (avail > 0) *length = avail;
    return static_cast<int>(n);
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  if (m_spec.kind == PortSpec::Pty) {
    nap(wait); // the peer side is held open, so this is transient
    return 0;
  }
  link_down(n == 0 ? std::string("closed by the other end") : std::string(std::strerror(errno)));
  return 0;
}

int SimPort::WriteData(const unsigned char* data, int* length, int /*param: the device's first parameter, unused here*/) {
  if (!data || !length || *length <= 0) return 0;
  size_t n = static_cast<size_t>(*length);
  bool ok;
  {
    std::lock_guard<std::mutex> lock(m_mu);
    if (!m_up) {
      ok = false;
    } else {
      // captured before it goes out, so the capture never shows a reply ahead of it
      if (m_capture) m_capture->sent(m_capture_id, data, n);
      ok = write_all(m_link.get(), data, n, m_timeout_ms);
      if (!ok && m_spec.kind != PortSpec::Pty && errno != ETIMEDOUT) shutdown_both(m_link.get()); // wakes the reading side, which takes the link down
    }
  }
  if (!ok) {
    event("write of " + std::to_string(n) + " B failed: " + (link_up() ? "timed out or refused" : "link down"));
    return 0;
  }
  if (m_trace) m_trace->sent(data, n);
  return 1;
}

int SimPort::ClearBuffer() {
  std::lock_guard<std::mutex> lock(m_mu);
  if (!m_up) return 0;
  unsigned char sink[512];
  for (int i = 0; i < 2048; ++i) // at most 1 MiB: a flooding peer cannot hold us here
    if (read_some(m_link.get(), sink, sizeof sink) <= 0) break;
  return 1;
}

int SimPort::SetDeviceName(const char*) { return 1; }

int SimPort::GetCommMode() { return (m_spec.kind == PortSpec::TcpClient || m_spec.kind == PortSpec::TcpServer) ? 2 : 1; }

int SimPort::SetTimeout(int milliseconds) {
  std::lock_guard<std::mutex> lock(m_mu);
  m_timeout_ms = milliseconds > 0 ? milliseconds : kDefaultWriteTimeoutMs;
  return 1;
}

int SimPort::GetTimeout() {
  std::lock_guard<std::mutex> lock(m_mu);
  return m_timeout_ms;
}

} // namespace sim
