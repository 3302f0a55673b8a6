#include <chrono>

#include "DevServer.h"
#include "ICommunication.h"

int CDevServer::mfDrainPort(ORVA_DATA& data, ReadSink& sink, unsigned wait, const std::atomic<bool>* stop) {
  ICommunication* port = LoadPort(data); // read once: the panel may swap ports meanwhile
  if (!port) return -1;
  std::chrono::steady_clock::time_point deadline{};
  unsigned char* block = nullptr; // room asked for a block of reads at a time, not per read
  int filled = 0;
  int taken = 0;
  int hint = 0;
  int reads = 0;
  do {
    if (!block || kBlockSize - filled < kReadSize) {
      if (block) sink.commit(filled);
      block = sink.room(kBlockSize);
      filled = 0;
      if (!block) break;
    }
    hint = kReadSize;
    int placed = port->ReadData(block + filled, &hint, static_cast<int>(wait));
    if (placed < 1) break;
    if (placed > kReadSize) placed = kReadSize; // a port that overstates
    filled += placed;
    taken += placed;
    if (++reads % kClockEvery == 0) {
      auto now = std::chrono::steady_clock::now();
      if (reads == kClockEvery) deadline = now + std::chrono::milliseconds(kDrainMs);
      else if (now >= deadline) break;
    }
  } while (hint > 0 && taken < kDrainLimit && !(stop && stop->load(std::memory_order_relaxed)));
  if (block) sink.commit(filled);
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
