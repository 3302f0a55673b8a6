#include <chrono>
#include <cstddef>

#include "DevServer.h"
#include "panel/ICommunication.h"

void (*CDevServer::PortHold::s_pauseInTake)() = nullptr;

void CDevServer::PortHold::replace(ORVA_DATA& data, ICommunication* port) {
  ICommunication* old = LoadPort(data);
  if (old != port) m_replaced.fetch_add(1);
  __atomic_store_n(&data.pCommunication, port, __ATOMIC_SEQ_CST);
  if (!old || old == port) return;
  const std::uintptr_t replaced = reinterpret_cast<std::uintptr_t>(old);
  // Marked as waited for, so that the drain's release wakes this thread; not held: done.
  std::uintptr_t seen = m_held.load();
  for (;;) {
    if ((seen & ~kWaiter) != replaced) return;
    if ((seen & kWaiter) != 0 || m_held.compare_exchange_weak(seen, seen | kWaiter)) break;
  }
  std::unique_lock<std::mutex> lock(m_mutex);
  m_released.wait(lock, [&] { return (m_held.load() & ~kWaiter) != replaced; });
}

bool CDevServer::PortHold::take(const ORVA_DATA& data, ICommunication* port) {
  release();
  // Sequentially consistent, as the replacing side's store of the record and load of the hold: one
  // of the two sees the other's.
  m_held.store(reinterpret_cast<std::uintptr_t>(port));
  if (s_pauseInTake) s_pauseInTake();
  if (__atomic_load_n(&data.pCommunication, __ATOMIC_SEQ_CST) == port) return true;
  // Woken whether or not the waiter mark is back: the first release may have woken a replacement
  // that looked while the store above held its port again, cleared the mark, and sleeps once more.
  m_held.store(0);
  wake();
  return false;
}

void CDevServer::PortHold::wake() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_released.notify_all();
}

namespace {

using Clock = std::chrono::steady_clock;

// A drain's looks at the clock: when its time is up, and how many bytes of short reads may pass
// before the next look.
class Pace {
public:
  explicit Pace(Clock::time_point started) : m_started(started), m_looked(started) {}
  unsigned round() const { return m_round; }
  // Looks at the clock: true when the drain's time is up. Quick reads make the looks rarer, a slow
  // one brings back a look after each read, whose cost is nothing beside it.
  bool up() {
    const Clock::time_point now = Clock::now();
    if (m_deadline == Clock::time_point())
      m_deadline = (m_started == Clock::time_point() ? now : m_started) + std::chrono::milliseconds(CDevServer::kDrainMs);
    if (now >= m_deadline) return true;
    m_round = now - m_looked < std::chrono::milliseconds(CDevServer::kClockQuickMs) ? CDevServer::kClockBytes : 0;
    m_looked = now;
    return false;
  }

private:
  Clock::time_point m_started;
  Clock::time_point m_looked;   // the last look
  Clock::time_point m_deadline; // set at the first look
  unsigned m_round = 1;         // bytes of short reads between looks (0: a look after each read)
};

// Reads until the round's `left` bytes are placed (then the last read is the round's), or `last`:
// the port has nothing more or stop was asked. Reads placing no more than the round has left cost
// the call and three tests; the round's last read, and any count out of range, take the slow path.
[[gnu::always_inline]] inline unsigned char* read_round(ICommunication* port, unsigned char* at, unsigned& left, int wait_ms,
                                                        const std::atomic<bool>& halt, bool& last) {
  constexpr int kReadSize = CDevServer::kReadSize;
  for (;;) {
    int hint = kReadSize;
    const int placed = port->ReadData(at, &hint, wait_ms);
    const unsigned more = static_cast<unsigned>(placed) - 1u; // bytes placed beyond the first
    if (__builtin_expect(more >= left, 0)) {                  // expected not: keeps the one-byte read's path straight
      if (placed < 1) last = true;
      else at += placed < kReadSize ? placed : kReadSize; // a port may overstate
      last = last || hint <= 0 || halt.load(std::memory_order_relaxed);
      return at;
    }
    at += std::size_t{more} + 1;
    left -= more + 1;
    // One test for both ends: a set stop flag makes the value negative.
    if (__builtin_expect((hint | -static_cast<int>(halt.load(std::memory_order_relaxed))) <= 0, 0)) {
      last = true;
      return at;
    }
  }
}

} // namespace

int CDevServer::mfDrainPort(ORVA_DATA& data, ReadSink& sink, unsigned wait, const std::atomic<bool>* stop, PortHold* hold,
                            std::chrono::steady_clock::time_point started) {
  ICommunication* port = LoadPort(data); // read once: the panel may swap ports meanwhile
  if (!port) return -1;
  if (hold && hold->replaced_since_looked()) sink.port_changed();
  const std::atomic<bool>& halt = *stop;
  const int wait_ms = static_cast<int>(wait);
  constexpr std::size_t kLastFit = kBlockSize - kReadSize; // a block takes reads while it holds this much at most
  Pace pace(started);
  bool last = false; // the port has nothing more, stop was asked, or the time is up
  int taken = 0;
  while (!last && taken < kDrainLimit && !halt.load(std::memory_order_relaxed)) {
    unsigned char* const block = sink.room(kBlockSize); // room is asked for a block of reads at a time
    if (!block) break;
    if (hold && !hold->hold(data, port)) break; // the port was replaced: the next drain reads the new one
    unsigned char* at = block;
    unsigned left = pace.round(); // bytes the round may still take before the clock is due
    for (;;) {
      at = read_round(port, at, left, wait_ms, halt, last);
      if (last) break;
      const std::size_t room = static_cast<std::size_t>(block + kLastFit - at); // wraps when full
      const bool full = room > kLastFit;                                        // no room for another whole read
      // While reads are quick, a read of a whole round waits for the block's end to look.
      if (!full && left == pace.round() && left != 0) {
        left = room < left ? static_cast<unsigned>(room) : left;
        continue;
      }
      if (pace.up()) {
        last = true;
        break;
      }
      if (full) break;
      left = room < pace.round() ? static_cast<unsigned>(room) : pace.round();
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
  explicit ByteArraySink(CByteArray& out) : m_out(out) {}
  unsigned char* room(int n) override {
    m_had = m_out.GetSize();
    return m_out.SetSize(m_had + n) ? m_out.GetData() + m_had : nullptr;
  }
  void commit(int n) override { m_out.SetSize(m_had + n); }

private:
  CByteArray& m_out;
  int m_had = 0;
};

} // namespace

int CDevServer::mfReadCommUseSleep(ORVA_DATA& data, CByteArray& out, unsigned wait) {
  if (!LoadPort(data)) return -1;
  out.SetSize(0);
  ByteArraySink sink(out);
  static const std::atomic<bool> kNever{false};
  int taken = mfDrainPort(data, sink, wait, &kNever, nullptr, std::chrono::steady_clock::now());
  if (taken < 0) return -1;
  out.SetSize(taken); // drops the room of a read that placed nothing
  return taken;
}
