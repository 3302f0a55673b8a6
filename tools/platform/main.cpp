// polmon-platform: the monitoring platform's end of the line, for trying a station.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "Platform.h"
#include "WebAssets.h"
#include "WebView.h"
#include "tools/common/Capture.h"
#include "tools/common/Version.h"
#include "tools/common/sys/Io.h"
#include "tools/common/sys/System.h"

namespace {

bool stop_asked() { return sys::stop_requested() != sys::Stop::None; }

const char* const kUsage = "usage: polmon-platform [options]\n"
                           "  --listen [HOST:]PORT   wait for the station on TCP (default 127.0.0.1:0, the system picks the port)\n"
                           "  --connect HOST:PORT    connect to a station that listens\n"
                           "  --serial PATH[:BAUD[:8N1]]  talk over a serial line (or a pseudo-terminal's peer path)\n"
                           "  --scenario FILE        steps to run (default with --standard: every duty an acceptance asks, as the guide lists;\n"
                           "                         without: set interval 1062, read time 1011, start uploads 2011);\n"
                           "                         one step a line, '#' starts a comment:\n"
                           "                           request CN=N [CP=...] [ST= PW= MN= Flag=] [reply=full|ack|none]\n"
                           "                             [expect=accepted|refused|any] [timeout=MS] [split] [junk] [delay=MS]\n"
                           "                             [bad-crc] [bad-length]   send a request, await its 9011 and 9012 or data\n"
                           "                           pause MS                 wait\n"
                           "                           drop                     close the link; the station must come back\n"
                           "                           uploads CN=N [count=K] [timeout=MS]  wait for K uploads of CN arriving\n"
                           "                             from this step's start (default 1; timeout default twice --reply-timeout,\n"
                           "                             for period data its periods and one more)\n"
                           "                           leave CN=N               with --standard 2025 --key, whatever the scenario,\n"
                           "                             the 2025 duties it lacks are added (1002, 1014) and judged (the station's\n"
                           "                             9015, 1014, 1001); this leaves one out, and the summary names it\n"
                           "                         a request's text may hold times, read as its step starts, in local time as\n"
                           "                         yyyyMMddhhmmss: {now}, {today} (00:00:00), with +N or -N and s, m, h or d:\n"
                           "                         {now-1h}, {now+10m}, {today-1d}; another {...} is an error\n"
                           "                         a refused request (QnRtn or ExeRtn not 1, ExeRtn=100 aside) is a problem\n"
                           "                         unless its step says expect=refused (it must be refused) or expect=any;\n"
                           "                         an interval of 0 or less (CP=RtdInterval=0) must be refused\n"
                           "  --periods CN=S[,...]   the period data's periods in seconds (default 2051=60,2061=3600,2031=86400):\n"
                           "                         their DataTime must be on a period's start, the period over when sent; every\n"
                           "                         whole period of the run needs its record, so a station that sends none is broken\n"
                           "  --misbehave LIST       split,junk,bad-crc,bad-length,delay=MS,drop; with --key also key-ack (a\n"
                           "                         9013 to the station's 1014, then the key as a request with its QN) and\n"
                           "                         quiet-heartbeat (no 9013 to a 9015)\n"
                           "  --duration S           keep running at least S seconds after the station came (default 0)\n"
                           "  --wait S               give up when no station came within S seconds (default 30)\n"
                           "  --reply-timeout MS     how long a reply may take (default 5000)\n"
                           "  --name TEXT            name in the output (default platform)\n"
                           "  --mn MN --pw PW --st ST  fields of the requests; the station's data frames must carry ST (without\n"
                           "                         --st: the ST most of its data frames carry, 32 until one came)\n"
                           "  --standard 2017|2025   requests with that Flag and Chinese text; the station's frames must carry\n"
                           "                         the same version, in GB18030 (2017) or UTF-8 (2025), length and CRC over them\n"
                           "  --key TEXT             with --standard 2025: the 16-character key; the station's CN 2000-2999 frames\n"
                           "                         must come encrypted (CRC over the plain data), such requests go out encrypted;\n"
                           "                         the platform also checks packets, resends (RF=1), heartbeats (9015), the\n"
                           "                         hardware identifiers (1001), a new MN (1002) and the key exchange (1014)\n"
                           "  --cipher-form raw|text how requests carry their ciphertext: raw bytes (default) or {0xHH,...} text\n"
                           "  --drop-link AT_S:FOR_S drop the link AT_S seconds after the station came and refuse it for FOR_S\n"
                           "  --ready FILE           write the address (or line) to FILE once ready\n"
                           "  --quiet                no line per frame; the summary only\n"
                           "  --capture FILE         write the link's bytes each way to FILE as pcap (Wireshark, polmon-frame --file)\n"
                           "  --key-log FILE         write the keys in force, with the time each took effect, to FILE\n"
                           "  --web [ADDR:]PORT      serve a live page of the session (stations, frames, values, plots, checks,\n"
                           "                         inspector, CSV) on 127.0.0.1 or ADDR ([::1] for IPv6); PORT 0: the system\n"
                           "                         picks it. Without --duration the platform then runs until Ctrl-C\n"
                           "  --web-csv FILE         the values received, spooled for the page's CSV download (default: a new\n"
                           "                         file in $TMPDIR)\n"
                           "  --report FILE          at the end (also on Ctrl-C), an HTML page of every check with pass or fail,\n"
                           "                         the rule, the frames and their times; the verdict is the summary's\n"
                           "  --report-junit FILE    the same checks as JUnit XML for CI: one testcase per check, and the verdict\n"
                           "  --version              print the version and exit\n"
                           "exit status: 0 the station kept the protocol, 1 it broke it, 2 usage or I/O error, 3 no station\n";

void usage(FILE* out) { std::fputs(kUsage, out); }

struct Link {
  enum Mode { Listen, Connect, Serial } mode = Listen;
  std::string host = "127.0.0.1";
  int port = 0;
  std::string path;
  sim::SerialSettings serial;
  sim::Fd listen, conn;
};

struct Options {
  Link link;
  sim::PlatformOptions opt;
  std::string scenario_file, misbehave, ready, web_addr, web_csv, capture, key_log, report, report_junit;
  double wait_s = 30;
  bool wait_given = false;
  bool quiet = false, cipher_form_given = false;
};

// What the steps of main return when the program goes on; anything else is its exit status.
constexpr int kGoOn = -1;

bool write_file(const std::string& path, const std::string& text) { return sim::write_new_file(path, text); }

int set_address(Options& o, const std::string& v, Link::Mode mode) {
  o.link.mode = mode;
  std::string host;
  if (!sim::split_host_port(v, host, o.link.port)) {
    std::fprintf(stderr, "polmon-platform: bad address %s\n", v.c_str());
    return 2;
  }
  if (!host.empty()) o.link.host = host;
  return kGoOn;
}

int set_serial(Options& o, const std::string& v) {
  o.link.mode = Link::Serial;
  size_t colon = v.find(':');
  o.link.path = v.substr(0, colon);
  if (colon != std::string::npos && !sim::parse_serial_settings(v.substr(colon + 1), o.link.serial)) {
    std::fprintf(stderr, "polmon-platform: bad line settings in %s\n", v.c_str());
    return 2;
  }
  return kGoOn;
}

int set_standard(Options& o, const std::string& v) {
  if (v != "2017" && v != "2025") {
    std::fprintf(stderr, "polmon-platform: --standard is 2017 or 2025\n");
    return 2;
  }
  o.opt.standard = std::atoi(v.c_str());
  o.opt.flag = o.opt.standard == 2025 ? "9" : "5";
  return kGoOn;
}

int set_key(Options& o, const std::string& v) {
  o.opt.key = v;
  std::string error;
  if (!sim::check_key(o.opt.key, error)) {
    std::fprintf(stderr, "polmon-platform: --key: %s\n", error.c_str());
    return 2;
  }
  return kGoOn;
}

int set_cipher_form(Options& o, const std::string& v) {
  if (v != "raw" && v != "text") {
    std::fprintf(stderr, "polmon-platform: --cipher-form is raw or text\n");
    return 2;
  }
  o.cipher_form_given = true;
  o.opt.cipher_form = v == "raw" ? sim::CipherWire::Raw : sim::CipherWire::Text;
  return kGoOn;
}

int set_drop_link(Options& o, const std::string& v) {
  size_t colon = v.find(':');
  char* end1 = nullptr;
  char* end2 = nullptr;
  double at = std::strtod(v.c_str(), &end1);
  double span = colon == std::string::npos ? -1 : std::strtod(v.c_str() + colon + 1, &end2);
  if (colon == std::string::npos || end1 != v.c_str() + colon || !end2 || *end2 != '\0' || at < 0 || span <= 0) {
    std::fprintf(stderr, "polmon-platform: --drop-link wants AT_S:FOR_S, seconds\n");
    return 2;
  }
  o.opt.drop_at_ms = static_cast<int>(at * 1000);
  o.opt.drop_for_ms = static_cast<int>(span * 1000);
  return kGoOn;
}

// The options that take a value, and what each does with it.
struct ValueOption {
  const char* name;
  int (*apply)(Options&, const std::string&);
};
const ValueOption kValueOptions[] = {
    {"--listen", [](Options& o, const std::string& v) { return set_address(o, v, Link::Listen); }},
    {"--connect", [](Options& o, const std::string& v) { return set_address(o, v, Link::Connect); }},
    {"--serial", set_serial},
    {"--scenario", [](Options& o, const std::string& v) { return o.scenario_file = v, kGoOn; }},
    {"--misbehave", [](Options& o, const std::string& v) { return o.misbehave = v, kGoOn; }},
    {"--duration", [](Options& o, const std::string& v) { return o.opt.duration_ms = static_cast<int>(std::atof(v.c_str()) * 1000), kGoOn; }},
    {"--wait", [](Options& o, const std::string& v) { return o.wait_s = std::atof(v.c_str()), o.wait_given = true, kGoOn; }},
    {"--web", [](Options& o, const std::string& v) { return o.web_addr = v, kGoOn; }},
    {"--web-csv", [](Options& o, const std::string& v) { return o.web_csv = v, kGoOn; }},
    {"--reply-timeout", [](Options& o, const std::string& v) { return o.opt.reply_timeout_ms = std::atoi(v.c_str()), kGoOn; }},
    {"--name", [](Options& o, const std::string& v) { return o.opt.name = v, kGoOn; }},
    {"--mn", [](Options& o, const std::string& v) { return o.opt.mn = v, kGoOn; }},
    {"--pw", [](Options& o, const std::string& v) { return o.opt.pw = v, kGoOn; }},
    {"--st", [](Options& o, const std::string& v) { return o.opt.st = v, kGoOn; }},
    {"--standard", set_standard},
    {"--key", set_key},
    {"--cipher-form", set_cipher_form},
    {"--drop-link", set_drop_link},
    {"--periods",
     [](Options& o, const std::string& v) {
       std::string error;
       if (sim::parse_periods(v, o.opt.periods, error)) return kGoOn;
       std::fprintf(stderr, "polmon-platform: %s\n", error.c_str());
       return 2;
     }},
    {"--ready", [](Options& o, const std::string& v) { return o.ready = v, kGoOn; }},
    {"--capture", [](Options& o, const std::string& v) { return o.capture = v, kGoOn; }},
    {"--key-log", [](Options& o, const std::string& v) { return o.key_log = v, kGoOn; }},
    {"--report", [](Options& o, const std::string& v) { return o.report = v, kGoOn; }},
    {"--report-junit", [](Options& o, const std::string& v) { return o.report_junit = v, kGoOn; }},
};

int parse_options(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--quiet") {
      o.quiet = true;
      continue;
    }
    if (a == "-h" || a == "--help") {
      usage(stdout);
      return 0;
    }
    if (a == "--version") return sim::print_version("polmon-platform");
    const ValueOption* option = nullptr;
    for (const ValueOption& v : kValueOptions)
      if (a == v.name) option = &v;
    if (!option) {
      std::fprintf(stderr, "polmon-platform: unknown option %s\n", a.c_str());
      usage(stderr);
      return 2;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "polmon-platform: %s needs a value\n", a.c_str());
      return 2;
    }
    int rc = option->apply(o, argv[++i]);
    if (rc != kGoOn) return rc;
  }
  if ((!o.opt.key.empty() && o.opt.standard != 2025) || (o.cipher_form_given && o.opt.key.empty())) {
    std::fprintf(stderr, "polmon-platform: --key goes with --standard 2025, --cipher-form with --key\n");
    return 2;
  }
  return kGoOn;
}

// The scenario's steps, with --misbehave applied; drops only where the link is TCP.
int load_scenario(Options& o, std::vector<sim::Step>& steps) {
  const sim::PlatformOptions& opt = o.opt;
  std::string text = !opt.standard ? sim::default_scenario() : opt.key.empty() ? sim::standard_scenario() : sim::station_2025_scenario();
  if (!o.scenario_file.empty()) {
    std::ifstream in(o.scenario_file);
    if (!in) {
      std::fprintf(stderr, "polmon-platform: cannot read %s\n", o.scenario_file.c_str());
      return 2;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    text = ss.str();
  }
  std::string error;
  if (!sim::parse_scenario(text, steps, error) || !sim::apply_misbehaviour(o.misbehave, steps, o.opt, error)) {
    std::fprintf(stderr, "polmon-platform: %s\n", error.c_str());
    return 2;
  }
  sim::with_duties(steps, o.opt); // the standard's duties whatever the scenario
  if (o.link.mode == Link::Serial) {
    for (const sim::Step& s : steps)
      if (s.kind == sim::Step::Drop) {
        std::fprintf(stderr, "polmon-platform: drop needs a TCP link\n");
        return 2;
      }
    if (opt.drop_at_ms >= 0) {
      std::fprintf(stderr, "polmon-platform: --drop-link needs a TCP link\n");
      return 2;
    }
  }
  return kGoOn;
}

// The lines on standard output: time, name, text; --quiet keeps the problems only.
struct Console {
  std::string prefix;
  bool quiet = false;
  void say(const std::string& line) const {
    std::string l = sim::clock_text() + " " + prefix + line + "\n";
    std::fwrite(l.data(), 1, l.size(), stdout);
    std::fflush(stdout);
  }
  void log(const std::string& line) const {
    if (!quiet || line.rfind("PROBLEM", 0) == 0) say(line);
  }
};

// --web: the page, watching the platform. `web_hold`: without --duration it stays up until Ctrl-C.
int start_web(Options& o, sim::Platform& platform, const Console& console, std::unique_ptr<sim::WebView>& web, bool& web_hold) {
  if (o.web_addr.empty()) return kGoOn;
  sim::WebOptions web_opt;
  web_opt.name = o.opt.name;
  web_opt.csv_path = o.web_csv;
  std::string host, error;
  if (!sim::split_host_port(o.web_addr, host, web_opt.port)) {
    std::fprintf(stderr, "polmon-platform: bad address %s\n", o.web_addr.c_str());
    return 2;
  }
  if (!host.empty()) web_opt.host = host;
  web = sim::WebView::start(web_opt, error);
  if (!web) {
    console.say(error);
    return 2;
  }
  platform.set_observer(web.get());
  console.say("web view on " + web->url() + " (values spooled to " + web->csv_path() + ")");
  web_hold = o.opt.duration_ms <= 0;
  if (web_hold && !o.wait_given) o.wait_s = 1e9;
  return kGoOn;
}

// Listens or opens the line (a connecting link starts in the loop), then writes --ready.
int open_link(Options& o, const Console& console, const sim::WebView* web) {
  Link& link = o.link;
  std::string ready_text, error;
  if (link.mode == Link::Listen) {
    link.listen = sim::tcp_listen(link.host, link.port, error);
    if (!link.listen.valid()) {
      console.say(error);
      return 2;
    }
    ready_text = link.host + ":" + std::to_string(sim::local_port(link.listen.get()));
    console.say("listening on " + ready_text);
  } else if (link.mode == Link::Serial) {
    link.conn = sim::open_serial(link.path, link.serial, error);
    if (!link.conn.valid()) {
      console.say(error);
      return 2;
    }
    ready_text = link.path;
  } else {
    ready_text = "connect " + link.host + ":" + std::to_string(link.port);
  }
  if (web) ready_text += " " + web->url();
  if (!o.ready.empty() && !write_file(o.ready, ready_text + "\n")) console.say("cannot write the readiness file " + o.ready);
  return kGoOn;
}

// The run: bytes between the link and the platform until the scenario is done or a signal came.
class Session {
public:
  Session(Link& link, sim::Platform& platform, const Console& console, sim::WebView* web, bool web_hold, double wait_s, int answer_ms)
      : m_link(link), m_platform(platform), m_console(console), m_web(web), m_web_hold(web_hold), m_wait_s(wait_s), m_answer_ms(answer_ms) {}
  // --capture, --key-log: the link's bytes and the platform's keys go there too.
  void record(sim::Capture* capture, sim::KeyLog* key_log) {
    m_capture = capture;
    m_key_log = key_log;
  }
  int run();

private:
  // The link came up (`opened`: this end connected) or went down, for the capture.
  void link_up(bool opened);
  void link_down();
  // A key the platform switched to since the last look goes to the key log.
  void note_key();
  // kGoOn, or the exit status the run ends with.
  int keep_link(int64_t now);
  void send_due(int64_t now);
  void wait_and_read(int64_t now);
  void read_link(int64_t now);
  // A connection came while listening: served at once, the link it replaces closed (a
  // reconnecting station's old link may be half-open).
  void accept_link(int64_t now);
  // Closes the link; `why` names it in the summary (empty: the peer closed it).
  // `replaced_silent`: a new connection took the place of one that never spoke.
  void close_link(int64_t now, const std::string& why, bool replaced_silent = false);
  // An accepted connection that sent no frame within the answer timeout of the first request it
  // was sent is closed (a station owes no frame before it is asked).
  void close_if_silent(int64_t now);

  Link& m_link;
  sim::Platform& m_platform;
  const Console& m_console;
  sim::WebView* m_web;
  bool m_web_hold;
  double m_wait_s;
  int m_answer_ms;
  int m_listen_port = 0;
  int64_t m_asked_at = -1;      // when the link's first request went out; -1: none yet
  unsigned m_frames_before = 0; // frames in when it came up
  std::string m_conn_peer;
  int64_t m_started = 0, m_next_connect = 0;
  bool m_held = false;
  char m_buf[4096];
  sim::Capture* m_capture = nullptr;
  sim::KeyLog* m_key_log = nullptr;
  int m_capture_id = -1;
  std::string m_logged_key;
};

void Session::link_up(bool opened) {
  if (!m_capture) return;
  sim::Endpoint local, peer;
  if (m_link.mode == Link::Serial) m_capture_id = m_capture->begin_serial(false);
  else if (sim::socket_endpoints(m_link.conn.get(), local, peer)) m_capture_id = m_capture->begin(local, peer, opened);
}

void Session::link_down() {
  if (m_capture) m_capture->end(m_capture_id);
  m_capture_id = -1;
}

void Session::note_key() {
  if (!m_key_log || m_platform.key() == m_logged_key) return;
  m_key_log->key(m_platform.key(), m_logged_key.empty() ? "platform: --key" : "platform: a new key (1014), taken by the station");
  m_logged_key = m_platform.key();
}

int Session::run() {
  m_listen_port = m_link.mode == Link::Listen ? sim::local_port(m_link.listen.get()) : 0;
  m_started = sim::now_ms();
  m_next_connect = m_started;
  if (m_link.mode == Link::Serial) {
    m_platform.connected(m_started, m_link.path + " " + sim::serial_settings_text(m_link.serial));
    link_up(false);
  }
  note_key();

  while (!stop_asked() && (!m_platform.finished() || m_web_hold)) {
    int64_t now = sim::now_ms();
    if (int rc = keep_link(now); rc != kGoOn) return rc;
    m_platform.tick(now);
    if (m_web) m_web->poll(m_platform);
    if (m_web_hold && m_platform.finished() && !m_held) {
      m_held = true;
      m_console.say("scenario done; the web view stays up until Ctrl-C");
    }
    send_due(now);
    note_key();
    if (m_platform.finished() && !m_web_hold) break;
    wait_and_read(now);
    note_key();
  }
  m_platform.stopped();
  link_down();
  if (m_web) m_web->poll(m_platform, true);
  std::fputs(m_platform.summary().c_str(), stdout);
  std::fflush(stdout);
  if (m_platform.connections() == 0 && !m_platform.broken() && stop_asked()) return 3;
  return m_platform.broken() ? 1 : 0;
}

// Listens again after a refusal, connects out, closes a silent link. Once --wait is over with no
// link: 3 when no connection ever came; a station that came and sent no frame is a broken one.
int Session::keep_link(int64_t now) {
  std::string error;
  // --drop-link: no listening socket while the station is refused, so it finds nobody there
  if (m_link.mode == Link::Listen && !m_link.listen.valid() && !m_platform.refusing(now)) {
    m_link.listen = sim::tcp_listen(m_link.host, m_listen_port, error);
    if (!m_link.listen.valid()) m_console.say("cannot listen again: " + error);
  }
  close_if_silent(now);
  if (m_platform.link_wanted() || m_link.mode == Link::Serial || m_platform.refusing(now)) return kGoOn;
  if (now - m_started > static_cast<int64_t>(m_wait_s * 1000) && m_platform.frames_in() == 0 && !m_link.conn.valid()) {
    const bool came = m_platform.connections() != 0;
    m_console.say(came ? "the station sent no frame within " + std::to_string(static_cast<int>(m_wait_s)) + " s"
                       : "no station came within " + std::to_string(static_cast<int>(m_wait_s)) + " s");
    m_platform.stopped();
    std::fputs(m_platform.summary().c_str(), stdout);
    return came ? 1 : 3;
  }
  if (m_link.mode == Link::Connect && now >= m_next_connect) {
    bool in_progress = false;
    sim::Fd fd = sim::tcp_connect_start(m_link.host, m_link.port, in_progress, error);
    if (fd.valid() && (!in_progress || (sim::wait_writable(fd.get(), 1000) && sim::tcp_connect_result(fd.get()) == 0))) {
      m_link.conn = std::move(fd);
      link_up(true);
      m_platform.connected(sim::now_ms(), sim::peer_text(m_link.conn.get()));
    } else m_next_connect = now + 300;
  }
  return kGoOn;
}

void Session::close_link(int64_t now, const std::string& why, bool replaced_silent) {
  link_down();
  m_link.conn.reset();
  m_platform.disconnected(now, why, replaced_silent);
  m_next_connect = now + 300;
}

void Session::close_if_silent(int64_t now) {
  if (m_link.mode != Link::Listen || !m_link.conn.valid() || m_platform.frames_in() != m_frames_before) return;
  if (m_asked_at < 0 || now - m_asked_at < m_answer_ms) return;
  close_link(now, "the connection from " + m_conn_peer + " sent no frame within " + std::to_string(m_answer_ms) + " ms: closed");
}

void Session::accept_link(int64_t now) {
  sim::Fd c = sim::tcp_accept(m_link.listen.get());
  if (!c.valid()) return;
  const std::string peer = sim::peer_text(c.get());
  // a link that never spoke and gave way before its answer time ran out was no station: what it was
  // asked goes again over the new one
  if (m_link.conn.valid())
    close_link(now, "the connection from " + m_conn_peer + " closed: a new one came from " + peer, m_platform.frames_in() == m_frames_before);
  m_link.conn = std::move(c);
  m_asked_at = -1;
  m_frames_before = m_platform.frames_in();
  m_conn_peer = peer;
  link_up(false);
  m_platform.connected(now, peer);
}

void Session::read_link(int64_t now) {
  long got = sim::read_some(m_link.conn.get(), m_buf, sizeof m_buf);
  if (got > 0) {
    if (m_capture) m_capture->received(m_capture_id, m_buf, static_cast<size_t>(got));
    m_platform.received(m_buf, static_cast<size_t>(got), now);
  } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
    if (m_link.mode == Link::Serial) { // a line has no end: the peer may open it again
      sim::nap_ms(100);
      return;
    }
    close_link(now, std::string());
  }
}

void Session::send_due(int64_t now) {
  for (sim::Platform::Out& o : m_platform.take_due(now)) {
    if (o.drop) {
      if (m_link.mode != Link::Serial) {
        link_down();
        m_link.conn.reset();
        m_platform.disconnected(now);
        m_next_connect = now + 300;
        if (m_platform.refusing(now)) m_link.listen.reset();
      }
      continue;
    }
    // captured before it goes out, so the capture never shows the answer ahead of it
    if (m_capture && m_link.conn.valid()) m_capture->sent(m_capture_id, o.bytes.data(), o.bytes.size());
    if (m_link.conn.valid() && m_asked_at < 0) m_asked_at = now;
    if (!m_link.conn.valid() || !sim::write_all(m_link.conn.get(), o.bytes.data(), o.bytes.size(), 2000))
      m_console.say("could not send " + std::to_string(o.bytes.size()) + " bytes: no link");
  }
}

// Waits for bytes or a station until the platform's next event (200 ms at most), and takes them.
void Session::wait_and_read(int64_t now) {
  int64_t ev = m_platform.next_event(now);
  int timeout = ev < 0 ? 200 : static_cast<int>(ev - sim::now_ms());
  if (timeout < 0) timeout = 0;
  if (timeout > 200) timeout = 200; // re-check the wait for the station and signals
  sim::Handle fds[2];
  bool ready[2] = {false, false};
  int n = 0, conn = -1, listen = -1;
  if (m_link.conn.valid()) fds[conn = n++] = m_link.conn.get();
  if (m_link.mode == Link::Listen && m_link.listen.valid()) fds[listen = n++] = m_link.listen.get();
  if (!sim::wait_readable_any(fds, ready, n, timeout)) return;
  now = sim::now_ms();
  if (conn >= 0 && ready[conn]) read_link(now);
  if (listen >= 0 && ready[listen] && m_link.listen.valid()) accept_link(now);
}

// --report, --report-junit: written once the run is over, however it ended; 2 if one cannot be written.
int write_reports(const Options& o, const sim::Platform& platform, int rc) {
  if (!o.report.empty()) {
    std::string_view css;
    for (const sim::WebAsset* a = sim::web_assets(); a->path; ++a)
      if (std::string_view(a->path) == "/style.css") css = a->body; // the web view's look
    if (!write_file(o.report, platform.report_html(css))) {
      std::fprintf(stderr, "polmon-platform: cannot write the report %s\n", o.report.c_str());
      rc = 2;
    }
  }
  if (!o.report_junit.empty() && !write_file(o.report_junit, platform.report_junit())) {
    std::fprintf(stderr, "polmon-platform: cannot write the report %s\n", o.report_junit.c_str());
    rc = 2;
  }
  return rc;
}

} // namespace

int main(int argc, char** argv) {
  Options o;
  sys::Arguments utf8(argc, argv);
  int rc = parse_options(utf8.argc(), utf8.argv(), o);
  if (rc != kGoOn) return rc;
  std::vector<sim::Step> steps;
  if ((rc = load_scenario(o, steps)) != kGoOn) return rc;
  sys::catch_requests(false);
  const Console console{"[" + o.opt.name + "] ", o.quiet};
  sim::Platform platform(steps, o.opt, [&console](const std::string& line) { console.log(line); });
  std::unique_ptr<sim::WebView> web;
  bool web_hold = false;
  if ((rc = start_web(o, platform, console, web, web_hold)) != kGoOn) return rc;
  std::unique_ptr<sim::Capture> capture;
  std::unique_ptr<sim::KeyLog> key_log;
  std::string error;
  if ((!o.capture.empty() && !(capture = sim::Capture::open(o.capture, error))) ||
      (!o.key_log.empty() && !(key_log = sim::KeyLog::open(o.key_log, error)))) {
    console.say(error);
    return 2;
  }
  if ((rc = open_link(o, console, web.get())) != kGoOn) return rc;
  Session session(o.link, platform, console, web.get(), web_hold, o.wait_s, o.opt.reply_timeout_ms);
  session.record(capture.get(), key_log.get());
  rc = session.run();
  if (capture && !capture->failure().empty()) console.say(capture->failure());
  return write_reports(o, platform, rc);
}
