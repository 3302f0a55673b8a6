// Test doubles for the engine's tests: a port scripted read by read, a channel-0 database,
// and the field frames of data/frames.txt.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "ICommunication.h"
#include "IDevRtdbCtrl.h"

namespace enginetest {

struct FieldFrame {
  bool accept;
  std::string frame; // with its "\r\n"
  std::string note;
};

// data/frames.txt: "accept|reject <TAB> frame without CR LF <TAB> note"; '#' starts a comment line.
inline std::vector<FieldFrame> LoadFieldFrames() {
  std::ifstream in(std::string(POLMON_TEST_DATA) + "/frames.txt");
  if (!in) throw std::runtime_error("cannot open frames.txt");
  std::vector<FieldFrame> out;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    size_t tab1 = line.find('\t');
    size_t tab2 = line.find('\t', tab1 + 1);
    if (tab1 == std::string::npos || tab2 == std::string::npos) throw std::runtime_error("bad line: " + line);
    std::string verdict = line.substr(0, tab1);
    if (verdict != "accept" && verdict != "reject") throw std::runtime_error("bad verdict: " + verdict);
    out.push_back({verdict == "accept", line.substr(tab1 + 1, tab2 - tab1 - 1) + "\r\n", line.substr(tab2 + 1)});
  }
  return out;
}

// A port whose reads return scripted chunks: each Push is what one ReadData call returns (cut to
// the length offered). With nothing scripted a read waits up to its wait for a chunk, or returns
// at once when `immediate` is set.
class ScriptedPort final : public ICommunication {
public:
  void Push(const std::string& chunk) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      chunks_.push_back(chunk);
    }
    cond_.notify_all();
  }
  // Every read returns a full buffer of `byte` and says there is more: a port that never runs dry.
  void Flood(char byte) {
    std::lock_guard<std::mutex> lock(mutex_);
    flood_ = true;
    floodByte_ = byte;
  }
  void SetImmediate(bool immediate) {
    std::lock_guard<std::mutex> lock(mutex_);
    immediate_ = immediate;
  }
  int Reads() const { return reads_.load(); }
  std::vector<int> Waits() {
    std::lock_guard<std::mutex> lock(mutex_);
    return waits_;
  }
  bool Empty() {
    std::lock_guard<std::mutex> lock(mutex_);
    return chunks_.empty();
  }

  int ReadData(unsigned char* buffer, int* length, int wait) override {
    reads_.fetch_add(1);
    std::unique_lock<std::mutex> lock(mutex_);
    waits_.push_back(wait);
    if (flood_) {
      std::memset(buffer, floodByte_, static_cast<size_t>(*length));
      return *length; // *length stays above 0: more to come
    }
    if (chunks_.empty() && !immediate_)
      cond_.wait_for(lock, std::chrono::milliseconds(wait), [this] { return !chunks_.empty(); });
    if (chunks_.empty()) {
      *length = 0;
      return 0;
    }
    std::string chunk = std::move(chunks_.front());
    chunks_.pop_front();
    size_t n = chunk.size() < static_cast<size_t>(*length) ? chunk.size() : static_cast<size_t>(*length);
    std::memcpy(buffer, chunk.data(), n);
    if (n < chunk.size()) chunks_.push_front(chunk.substr(n));
    *length = chunks_.empty() ? 0 : 1;
    return static_cast<int>(n);
  }
  int Open() override { return 1; }
  int Close() override { return 1; }
  int WriteData(const unsigned char*, int*, int) override { return 0; }
  int ClearBuffer() override { return 1; }
  int SetDeviceName(const char*) override { return 1; }
  int GetCommMode() override { return 1; }
  int SetTimeout(int) override { return 1; }
  int GetTimeout() override { return 0; }

private:
  std::mutex mutex_;
  std::condition_variable cond_;
  std::deque<std::string> chunks_;
  std::vector<int> waits_;
  std::atomic<int> reads_{0};
  bool flood_ = false;
  char floodByte_ = 0;
  bool immediate_ = false;
};

// Records every channel call; channel 0 has a configurable type, and set calls fail as scripted.
class ChannelDb final : public IDevRtdbCtrl {
public:
  struct Call {
    std::string op; // "type", "int", "double", "text"
    int channel;
    std::string value;
  };
  DATATYPE type = DT_INTEGER;
  int typeResult = 0;
  int failingSets = 0; // the next n set calls return 1
  int failingResult = 1;

  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

  int GetValueTypeByChannel(int channel, DATATYPE& t) override {
    Record("type", channel, std::to_string(static_cast<int>(t)));
    if (typeResult == 0) t = type;
    return typeResult;
  }
  int SetValueByChannel(int channel, int value) override { return Set("int", channel, std::to_string(value)); }
  int SetValueByChannel(int channel, double value) override { return Set("double", channel, std::to_string(value)); }
  int SetValueByChannel(int channel, std::string& value) override { return Set("text", channel, value); }

  int GetValueTypeByName(const char*, DATATYPE&) override { return Unexpected(); }
  int GetValueByName(const char*, int&) override { return Unexpected(); }
  int GetValueByName(const char*, double&) override { return Unexpected(); }
  int GetValueByName(const char*, std::string&) override { return Unexpected(); }
  int SetValueByName(const char*, int) override { return Unexpected(); }
  int SetValueByName(const char*, double) override { return Unexpected(); }
  int SetValueByName(const char*, std::string&) override { return Unexpected(); }
  int GetValueByChannel(int, int&) override { return Unexpected(); }
  int GetValueByChannel(int, double&) override { return Unexpected(); }
  int GetValueByChannel(int, std::string&) override { return Unexpected(); }
  int GetValueIDByChannel(int, int&) override { return Unexpected(); }

private:
  void Record(const char* op, int channel, std::string value) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back({op, channel, std::move(value)});
  }
  int Set(const char* op, int channel, std::string value) {
    Record(op, channel, std::move(value));
    std::lock_guard<std::mutex> lock(mutex_);
    if (failingSets > 0) {
      --failingSets;
      return failingResult;
    }
    return 0;
  }
  int Unexpected() {
    Record("unexpected", -1, "");
    return 1;
  }

  std::mutex mutex_;
  std::vector<Call> calls_;
};

} // namespace enginetest
