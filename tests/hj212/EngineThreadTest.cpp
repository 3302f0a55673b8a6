// The receive thread against a scripted device: start/stop handshake, pacing, concurrent consumers.
#include <gtest/gtest.h>

#include <pthread.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "FakeEngineDevice.h"
#include "hj212/CpCipher.h"
#include "hj212/Envelope.h"
#include "hj212/HJ212System.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string NthFrame(int n) { return HJ::wrap_frame("ST=32;CN=2011;QN=" + std::to_string(n) + ";CP=&&&&"); }

template <class Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit = std::chrono::milliseconds(20000)) {
  auto until = Clock::now() + limit;
  while (!pred()) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// -1 where threads have no CPU clock (winpthreads, on Windows and wine).
double ThreadCpuSeconds([[maybe_unused]] std::thread::native_handle_type t) {
  [[maybe_unused]] clockid_t clock{};
  if (pthread_getcpuclockid(t, &clock) != 0) return -1;
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::vector<std::string> DrainQueue(HJ::HJ212_system& sys) {
  std::vector<std::string> out;
  std::string f;
  while (sys.take_frame(f) >= 0) out.push_back(f);
  return out;
}

TEST(Thread, StopBeforeReleaseReadsNothing) {
  enginefake::Device device;
  device.Feed(NthFrame(1));
  HJ::HJ212_system sys;
  sys.start(device);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(device.Reads(), 0); // parked until released
  auto began = Clock::now();
  sys.stop();
  EXPECT_LT(Clock::now() - began, std::chrono::seconds(5));
  EXPECT_EQ(sys.receive_thread_id(), std::thread::id());
  EXPECT_EQ(device.Reads(), 0);
  EXPECT_EQ(sys.queue_size(), 0u);
  EXPECT_FALSE(sys.release()); // stop released it already
}

TEST(Thread, ReleasedThreadQueuesAndPublishes) {
  enginefake::Device device;
  HJ::HJ212_system sys;
  sys.start(device);
  sys.start(device); // a second start does not start a second thread
  EXPECT_FALSE(sys.is_started());
  EXPECT_TRUE(sys.release());
  EXPECT_FALSE(sys.release());
  EXPECT_TRUE(sys.is_started());

  std::string stream;
  std::vector<std::string> sent;
  for (int i = 0; i < 10; ++i) {
    sent.push_back(NthFrame(i));
    stream += "noise##" + sent.back();
  }
  for (size_t at = 0; at < stream.size(); at += 97) device.Feed(stream.substr(at, 97));
  ASSERT_TRUE(WaitFor([&] { return sys.queue_size() == sent.size(); }));
  sys.stop();
  EXPECT_EQ(DrainQueue(sys), sent);
  EXPECT_EQ(sys.frames_accepted(), 10);
  ASSERT_FALSE(device.Published().empty());
  EXPECT_EQ(device.Published().back(), 10);
}

TEST(Thread, StopWhileReadingReturnsWithinOnePass) {
  struct PortCase {
    const char* what;
    bool flood;
  } cases[] = {{"idle port", false}, {"flooding port", true}};
  for (const PortCase& c : cases) {
    enginefake::Device device;
    if (c.flood) device.Flood('#');
    HJ::HJ212_system sys;
    sys.start(device);
    sys.release();
    ASSERT_TRUE(WaitFor([&] { return device.Reads() > 2; })) << c.what;
    auto began = Clock::now();
    sys.stop();
    EXPECT_LT(Clock::now() - began, std::chrono::seconds(5)) << c.what;
    EXPECT_LE(sys.scanner().held(), 2 * HJ::kMaxFrameBytes + 64 * 1024 + 512) << c.what;
  }
}

TEST(Thread, IdleThreadDoesNotSpin) {
  struct IdleCase {
    const char* what;
    bool attachPort;
  } cases[] = {{"no port attached", false}, {"port that returns at once", true}};
  for (const IdleCase& c : cases) {
    enginefake::Device device;
    device.SetImmediate(true);
    device.AttachPort(c.attachPort);
    HJ::HJ212_system sys;
    sys.start(device);
    sys.release();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    double cpuBefore = ThreadCpuSeconds(sys.receive_thread_handle());
    int readsBefore = device.Reads();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    double cpu = ThreadCpuSeconds(sys.receive_thread_handle()) - cpuBefore;
    int reads = device.Reads() - readsBefore;
    sys.stop();
    if (cpuBefore >= 0) EXPECT_LT(cpu, 0.1) << c.what; // a spinning thread burns the whole 0.4 s
    else std::printf("no CPU clock per thread here: %s judged by its reads alone\n", c.what);
    EXPECT_LE(reads, 15) << c.what; // about one read per 40 ms
  }
}

// After a stretch without bytes the thread reads less often; the first frame brings the read-wait
// rhythm back. Windows of 600 ms: about 15 reads at that rhythm, 4 at the quiet one.
TEST(Thread, QuietThreadReadsLessOftenUntilBytesCome) {
  enginefake::Device device;
  device.SetImmediate(true);
  HJ::HJ212_system sys;
  sys.start(device);
  sys.release();
  auto readsWithin = [&](std::chrono::milliseconds span) {
    int before = device.Reads();
    std::this_thread::sleep_for(span);
    return device.Reads() - before;
  };
  std::this_thread::sleep_for(std::chrono::milliseconds(HJ::HJ212_system::kQuietMs + 300));
  EXPECT_LE(readsWithin(std::chrono::milliseconds(600)), 7);
  device.Feed(NthFrame(1));
  ASSERT_TRUE(WaitFor([&] { return sys.queue_size() == 1; }));
  EXPECT_GE(readsWithin(std::chrono::milliseconds(600)), 9);
  sys.stop();
}

TEST(Thread, PortReplacedWhileRunning) {
  enginefake::Device device;
  HJ::HJ212_system sys;
  sys.start(device);
  sys.release();
  device.Feed(NthFrame(1));
  ASSERT_TRUE(WaitFor([&] { return sys.queue_size() == 1; }));
  device.AttachPort(false);
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  device.AttachPort(true);
  device.Feed(NthFrame(2));
  ASSERT_TRUE(WaitFor([&] { return sys.queue_size() == 2; }));
  sys.stop();
  EXPECT_EQ(DrainQueue(sys), (std::vector<std::string>{NthFrame(1), NthFrame(2)}));
}

TEST(Thread, ConsumerTakesFramesWhileTheyArrive) {
  enginefake::Device device;
  const int total = 300;
  std::string stream;
  for (int i = 0; i < total; ++i) stream += NthFrame(i);
  HJ::HJ212_system sys;
  sys.start(device);
  sys.release();
  std::thread producer([&] {
    for (size_t at = 0; at < stream.size(); at += 331) device.Feed(stream.substr(at, 331));
  });
  std::vector<std::string> taken;
  HJ::RecvStats seen;
  auto until = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < until && (taken.empty() || taken.back() != NthFrame(total - 1))) {
    HJ::RecvStats now = sys.stats(); // read while the receive thread publishes: never torn, never back
    ASSERT_GE(now.accepted, seen.accepted);
    ASSERT_GE(now.received_bytes, seen.received_bytes);
    ASSERT_LE(now.accepted, static_cast<uint64_t>(total));
    seen = now;
    std::string f;
    int left = sys.take_frame(f);
    if (left >= 0) taken.push_back(f);
    else std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  producer.join();
  sys.stop();
  ASSERT_FALSE(taken.empty());
  EXPECT_EQ(taken.back(), NthFrame(total - 1)); // the newest frame is never the one dropped
  // Frames come out in arrival order; a slow consumer may miss old ones, never reorder them.
  int next = 0;
  for (const std::string& f : taken) {
    while (next < total && NthFrame(next) != f) ++next;
    ASSERT_LT(next, total) << "out of order or unknown: " << f;
    ++next;
  }
  EXPECT_EQ(sys.frames_accepted(), total);
  EXPECT_EQ(device.Published().back(), total); // published from the receive thread while the test thread consumed
  EXPECT_EQ(sys.stats().accepted, static_cast<uint64_t>(total));
  EXPECT_EQ(sys.stats().received_bytes, stream.size());
}

// The key changes while the receive thread decrypts frames made under either of two keys: each
// pass reads with the old key or the new one (ThreadSanitizer watches the copy), and whatever is
// queued is a plain frame that was sent.
TEST(Thread, KeyChangesWhileFramesAreDecrypted) {
  const std::string keys[] = {"0123456789abcdef", "fedcba9876543210"};
  enginefake::Device device;
  HJ::CipherKey key;
  ASSERT_TRUE(key.set(keys[0]));
  std::string stream;
  std::set<std::string> plain;
  const int total = 200;
  for (int i = 0; i < total; ++i) {
    std::string region = "DataTime=20250101000000;a01011-Rtd=" + std::to_string(i) + ",a01011-Flag=N";
    while (region.size() < 160) region += ";w01018-Rtd=12.5,w01018-Flag=N";
    const std::string segment = "QN=" + std::to_string(i) + ";ST=22;CN=2011;Flag=9;CP=&&" + region + "&&";
    HJ::Sm4 cipher(reinterpret_cast<const unsigned char*>(keys[i % 2].data()));
    stream += HJ::wire_data(segment, HJ::kCharsetUtf8, &cipher, HJ::kCipherRaw).frame();
    plain.insert(HJ::wrap_frame(segment));
  }
  HJ::HJ212_system sys;
  sys.use_cipher_key(&key);
  sys.start(device);
  sys.release();
  std::thread producer([&] {
    for (size_t at = 0; at < stream.size(); at += 97) {
      device.Feed(stream.substr(at, 97));
      if (at % 970 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (int turn = 0; !device.Drained() || turn < 50; ++turn) {
    ASSERT_TRUE(key.set(keys[turn % 2]));
    std::this_thread::sleep_for(std::chrono::microseconds(300));
  }
  producer.join();
  ASSERT_TRUE(WaitFor([&] { return sys.stats().received_bytes == stream.size(); }));
  sys.stop();
  std::vector<std::string> taken = DrainQueue(sys);
  for (const std::string& f : taken) EXPECT_EQ(plain.count(f), 1u) << f;
  EXPECT_EQ(sys.stats().decrypted, sys.stats().accepted);
  EXPECT_GT(taken.size(), 0u);
}

TEST(Thread, ThrowingPortDoesNotEndTheThread) {
  enginefake::Device device;
  device.ThrowOnNextReads(3);
  device.Feed(NthFrame(5));
  HJ::HJ212_system sys;
  sys.start(device);
  sys.release();
  ASSERT_TRUE(WaitFor([&] { return sys.queue_size() == 1; }));
  sys.stop();
  EXPECT_GE(device.Reads(), 4); // three failed reads, then the frame
  EXPECT_EQ(DrainQueue(sys), std::vector<std::string>{NthFrame(5)});
}

TEST(Thread, DestroyingARunningEngineJoinsIt) {
  enginefake::Device device;
  {
    HJ::HJ212_system sys;
    sys.start(device);
    sys.release();
    ASSERT_TRUE(WaitFor([&] { return device.Reads() > 0; }));
  }
  int reads = device.Reads();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(device.Reads(), reads); // nothing reads the port any more
}

} // namespace
