// The engine without its thread: queue, counting, publishing on channel 0, one receive pass.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CipherExample.h"
#include "FakeEngineDevice.h"
#include "hj212/CpCipher.h"
#include "hj212/Envelope.h"
#include "hj212/HJ212System.h"

namespace {

std::string NthFrame(int n) { return HJ::wrap_frame("ST=32;CN=2011;QN=" + std::to_string(n)); }

struct Engine {
  enginefake::Device device;
  HJ::HJ212_system sys;
  Engine() { sys.attach(&device); }
  std::vector<std::string> Drain() {
    std::vector<std::string> out;
    std::string f;
    while (sys.take_frame(f) >= 0) out.push_back(f);
    return out;
  }
};

TEST(Queue, PopReportsFramesLeft) {
  Engine e;
  std::string out = "untouched";
  EXPECT_EQ(e.sys.take_frame(out), -1);
  EXPECT_EQ(out, "untouched");
  e.sys._store_frame(NthFrame(1));
  e.sys._store_frame(NthFrame(2));
  EXPECT_EQ(e.sys.take_frame(out), 1);
  EXPECT_EQ(out, NthFrame(1));
  EXPECT_EQ(e.sys.take_frame(out), 0);
  EXPECT_EQ(out, NthFrame(2));
  EXPECT_EQ(e.sys.take_frame(out), -1);
  EXPECT_EQ(out, NthFrame(2));
}

TEST(Queue, FullQueueKeepsTheNewestFrames) {
  Engine e;
  ASSERT_EQ(e.sys.queue_limit, 64u);
  for (int i = 0; i < 64; ++i) e.sys._store_frame(NthFrame(i));
  EXPECT_EQ(e.sys.queue_size(), 64u);
  e.sys._store_frame(NthFrame(64)); // the oldest goes, the new one stays
  EXPECT_EQ(e.sys.queue_size(), 64u);
  for (int i = 65; i < 100; ++i) e.sys._store_frame(NthFrame(i));
  EXPECT_EQ(e.sys.frames_accepted(), 100);
  std::vector<std::string> expected;
  for (int i = 36; i < 100; ++i) expected.push_back(NthFrame(i));
  EXPECT_EQ(e.Drain(), expected);
}

// The count goes to the device with every frame, and wraps as a 32-bit count.
TEST(Publish, CountsEveryFrameAndWraps) {
  Engine e;
  for (int i = 0; i < 7; ++i) e.sys._store_frame(NthFrame(i));
  EXPECT_EQ(e.device.Published(), (std::vector<std::int32_t>{1, 2, 3, 4, 5, 6, 7}));

  e.sys.set_frames_accepted(INT_MAX);
  e.sys._store_frame(NthFrame(8));
  EXPECT_EQ(e.sys.frames_accepted(), INT_MIN);
  EXPECT_EQ(e.device.Published().back(), INT_MIN);
}

TEST(ReceivePass, DrainsThePortAndFramesAcrossPasses) {
  Engine e;
  e.device.SetImmediate(true);
  const std::string a = NthFrame(1), b = NthFrame(2), c = NthFrame(3);
  // One drain hands over every block the port had.
  e.device.Feed(std::string(1, '\0') + a.substr(0, 10));
  e.device.Feed(a.substr(10) + std::string(1, '\0') + b);
  e.device.Feed(c.substr(0, 5));
  EXPECT_EQ(e.sys._receive_pass(), static_cast<int>(a.size() + b.size() + 2 + 5));
  EXPECT_EQ(e.sys.queue_size(), 2u); // bytes after a zero byte still count
  EXPECT_EQ(e.sys._receive_pass(), 0);
  e.device.Feed(c.substr(5));
  EXPECT_GT(e.sys._receive_pass(), 0);
  EXPECT_EQ(e.Drain(), (std::vector<std::string>{a, b, c}));
  EXPECT_EQ(e.sys.frames_accepted(), 3);
  EXPECT_EQ(e.device.Waits(), std::set<int>{static_cast<int>(HJ::HJ212_system::kReadWaitMs)});
  EXPECT_EQ(e.device.Published().back(), 3);
}

TEST(ReceivePass, AThrowingDatabaseLosesNoFrame) {
  Engine e;
  e.device.SetImmediate(true);
  e.device.ThrowOnNextPublishes(1);
  e.device.Feed(NthFrame(1) + NthFrame(2) + NthFrame(3));
  e.sys._receive_pass();
  EXPECT_EQ(e.Drain(), (std::vector<std::string>{NthFrame(1), NthFrame(2), NthFrame(3)}));
  EXPECT_EQ(e.sys.frames_accepted(), 3);
  EXPECT_EQ(e.device.Published(), (std::vector<std::int32_t>{1, 2, 3}));
}

// Every counter, exact, for each kind of span; counts do not depend on how reads cut the bytes.
TEST(ReceivePass, CountsEveryKindOfSpan) {
  const std::string good = NthFrame(7);
  const std::string badLength = "##0099ST=32" + HJ::do_crc_check("ST=32") + "\r\n";
  std::string badCrc = HJ::wrap_frame("ST=32");
  badCrc.replace(badCrc.size() - 6, 4, "0000");
  const std::string overlong = "##" + std::string(HJ::kMaxFrameBytes, 'z');
  const std::string noise = "ab\r\ncd#";
  std::string burst;
  for (int i = 0; i < 70; ++i) burst += NthFrame(i);
  const std::string mixed = noise + good + badLength + badCrc + overlong + good + "#" + badCrc + good;
  for (size_t read : {size_t(512), size_t(7)}) {
    SCOPED_TRACE(read);
    Engine e;
    e.device.SetImmediate(true);
    for (size_t at = 0; at < burst.size(); at += read) e.device.Feed(burst.substr(at, read));
    while (e.sys._receive_pass() > 0) {}
    HJ::RecvStats s = e.sys.stats();
    EXPECT_EQ(s.accepted, 70u);
    EXPECT_EQ(s.dropped, 6u);
    EXPECT_EQ(s.received_bytes, burst.size());
    EXPECT_EQ(s.noise_bytes + s.bad_length + s.bad_crc + s.overlong, 0u);
    e.Drain();

    for (size_t at = 0; at < mixed.size(); at += read) e.device.Feed(mixed.substr(at, read));
    while (e.sys._receive_pass() > 0) {}
    s = e.sys.stats();
    EXPECT_EQ(s.accepted, 73u);
    EXPECT_EQ(s.dropped, 6u);
    EXPECT_EQ(s.bad_length, 2u); // "#" + "##": the first "##" announces no length
    EXPECT_EQ(s.bad_crc, 1u);
    EXPECT_EQ(s.overlong, 1u);
    EXPECT_EQ(s.noise_bytes, mixed.size() - 3 * good.size());
    EXPECT_EQ(s.received_bytes, burst.size() + mixed.size());
    EXPECT_EQ(e.Drain().size(), 3u);
  }
}

// The device's key reaches the scanner at the next pass; a span followed beyond its first
// "\r\n" waits out any pause for its announced end, and is given up when the port is handed over.
TEST(ReceivePass, EncryptedFramesWithTheDevicesKey) {
  using namespace cipherexample;
  HJ::CipherKey key;
  Engine e;
  e.device.SetImmediate(true);
  e.sys.use_cipher_key(&key);
  e.device.Feed(kRawFrame);
  e.sys._receive_pass();
  e.sys._receive_pass(); // the first pass without bytes publishes the counts
  EXPECT_EQ(e.sys.stats().bad_crc, 1u) << "no key yet";
  ASSERT_TRUE(key.set(kKey));
  e.device.Feed(kRawFrame);
  e.sys._receive_pass();
  EXPECT_EQ(e.Drain(), std::vector<std::string>{kPlainFrame});
  HJ::RecvStats s = e.sys.stats();
  EXPECT_EQ(s.accepted, 1u);
  EXPECT_EQ(s.decrypted, 1u);

  const std::string crlfKey = "0123456789abcdef";
  ASSERT_TRUE(key.set(crlfKey));
  const Keyed crlf = WithPlain(kPlainCrLf, crlfKey);
  const std::string cut = crlf.wire.substr(0, crlf.wire.find("\r\n") + 10);
  e.device.Feed(cut);
  e.sys._receive_pass();
  e.sys._receive_pass();
  std::this_thread::sleep_for(std::chrono::milliseconds(100)); // a resent segment's pause
  e.sys._receive_pass();
  EXPECT_TRUE(e.sys.scanner().following());
  EXPECT_EQ(e.sys.stats().bad_length, 0u);
  e.device.Feed(crlf.wire.substr(cut.size()));
  e.sys._receive_pass();
  EXPECT_EQ(e.Drain(), std::vector<std::string>{crlf.plain}) << "the pause lost no frame";
  EXPECT_FALSE(e.sys.scanner().following());

  e.device.Feed(cut);
  e.sys._receive_pass();
  ASSERT_TRUE(e.sys.scanner().following());
  e.device.HandOver();
  e.sys._receive_pass();
  EXPECT_FALSE(e.sys.scanner().following()) << "a frame does not go on on another line";
  e.sys._receive_pass();
  EXPECT_EQ(e.sys.stats().bad_length, 1u);
  EXPECT_EQ(e.sys.stats().noise_bytes, kRawFrame.size() + cut.size()); // the frame rejected without a key, and the cut one

  ASSERT_TRUE(key.set(""));
  e.device.Feed(kRawFrame);
  e.sys._receive_pass();
  e.sys._receive_pass();
  s = e.sys.stats();
  EXPECT_EQ(s.accepted, 2u) << "the key removed";
  EXPECT_EQ(s.bad_crc, 2u);
  EXPECT_EQ(s.received_bytes, 3 * kRawFrame.size() + crlf.wire.size() + cut.size());
}

TEST(ReceivePass, WithoutPortReadsNothing) {
  Engine e;
  e.device.AttachPort(false);
  EXPECT_EQ(e.sys._receive_pass(), -1);
  HJ::HJ212_system unattached; // never started: no record at all
  EXPECT_EQ(unattached._receive_pass(), -1);
}

TEST(ReceivePass, AFloodIsNotHeld) {
  Engine e;
  e.device.Flood('n');
  EXPECT_EQ(e.sys._receive_pass(), enginefake::Device::kFloodBytes);
  EXPECT_EQ(e.sys.scanner().pending(), 0u) << "noise is not held";
}

TEST(Lifecycle, StopWithoutThreadIsSafe) {
  HJ::HJ212_system sys;
  sys.stop();
  sys.stop();
  EXPECT_TRUE(sys.stop_was_requested());
  EXPECT_EQ(sys.receive_thread_id(), std::thread::id());
}

} // namespace
