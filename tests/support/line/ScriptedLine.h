// A scripted serial line, shared by the fake of the panel's port and the fake of the engine's
// device: bytes fed in chunks for the reads, a record of the writes, and failures on demand.
// Nothing of the panel; every member is safe from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace fake {

class ScriptedLine {
public:
  // Bytes the next reads return, one chunk per read (at most the length offered).
  void Feed(const std::string& chunk) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      chunks_.push_back(chunk);
    }
    cond_.notify_all();
  }
  // From now on every read fills the whole buffer with `byte` and says there is more: a port
  // that never runs dry.
  void Flood(char byte) {
    std::lock_guard<std::mutex> lock(mutex_);
    flood_ = true;
    floodByte_ = byte;
  }
  // With nothing fed, a read returns at once instead of waiting its wait out.
  void SetImmediate(bool immediate) {
    std::lock_guard<std::mutex> lock(mutex_);
    immediate_ = immediate;
  }
  // The next `n` reads throw, as a failing port driver may.
  void ThrowOnNextReads(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    throwReads_ = n;
  }
  // Every distinct wait the reads were given.
  std::set<int> Waits() {
    std::lock_guard<std::mutex> lock(mutex_);
    return waits_;
  }
  std::string Written() {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
  }
  // The parameter each write was handed.
  std::vector<int> WriteParams() {
    std::lock_guard<std::mutex> lock(mutex_);
    return writeParams_;
  }
  int Reads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reads_;
  }
  bool Drained() {
    std::lock_guard<std::mutex> lock(mutex_);
    return chunks_.empty();
  }
  // 0: every write is refused and takes nothing.
  void SetWriteResult(int result) {
    std::lock_guard<std::mutex> lock(mutex_);
    writeResult_ = result;
  }
  // The n-th write from now (1 = the next) fails and takes nothing; the others as set.
  void FailWrite(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    failWrite_ = static_cast<int>(writeParams_.size()) + n;
  }
  // The n-th write from now throws and takes nothing, as a failing port driver may.
  void ThrowOnWrite(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    throwWrite_ = static_cast<int>(writeParams_.size()) + n;
  }

  // One write: its result (0 refused); the bytes are kept when taken.
  int Write(const unsigned char* data, int length, int param) {
    std::lock_guard<std::mutex> lock(mutex_);
    writeParams_.push_back(param);
    if (static_cast<int>(writeParams_.size()) == throwWrite_) throw std::runtime_error("port failure");
    int result = static_cast<int>(writeParams_.size()) == failWrite_ ? 0 : writeResult_;
    if (result != 0 && data && length > 0) written_.append(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
    return result;
  }
  // One read of at most `*length` bytes, waiting up to `wait` ms for a chunk; `*length` becomes
  // the "more to read" hint (nonzero while chunks or the flood remain).
  int Read(unsigned char* buffer, int* length, int wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++reads_;
    waits_.insert(wait);
    if (throwReads_ > 0) {
      --throwReads_;
      throw std::runtime_error("port failure");
    }
    if (flood_) {
      std::memset(buffer, floodByte_, static_cast<size_t>(*length));
      return *length; // *length stays above 0: more to come
    }
    if (chunks_.empty() && !immediate_) cond_.wait_for(lock, std::chrono::milliseconds(wait), [this] { return !chunks_.empty(); });
    if (chunks_.empty()) {
      *length = 0;
      return 0;
    }
    std::string& chunk = chunks_.front();
    size_t n = chunk.size() < static_cast<size_t>(*length) ? chunk.size() : static_cast<size_t>(*length);
    chunk.copy(reinterpret_cast<char*>(buffer), n);
    chunk.erase(0, n);
    if (chunk.empty()) chunks_.pop_front();
    *length = chunks_.empty() ? 0 : 1;
    return static_cast<int>(n);
  }

  // Another line: nothing written on it yet, every write taken.
  void ForgetWrites() {
    std::lock_guard<std::mutex> lock(mutex_);
    written_.clear();
    writeParams_.clear();
    writeResult_ = 1;
    failWrite_ = throwWrite_ = 0;
  }

private:
  std::mutex mutex_;
  std::condition_variable cond_;
  std::deque<std::string> chunks_;
  std::string written_;
  std::vector<int> writeParams_;
  std::set<int> waits_;
  bool flood_ = false;
  bool immediate_ = false;
  char floodByte_ = 0;
  int throwReads_ = 0;
  int writeResult_ = 1;
  int failWrite_ = 0;  // the write, counted from the first, that fails
  int throwWrite_ = 0; // the write, counted from the first, that throws
  int reads_ = 0;
};

} // namespace fake
