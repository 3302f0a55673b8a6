// The plug-in as the panel loads it, driven through its three exports and the device interface. The input is a stream of operations: create, version, port, init (fuzzed or valid
// configuration bytes), collect, cleanup, script command, channel write, port bytes (any chunking,
// over-claiming, endless "more" hints, failing and throwing reads; a read whose bytes begin with
// 0xE5 carries one of three frames encrypted under the key of K instead, whole or cut), SM4 keys
// set and removed and encrypted frames sent (device parameters 4 and 5 from the configuration
// byte), a database that refuses or throws, and a database whose stores call back: into the
// device (any entry point, lifecycle included, from the panel's thread inside a call or from the
// receive thread) or by throwing. Each input ends with the device destroyed: nothing may crash,
// leak or hang, no exception may leave an export, and every lifecycle call from a callback is
// refused.
//
// Built twice. plugin_fuzz links the plug-in's code and runs the receive passes itself, on the
// fuzzing thread between the panel's calls (a pass after every operation, and until the port's
// reads are taken after each read): no thread starts or stops per input, and every input
// replays alike. plugin_thread_fuzz loads the built plug-in, whose receive thread runs beside
// the panel's calls, for the interleavings of the two threads.
#if !POLMON_PLUGIN_SERIAL
#include <dlfcn.h>
#endif

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/ConfigBytes.h"
#if POLMON_PLUGIN_SERIAL
#include "driver/DevCtrl.h"
#endif
#include "panel/DeviceExports.h"
#include "panel/ResultCodes.h"
#include "tests/support/FakePanel.h"

namespace {

#if POLMON_PLUGIN_SERIAL
constexpr bool kSerial = true;
#else
constexpr bool kSerial = false;
#endif

// One read the port answers: bytes, what it claims to have placed, the "more" hint, or a failure.
struct Read {
  std::string bytes;
  int claim;  // returned count; may exceed the bytes or the buffer
  int hint;   // *length afterwards
  bool raise; // throws instead
};

// A port whose reads come from the input. With nothing scripted a read of the receive thread waits
// its whole wait for more, as a quiet line does (so the thread sits in a read, not in its idle, and
// takes a scripted read at once), until the harness nudges it or winds the input up; a pass on the
// fuzzing thread finds nothing at once.
class ScriptPort final : public ICommunication {
public:
  // Queues a read and, when a reader was waiting for one, waits up to `ms` until the reads were
  // taken and, for a read that places bytes, until the reader is back for more (the bytes went
  // through a pass; after a failed or empty read the thread idles instead). With no reader waiting
  // (none started, or busy elsewhere) the read stays queued and the input goes on meanwhile.
  void Push(Read read, int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool places = !read.raise && read.claim > 0;
    reads_.push_back(std::move(read));
    cond_.notify_all();
    if (kSerial || waiting_ == 0) return;
    const unsigned long served = served_;
    cond_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return reads_.empty() && (!places || (served_ != served && waiting_ > 0)); });
  }
  // The read waiting now, or else the next one, ends with nothing at once: a lifecycle call that
  // waits for the receive thread finds it between reads (it sees stop, or lets go of a replaced port).
  bool Pending() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !reads_.empty();
  }
  void Nudge() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      nudged_ = true;
    }
    cond_.notify_all();
  }
  void Reset(int mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    reads_.clear();
    quiet_ = false;
    nudged_ = false;
    mode_ = mode;
  }
  void Quiet() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quiet_ = true;
      reads_.clear();
    }
    cond_.notify_all();
  }

  int Open() override { return 1; }
  int Close() override { return 1; }
  int WriteData(const unsigned char*, int* length, int) override { return length && *length > 0 ? 1 : 0; }
  int ReadData(unsigned char* buffer, int* length, int wait) override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!kSerial && reads_.empty() && !quiet_ && !nudged_) {
      ++waiting_;
      ++served_;
      cond_.notify_all();
      cond_.wait_for(lock, std::chrono::milliseconds(wait < 0 ? 0 : wait > 40 ? 40 : wait), [&] { return quiet_ || nudged_ || !reads_.empty(); });
      --waiting_;
    }
    if (reads_.empty()) nudged_ = false;
    if (reads_.empty()) {
      *length = 0;
      return 0;
    }
    Read read = std::move(reads_.front());
    reads_.pop_front();
    if (read.raise) throw std::runtime_error("port failure");
    size_t n = read.bytes.size() < static_cast<size_t>(*length) ? read.bytes.size() : static_cast<size_t>(*length);
    std::memcpy(buffer, read.bytes.data(), n);
    *length = read.hint;
    return read.claim;
  }
  int ClearBuffer() override { return 1; }
  int SetDeviceName(const char*) override { return 1; }
  int GetCommMode() override { return mode_; }
  int SetTimeout(int) override { return 1; }
  int GetTimeout() override { return 0; }

private:
  std::mutex mutex_;
  std::condition_variable cond_;
  std::deque<Read> reads_;
  bool quiet_ = false;
  int mode_ = 1;
  int waiting_ = 0;          // readers waiting for a scripted read
  unsigned long served_ = 0; // reads that found nothing and waited: a reader came back for more
  bool nudged_ = false;      // the next read that finds nothing returns at once
};

// The panel's tools library, as this panel provides it: the plug-in's sleeps (the I/O-control
// pacing of script commands and channel writes) cost the fuzzer no time.
extern "C" __attribute__((visibility("default"))) void Orva_Sleep(unsigned int, int) {}

#if POLMON_PLUGIN_SERIAL
struct Plugin {
  PFN_CreateDeviceCtrl create = &CreateDeviceCtrl;
  PFN_GetInterfaceVersion version = &GetInterfaceVersion;
  PFN_DestroyDeviceCtrl destroy = &DestroyDeviceCtrl;
};
#else
struct Plugin {
  PFN_CreateDeviceCtrl create = nullptr;
  PFN_GetInterfaceVersion version = nullptr;
  PFN_DestroyDeviceCtrl destroy = nullptr;
  Plugin() {
    void* handle = dlopen(POLMON_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      std::fprintf(stderr, "%s\n", dlerror());
      std::abort();
    }
    create = reinterpret_cast<PFN_CreateDeviceCtrl>(dlsym(handle, "CreateDeviceCtrl"));
    version = reinterpret_cast<PFN_GetInterfaceVersion>(dlsym(handle, "GetInterfaceVersion"));
    destroy = reinterpret_cast<PFN_DestroyDeviceCtrl>(dlsym(handle, "DestroyDeviceCtrl"));
    if (!create || !version || !destroy) std::abort();
  }
};
#endif

class Input {
public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool More() const { return pos_ < size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  int Int() { return static_cast<int8_t>(Byte()) * 37 + static_cast<int8_t>(Byte()); }
  std::string Slice() {
    size_t n = Byte();
    if (n > size_ - pos_) n = size_ - pos_;
    std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return s;
  }

private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

const char* const kCommands[] = {"GetData(F,N)", "GetQueueSize(N)", "GetStats(A,B,C,D,E,G,H)", "Send(F,N)", "GetValue(F,QN,T,N)"};
// Picks 200 to 215: the key (K's, the channel-written S's, none, or a name that is no variable),
// a data upload sent with it, the eight counters.
const char* const kKeyCommands[] = {"SetKey(K,N)", "SetKey(S,N)", "SetKey(Empty,N)", "SetKey(Nowhere,N)", "Send(X,N,T)", "GetStats(A,B,C,D,E,G,H,N)"};

// Frames encrypted under "0123456789abcdef": raw ciphertext holding CR LF, "##" and NUL; the text
// form; raw ciphertext without them.
const char kRawHoldingCrLf[] = "##0143QN=20250101000000000;ST=22;CN=2011;PW=123456;MN=POLMON0000000001;Flag=9;CP=&&qqq\x0D"
                               "\x0A"
                               "q"
                               "qqqqq\x00"
                               "qqqqqq##xyqqqqqqqqqqqqqqq\x0D"
                               "\x0A"
                               "qqqq\x00"
                               "qqqqqqqqqqqq##qqqqqq&&7C40\x0D"
                               "\x0A"
                               "";
const char kTextForm[] = "##0325QN=20250101000000000;ST=22;CN=2011;PW=123456;MN=POLMON0000000001;Flag=9;CP=&&{0xC8,0x3E,0x4B,0x"
                         "D0,0x06,0x0B,0xD9,0x9B,0x63,0x44,0xB2,0xC4,0xDF,0xFA,0x10,0xFC,0xD1,0x2B,0xF0,0x8A,0x00,0xE3,0x2B,0x6"
                         "1,0x78,0x03,0xCD,0x02,0x94,0x33,0x71,0x13,0x30,0x92,0xCD,0x85,0xFD,0x4A,0xF2,0x71,0xDD,0x57,0x12,0x1C"
                         ",0x9B,0x3C,0xAA,0x5E}lag=N&&03C0\x0D"
                         "\x0A"
                         "";
const char kRawPlain[] = "##0132QN=20250101000000000;ST=22;CN=2011;PW=123456;MN=POLMON0000000001;Flag=9;CP=&&\xC8"
                         ">K\xD0"
                         "\x06"
                         ""
                         "\x0B"
                         "\xD9"
                         "\x9B"
                         "cD\xB2"
                         "\xC4"
                         "\xDF"
                         "\xFA"
                         "\x10"
                         "\xFC"
                         "\xD1"
                         "+\xF0"
                         "\x8A"
                         "\x00"
                         "\xE3"
                         ""
                         "+ax\x03"
                         "\xCD"
                         "\x02"
                         "\x94"
                         "3q\x13"
                         "0\x92"
                         "\xCD"
                         "\x85"
                         "\xFD"
                         "J\xF2"
                         "q\xDD"
                         "W\x12"
                         "\x1C"
                         "\x9B"
                         ""
                         "<\xAA"
                         "^lag=N&&03C0\x0D"
                         "\x0A"
                         "";
const std::string kEncrypted[] = {std::string(kRawHoldingCrLf, sizeof kRawHoldingCrLf - 1), std::string(kTextForm, sizeof kTextForm - 1),
                                  std::string(kRawPlain, sizeof kRawPlain - 1)};

void require(bool condition) {
  if (!condition) std::abort();
}

// The device the panel holds, for callbacks on either thread.
std::atomic<IDeviceCtrl*> g_device{nullptr};

// What a panel callback does when the database stores, each step once, on whichever thread stored.
enum class Step : uint8_t { Cleanup, Init, Port, Destroy, Command, Collect, Write, Throw, Count };
struct Callbacks {
  std::vector<Step> steps;
  std::vector<const char*> commands; // one per step
  std::atomic<size_t> next{0};
};

void CallBack(Callbacks& plan, const PFN_DestroyDeviceCtrl destroy, ICommunication* port) {
  size_t i = plan.next++;
  IDeviceCtrl* device = g_device.load();
  if (i >= plan.steps.size() || !device) return;
  static const std::string config = fake::ConfigBytes({1, 11, 12}, {fake::Row()});
  // A callback runs inside one of the device's calls or on its receive thread: its lifecycle
  // calls are always refused.
  switch (plan.steps[i]) {
  case Step::Cleanup: require(device->CleanupDevice() == kErrBadArgument); break;
  case Step::Init: require(device->InitDevice(fake::Bytes(config), static_cast<int>(config.size())) == kErrBadArgument); break;
  case Step::Port: require(device->UpdataCommunication(port) == kErrBadArgument); break;
  case Step::Destroy: require(destroy(device) == 1); break;
  case Step::Command: device->DevIOCtrl(plan.commands[i]); break;
  case Step::Collect: {
    int codes[2] = {3, 3};
    device->CollectDevData(codes, 2);
    break;
  }
  case Step::Write: {
    int value = static_cast<int>(i);
    device->WriteChannel(static_cast<int>(i % 2), DT_INTEGER, &value);
    break;
  }
  default: throw std::runtime_error("panel callback failure");
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Plugin plugin;
  static ScriptPort port;
  static ScriptPort quiet; // a second port, whose line stays quiet: the device may be switched to it and back
  Input in(data, size);
  fake::Rtdb rtdb;
  for (const char* name : {"F", "T", "S", "Empty"}) rtdb.SetText(name, "");
  rtdb.SetText("K", "0123456789abcdef");
  rtdb.SetText(
      "X", "QN=20250101000000000;ST=22;CN=2011;PW=123456;MN=POLMON0000000001;Flag=9;CP=&&DataTime=20250101000000;w01018-Rtd=12.5,w01018-Flag=N&&");
  for (const char* name : {"N", "A", "B", "C", "D", "E", "G", "H", "Count"}) rtdb.SetInt(name, 0);
  rtdb.BindChannel(0, "Count");
  rtdb.BindChannel(1, "S");
  port.Reset(1 + in.Byte() % 3);
  quiet.Reset(1);
  IDeviceCtrl* device = nullptr;
  // A lifecycle call that waits for the receive thread finds it between reads.
  auto nudge = [] {
    port.Nudge();
    quiet.Nudge();
  };
  int slowCalls = 0; // script commands and channel writes: bounded, so an input stays short
  for (int op = 0; op < 48 && in.More(); ++op) {
    // No exception leaves an export: the panel's own throwing database included.
    try {
      switch (in.Byte() % 13) {
      case 0:
        if (!device) {
          device = plugin.create(in.Slice().c_str(), in.Byte() % 8 ? &rtdb : nullptr);
#if POLMON_PLUGIN_SERIAL
          if (device) static_cast<CDevCtrl*>(device)->m_receiveByCaller = true;
#endif
          g_device = device;
        }
        break;
      case 1: plugin.version(static_cast<int8_t>(in.Byte()), device); break;
      case 2:
        if (device) {
          uint8_t pick = in.Byte();
          nudge();
          device->UpdataCommunication(pick % 8 == 0 ? nullptr : pick % 8 == 7 ? &quiet : &port);
        }
        break;
      case 3:
        if (device) {
          std::string bytes;
          if (in.Byte() % 2) {
            bytes = in.Slice();
          } else {
            int p = in.Byte(); // ciphertext form and encryption required from the same byte
            bytes = fake::ConfigBytes({p % 3, 11, 12, p / 3 % 3, p / 9 % 3}, {fake::Row()});
          }
          // The whole buffer, a prefix of it, or a negative length (no configuration): never more.
          int whole = static_cast<int>(bytes.size()), cut = in.Byte();
          int length = cut < 192 ? whole : cut < 224 ? (cut % 32 < whole ? cut % 32 : whole) : -(cut % 32) - 1;
          device->InitDevice(bytes.empty() ? nullptr : fake::Bytes(bytes), length);
        }
        break;
      case 4:
        if (device) {
          int codes[8];
          for (int& code : codes) code = in.Byte() % 5;
          device->CollectDevData(codes, static_cast<int>(in.Byte() % 10) - 1);
        }
        break;
      case 5:
        if (device) {
          nudge();
          device->CleanupDevice();
        }
        break;
      case 6:
        if (device && slowCalls++ < 16) {
          uint8_t pick = in.Byte();
          device->DevIOCtrl(pick < 200 ? kCommands[pick % 5] : pick < 216 ? kKeyCommands[pick % 6] : in.Slice().c_str());
        }
        break;
      case 7:
        if (device && slowCalls++ < 16) {
          int channel = static_cast<int>(in.Byte() % 4) - 1;
          int number = in.Int();
          double real = number / 8.0;
          std::string text = in.Slice();
          switch (in.Byte() % 3) {
          case 0: device->WriteChannel(channel, DT_INTEGER, &number); break;
          case 1: device->WriteChannel(channel, DT_DOUBLE, &real); break;
          default: device->WriteChannel(channel, DT_STRING, const_cast<char*>(text.c_str()));
          }
        }
        break;
      case 8:
      case 9: {
        uint8_t how = in.Byte();
        Read read{in.Slice(), 0, 0, how % 16 == 0};
        if (read.bytes.size() >= 2 && static_cast<unsigned char>(read.bytes[0]) == 0xE5) {
          const std::string& frame = kEncrypted[static_cast<unsigned char>(read.bytes[1]) % 3];
          std::size_t keep = read.bytes.size() > 2 ? frame.size() * static_cast<unsigned char>(read.bytes[2]) / 255 : frame.size();
          read.bytes = frame.substr(0, keep);
        }
        int length = static_cast<int>(read.bytes.size());
        read.claim = how % 8 == 1 ? length + 600 : how % 8 == 2 ? -1 : length; // over-claiming, failing
        read.hint = how % 4 == 3 ? 1 : 0;                                      // "more to come", or not
        port.Push(std::move(read), 30);
        break;
      }
      case 10: {
        uint8_t how = in.Byte();
        if (how % 2) rtdb.ThrowOnNextSets(how % 5);
        else rtdb.FailNextSets(how % 5);
        break;
      }
      case 11:
        if (device && in.Byte() % 4 == 0) {
          nudge();
          require(plugin.destroy(device) == 0);
          g_device = nullptr;
          device = nullptr;
        }
        break;
      default: {
        // Callbacks for the stores from here on: up to three steps, by name (the panel's thread,
        // inside a command) or by channel (a collection cycle, or the receive thread).
        auto plan = std::make_shared<Callbacks>();
        for (int n = in.Byte() % 4; n > 0; --n) {
          uint8_t pick = in.Byte();
          plan->steps.push_back(static_cast<Step>(pick % static_cast<uint8_t>(Step::Count)));
          plan->commands.push_back(kCommands[(pick >> 4) % 5]);
        }
        PFN_DestroyDeviceCtrl destroy = plugin.destroy;
        ICommunication* other = &quiet;
        if (in.Byte() % 2) rtdb.OnNameSet([plan, destroy, other](const std::string&) { CallBack(*plan, destroy, other); });
        else rtdb.OnChannelSet([plan, destroy, other](int) { CallBack(*plan, destroy, other); });
      }
      }
#if POLMON_PLUGIN_SERIAL
      // The receive thread's turn: a pass, and more while the port holds scripted reads.
      if (device) {
        CDevCtrl* ctrl = static_cast<CDevCtrl*>(device);
        int got = ctrl->RunReceivePass();
        for (int pass = 0; pass < 8 && got >= 0 && port.Pending(); ++pass) got = ctrl->RunReceivePass();
      }
#endif
    } catch (...) {
      std::abort();
    }
  }
  port.Quiet(); // the receive thread's reads return at once from here on, so the stop is prompt
  quiet.Quiet();
  try {
    if (device) require(plugin.destroy(device) == 0);
  } catch (...) {
    std::abort();
  }
  g_device = nullptr;
  rtdb.OnNameSet(nullptr);
  rtdb.OnChannelSet(nullptr);
  return 0;
}
