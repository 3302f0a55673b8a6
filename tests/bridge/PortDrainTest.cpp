#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bridge/DevServer.h"
#include "panel/ICommunication.h"

namespace {

// A port that hands out scripted reads: bytes placed, the hint left in *length, and the text.
// Kept apart from fake::Port: its counts and hints need not match the bytes, as a faulty port's may not.
class ScriptedPort final : public ICommunication {
public:
  struct Read {
    int placed;
    int hint;
    char fill;
  };
  std::deque<Read> script;
  bool flood = false; // after the script: full reads with more to come, forever
  int trickle = 0;    // after the script: this many one-byte reads, each claiming more,
  int trickleMs = 1;  // ...each taking this long
  int reads = 0;
  int lastAsked = 0;
  int lastWait = -1;
  std::function<void()> beforeFirstRead;

  int Open() override { return 0; }
  int Close() override { return 0; }
  int WriteData(const unsigned char*, int*, int) override { return 0; }
  int ReadData(unsigned char* buffer, int* length, int wait) override {
    if (++reads == 1 && beforeFirstRead) beforeFirstRead();
    lastAsked = *length;
    lastWait = wait;
    Read r{0, 0, 0};
    if (!script.empty()) {
      r = script.front();
      script.pop_front();
    } else if (flood) {
      r = Read{512, 512, 'f'};
    } else if (trickle > 0) {
      --trickle;
      std::this_thread::sleep_for(std::chrono::milliseconds(trickleMs));
      r = Read{1, 1, 't'};
    }
    int written = r.placed < *length ? r.placed : *length; // never past the buffer it was given
    for (int i = 0; i < written; ++i) buffer[i] = static_cast<unsigned char>(r.fill);
    *length = r.hint;
    return r.placed;
  }
  int ClearBuffer() override { return 0; }
  int SetDeviceName(const char*) override { return 0; }
  int GetCommMode() override { return 1; }
  int SetTimeout(int) override { return 0; }
  int GetTimeout() override { return 0; }
};

std::string Text(const CByteArray& bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.GetData()), static_cast<std::size_t>(bytes.GetSize()));
}

TEST(PortDrain, WithoutPortLeavesOutputAlone) {
  ORVA_DATA data{};
  CByteArray out;
  out.Add('x');
  EXPECT_EQ(-1, CDevServer::mfReadCommUseSleep(data, out, 10));
  EXPECT_EQ("x", Text(out));
}

TEST(PortDrain, JoinsReadsUntilThePortHasNoMore) {
  struct Case {
    const char* what;
    std::deque<ScriptedPort::Read> script;
    std::string expected;
    int reads;
  } cases[] = {
      {"hint ends", {{3, 5, 'a'}, {2, 1, 'b'}, {4, 0, 'c'}, {9, 0, 'z'}}, "aaabbcccc", 3},
      {"empty read ends", {{3, 5, 'a'}, {0, 5, 'z'}, {9, 0, 'z'}}, "aaa", 2},
      {"failed read ends", {{2, 5, 'a'}, {-1, 5, 'z'}}, "aa", 2},
      {"nothing waiting", {{0, 0, 'z'}}, "", 1},
      {"overstated count is cut to the chunk", {{600, 0, 'o'}}, std::string(512, 'o'), 1},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedPort port;
    port.script = c.script;
    ORVA_DATA data{};
    StorePort(data, &port);
    CByteArray out;
    out.Add('!'); // stale bytes are dropped, not appended to
    EXPECT_EQ(static_cast<int>(c.expected.size()), CDevServer::mfReadCommUseSleep(data, out, 25));
    EXPECT_EQ(c.expected, Text(out));
    EXPECT_EQ(c.reads, port.reads);
    EXPECT_EQ(512, port.lastAsked);
    EXPECT_EQ(25, port.lastWait);
  }
}

TEST(PortDrain, FloodingPortStopsAtTheLimit) {
  ScriptedPort port;
  port.flood = true;
  ORVA_DATA data{};
  StorePort(data, &port);
  CByteArray out;
  EXPECT_EQ(CDevServer::kDrainLimit, CDevServer::mfReadCommUseSleep(data, out, 0));
  EXPECT_EQ(CDevServer::kDrainLimit / 512, port.reads);
}

// A slow line that always claims more, whatever its rhythm: the drain hands over what came (and
// so cuts a frame's last byte) within about 100 ms of its start, never much later.
TEST(PortDrain, TricklingPortStopsInTime) {
  for (int ms : {1, 8, 20}) {
    ScriptedPort port;
    port.trickle = 3000;
    port.trickleMs = ms;
    ORVA_DATA data{};
    StorePort(data, &port);
    CByteArray out;
    auto began = std::chrono::steady_clock::now();
    int got = CDevServer::mfReadCommUseSleep(data, out, 40);
    auto took = std::chrono::steady_clock::now() - began;
    EXPECT_LT(took, std::chrono::milliseconds(150)) << ms << " ms per read";
    EXPECT_GE(took, std::chrono::milliseconds(CDevServer::kDrainMs)) << ms << " ms per read";
    EXPECT_GT(got, 0);
    EXPECT_LT(got, 3000);
  }
}

// A drain that takes its hold back on the old port while a replacement waits for it: the
// replacement returns. The seam pauses the reading side after take stored that port back, long
// enough for the woken replacement to look again and wait; take's failure must wake it once more.
TEST(PortHold, ReplaceReturnsWhenTheDrainTakesTheOldPortBack) {
  ScriptedPort old, fresh;
  for (int i = 0; i < 9; ++i) old.script.push_back({512, 512, 'o'}); // more than a block, more to come
  ORVA_DATA data{};
  StorePort(data, &old);
  CDevServer::PortHold hold;
  std::atomic<bool> reading{false}, stop{false}, replaced{false};
  // The first read waits for the replacement to store the record and mark itself waiting.
  old.beforeFirstRead = [&] {
    reading = true;
    for (int i = 0; i < 5000 && LoadPort(data) == &old; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  };
  CDevServer::PortHold::s_pauseInTake = [] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); };
  struct Sink final : CDevServer::ReadSink {
    std::vector<unsigned char> bytes;
    std::size_t had = 0;
    unsigned char* room(int n) override {
      had = bytes.size();
      bytes.resize(had + static_cast<std::size_t>(n));
      return bytes.data() + had;
    }
    void commit(int n) override { bytes.resize(had + static_cast<std::size_t>(n)); }
  } sink;
  int taken = -1;
  // Started far ahead: the drain's time never runs out, so it asks for the hold again after a block.
  std::thread reader([&] { taken = CDevServer::mfDrainPort(data, sink, 0, &stop, &hold, std::chrono::steady_clock::now() + std::chrono::hours(1)); });
  std::thread replacer([&] {
    while (!reading) std::this_thread::yield();
    hold.replace(data, &fresh);
    replaced = true;
  });
  for (int i = 0; i < 300 && !replaced; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!replaced) {
    ADD_FAILURE() << "replace has not returned after 3 s";
    std::fflush(stdout);
    std::_Exit(1); // the replacing thread waits for good: no orderly way out
  }
  replacer.join();
  reader.join();
  CDevServer::PortHold::s_pauseInTake = nullptr;
  EXPECT_EQ(taken, CDevServer::kBlockSize) << "the drain ends at the block that found the record changed";
  EXPECT_EQ(fresh.reads, 0);
}

} // namespace
