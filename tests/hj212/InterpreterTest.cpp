// Script commands end to end on one device: grammar, each command's stores and result codes,
// "Send" byte for byte, channel writes and the pacing of the I/O-control path.
#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "ConfigBytes.h"
#include "DevCtrl.h"
#include "DeviceExports.h"
#include "Envelope.h"
#include "FakePanel.h"
#include "FakeIconv.h"
#include "FakeTicks.h"
#include "HJ212System.h"
#include "IoCtrl.h"
#include "ResultCodes.h"

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

  void Queue(const std::string& frame) {
    engine->_store_frame(std::string(frame));
  }
  int Run(const std::string& command) { return engine->execute_device_cmd(command); }

  fake::Rtdb rtdb;
  fake::Port port;
  CDevCtrl* ctrl = nullptr;
  HJ::HJ212_system* engine = nullptr;
};

TEST_F(Commands, Grammar) {
  struct Case {
    const char* command;
    int result;
  } cases[] = {
      {"GetQueueSize(Q)", 0},          {"getqueuesize(Q)", 0},       {"GETQUEUESIZE(Q)", 0},
      {"  GetQueueSize  ( Q )", 0},    {"GetQueueSize(Q,)", 0},      {"GetQueueSize(Q) and more", 0},
      {"GetQueueSize(Q)(X)", 0},       {"GetData(F,,L)", 0},         {"send(A,St)", 0},
      {"SEND(A,St,C)", 0},             {"GetQueueSize()", -5},       {"GetQueueSize( )", -5},
      {"GetQueueSize(Q,L)", -5},       {"Get Data(F,L)", -5},        {"GetQueueSize)N(", -5},
      {"GetValue(A,B,C)", -5},         {"Send(A)", -5},              {"Send(A,St,C,D)", -5},
      {"Send( ,St)", -5},              {"Foo(X)", -5},               {"GetQueueSize\t(Q)", -5},
      {"GetQueueSize(\tN)", -4},       {"GetData(F,L", -5},          {"MakeProtocol(T,,Out)", 0},
      {"GetQueueSize(,,Q)", 0},        {"ORVA_WRITE(1=1.500000)", -5},
      {"GetStats(Q)", 0},              {"getstats(Q,L,St,Q,L,St,Q)", 0}, {"GetStats()", -5},
      {"GetStats(Q,L,St,Q,L,St,Q,L)", -5}, {"GetStats(Q,NoSuchCount,L)", -4},
  };
  for (const Case& c : cases) {
    Run("Foo(X)"); // a known last result: malformed, 5
    int result = Run(c.command);
    EXPECT_EQ(result, c.result) << c.command;
    const std::string command = c.command;
    bool bothParentheses = command.find('(') != std::string::npos && command.find(')') != std::string::npos;
    // Counters viewed and stored leave the status value as it was.
    bool keeps = result == 0 && (command.compare(0, 8, "GetStats") == 0 || command.compare(0, 8, "getstats") == 0);
    EXPECT_EQ(engine->last_result(), bothParentheses && !keeps ? static_cast<uint32_t>(-c.result) : 5u) << c.command;
  }
}

TEST_F(Commands, MalformedCommandsTouchNoVariable) {
  int calls = rtdb.calls();
  for (const char* command : {"GetQueueSize()", "Foo(Q)", "GetData(F)", "GetQueueSize"}) Run(command);
  EXPECT_EQ(rtdb.calls(), calls);
}

TEST_F(Commands, GetQueueSizeAndGetData) {
  Queue("##0005ST=3260C0\r\n");
  Queue("second");
  EXPECT_EQ(Run("GetQueueSize(Q)"), 0);
  EXPECT_EQ(rtdb.Get("Q").i, 2);
  EXPECT_EQ(Run("GetData(F,L)"), 0);
  EXPECT_EQ(rtdb.Get("F").s, "##0005ST=3260C0\r\n");
  EXPECT_EQ(rtdb.Get("L").i, 1);
  // A frame variable that is missing or holds no text: nothing is taken.
  rtdb.SetDouble("D", 5.5);
  for (const char* command : {"GetData(NoSuchVariable,L)", "GetData(Q,L)", "GetData(D,L)"}) {
    EXPECT_EQ(Run(command), -4) << command;
    EXPECT_EQ(engine->queue_size(), 1u) << command;
  }
  EXPECT_EQ(rtdb.Get("Q").i, 2);
  EXPECT_EQ(rtdb.Get("L").i, 1) << "the count is not written after a refused frame store";
  rtdb.FailNextSets(2); // a text variable that refuses the frame twice: the frame is gone
  EXPECT_EQ(Run("GetData(F,L)"), -4);
  EXPECT_EQ(engine->queue_size(), 0u);
  EXPECT_EQ(Run("GetData(F,L)"), 0);
  EXPECT_EQ(rtdb.Get("F").s, "");
  EXPECT_EQ(rtdb.Get("L").i, -1);
  Queue("third");
  EXPECT_EQ(Run("GetData(F,NoSuchCount)"), -4);
  EXPECT_EQ(rtdb.Get("F").s, "third");
  EXPECT_EQ(Run("GetQueueSize(NoSuchVariable)"), -4);
}

TEST_F(Commands, GetDataRetriesARefusedStoreOnce) {
  Queue("frame");
  rtdb.FailNextSets(1);
  EXPECT_EQ(Run("GetData(F,L)"), 0);
  EXPECT_EQ(rtdb.Get("F").s, "frame");
}

TEST_F(Commands, GetValueAndGetCpValue) {
  const std::string frame = "##0101QN=20160801085857223;ST=32;CN=1062;PW=100000;MN=010000A8900016F000169DC0;Flag=5;CP=&&RtdInterval=30&&1C80\r\n";
  rtdb.SetText("F", frame);
  struct Case {
    const char* command;
    const char* value;
    int status;
  } cases[] = {
      {"GetValue(F,CN,V,St)", "1062", 0},        {"GetValue(F,QN,V,St)", "20160801085857223", 0},
      {"GetValue(F,qn,V,St)", "", -1},           {"GetValue(F,CP,V,St)", "RtdInterval=30", 0},
      {"GetCpValue(F,RtdInterval,V,St)", "30", 0}, {"GetCpValue(F,CN,V,St)", "", -1},
      {"GetCpValue(NoSuchFrame,CN,V,St)", "", -1},
  };
  for (const Case& c : cases) {
    rtdb.SetText("V", "preset");
    EXPECT_EQ(Run(c.command), 0) << c.command;
    EXPECT_EQ(rtdb.Get("V").s, c.value) << c.command;
    EXPECT_EQ(rtdb.Get("St").i, c.status) << c.command;
  }
  rtdb.SetText("K", "MN");
  EXPECT_EQ(Run("GetValue(F,K,V,St)"), 0) << "a key may come from a variable";
  EXPECT_EQ(rtdb.Get("V").s, "010000A8900016F000169DC0");
  EXPECT_EQ(Run("GetValue(F,CN,NoSuchValue,NoSuchStatus)"), 0) << "refused stores do not fail the command";
}

TEST_F(Commands, MakeProtocolBuildsFromVariables) {
  rtdb.SetText("T", "ST=32;CN=2011;CP=&&DataTime=T1;w01018-Rtd=V1,w01018-Flag=N&&");
  rtdb.SetText("T1", "20240101120000");
  rtdb.SetDouble("V1", 12.5);
  EXPECT_EQ(Run("MakeProtocol(T,Out)"), 0);
  EXPECT_EQ(rtdb.Get("Out").s, "ST=32;CN=2011;CP=&&DataTime=20240101120000;w01018-Rtd=12.5,w01018-Flag=N&&");
  EXPECT_EQ(Run("MakeProtocol(T,NoSuchTarget)"), 0);
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

// Wire charset by the second device parameter (0 by Flag, 1 GB18030, 2 UTF-8, others as 0);
// length and CRC always over the bytes on the wire, the copy holds the UTF-8 text between them.
TEST_F(Commands, SendPutsTheChosenCharsetOnTheWire) {
  const std::string kHua = "\xE5\x8C\x96\xE5\xAD\xA6"; // two Chinese characters in UTF-8
  const std::string kHuaGb = "\xBB\xAF\xD1\xA7";       // the same in GB18030
  struct Case {
    int mode;
    std::string utf8;
    std::string wire; // data segment as it leaves
  } cases[] = {
      {0, "ST=32;Flag=9", "ST=32;Flag=9"}, // ASCII: the same bytes in every mode
      {1, "ST=32;Flag=9", "ST=32;Flag=9"},
      {2, "ST=32;Flag=5", "ST=32;Flag=5"},
      {0, "CN=" + kHua, "CN=" + kHuaGb}, // no Flag: GB18030
      {0, "ST=32;Flag=5;CP=&&S=" + kHua + "&&", "ST=32;Flag=5;CP=&&S=" + kHuaGb + "&&"}, // 2017
      {0, "ST=32;Flag=1;CP=&&S=" + kHua + "&&", "ST=32;Flag=1;CP=&&S=" + kHuaGb + "&&"}, // 2005
      {0, "ST=32;Flag=9;CP=&&S=" + kHua + "&&", "ST=32;Flag=9;CP=&&S=" + kHua + "&&"},   // 2025
      {0, "Flag=8;S=" + kHua, "Flag=8;S=" + kHua},
      {0, "ST=32;Flag=13;S=" + kHua, "ST=32;Flag=13;S=" + kHua}, // a later version
      {0, "ST=32;Flag=x9;S=" + kHua, "ST=32;Flag=x9;S=" + kHuaGb}, // not a number
      {0, "ST=32;Flag=1033;S=" + kHua, "ST=32;Flag=1033;S=" + kHuaGb}, // not a Flag value
      {0, "ST=32;CP=&&Flag=9;S=" + kHua + "&&", "ST=32;CP=&&Flag=9;S=" + kHuaGb + "&&"}, // in CP: not the header's
      {0, "ST=32;XFlag=9;S=" + kHua, "ST=32;XFlag=9;S=" + kHuaGb},
      {0, "ST=32;Flag=9 ;S=" + kHua, "ST=32;Flag=9 ;S=" + kHua}, // read as GetValue reads it: blanks,
      {0, "ST=32; Flag=9;S=" + kHua, "ST=32; Flag=9;S=" + kHua}, // ...on either side,
      {0, "ST=32;Flag=0009;S=" + kHua, "ST=32;Flag=0009;S=" + kHua}, // ...leading zeros
      {1, "ST=32;Flag=9;S=" + kHua, "ST=32;Flag=9;S=" + kHuaGb},
      {2, "ST=32;Flag=5;S=" + kHua, "ST=32;Flag=5;S=" + kHua},
      {2, "S=" + kHua, "S=" + kHua},
      {3, "ST=32;Flag=9;S=" + kHua, "ST=32;Flag=9;S=" + kHua}, // other values act as 0
      {-1, "ST=32;Flag=4;S=" + kHua, "ST=32;Flag=4;S=" + kHuaGb},
      {0, "N=\xC3\x80\xC3\x80\xC3\x80", "N=\x81\x30\x86\x38\x81\x30\x86\x38\x81\x30\x86\x38"}, // 2 bytes become 4
      {0, "A=1\xFF;B=2", "A=1;B=2"},                       // not UTF-8: skipped
      {0, "A=\xE5\x8C", "A="},                             // cut short at the end: skipped
      {2, "A=1\xFF;Flag=9", "A=1\xFF;Flag=9"},             // UTF-8 mode sends the text as it is
  };
  for (const Case& c : cases) {
    fake::Port fresh;
    ctrl->UpdataCommunication(&fresh);
    ctrl->m_devData.pDevice->arDevParam[1] = c.mode;
    rtdb.SetText("A", c.utf8);
    EXPECT_EQ(Run("Send(A,St,C)"), 0);
    char length[32];
    std::snprintf(length, sizeof length, "%04zu", c.wire.size());
    const std::string crc = HJ::do_crc_check(c.wire);
    EXPECT_EQ(fresh.Written(), "##" + std::string(length) + c.wire + crc + "\r\n") << c.mode << " " << c.utf8;
    EXPECT_TRUE(HJ::check_frame(fresh.Written())) << c.utf8;
    EXPECT_EQ(rtdb.Get("C").s, "##" + std::string(length) + c.utf8 + crc + "\r\n") << c.utf8;
    EXPECT_EQ(rtdb.Get("St").i, 0);
    ctrl->UpdataCommunication(&port);
  }
}

TEST_F(Commands, GetDataHandsScriptsUtf8) {
  const std::string kWater = "\xE6\xB0\xB4\xE8\xB4\xA8"; // two Chinese characters in UTF-8
  struct Case {
    std::string queued;
    std::string stored;
    bool converter;
  } cases[] = {
      {"##0008CN=\xBB\xAF\xD1\xA7" "ABCD\r\n", "##0008CN=\xE5\x8C\x96\xE5\xAD\xA6" "ABCD\r\n", true}, // GB18030 read
      {"##0010CN=\xE5\x8C\x96\xE5\xAD\xA6" "ABCD\r\n", "##0010CN=\xE5\x8C\x96\xE5\xAD\xA6" "ABCD\r\n", true}, // UTF-8 kept
      {"##0005ST=3260C0\r\n", "##0005ST=3260C0\r\n", true},
      {"##0008CN=\xBB\xAF\xD1\xA7" "ABCD\r\n", "##0008CN=\xBB\xAF\xD1\xA7" "ABCD\r\n", false}, // as received
      // A byte that is no character goes alone: the delimiter after it stays.
      {"##0013MN=AB\xFE;Flag=5ABCD\r\n", "##0013MN=AB;Flag=5ABCD\r\n", true},
      {"##0016CP=&&Name=x\x81&&4E00\r\n", "##0016CP=&&Name=x&&4E00\r\n", true},
      {"Name=\x81\r\n", "Name=\r\n", true},
      // Not UTF-8 in a 2025 frame: read as UTF-8, the broken character dropped.
      {"##0033Flag=9;CP=&&S=" + kWater + "\xE6\xB0,T=1&&ABCD\r\n", "##0033Flag=9;CP=&&S=" + kWater + ",T=1&&ABCD\r\n", true},
      {"##0011 Flag = 0009 ;S=\xBB\xAF" "ABCD\r\n", "##0011 Flag = 0009 ;S=ABCD\r\n", true},
      // A 2017 frame: GB18030.
      {"##0033Flag=5;CP=&&S=\xBB\xAF\xE6\xB0,T=1&&ABCD\r\n", "##0033Flag=5;CP=&&S=\xE5\x8C\x96\xE5\xA7\x98,T=1&&ABCD\r\n", true},
  };
  for (const Case& c : cases) {
    Queue(c.queued);
    fake_iconv::SetConverterMissing(!c.converter);
    EXPECT_EQ(Run("GetData(F,L)"), 0);
    fake_iconv::SetConverterMissing(false);
    EXPECT_EQ(rtdb.Get("F").s, c.stored) << c.queued;
  }
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

TEST_F(Commands, WithoutConverterTheFrameLeavesUnchanged) {
  rtdb.SetText("A", "ST=32;N=\xC3\x80");
  fake_iconv::SetConverterMissing(true);
  EXPECT_EQ(Run("Send(A,St,C)"), 0);
  fake_iconv::SetConverterMissing(false);
  EXPECT_EQ(port.Written(), rtdb.Get("C").s) << "exactly the frame's bytes, no trailing zeros";
  EXPECT_EQ(port.Written().size(), 10u + 12u);
  EXPECT_EQ(rtdb.Get("St").i, 0);
}

TEST_F(Commands, SendReportsWhatWasNotSent) {
  rtdb.SetText("A", "ST=32");
  port.SetWriteResult(0);
  EXPECT_EQ(Run("Send(A,St)"), 0);
  EXPECT_EQ(rtdb.Get("St").i, -1);

  ctrl->m_devData.pCommunication = nullptr;
  EXPECT_EQ(Run("Send(A,St,C)"), 0);
  EXPECT_EQ(rtdb.Get("St").i, -1);
  EXPECT_EQ(rtdb.Get("C").s, "##0005ST=3260C0\r\n") << "the copy is stored before anything is sent";
}

TEST_F(Commands, OversizedDataIsNeverFramed) {
  std::string data(10000, 'x');
  rtdb.SetText("A", data);
  EXPECT_EQ(Run("Send(A,St,C)"), 0);
  EXPECT_EQ(port.Written(), "");
  EXPECT_TRUE(port.WriteParams().empty());
  EXPECT_EQ(rtdb.Get("St").i, -1);
  EXPECT_EQ(rtdb.Get("C").s.substr(0, 7), "##10000");
  data.resize(9999);
  rtdb.SetText("A", data);
  EXPECT_EQ(Run("Send(A,St)"), 0);
  EXPECT_EQ(port.Written().size(), 9999u + 12u);
  EXPECT_EQ(rtdb.Get("St").i, 0);
  // The limit holds for the bytes on the wire: 3464 Chinese characters are 10392 bytes in
  // UTF-8 and 6928 in GB18030.
  std::string chinese;
  for (int i = 0; i < 3464; ++i) chinese += "\xE5\x8C\x96";
  rtdb.SetText("A", chinese);
  for (int mode : {1, 2}) {
    fake::Port fresh;
    ctrl->UpdataCommunication(&fresh);
    ctrl->m_devData.pDevice->arDevParam[1] = mode;
    EXPECT_EQ(Run("Send(A,St,C)"), 0);
    EXPECT_EQ(fresh.Written().size(), mode == 1 ? 6928u + 12u : 0u) << mode;
    EXPECT_EQ(rtdb.Get("St").i, mode == 1 ? 0 : -1) << mode;
    EXPECT_EQ(rtdb.Get("C").s.substr(0, 7), mode == 1 ? "##6928\xE5" : "##10392") << mode;
    ctrl->UpdataCommunication(&port);
  }
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
