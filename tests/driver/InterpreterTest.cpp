// The device object's wiring of the script command interpreter (the commands themselves are tested
// on the engine in tests/hj212): its configuration and port reach "Send", its database and the
// bridge's retry reach the stores, its key outlives a restart, nothing the database throws leaves
// it; channel writes and the pacing of the I/O-control path.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "FakeTicks.h"
#include "driver/DevCtrl.h"
#include "driver/IoCtrl.h"
#include "hj212/CpCipher.h"
#include "hj212/Envelope.h"
#include "hj212/HJ212System.h"
#include "panel/DeviceExports.h"
#include "panel/ResultCodes.h"
#include "tests/hj212/CipherExample.h"
#include "tests/support/ConfigBytes.h"
#include "tests/support/FakePanel.h"

namespace {

const std::string kConfig = fake::ConfigBytes({7}, {}); // first parameter 7: handed to WriteData

class Commands : public ::testing::Test {
protected:
  void SetUp() override {
    fake_ticks::Reset(0);
    ctrl = static_cast<CDevCtrl*>(CreateDeviceCtrl("dev", &rtdb));
    ctrl->UpdataCommunication(&port);
    ASSERT_EQ(ctrl->InitDevice(fake::Bytes(kConfig), static_cast<int>(kConfig.size())), 0);
    engine = ctrl->m_devData.pDevice->pSystem;
    for (const char* name : {"A", "B", "C", "F", "K", "V", "S", "Out", "T"}) rtdb.SetText(name, "");
    rtdb.SetInt("Q", 99);
    rtdb.SetInt("L", 99);
    rtdb.SetInt("St", 99);
  }
  void TearDown() override { DestroyDeviceCtrl(ctrl); }

  void Queue(const std::string& frame) { engine->_store_frame(std::string(frame)); }
  int Run(const std::string& command) { return engine->execute_device_cmd(command); }
  // A device parameter as a configuration would have held it: the engine reads its parameters once.
  void SetParam(int index, int value) {
    CArray<int, int>& params = ctrl->m_devData.pDevice->arDevParam;
    params[index] = value;
    engine->use_device_params(HJ::DeviceParams::from(params.GetData(), params.GetSize()));
  }

  fake::Rtdb rtdb;
  fake::Port port;
  CDevCtrl* ctrl = nullptr;
  HJ::HJ212_system* engine = nullptr;
};

TEST_F(Commands, GetDataRetriesARefusedStoreOnce) {
  Queue("frame");
  rtdb.FailNextSets(1);
  EXPECT_EQ(Run("GetData(F,L)"), 0);
  EXPECT_EQ(rtdb.Get("F").s, "frame");
}

TEST_F(Commands, SendWritesTheFrameByteForByte) {
  rtdb.SetText("A", "ST=32");
  EXPECT_EQ(Run("Send(A,St,C)"), 0);
  EXPECT_EQ(port.Written(), "##0005ST=3260C0\r\n");
  EXPECT_EQ(port.Written().size(), 17u);
  EXPECT_EQ(rtdb.Get("St").i, 0);
  EXPECT_EQ(rtdb.Get("C").s, "##0005ST=3260C0\r\n");
  ASSERT_EQ(port.WriteParams().size(), 1u);
  EXPECT_EQ(port.WriteParams()[0], 7);
}

// A restart of the line keeps the key: the new engine encrypts and decrypts with it.
TEST_F(Commands, KeySurvivesARestartOfTheLine) {
  using namespace cipherexample;
  rtdb.SetText("K", kKey);
  ASSERT_EQ(Run("SetKey(K,St)"), 0);
  EXPECT_EQ(ctrl->CleanupDevice(), 0);
  fake::Port fresh;
  fresh.SetImmediate(true);
  EXPECT_EQ(ctrl->UpdataCommunication(&fresh), 0);
  ASSERT_EQ(ctrl->InitDevice(fake::Bytes(kConfig), static_cast<int>(kConfig.size())), 0);
  engine = ctrl->m_devData.pDevice->pSystem;
  rtdb.SetText("A", kData);
  EXPECT_EQ(Run("Send(A,St)"), 0);
  EXPECT_EQ(fresh.Written(), kRawFrame);
  fresh.Feed(kRawFrame);
  engine->_receive_pass();
  EXPECT_EQ(Run("GetData(F,L)"), 0);
  EXPECT_EQ(rtdb.Get("F").s, kPlainFrame);
  rtdb.SetText("K", "");
  EXPECT_EQ(Run("SetKey(K,St)"), 0);
  EXPECT_EQ(Run("Send(A,St)"), 0);
  EXPECT_EQ(fresh.Written(), kRawFrame + kPlainFrame) << "the key removed: plain again";
  ctrl->UpdataCommunication(&port);
}

// No exception the panel's database throws leaves the device: the command answers 4 (GetData's
// frame is gone, as after any failed store), and a collection cycle publishes the other channels.
TEST_F(Commands, ADatabaseThatThrowsStaysInside) {
  Queue("##0005ST=3260C0\r\n");
  rtdb.ThrowOnNextSets(1);
  int result = 0;
  EXPECT_NO_THROW(result = ctrl->DevIOCtrl("GetData(F,L)"));
  EXPECT_EQ(result, 4);
  EXPECT_EQ(engine->queue_size(), 0u);
  rtdb.BindChannel(0, "Q");
  rtdb.BindChannel(1, "L");
  int codes[2] = {3, 3};
  rtdb.ThrowOnNextSets(1);
  EXPECT_NO_THROW(result = ctrl->CollectDevData(codes, 2));
  EXPECT_EQ(result, 4) << "the status value: the last command's failure";
  EXPECT_NE(rtdb.Get("L").i, 99) << "the channel after the throwing one is still published";
}

TEST_F(Commands, IoControlPathAndItsResults) {
  rtdb.SetInt("Q", 5);
  EXPECT_EQ(ctrl->DevIOCtrl("GetQueueSize"), 5);
  EXPECT_EQ(ctrl->DevIOCtrl("GetQueueSize(Q)"), 0);
  EXPECT_EQ(rtdb.Get("Q").i, 0);
  EXPECT_EQ(ctrl->DevIOCtrl("GetQueueSize(Missing)"), 4);
  EXPECT_EQ(ctrl->DevIOCtrl("Bogus(Q)"), 5);
  EXPECT_EQ(port.DeviceName(), "dev");

  double value = 1.5;
  EXPECT_EQ(ctrl->WriteChannel(0, DT_DOUBLE, &value), 5);
  EXPECT_EQ(ctrl->WriteChannel(-1, DT_DOUBLE, &value), kErrBadArgument);

  ctrl->m_devData.pCommunication = nullptr;
  rtdb.SetInt("Q", 5);
  EXPECT_EQ(ctrl->DevIOCtrl("GetQueueSize(Q)"), kErrNoPort);
  EXPECT_EQ(rtdb.Get("Q").i, 0) << "without a port the command still runs";
  EXPECT_EQ(ctrl->WriteChannel(0, DT_DOUBLE, &value), kErrNoPort);
}

TEST(IoControl, UninitialisedDeviceRunsNothing) {
  fake_ticks::Reset(0);
  fake::Rtdb rtdb;
  rtdb.SetInt("Q", 5);
  fake::Port port;
  IDeviceCtrl* device = CreateDeviceCtrl("dev", &rtdb);
  device->UpdataCommunication(&port);
  EXPECT_EQ(device->DevIOCtrl("GetQueueSize(Q)"), 0);
  EXPECT_EQ(rtdb.Get("Q").i, 5);
  DestroyDeviceCtrl(device);
}

TEST(IoControl, ChannelWriteTexts) {
  double d = 1.5;
  int i = -42;
  const char* text = "abc";
  EXPECT_STREQ(orva_device::ChannelWriteCommand(0, DT_DOUBLE, &d), "ORVA_WRITE(1=1.500000)");
  EXPECT_STREQ(orva_device::ChannelWriteCommand(9, DT_INTEGER, &i), "ORVA_WRITE(10=-42)");
  EXPECT_STREQ(orva_device::ChannelWriteCommand(2, DT_STRING, text), "ORVA_WRITE(3=abc)");
  EXPECT_STREQ(orva_device::ChannelWriteCommand(2, static_cast<DATATYPE>(9), text), "");
  EXPECT_STREQ(orva_device::ChannelWriteCommand(2147483647, DT_INTEGER, &i), "ORVA_WRITE(2147483648=-42)");
}

TEST(IoControl, QuickCommandsArePaced) {
  struct Case {
    unsigned step; // ticks between the two readings of the clock
    bool sleeps;
  } cases[] = {{0, true}, {4, true}, {5, false}, {1000, false}};
  for (const Case& c : cases) {
    fake_ticks::Reset(c.step);
    CArray<double, double> values;
    values.SetSize(1);
    CStringArray texts;
    ORVA_DATA data = ORVA_DATA();
    CString command("GetQueueSize(Q)");
    EXPECT_EQ(orva_device::SvrDevIOCtrl(data, command, values, texts), 0);
    EXPECT_EQ(values[0], 0.0);
    auto sleeps = fake_ticks::Sleeps();
    EXPECT_EQ(sleeps.size(), c.sleeps ? 1u : 0u) << "step " << c.step;
    if (c.sleeps && !sleeps.empty()) {
      EXPECT_EQ(sleeps[0], 5u);
    }
  }
  fake_ticks::Reset(0);
  CArray<double, double> none;
  CStringArray texts;
  ORVA_DATA data = ORVA_DATA();
  CString command("GetQueueSize(Q)");
  EXPECT_EQ(orva_device::SvrDevIOCtrl(data, command, none, texts), 0);
  EXPECT_TRUE(fake_ticks::Sleeps().empty()) << "no result array: returns at once";
}

} // namespace
