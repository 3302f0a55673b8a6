// A fake of the engine's device (Device.h) for the engine's tests and the text fuzzer: typed
// variables in a map, names cut at their first NUL as the panel's C strings cut them, a record of
// the reads, the published frame counts, and a scripted line as its port.
#pragma once

#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "hj212/Device.h"
#include "tests/support/line/ScriptedLine.h"

namespace enginefake {

class Device final : public HJ::Device, public fake::ScriptedLine {
public:
  // ---- the port: the scripted line's reads and writes, and these
  // Without a port, a drain reads nothing and answers -1, a write is refused untried; a port
  // attached again is another line.
  void AttachPort(bool attached) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (attached && !attached_) handedOver_ = true;
    attached_ = attached;
  }
  // Another port: nothing written on it yet, and the next drain tells the sink before any byte.
  void NewPort() {
    ForgetWrites();
    std::lock_guard<std::mutex> lock(mutex_);
    handedOver_ = true;
  }
  void HandOver() {
    std::lock_guard<std::mutex> lock(mutex_);
    handedOver_ = true;
  }
  // Frame counts published so far, oldest first.
  std::vector<std::int32_t> Published() {
    std::lock_guard<std::mutex> lock(mutex_);
    return published_;
  }
  // The next `n` publishes throw, as a failing database may.
  void ThrowOnNextPublishes(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    throwPublishes_ = n;
  }
  // What one drain takes at most from a flooding line.
  static constexpr int kFloodBytes = 64 * 1024;

  // Reads blocks of 512 into the sink until the line has no more; the sink is fed with no lock
  // held, as committing a frame publishes its count.
  int drain(HJ::ByteSink& sink, unsigned wait_ms, const std::atomic<bool>& stop, std::chrono::steady_clock::time_point) override {
    if (!attached()) return -1;
    if (handed_over()) sink.port_changed();
    int taken = 0;
    for (int more = 1; more != 0 && taken < kFloodBytes && !stop.load();) {
      unsigned char* room = sink.room(512);
      if (!room) break;
      more = 512;
      int got = Read(room, &more, static_cast<int>(wait_ms));
      if (got > 0) sink.commit(got);
      taken += got;
    }
    return taken;
  }
  void let_go_port() override {}
  bool write(const std::string& bytes, int timeout) override {
    return attached() && Write(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()), timeout) != 0;
  }

  // ---- variables (panel's thread)
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
  const std::vector<std::string>& NamesRead() const { return reads_; }

  // What a variable holds now: an Integer's value in `i`, a Text's in `s`.
  struct Held {
    int i;
    double d;
    std::string s;
  };
  Held Get(const std::string& name) const {
    auto found = vars_.find(key(name));
    if (found == vars_.end()) return Held{0, 0.0, std::string()};
    return Held{static_cast<int>(found->second.number), found->second.number, found->second.text};
  }
  // The next `n` stores are refused.
  void FailNextStores(int n) { failStores_ = n; }
  // Stores into `name` throw, as a failing database may ("": none).
  void ThrowOnStoreTo(const std::string& name) { throwStoreTo_ = name; }
  // Every variable call so far.
  int Calls() const { return calls_; }

  HJ::VarValue read(const std::string& name) override {
    ++calls_;
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
    ++calls_;
    auto found = vars_.find(key(name));
    if (found == vars_.end() || found->second.type != HJ::VarType::Text) return false;
    out = found->second.text;
    return true;
  }
  bool is_text(const std::string& name) override {
    ++calls_;
    auto found = vars_.find(key(name));
    return found != vars_.end() && found->second.type == HJ::VarType::Text;
  }
  // Converted to the variable's type: an Integer takes the text's decimal number, a Double its
  // number, a Text the text itself.
  bool store(const std::string& name, std::string& value) override {
    HJ::VarValue* var = storing(name);
    if (!var) return false;
    if (var->type == HJ::VarType::Text) var->text = value;
    else
      var->number =
          var->type == HJ::VarType::Integer ? static_cast<double>(std::strtol(value.c_str(), nullptr, 10)) : std::strtod(value.c_str(), nullptr);
    return true;
  }
  bool store(const std::string& name, int value) override {
    HJ::VarValue* var = storing(name);
    if (!var) return false;
    if (var->type == HJ::VarType::Text) var->text = std::to_string(value);
    else var->number = value;
    return true;
  }
  void publish_frame_count(std::int32_t count) override {
    std::lock_guard<std::mutex> lock(mutex_);
    published_.push_back(count);
    if (throwPublishes_ > 0 && throwPublishes_--) throw std::runtime_error("database failure");
  }

private:
  HJ::VarValue* storing(const std::string& name) {
    ++calls_;
    if (!throwStoreTo_.empty() && key(name) == throwStoreTo_) throw std::runtime_error("database failure");
    if (failStores_ > 0 && failStores_--) return nullptr;
    auto found = vars_.find(key(name));
    return found == vars_.end() ? nullptr : &found->second;
  }
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
  int failStores_ = 0, calls_ = 0;
  std::string throwStoreTo_;

  bool attached() {
    std::lock_guard<std::mutex> lock(mutex_);
    return attached_;
  }
  // True once after the port was handed over.
  bool handed_over() {
    std::lock_guard<std::mutex> lock(mutex_);
    bool was = handedOver_;
    handedOver_ = false;
    return was;
  }

  std::mutex mutex_; // the port's state and the published counts: the receive thread reaches them
  std::vector<std::int32_t> published_;
  bool attached_ = true, handedOver_ = false;
  int throwPublishes_ = 0;
};

} // namespace enginefake
