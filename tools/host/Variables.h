// The simulated panel's variable database: typed variables by name, shared by every device,
// and a per-device view that binds the device's channels to variables.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "panel/IDevRtdbCtrl.h"

namespace sim {

using Value = std::variant<int, double, std::string>;
DATATYPE type_of(const Value& v);
std::string value_text(const Value& v);

// Thread-safe: the plug-in's receive threads publish channel values while scripts run.
// A read or write of another type converts (numbers both ways, text through its number);
// results: 0 done, kUnknown no such variable, kRefused the value does not convert.
class VariableStore {
public:
  static constexpr int kUnknown = 1;
  static constexpr int kRefused = 2;

  // false when the name is empty or already declared
  bool declare(const std::string& name, Value initial);
  bool has(const std::string& name) const;
  int type(const std::string& name, DATATYPE& t) const;
  int get(const std::string& name, int& v) const;
  int get(const std::string& name, double& v) const;
  int get(const std::string& name, std::string& v) const;
  int get(const std::string& name, Value& v) const; // in the variable's own type
  int set(const std::string& name, int v);
  int set(const std::string& name, double v);
  int set(const std::string& name, const std::string& v);
  // position in declaration order, or -1
  int id(const std::string& name) const;
  // name and value of every variable, in declaration order
  std::vector<std::pair<std::string, Value>> snapshot() const;

private:
  struct Var {
    Value value;
    int id;
  };
  int store(const std::string& name, const Value& v);
  mutable std::mutex m_mu;
  std::unordered_map<std::string, Var> m_vars;
  std::vector<std::string> m_order;
};

// What one device of the plug-in sees as the panel's database: the shared variables by name,
// and its own channels (channel number -> variable name), fixed at creation.
class DeviceRtdb final : public IDevRtdbCtrl {
public:
  DeviceRtdb(VariableStore& store, std::map<int, std::string> channels) : m_store(store), m_channels(std::move(channels)) {}
  ~DeviceRtdb() = default;

  int GetValueTypeByName(const char* name, DATATYPE& type) override;
  int GetValueByName(const char* name, int& value) override;
  int GetValueByName(const char* name, double& value) override;
  int GetValueByName(const char* name, std::string& value) override;
  int SetValueByName(const char* name, int value) override;
  int SetValueByName(const char* name, double value) override;
  int SetValueByName(const char* name, std::string& value) override;
  int GetValueTypeByChannel(int channel, DATATYPE& type) override;
  int GetValueByChannel(int channel, int& value) override;
  int GetValueByChannel(int channel, double& value) override;
  int GetValueByChannel(int channel, std::string& value) override;
  int SetValueByChannel(int channel, int value) override;
  int SetValueByChannel(int channel, double value) override;
  int SetValueByChannel(int channel, std::string& value) override;
  int GetValueIDByChannel(int channel, int& id) override;

  const std::map<int, std::string>& channels() const { return m_channels; }

private:
  const std::string* channel(int ch) const;
  VariableStore& m_store;
  const std::map<int, std::string> m_channels;
};

} // namespace sim
