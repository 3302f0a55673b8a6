// Station scripts in Lua 5.4: the variables, the devices and what runs each cycle.
//
// What a script sees:
//   var(name, initial [, "int"|"double"|"text"])   declares a variable (type from the value)
//   device{ name=, port=, config={timeout=, params={...}, channels={{group=,st=,factor=,name=,
//           type=,factor_type=,rw=}, ...}} or config_file=, channels={[0]="Var", ...},
//           cycle=function(dev) end }             declares a device; returns its handle
//   cycle(function() end)                          runs every cycle, after the devices' own
//   ioctl(cmd) / dev:ioctl(cmd)                    a driver command, as a panel script issues it
//   dev:status()                                   the last collection cycle's status value
//   get(name), set(name, value), V.name            variables
//   log(...), qn(), datatime(), now_ms()           output, time texts, a monotonic clock in ms
//   stop(), args                                   ending the run, the -D values
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "Variables.h"

struct lua_State;

namespace sim {

struct DeviceSpec {
  std::string name;
  std::string port;            // port text (see parse_port_spec)
  std::vector<uint8_t> config; // bytes handed to InitDevice
  std::map<int, std::string> channels;
  int channel_rows = 0; // rows in the configuration, when built here
  int cycle_ref = -2;   // Lua reference of the device's cycle function (LUA_NOREF)
  int handle_ref = -2;  // Lua reference of the device's handle
};

class Station {
public:
  using IoCtl = std::function<int(size_t device, const std::string& command)>;
  using Status = std::function<int(size_t device)>;
  using Log = std::function<void(const std::string&)>;
  // Asked every few thousand Lua instructions: an answer other than nullptr stops the script
  // where it stands, with an error naming the answer and the script line.
  using Interrupt = std::function<const char*()>;

  Station(VariableStore& store, Log log);
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // Runs the script's top level. On failure `error` has the file, line and a traceback.
  bool load(const std::string& path, const std::map<std::string, std::string>& args, std::string& error);
  // Folders `require` searches after the script's own: the shared station module's (examples/).
  void set_module_dirs(std::vector<std::string> dirs) { m_module_dirs = std::move(dirs); }
  std::vector<DeviceSpec>& devices() { return m_devices; }

  void set_ioctl(IoCtl fn) { m_ioctl = std::move(fn); }
  void set_status(Status fn) { m_status = std::move(fn); }
  void set_interrupt(Interrupt fn);
  // One cycle of the script: each device's cycle function, then the global ones.
  bool run_cycle(std::string& error);
  bool stop_requested() const { return m_stop; }
  // The interrupt stopped the script; it runs no more.
  bool interrupted() const { return m_interrupted; }

  // For the Lua bindings only.
  struct LuaBindings;

private:
  bool call(int nargs, std::string& error);

  VariableStore& m_store;
  Log m_log;
  lua_State* m_L = nullptr;
  std::vector<DeviceSpec> m_devices;
  std::vector<int> m_cycles;
  IoCtl m_ioctl;
  Status m_status;
  Interrupt m_interrupt;
  std::string m_dir;
  std::vector<std::string> m_module_dirs;
  long m_current = -1; // device whose cycle function runs
  bool m_loading = false;
  bool m_stop = false;
  bool m_interrupted = false;
  std::string m_stop_reason; // the interrupt's answer
};

} // namespace sim
