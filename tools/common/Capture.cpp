#include "Capture.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <set>

#include "tools/common/sys/Io.h"
#include "tools/common/sys/System.h"

namespace sim {

int64_t wall_us() { return sys::wall_us(); }

std::string wall_text(int64_t us) {
  time_t secs = static_cast<time_t>(us / 1000000);
  long micros = static_cast<long>(us % 1000000);
  if (micros < 0) {
    micros += 1000000;
    --secs;
  }
  tm t{};
  char buf[64];
  if (!sys::local_time(secs, t) || !std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &t)) return std::to_string(us) + " us";
  char out[96];
  std::snprintf(out, sizeof out, "%s.%06ld", buf, micros);
  return out;
}

bool socket_endpoints(Handle fd, Endpoint& local, Endpoint& peer) {
  uint32_t lip = 0, pip = 0;
  uint16_t lport = 0, pport = 0;
  if (!socket_addresses(fd, lip, lport, pip, pport)) return false;
  local = Endpoint{lip, lport};
  peer = Endpoint{pip, pport};
  return true;
}

namespace {

constexpr uint8_t kFin = 0x01, kSyn = 0x02, kPsh = 0x08, kAck = 0x10;
constexpr size_t kHeaders = 40;                  // IPv4 and TCP, no options
constexpr size_t kMaxPayload = 65535 - kHeaders; // what an IPv4 packet's length field holds

void put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
void put32(uint8_t* p, uint32_t v) {
  put16(p, v >> 16);
  put16(p + 2, v);
}
uint32_t get16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }
uint32_t get32(const uint8_t* p) { return get16(p) << 16 | get16(p + 2); }

// The ones' complement sum of the internet checksum, folded at the end.
uint32_t sum16(const uint8_t* p, size_t n, uint32_t sum = 0) {
  for (; n > 1; p += 2, n -= 2) sum += get16(p);
  if (n) sum += static_cast<uint32_t>(p[0]) << 8;
  return sum;
}
uint16_t fold(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

} // namespace

std::unique_ptr<Capture> Capture::open(const std::string& path, std::string& error) {
  std::unique_ptr<Capture> c(new Capture());
  pcap_t* p = ::pcap_open_dead_with_tstamp_precision(DLT_RAW, 65535, PCAP_TSTAMP_PRECISION_MICRO);
  if (!p) {
    error = "cannot start a capture";
    return nullptr;
  }
  c->m_pcap = p;
  pcap_dumper_t* d = ::pcap_dump_open(p, path.c_str());
  if (!d) {
    error = std::string("cannot write the capture: ") + ::pcap_geterr(p); // it names the path
    return nullptr;
  }
  c->m_dumper = d;
  c->m_path = path;
  c->m_buf.resize(65535);
  ::pcap_dump_flush(d);
  return c;
}

Capture::~Capture() {
  std::lock_guard<std::mutex> lock(m_mu);
  int64_t now = wall_us();
  for (auto& kv : m_conns) { // a run that stops with links up still closes them in the capture
    packet(kv.second, true, kFin | kAck, nullptr, 0, now);
    packet(kv.second, false, kFin | kAck, nullptr, 0, now);
  }
  if (m_dumper) ::pcap_dump_close(static_cast<pcap_dumper_t*>(m_dumper));
  if (m_pcap) ::pcap_close(static_cast<pcap_t*>(m_pcap));
}

std::string Capture::failure() const {
  std::lock_guard<std::mutex> lock(m_mu);
  return m_failure;
}

int Capture::begin(Endpoint local, Endpoint peer, bool local_opened) {
  std::lock_guard<std::mutex> lock(m_mu);
  int id = m_next_id++;
  Conn c{local, peer, m_next_isn, m_next_isn + 0x01000000u};
  m_next_isn += 0x02000000u;
  int64_t now = wall_us();
  // SYN from the end that connected, SYN-ACK back, ACK: each side's sequence starts one on.
  packet(c, local_opened, kSyn, nullptr, 0, now);
  (local_opened ? c.local_seq : c.peer_seq) += 1;
  packet(c, !local_opened, kSyn | kAck, nullptr, 0, now);
  (local_opened ? c.peer_seq : c.local_seq) += 1;
  packet(c, local_opened, kAck, nullptr, 0, now);
  m_conns[id] = c;
  return id;
}

int Capture::begin_serial(bool station) {
  Endpoint st = kSerialStation, pl = kSerialPlatform;
  {
    std::lock_guard<std::mutex> lock(m_mu);
    st.port = static_cast<uint16_t>(st.port + m_serial_ports++ % 50000);
  }
  return station ? begin(st, pl, true) : begin(pl, st, false);
}

void Capture::payload(int id, bool from_local, const void* data, size_t n) {
  if (!data || n == 0) return;
  std::lock_guard<std::mutex> lock(m_mu);
  auto it = m_conns.find(id);
  if (it == m_conns.end()) return;
  Conn& c = it->second;
  int64_t now = wall_us();
  const uint8_t* p = static_cast<const uint8_t*>(data);
  for (size_t done = 0; done < n;) {
    size_t k = std::min(n - done, kMaxPayload);
    packet(c, from_local, kPsh | kAck, p + done, k, now);
    (from_local ? c.local_seq : c.peer_seq) += static_cast<uint32_t>(k);
    done += k;
  }
}

void Capture::end(int id) {
  std::lock_guard<std::mutex> lock(m_mu);
  auto it = m_conns.find(id);
  if (it == m_conns.end()) return;
  Conn c = it->second;
  m_conns.erase(it);
  int64_t now = wall_us();
  packet(c, true, kFin | kAck, nullptr, 0, now);
  c.local_seq += 1;
  packet(c, false, kFin | kAck, nullptr, 0, now);
  c.peer_seq += 1;
  packet(c, true, kAck, nullptr, 0, now);
}

void Capture::packet(const Conn& c, bool from_local, uint8_t flags, const uint8_t* data, size_t n, int64_t at) {
  if (!m_dumper || !m_failure.empty()) return;
  const Endpoint& src = from_local ? c.local : c.peer;
  const Endpoint& dst = from_local ? c.peer : c.local;
  uint8_t* ip = m_buf.data();
  uint8_t* tcp = ip + 20;
  size_t total = kHeaders + n;
  std::memset(ip, 0, kHeaders);
  ip[0] = 0x45;
  put16(ip + 2, static_cast<uint32_t>(total));
  put16(ip + 6, 0x4000); // don't fragment
  ip[8] = 64;
  ip[9] = IPPROTO_TCP;
  put32(ip + 12, src.addr);
  put32(ip + 16, dst.addr);
  put16(ip + 10, fold(sum16(ip, 20)));
  put16(tcp, src.port);
  put16(tcp + 2, dst.port);
  put32(tcp + 4, from_local ? c.local_seq : c.peer_seq);
  put32(tcp + 8, (flags & kAck) ? (from_local ? c.peer_seq : c.local_seq) : 0);
  tcp[12] = 5 << 4;
  tcp[13] = flags;
  put16(tcp + 14, 65535);
  if (n) std::memcpy(tcp + 20, data, n);
  // pseudo-header: addresses, protocol, TCP length
  uint32_t sum = sum16(ip + 12, 8) + IPPROTO_TCP + static_cast<uint32_t>(20 + n);
  put16(tcp + 16, fold(sum16(tcp, 20 + n, sum)));

  pcap_pkthdr h{};
  h.ts.tv_sec = static_cast<decltype(h.ts.tv_sec)>(at / 1000000);
  h.ts.tv_usec = static_cast<decltype(h.ts.tv_usec)>(at % 1000000);
  h.caplen = h.len = static_cast<bpf_u_int32>(total);
  pcap_dumper_t* d = static_cast<pcap_dumper_t*>(m_dumper);
  ::pcap_dump(reinterpret_cast<u_char*>(d), &h, ip);
  // flushed at once: the capture is readable while the run goes on, and whole when it is killed
  if (::pcap_dump_flush(d) != 0) m_failure = "writing the capture " + m_path + " failed: " + std::strerror(errno);
}

std::unique_ptr<KeyLog> KeyLog::open(const std::string& path, std::string& error) {
  Handle fd = sys::create_file(path, true);
  if (fd == kNoHandle) {
    error = "cannot write the key log " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  std::unique_ptr<KeyLog> log(new KeyLog());
  log->m_fd = fd;
  static const char kHead[] = "# polmon key log: HJ212-KEY TIME KEY WHAT; TIME in seconds since 1970 (UTC), the capture's clock;"
                              " KEY 32 hex digits, - for none\n";
  if (!write_all(fd, kHead, sizeof kHead - 1, 5000)) {
    error = "cannot write the key log " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  return log;
}

KeyLog::~KeyLog() { sys::close_file(m_fd); }

void KeyLog::key(const std::string& key, const std::string& what) {
  int64_t at = wall_us();
  char head[64];
  std::snprintf(head, sizeof head, "HJ212-KEY %lld.%06lld ", static_cast<long long>(at / 1000000), static_cast<long long>(at % 1000000));
  std::string line = head;
  static const char kHex[] = "0123456789abcdef";
  if (key.empty()) line += '-';
  for (unsigned char c : key) {
    line += kHex[c >> 4];
    line += kHex[c & 15];
  }
  line += ' ';
  for (char c : what) line += (c == '\n' || c == '\r') ? ' ' : c; // one line per key, whatever `what` holds
  line += '\n';
  std::lock_guard<std::mutex> lock(m_mu);
  (void)write_all(m_fd, line.data(), line.size(), 5000);
}

int64_t CapturedFlow::time_at(size_t offset) const {
  auto it = std::upper_bound(times.begin(), times.end(), offset, [](size_t off, const std::pair<size_t, int64_t>& t) { return off < t.first; });
  if (it == times.begin()) return times.empty() ? 0 : times.front().second;
  return std::prev(it)->second;
}

namespace {

// Where the IP packet starts in a frame of `link`; false for what is not IP.
bool ip_start(int link, const uint8_t* p, size_t n, size_t& at) {
  switch (link) {
  case DLT_RAW:
#ifdef DLT_IPV4
  case DLT_IPV4:
  case DLT_IPV6:
#endif
    at = 0;
    return true;
  case DLT_NULL:
  case DLT_LOOP: at = 4; return n >= 4;
  case DLT_EN10MB: {
    if (n < 14) return false;
    at = 14;
    uint32_t type = get16(p + 12);
    for (int tags = 0; (type == 0x8100 || type == 0x88A8) && tags < 2; ++tags) { // VLAN tags
      if (n < at + 4) return false;
      type = get16(p + at + 2);
      at += 4;
    }
    return type == 0x0800 || type == 0x86DD;
  }
  case DLT_LINUX_SLL: at = 16; return n >= 16 && (get16(p + 14) == 0x0800 || get16(p + 14) == 0x86DD);
#ifdef DLT_LINUX_SLL2
  case DLT_LINUX_SLL2: at = 20; return n >= 20 && (get16(p) == 0x0800 || get16(p) == 0x86DD);
#endif
  default: return false;
  }
}

struct Segment {
  std::string src, dst; // "addr:port"
  std::string key;      // raw addresses and ports, for telling flows apart
  uint32_t seq = 0;
  uint8_t flags = 0;
  int window_scale = -1; // the shift a SYN's window scale option announces; -1: none
  const uint8_t* data = nullptr;
  size_t n = 0;
};

std::string address_text(int family, const uint8_t* addr, uint32_t port) {
  char buf[INET6_ADDRSTRLEN] = "?";
  ::inet_ntop(family, addr, buf, sizeof buf);
  return family == AF_INET6 ? "[" + std::string(buf) + "]:" + std::to_string(port) : std::string(buf) + ":" + std::to_string(port);
}

// A TCP segment out of an IP packet; false for anything else (fragments, other protocols,
// IPv6 extension headers, lengths that do not fit).
bool tcp_segment(const uint8_t* p, size_t n, Segment& s) {
  if (n < 1) return false;
  int family;
  size_t tcp_at, end;
  const uint8_t *src, *dst;
  size_t alen;
  if ((p[0] >> 4) == 4) {
    size_t ihl = static_cast<size_t>(p[0] & 15) * 4;
    if (n < 20 || ihl < 20 || ihl > n || p[9] != IPPROTO_TCP) return false;
    if (get16(p + 6) & 0x3FFF) return false; // a fragment
    size_t total = get16(p + 2);
    if (total < ihl || total > n) return false;
    family = AF_INET;
    src = p + 12;
    dst = p + 16;
    alen = 4;
    tcp_at = ihl;
    end = total;
  } else if ((p[0] >> 4) == 6) {
    if (n < 40 || p[6] != IPPROTO_TCP) return false;
    size_t total = 40 + get16(p + 4);
    if (total > n) return false;
    family = AF_INET6;
    src = p + 8;
    dst = p + 24;
    alen = 16;
    tcp_at = 40;
    end = total;
  } else {
    return false;
  }
  if (end < tcp_at + 20) return false;
  const uint8_t* t = p + tcp_at;
  size_t off = static_cast<size_t>(t[12] >> 4) * 4;
  if (off < 20 || tcp_at + off > end) return false;
  uint32_t sport = get16(t), dport = get16(t + 2);
  s.src = address_text(family, src, sport);
  s.dst = address_text(family, dst, dport);
  s.key.assign(reinterpret_cast<const char*>(src), alen);
  s.key.append(reinterpret_cast<const char*>(t), 2);
  s.key.append(reinterpret_cast<const char*>(dst), alen);
  s.key.append(reinterpret_cast<const char*>(t + 2), 2);
  s.seq = get32(t + 4);
  s.flags = t[13];
  for (size_t o = 20; (s.flags & 0x02) && o < off;) { // options: kind, length, value; 0 ends them, 1 pads
    if (t[o] == 0) break;
    if (t[o] == 1) {
      ++o;
      continue;
    }
    if (o + 1 >= off || t[o + 1] < 2 || o + t[o + 1] > off) break;
    if (t[o] == 3 && t[o + 1] == 3) s.window_scale = t[o + 2];
    o += t[o + 1];
  }
  s.data = t + off;
  s.n = end - tcp_at - off;
  return true;
}

// The largest receive window: 65535 bytes shifted by at most 14.
constexpr uint32_t kWindowUnscaled = 65535, kWindowLargest = kWindowUnscaled << 14;

// What every direction's reassembly shares: where the bytes go, and the times of the segments
// still waiting in any of them (their bytes go on later, with these times).
struct Reassembly {
  FlowSink& sink;
  std::multiset<int64_t> waiting_times;
};

// One direction as a receiver reassembles it: bytes go on in sequence order; a segment ahead of
// the next byte waits until the bytes before it came (a late segment, a retransmission after a
// loss), and what is seen twice (overlaps, retransmissions) goes in once. A sender never sends
// beyond a receive window past what its peer acknowledged, so bytes beyond the window past a
// hole mean the peer had the hole's bytes and the capture alone lost them: the hole is certain.
struct FlowState {
  size_t index = 0; // into the flows
  bool synced = false;
  uint32_t next = 0;                // the sequence number of the next new byte
  int syn_scale = -2;               // this direction's SYN: the window scale it announced, -1 none, -2 not seen
  uint32_t window = kWindowLargest; // the receiver's window at most, as far as the handshake tells
  uint32_t far_end = 0;             // where the furthest waiting segment ends
  bool fin = false;                 // a FIN came, at `fin_at`
  uint32_t fin_at = 0;
  bool ended = true; // the sink was told the stream ended, and no byte came since
  struct Waiting {
    std::string bytes;
    int64_t t;
  };
  std::map<uint32_t, Waiting> waiting; // ahead of `next`, by their offset from the first one kept (wrap-safe below)

  // Adds the bytes at `seq` of a packet of time `t`: in place, or waiting.
  void add(Reassembly& r, CapturedFlow& flow, uint32_t seq, const uint8_t* bytes, size_t n, int64_t t) {
    const int32_t ahead = static_cast<int32_t>(seq - next);
    if (ahead > 0) {
      const uint32_t end = seq + static_cast<uint32_t>(n);
      if (waiting.empty() || static_cast<int32_t>(end - far_end) > 0) far_end = end;
      auto [it, fresh] = waiting.try_emplace(seq);
      if (n > it->second.bytes.size()) {
        if (!fresh) r.waiting_times.erase(r.waiting_times.find(it->second.t));
        it->second = Waiting{std::string(reinterpret_cast<const char*>(bytes), n), t};
        r.waiting_times.insert(t);
      }
      while (!waiting.empty() && static_cast<uint32_t>(far_end - next) > window) skip_hole(r, flow);
      return;
    }
    const size_t seen = static_cast<size_t>(-static_cast<int64_t>(ahead));
    if (seen < n) append(r, flow, bytes + seen, n - seen, t);
    drain(r, flow);
  }
  // The waiting segments the stream has reached.
  void drain(Reassembly& r, CapturedFlow& flow) {
    for (auto it = waiting.begin(); it != waiting.end();) {
      const int32_t ahead = static_cast<int32_t>(it->first - next);
      if (ahead > 0) {
        ++it;
        continue;
      }
      const size_t seen = static_cast<size_t>(-static_cast<int64_t>(ahead));
      Waiting w = std::move(it->second);
      waiting.erase(it);
      r.waiting_times.erase(r.waiting_times.find(w.t));
      if (seen < w.bytes.size()) append(r, flow, reinterpret_cast<const uint8_t*>(w.bytes.data()) + seen, w.bytes.size() - seen, w.t);
      it = waiting.begin(); // `next` moved: earlier keys may be due now
    }
  }
  // The capture ended (or the connection did) with segments still waiting: each true gap is
  // recorded once, with its size and place, and the stream goes on behind it. The sink hears of
  // the end.
  void close(Reassembly& r, CapturedFlow& flow) {
    while (!waiting.empty()) skip_hole(r, flow);
    end(r, flow);
  }
  // A FIN reached with nothing before it missing: the stream is over, though the capture goes on.
  void end_at_fin(Reassembly& r, CapturedFlow& flow) {
    if (fin && next == fin_at && waiting.empty()) end(r, flow);
  }
  void end(Reassembly& r, CapturedFlow& flow) {
    if (!ended) r.sink.ended(flow);
    ended = true;
  }
  // The hole before the nearest waiting segment, recorded; the stream goes on behind it.
  void skip_hole(Reassembly& r, CapturedFlow& flow) {
    auto nearest = std::min_element(waiting.begin(), waiting.end(), [this](const auto& a, const auto& b) {
      return static_cast<uint32_t>(a.first - next) < static_cast<uint32_t>(b.first - next);
    });
    const uint32_t gap = nearest->first - next;
    flow.gaps.emplace_back(flow.length, gap);
    flow.missing += gap;
    next = nearest->first;
    drain(r, flow);
  }
  void append(Reassembly& r, CapturedFlow& flow, const uint8_t* bytes, size_t n, int64_t t) {
    ended = false;
    r.sink.bytes(flow, reinterpret_cast<const char*>(bytes), n, t);
    flow.length += n;
    next += static_cast<uint32_t>(n);
  }
};

// The state of the segment's direction, a new flow when it shows first or its addresses and
// ports open a new connection (a fresh SYN).
FlowState& flow_state(const Segment& s, Reassembly& r, std::deque<CapturedFlow>& flows, std::map<std::string, FlowState>& state,
                      std::map<std::string, int>& connections, int& next_connection) {
  std::string reverse = s.key.substr(s.key.size() / 2) + s.key.substr(0, s.key.size() / 2);
  bool fresh_syn = (s.flags & 0x02) && !(s.flags & 0x10);
  auto it = state.find(s.key);
  if (fresh_syn && it != state.end()) { // the same addresses and ports again: a new connection
    for (const std::string& k : {s.key, reverse}) {
      auto old = state.find(k);
      if (old != state.end()) old->second.close(r, flows[old->second.index]);
      state.erase(k);
      connections.erase(k);
    }
    it = state.end();
  }
  if (it != state.end()) return it->second;
  auto c = connections.find(reverse);
  int number = c != connections.end() ? c->second : next_connection++;
  connections[s.key] = number;
  CapturedFlow f;
  f.index = flows.size();
  f.connection = number;
  f.from = s.src;
  f.to = s.dst;
  flows.push_back(std::move(f));
  FlowState fresh;
  fresh.index = flows.size() - 1;
  return state.emplace(s.key, std::move(fresh)).first->second;
}

// Each direction's window once the SYN of `a` is seen (`b`: the other direction, when seen): the
// receiver's announced scale when both SYNs announced one, none when either SYN lacks it.
void set_windows(FlowState& a, FlowState* b) {
  const int other = b ? b->syn_scale : -2;
  const auto window = [](int own, int receiver) {
    if (own == -1 || receiver == -1) return kWindowUnscaled;
    if (own >= 0 && receiver >= 0) return kWindowUnscaled << std::min(receiver, 14);
    return kWindowLargest; // a SYN not seen: any window may be in force
  };
  a.window = window(a.syn_scale, other);
  if (b) b->window = window(other, a.syn_scale);
}

} // namespace

namespace {

pcap_t* open_capture(const std::string& path, std::string& error) {
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  pcap_t* p = ::pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_MICRO, errbuf);
  if (!p) error = path + ": not a capture libpcap reads (" + errbuf + ")";
  return p;
}

int64_t packet_time(const pcap_pkthdr& h) { return static_cast<int64_t>(h.ts.tv_sec) * 1000000 + h.ts.tv_usec; }

// The capture's packets, and how far at most a packet's time lies before an earlier one's (0 when
// the times never step back: merged interfaces step back, one clock does not).
struct TimeSteps {
  size_t packets = 0;
  int64_t back = 0;
  bool ok = true;
  std::string error;
};

TimeSteps time_steps(pcap_t* p, const std::string& path) {
  TimeSteps steps;
  int64_t latest = 0;
  for (;;) {
    pcap_pkthdr* h = nullptr;
    const u_char* data = nullptr;
    const int rc = ::pcap_next_ex(p, &h, &data);
    if (rc == PCAP_ERROR_BREAK) break; // the end of the file
    if (rc != 1) {
      steps.error = path + ": cut short or damaged after " + std::to_string(steps.packets) + " packets (" + ::pcap_geterr(p) + ")";
      steps.ok = false;
      break;
    }
    const int64_t t = packet_time(*h);
    if (steps.packets++ == 0 || t > latest) latest = t;
    steps.back = std::max(steps.back, latest - t);
  }
  return steps;
}

// Collects each flow's stream whole, for read_capture into flows.
class WholeFlows : public FlowSink {
public:
  explicit WholeFlows(std::deque<CapturedFlow>& flows) : m_flows(flows) {}
  void bytes(const CapturedFlow& flow, const char* data, size_t n, int64_t t) override {
    CapturedFlow& whole = m_flows[flow.index];
    whole.times.emplace_back(whole.bytes.size(), t);
    whole.bytes.append(data, n);
  }
  void ended(const CapturedFlow&) override {}
  void times_from(int64_t) override {}

private:
  std::deque<CapturedFlow>& m_flows;
};

} // namespace

bool read_capture(const std::string& path, std::vector<CapturedFlow>& flows, std::string& error) {
  std::deque<CapturedFlow> all;
  WholeFlows whole(all);
  const bool ok = read_capture(path, all, whole, error);
  // a direction that carried nothing (the handshake's, a silent peer's) is no stream to read
  for (CapturedFlow& f : all)
    if (!f.bytes.empty()) flows.push_back(std::move(f));
  return ok;
}

bool read_capture(const std::string& path, std::deque<CapturedFlow>& flows, FlowSink& sink, std::string& error) {
  // the same packets twice: the second reading stops where the first did, should the file grow
  pcap_t* p = open_capture(path, error);
  if (!p) return false;
  const TimeSteps steps = time_steps(p, path);
  ::pcap_close(p);
  if (!(p = open_capture(path, error))) return false;
  const int link = ::pcap_datalink(p);
  Reassembly r{sink, {}};
  std::map<std::string, FlowState> state; // flow key -> its state
  std::map<std::string, int> connections; // both directions' keys -> connection number
  int next_connection = 1;
  int64_t latest = 0;
  bool ok = true; // the second reading's
  for (size_t packets = 0; packets < steps.packets; ++packets) {
    pcap_pkthdr* h = nullptr;
    const u_char* data = nullptr;
    const int rc = ::pcap_next_ex(p, &h, &data);
    if (rc != 1) {
      error = path + ": cut short or damaged after " + std::to_string(packets) + " packets (" +
              (rc == PCAP_ERROR_BREAK ? std::string("it ended sooner on a second reading") : ::pcap_geterr(p)) + ")";
      ok = false;
      break;
    }
    const int64_t t = packet_time(*h);
    if (packets == 0 || t > latest) latest = t;
    size_t at = 0;
    Segment s;
    if (ip_start(link, data, h->caplen, at) && tcp_segment(data + at, h->caplen - at, s)) {
      FlowState& st = flow_state(s, r, flows, state, connections, next_connection);
      if (s.flags & 0x02) {
        st.synced = true;
        st.next = s.seq + 1;
        st.syn_scale = s.window_scale;
        auto reverse = state.find(s.key.substr(s.key.size() / 2) + s.key.substr(0, s.key.size() / 2));
        set_windows(st, reverse == state.end() ? nullptr : &reverse->second);
      } else {
        if (s.n != 0) {
          if (!st.synced) {
            st.synced = true;
            st.next = s.seq;
          }
          st.add(r, flows[st.index], s.seq, s.data, s.n, t);
        }
        if ((s.flags & 0x01) && st.synced) {
          st.fin = true;
          st.fin_at = s.seq + static_cast<uint32_t>(s.n);
        }
        st.end_at_fin(r, flows[st.index]);
      }
    }
    const int64_t from = latest - steps.back;
    sink.times_from(r.waiting_times.empty() ? from : std::min(from, *r.waiting_times.begin()));
  }
  for (auto& [key, st] : state) st.close(r, flows[st.index]);
  ::pcap_close(p);
  if (ok && !steps.ok) error = steps.error;
  return ok && steps.ok;
}

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "SECONDS.MICROS" (1 to 6 fraction digits) into microseconds.
bool parse_time(const std::string& text, int64_t& us) {
  size_t dot = text.find('.');
  std::string secs = text.substr(0, dot), frac = dot == std::string::npos ? std::string() : text.substr(dot + 1);
  if (secs.empty() || secs.size() > 12 || frac.size() > 6 || secs.find_first_not_of("0123456789") != std::string::npos ||
      frac.find_first_not_of("0123456789") != std::string::npos || (dot != std::string::npos && frac.empty()))
    return false;
  us = std::stoll(secs) * 1000000;
  if (!frac.empty()) us += std::stoll(frac + std::string(6 - frac.size(), '0'));
  return true;
}

} // namespace

bool read_key_log(const std::string& path, std::vector<KeyChange>& out, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read the key log " + path;
    return false;
  }
  std::string line;
  size_t number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t a = line.find_first_not_of(" \t");
    if (a == std::string::npos || line[a] == '#') continue;
    // label, time, key, then free text
    size_t b = line.find(' ', a);
    if (line.compare(a, b == std::string::npos ? std::string::npos : b - a, "HJ212-KEY") != 0) continue; // another log's label
    size_t t0 = b == std::string::npos ? b : line.find_first_not_of(' ', b);
    size_t t1 = t0 == std::string::npos ? t0 : line.find(' ', t0);
    size_t k0 = t1 == std::string::npos ? t1 : line.find_first_not_of(' ', t1);
    size_t k1 = k0 == std::string::npos ? k0 : line.find(' ', k0);
    KeyChange c;
    c.line = number;
    std::string key_text = k0 == std::string::npos ? std::string() : line.substr(k0, k1 == std::string::npos ? std::string::npos : k1 - k0);
    if (t0 == std::string::npos || !parse_time(line.substr(t0, t1 == std::string::npos ? std::string::npos : t1 - t0), c.at) ||
        (key_text != "-" && key_text.size() != 32)) {
      error = path + " line " + std::to_string(number) + ": want \"HJ212-KEY SECONDS.MICROS KEY WHAT\", KEY 32 hex digits or -";
      return false;
    }
    for (size_t i = 0; key_text != "-" && i < 32; i += 2) {
      int hi = hex_digit(key_text[i]), lo = hex_digit(key_text[i + 1]);
      if (hi < 0 || lo < 0) {
        error = path + " line " + std::to_string(number) + ": the key is not 32 hex digits";
        return false;
      }
      c.key += static_cast<char>(hi << 4 | lo);
    }
    size_t w = k1 == std::string::npos ? k1 : line.find_first_not_of(' ', k1);
    if (w != std::string::npos) c.what = line.substr(w);
    out.push_back(std::move(c));
  }
  std::stable_sort(out.begin(), out.end(), [](const KeyChange& x, const KeyChange& y) { return x.at < y.at; });
  return true;
}

} // namespace sim
