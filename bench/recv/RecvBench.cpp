// Timings of the receive path and the script commands. Without arguments: Google Benchmark
// cases, one per stream kind (a slowdown of any shows here) and the table CRC over the same
// bytes. With --report: markdown sections for BENCHMARKS.md (latency, idle CPU, command times,
// memory per device).
#include <benchmark/benchmark.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ConfigBytes.h"
#include "DevCtrl.h"
#include "DeviceExports.h"
#include "FakePanel.h"
#include "Streams.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Case {
  bench::Kind kind;
  int read;
  bool drained;
  std::size_t bytes;
};

const Case kCases[] = {
    {bench::Kind::Valid, 512, true, 4u << 20},        {bench::Kind::PlainNoise, 512, true, 4u << 20},
    {bench::Kind::DenseHashNoise, 512, true, 4u << 20}, {bench::Kind::Crafted, 512, true, 4u << 20},
    {bench::Kind::Valid, 1, true, 1u << 20},          {bench::Kind::Valid, 1, false, 256u << 10},
};

const std::string& StreamOf(bench::Kind kind, std::size_t bytes) {
  static std::string streams[4][3];
  std::string& s = streams[static_cast<int>(kind)][bytes == (4u << 20) ? 0 : bytes == (1u << 20) ? 1 : 2];
  if (s.empty()) s = bench::MakeStream(kind, bytes);
  return s;
}

void BM_ReceivePass(benchmark::State& state) {
  const Case& c = kCases[state.range(0)];
  const std::string& s = StreamOf(c.kind, c.bytes);
  bench::StreamPort port(s, c.read, c.drained);
  bench::Engine engine(port);
  for (auto _ : state) {
    port.Rewind();
    while (!port.Done()) {
      engine.sys._receive_pass();
      engine.Take(); // as a script would; pausing the timer would cost more than this

    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(s.size()));
}
BENCHMARK(BM_ReceivePass)->DenseRange(0, 5)->ArgName("kind")->Unit(benchmark::kMillisecond);

void BM_TableCrc(benchmark::State& state) {
  const std::string& s = StreamOf(bench::Kind::Valid, 4u << 20);
  for (auto _ : state) {
    auto crc = HJ::crc16(reinterpret_cast<const unsigned char*>(s.data()), s.size());
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(s.size()));
}
BENCHMARK(BM_TableCrc)->Unit(benchmark::kMillisecond);

// ---- --report

// A port fed by the bench: waits for bytes up to the read wait, or returns at once.
class FeedPort final : public ICommunication {
public:
  explicit FeedPort(bool waits) : waits_(waits) {}
  void Feed(const std::string& bytes) {
    {
      std::lock_guard<std::mutex> lock(m_);
      pending_ += bytes;
    }
    cv_.notify_all();
  }
  int Open() override { return 1; }
  int Close() override { return 1; }
  int WriteData(const unsigned char*, int*, int) override { return 1; }
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
  int ClearBuffer() override { return 1; }
  int SetDeviceName(const char*) override { return 1; }
  int GetCommMode() override { return 1; }
  int SetTimeout(int) override { return 1; }
  int GetTimeout() override { return 0; }

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
  HJ::HJ212_system sys;
  explicit Running(ICommunication& port) {
    StorePort(data, &port);
    sys.start(data);
    sys.release();
  }
  ~Running() { sys.stop(); }
};

void Latency(bool waits) {
  FeedPort port(waits);
  Running r(port);
  const std::string frame = HJ::wrap_frame("QN=20240101120000000;ST=32;CN=2011;CP=&&w01018-Rtd=25.1&&");
  std::vector<double> ms;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (int i = 0; i < 200; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(i * 7 % 41)); // at any point of the thread's cycle
    auto t0 = Clock::now();
    port.Feed(frame);
    while (r.sys.queue_size() == 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
    ms.push_back(Ms(Clock::now() - t0));
    std::string out;
    r.sys.take_frame(out);
  }
  std::sort(ms.begin(), ms.end());
  std::printf("| %s | %.2f | %.2f | %.2f |\n", waits ? "waits for bytes (40 ms)" : "returns at once", ms[ms.size() / 2],
              ms[ms.size() * 99 / 100], ms.back());
}

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
  double c0 = cpu();
  auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  double used = cpu() - c0;
  double wall = Ms(Clock::now() - t0);
  std::printf("| %s | %.3f%% |\n", waits ? "waits 40 ms" : "returns at once", 100.0 * used / wall);
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
    std::printf("| (floor: a bare 40 ms condition wait loop) | %.3f%% |\n", 100.0 * used / Ms(Clock::now() - t0));
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
  for (int i = 0; cp.size() < 950; ++i) cp += "w" + std::to_string(10000 + i) + "-Rtd=" + std::to_string(20 + i) + ".5,w" + std::to_string(10000 + i) + "-Flag=N;";
  cp += "Key=42";
  std::string data = "QN=20240101120000000;ST=32;CN=2011;PW=123456;MN=POLMON0000000001;Flag=5;CP=&&" + cp + "&&";
  rtdb.SetText("F", HJ::wrap_frame(data));
  std::string chinese = data;
  chinese.replace(100, 36, "\xE6\xB0\xB4\xE8\xB4\xA8\xE7\xAB\x99\xE6\xB0\xB4\xE8\xB4\xA8\xE7\xAB\x99"); // two "water station"s
  rtdb.SetText("D", data);
  rtdb.SetText("DC", chinese);
  for (const char* n : {"Out", "V", "C"}) rtdb.SetText(n, "");
  rtdb.SetInt("St", 0);
  struct Row {
    const char* what;
    const char* command;
  } rows[] = {
      {"MakeProtocol, 20-item CP template", "MakeProtocol(Tpl,Out)"},
      {"GetValue on a 1 KiB frame (MN)", "GetValue(F,MN,V,St)"},
      {"GetCpValue on a 1 KiB frame (last item)", "GetCpValue(F,Key,V,St)"},
      {"Send of a 1 KiB frame, ASCII", "Send(D,St)"},
      {"Send of a 1 KiB frame with Chinese text", "Send(DC,St)"},
      {"GetStats, seven counters", "GetStats(V,V,V,V,V,V,V)"},
  };
  for (const Row& row : rows) std::printf("| %s | `%s` | %.1f |\n", row.what, row.command, UsPerCall([&] { engine.execute_device_cmd(row.command); }));
  ctrl->CleanupDevice();
  DestroyDeviceCtrl(ctrl);
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
  if (argc == 2 && std::strcmp(argv[1], "--report") == 0) {
    std::printf("### Port-to-queue latency (ms, 200 frames)\n\n| port | median | 99th percentile | max |\n|---|---|---|---|\n");
    Latency(true);
    Latency(false);
    std::printf("\n### Idle receive thread (CPU of one core, 3 s)\n\n| port | CPU |\n|---|---|\n");
    IdleCpu(true);
    IdleCpu(false);
    IdleFloor();
    std::printf("\n### Script commands (no pacing sleep)\n\n| input | command | µs per call |\n|---|---|---|\n");
    Commands();
    std::printf("\n### Resident memory per device (KiB, 32 devices with running threads)\n\n| state | KiB per device |\n|---|---|\n");
    Memory();
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
