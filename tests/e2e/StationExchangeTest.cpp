// A station's life through the plug-in's exports: configuration, collection cycles, frames arriving
// on the port in pieces and with noise, and a full request/answer exchange driven by script commands.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "panel/DeviceExports.h"
#include "panel/PluginLibrary.h"
#include "tests/support/ConfigBytes.h"
#include "tests/support/FakePanel.h"

namespace {

using Clock = std::chrono::steady_clock;

// The platform's request from the field: set the real-time upload interval.
const std::string kRequest = "##0101QN=20160801085857223;ST=32;CN=1062;PW=100000;MN=010000A8900016F000169DC0;Flag=5;CP=&&RtdInterval=30&&1C80\r\n";

class Station : public ::testing::Test {
protected:
  void SetUp() override {
    library = std::make_unique<PluginLibrary>(POLMON_PLUGIN);
    ASSERT_TRUE(library->loaded()) << library->error();
    auto create = library->function<PFN_CreateDeviceCtrl>("CreateDeviceCtrl");
    auto version = library->function<PFN_GetInterfaceVersion>("GetInterfaceVersion");
    destroy = library->function<PFN_DestroyDeviceCtrl>("DestroyDeviceCtrl");
    ASSERT_TRUE(create && version && destroy);
    rtdb.SetInt("FrameCount", 0);
    rtdb.BindChannel(0, "FrameCount");
    device = create("platform-1", &rtdb);
    ASSERT_EQ(version(3, device), 3);
    ASSERT_EQ(device->UpdataCommunication(&port), 0);
  }
  void TearDown() override {
    if (device) destroy(device);
    library.reset();
  }
  void Init(const std::string& config) { ASSERT_EQ(device->InitDevice(fake::Bytes(config), static_cast<int>(config.size())), 0); }
  int Cycle() {
    int codes[2] = {0, 0};
    return device->CollectDevData(codes, 2);
  }
  // Runs collection cycles until the accepted-frame count reaches `count` (or a few seconds pass).
  bool WaitForFrames(int count) {
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
      Cycle();
      if (rtdb.Get("FrameCount").i >= count && port.Drained()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  std::unique_ptr<PluginLibrary> library;
  PFN_DestroyDeviceCtrl destroy = nullptr;
  fake::Rtdb rtdb;
  fake::Port port;
  IDeviceCtrl* device = nullptr;
};

TEST_F(Station, CleanupRightAfterInitIsPrompt) {
  Init(fake::ConfigBytes({3}, {fake::Row()}));
  auto before = Clock::now();
  EXPECT_EQ(device->CleanupDevice(), 0);
  EXPECT_LT(Clock::now() - before, std::chrono::seconds(1));
  EXPECT_EQ(port.Reads(), 0);
}

TEST_F(Station, FramesInPiecesAndNoiseLandInTheQueue) {
  Init(fake::ConfigBytes({3, 0, 0}, {fake::Row(), fake::Row()}));
  EXPECT_EQ(Cycle(), 2147483647);
  // Noise, a frame cut in three, a stray "#", a corrupted frame, and a frame with a lower-case CRC.
  port.Feed("\x01\x02garbage#");
  port.Feed(kRequest.substr(0, 30));
  port.Feed(kRequest.substr(30, 50));
  port.Feed(kRequest.substr(80) + "#");
  port.Feed("##0005ST=3260C1\r\n");
  port.Feed("##0005ST=3260c0\r\n");
  ASSERT_TRUE(WaitForFrames(2)) << "frames counted: " << rtdb.Get("FrameCount").i;
  EXPECT_EQ(rtdb.Get("FrameCount").i, 2);
  for (int i = 0; i < 5; ++i) Cycle();
  ASSERT_EQ(port.Timeouts().size(), 1u);
  EXPECT_EQ(port.Timeouts()[0], 3000);

  rtdb.SetInt("N", -1);
  rtdb.SetText("F", "");
  rtdb.SetInt("L", 0);
  EXPECT_EQ(device->DevIOCtrl("GetQueueSize(N)"), 0);
  EXPECT_EQ(rtdb.Get("N").i, 2);
  EXPECT_EQ(device->DevIOCtrl("GetData(F,L)"), 0);
  EXPECT_EQ(rtdb.Get("F").s, kRequest);
  EXPECT_EQ(rtdb.Get("L").i, 1);
  EXPECT_EQ(device->DevIOCtrl("GetData(F,L)"), 0);
  EXPECT_EQ(rtdb.Get("F").s, "##0005ST=3260c0\r\n");
  EXPECT_EQ(device->CleanupDevice(), 0);
}

TEST_F(Station, AnswersAPlatformRequest) {
  Init(fake::ConfigBytes({2}, {}));
  for (const char* name : {"Rx", "Cn", "Qn", "Interval", "Template", "Reply", "Sent"}) rtdb.SetText(name, "");
  rtdb.SetInt("Waiting", 0);
  rtdb.SetInt("Left", 0);
  rtdb.SetInt("Status", 9);
  rtdb.SetInt("SendStatus", 9);
  Cycle();
  port.Feed(kRequest);

  // The station script: poll, take the frame, read it, answer with a request acknowledgement.
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (rtdb.Get("Waiting").i == 0 && Clock::now() < deadline) {
    Cycle();
    ASSERT_EQ(device->DevIOCtrl("GetQueueSize(Waiting)"), 0);
  }
  ASSERT_EQ(rtdb.Get("Waiting").i, 1);
  ASSERT_EQ(device->DevIOCtrl("GetData(Rx,Left)"), 0);
  EXPECT_EQ(rtdb.Get("Left").i, 0);
  ASSERT_EQ(device->DevIOCtrl("GetValue(Rx,CN,Cn,Status)"), 0);
  EXPECT_EQ(rtdb.Get("Cn").s, "1062");
  ASSERT_EQ(device->DevIOCtrl("GetValue(Rx,QN,Qn,Status)"), 0);
  ASSERT_EQ(device->DevIOCtrl("GetCpValue(Rx,RtdInterval,Interval,Status)"), 0);
  EXPECT_EQ(rtdb.Get("Interval").s, "30");
  EXPECT_EQ(rtdb.Get("Status").i, 0);

  rtdb.SetText("Template", "QN=Qn;ST=91;CN=9011;PW=100000;MN=010000A8900016F000169DC0;Flag=4;CP=&&QnRtn=1&&");
  ASSERT_EQ(device->DevIOCtrl("MakeProtocol(Template,Reply)"), 0);
  const std::string reply = "QN=20160801085857223;ST=91;CN=9011;PW=100000;MN=010000A8900016F000169DC0;Flag=4;CP=&&QnRtn=1&&";
  EXPECT_EQ(rtdb.Get("Reply").s, reply);
  ASSERT_EQ(device->DevIOCtrl("Send(Reply,SendStatus,Sent)"), 0);
  EXPECT_EQ(rtdb.Get("SendStatus").i, 0);

  char length[32];
  std::snprintf(length, sizeof length, "%04zu", reply.size());
  const std::string wire = port.Written();
  ASSERT_EQ(wire.size(), reply.size() + 12);
  EXPECT_EQ(wire.substr(0, 6), std::string("##") + length);
  EXPECT_EQ(wire.substr(6, reply.size()), reply);
  EXPECT_EQ(wire.substr(wire.size() - 2), "\r\n");
  EXPECT_EQ(rtdb.Get("Sent").s, wire) << "an ASCII frame leaves exactly as built";
  ASSERT_EQ(port.WriteParams().size(), 1u);
  EXPECT_EQ(port.WriteParams()[0], 2);

  // The station's own answer is a valid frame: fed back, the plug-in accepts it.
  port.Feed(wire);
  ASSERT_TRUE(WaitForFrames(2));

  // So is a frame with Chinese text (GB18030 on the wire), and the script reads it back as the
  // UTF-8 copy it sent.
  rtdb.SetText("Reply", "ST=32;CN=2011;CP=&&Site=\xE6\xB0\xB4\xE8\xB4\xA8\xE7\xAB\x99&&");
  ASSERT_EQ(device->DevIOCtrl("Send(Reply,SendStatus,Sent)"), 0);
  EXPECT_EQ(rtdb.Get("SendStatus").i, 0);
  port.Feed(port.Written().substr(wire.size()));
  ASSERT_TRUE(WaitForFrames(3)) << "frames counted: " << rtdb.Get("FrameCount").i;
  ASSERT_EQ(device->DevIOCtrl("GetData(Rx,Left)"), 0);
  ASSERT_EQ(device->DevIOCtrl("GetData(Rx,Left)"), 0);
  EXPECT_EQ(rtdb.Get("Rx").s, rtdb.Get("Sent").s);
  EXPECT_EQ(rtdb.Get("Rx").s.substr(0, 6), "##0032"); // 35 bytes in UTF-8
  EXPECT_EQ(device->CleanupDevice(), 0);
}

} // namespace
