// Test doubles for the panel's side of the boundary: a typed variable database and a scripted port.
// Both are safe to use from the receive thread and the test thread at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "panel/ICommunication.h"
#include "panel/IDevRtdbCtrl.h"
#include "tests/support/line/ScriptedLine.h"

namespace fake {

struct Variable {
  DATATYPE type = DT_UNSET;
  int i = 0;
  double d = 0.0;
  std::string s;
};

// One call the database received, kept while recording.
struct Call {
  std::string op;    // "type", "get int|double|text", "set int|double|text", "id"
  int channel;       // -1 for a call by name
  std::string name;  // the variable reached (for a channel: the bound name, empty when unbound)
  std::string value; // type query: the type the caller preset; set: the value offered
};

class Rtdb final : public IDevRtdbCtrl {
public:
  // Variables by name; channels bind a channel number to a variable name.
  void Define(const std::string& name, DATATYPE type) {
    std::lock_guard<std::mutex> lock(mutex_);
    vars_[name].type = type;
  }
  void SetInt(const std::string& name, int v) {
    Put(name, DT_INTEGER, [&](Variable& x) { x.i = v; });
  }
  void SetDouble(const std::string& name, double v) {
    Put(name, DT_DOUBLE, [&](Variable& x) { x.d = v; });
  }
  void SetText(const std::string& name, const std::string& v) {
    Put(name, DT_STRING, [&](Variable& x) { x.s = v; });
  }
  void BindChannel(int channel, const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    channels_[channel] = name;
  }
  Variable Get(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = vars_.find(name);
    return it == vars_.end() ? Variable() : it->second;
  }
  bool Has(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    return vars_.count(name) != 0;
  }

  // ---- how it answers
  // Result for a name, or a bound channel, that holds no variable (1 unless set).
  void SetMissingResult(int code) {
    std::lock_guard<std::mutex> lock(mutex_);
    missing_ = code;
  }
  // From now on a variable answers reads and writes of its own type only (others get `code`) and
  // a write changes only the field of that type, as a typed store does. Otherwise ints and doubles
  // convert into each other.
  void StrictTypes(int code) {
    std::lock_guard<std::mutex> lock(mutex_);
    strict_ = true;
    wrongType_ = code;
  }
  // Nonzero: type queries of existing variables still write the type, but return `code`.
  void FailTypeQueries(int code) {
    std::lock_guard<std::mutex> lock(mutex_);
    typeResult_ = code;
  }
  // The next `n` set calls (by name or channel) fail with `code`.
  void FailNextSets(int n, int code = 1) {
    std::lock_guard<std::mutex> lock(mutex_);
    failSets_ = n;
    failCode_ = code;
  }
  // The next `n` set calls throw, as a careless panel's database may.
  void ThrowOnNextSets(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    throwSets_ = n;
  }

  // Runs after every set by channel, on the caller's thread and outside the lock: a panel that
  // reacts to a variable change by calling back into the device.
  void OnChannelSet(std::function<void(int channel)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    onChannelSet_ = std::move(hook);
  }

  // Runs after every set by name, as OnChannelSet does: a panel callback on the thread of the
  // call that stored (inside a script command, say).
  void OnNameSet(std::function<void(const std::string& name)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    onNameSet_ = std::move(hook);
  }

  // ---- what it saw
  int calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  int setCalls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return setCalls_;
  }
  int channelCalls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return channelCalls_;
  }
  // Keeps every call from now on (off by default: long runs would grow it without end).
  void RecordCalls() {
    std::lock_guard<std::mutex> lock(mutex_);
    recording_ = true;
    log_.clear();
  }
  std::vector<Call> Log() {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }
  // Names whose type was asked while recording, in order.
  std::vector<std::string> TypeQueries() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> names;
    for (const Call& c : log_)
      if (c.op == "type") names.push_back(c.name);
    return names;
  }

  int GetValueTypeByName(const char* name, DATATYPE& type) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return TypeOf(-1, name, type);
  }
  int GetValueByName(const char* name, int& value) override { return ReadAt(-1, name, "get int", DT_INTEGER, value); }
  int GetValueByName(const char* name, double& value) override { return ReadAt(-1, name, "get double", DT_DOUBLE, value); }
  int GetValueByName(const char* name, std::string& value) override { return ReadAt(-1, name, "get text", DT_STRING, value); }
  int SetValueByName(const char* name, int value) override { return NameHooked(name, WriteAt(-1, name, "set int", DT_INTEGER, value)); }
  int SetValueByName(const char* name, double value) override { return NameHooked(name, WriteAt(-1, name, "set double", DT_DOUBLE, value)); }
  int SetValueByName(const char* name, std::string& value) override { return NameHooked(name, WriteAt(-1, name, "set text", DT_STRING, value)); }
  int GetValueTypeByChannel(int channel, DATATYPE& type) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return TypeOf(channel, Bound(channel), type);
  }
  int GetValueByChannel(int channel, int& value) override { return ReadAt(channel, nullptr, "get int", DT_INTEGER, value); }
  int GetValueByChannel(int channel, double& value) override { return ReadAt(channel, nullptr, "get double", DT_DOUBLE, value); }
  int GetValueByChannel(int channel, std::string& value) override { return ReadAt(channel, nullptr, "get text", DT_STRING, value); }
  int SetValueByChannel(int channel, int value) override { return Hooked(channel, WriteAt(channel, nullptr, "set int", DT_INTEGER, value)); }
  int SetValueByChannel(int channel, double value) override { return Hooked(channel, WriteAt(channel, nullptr, "set double", DT_DOUBLE, value)); }
  int SetValueByChannel(int channel, std::string& value) override { return Hooked(channel, WriteAt(channel, nullptr, "set text", DT_STRING, value)); }
  int GetValueIDByChannel(int channel, int& id) override {
    std::lock_guard<std::mutex> lock(mutex_);
    Count(channel);
    Record("id", channel, Bound(channel), std::string());
    id = channel;
    return 0;
  }

private:
  int Hooked(int channel, int result) {
    std::function<void(int)> hook;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      hook = onChannelSet_;
    }
    if (hook) hook(channel);
    return result;
  }
  int NameHooked(const char* name, int result) {
    std::function<void(const std::string&)> hook;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      hook = onNameSet_;
    }
    if (hook) hook(name ? name : "");
    return result;
  }
  template <class F>
  void Put(const std::string& name, DATATYPE type, F&& set) {
    std::lock_guard<std::mutex> lock(mutex_);
    Variable& v = vars_[name];
    v.type = type;
    set(v);
  }
  // The rest run under mutex_. A channel call reaches the variable bound to it (null: none).
  const char* Bound(int channel) const {
    auto it = channels_.find(channel);
    return it == channels_.end() ? nullptr : it->second.c_str();
  }
  Variable* Find(const char* name) {
    if (!name) return nullptr;
    auto it = vars_.find(name);
    return it == vars_.end() ? nullptr : &it->second;
  }
  void Count(int channel) {
    ++calls_;
    if (channel >= 0) ++channelCalls_;
  }
  static std::string Shown(int v) { return std::to_string(v); }
  static std::string Shown(double v) { return std::to_string(v); }
  static std::string Shown(const std::string& v) { return v; }
  template <class T>
  void Record(const char* op, int channel, const char* name, const T& value) {
    if (recording_) log_.push_back({op, channel, name ? name : "", Shown(value)});
  }
  int TypeOf(int channel, const char* name, DATATYPE& type) {
    Count(channel);
    Record("type", channel, name, static_cast<int>(type));
    Variable* v = Find(name);
    if (!v) return missing_;
    type = v->type;
    return typeResult_;
  }
  // A double beyond int's range reads as the nearest int (NaN as 0), as a panel's conversion clamps.
  static int Clamped(double x) {
    if (!(x == x)) return 0;
    if (x >= 2147483647.0) return 2147483647;
    if (x <= -2147483648.0) return -2147483647 - 1;
    return static_cast<int>(x);
  }
  static void Load(const Variable& v, int& out) { out = v.type == DT_DOUBLE ? Clamped(v.d) : v.i; }
  static void Load(const Variable& v, double& out) { out = v.type == DT_INTEGER ? v.i : v.d; }
  static void Load(const Variable& v, std::string& out) { out = v.s; }
  void Store(Variable& v, int x) {
    v.i = x;
    if (!strict_) v.d = x;
  }
  void Store(Variable& v, double x) {
    v.d = x;
    if (!strict_) v.i = Clamped(x);
  }
  void Store(Variable& v, const std::string& x) { v.s = x; }
  template <class T>
  int ReadAt(int channel, const char* name, const char* op, DATATYPE type, T& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (channel >= 0) name = Bound(channel);
    Count(channel);
    Record(op, channel, name, std::string());
    Variable* v = Find(name);
    if (!v) return missing_;
    if (strict_ && v->type != type) return wrongType_;
    Load(*v, out);
    return 0;
  }
  template <class T>
  int WriteAt(int channel, const char* name, const char* op, DATATYPE type, const T& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (channel >= 0) name = Bound(channel);
    Count(channel);
    Record(op, channel, name, value);
    if (!name) return missing_; // an unbound channel reaches no set at all
    ++setCalls_;
    if (throwSets_ > 0) {
      --throwSets_;
      throw std::runtime_error("database failure");
    }
    if (failSets_ > 0) {
      --failSets_;
      return failCode_;
    }
    Variable* v = Find(name);
    if (!v) return missing_;
    if (strict_ && v->type != type) return wrongType_;
    Store(*v, value);
    return 0;
  }

  std::mutex mutex_;
  std::map<std::string, Variable> vars_;
  std::map<int, std::string> channels_;
  std::vector<Call> log_;
  std::function<void(int)> onChannelSet_;
  std::function<void(const std::string&)> onNameSet_;
  bool recording_ = false;
  bool strict_ = false;
  int missing_ = 1;
  int wrongType_ = 1;
  int typeResult_ = 0;
  int failSets_ = 0;
  int failCode_ = 1;
  int throwSets_ = 0;
  int calls_ = 0;
  int setCalls_ = 0;
  int channelCalls_ = 0;
};

// The panel's port over a scripted line.
class Port final : public ICommunication, public ScriptedLine {
public:
  explicit Port(int commMode = 1) : commMode_(commMode) {}

  std::vector<int> Timeouts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return timeouts_;
  }
  std::string DeviceName() {
    std::lock_guard<std::mutex> lock(mutex_);
    return deviceName_;
  }

  int Open() override { return 1; }
  int Close() override { return 1; }
  int WriteData(const unsigned char* data, int* length, int param) override { return Write(data, length ? *length : 0, param); }
  int ReadData(unsigned char* buffer, int* length, int wait) override { return Read(buffer, length, wait); }
  int ClearBuffer() override { return 1; }
  int SetDeviceName(const char* name) override {
    std::lock_guard<std::mutex> lock(mutex_);
    deviceName_ = name ? name : "";
    return 1;
  }
  int GetCommMode() override { return commMode_; }
  int SetTimeout(int milliseconds) override {
    std::lock_guard<std::mutex> lock(mutex_);
    timeouts_.push_back(milliseconds);
    return 1;
  }
  int GetTimeout() override { return 0; }

private:
  std::mutex mutex_;
  std::string deviceName_;
  std::vector<int> timeouts_;
  int commMode_;
};

} // namespace fake
