#include "Simulator.h"

#include <strings.h>

#include <string>

#include "tools/common/sys/System.h"

#include "hj212/RecvStats.h"
#include "tools/common/Version.h"

namespace sim {

namespace {
// The folder polmon-host runs from (the bundle's host/bin), or empty.
std::string program_dir() {
  const std::string exe = sys::program_path();
  if (exe.empty()) return std::string();
  size_t slash = sys::last_separator(exe);
  return slash == std::string::npos ? "." : exe.substr(0, slash);
}
} // namespace

std::string default_plugin_path() {
  const std::string dir = program_dir();
  // where the bundle puts the plug-in for this system (CMake names it)
  return dir.empty() ? POLMON_PLUGIN_FILE : dir + "/" POLMON_PLUGIN_FROM_PROGRAM;
}

Simulator::Simulator(Console& console) : m_console(console) {}

Simulator::~Simulator() { stop(); }

bool Simulator::start(const HostOptions& options, std::string& error) {
  m_host_version = options.host_version;
  if (!options.capture.empty() && !(m_capture = Capture::open(options.capture, error))) return false;
  if (!options.key_log.empty() && !(m_key_log = KeyLog::open(options.key_log, error))) return false;
  m_station = std::make_unique<Station>(m_store, [this](const std::string& text) { m_console.line("script: " + mask_keys(text)); });
  if (options.interrupt) m_station->set_interrupt(options.interrupt);
  // the bundle's examples/ (beside host/ on Linux, beside the program on Windows), and in a build
  // tree the sources' own
  m_station->set_module_dirs({program_dir() + "/" POLMON_EXAMPLES_FROM_PROGRAM, program_dir() + "/" POLMON_EXAMPLES_FROM_BIN});
  if (!m_station->load(options.script, options.args, error)) return false;

  std::vector<DeviceSpec>& setups = m_station->devices();
  for (const auto& o : options.port_overrides) {
    bool found = false;
    for (DeviceSpec& d : setups)
      if (d.name == o.first) {
        d.port = o.second;
        found = true;
      }
    if (!found) {
      error = "--port " + o.first + ": the script has no device of that name";
      return false;
    }
  }

  m_lib = std::make_unique<PluginLibrary>(options.plugin);
  if (!m_lib->loaded()) {
    error = "cannot load the plug-in " + options.plugin + ": " + m_lib->error();
    m_lib.reset();
    return false;
  }
  const std::string version = plugin_version_text(options.plugin);
  m_console.line("plug-in " + options.plugin + ": " + (version.empty() ? "no version text" : version));
  m_create = reinterpret_cast<PFN_CreateDeviceCtrl>(m_lib->symbol("CreateDeviceCtrl"));
  m_version = reinterpret_cast<PFN_GetInterfaceVersion>(m_lib->symbol("GetInterfaceVersion"));
  m_destroy = reinterpret_cast<PFN_DestroyDeviceCtrl>(m_lib->symbol("DestroyDeviceCtrl"));
  if (!m_create || !m_version || !m_destroy) {
    error = options.plugin + " lacks CreateDeviceCtrl, GetInterfaceVersion or DestroyDeviceCtrl";
    stop();
    return false;
  }

  m_station->set_ioctl([this](size_t i, const std::string& cmd) {
    int rc = m_devs[i].ctrl->DevIOCtrl(cmd.c_str());
    note_key(m_devs[i], cmd, rc);
    return rc;
  });
  m_station->set_status([this](size_t i) { return m_devs[i].status; });

  m_devs.reserve(setups.size());
  for (const DeviceSpec& setup : setups) {
    m_devs.emplace_back();
    if (!start_device(setup, m_devs.back(), error)) {
      error = setup.name + ": " + error;
      stop();
      return false;
    }
  }
  return true;
}

bool Simulator::start_device(const DeviceSpec& setup, Device& dev, std::string& error) {
  dev.name = setup.name;
  PortSpec ps;
  if (!parse_port_spec(setup.port, ps, error)) return false;
  dev.trace = std::make_unique<FrameTrace>(m_console, setup.name);
  dev.port = SimPort::create(ps, dev.trace.get());
  dev.port->set_capture(m_capture.get());
  if (!dev.port->Open()) {
    error = "port " + setup.port + ": " + dev.port->error();
    return false;
  }
  dev.rtdb = std::make_unique<DeviceRtdb>(m_store, setup.channels);
  dev.ctrl = m_create(setup.name.c_str(), dev.rtdb.get());
  if (!dev.ctrl) {
    error = "CreateDeviceCtrl returned no device";
    return false;
  }
  int v = m_version(m_host_version, dev.ctrl);
  if (v != kDriverVersion) {
    error = "the plug-in answers interface version " + std::to_string(v) + ", not " + std::to_string(kDriverVersion);
    return false;
  }
  int rc = dev.ctrl->UpdataCommunication(dev.port.get());
  if (rc != 0) {
    error = "UpdataCommunication refused the port (" + std::to_string(rc) + ")";
    return false;
  }
  if (setup.config.empty()) {
    error = "no configuration bytes";
    return false;
  }
  rc = dev.ctrl->InitDevice(setup.config.data(), static_cast<int>(setup.config.size()));
  if (rc != 0) {
    error = "InitDevice answered " + std::to_string(rc);
    return false;
  }
  dev.initialised = true;

  // one code per channel: the configured rows, and at least every bound channel
  int count = setup.channel_rows;
  for (const auto& c : setup.channels)
    if (c.first + 1 > count) count = c.first + 1;
  if (count < 1) count = 1;
  dev.codes.assign(static_cast<size_t>(count), 1);
  std::vector<int> refs(static_cast<size_t>(count), 0);
  for (const auto& c : setup.channels) refs[static_cast<size_t>(c.first)] = 1;
  dev.ctrl->ChannelRefChange(refs.data(), count);

  std::string bound;
  for (const auto& c : setup.channels) bound += " ch" + std::to_string(c.first) + "=" + c.second;
  m_console.line(setup.name + ": device up on " + dev.port->describe() + ", " + std::to_string(setup.config.size()) + " configuration bytes" +
                 (bound.empty() ? std::string() : "," + bound));
  return true;
}

bool Simulator::cycle(std::string& error) {
  for (Device& d : m_devs) d.status = d.ctrl->CollectDevData(d.codes.data(), static_cast<int>(d.codes.size()));
  return m_station->run_cycle(error);
}

void Simulator::stop() {
  for (auto it = m_devs.rbegin(); it != m_devs.rend(); ++it) {
    if (it->ctrl) {
      if (it->initialised) it->ctrl->CleanupDevice();
      m_destroy(it->ctrl);
      it->ctrl = nullptr;
    }
    if (it->port) it->port->Close();
  }
  m_devs.clear();
  if (m_capture && !m_capture->failure().empty()) m_console.line("polmon-host: " + m_capture->failure());
  m_capture.reset(); // the ports are closed: their connections ended in it
  m_lib.reset();
}

std::vector<std::string> Simulator::stats_lines() {
  // Text variables of the simulator's own: they hold any 64-bit count exactly.
  std::string command = "GetStats(";
  for (int i = 0; i < HJ::kRecvCounterCount; ++i) {
    std::string name = std::string(".stats.") + HJ::kRecvCounters[i].name;
    m_store.declare(name, std::string());
    command += name + (i + 1 == HJ::kRecvCounterCount ? ")" : ",");
  }
  std::vector<std::string> out;
  for (Device& d : m_devs) {
    if (!d.ctrl || !d.initialised) continue;
    int rc = d.ctrl->DevIOCtrl(command.c_str());
    std::string line = d.name + ":";
    for (const HJ::RecvCounter& c : HJ::kRecvCounters) {
      std::string value;
      m_store.get(std::string(".stats.") + c.name, value);
      line += std::string(" ") + c.name + "=" + value;
    }
    if (rc != 0) line += " (GetStats answered " + std::to_string(rc) + ")";
    out.push_back(line);
  }
  return out;
}

namespace {

std::string trimmed(const std::string& text) {
  size_t a = text.find_first_not_of(" \t");
  if (a == std::string::npos) return std::string();
  return text.substr(a, text.find_last_not_of(" \t") - a + 1);
}

// The arguments of `command` when it is `name(...)` (the name without regard to case, blanks
// and empty arguments skipped, as the plug-in reads commands).
bool command_args(const std::string& command, const char* name, std::vector<std::string>& args) {
  size_t open = command.find('('), close = command.find(')', open == std::string::npos ? 0 : open);
  if (open == std::string::npos || close == std::string::npos) return false;
  std::string head = trimmed(command.substr(0, open));
  if (head.size() != std::char_traits<char>::length(name) || ::strncasecmp(head.c_str(), name, head.size()) != 0) return false;
  std::string list = command.substr(open + 1, close - open - 1);
  for (size_t from = 0; from <= list.size();) {
    size_t comma = list.find(',', from);
    if (comma == std::string::npos) comma = list.size();
    std::string arg = trimmed(list.substr(from, comma - from));
    if (!arg.empty()) args.push_back(arg);
    from = comma + 1;
  }
  return true;
}

} // namespace

// The panel sees the script's SetKey: with the key the device took, its trace can show the
// frames it encrypts and decrypts in plain.
void Simulator::note_key(Device& dev, const std::string& command, int result) {
  std::vector<std::string> args;
  if (!command_args(command, "SetKey", args) || args.empty()) return;
  m_key_variables.insert(args[0]);
  int status = -1;
  std::string key;
  if (result != 0 || args.size() < 2 || m_store.get(args[1], status) != 0 || status != 0 || m_store.get(args[0], key) != 0) return;
  if (key.empty() || key.size() == 16) {
    dev.trace->set_key(key);
    if (m_key_log) m_key_log->key(key, dev.name + ": SetKey");
  }
}

std::string Simulator::shown_value(const std::string& name, const Value& value) const {
  return m_key_variables.count(name) ? std::string("****") : mask_keys(value_text(value));
}

std::vector<std::string> Simulator::device_lines() const {
  std::vector<std::string> out;
  for (const Device& d : m_devs) out.push_back(d.name + " " + d.port->describe());
  return out;
}

} // namespace sim
