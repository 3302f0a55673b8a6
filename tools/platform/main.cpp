// polmon-platform: the monitoring platform's end of the line, for trying a station.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "Io.h"
#include "Platform.h"
#include "Version.h"
#include "WebView.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

void usage(FILE* out) {
  std::fprintf(out,
               "usage: polmon-platform [options]\n"
               "  --listen [HOST:]PORT   wait for the station on TCP (default 127.0.0.1:0, the system picks the port)\n"
               "  --connect HOST:PORT    connect to a station that listens\n"
               "  --serial PATH[:BAUD[:8N1]]  talk over a serial line (or a pseudo-terminal's peer path)\n"
               "  --scenario FILE        steps to run (default: set interval 1062, read time 1011, start uploads 2011)\n"
               "  --misbehave LIST       split,junk,bad-crc,bad-length,delay=MS,drop; with --key also key-ack (a\n"
               "                         9013 to the station's 1014, then the key as a request with its QN) and\n"
               "                         quiet-heartbeat (no 9013 to a 9015)\n"
               "  --duration S           keep running at least S seconds after the station came (default 0)\n"
               "  --wait S               give up when no station came within S seconds (default 30)\n"
               "  --reply-timeout MS     how long a reply may take (default 5000)\n"
               "  --name TEXT            name in the output (default platform)\n"
               "  --mn MN --pw PW --st ST  fields of the requests\n"
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
               "  --web [ADDR:]PORT      serve a live page of the session (stations, frames, values, plots, checks,\n"
               "                         inspector, CSV) on 127.0.0.1 or ADDR; PORT 0: the system picks it. Without\n"
               "                         --duration the platform then runs until Ctrl-C\n"
               "  --web-csv FILE         the values received, spooled for the page's CSV download (default: a new\n"
               "                         file in $TMPDIR)\n"
               "  --version              print the version and exit\n"
               "exit status: 0 the station kept the protocol, 1 it broke it, 2 usage or I/O error, 3 no station\n");
}

struct Link {
  enum Mode { Listen, Connect, Serial } mode = Listen;
  std::string host = "127.0.0.1";
  int port = 0;
  std::string path;
  sim::SerialSettings serial;
  sim::Fd listen, conn;
};

bool write_file(const std::string& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = sim::write_all(fd, text.data(), text.size(), 5000);
  ::close(fd);
  return ok;
}

} // namespace

int main(int argc, char** argv) {
  Link link;
  sim::PlatformOptions opt;
  std::string scenario_file, misbehave, ready, web_addr, web_csv, error;
  double wait_s = 30;
  bool wait_given = false;
  bool quiet = false, cipher_form_given = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "polmon-platform: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--listen" || a == "--connect") {
      link.mode = a == "--listen" ? Link::Listen : Link::Connect;
      std::string v = next();
      std::string host;
      if (!sim::split_host_port(v, host, link.port)) {
        std::fprintf(stderr, "polmon-platform: bad address %s\n", v.c_str());
        return 2;
      }
      if (!host.empty()) link.host = host;
    } else if (a == "--serial") {
      link.mode = Link::Serial;
      std::string v = next();
      size_t colon = v.find(':');
      link.path = v.substr(0, colon);
      if (colon != std::string::npos && !sim::parse_serial_settings(v.substr(colon + 1), link.serial)) {
        std::fprintf(stderr, "polmon-platform: bad line settings in %s\n", v.c_str());
        return 2;
      }
    } else if (a == "--scenario") scenario_file = next();
    else if (a == "--misbehave") misbehave = next();
    else if (a == "--duration") opt.duration_ms = static_cast<int>(std::atof(next().c_str()) * 1000);
    else if (a == "--wait") wait_s = std::atof(next().c_str()), wait_given = true;
    else if (a == "--web") web_addr = next();
    else if (a == "--web-csv") web_csv = next();
    else if (a == "--reply-timeout") opt.reply_timeout_ms = std::atoi(next().c_str());
    else if (a == "--name") opt.name = next();
    else if (a == "--mn") opt.mn = next();
    else if (a == "--pw") opt.pw = next();
    else if (a == "--st") opt.st = next();
    else if (a == "--standard") {
      std::string v = next();
      if (v != "2017" && v != "2025") {
        std::fprintf(stderr, "polmon-platform: --standard is 2017 or 2025\n");
        return 2;
      }
      opt.standard = std::atoi(v.c_str());
      opt.flag = opt.standard == 2025 ? "9" : "5";
    }
    else if (a == "--key") {
      opt.key = next();
      if (!sim::check_key(opt.key, error)) {
        std::fprintf(stderr, "polmon-platform: --key: %s\n", error.c_str());
        return 2;
      }
    } else if (a == "--cipher-form") {
      std::string v = next();
      if (v != "raw" && v != "text") {
        std::fprintf(stderr, "polmon-platform: --cipher-form is raw or text\n");
        return 2;
      }
      cipher_form_given = true;
      opt.cipher_form = v == "raw" ? sim::CipherWire::Raw : sim::CipherWire::Text;
    } else if (a == "--drop-link") {
      std::string v = next();
      size_t colon = v.find(':');
      char* end1 = nullptr;
      char* end2 = nullptr;
      double at = std::strtod(v.c_str(), &end1);
      double span = colon == std::string::npos ? -1 : std::strtod(v.c_str() + colon + 1, &end2);
      if (colon == std::string::npos || end1 != v.c_str() + colon || !end2 || *end2 != '\0' || at < 0 || span <= 0) {
        std::fprintf(stderr, "polmon-platform: --drop-link wants AT_S:FOR_S, seconds\n");
        return 2;
      }
      opt.drop_at_ms = static_cast<int>(at * 1000);
      opt.drop_for_ms = static_cast<int>(span * 1000);
    }
    else if (a == "--ready") ready = next();
    else if (a == "--quiet") quiet = true;
    else if (a == "-h" || a == "--help") {
      usage(stdout);
      return 0;
    } else if (a == "--version") {
      return sim::print_version("polmon-platform");
    } else {
      std::fprintf(stderr, "polmon-platform: unknown option %s\n", a.c_str());
      usage(stderr);
      return 2;
    }
  }

  if ((!opt.key.empty() && opt.standard != 2025) || (cipher_form_given && opt.key.empty())) {
    std::fprintf(stderr, "polmon-platform: --key goes with --standard 2025, --cipher-form with --key\n");
    return 2;
  }
  std::string text = !opt.standard ? sim::default_scenario() : opt.key.empty() ? sim::standard_scenario() : sim::station_2025_scenario();
  if (!scenario_file.empty()) {
    std::ifstream in(scenario_file);
    if (!in) {
      std::fprintf(stderr, "polmon-platform: cannot read %s\n", scenario_file.c_str());
      return 2;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    text = ss.str();
  }
  std::vector<sim::Step> steps;
  if (!sim::parse_scenario(text, steps, error) || !sim::apply_misbehaviour(misbehave, steps, opt, error)) {
    std::fprintf(stderr, "polmon-platform: %s\n", error.c_str());
    return 2;
  }
  if (link.mode == Link::Serial) {
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

  signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  std::string prefix = "[" + opt.name + "] ";
  auto say = [&](const std::string& line) {
    std::string l = sim::clock_text() + " " + prefix + line + "\n";
    std::fwrite(l.data(), 1, l.size(), stdout);
    std::fflush(stdout);
  };
  auto log = [&](const std::string& line) {
    if (!quiet || line.rfind("PROBLEM", 0) == 0) say(line);
  };
  sim::Platform platform(steps, opt, log);

  std::unique_ptr<sim::WebView> web;
  bool web_hold = false; // --web without --duration: the page stays up until Ctrl-C
  if (!web_addr.empty()) {
    sim::WebOptions web_opt;
    web_opt.name = opt.name;
    web_opt.csv_path = web_csv;
    std::string host;
    if (!sim::split_host_port(web_addr, host, web_opt.port)) {
      std::fprintf(stderr, "polmon-platform: bad address %s\n", web_addr.c_str());
      return 2;
    }
    if (!host.empty()) web_opt.host = host;
    web = sim::WebView::start(web_opt, error);
    if (!web) {
      say(error);
      return 2;
    }
    platform.set_observer(web.get());
    say("web view on " + web->url() + " (values spooled to " + web->csv_path() + ")");
    web_hold = opt.duration_ms <= 0;
    if (web_hold && !wait_given) wait_s = 1e9;
  }

  std::string ready_text;
  if (link.mode == Link::Listen) {
    link.listen = sim::tcp_listen(link.host, link.port, error);
    if (!link.listen.valid()) {
      say(error);
      return 2;
    }
    ready_text = link.host + ":" + std::to_string(sim::local_port(link.listen.get()));
    say("listening on " + ready_text);
  } else if (link.mode == Link::Serial) {
    link.conn = sim::open_serial(link.path, link.serial, error);
    if (!link.conn.valid()) {
      say(error);
      return 2;
    }
    ready_text = link.path;
  } else {
    ready_text = "connect " + link.host + ":" + std::to_string(link.port);
  }
  if (web) ready_text += " " + web->url();
  if (!ready.empty() && !write_file(ready, ready_text + "\n")) say("cannot write the readiness file " + ready);

  int listen_port = link.mode == Link::Listen ? sim::local_port(link.listen.get()) : 0;
  int64_t started = sim::now_ms();
  int64_t next_connect = started;
  if (link.mode == Link::Serial) platform.connected(started, link.path + " " + sim::serial_settings_text(link.serial));

  char buf[4096];
  bool held = false;
  while (!g_stop && (!platform.finished() || web_hold)) {
    int64_t now = sim::now_ms();
    // --drop-link: no listening socket while the station is refused, so it finds nobody there
    if (link.mode == Link::Listen && !link.listen.valid() && !platform.refusing(now)) {
      link.listen = sim::tcp_listen(link.host, listen_port, error);
      if (!link.listen.valid()) say("cannot listen again: " + error);
    }
    if (!platform.link_wanted() && link.mode != Link::Serial && !platform.refusing(now)) {
      if (now - started > static_cast<int64_t>(wait_s * 1000) && platform.frames_in() == 0 && !link.conn.valid()) {
        say("no station came within " + std::to_string(static_cast<int>(wait_s)) + " s");
        std::fputs(platform.summary().c_str(), stdout);
        return 3;
      }
      if (link.mode == Link::Connect && now >= next_connect) {
        bool in_progress = false;
        sim::Fd fd = sim::tcp_connect_start(link.host, link.port, in_progress, error);
        if (fd.valid() && (!in_progress || (sim::wait_writable(fd.get(), 1000) && sim::tcp_connect_result(fd.get()) == 0))) {
          link.conn = std::move(fd);
          platform.connected(sim::now_ms(), sim::peer_text(link.conn.get()));
        } else next_connect = now + 300;
      }
    }
    platform.tick(now);
    if (web) web->poll(platform);
    if (web_hold && platform.finished() && !held) {
      held = true;
      say("scenario done; the web view stays up until Ctrl-C");
    }
    for (sim::Platform::Out& o : platform.take_due(now)) {
      if (o.drop) {
        if (link.mode != Link::Serial) {
          link.conn.reset();
          platform.disconnected(now);
          next_connect = now + 300;
          if (platform.refusing(now)) link.listen.reset();
        }
        continue;
      }
      if (!link.conn.valid() || !sim::write_all(link.conn.get(), o.bytes.data(), o.bytes.size(), 2000))
        say("could not send " + std::to_string(o.bytes.size()) + " bytes: no link");
    }
    if (platform.finished() && !web_hold) break;

    int64_t ev = platform.next_event(now);
    int timeout = ev < 0 ? 200 : static_cast<int>(ev - sim::now_ms());
    if (timeout < 0) timeout = 0;
    if (timeout > 200) timeout = 200; // re-check the wait for the station and signals
    pollfd fds[2];
    int n = 0;
    if (link.conn.valid()) fds[n++] = {link.conn.get(), POLLIN, 0};
    else if (link.listen.valid()) fds[n++] = {link.listen.get(), POLLIN, 0};
    int rc = ::poll(n ? fds : nullptr, static_cast<nfds_t>(n), timeout);
    if (rc <= 0) continue;
    now = sim::now_ms();
    if (link.conn.valid() && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t got = ::read(link.conn.get(), buf, sizeof buf);
      if (got > 0) platform.received(buf, static_cast<size_t>(got), now);
      else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        if (link.mode == Link::Serial) { // a line has no end: the peer may open it again
          ::poll(nullptr, 0, 100);
          continue;
        }
        link.conn.reset();
        platform.disconnected(now);
        next_connect = now + 300;
      }
    } else if (!link.conn.valid() && link.listen.valid() && (fds[0].revents & POLLIN)) {
      int c = ::accept4(link.listen.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (c >= 0) {
        link.conn.reset(c);
        platform.connected(now, sim::peer_text(c));
      }
    }
  }
  if (web) web->poll(platform, true);
  std::fputs(platform.summary().c_str(), stdout);
  std::fflush(stdout);
  if (platform.frames_in() == 0 && !platform.broken() && g_stop) return 3;
  return platform.broken() ? 1 : 0;
}
