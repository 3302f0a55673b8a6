// Real ports behind the panel's port interface: TCP client, TCP server, serial line, pseudo-terminal.
//
// Threads: ReadData is called by the plug-in's receive thread, WriteData by the panel's thread.
// Only the reading side brings a link up or down (connect, accept, reopen, close), so a
// descriptor is never closed under a write; writes hold the lock only while they write.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "Trace.h"
#include "panel/ICommunication.h"
#include "tools/common/Capture.h"
#include "tools/common/sys/Io.h"

namespace sim {

// "tcp-client:HOST:PORT", "tcp-server:[HOST:]PORT", "serial:PATH[:BAUD[:8N1]]", "pty[:BAUD[:8N1]]".
struct PortSpec {
  enum Kind { TcpClient, TcpServer, Serial, Pty } kind = TcpClient;
  std::string host;
  int port = 0;
  std::string path;
  SerialSettings serial;
};
bool parse_port_spec(const std::string& text, PortSpec& out, std::string& error);

class SimPort : public ICommunication {
public:
  // Back-off between attempts to bring a link up: first delay, doubled up to the maximum.
  static constexpr int kBackoffFirstMs = 200;
  static constexpr int kBackoffMaxMs = 5000;
  static constexpr int kDefaultWriteTimeoutMs = 5000;

  static std::unique_ptr<SimPort> create(const PortSpec& setup, FrameTrace* trace);
  ~SimPort() override;

  // Open: prepares the port (listens, opens the device, makes the pty, starts connecting).
  // Nonzero on success; `error()` says why not.
  int Open() override;
  int Close() override;
  int WriteData(const unsigned char* data, int* length, int param) override;
  int ReadData(unsigned char* buffer, int* length, int wait) override;
  int ClearBuffer() override;
  int SetDeviceName(const char* name) override;
  int GetCommMode() override;
  int SetTimeout(int milliseconds) override;
  int GetTimeout() override;

  // --capture: the bytes each way go there too, each link a connection of its own. Set before Open.
  void set_capture(Capture* capture) { m_capture = capture; }

  const std::string& error() const { return m_error; }
  // What a user needs to reach the port: the address listened on, the pty's peer path.
  std::string describe() const;
  bool link_up() const;
  int listen_port() const { return m_listen_port; }
  const std::string& peer_path() const { return m_peer_path; }

private:
  explicit SimPort(const PortSpec& setup, FrameTrace* trace) : m_spec(setup), m_trace(trace) {}
  // Reading side: tries to bring the link up within `wait` ms; true when it is up.
  bool bring_up(int wait);
  // One attempt for each kind of port that can come back; `now` is when bring_up began.
  bool connect_client(int64_t now, int wait);
  bool accept_platform(int wait);
  bool reopen_serial(int64_t now, int wait);
  // Naps towards the next attempt within `wait`; true once it is due.
  bool retry_due(int64_t now, int wait);
  void schedule_retry(const std::string& why);
  void mark_up(Fd fd, const std::string& what, bool opened = true);
  void link_down(const std::string& why);
  void event(const std::string& text);
  // The link just came up on m_link (`opened`: this end connected) or went down: a connection
  // begins or ends in the capture.
  void capture_up(bool opened);
  void capture_down();

  PortSpec m_spec;
  FrameTrace* m_trace;
  Capture* m_capture = nullptr;
  std::atomic<int> m_capture_id{-1}; // the capture's connection of the link up, -1 for none
  std::string m_error;
  int m_listen_port = -1;
  std::string m_peer_path;

  mutable std::mutex m_mu; // guards m_link, m_up and m_timeout_ms
  Fd m_link;               // the connected socket, the open device, the pty master
  bool m_up = false;
  int m_timeout_ms = kDefaultWriteTimeoutMs;

  // reading side only
  Fd m_listen;
  Fd m_pty_peer;
  bool m_connecting = false;
  int64_t m_next_try_ms = 0;
  int m_backoff_ms = kBackoffFirstMs;
};

} // namespace sim
