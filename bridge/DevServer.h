// Framework services a driver gets from the panel's SDK, over a device's ORVA_DATA record:
// reading variables by name for the frame builder, and draining the port for the receive thread.
#pragma once

#include <atomic>

#include "OrvaData.h"
#include "hostshim.h"

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
  // hold arrived frames for long. Counted from the first look at the clock, which costs more than a
  // one-byte read: it is looked at once reads shorter than kClockBytes brought that many bytes (so
  // every kClockBytes + 1 reads at most) and every kClockEvery longer reads. Stop is looked at
  // every read.
  static constexpr int kDrainMs = 100;
  static constexpr int kClockEvery = 16;
  static constexpr int kClockBytes = 64;
  static constexpr int kReadSize = 512;
  // Room is asked of the sink for this many bytes at a time and filled by several reads; the
  // byte limit is looked at per block, so a drain of short reads may pass it by less than a block.
  static constexpr int kBlockSize = 4096;

  // Where a drain puts what it reads: room for `n` more bytes (nullptr: no memory), then how many
  // of them the reads filled, from the room's start.
  class ReadSink {
  public:
    virtual unsigned char* room(int n) = 0;
    virtual void commit(int n) = 0;

  protected:
    ~ReadSink() = default;
  };
  // Drains the port into `sink` in kReadSize-byte reads with the given wait per read, until the
  // port has nothing more, about kDrainLimit bytes were taken, kDrainMs passed or `stop` is set.
  // Returns the bytes taken, or -1 when no port is attached (sink untouched).
  static int mfDrainPort(ORVA_DATA& data, ReadSink& sink, unsigned wait, const std::atomic<bool>* stop = nullptr);
  // The same into `out`, which is emptied first (untouched without a port).
  static int mfReadCommUseSleep(ORVA_DATA& data, CByteArray& out, unsigned wait);
};
