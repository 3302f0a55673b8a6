// What the protocol engine needs of the device it serves: its port, its variables and its
// parameters. The panel's side implements it once over the device's record (bridge/PanelDevice.h);
// the engine's tests use a small fake. Nothing here names a panel type.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "WireChoices.h"

namespace HJ {

// Where a drain puts what it reads: room for `n` more bytes (nullptr: no memory), then how many of
// them the reads filled, from the room's start. Called on the receive thread only.
class ByteSink {
public:
  virtual unsigned char* room(int n) = 0;
  virtual void commit(int n) = 0;
  // The port was handed over since the last drain: the bytes from here on come from another line.
  virtual void port_changed() {}

protected:
  ~ByteSink() = default;
};

// What a variable read found. Integer and Double carry `number` (an Integer's value is exact in
// it), Text carries `text`; None is a name that is no variable, Unreachable a device without a
// database.
enum class VarType : unsigned char { Unreachable, None, Integer, Double, Text };
struct VarValue {
  VarType type = VarType::Unreachable;
  double number = 0.0;
  std::string text;
};
// The value as the script commands read it: a double in "%lf", an int in decimal, a text as it
// stands, a name that is no variable as its own text (`name`); Unreachable reads the empty text.
std::string value_text(const std::string& name, VarValue value);

// The device parameters the engine acts on, read once from the configuration (a parameter the
// configuration did not hold is -1 there, and reads as its default here).
struct DeviceParams {
  // The first: the port's timeout in seconds, handed unchanged to each write as the panel's
  // ports expect; -1 when not configured.
  int port_timeout = 0;
  WireCharset charset = kCharsetByFlag; // the second
  PacketLimit packet_limit;             // the third
  CipherForm cipher_form = kCipherRaw;  // the fourth: 1 the text form, 2 with the tail inside, anything else raw
  bool encryption_required = false;     // the fifth at 1: frames whose CN asks for it never leave plain

  // From the configuration's `count` values; missing ones take the defaults above.
  static DeviceParams from(const int* values, int count);
  // The port timeout in milliseconds for the port's own timeout (5 s when not configured).
  int port_timeout_ms() const;
};

// The device as the engine sees it. Each member says which thread calls it; none is called with
// the engine's queue mutex held.
class Device {
public:
  // ---- port
  // Receive thread: drains the port into `sink` (reads waiting `wait_ms` each) until it has nothing
  // more, a limit of bytes or of time from `began` is reached, or `stop` is set. The bytes taken,
  // or -1 without a port; a port handed over since the last drain is told to `sink` before any
  // byte. One call per receive pass.
  virtual int drain(ByteSink& sink, unsigned wait_ms, const std::atomic<bool>& stop, std::chrono::steady_clock::time_point began) = 0;
  // Receive thread: lets go of the port it reads before it may wait for the panel or idle, so a
  // replacement of the port need not wait for it.
  virtual void let_go_port() = 0;
  // Panel's thread: writes a frame's bytes; true when the port took them.
  virtual bool write(const std::string& bytes, int timeout) = 0;

  // ---- variables (panel's thread)
  virtual VarValue read(const std::string& name) = 0;
  // A text variable's text: true only when `name` is one and its read succeeded (out untouched else).
  virtual bool read_text(const std::string& name, std::string& out) = 0;
  virtual bool is_text(const std::string& name) = 0;
  // Stores `value` converted to the variable's type, a refused write tried once more; true when stored.
  virtual bool store(const std::string& name, std::string& value) = 0;
  virtual bool store(const std::string& name, int value) = 0;

  // ---- receive thread
  // Puts the count of accepted frames on the device's first channel, in the channel's type.
  virtual void publish_frame_count(std::int32_t count) = 0;

protected:
  ~Device() = default;
};

} // namespace HJ
