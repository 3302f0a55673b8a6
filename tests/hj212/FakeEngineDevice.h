// A fake of the engine's device (Device.h) for the engine's tests and the text fuzzer: typed
// variables in a map, names cut at their first NUL as the panel's C strings cut them, a record of
// the reads, the published frame counts, and a scripted port the receive thread drains.
#pragma once

#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "Device.h"

namespace enginefake {

class Device final : public HJ::Device {
public:
  // ---- the port: test thread and receive thread
  // Bytes the next drain hands over, one sink block per chunk.
  void Feed(const std::string& chunk) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      chunks_.push_back(chunk);
    }
    cond_.notify_all();
  }
  // From now on every drain fills blocks with `byte` until stop or kFloodBytes: a port that never runs dry.
  void Flood(char byte) {
    std::lock_guard<std::mutex> lock(mutex_);
    flood_ = true;
    floodByte_ = byte;
  }
  // With nothing fed, a drain returns at once instead of waiting its wait out for bytes.
  void SetImmediate(bool immediate) {
    std::lock_guard<std::mutex> lock(mutex_);
    immediate_ = immediate;
  }
  // Without a port, a drain reads nothing and answers -1; a port attached again is another line.
  void AttachPort(bool attached) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (attached && !attached_) handedOver_ = true;
    attached_ = attached;
  }
  // The port handed over: the next drain tells the sink before any byte.
  void HandOver() {
    std::lock_guard<std::mutex> lock(mutex_);
    handedOver_ = true;
  }
  void ThrowOnNextDrains(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    throwDrains_ = n;
  }
  int Drains() {
    std::lock_guard<std::mutex> lock(mutex_);
    return drains_;
  }
  std::set<unsigned> Waits() {
    std::lock_guard<std::mutex> lock(mutex_);
    return waits_;
  }
  bool Drained() {
    std::lock_guard<std::mutex> lock(mutex_);
    return chunks_.empty();
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
  static constexpr int kBlock = 512;
  static constexpr int kFloodBytes = 64 * 1024;

  // The sink is fed with the lock released: committing a frame publishes its count.
  int drain(HJ::ByteSink& sink, unsigned wait_ms, const std::atomic<bool>& stop, std::chrono::steady_clock::time_point) override {
    std::vector<std::string> chunks;
    bool flood = false, handedOver = false;
    char floodByte = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ++drains_;
      waits_.insert(wait_ms);
      if (!attached_) return -1;
      handedOver = handedOver_;
      handedOver_ = false;
      if (throwDrains_ > 0 && throwDrains_--) throw std::runtime_error("port failure");
      if (chunks_.empty() && !flood_ && !immediate_)
        cond_.wait_for(lock, std::chrono::milliseconds(wait_ms), [this] { return !chunks_.empty(); });
      chunks.swap(chunks_);
      flood = flood_;
      floodByte = floodByte_;
    }
    if (handedOver) sink.port_changed();
    int taken = 0;
    while (flood && taken < kFloodBytes && !stop.load()) taken += put(sink, std::string(kBlock, floodByte));
    for (const std::string& chunk : chunks) taken += put(sink, chunk);
    return taken;
  }
  void let_go_port() override {}
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

  // ---- writes (panel's thread)
  std::string Written() {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
  }
  // The timeout each write was handed, one per write tried on an attached port.
  std::vector<int> WriteTimeouts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return timeouts_;
  }
  // false: every write is refused and takes nothing.
  void SetWriteResult(bool taken) {
    std::lock_guard<std::mutex> lock(mutex_);
    writeTaken_ = taken;
  }
  // The n-th write from now (1 = the next) is refused, or throws, and takes nothing.
  void FailWrite(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    failWrite_ = static_cast<int>(timeouts_.size()) + n;
  }
  void ThrowOnWrite(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    throwWrite_ = static_cast<int>(timeouts_.size()) + n;
  }
  // Another port: nothing written on it yet, every write taken.
  void NewPort() {
    std::lock_guard<std::mutex> lock(mutex_);
    written_.clear();
    timeouts_.clear();
    writeTaken_ = true;
    failWrite_ = throwWrite_ = 0;
    handedOver_ = true;
  }
  bool write(const std::string& bytes, int timeout) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!attached_) return false;
    timeouts_.push_back(timeout);
    const int n = static_cast<int>(timeouts_.size());
    if (n == throwWrite_) throw std::runtime_error("port failure");
    if (n == failWrite_ || !writeTaken_) return false;
    written_ += bytes;
    return true;
  }

  // ---- variables (panel's thread)
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
    else var->number = var->type == HJ::VarType::Integer ? static_cast<double>(std::strtol(value.c_str(), nullptr, 10)) : std::strtod(value.c_str(), nullptr);
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
  static int put(HJ::ByteSink& sink, const std::string& bytes) {
    const int n = static_cast<int>(bytes.size());
    unsigned char* room = sink.room(n);
    if (!room) return 0;
    bytes.copy(reinterpret_cast<char*>(room), bytes.size());
    sink.commit(n);
    return n;
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

  std::mutex mutex_;
  std::condition_variable cond_;
  std::vector<std::string> chunks_;
  std::set<unsigned> waits_;
  std::vector<std::int32_t> published_;
  bool flood_ = false, immediate_ = false, attached_ = true, handedOver_ = false;
  char floodByte_ = 0;
  std::string written_;
  std::vector<int> timeouts_;
  bool writeTaken_ = true;
  int failWrite_ = 0, throwWrite_ = 0;
  int throwDrains_ = 0, throwPublishes_ = 0, drains_ = 0;
};

} // namespace enginefake
