// Test doubles for the panel's side of the boundary: a typed variable database and a scripted port.
// Both are safe to use from the receive thread and the test thread at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ICommunication.h"
#include "IDevRtdbCtrl.h"

namespace fake {

struct Variable {
  DATATYPE type = DT_UNSET;
  int i = 0;
  double d = 0.0;
  std::string s;
};

class Rtdb final : public IDevRtdbCtrl {
public:
  // Variables by name; channels bind a channel number to a variable name.
  void Define(const std::string& name, DATATYPE type) {
    std::lock_guard<std::mutex> lock(mutex_);
    vars_[name].type = type;
  }
  void SetInt(const std::string& name, int v) { Put(name, DT_INTEGER, [&](Variable& x) { x.i = v; }); }
  void SetDouble(const std::string& name, double v) { Put(name, DT_DOUBLE, [&](Variable& x) { x.d = v; }); }
  void SetText(const std::string& name, const std::string& v) { Put(name, DT_STRING, [&](Variable& x) { x.s = v; }); }
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
  // The next `n` set calls (by name or channel) fail with `code`.
  void FailNextSets(int n, int code = 1) {
    std::lock_guard<std::mutex> lock(mutex_);
    failSets_ = n;
    failCode_ = code;
  }
  int calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  int setCalls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return setCalls_;
  }

  int GetValueTypeByName(const char* name, DATATYPE& type) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++calls_;
    auto it = vars_.find(name);
    if (it == vars_.end()) return 1;
    type = it->second.type;
    return 0;
  }
  int GetValueByName(const char* name, int& value) override { return Read(name, [&](Variable& v) { value = v.type == DT_DOUBLE ? static_cast<int>(v.d) : v.i; }); }
  int GetValueByName(const char* name, double& value) override { return Read(name, [&](Variable& v) { value = v.type == DT_INTEGER ? v.i : v.d; }); }
  int GetValueByName(const char* name, std::string& value) override { return Read(name, [&](Variable& v) { value = v.s; }); }
  int SetValueByName(const char* name, int value) override { return Write(name, [&](Variable& v) { v.i = value; v.d = value; }); }
  int SetValueByName(const char* name, double value) override { return Write(name, [&](Variable& v) { v.d = value; v.i = static_cast<int>(value); }); }
  int SetValueByName(const char* name, std::string& value) override { return Write(name, [&](Variable& v) { v.s = value; }); }
  int GetValueTypeByChannel(int channel, DATATYPE& type) override {
    std::string name = ChannelName(channel);
    return name.empty() ? (CountCall(), 1) : GetValueTypeByName(name.c_str(), type);
  }
  int GetValueByChannel(int channel, int& value) override { return ByChannel(channel, [&](const char* n) { return GetValueByName(n, value); }); }
  int GetValueByChannel(int channel, double& value) override { return ByChannel(channel, [&](const char* n) { return GetValueByName(n, value); }); }
  int GetValueByChannel(int channel, std::string& value) override { return ByChannel(channel, [&](const char* n) { return GetValueByName(n, value); }); }
  int SetValueByChannel(int channel, int value) override { return ByChannel(channel, [&](const char* n) { return SetValueByName(n, value); }); }
  int SetValueByChannel(int channel, double value) override { return ByChannel(channel, [&](const char* n) { return SetValueByName(n, value); }); }
  int SetValueByChannel(int channel, std::string& value) override { return ByChannel(channel, [&](const char* n) { return SetValueByName(n, value); }); }
  int GetValueIDByChannel(int channel, int& id) override {
    CountCall();
    id = channel;
    return 0;
  }

private:
  template <class F>
  void Put(const std::string& name, DATATYPE type, F&& set) {
    std::lock_guard<std::mutex> lock(mutex_);
    Variable& v = vars_[name];
    v.type = type;
    set(v);
  }
  void CountCall() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++calls_;
  }
  std::string ChannelName(int channel) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = channels_.find(channel);
    return it == channels_.end() ? std::string() : it->second;
  }
  template <class F>
  int ByChannel(int channel, F&& call) {
    std::string name = ChannelName(channel);
    if (name.empty()) {
      CountCall();
      return 1;
    }
    return call(name.c_str());
  }
  template <class F>
  int Read(const char* name, F&& read) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++calls_;
    auto it = vars_.find(name);
    if (it == vars_.end()) return 1;
    read(it->second);
    return 0;
  }
  template <class F>
  int Write(const char* name, F&& write) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++calls_;
    ++setCalls_;
    if (failSets_ > 0) {
      --failSets_;
      return failCode_;
    }
    auto it = vars_.find(name);
    if (it == vars_.end()) return 1;
    write(it->second);
    return 0;
  }

  std::mutex mutex_;
  std::map<std::string, Variable> vars_;
  std::map<int, std::string> channels_;
  int failSets_ = 0;
  int failCode_ = 1;
  int calls_ = 0;
  int setCalls_ = 0;
};

class Port final : public ICommunication {
public:
  explicit Port(int commMode = 1) : commMode_(commMode) {}

  // Bytes the next reads return, one chunk per read (at most the length offered).
  void Feed(const std::string& chunk) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      chunks_.push_back(chunk);
    }
    cond_.notify_all();
  }
  std::string Written() {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
  }
  std::vector<int> Timeouts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return timeouts_;
  }
  std::vector<int> WriteParams() {
    std::lock_guard<std::mutex> lock(mutex_);
    return writeParams_;
  }
  std::string DeviceName() {
    std::lock_guard<std::mutex> lock(mutex_);
    return deviceName_;
  }
  int Reads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reads_;
  }
  bool Drained() {
    std::lock_guard<std::mutex> lock(mutex_);
    return chunks_.empty();
  }
  void SetWriteResult(int result) {
    std::lock_guard<std::mutex> lock(mutex_);
    writeResult_ = result;
  }

  int Open() override { return 1; }
  int Close() override { return 1; }
  int WriteData(const unsigned char* data, int* length, int param) override {
    std::lock_guard<std::mutex> lock(mutex_);
    writeParams_.push_back(param);
    if (writeResult_ != 0 && data && length && *length > 0) written_.append(reinterpret_cast<const char*>(data), static_cast<size_t>(*length));
    return writeResult_;
  }
  int ReadData(unsigned char* buffer, int* length, int wait) override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++reads_;
    if (chunks_.empty()) cond_.wait_for(lock, std::chrono::milliseconds(wait), [this] { return !chunks_.empty(); });
    if (chunks_.empty()) {
      *length = 0;
      return 0;
    }
    std::string& chunk = chunks_.front();
    size_t n = chunk.size() < static_cast<size_t>(*length) ? chunk.size() : static_cast<size_t>(*length);
    chunk.copy(reinterpret_cast<char*>(buffer), n);
    chunk.erase(0, n);
    if (chunk.empty()) chunks_.pop_front();
    *length = chunks_.empty() ? 0 : 1; // "more to read" hint
    return static_cast<int>(n);
  }
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
  std::condition_variable cond_;
  std::deque<std::string> chunks_;
  std::string written_;
  std::string deviceName_;
  std::vector<int> timeouts_;
  std::vector<int> writeParams_;
  int commMode_;
  int writeResult_ = 1;
  int reads_ = 0;
};

} // namespace fake
