// A small fake of the engine's device for the builder and the text fuzzer: typed variables in a
// map, names cut at their first NUL as the panel's C strings cut them, and a record of the reads.
// It has no port.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "Device.h"

namespace textfake {

class Variables final : public HJ::Device {
public:
  void Int(const std::string& name, int v) { put(name, HJ::VarType::Integer, v, {}); }
  void Double(const std::string& name, double v) { put(name, HJ::VarType::Double, v, {}); }
  void Text(const std::string& name, const std::string& v) { put(name, HJ::VarType::Text, 0.0, v); }
  std::string TextOf(const std::string& name) const {
    auto found = vars_.find(key(name));
    return found == vars_.end() ? std::string() : found->second.text;
  }
  void RecordReads() {
    recording_ = true;
    reads_.clear();
  }
  const std::vector<std::string>& Reads() const { return reads_; }

  int drain(HJ::ByteSink&, unsigned, const std::atomic<bool>&, std::chrono::steady_clock::time_point) override { return -1; }
  void let_go_port() override {}
  bool write(const std::string&, int) override { return false; }
  HJ::VarValue read(const std::string& name) override {
    if (recording_) reads_.push_back(key(name));
    auto found = vars_.find(key(name));
    if (found == vars_.end()) {
      HJ::VarValue none;
      none.type = HJ::VarType::None;
      return none;
    }
    return found->second;
  }
  bool read_text(const std::string& name, std::string& out) override {
    auto found = vars_.find(key(name));
    if (found == vars_.end() || found->second.type != HJ::VarType::Text) return false;
    out = found->second.text;
    return true;
  }
  bool is_text(const std::string& name) override {
    auto found = vars_.find(key(name));
    return found != vars_.end() && found->second.type == HJ::VarType::Text;
  }
  // Stores text into text variables only: the builder's tests store frames, never numbers.
  bool store(const std::string& name, std::string& value) override {
    auto found = vars_.find(key(name));
    if (found == vars_.end() || found->second.type != HJ::VarType::Text) return false;
    found->second.text = value;
    return true;
  }
  bool store(const std::string&, int) override { return false; }
  void publish_frame_count(std::int32_t) override {}

private:
  static std::string key(const std::string& name) { return std::string(name.c_str()); }
  void put(const std::string& name, HJ::VarType type, double number, const std::string& text) {
    HJ::VarValue& value = vars_[key(name)];
    value.type = type;
    value.number = number;
    value.text = text;
  }
  std::map<std::string, HJ::VarValue> vars_;
  std::vector<std::string> reads_;
  bool recording_ = false;
};

} // namespace textfake
