// Framework services a driver gets from the panel's SDK, over a device's ORVA_DATA record:
// reading variables by name for the frame builder, and draining the port for the receive thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "hj212/Device.h"
#include "panel/OrvaData.h"
#include "panel/hostshim.h"

// SvrGetParaValue answers 1 or 0 as an int, the framework service's own interface.
class CDevServer {
public:
  // Reads `name` as text. 1: `out` holds the text variable's value, or the name itself when no
  // variable has that name. 0: the name is a numeric variable; `out` is empty.
  static int SvrGetParaValue(ORVA_DATA& data, CString name, CString& out);
  // Reads `name` as a number. 1: `out` holds the numeric variable's value, or the name read as a
  // literal number. 0: the name is a text variable; `out` is 0.0.
  static int SvrGetParaValue(ORVA_DATA& data, CString name, double& out);

  // Largest number of bytes one drain takes from the port, so a flooding port cannot grow
  // memory without bound or hold the receive thread away from its stop check.
  static constexpr int kDrainLimit = 64 * 1024;
  // Longest a drain goes on reading, so a port that trickles bytes and always claims more cannot
  // hold arrived frames for long. Counted from the drain's start. A look at the clock costs more
  // than a one-byte read, so it comes after every read only while reads are slow (the last two
  // looks were kClockQuickMs or more apart). While they are quick the looks grow rarer: one each
  // time reads shorter than kClockBytes brought that many bytes (so every kClockBytes + 1 reads at
  // most), and one per block for longer reads. A port that turns slow all at once after quick reads
  // is looked at again within those counts. Stop is looked at every read.
  static constexpr int kDrainMs = 100;
  static constexpr int kClockQuickMs = 1;
  static constexpr int kClockBytes = 64;
  static constexpr int kReadSize = 512;
  // Room is asked of the sink for this many bytes at a time and filled by several reads; the
  // byte limit is looked at per block, so a drain of short reads may pass it by less than a block.
  static constexpr int kBlockSize = 4096;

  // Where a drain puts what it reads: the engine's own sink, so its drain costs no adapter.
  using ReadSink = HJ::ByteSink;
  // Which port the receive thread may be reading, so that the thread replacing the record's port
  // can wait until no read of the old one runs or can start: the panel may free it once the
  // replacement returns. The reading thread keeps its hold across drains (a drain that finds the
  // record changed lets go), and lets go whenever it may wait for the panel or idle.
  class PortHold {
  public:
    // Reading side: holds `port` (letting go of another); false (nothing held) when the record
    // names another port. A port already held costs a load and a test.
    bool hold(const ORVA_DATA& data, ICommunication* port) {
      if (m_held.load(std::memory_order_relaxed) == reinterpret_cast<std::uintptr_t>(port)) return true;
      return take(data, port);
    }
    void release() {
      if (m_held.load(std::memory_order_relaxed) != 0 && (m_held.exchange(0) & kWaiter) != 0) wake();
    }
    // Replacing side: stores `port` in the record, then returns once the reading thread holds the
    // port it replaced no more (within one drain: kDrainMs and one read at most).
    void replace(ORVA_DATA& data, ICommunication* port);
    // Reading side, after loading the record's port: whether another port was handed over since
    // the last call (a replacement counted before the record is stored, so seeing the new port
    // means seeing the count).
    bool replaced_since_looked() {
      const std::uint32_t now = m_replaced.load();
      if (now == m_looked) return false;
      m_looked = now;
      return true;
    }

    // Null in the plug-in. A test sets it to pause the reading side where take has stored its
    // port back and not yet looked at the record: the window in which a wake-up could be lost.
    static void (*s_pauseInTake)();

  private:
    static constexpr std::uintptr_t kWaiter = 1; // a replacing thread waits (ports are aligned)
    bool take(const ORVA_DATA& data, ICommunication* port);
    void wake();
    std::atomic<std::uintptr_t> m_held{0};    // the port held, or 0; with kWaiter
    std::atomic<std::uint32_t> m_replaced{0}; // replacements by another port; wraps
    std::uint32_t m_looked = 0;               // the reading side's: m_replaced as last looked at
    std::mutex m_mutex;
    std::condition_variable m_released;
  };

  // Drains the port into `sink` in kReadSize-byte reads with the given wait per read, until the
  // port has nothing more, about kDrainLimit bytes were taken, kDrainMs passed since `started`
  // (when not given: since the first look at the clock, after a read that did not end the drain)
  // or `stop` is set. With a `hold` (the receive thread's), the port is held while it is read:
  // a drain that finds the record naming another port ends. Returns the bytes taken, or -1 when
  // no port is attached (sink untouched).
  static int mfDrainPort(ORVA_DATA& data, ReadSink& sink, unsigned wait, const std::atomic<bool>* stop, PortHold* hold = nullptr,
                         std::chrono::steady_clock::time_point started = {});
  // The same into `out`, which is emptied first (untouched without a port), from now.
  static int mfReadCommUseSleep(ORVA_DATA& data, CByteArray& out, unsigned wait);
};
