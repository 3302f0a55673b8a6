#include <chrono>

#include "DevServer.h"
#include "ICommunication.h"

int CDevServer::mfDrainPort(ORVA_DATA& data, ReadSink& sink, unsigned wait, const std::atomic<bool>* stop) {
  ICommunication* port = LoadPort(data); // read once: the panel may swap ports meanwhile
  if (!port) return -1;
  static const std::atomic<bool> kNever{false};
  const std::atomic<bool>& halt = stop ? *stop : kNever;
  std::chrono::steady_clock::time_point deadline{};
  bool timed = false;
  unsigned char* block = nullptr; // room is asked for a block of reads at a time, not per read
  int filled = kBlockSize;        // bytes read into the current block
  int taken = 0;                  // bytes of the blocks before it
  int until_check = kClockEvery;  // reads left before the clock is looked at
  for (;;) {
    if (kBlockSize - filled < kReadSize) {
      if (block) sink.commit(filled);
      taken += block ? filled : 0;
      filled = 0;
      if (taken >= kDrainLimit || halt.load(std::memory_order_relaxed)) break;
      block = sink.room(kBlockSize);
      if (!block) break;
    }
    int hint = kReadSize;
    int placed = port->ReadData(block + filled, &hint, static_cast<int>(wait));
    if (placed < 1) break;
    if (placed > kReadSize) placed = kReadSize; // a port that overstates
    filled += placed;
    if (hint <= 0 || halt.load(std::memory_order_relaxed)) break;
    if (--until_check == 0) {
      until_check = kClockEvery;
      auto now = std::chrono::steady_clock::now();
      if (!timed) deadline = now + std::chrono::milliseconds(kDrainMs), timed = true;
      else if (now >= deadline) break;
    }
  }
  if (block && filled > 0) {
    sink.commit(filled);
    taken += filled;
  }
  return taken;
}

namespace {

// Grows the array by a read's room and trims it to what the port filled.
class ByteArraySink final : public CDevServer::ReadSink {
public:
  explicit ByteArraySink(CByteArray& out) : out_(out) {}
  unsigned char* room(int n) override {
    had_ = out_.GetSize();
    return out_.SetSize(had_ + n) ? out_.GetData() + had_ : nullptr;
  }
  void commit(int n) override { out_.SetSize(had_ + n); }

private:
  CByteArray& out_;
  int had_ = 0;
};

} // namespace

int CDevServer::mfReadCommUseSleep(ORVA_DATA& data, CByteArray& out, unsigned wait) {
  if (!LoadPort(data)) return -1;
  out.SetSize(0);
  ByteArraySink sink(out);
  int taken = mfDrainPort(data, sink, wait);
  if (taken < 0) return -1;
  out.SetSize(taken); // drops the room of a read that placed nothing
  return taken;
}
