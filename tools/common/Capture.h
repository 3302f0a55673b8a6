// The bytes of a link as a pcap file Wireshark and polmon-frame read, and the key log beside it.
//
// A capture holds the payloads each way with their times, inside synthesised IPv4/TCP headers
// of the link (LINKTYPE_RAW): the connected socket's own addresses and ports, or for a serial
// line the fixed pair below. Each link that comes up is a TCP connection of its own (SYN, data
// with sequence and ack numbers that advance, FIN), so a TCP dissector follows each one.
//
// Key log: one line per key taking effect, written only when asked, as TLS key logs are:
//   HJ212-KEY SECONDS.MICROS KEY WHAT
// SECONDS.MICROS the time (since 1970, UTC: the capture's clock), KEY the 16 key bytes as 32 hex
// digits ("-": no key from then on), WHAT free text (who took it). Lines opening with '#' are
// comments.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "SysHandle.h"

namespace sim {

// Microseconds since 1970: the clock of captures and key logs.
int64_t wall_us();
// "2026-12-09 15:03:37.123456", local time.
std::string wall_text(int64_t us);

struct Endpoint {
  uint32_t addr = 0; // IPv4, host order
  uint16_t port = 0;
};
// A serial line or pseudo-terminal, shown as TCP between these: the station at 192.0.2.2, port
// 10212 and up (one port per line opened, so each stays a connection of its own), the platform
// at 192.0.2.1, port 212.
constexpr Endpoint kSerialStation{0xC0000202u, 10212};
constexpr Endpoint kSerialPlatform{0xC0000201u, 212};
// A connected IPv4 socket's own and its peer's address; false for anything else.
bool socket_endpoints(Handle fd, Endpoint& local, Endpoint& peer);

class Capture {
public:
  // Creates (truncates) `path`; null with `error` when it cannot.
  static std::unique_ptr<Capture> open(const std::string& path, std::string& error);
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // A link came up between `local` (this program) and `peer`; `local_opened`: this end connected.
  // Writes its handshake; the connection's id for the calls below.
  int begin(Endpoint local, Endpoint peer, bool local_opened);
  // A serial link (`station`: this program is the station's end), between kSerialStation and
  // kSerialPlatform.
  int begin_serial(bool station);
  // Payload bytes, from local to peer (sent) or the other way (received). Any id that is not
  // open (-1 included) is ignored.
  void sent(int id, const void* data, size_t n) { payload(id, true, data, n); }
  void received(int id, const void* data, size_t n) { payload(id, false, data, n); }
  // The link went down: FIN each way, the id forgotten.
  void end(int id);

  // Writing failed once (disk full): later packets are dropped; the reason, empty when none.
  std::string failure() const;

private:
  struct Conn {
    Endpoint local, peer;
    uint32_t local_seq = 0, peer_seq = 0; // the next sequence number each way
  };
  Capture() = default;
  void payload(int id, bool from_local, const void* data, size_t n);
  // One packet; the lock is held.
  void packet(const Conn& c, bool from_local, uint8_t flags, const uint8_t* data, size_t n, int64_t at);

  mutable std::mutex m_mu;
  void* m_pcap = nullptr;   // pcap_t
  void* m_dumper = nullptr; // pcap_dumper_t
  std::string m_path, m_failure;
  std::map<int, Conn> m_conns;
  int m_next_id = 1;
  uint32_t m_next_isn = 0x21200000u;
  uint16_t m_serial_ports = 0;
  std::vector<uint8_t> m_buf; // one packet, reused
};

class KeyLog {
public:
  // Creates (truncates) `path`, readable by its owner alone: it holds keys.
  static std::unique_ptr<KeyLog> open(const std::string& path, std::string& error);
  ~KeyLog();
  KeyLog(const KeyLog&) = delete;
  KeyLog& operator=(const KeyLog&) = delete;
  // `key` (16 bytes; empty: none) in force from now on; `what` says who took it.
  void key(const std::string& key, const std::string& what);

private:
  KeyLog() = default;
  std::mutex m_mu;
  Handle m_fd = kNoHandle;
};

// What a capture holds: each direction of each TCP connection, its payload put back in order.
struct CapturedFlow {
  int connection = 0;                            // from 1, in the order connections first show
  std::string from, to;                          // "127.0.0.1:4000", "[::1]:4000"
  size_t index = 0;                              // its place among the flows in the order they first show
  std::string bytes;                             // the payload stream (empty when read as a stream: FlowSink)
  std::vector<std::pair<size_t, int64_t>> times; // where each packet's new bytes start, its time (wall_us); as `bytes`
  size_t length = 0;                             // the payload stream's bytes so far
  size_t missing = 0;                            // bytes the capture lacks (gaps in the sequence numbers)
  std::vector<std::pair<size_t, size_t>> gaps;   // each gap: where in the stream it lies, how many bytes it lacks
  // The time of the packet that carried byte `offset`.
  int64_t time_at(size_t offset) const;
};

// A capture read as a stream: each direction's payload handed on as it is put back in order, so
// what is held is each connection's reassembly window, not the capture.
class FlowSink {
public:
  virtual ~FlowSink() = default;
  // `n` more bytes of `flow`'s stream (from offset flow.length), carried by a packet of time `t`.
  virtual void bytes(const CapturedFlow& flow, const char* data, size_t n, int64_t t) = 0;
  // No byte of `flow` comes any more, unless bytes() says otherwise (data after its FIN).
  virtual void ended(const CapturedFlow& flow) = 0;
  // No byte still to come, of any flow, was carried by a packet of a time before `t`.
  virtual void times_from(int64_t t) = 0;
};
// Reads a pcap (or pcapng) file of IPv4/IPv6 TCP (raw IP, Ethernet, Linux cooked, loopback
// link types): the flows that carried bytes, in the order they first show (a SYN included). False with a reason for a file that is not a
// capture or is cut short; packets it cannot read as TCP are skipped, never trusted.
bool read_capture(const std::string& path, std::vector<CapturedFlow>& flows, std::string& error);
// The same as a stream through `sink`: `flows` gets every flow as it first shows (those that carry
// nothing included), `bytes` and `times` left empty. The file is read twice: first for how far
// back its packets' times step, which bounds the times to come.
bool read_capture(const std::string& path, std::deque<CapturedFlow>& flows, FlowSink& sink, std::string& error);

struct KeyChange {
  int64_t at = 0;  // wall_us
  std::string key; // 16 bytes, empty for none
  std::string what;
  size_t line = 0; // in the key log
};
// Reads a key log, sorted by time (lines of one time keep their order). False with the line at
// fault.
bool read_key_log(const std::string& path, std::vector<KeyChange>& out, std::string& error);

} // namespace sim
