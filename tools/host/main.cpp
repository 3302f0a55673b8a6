// polmon-host: a simulated operator panel that loads the plug-in and runs a station script.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "Simulator.h"
#include "tools/common/Version.h"
#include "tools/common/sys/Io.h"
#include "tools/common/sys/System.h"

namespace {

// A cycle still running this long after a stop was asked for is stopped inside the script; one
// that ends in time ends the run as usual.
constexpr int64_t kStopGraceMs = 500;

void usage(FILE* out) {
  std::fprintf(out, "usage: polmon-host [options] SCRIPT.lua\n"
                    "  --plugin PATH        the plug-in to load (default: " POLMON_PLUGIN_FROM_PROGRAM " beside this program)\n"
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
                    "  --capture FILE       write every device's link to FILE as pcap (Wireshark, polmon-frame --file)\n"
                    "  --key-log FILE       write each key a device took, with its time, to FILE (for polmon-frame --key-log)\n"
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
  return sim::write_new_file(path, text);
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

// What the command line asks for.
struct Options {
  sim::HostOptions host;
  int period_ms = 200;
  double duration_s = 0;
  std::string duration_text;
  long max_cycles = 0;
  bool trace = true;
  bool keep_going = false;
  std::string ready;
};

// An option that takes a value; false from `set` when the value is not of the form it wants.
struct ValueOption {
  const char* name;
  bool (*set)(Options& o, const char* value);
};

bool set_assignment(std::map<std::string, std::string>& into, const char* value) {
  std::string n, v;
  if (!split_assignment(value, n, v)) return false;
  into[n] = v;
  return true;
}

const ValueOption kValueOptions[] = {
    {"--plugin",
     [](Options& o, const char* v) {
       o.host.plugin = v;
       return true;
     }},
    {"--period",
     [](Options& o, const char* v) {
       o.period_ms = std::atoi(v);
       return true;
     }},
    {"--duration",
     [](Options& o, const char* v) {
       o.duration_text = v;
       o.duration_s = std::atof(o.duration_text.c_str());
       return true;
     }},
    {"--cycles",
     [](Options& o, const char* v) {
       o.max_cycles = std::atol(v);
       return true;
     }},
    {"--ready",
     [](Options& o, const char* v) {
       o.ready = v;
       return true;
     }},
    {"--host-version",
     [](Options& o, const char* v) {
       o.host.host_version = std::atoi(v);
       return true;
     }},
    {"--trace",
     [](Options& o, const char* v) {
       o.trace = std::string(v) != "off";
       return true;
     }},
    {"--capture",
     [](Options& o, const char* v) {
       o.host.capture = v;
       return true;
     }},
    {"--key-log",
     [](Options& o, const char* v) {
       o.host.key_log = v;
       return true;
     }},
    {"--port", [](Options& o, const char* v) { return set_assignment(o.host.port_overrides, v); }},
    {"-D", [](Options& o, const char* v) { return set_assignment(o.host.args, v); }},
};

// Reads the command line into `o`; false when the program ends here, with `exit_code`.
bool parse_options(int argc, char** argv, Options& o, int& exit_code) {
  exit_code = 2;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const ValueOption* opt = nullptr;
    for (const ValueOption& v : kValueOptions)
      if (a == v.name) opt = &v;
    if (opt) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "polmon-host: %s needs a value\n", a.c_str());
        return false;
      }
      if (!opt->set(o, argv[++i])) {
        std::fprintf(stderr, "polmon-host: %s wants NAME=VALUE\n", a.c_str());
        return false;
      }
    } else if (a == "--keep-going") {
      o.keep_going = true;
    } else if (a == "-h" || a == "--help") {
      usage(stdout);
      exit_code = 0;
      return false;
    } else if (a == "--version") {
      exit_code = sim::print_version("polmon-host");
      return false;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "polmon-host: unknown option %s\n", a.c_str());
      usage(stderr);
      return false;
    } else o.host.script = a;
  }
  if (o.host.script.empty()) {
    usage(stderr);
    return false;
  }
  if (o.period_ms < 10) o.period_ms = 10;
  if (o.host.plugin.empty()) o.host.plugin = sim::default_plugin_path();
  return true;
}

// The script is stopped where it stands when a cycle (or the script's top level) has not
// returned by half a second after the end of --duration, SIGINT or SIGTERM.
struct StopClock {
  explicit StopClock(const Options& o)
      : duration_ms(static_cast<int64_t>(o.duration_s * 1000)), duration_reason("the end of --duration " + o.duration_text),
        deadline(o.duration_s > 0 ? sim::now_ms() + duration_ms : 0) {}
  const char* operator()() {
    int64_t now = sim::now_ms();
    const sys::Stop stop = sys::stop_requested();
    if (stop != sys::Stop::None && !signal_seen) signal_seen = now;
    if (signal_seen && now - signal_seen >= kStopGraceMs) return stop == sys::Stop::Terminate ? "SIGTERM" : "SIGINT (Ctrl-C)";
    if (deadline && now - deadline >= kStopGraceMs) return duration_reason.c_str();
    return nullptr;
  }

  const int64_t duration_ms;
  const std::string duration_reason;
  int64_t deadline;
  int64_t signal_seen = 0;
};

// Loads the plug-in, brings up every device's link and runs the script's top level; false when
// the run ends here, with `exit_code`.
bool start_link(const Options& o, sim::Simulator& simulator, sim::Console& console, int& exit_code) {
  std::string error;
  if (!simulator.start(o.host, error)) {
    console.line("polmon-host: " + error);
    exit_code = simulator.interrupted() ? 3 : 1;
    return false;
  }
  if (!o.ready.empty() && !write_ready(o.ready, simulator.device_lines())) console.line("polmon-host: cannot write the readiness file " + o.ready);
  return true;
}

// Commands typed on stdin, a line at a time.
struct StdinLines {
  bool open = true;
  std::string line;
};

// Runs the complete lines of what came on stdin until one says quit.
void run_input(StdinLines& in, const sys::Wakeup& w, bool& quit, sim::Console& console, sim::Simulator& simulator) {
  if (w.input_ended) in.open = false; // end of input: commands stop, the run goes on
  for (size_t k = 0; k < w.input.size() && !quit; ++k) {
    if (w.input[k] != '\n') {
      if (in.line.size() < 1024) in.line += w.input[k];
      continue;
    }
    if (!handle_command(in.line, console, simulator)) quit = true;
    in.line.clear();
  }
}

// Waits for the time of the next cycle, doing meanwhile what signals and stdin ask; false when
// they asked to quit.
bool wait_for_cycle(int64_t next_cycle, StdinLines& in, sim::Console& console, sim::Simulator& simulator) {
  bool quit = false;
  while (!quit) {
    int wait = static_cast<int>(next_cycle - sim::now_ms());
    if (wait <= 0) break;
    sys::Wakeup w;
    if (!sys::wait_requests(wait, in.open, w)) continue;
    for (int t = 0; t < w.trace_toggles; ++t) handle_command("trace", console, simulator);
    quit = w.stop;
    run_input(in, w, quit, console, simulator);
  }
  return !quit;
}

// The collection cycles until a limit, a signal, the script or stdin ends them; the exit code.
int run_cycles(const Options& o, StopClock& clock, sim::Simulator& simulator, sim::Console& console) {
  int exit_code = 0;
  StdinLines in;
  std::string error;
  int64_t start = sim::now_ms();
  if (clock.deadline) clock.deadline = start + clock.duration_ms;
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
      if (!o.keep_going) {
        exit_code = 3;
        break;
      }
    }
    ++cycles;
    if ((o.max_cycles > 0 && cycles >= o.max_cycles) || simulator.stop_requested() || sys::stop_requested() != sys::Stop::None) break;
    int64_t now = sim::now_ms();
    if (o.duration_s > 0 && now - start >= static_cast<int64_t>(o.duration_s * 1000)) break;
    next_cycle += o.period_ms;
    if (next_cycle < now) next_cycle = now; // a slow cycle: no burst of cycles to catch up
    quit = !wait_for_cycle(next_cycle, in, console, simulator);
  }
  for (const std::string& l : simulator.stats_lines()) console.line("polmon-host: receive counters " + l);
  simulator.stop();
  console.line("polmon-host: stopped after " + std::to_string(cycles) + " cycles");
  return exit_code;
}

} // namespace

int main(int argc, char** argv) {
  Options options;
  int exit_code = 0;
  sys::Arguments utf8(argc, argv);
  if (!parse_options(utf8.argc(), utf8.argv(), options, exit_code)) return exit_code;
  if (!sys::catch_requests(true)) return 1;
  StopClock clock(options);
  options.host.interrupt = [&clock]() -> const char* { return clock(); };
  sim::Console console;
  console.set_tracing(options.trace);
  sim::Simulator simulator(console);
  if (!start_link(options, simulator, console, exit_code)) return exit_code;
  return run_cycles(options, clock, simulator, console);
}
