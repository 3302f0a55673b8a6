// The engine without its thread: queue, counting, publishing on channel 0, one receive pass.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include "CipherExample.h"
#include "CpCipher.h"
#include "DevServer.h"
#include "Envelope.h"
#include "FakePanel.h"
#include "HJ212System.h"
#include "PanelDevice.h"

namespace {

std::string NthFrame(int n) { return HJ::wrap_frame("ST=32;CN=2011;QN=" + std::to_string(n)); }

struct Engine {
  ORVA_DATA data{};
  CPanelDevice device{data};
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

struct PublishCase {
  const char* what;
  DATATYPE type;
  int typeResult;
  int failingSets;
  std::vector<std::string> calls; // "op:value" after the type query
};

// Channel 0 bound to a variable of `type`, every call kept.
void BindCount(fake::Rtdb& db, DATATYPE type) {
  db.Define("Count", type);
  db.BindChannel(0, "Count");
  db.RecordCalls();
}

TEST(Publish, ByChannelTypeWithOneRetry) {
  const PublishCase cases[] = {
      {"integer", DT_INTEGER, 0, 0, {"set int:3"}},
      {"double", DT_DOUBLE, 0, 0, {"set double:3.000000"}},
      {"text", DT_STRING, 0, 0, {"set text:3"}},
      {"unknown type", static_cast<DATATYPE>(7), 0, 0, {}},
      {"type left unset", DT_UNSET, 0, 0, {}},
      {"type query fails, though it wrote the type", DT_INTEGER, 1, 0, {}},
      {"integer refused once", DT_INTEGER, 0, 1, {"set int:3", "set int:3"}},
      {"integer refused twice: no third try", DT_INTEGER, 0, 2, {"set int:3", "set int:3"}},
      {"double refused once", DT_DOUBLE, 0, 1, {"set double:3.000000", "set double:3.000000"}},
      {"text refused twice", DT_STRING, 0, 5, {"set text:3", "set text:3"}},
  };
  for (const PublishCase& c : cases) {
    fake::Rtdb db;
    BindCount(db, c.type);
    db.FailTypeQueries(c.typeResult);
    db.FailNextSets(c.failingSets);
    Engine e;
    e.data.pRtdbCtrl = &db;
    e.sys.set_frames_accepted(2);
    e.sys._store_frame(NthFrame(0));
    auto calls = db.Log();
    ASSERT_FALSE(calls.empty()) << c.what;
    EXPECT_EQ(calls[0].op, "type") << c.what;
    EXPECT_EQ(calls[0].channel, 0) << c.what;
    EXPECT_EQ(calls[0].value, "-2") << c.what; // preset to DT_UNSET before the query
    std::vector<std::string> rest;
    for (size_t i = 1; i < calls.size(); ++i) {
      EXPECT_EQ(calls[i].channel, 0) << c.what;
      rest.push_back(calls[i].op + ":" + calls[i].value);
    }
    EXPECT_EQ(rest, c.calls) << c.what;
    EXPECT_EQ(e.sys.queue_size(), 1u) << c.what; // a failed publish keeps the frame
  }
}

TEST(Publish, CountsEveryFrameAndWraps) {
  fake::Rtdb db;
  BindCount(db, DT_STRING);
  Engine e;
  e.data.pRtdbCtrl = &db;
  for (int i = 0; i < 7; ++i) e.sys._store_frame(NthFrame(i));
  EXPECT_EQ(db.Log().back().value, "7");

  e.sys.set_frames_accepted(INT_MAX);
  e.sys._store_frame(NthFrame(8));
  EXPECT_EQ(e.sys.frames_accepted(), INT_MIN);
  EXPECT_EQ(db.Log().back().value, "-2147483648");
  EXPECT_EQ(db.Get("Count").s, "-2147483648");
}

TEST(Publish, NoDatabaseAdapterIsHarmless) {
  Engine e;
  e.sys._store_frame(NthFrame(0));
  EXPECT_EQ(e.sys.frames_accepted(), 1);
  EXPECT_EQ(e.sys.queue_size(), 1u);
}

TEST(ReceivePass, DrainsThePortAndFramesAcrossPasses) {
  fake::Port port;
  port.SetImmediate(true);
  fake::Rtdb db;
  BindCount(db, DT_INTEGER);
  Engine e;
  StorePort(e.data, &port);
  e.data.pRtdbCtrl = &db;
  const std::string a = NthFrame(1), b = NthFrame(2), c = NthFrame(3);
  // One drain takes every scripted read until the port says it has no more.
  port.Feed(std::string(1, '\0') + a.substr(0, 10));
  port.Feed(a.substr(10) + std::string(1, '\0') + b);
  port.Feed(c.substr(0, 5));
  EXPECT_EQ(e.sys._receive_pass(), static_cast<int>(a.size() + b.size() + 2 + 5));
  EXPECT_EQ(e.sys.queue_size(), 2u); // bytes after a zero byte still count
  EXPECT_EQ(e.sys._receive_pass(), 0);
  port.Feed(c.substr(5));
  EXPECT_GT(e.sys._receive_pass(), 0);
  EXPECT_EQ(e.Drain(), (std::vector<std::string>{a, b, c}));
  EXPECT_EQ(e.sys.frames_accepted(), 3);
  EXPECT_EQ(port.Waits(), std::set<int>{40});
  EXPECT_EQ(db.Get("Count").i, 3);
}

TEST(ReceivePass, AThrowingDatabaseLosesNoFrame) {
  fake::Port port;
  port.SetImmediate(true);
  fake::Rtdb db;
  BindCount(db, DT_INTEGER);
  db.ThrowOnNextSets(1);
  Engine e;
  StorePort(e.data, &port);
  e.data.pRtdbCtrl = &db;
  port.Feed(NthFrame(1) + NthFrame(2) + NthFrame(3));
  e.sys._receive_pass();
  EXPECT_EQ(e.Drain(), (std::vector<std::string>{NthFrame(1), NthFrame(2), NthFrame(3)}));
  EXPECT_EQ(e.sys.frames_accepted(), 3);
  EXPECT_EQ(db.Get("Count").i, 3);
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
    fake::Port port;
    port.SetImmediate(true);
    Engine e;
    StorePort(e.data, &port);
    for (size_t at = 0; at < burst.size(); at += read) port.Feed(burst.substr(at, read));
    while (e.sys._receive_pass() > 0) {
    }
    HJ::RecvStats s = e.sys.stats();
    EXPECT_EQ(s.accepted, 70u);
    EXPECT_EQ(s.dropped, 6u);
    EXPECT_EQ(s.received_bytes, burst.size());
    EXPECT_EQ(s.noise_bytes + s.bad_length + s.bad_crc + s.overlong, 0u);
    e.Drain();

    for (size_t at = 0; at < mixed.size(); at += read) port.Feed(mixed.substr(at, read));
    while (e.sys._receive_pass() > 0) {
    }
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
  fake::Port port;
  port.SetImmediate(true);
  HJ::CipherKey key;
  Engine e;
  StorePort(e.data, &port);
  e.sys.use_cipher_key(&key);
  port.Feed(kRawFrame);
  e.sys._receive_pass();
  e.sys._receive_pass(); // the first pass without bytes publishes the counts
  EXPECT_EQ(e.sys.stats().bad_crc, 1u) << "no key yet";
  ASSERT_TRUE(key.set(kKey));
  port.Feed(kRawFrame);
  e.sys._receive_pass();
  EXPECT_EQ(e.Drain(), std::vector<std::string>{kPlainFrame});
  HJ::RecvStats s = e.sys.stats();
  EXPECT_EQ(s.accepted, 1u);
  EXPECT_EQ(s.decrypted, 1u);

  const std::string crlfKey = "0123456789abcdef";
  ASSERT_TRUE(key.set(crlfKey));
  const Keyed crlf = WithPlain(kPlainCrLf, crlfKey);
  const std::string cut = crlf.wire.substr(0, crlf.wire.find("\r\n") + 10);
  port.Feed(cut);
  e.sys._receive_pass();
  e.sys._receive_pass();
  std::this_thread::sleep_for(std::chrono::milliseconds(2 * CDevServer::kDrainMs)); // a resent segment's pause
  e.sys._receive_pass();
  EXPECT_TRUE(e.sys.scanner().following());
  EXPECT_EQ(e.sys.stats().bad_length, 0u);
  port.Feed(crlf.wire.substr(cut.size()));
  e.sys._receive_pass();
  EXPECT_EQ(e.Drain(), std::vector<std::string>{crlf.plain}) << "the pause lost no frame";
  EXPECT_FALSE(e.sys.scanner().following());

  port.Feed(cut);
  e.sys._receive_pass();
  ASSERT_TRUE(e.sys.scanner().following());
  fake::Port other;
  other.SetImmediate(true);
  e.device.let_go_port(); // as the receive thread does before it idles
  e.device.replace_port(&other);
  e.sys._receive_pass();
  EXPECT_FALSE(e.sys.scanner().following()) << "a frame does not go on on another line";
  e.sys._receive_pass();
  EXPECT_EQ(e.sys.stats().bad_length, 1u);
  EXPECT_EQ(e.sys.stats().noise_bytes, kRawFrame.size() + cut.size()); // the frame rejected without a key, and the cut one

  ASSERT_TRUE(key.set(""));
  other.Feed(kRawFrame);
  e.sys._receive_pass();
  e.sys._receive_pass();
  s = e.sys.stats();
  EXPECT_EQ(s.accepted, 2u) << "the key removed";
  EXPECT_EQ(s.bad_crc, 2u);
  EXPECT_EQ(s.received_bytes, 3 * kRawFrame.size() + crlf.wire.size() + cut.size());
}

TEST(ReceivePass, WithoutPortReadsNothing) {
  Engine e;
  EXPECT_EQ(e.sys._receive_pass(), -1);
  HJ::HJ212_system unattached; // never started: no record at all
  EXPECT_EQ(unattached._receive_pass(), -1);
}

TEST(ReceivePass, OneDrainIsBounded) {
  fake::Port port;
  port.Flood('n');
  Engine e;
  StorePort(e.data, &port);
  int got = e.sys._receive_pass();
  EXPECT_GE(got, 512);
  EXPECT_LE(got, 64 * 1024 + 512);
  EXPECT_EQ(e.sys.scanner().pending(), 0u);
}

TEST(Lifecycle, StopWithoutThreadIsSafe) {
  HJ::HJ212_system sys;
  sys.stop();
  sys.stop();
  EXPECT_TRUE(sys.stop_was_requested());
  EXPECT_EQ(sys.receive_thread_id(), std::thread::id());
}

} // namespace
