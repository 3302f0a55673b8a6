// The simulated panel: loads the plug-in, gives each device of the station script a port and a
// view of the shared variables, runs the collection cycle and the script, and cleans up.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Ports.h"
#include "Station.h"
#include "Trace.h"
#include "Variables.h"
#include "panel/DeviceExports.h"
#include "panel/PluginLibrary.h"
#include "tools/common/Capture.h"

namespace sim {

struct HostOptions {
  std::string plugin;
  std::string script;
  std::map<std::string, std::string> args;           // -D name=value, the script's `args`
  std::map<std::string, std::string> port_overrides; // --port device=setup
  int host_version = 3;                              // what the panel tells GetInterfaceVersion
  Station::Interrupt interrupt;                      // asked while the script runs (see Station)
  std::string capture;                               // --capture: pcap of every device's link
  std::string key_log;                               // --key-log: each key a device took, with its time
};

class Simulator {
public:
  static constexpr int kDriverVersion = 3;

  explicit Simulator(Console& console);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Script, plug-in, devices: on failure everything built so far is cleaned up again.
  bool start(const HostOptions& options, std::string& error);
  // One cycle: the collection cycle of every device, then the script.
  bool cycle(std::string& error);
  // CleanupDevice and DestroyDeviceCtrl for every device, ports closed, plug-in unloaded.
  void stop();

  bool stop_requested() const { return m_station && m_station->stop_requested(); }
  // The script was stopped inside a cycle (or its top level) that had not returned.
  bool interrupted() const { return m_station && m_station->interrupted(); }
  VariableStore& variables() { return m_store; }
  // "name port" per device, for the readiness file.
  std::vector<std::string> device_lines() const;
  int status(size_t device) const { return device < m_devs.size() ? m_devs[device].status : 0; }
  // "name: Accepted=.. BadLength=.. ..." per device, read with the "GetStats" script command.
  std::vector<std::string> stats_lines();
  // A variable's value as the simulator shows it: "****" for a variable a script handed to
  // SetKey, key values in frames masked.
  std::string shown_value(const std::string& name, const Value& value) const;

private:
  struct Device {
    std::string name;
    IDeviceCtrl* ctrl = nullptr;
    bool initialised = false;
    std::unique_ptr<DeviceRtdb> rtdb;
    std::unique_ptr<FrameTrace> trace;
    std::unique_ptr<SimPort> port;
    std::vector<int> codes;
    int status = 0;
  };
  bool start_device(const DeviceSpec& setup, Device& dev, std::string& error);
  void note_key(Device& dev, const std::string& command, int result);

  Console& m_console;
  VariableStore m_store;
  std::unique_ptr<Station> m_station;
  std::unique_ptr<PluginLibrary> m_lib;
  PFN_CreateDeviceCtrl m_create = nullptr;
  PFN_GetInterfaceVersion m_version = nullptr;
  PFN_DestroyDeviceCtrl m_destroy = nullptr;
  std::vector<Device> m_devs;
  int m_host_version = 3;
  std::set<std::string> m_key_variables; // named as SetKey's key: never shown
  std::unique_ptr<Capture> m_capture;
  std::unique_ptr<KeyLog> m_key_log;
};

// <directory of this program>/../lib/libpolmon.so: where the host build puts the plug-in.
std::string default_plugin_path();

} // namespace sim
