// polmon-host: a simulated operator panel that loads the plug-in and runs a station script.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Io.h"
#include "Simulator.h"
#include "Version.h"

namespace {

int g_wake[2] = {-1, -1}; // signal handlers write one byte: 'Q' quit, 'T' toggle the trace
volatile sig_atomic_t g_stop_signal = 0; // SIGINT or SIGTERM, for a script that does not return

// A cycle still running this long after a stop was asked for is stopped inside the script; one
// that ends in time ends the run as usual.
constexpr int64_t kStopGraceMs = 500;

void on_signal(int sig) {
  int saved = errno;
  if (sig != SIGUSR1) g_stop_signal = sig;
  char c = sig == SIGUSR1 ? 'T' : 'Q';
  ssize_t ignored = ::write(g_wake[1], &c, 1);
  (void)ignored;
  errno = saved;
}

void usage(FILE* out) {
  std::fprintf(out,
               "usage: polmon-host [options] SCRIPT.lua\n"
               "  --plugin PATH        the plug-in to load (default: ../lib/libpolmon.so beside this program)\n"
               "  --period MS          collection cycle period (default 200)\n"
               "  --duration S         stop after S seconds (default: run until Ctrl-C)\n"
               "  --cycles N           stop after N cycles\n"
               "  --port DEV=SPEC      use another port for device DEV: tcp-client:HOST:PORT,\n"
               "                       tcp-server:[HOST:]PORT, serial:PATH[:BAUD[:8N1]], pty[:BAUD[:8N1]]\n"
               "  -D NAME=VALUE        a value the script reads as args.NAME\n"
               "  --trace on|off       frame trace at start (default on); SIGUSR1 or \"trace\" on stdin toggles it\n"
               "  --ready FILE         write \"DEVICE PORT\" lines to FILE once every device runs\n"
               "  --keep-going         report script errors and go on instead of stopping\n"
               "  --host-version N     interface version the panel declares (default 3)\n"
               "  --version            print the version and exit\n"
               "stdin commands: trace [on|off], vars, stats, quit\n");
}

bool split_assignment(const char* text, std::string& name, std::string& value) {
  const char* eq = std::strchr(text, '=');
  if (!eq || eq == text) return false;
  name.assign(text, static_cast<size_t>(eq - text));
  value = eq + 1;
  return true;
}

bool write_ready(const std::string& path, const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = sim::write_all(fd, text.data(), text.size(), 5000);
  ::close(fd);
  return ok;
}

// A command typed on stdin.
bool handle_command(const std::string& line, sim::Console& console, sim::Simulator& simulator) {
  std::string cmd = line;
  while (!cmd.empty() && (cmd.back() == '\r' || cmd.back() == ' ')) cmd.pop_back();
  if (cmd == "trace") console.set_tracing(!console.tracing());
  else if (cmd == "trace on") console.set_tracing(true);
  else if (cmd == "trace off") console.set_tracing(false);
  else if (cmd == "quit" || cmd == "exit") return false;
  else if (cmd == "vars") {
    for (const auto& v : simulator.variables().snapshot()) console.line("  " + v.first + " = " + simulator.shown_value(v.first, v.second));
    return true;
  } else if (cmd == "stats") {
    for (const std::string& l : simulator.stats_lines()) console.line("  " + l);
    return true;
  } else if (!cmd.empty()) {
    console.line("commands: trace [on|off], vars, stats, quit");
    return true;
  } else return true;
  console.line(std::string("frame trace ") + (console.tracing() ? "on" : "off"));
  return true;
}

} // namespace

int main(int argc, char** argv) {
  sim::HostOptions options;
  int period_ms = 200;
  double duration_s = 0;
  std::string duration_text;
  long max_cycles = 0;
  bool trace = true;
  bool keep_going = false;
  std::string ready;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&](const char* what) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "polmon-host: %s needs a value\n", what);
        std::exit(2);
      }
      return argv[++i];
    };
    std::string n, v;
    if (a == "--plugin") options.plugin = next("--plugin");
    else if (a == "--period") period_ms = std::atoi(next("--period"));
    else if (a == "--duration") {
      duration_text = next("--duration");
      duration_s = std::atof(duration_text.c_str());
    }
    else if (a == "--cycles") max_cycles = std::atol(next("--cycles"));
    else if (a == "--ready") ready = next("--ready");
    else if (a == "--keep-going") keep_going = true;
    else if (a == "--host-version") options.host_version = std::atoi(next("--host-version"));
    else if (a == "--trace") trace = std::string(next("--trace")) != "off";
    else if (a == "--port" || a == "-D") {
      if (!split_assignment(next(a.c_str()), n, v)) {
        std::fprintf(stderr, "polmon-host: %s wants NAME=VALUE\n", a.c_str());
        return 2;
      }
      (a == "-D" ? options.args : options.port_overrides)[n] = v;
    } else if (a == "-h" || a == "--help") {
      usage(stdout);
      return 0;
    } else if (a == "--version") {
      return sim::print_version("polmon-host");
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "polmon-host: unknown option %s\n", a.c_str());
      usage(stderr);
      return 2;
    } else options.script = a;
  }
  if (options.script.empty()) {
    usage(stderr);
    return 2;
  }
  if (period_ms < 10) period_ms = 10;
  if (options.plugin.empty()) options.plugin = sim::default_plugin_path();

  if (::pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGUSR1, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // The script is stopped where it stands when a cycle (or the script's top level) has not
  // returned by half a second after the end of --duration, SIGINT or SIGTERM.
  const int64_t duration_ms = static_cast<int64_t>(duration_s * 1000);
  const std::string duration_reason = "the end of --duration " + duration_text;
  int64_t deadline = duration_s > 0 ? sim::now_ms() + duration_ms : 0;
  int64_t signal_seen = 0;
  options.interrupt = [&]() -> const char* {
    int64_t now = sim::now_ms();
    if (g_stop_signal && !signal_seen) signal_seen = now;
    if (signal_seen && now - signal_seen >= kStopGraceMs) return g_stop_signal == SIGTERM ? "SIGTERM" : "SIGINT (Ctrl-C)";
    if (deadline && now - deadline >= kStopGraceMs) return duration_reason.c_str();
    return nullptr;
  };

  sim::Console console;
  console.set_tracing(trace);
  sim::Simulator simulator(console);
  std::string error;
  if (!simulator.start(options, error)) {
    console.line("polmon-host: " + error);
    return simulator.interrupted() ? 3 : 1;
  }
  if (!ready.empty() && !write_ready(ready, simulator.device_lines()))
    console.line("polmon-host: cannot write the readiness file " + ready);

  int exit_code = 0;
  bool stdin_open = true;
  std::string stdin_line;
  int64_t start = sim::now_ms();
  if (deadline) deadline = start + duration_ms;
  int64_t next_cycle = start;
  long cycles = 0;
  bool quit = false;
  while (!quit) {
    if (!simulator.cycle(error)) {
      if (simulator.interrupted()) {
        console.line("polmon-host: " + error);
        exit_code = 3;
        break;
      }
      console.line("script error: " + error);
      if (!keep_going) {
        exit_code = 3;
        break;
      }
    }
    ++cycles;
    if ((max_cycles > 0 && cycles >= max_cycles) || simulator.stop_requested() || g_stop_signal) break;
    int64_t now = sim::now_ms();
    if (duration_s > 0 && now - start >= static_cast<int64_t>(duration_s * 1000)) break;
    next_cycle += period_ms;
    if (next_cycle < now) next_cycle = now; // a slow cycle: no burst of cycles to catch up
    while (!quit) {
      int wait = static_cast<int>(next_cycle - sim::now_ms());
      if (wait <= 0) break;
      pollfd fds[2] = {{g_wake[0], POLLIN, 0}, {stdin_open ? 0 : -1, POLLIN, 0}};
      if (::poll(fds, 2, wait) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        char buf[16];
        ssize_t n = ::read(g_wake[0], buf, sizeof buf);
        for (ssize_t k = 0; k < n; ++k) {
          if (buf[k] == 'Q') quit = true;
          else handle_command("trace", console, simulator);
        }
      }
      if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
        char buf[256];
        ssize_t n = ::read(0, buf, sizeof buf);
        if (n <= 0) stdin_open = false; // end of input: commands stop, the run goes on
        for (ssize_t k = 0; k < n && !quit; ++k) {
          if (buf[k] != '\n') {
            if (stdin_line.size() < 1024) stdin_line += buf[k];
            continue;
          }
          if (!handle_command(stdin_line, console, simulator)) quit = true;
          stdin_line.clear();
        }
      }
    }
  }
  for (const std::string& l : simulator.stats_lines()) console.line("polmon-host: receive counters " + l);
  simulator.stop();
  console.line("polmon-host: stopped after " + std::to_string(cycles) + " cycles");
  return exit_code;
}
