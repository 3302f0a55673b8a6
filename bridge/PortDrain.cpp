#include <chrono>
#include <cstddef>

#include "DevServer.h"
#include "ICommunication.h"

int CDevServer::mfDrainPort(ORVA_DATA& data, ReadSink& sink, unsigned wait, const std::atomic<bool>* stop) {
  ICommunication* port = LoadPort(data); // read once: the panel may swap ports meanwhile
  if (!port) return -1;
  static const std::atomic<bool> kNever{false};
  const std::atomic<bool>& halt = stop ? *stop : kNever;
  const int wait_ms = static_cast<int>(wait);
  constexpr std::size_t kLastFit = kBlockSize - kReadSize; // a block takes reads while it holds this much at most
  constexpr unsigned kRound = kClockBytes;
  using Clock = std::chrono::steady_clock;
  Clock::time_point deadline = Clock::time_point::max(); // until the first look
  int long_reads = 0; // rounds of one read since the clock was looked at
  bool last = false;  // the port has nothing more, stop was asked, or the time is up
  int taken = 0;
  while (!last && taken < kDrainLimit && !halt.load(std::memory_order_relaxed)) {
    unsigned char* const block = sink.room(kBlockSize); // room is asked for a block of reads at a time
    if (!block) break;
    unsigned char* at = block;
    unsigned left = kRound; // bytes the round may still take before the clock is due
    for (;;) {
      // Reads placing no more than the round has left cost the call and three tests; the round's
      // last read, and any count out of range, take the slow path.
      for (;;) {
        int hint = kReadSize;
        const int placed = port->ReadData(at, &hint, wait_ms);
        const unsigned more = static_cast<unsigned>(placed) - 1u; // bytes placed beyond the first
        if (__builtin_expect(more >= left, 0)) { // expected not: keeps the one-byte read's path straight
          if (placed < 1) last = true;
          else at += placed < kReadSize ? placed : kReadSize; // a port may overstate
          last = last || hint <= 0 || halt.load(std::memory_order_relaxed);
          break;
        }
        at += std::size_t{more} + 1;
        left -= more + 1;
        // One test for both ends: a set stop flag makes the value negative.
        if (__builtin_expect((hint | -static_cast<int>(halt.load(std::memory_order_relaxed))) <= 0, 0)) {
          last = true;
          break;
        }
      }
      if (last) break;
      const std::size_t room = static_cast<std::size_t>(block + kLastFit - at); // wraps when full
      if (room > kLastFit) break;                                               // no room for another whole read
      const bool long_read = left == kRound; // a whole round in one read
      left = room < kRound ? static_cast<unsigned>(room) : kRound;
      if (long_read && ++long_reads < kClockEvery) continue;
      long_reads = 0;
      const Clock::time_point now = Clock::now();
      if (deadline == Clock::time_point::max()) {
        deadline = now + std::chrono::milliseconds(kDrainMs);
      } else if (now >= deadline) {
        last = true;
        break;
      }
    }
    const int filled = static_cast<int>(at - block);
    if (filled > 0) sink.commit(filled);
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
