// Timings of the receive path and the script commands. Without arguments: Google Benchmark
// cases, one per stream kind (a slowdown of any shows here) and the table CRC over the same
// bytes. With --report: markdown sections for BENCHMARKS.md (latency, idle CPU, command times,
// memory per device). With --send packets|whole: the "Send"s callgrind counts.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Streams.h"
#include "driver/DevCtrl.h"
#include "panel/DeviceExports.h"
#include "tests/support/ConfigBytes.h"
#include "tests/support/FakePanel.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Case {
  bench::Kind kind;
  int read;
  bool drained;
  std::size_t bytes;
  bool keyed = false;
};

const Case kCases[] = {
    {bench::Kind::Valid, 512, true, 4u << 20},
    {bench::Kind::PlainNoise, 512, true, 4u << 20},
    {bench::Kind::DenseHashNoise, 512, true, 4u << 20},
    {bench::Kind::Crafted, 512, true, 4u << 20},
    {bench::Kind::Valid, 1, true, 1u << 20},
    {bench::Kind::Valid, 1, false, 256u << 10},
    {bench::Kind::Valid, 512, true, 4u << 20, true},
    {bench::Kind::Encrypted, 512, true, 4u << 20, true},
    {bench::Kind::Crafted, 512, true, 4u << 20, true},
    {bench::Kind::CraftedCipher, 512, true, 4u << 20, true},
    {bench::Kind::CraftedFollow, 512, true, 4u << 20, true},
    {bench::Kind::HeldSpans, 512, true, 4u << 20, true},
    {bench::Kind::StartsBefore, 512, true, 4u << 20},
    {bench::Kind::HeadersBefore, 512, true, 4u << 20, true},
};

const std::string& StreamOf(bench::Kind kind, std::size_t bytes) {
  static std::string streams[10][3];
  std::string& s = streams[static_cast<int>(kind)][bytes == (4u << 20) ? 0 : bytes == (1u << 20) ? 1 : 2];
  if (s.empty()) s = bench::MakeStream(kind, bytes);
  return s;
}

void BM_ReceivePass(benchmark::State& state) {
  const Case& c = kCases[state.range(0)];
  const std::string& s = StreamOf(c.kind, c.bytes);
  bench::StreamPort port(s, c.read, c.drained);
  bench::Engine engine(port, c.keyed);
  for (auto _ : state) {
    port.Rewind();
    while (!port.Done()) {
      engine.sys._receive_pass();
      engine.Take(); // as a script would; pausing the timer would cost more than this
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(s.size()));
}
BENCHMARK(BM_ReceivePass)->DenseRange(0, static_cast<int>(sizeof kCases / sizeof kCases[0]) - 1)->ArgName("kind")->Unit(benchmark::kMillisecond);

// The yardstick: the classic table CRC, one 16-bit entry looked up per byte (the plug-in's own
// steps through the register's 8-bit state and costs less; recv_cost counts it).
std::uint16_t ClassicTableCrc(const unsigned char* data, std::size_t length) {
  unsigned reg = 0xFFFFu;
  for (std::size_t i = 0; i < length; ++i) reg = HJ::kCrcTable[((reg >> 8) ^ data[i]) & 0xFFu];
  return static_cast<std::uint16_t>(reg);
}

void BM_TableCrc(benchmark::State& state) {
  const std::string& s = StreamOf(bench::Kind::Valid, 4u << 20);
  if (ClassicTableCrc(reinterpret_cast<const unsigned char*>(s.data()), 64) != HJ::crc16(reinterpret_cast<const unsigned char*>(s.data()), 64))
    state.SkipWithError("the yardstick CRC differs from the plug-in's");
  for (auto _ : state) {
    auto crc = ClassicTableCrc(reinterpret_cast<const unsigned char*>(s.data()), s.size());
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(s.size()));
}
BENCHMARK(BM_TableCrc)->Unit(benchmark::kMillisecond);

// CPU time of the calling thread: the other cases' rates are CPU rates too, steady on a busy machine.
double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Hands the stream to the loaded plug-in's receive thread in 512-byte reads, claiming more while
// bytes are left, once armed; notes the thread's CPU time at its first read and when it came back
// after the last byte (its framing of them done). Nothing at once when not armed.
class ArmedStreamPort final : public bench::ReadOnlyPort {
public:
  explicit ArmedStreamPort(const std::string& stream) : begin_(stream.data()), at_(begin_), end_(begin_ + stream.size()) {}
  // Serves the stream once and returns the receive thread's CPU seconds from the first read to the
  // read after the last.
  double Serve() {
    at_ = begin_;
    first_ = true;
    {
      std::lock_guard<std::mutex> lock(m_);
      done_ = false;
    }
    armed_.store(true, std::memory_order_release);
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [this] { return done_; });
    return ended_ - began_;
  }
  int ReadData(unsigned char* buffer, int* length, int) override {
    if (!armed_.load(std::memory_order_acquire)) {
      *length = 0;
      return 0;
    }
    if (at_ == end_) {
      ended_ = ThreadCpuSeconds();
      armed_.store(false, std::memory_order_relaxed);
      {
        std::lock_guard<std::mutex> lock(m_);
        done_ = true;
      }
      cv_.notify_all();
      *length = 0;
      return 0;
    }
    if (first_) began_ = ThreadCpuSeconds(), first_ = false;
    std::size_t n = std::min({static_cast<std::size_t>(end_ - at_), static_cast<std::size_t>(*length), std::size_t{512}});
    std::memcpy(buffer, at_, n);
    at_ += n;
    *length = at_ != end_ ? 1 : 0;
    return static_cast<int>(n);
  }

private:
  const char* begin_;
  const char* at_; // the receive thread's while armed
  const char* end_;
  bool first_ = true;
  std::atomic<bool> armed_{false};
  std::mutex m_;
  std::condition_variable cv_;
  bool done_ = false;
  double began_ = 0, ended_ = 0;
};

// The valid stream through the plug-in as the panel loads it (dlopen, its exports, its own receive
// thread), timed in that thread's CPU from its first read to its return after the last byte.
void BM_PluginReceive(benchmark::State& state) {
  void* handle = dlopen(POLMON_PLUGIN, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    state.SkipWithError(dlerror());
    return;
  }
  auto create = reinterpret_cast<PFN_CreateDeviceCtrl>(dlsym(handle, "CreateDeviceCtrl"));
  auto destroy = reinterpret_cast<PFN_DestroyDeviceCtrl>(dlsym(handle, "DestroyDeviceCtrl"));
  const std::string& s = StreamOf(bench::Kind::Valid, 4u << 20);
  ArmedStreamPort port(s);
  fake::Rtdb rtdb;
  IDeviceCtrl* device = create && destroy ? create("bench", &rtdb) : nullptr;
  if (device == nullptr) {
    state.SkipWithError("no device from the plug-in");
    dlclose(handle);
    return;
  }
  const std::string config = fake::ConfigBytes({0}, {});
  device->UpdataCommunication(&port);
  device->InitDevice(fake::Bytes(config), static_cast<int>(config.size()));
  const int codes[1] = {0};
  device->CollectDevData(codes, 1); // the first collection cycle starts the receive thread
  for (auto _ : state) state.SetIterationTime(port.Serve());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(s.size()));
  device->CleanupDevice();
  destroy(device);
  dlclose(handle);
}
BENCHMARK(BM_PluginReceive)->UseManualTime()->Unit(benchmark::kMillisecond);

// ---- --report

// A port fed by the bench: waits for bytes up to the read wait, or returns at once.
class FeedPort final : public bench::ReadOnlyPort {
public:
  explicit FeedPort(bool waits) : waits_(waits) {}
  void Feed(const std::string& bytes) {
    {
      std::lock_guard<std::mutex> lock(m_);
      pending_ += bytes;
    }
    cv_.notify_all();
  }
  int ReadData(unsigned char* buffer, int* length, int wait) override {
    std::unique_lock<std::mutex> lock(m_);
    if (waits_) cv_.wait_for(lock, std::chrono::milliseconds(wait), [this] { return !pending_.empty(); });
    std::size_t n = std::min(pending_.size(), static_cast<std::size_t>(*length));
    std::memcpy(buffer, pending_.data(), n);
    pending_.erase(0, n);
    if (pending_.empty()) std::string().swap(pending_); // the port's memory is not the device's
    *length = pending_.empty() ? 0 : 1;
    return static_cast<int>(n);
  }

private:
  bool waits_;
  std::mutex m_;
  std::condition_variable cv_;
  std::string pending_;
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// A running engine (its own thread) on `port`.
struct Running {
  ORVA_DATA data{};
  CPanelDevice device{data};
  HJ::HJ212_system sys;
  explicit Running(ICommunication& port) {
    StorePort(data, &port);
    sys.start(device);
    sys.release();
  }
  ~Running() { sys.stop(); }
};

// Port-to-queue latencies (ms, sorted) of `count` frames, the i-th fed pause_ms(i) after the last.
template <class Pause>
std::vector<double> FrameLatencies(bool waits, int count, Pause pause_ms) {
  FeedPort port(waits);
  Running r(port);
  const std::string frame = HJ::wrap_frame("QN=20240101120000000;ST=32;CN=2011;CP=&&w01018-Rtd=25.1&&");
  std::vector<double> ms;
  for (int i = 0; i < count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms(i)));
    auto t0 = Clock::now();
    port.Feed(frame);
    while (r.sys.queue_size() == 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
    ms.push_back(Ms(Clock::now() - t0));
    std::string out;
    r.sys.take_frame(out);
  }
  std::sort(ms.begin(), ms.end());
  return ms;
}

void Latency(bool waits) {
  // at any point of the thread's cycle
  std::vector<double> ms = FrameLatencies(waits, 200, [](int i) { return (i == 0 ? 50 : 0) + i * 7 % 41; });
  std::printf("| %s | %.2f | %.2f | %.2f |\n", waits ? "waits for bytes (40 ms)" : "returns at once", ms[ms.size() / 2], ms[ms.size() * 99 / 100],
              ms.back());
}

// The first frame after the thread went quiet: fed at any point of its idle.
void LatencyAfterSilence(bool waits) {
  std::vector<double> ms =
      FrameLatencies(waits, 8, [](int i) { return static_cast<int>(HJ::HJ212_system::kQuietMs + 200 + i * 23 % HJ::HJ212_system::kQuietIdleMs); });
  std::printf("| %s, first frame after %.1f s of silence (8 frames) | %.2f | %.2f | %.2f |\n", waits ? "waits for bytes (40 ms)" : "returns at once",
              HJ::HJ212_system::kQuietMs / 1000.0 + 0.2, ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back());
}

// Receive-thread CPU while nothing arrives: in the first second of silence (the read-wait rhythm)
// and for 3 s after it (the quiet rhythm).
void IdleCpu(bool waits) {
  FeedPort port(waits);
  Running r(port);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  clockid_t id;
  if (pthread_getcpuclockid(r.sys.receive_thread_handle(), &id) != 0) return;
  auto cpu = [&] {
    timespec t{};
    clock_gettime(id, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
  };
  auto share = [&](Clock::duration span) {
    double c0 = cpu();
    auto t0 = Clock::now();
    std::this_thread::sleep_for(span);
    double used = cpu() - c0;
    return 100.0 * used / Ms(Clock::now() - t0);
  };
  double first = share(std::chrono::milliseconds(HJ::HJ212_system::kQuietMs - 150));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  double quiet = share(std::chrono::seconds(3));
  std::printf("| %s | %.3f%% | %.3f%% |\n", waits ? "waits 40 ms" : "returns at once", first, quiet);
}

// The floor on this machine: a thread doing nothing but 40 ms condition waits.
void IdleFloor() {
  std::mutex m;
  std::condition_variable cv;
  bool stop = false;
  std::thread t([&] {
    std::unique_lock<std::mutex> lock(m);
    while (!stop) cv.wait_for(lock, std::chrono::milliseconds(40));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  clockid_t id;
  if (pthread_getcpuclockid(t.native_handle(), &id) == 0) {
    timespec a{}, b{};
    clock_gettime(id, &a);
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    clock_gettime(id, &b);
    double used = static_cast<double>(b.tv_sec - a.tv_sec) * 1e3 + static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e6;
    std::printf("| (floor: a bare 40 ms condition wait loop) | %.3f%% | |\n", 100.0 * used / Ms(Clock::now() - t0));
  }
  {
    std::lock_guard<std::mutex> lock(m);
    stop = true;
  }
  cv.notify_all();
  t.join();
}

template <class F>
double UsPerCall(F f) {
  int n = 0;
  auto t0 = Clock::now();
  do {
    for (int i = 0; i < 100; ++i) f();
    n += 100;
  } while (Clock::now() - t0 < std::chrono::milliseconds(300));
  return Ms(Clock::now() - t0) * 1000.0 / n;
}

// An hourly 2025 upload of 9 KiB: 146 factors with minimum, average, maximum and flag.
std::string HourlyUpload() {
  std::string hourly = "QN=20240101120000000;ST=32;CN=2061;PW=123456;MN=POLMON0000000001;Flag=9;CP=&&DataTime=20240101110000";
  for (int i = 0; hourly.size() < 9 * 1024 - 64; ++i) {
    std::string code = "w" + std::to_string(10000 + i);
    hourly += ";" + code + "-Min=1." + std::to_string(i % 10) + "," + code + "-Avg=2.5," + code + "-Max=3.75," + code + "-Flag=N";
  }
  return hourly + "&&";
}

// kSendCalls "Send"s of the 9 KiB upload, as packets or as one frame, for callgrind:
//   valgrind --tool=callgrind --collect-atstart=no '--toggle-collect=HJ::HJ212_system::execute_device_cmd*' recv_bench --send packets|whole
constexpr int kSendCalls = 50;
int SendCost(const char* how) {
  if (std::strcmp(how, "packets") != 0 && std::strcmp(how, "whole") != 0) return 2;
  fake::Rtdb rtdb;
  fake::Port port;
  const std::string config = fake::ConfigBytes({0, 0, std::strcmp(how, "packets") == 0 ? 0 : -1}, {});
  auto* ctrl = static_cast<CDevCtrl*>(CreateDeviceCtrl("bench", &rtdb));
  ctrl->UpdataCommunication(&port);
  ctrl->InitDevice(fake::Bytes(config), static_cast<int>(config.size())); // never released: no reads
  rtdb.SetText("U", HourlyUpload());
  rtdb.SetInt("St", 1);
  for (int i = 0; i < kSendCalls; ++i) ctrl->m_devData.pDevice->pSystem->execute_device_cmd("Send(U,St)");
  std::printf("%s %d %zu %d\n", how, kSendCalls, port.Written().size(), rtdb.Get("St").i);
  ctrl->CleanupDevice();
  DestroyDeviceCtrl(ctrl);
  return 0;
}

void Commands() {
  fake::Rtdb rtdb;
  fake::Port port;
  port.SetWriteResult(1);
  const std::string config = fake::ConfigBytes({0}, {});
  auto* ctrl = static_cast<CDevCtrl*>(CreateDeviceCtrl("bench", &rtdb));
  ctrl->UpdataCommunication(&port);
  ctrl->InitDevice(fake::Bytes(config), static_cast<int>(config.size())); // never released: no reads
  HJ::HJ212_system& engine = *ctrl->m_devData.pDevice->pSystem;
  std::string tpl = "DataTime=T";
  rtdb.SetText("T", "20240101120000");
  for (int i = 0; i < 20; ++i) {
    std::string v = "V" + std::to_string(i);
    rtdb.SetDouble(v, 12.5 + i);
    tpl += ";w" + std::to_string(10000 + i) + "-Rtd=" + v + ",w" + std::to_string(10000 + i) + "-Flag=N";
  }
  rtdb.SetText("Tpl", "ST=32;CN=2011;CP=&&" + tpl + "&&");
  std::string cp;
  for (int i = 0; cp.size() < 950; ++i)
    cp += "w" + std::to_string(10000 + i) + "-Rtd=" + std::to_string(20 + i) + ".5,w" + std::to_string(10000 + i) + "-Flag=N;";
  cp += "Key=42";
  std::string data = "QN=20240101120000000;ST=32;CN=2011;PW=123456;MN=POLMON0000000001;Flag=5;CP=&&" + cp + "&&";
  rtdb.SetText("F", HJ::wrap_frame(data));
  std::string chinese = data;
  chinese.replace(100, 36, "\xE6\xB0\xB4\xE8\xB4\xA8\xE7\xAB\x99\xE6\xB0\xB4\xE8\xB4\xA8\xE7\xAB\x99"); // two "water station"s
  rtdb.SetText("D", data);
  rtdb.SetText("DC", chinese);
  rtdb.SetText("U", HourlyUpload());
  for (const char* n : {"Out", "V", "C"}) rtdb.SetText(n, "");
  rtdb.SetInt("St", 0);
  struct Row {
    const char* what;
    const char* command;
    int packets = 0; // the third device parameter: 0 splits 2025 frames at 1024, -1 never
  } rows[] = {
      {"MakeProtocol, 20-item CP template", "MakeProtocol(Tpl,Out)"},
      {"GetValue on a 1 KiB frame (MN)", "GetValue(F,MN,V,St)"},
      {"GetCpValue on a 1 KiB frame (last item)", "GetCpValue(F,Key,V,St)"},
      {"Send of a 1 KiB frame, ASCII", "Send(D,St)"},
      {"Send of a 1 KiB frame with Chinese text", "Send(DC,St)"},
      {"Send of a 9 KiB 2025 upload, split into 1024-byte packets", "Send(U,St)"},
      {"Send of the same upload as one frame (third parameter -1)", "Send(U,St)", -1},
      {"GetStats, seven counters", "GetStats(V,V,V,V,V,V,V)"},
  };
  for (const Row& row : rows) {
    CArray<int, int>& params = ctrl->m_devData.pDevice->arDevParam;
    params[2] = row.packets;
    engine.use_device_params(HJ::DeviceParams::from(params.GetData(), params.GetSize())); // read once, as at InitDevice
    std::printf("| %s | `%s` | %.1f |\n", row.what, row.command, UsPerCall([&] { engine.execute_device_cmd(row.command); }));
  }
  // The same upload encrypted: the key expanded and the region encrypted on each call.
  ctrl->m_cipherKey.set(bench::kKey);
  std::printf("| Send of a 1 KiB frame, ASCII, key set (CN 2011: raw ciphertext) | `Send(D,St)` | %.1f |\n",
              UsPerCall([&] { engine.execute_device_cmd("Send(D,St)"); }));
  ctrl->CleanupDevice();
  DestroyDeviceCtrl(ctrl);
}

// The cipher's own costs: the key expanded, a 1 KiB CP region encrypted in either form, a
// received one decrypted.
void Sm4Times() {
  const HJ::Sm4 cipher(reinterpret_cast<const unsigned char*>(bench::kKey));
  std::string region;
  for (int i = 0; region.size() < 1024; ++i) region += "w" + std::to_string(10000 + i) + "-Rtd=" + std::to_string(20 + i) + ".5,";
  region.resize(1024);
  const std::string data = "QN=20240101120000000;ST=22;CN=2011;PW=123456;MN=POLMON0000000001;Flag=9;CP=&&" + region + "&&";
  std::string raw, text, plain;
  HJ::encrypt_cp(data, cipher, HJ::kCipherRaw, raw);
  HJ::encrypt_cp(data, cipher, HJ::kCipherText, text);
  std::printf("| key expansion | %.2f |\n", UsPerCall([&] {
                HJ::Sm4 expanded(reinterpret_cast<const unsigned char*>(bench::kKey));
                benchmark::DoNotOptimize(&expanded);
              }));
  std::printf("| encrypt a 1 KiB CP region, raw form | %.2f |\n", UsPerCall([&] { HJ::encrypt_cp(data, cipher, HJ::kCipherRaw, raw); }));
  std::printf("| encrypt a 1 KiB CP region, text form | %.2f |\n", UsPerCall([&] { HJ::encrypt_cp(data, cipher, HJ::kCipherText, text); }));
  std::printf("| decrypt a received 1 KiB region, raw form | %.2f |\n", UsPerCall([&] { HJ::decrypt_cp(raw.data(), raw.size(), cipher, plain); }));
  std::printf("| decrypt a received 1 KiB region, text form | %.2f |\n", UsPerCall([&] { HJ::decrypt_cp(text.data(), text.size(), cipher, plain); }));
}

long RssKiB() {
  std::ifstream f("/proc/self/statm");
  long pages = 0, rss = 0;
  f >> pages >> rss;
  return rss * 4;
}

void Memory() {
  constexpr int kDevices = 32;
  std::string frames;
  for (int i = 0; i < 64; ++i) frames += HJ::wrap_frame(std::string(1012, static_cast<char>('a' + i % 26)));
  std::vector<std::unique_ptr<FeedPort>> ports;
  std::vector<std::unique_ptr<Running>> devices;
  long before = RssKiB();
  for (int i = 0; i < kDevices; ++i) {
    ports.push_back(std::make_unique<FeedPort>(true));
    devices.push_back(std::make_unique<Running>(*ports.back()));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  long empty = RssKiB();
  for (auto& p : ports) p->Feed(frames);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  long full = RssKiB();
  std::printf("| empty queue | %.1f |\n| full queue, 64 frames of 1 KiB | %.1f |\n", static_cast<double>(empty - before) / kDevices,
              static_cast<double>(full - before) / kDevices);
}

} // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--send") == 0) return SendCost(argv[2]);
  if (argc == 2 && std::strcmp(argv[1], "--report") == 0) {
    std::printf("### Port-to-queue latency (ms, 200 frames)\n\n| port | median | 99th percentile | max |\n|---|---|---|---|\n");
    Latency(true);
    Latency(false);
    LatencyAfterSilence(true);
    LatencyAfterSilence(false);
    std::printf("\n### Idle receive thread (CPU of one core)\n\n| port | first second of silence | 3 s after it |\n|---|---|---|\n");
    IdleCpu(true);
    IdleCpu(false);
    IdleFloor();
    std::printf("\n### Script commands (no pacing sleep)\n\n| input | command | µs per call |\n|---|---|---|\n");
    Commands();
    std::printf("\n### SM4 (µs per call)\n\n| operation | µs |\n|---|---|\n");
    Sm4Times();
    std::printf("\n### Resident memory per device (KiB, 32 devices with running threads)\n\n| state | KiB per device |\n|---|---|\n");
    Memory();
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
