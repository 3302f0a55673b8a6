// The commissioning page's costs, as markdown rows for BENCHMARKS.md:
//   web_bench day [FRAMES]   a day of one station at one frame per second (86,400 uploads of 20
//                            factors, each answered with a 9014), fed at full speed through the
//                            platform with the web view on and a page's event stream open:
//                            resident memory as the day goes, the CSV on disk, the page's snapshot
//   web_bench cpu SECONDS    one upload a second for SECONDS with a page's stream open: the CPU
//                            of the web view's threads and of the platform's thread together
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>

#include "hj212/Envelope.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/common/Hj212Text.h"
#include "tools/common/sys/Io.h"
#include "tools/platform/Platform.h"
#include "tools/platform/WebModel.h"
#include "tools/platform/WebView.h"

namespace {

const char* const kCodes[] = {"w00000", "w01001", "w01003", "w01009", "w01010", "w01012", "w01014", "w01018", "w01019", "w21001",
                              "w21003", "w21011", "w20111", "w20115", "w20116", "w20117", "w20119", "w20120", "w20122", "w20123"};

// Upload number i of the day: DataTime one second after the last, 20 factors on slow waves.
std::string upload(long i) {
  std::time_t t = 1704067200 + i; // 2024-01-01 00:00:00 UTC
  std::tm tm{};
  gmtime_r(&t, &tm);
  char dt[16];
  std::strftime(dt, sizeof dt, "%Y%m%d%H%M%S", &tm);
  char qn[24];
  std::snprintf(qn, sizeof qn, "%s%03ld", dt, i % 1000);
  std::string cp = std::string("DataTime=") + dt;
  for (size_t f = 0; f < sizeof kCodes / sizeof *kCodes; ++f) {
    char item[64];
    std::snprintf(item, sizeof item, ";%s-Rtd=%.2f,%s-Flag=N", kCodes[f], 20 + 5 * std::sin(static_cast<double>(i) / 600 + static_cast<double>(f)),
                  kCodes[f]);
    cp += item;
  }
  return HJ::wrap_frame(std::string("QN=") + qn + ";ST=32;CN=2011;PW=123456;MN=POLMON0000000001;Flag=5;CP=&&" + cp + "&&");
}

long rss_kib() {
  std::ifstream in("/proc/self/status");
  std::string key;
  long value = 0;
  while (in >> key) {
    if (key == "VmRSS:") {
      in >> value;
      return value;
    }
    std::getline(in, key);
  }
  return -1;
}

double cpu_s(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int port_of(const std::string& url) { return std::atoi(url.substr(url.rfind(':') + 1).c_str()); }

// A page: reads the event stream and throws it away, coming back when the server drops it.
struct Page {
  std::atomic<bool> stop{false};
  std::atomic<unsigned> streams{0};
  std::atomic<unsigned long> bytes{0};
  std::thread thread;
  explicit Page(int port) {
    thread = std::thread([this, port] {
      while (!stop) {
        httplib::Client c("127.0.0.1", port);
        c.set_read_timeout(10, 0);
        ++streams;
        c.Get("/events", [&](const char*, size_t n) {
          bytes += n;
          return !stop.load();
        });
      }
    });
  }
  double cpu() {
    clockid_t clock;
    return pthread_getcpuclockid(thread.native_handle(), &clock) == 0 ? cpu_s(clock) : 0;
  }
  void finish() {
    stop = true;
    if (thread.joinable()) thread.join();
  }
  ~Page() { finish(); }
};

struct Rig {
  sim::Platform platform{{}, {}, [](const std::string&) {}};
  std::unique_ptr<sim::WebView> web;
  std::string csv;
  Rig() {
    csv = (std::getenv("TMPDIR") ? std::string(std::getenv("TMPDIR")) : std::string("/tmp")) + "/web_bench-" + std::to_string(getpid()) + ".csv";
    sim::WebOptions opt;
    opt.name = "bench";
    opt.csv_path = csv;
    std::string error;
    web = sim::WebView::start(opt, error);
    if (!web) {
      std::fprintf(stderr, "web_bench: %s\n", error.c_str());
      std::exit(1);
    }
    platform.set_observer(web.get());
    platform.connected(sim::now_ms(), "127.0.0.1:1");
  }
  ~Rig() {
    web.reset();
    std::remove(csv.c_str());
  }
  void feed(const std::string& frame) {
    int64_t now = sim::now_ms();
    platform.received(frame.data(), frame.size(), now);
    platform.tick(now);
    platform.take_due(now + 1000000); // the 9014 answers: written nowhere
    web->poll(platform);
  }
};

int day(long frames) {
  Rig rig;
  Page page(port_of(rig.web->url()));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::vector<std::pair<long, long>> rss;
  rss.emplace_back(0, rss_kib());
  auto t0 = std::chrono::steady_clock::now();
  for (long i = 0; i < frames; ++i) {
    rig.feed(upload(i));
    if ((i + 1) % (frames / 4) == 0) rss.emplace_back(i + 1, rss_kib());
  }
  double feed_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  rig.web->poll(rig.platform, true);

  httplib::Client c("127.0.0.1", port_of(rig.web->url()));
  auto s0 = std::chrono::steady_clock::now();
  auto state = c.Get("/api/state");
  double state_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - s0).count();
  auto csv = c.Get("/values.csv"); // also writes the last rows to the file
  struct stat st {};
  stat(rig.csv.c_str(), &st);
  sim::WebView::Figures f = rig.web->figures();

  std::printf("| frames fed | resident memory (KiB) |\n|---|---|\n");
  for (const auto& r : rss) std::printf("| %ld | %ld |\n", r.first, r.second);
  long low = rss[1].second, high = rss[1].second;
  for (size_t i = 1; i < rss.size(); ++i) low = std::min(low, rss[i].second), high = std::max(high, rss[i].second);
  std::printf("\nFrom a quarter of the day to its end the resident memory stays between %ld and %ld KiB (the rings hold at most "
              "%.1f MiB; they held %.1f MiB). "
              "Fed in %.1f s (%.0f uploads a second, each with its 9014 answer in the log). "
              "The CSV on disk: %.1f MiB, %llu rows, %llu lost. The page's event stream, read all along, was dropped "
              "%u times (a page that falls behind the event ring is dropped and starts over, not waited for). "
              "The page's snapshot after the day: %.1f KiB in %.1f ms (%s).\n",
              low, high, (sim::WebModel::kFrameBytes + sim::WebModel::kEventBytes) / 1048576.0, static_cast<double>(f.ring_bytes) / 1048576.0, feed_s,
              static_cast<double>(frames) / feed_s, static_cast<double>(st.st_size) / 1048576.0, static_cast<unsigned long long>(f.csv_rows),
              static_cast<unsigned long long>(f.csv_dropped), f.dropped_streams, state ? static_cast<double>(state->body.size()) / 1024.0 : 0.0,
              state_ms, state ? "HTTP 200" : "no answer");
  return csv && state && f.csv_dropped == 0 ? 0 : 1;
}

int cpu(int seconds) {
  Rig rig;
  auto page = std::make_unique<Page>(port_of(rig.web->url()));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  rusage r0{};
  getrusage(RUSAGE_SELF, &r0);
  double main0 = cpu_s(CLOCK_THREAD_CPUTIME_ID), page0 = page->cpu();
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < seconds; ++i) {
    rig.feed(upload(i));
    // the platform's loop wakes at least every 200 ms; the web view's poll goes with it
    for (int k = 1; k <= 5; ++k) {
      std::this_thread::sleep_until(start + std::chrono::milliseconds(1000 * i + 200 * k));
      rig.web->poll(rig.platform);
    }
  }
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double main_cpu = cpu_s(CLOCK_THREAD_CPUTIME_ID) - main0;
  double page_cpu = page->cpu() - page0;
  rusage r1{};
  getrusage(RUSAGE_SELF, &r1);
  unsigned long page_bytes = page->bytes;
  unsigned streams = page->streams;
  page->finish();
  auto secs = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  double process = secs(r1.ru_utime) + secs(r1.ru_stime) - secs(r0.ru_utime) - secs(r0.ru_stime);
  double web_threads = process - main_cpu - page_cpu;
  std::printf("| one upload a second, one page open, %d s | CPU of one core |\n|---|---|\n", seconds);
  std::printf("| web view's threads (server, page stream, CSV spool) | %.3f%% |\n", 100 * web_threads / wall);
  std::printf("| the platform's thread: the platform itself and the web view's share of it | %.3f%% |\n", 100 * main_cpu / wall);
  std::printf("| together | %.3f%% (target < 1%%) |\n", 100 * (web_threads + main_cpu) / wall);
  std::printf("\nMeasured over %d s of wall time (%s); the page received %.1f KiB over %u stream(s).\n", seconds,
              seconds >= 300 ? "the full five minutes"
                             : "shorter than five minutes: a CPU share is a rate, the same over any stretch "
                               "of this steady load; BENCH_WEB_SECONDS=300 runs all five",
              static_cast<double>(page_bytes) / 1024.0, streams);
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "day") == 0) return day(argc >= 3 ? std::atol(argv[2]) : 86400);
  if (argc >= 3 && std::strcmp(argv[1], "cpu") == 0) return cpu(std::atoi(argv[2]));
  std::fprintf(stderr, "usage: web_bench day [FRAMES] | cpu SECONDS\n");
  return 2;
}
