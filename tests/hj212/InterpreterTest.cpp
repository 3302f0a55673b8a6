// Script commands on the engine over the fake of its device: grammar, each command's stores and
// result codes, "Send" byte for byte, packets, the key and the charsets. The device object's
// wiring of it is checked in tests/driver.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "CipherExample.h"
#include "FakeEngineDevice.h"
#include "FakeIconv.h"
#include "hj212/CommandResults.h"
#include "hj212/CpCipher.h"
#include "hj212/Envelope.h"
#include "hj212/FrameScanner.h"
#include "hj212/HJ212System.h"
#include "hj212/src/Packets.h"

namespace {

class Commands : public ::testing::Test {
protected:
  void SetUp() override {
    engine.attach(&device);
    engine.use_cipher_key(&deviceKey);
    SetParam(0, 7); // the first parameter, the port's timeout: handed to each write as it stands
    for (const char* name : {"A", "B", "C", "F", "K", "V", "S", "Out", "T"}) device.Text(name, "");
    device.Int("Q", 99);
    device.Int("L", 99);
    device.Int("St", 99);
  }

  void Queue(const std::string& frame) { engine._store_frame(std::string(frame)); }
  int Run(const std::string& command) { return engine.execute_device_cmd(command); }
  // A device parameter as a configuration would have held it (a stored configuration holds all
  // seven, 0 where nothing was set); the engine reads its parameters once.
  void SetParam(int index, int value) {
    params[index] = value;
    engine.use_device_params(HJ::DeviceParams::from(params, 7));
  }

  int params[7] = {};
  enginefake::Device device;
  HJ::CipherKey deviceKey;
  HJ::HJ212_system engine;
};

TEST_F(Commands, Grammar) {
  struct Case {
    const char* command;
    int result;
  } cases[] = {
      {"GetQueueSize(Q)", 0},
      {"getqueuesize(Q)", 0},
      {"GETQUEUESIZE(Q)", 0},
      {"  GetQueueSize  ( Q )", 0},
      {"GetQueueSize(Q,)", 0},
      {"GetQueueSize(Q) and more", 0},
      {"GetQueueSize(Q)(X)", 0},
      {"GetData(F,,L)", 0},
      {"send(A,St)", 0},
      {"SEND(A,St,C)", 0},
      {"GetQueueSize()", -5},
      {"GetQueueSize( )", -5},
      {"GetQueueSize(Q,L)", -5},
      {"Get Data(F,L)", -5},
      {"GetQueueSize)N(", -5},
      {"GetValue(A,B,C)", -5},
      {"Send(A)", -5},
      {"Send(A,St,C,D)", -5},
      {"Send( ,St)", -5},
      {"Foo(X)", -5},
      {"GetQueueSize\t(Q)", -5},
      {"GetQueueSize(\tN)", -4},
      {"GetData(F,L", -5},
      {"MakeProtocol(T,,Out)", 0},
      {"GetQueueSize(,,Q)", 0},
      {"ORVA_WRITE(1=1.500000)", -5},
      {"GetStats(Q)", 0},
      {"getstats(Q,L,St,Q,L,St,Q)", 0},
      {"GetStats()", -5},
      {"GetStats(Q,L,St,Q,L,St,Q,L,Q)", 0},
      {"GetStats(Q,L,St,Q,L,St,Q,L,Q,L)", -5},
      {"GetStats(Q,NoSuchCount,L)", -4},
      {"SetKey(K,St)", 0},
      {"setkey( K , St )", 0},
      {"SetKey(K)", -5},
      {"SetKey(K,St,Q)", -5},
      {"SetKey(K,NoSuchStatus)", -4},
      {"SetKey(NoSuchKey,NoSuchStatus)", -4},
  };
  for (const Case& c : cases) {
    Run("Foo(X)"); // a known last result: malformed, 5
    int result = Run(c.command);
    EXPECT_EQ(result, c.result) << c.command;
    const std::string command = c.command;
    bool bothParentheses = command.find('(') != std::string::npos && command.find(')') != std::string::npos;
    // Counters viewed and stored leave the status value as it was.
    bool keeps = result == 0 && (command.compare(0, 8, "GetStats") == 0 || command.compare(0, 8, "getstats") == 0);
    EXPECT_EQ(engine.last_result(), bothParentheses && !keeps ? static_cast<uint32_t>(-c.result) : 5u) << c.command;
  }
}

TEST_F(Commands, MalformedCommandsTouchNoVariable) {
  int calls = device.Calls();
  for (const char* command : {"GetQueueSize()", "Foo(Q)", "GetData(F)", "GetQueueSize"}) Run(command);
  EXPECT_EQ(device.Calls(), calls);
}

TEST_F(Commands, GetQueueSizeAndGetData) {
  Queue("##0005ST=3260C0\r\n");
  Queue("second");
  EXPECT_EQ(Run("GetQueueSize(Q)"), 0);
  EXPECT_EQ(device.Get("Q").i, 2);
  EXPECT_EQ(Run("GetData(F,L)"), 0);
  EXPECT_EQ(device.Get("F").s, "##0005ST=3260C0\r\n");
  EXPECT_EQ(device.Get("L").i, 1);
  // A frame variable that is missing or holds no text: nothing is taken.
  device.Double("D", 5.5);
  for (const char* command : {"GetData(NoSuchVariable,L)", "GetData(Q,L)", "GetData(D,L)"}) {
    EXPECT_EQ(Run(command), -4) << command;
    EXPECT_EQ(engine.queue_size(), 1u) << command;
  }
  EXPECT_EQ(device.Get("Q").i, 2);
  EXPECT_EQ(device.Get("L").i, 1) << "the count is not written after a refused frame store";
  device.FailNextStores(1); // a text variable that refuses the frame: the frame is gone
  EXPECT_EQ(Run("GetData(F,L)"), -4);
  EXPECT_EQ(engine.queue_size(), 0u);
  EXPECT_EQ(Run("GetData(F,L)"), 0);
  EXPECT_EQ(device.Get("F").s, "");
  EXPECT_EQ(device.Get("L").i, -1);
  Queue("third");
  EXPECT_EQ(Run("GetData(F,NoSuchCount)"), -4);
  EXPECT_EQ(device.Get("F").s, "third");
  EXPECT_EQ(Run("GetQueueSize(NoSuchVariable)"), -4);
}

TEST_F(Commands, GetValueAndGetCpValue) {
  const std::string frame = "##0101QN=20160801085857223;ST=32;CN=1062;PW=100000;MN=010000A8900016F000169DC0;Flag=5;CP=&&RtdInterval=30&&1C80\r\n";
  device.Text("F", frame);
  struct Case {
    const char* command;
    const char* value;
    int status;
  } cases[] = {
      {"GetValue(F,CN,V,St)", "1062", 0},           {"GetValue(F,QN,V,St)", "20160801085857223", 0}, {"GetValue(F,qn,V,St)", "", -1},
      {"GetValue(F,CP,V,St)", "RtdInterval=30", 0}, {"GetCpValue(F,RtdInterval,V,St)", "30", 0},     {"GetCpValue(F,CN,V,St)", "", -1},
      {"GetCpValue(NoSuchFrame,CN,V,St)", "", -1},
  };
  for (const Case& c : cases) {
    device.Text("V", "preset");
    EXPECT_EQ(Run(c.command), 0) << c.command;
    EXPECT_EQ(device.Get("V").s, c.value) << c.command;
    EXPECT_EQ(device.Get("St").i, c.status) << c.command;
  }
  device.Text("K", "MN");
  EXPECT_EQ(Run("GetValue(F,K,V,St)"), 0) << "a key may come from a variable";
  EXPECT_EQ(device.Get("V").s, "010000A8900016F000169DC0");
  EXPECT_EQ(Run("GetValue(F,CN,NoSuchValue,NoSuchStatus)"), 0) << "refused stores do not fail the command";
}

TEST_F(Commands, MakeProtocolBuildsFromVariables) {
  device.Text("T", "ST=32;CN=2011;CP=&&DataTime=T1;w01018-Rtd=V1,w01018-Flag=N&&");
  device.Text("T1", "20240101120000");
  device.Double("V1", 12.5);
  EXPECT_EQ(Run("MakeProtocol(T,Out)"), 0);
  EXPECT_EQ(device.Get("Out").s, "ST=32;CN=2011;CP=&&DataTime=20240101120000;w01018-Rtd=12.5,w01018-Flag=N&&");
  EXPECT_EQ(Run("MakeProtocol(T,NoSuchTarget)"), 0);
}

// Wire charset by the second device parameter (0 by Flag, 1 GB18030, 2 UTF-8, others as 0);
// length and CRC always over the plain bytes on the wire, the copy holds the UTF-8 text between
// them. With a key, CN 2000-2999 frames leave with their CP region encrypted in the wire charset,
// in the form of the fourth parameter (1 text, anything else raw); the fifth at 1 refuses such a
// frame that cannot be encrypted.
TEST_F(Commands, SendPutsTheChosenCharsetOnTheWire) {
  const std::string kHua = "\xE5\x8C\x96\xE5\xAD\xA6"; // two Chinese characters in UTF-8
  const std::string kHuaGb = "\xBB\xAF\xD1\xA7";       // the same in GB18030
  const std::string kKey = "0123456789abcdef";
  const std::string kCp = "DataTime=20240101120000;w01018-Rtd=12.5,w01018-Flag=N&&"; // a region of three blocks and a tail
  const std::string k2011 = "ST=32;CN=2011;Flag=9;CP=&&" + kCp;
  std::string hua8, huaGb;
  for (int i = 0; i < 6; ++i) hua8 += kHua, huaGb += kHuaGb;
  struct Case {
    int mode;
    std::string utf8;
    std::string wire; // plain data segment as it leaves
    std::string key = "";
    int form = -1;     // fourth device parameter
    int required = -1; // fifth
    bool encrypted = false;
    int status = 0;
  } cases[] = {
      {0, "ST=32;Flag=9", "ST=32;Flag=9"}, // ASCII: the same bytes in every mode
      {1, "ST=32;Flag=9", "ST=32;Flag=9"},
      {2, "ST=32;Flag=5", "ST=32;Flag=5"},
      {0, "CN=" + kHua, "CN=" + kHuaGb},                                                 // no Flag: GB18030
      {0, "ST=32;Flag=5;CP=&&S=" + kHua + "&&", "ST=32;Flag=5;CP=&&S=" + kHuaGb + "&&"}, // 2017
      {0, "ST=32;Flag=1;CP=&&S=" + kHua + "&&", "ST=32;Flag=1;CP=&&S=" + kHuaGb + "&&"}, // 2005
      {0, "ST=32;Flag=9;CP=&&S=" + kHua + "&&", "ST=32;Flag=9;CP=&&S=" + kHua + "&&"},   // 2025
      {0, "Flag=8;S=" + kHua, "Flag=8;S=" + kHua},
      {0, "ST=32;Flag=13;S=" + kHua, "ST=32;Flag=13;S=" + kHua},                         // a later version
      {0, "ST=32;Flag=x9;S=" + kHua, "ST=32;Flag=x9;S=" + kHuaGb},                       // not a number
      {0, "ST=32;Flag=1033;S=" + kHua, "ST=32;Flag=1033;S=" + kHuaGb},                   // not a Flag value
      {0, "ST=32;CP=&&Flag=9;S=" + kHua + "&&", "ST=32;CP=&&Flag=9;S=" + kHuaGb + "&&"}, // in CP: not the header's
      {0, "ST=32;XFlag=9;S=" + kHua, "ST=32;XFlag=9;S=" + kHuaGb},
      {0, "ST=32;Flag=9 ;S=" + kHua, "ST=32;Flag=9 ;S=" + kHua},     // read as GetValue reads it: blanks,
      {0, "ST=32; Flag=9;S=" + kHua, "ST=32; Flag=9;S=" + kHua},     // ...on either side,
      {0, "ST=32;\tFlag=9;S=" + kHua, "ST=32;\tFlag=9;S=" + kHua},   // ...a tab a blank as well,
      {0, "ST=32;Flag=0009;S=" + kHua, "ST=32;Flag=0009;S=" + kHua}, // ...leading zeros
      {1, "ST=32;Flag=9;S=" + kHua, "ST=32;Flag=9;S=" + kHuaGb},
      {2, "ST=32;Flag=5;S=" + kHua, "ST=32;Flag=5;S=" + kHua},
      {2, "S=" + kHua, "S=" + kHua},
      {3, "ST=32;Flag=9;S=" + kHua, "ST=32;Flag=9;S=" + kHua}, // other values act as 0
      {-1, "ST=32;Flag=4;S=" + kHua, "ST=32;Flag=4;S=" + kHuaGb},
      {0, "N=\xC3\x80\xC3\x80\xC3\x80", "N=\x81\x30\x86\x38\x81\x30\x86\x38\x81\x30\x86\x38"}, // 2 bytes become 4
      {0, "A=1\xFF;B=2", "A=1;B=2"},                                                           // not UTF-8: skipped
      {0, "A=\xE5\x8C", "A="},                                                                 // cut short at the end: skipped
      {2, "A=1\xFF;Flag=9", "A=1\xFF;Flag=9"},                                                 // UTF-8 mode sends the text as it is
      // key x form x CN
      {0, k2011, k2011, "", 1},              // no key: plain
      {0, k2011, k2011, kKey, -1, -1, true}, // absent form: raw
      {0, k2011, k2011, kKey, 0, -1, true},
      {0, k2011, k2011, kKey, 1, -1, true}, // text
      {0, k2011, k2011, kKey, 7, -1, true}, // other values: raw
      {2, "ST=32;CN=2000;CP=&&" + kCp, "ST=32;CN=2000;CP=&&" + kCp, kKey, 1, -1, true},
      {2, "ST=32;CN=2999;CP=&&" + kCp, "ST=32;CN=2999;CP=&&" + kCp, kKey, 0, -1, true},
      {2, "ST=32;CN=1999;CP=&&" + kCp, "ST=32;CN=1999;CP=&&" + kCp, kKey, 1},
      {2, "ST=32;CN=3000;CP=&&" + kCp, "ST=32;CN=3000;CP=&&" + kCp, kKey, 0},
      {2, "ST=32; CN = 02011 ;CP=&&" + kCp, "ST=32; CN = 02011 ;CP=&&" + kCp, kKey, 1, -1, true}, // read as GetValue reads it
      {2, "ST=32;CP=&&CN=2011;" + kCp, "ST=32;CP=&&CN=2011;" + kCp, kKey, 1},                     // CN only in CP
      {0, "ST=32;CN=2011;Flag=5;CP=&&S=" + hua8 + "&&", "ST=32;CN=2011;Flag=5;CP=&&S=" + huaGb + "&&", kKey, 0, -1, true}, // in GB18030
      {0, "ST=32;CN=2011;Flag=9;CP=&&a=1&&", "ST=32;CN=2011;Flag=9;CP=&&a=1&&", kKey, 1, -1, true},                        // under a block: unchanged
      {0, "ST=32;CN=2011;Flag=9;CP=&&" + kCp.substr(0, 34), "ST=32;CN=2011;Flag=9;CP=&&" + kCp.substr(0, 34), kKey},       // no closing "&&"
      // encryption required
      {0, k2011, k2011, "", 0, 1, false, -1},
      {0, k2011, k2011, "", 1, 2}, // only 1 requires
      {0, k2011, k2011, kKey, 1, 1, true},
      {0, k2011, k2011, kKey, 2, 1, true}, // the {0x..} form with the tail inside the braces
      {0, "ST=32;CN=2011;Flag=9;CP=&&" + kCp.substr(0, 34), "ST=32;CN=2011;Flag=9;CP=&&" + kCp.substr(0, 34), kKey, 0, 1, false, -1},
      {0, "ST=32;CN=2011;Flag=9", "ST=32;CN=2011;Flag=9", kKey, 0, 1, false, -1}, // no CP at all
      {0, "ST=32;CN=2011;Flag=9;CP=&&a=1&&", "ST=32;CN=2011;Flag=9;CP=&&a=1&&", "", 0, 1, false, -1},
      {0, "ST=32;CN=2011;Flag=9;CP=&&a=1&&", "ST=32;CN=2011;Flag=9;CP=&&a=1&&", kKey, 0, 1, true}, // nothing to encrypt
      {0, "ST=91;CN=9014;Flag=8", "ST=91;CN=9014;Flag=8", "", 0, 1},                               // not a data command
  };
  for (const Case& c : cases) {
    device.NewPort();
    SetParam(1, c.mode);
    SetParam(3, c.form);
    SetParam(4, c.required);
    ASSERT_TRUE(deviceKey.set(c.key));
    device.Text("A", c.utf8);
    EXPECT_EQ(Run("Send(A,St,C)"), 0);
    char length[32];
    std::snprintf(length, sizeof length, "%04zu", c.wire.size());
    const std::string crc = HJ::do_crc_check(c.wire);
    std::string sent = c.wire;
    if (c.encrypted) {
      HJ::Sm4 cipher(reinterpret_cast<const unsigned char*>(c.key.data()));
      ASSERT_TRUE(HJ::encrypt_cp(c.wire, cipher, HJ::cipher_form_from(c.form), sent)) << c.utf8;
      if (c.wire.find("a=1&&") == std::string::npos) {
        EXPECT_NE(sent, c.wire) << c.utf8;
      }
    }
    char sentLength[32];
    std::snprintf(sentLength, sizeof sentLength, "%04zu", sent.size());
    SCOPED_TRACE(std::to_string(c.mode) + " " + c.utf8 + " key " + c.key + " form " + std::to_string(c.form) + " required " +
                 std::to_string(c.required));
    EXPECT_EQ(device.Written(), c.status ? "" : "##" + std::string(sentLength) + sent + crc + "\r\n");
    EXPECT_EQ(HJ::check_frame(device.Written()), !c.status && sent == c.wire);
    EXPECT_EQ(device.Get("C").s, "##" + std::string(length) + c.utf8 + crc + "\r\n") << "the copy is the plain frame";
    EXPECT_EQ(device.Get("St").i, c.status);
  }
}

// The key comes from a text variable only: 16 bytes set it, the empty text removes it, anything
// else is refused and leaves the key as it was; a Status that cannot be stored leaves it too.
TEST_F(Commands, SetKeyTakesSixteenBytesOfATextVariable) {
  const std::string kOld = "0000000000000000", kNew = "fedcba9876543210";
  device.Text("Sixteen", kNew);
  device.Text("Empty", "");
  device.Text("Short", "fedcba987654321");
  device.Text("Long", "fedcba98765432100");
  device.Text("Wide", "\xE5\x8C\x96"
                      "edcba9876543210"); // 16 characters, 18 bytes
  device.Int("Number", 1234567890);
  struct Case {
    const char* command;
    int result;
    int status;
    std::string key; // afterwards; "" none
  } cases[] = {
      {"SetKey(Sixteen,St)", 0, 0, kNew},
      {"SetKey(Empty,St)", 0, 0, ""},
      {"SetKey(Short,St)", 0, -1, kOld},
      {"SetKey(Long,St)", 0, -1, kOld},
      {"SetKey(Wide,St)", 0, -1, kOld},
      {"SetKey(Number,St)", 0, -1, kOld},
      {"SetKey(fedcba9876543210,St)", 0, -1, kOld}, // a name that is no variable is not its own text
      {"SetKey(Sixteen,NoSuchStatus)", -4, 99, kOld},
      {"SetKey(Empty,NoSuchStatus)", -4, 99, kOld},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(deviceKey.set(kOld));
    device.Int("St", 99);
    EXPECT_EQ(Run(c.command), c.result) << c.command;
    EXPECT_EQ(device.Get("St").i, c.status) << c.command;
    unsigned char key[16];
    bool set = deviceKey.get(key);
    EXPECT_EQ(set ? std::string(reinterpret_cast<char*>(key), 16) : "", c.key) << c.command;
  }
}

// The worked example of the 2025 standard, sent by a script with its key: byte for byte the raw
// form (length 0295, 208 bytes of ciphertext) or the text form, the copy plain; both come back
// through the receive path decrypted and reach GetData as the plain frame.
TEST_F(Commands, StandardExampleLeavesEncryptedAndComesBackPlain) {
  using namespace cipherexample;
  device.Text("K", kKey);
  ASSERT_EQ(Run("SetKey(K,St)"), 0);
  ASSERT_EQ(device.Get("St").i, 0);
  device.Text("A", kData);
  device.Int("Dec", 0);
  // one frame: in the text form the example has 1128 bytes, which a 2025 frame is split at 1024 by default
  SetParam(2, -1);
  int round = 0;
  for (int form : {-1, 1}) {
    SCOPED_TRACE(form);
    device.NewPort();
    device.SetImmediate(true);
    SetParam(3, form);
    EXPECT_EQ(Run("Send(A,St,C)"), 0);
    EXPECT_EQ(device.Get("St").i, 0);
    EXPECT_EQ(device.Written(), form == 1 ? TextFrame() : kRawFrame);
    EXPECT_EQ(device.Get("C").s, kPlainFrame);
    device.Feed(device.Written());
    engine._receive_pass(); // the receive thread is parked until the first collection cycle
    EXPECT_EQ(Run("GetData(F,L)"), 0);
    EXPECT_EQ(device.Get("F").s, kPlainFrame);
    EXPECT_EQ(Run("GetStats(Q,L,L,L,L,L,L,Dec)"), 0);
    ++round;
    EXPECT_EQ(device.Get("Q").i, round);
    EXPECT_EQ(device.Get("Dec").i, round);
  }
}

// Candidates given up to the bounds show in GetStats' ninth counter: data-command headers that
// each announce more than their span, one more than may be followed at once.
TEST_F(Commands, GetStatsCountsCandidatesCutShort) {
  device.Text("K", cipherexample::kKey);
  ASSERT_EQ(Run("SetKey(K,St)"), 0);
  device.SetImmediate(true);
  std::string cutOffs;
  for (std::size_t i = 0; i <= HJ::FrameScanner::kMaxFollowed; ++i) cutOffs += "##9999QN=1;ST=22;CN=2011;PW=123456;MN=M1;Flag=9;CP=&&x\r\n";
  device.Feed(cutOffs);
  engine._receive_pass();
  engine._receive_pass(); // the first pass without bytes publishes the counts
  device.Int("Cut", 99);
  EXPECT_EQ(Run("GetStats(Q,L,L,L,L,L,L,L,Cut)"), 0);
  EXPECT_EQ(device.Get("Cut").i, 1);
}

// Read in the charset Send writes by the second device parameter: 0 (and others) keeps valid UTF-8
// and goes by Flag otherwise, 1 always GB18030, 2 always UTF-8.
TEST_F(Commands, GetDataHandsScriptsUtf8) {
  const std::string kWater = "\xE6\xB0\xB4\xE8\xB4\xA8"; // two Chinese characters in UTF-8
  struct Case {
    std::string queued;
    std::string stored;
    bool converter;
    int mode = 0;
  } cases[] = {
      {"##0008CN=\xBB\xAF\xD1\xA7"
       "ABCD\r\n",
       "##0008CN=\xE5\x8C\x96\xE5\xAD\xA6"
       "ABCD\r\n",
       true}, // GB18030 read
      {"##0010CN=\xE5\x8C\x96\xE5\xAD\xA6"
       "ABCD\r\n",
       "##0010CN=\xE5\x8C\x96\xE5\xAD\xA6"
       "ABCD\r\n",
       true}, // UTF-8 kept
      {"##0005ST=3260C0\r\n", "##0005ST=3260C0\r\n", true},
      {"##0008CN=\xBB\xAF\xD1\xA7"
       "ABCD\r\n",
       "##0008CN=\xBB\xAF\xD1\xA7"
       "ABCD\r\n",
       false}, // as received
      // A byte that is no character goes alone: the delimiter after it stays.
      {"##0013MN=AB\xFE;Flag=5ABCD\r\n", "##0013MN=AB;Flag=5ABCD\r\n", true},
      {"##0016CP=&&Name=x\x81&&4E00\r\n", "##0016CP=&&Name=x&&4E00\r\n", true},
      {"Name=\x81\r\n", "Name=\r\n", true},
      // Not UTF-8 in a 2025 frame: read as UTF-8, the broken character dropped.
      {"##0033Flag=9;CP=&&S=" + kWater + "\xE6\xB0,T=1&&ABCD\r\n", "##0033Flag=9;CP=&&S=" + kWater + ",T=1&&ABCD\r\n", true},
      {"##0011 Flag = 0009 ;S=\xBB\xAF"
       "ABCD\r\n",
       "##0011 Flag = 0009 ;S=ABCD\r\n", true},
      // A 2017 frame: GB18030.
      {"##0033Flag=5;CP=&&S=\xBB\xAF\xE6\xB0,T=1&&ABCD\r\n", "##0033Flag=5;CP=&&S=\xE5\x8C\x96\xE5\xA7\x98,T=1&&ABCD\r\n", true},
      // GB18030 that is valid UTF-8 (C7 B0 reads as U+01F0): only a GB18030 line knows better.
      {"##0013Flag=5;Name=\xC7\xB0"
       "ABCD\r\n",
       "##0013Flag=5;Name=\xC7\xB0"
       "ABCD\r\n",
       true, 0},
      {"##0013Flag=9;Name=\xC7\xB0"
       "ABCD\r\n",
       "##0013Flag=9;Name=\xE5\x89\x8D"
       "ABCD\r\n",
       true, 1},
      {"##0013Flag=9;Name=\xC7\xB0"
       "ABCD\r\n",
       "##0013Flag=9;Name=\xC7\xB0"
       "ABCD\r\n",
       false, 1}, // as received
      {"##0013Flag=5;Name=\xC7\xB0"
       "ABCD\r\n",
       "##0013Flag=5;Name=\xC7\xB0"
       "ABCD\r\n",
       true, 7},
      // A UTF-8 line whatever the Flag: GB18030 bytes dropped one by one, the delimiters kept.
      {"##0018Flag=5;S=\xBB\xAF;T=\xC7\xB0"
       "ABCD\r\n",
       "##0018Flag=5;S=;T=\xC7\xB0"
       "ABCD\r\n",
       true, 2},
  };
  for (const Case& c : cases) {
    if (!c.converter && !fake_iconv::CanTakeConverterAway()) continue;
    SetParam(1, c.mode);
    Queue(c.queued);
    fake_iconv::SetConverterMissing(!c.converter);
    EXPECT_EQ(Run("GetData(F,L)"), 0);
    fake_iconv::SetConverterMissing(false);
    EXPECT_EQ(device.Get("F").s, c.stored) << c.queued;
  }
}

TEST_F(Commands, WithoutConverterTheFrameLeavesUnchanged) {
  if (!fake_iconv::CanTakeConverterAway()) GTEST_SKIP() << "GB18030 by tables: no converter to lack";
  device.Text("A", "ST=32;N=\xC3\x80");
  fake_iconv::SetConverterMissing(true);
  EXPECT_EQ(Run("Send(A,St,C)"), 0);
  fake_iconv::SetConverterMissing(false);
  EXPECT_EQ(device.Written(), device.Get("C").s) << "exactly the frame's bytes, no trailing zeros";
  EXPECT_EQ(device.Written().size(), 10u + 12u);
  EXPECT_EQ(device.Get("St").i, 0);
}

TEST_F(Commands, SendReportsWhatWasNotSent) {
  device.Text("A", "ST=32");
  device.SetWriteResult(0);
  EXPECT_EQ(Run("Send(A,St)"), 0);
  EXPECT_EQ(device.Get("St").i, -1);

  device.AttachPort(false);
  EXPECT_EQ(Run("Send(A,St,C)"), 0);
  EXPECT_EQ(device.Get("St").i, -1);
  EXPECT_EQ(device.Get("C").s, "##0005ST=3260C0\r\n") << "the copy is stored before anything is sent";

  // A Send that ends before the write does not keep the previous Send's 0.
  device.AttachPort(true);
  device.SetWriteResult(1);
  EXPECT_EQ(Run("Send(A,St,C)"), 0);
  ASSERT_EQ(device.Get("St").i, 0);
  const std::size_t sent = device.Written().size();
  device.ThrowOnStoreTo("C");
  EXPECT_EQ(Run("Send(A,St,C)"), kCmdStoreFailed);
  EXPECT_EQ(engine.last_result(), 4u);
  device.ThrowOnStoreTo("");
  EXPECT_EQ(device.Get("St").i, -1);
  EXPECT_EQ(device.Written().size(), sent) << "nothing written";
}

TEST_F(Commands, OversizedDataIsNeverFramed) {
  std::string data(10000, 'x');
  device.Text("A", data);
  EXPECT_EQ(Run("Send(A,St,C)"), 0);
  EXPECT_EQ(device.Written(), "");
  EXPECT_TRUE(device.WriteParams().empty());
  EXPECT_EQ(device.Get("St").i, -1);
  EXPECT_EQ(device.Get("C").s.substr(0, 7), "##10000");
  data.resize(9999);
  device.Text("A", data);
  EXPECT_EQ(Run("Send(A,St)"), 0);
  EXPECT_EQ(device.Written().size(), 9999u + 12u);
  EXPECT_EQ(device.Get("St").i, 0);
  // The limit holds for the bytes on the wire: 3464 Chinese characters are 10392 bytes in
  // UTF-8 and 6928 in GB18030.
  std::string chinese;
  for (int i = 0; i < 3464; ++i) chinese += "\xE5\x8C\x96";
  device.Text("A", chinese);
  for (int mode : {1, 2}) {
    device.NewPort();
    SetParam(1, mode);
    EXPECT_EQ(Run("Send(A,St,C)"), 0);
    EXPECT_EQ(device.Written().size(), mode == 1 ? 6928u + 12u : 0u) << mode;
    EXPECT_EQ(device.Get("St").i, mode == 1 ? 0 : -1) << mode;
    EXPECT_EQ(device.Get("C").s.substr(0, 7), mode == 1 ? "##6928\xE5" : "##10392") << mode;
  }
  // Encrypted, the limit is on the data segment transmitted: 2400 bytes of region are 11999 in
  // the text form, 2400 raw.
  ASSERT_TRUE(deviceKey.set("0000000000000000"));
  device.Text("A", "ST=32;CN=2011;Flag=9;CP=&&" + std::string(2400, '1') + "&&");
  for (int form : {1, 0}) {
    device.NewPort();
    SetParam(3, form);
    EXPECT_EQ(Run("Send(A,St,C)"), 0);
    EXPECT_EQ(device.Written().size(), form == 1 ? 0u : 2428u + 12u) << form;
    EXPECT_EQ(device.Get("St").i, form == 1 ? -1 : 0) << form;
    EXPECT_EQ(device.Get("C").s.substr(0, 6), "##2428") << form;
  }
}

// An hourly upload: the header with `flag` as its Flag item, DataTime, then `items`.
std::string Upload(const std::string& flag, const std::string& items) {
  return "QN=20240520210700000;ST=32;CN=2061;PW=123456;MN=010000A8900016F000169DC0;" + flag + ";CP=&&DataTime=20240520200000;" + items + "&&";
}

// `count` factor groups of an hourly upload, each with `text` in its value.
std::string Groups(int count, const std::string& text = "") {
  std::string items;
  for (int i = 0; i < count; ++i) {
    std::string code = "w" + std::to_string(10000 + i);
    items += (i ? ";" : "") + code + "-Min=1." + std::to_string(i) + text + "," + code + "-Avg=2.5," + code + "-Max=3.75," + code + "-Flag=N";
  }
  return items;
}

// The frames of a stream, cut by the length field (wire) or at "\r\n" (the copy's UTF-8 text).
std::vector<std::string> FramesOf(const std::string& stream, bool by_length) {
  std::vector<std::string> frames;
  for (std::size_t at = 0; at < stream.size();) {
    std::size_t size = by_length ? 12 + std::stoul(stream.substr(at + 2, 4)) : stream.find("\r\n", at) + 2 - at;
    frames.push_back(stream.substr(at, size));
    at += size;
  }
  return frames;
}

std::string DataOf(const std::string& frame) { return frame.substr(6, frame.size() - 12); }

// The ";"-separated items of a data segment's CP region.
std::vector<std::string> CpItems(const std::string& data) {
  std::size_t begin = data.find("CP=&&") + 5;
  std::vector<std::string> items;
  std::string region = data.substr(begin, data.rfind("&&") - begin);
  for (std::size_t at = 0; at <= region.size();) {
    std::size_t stop = std::min(region.find(';', at), region.size());
    items.push_back(region.substr(at, stop - at));
    at = stop + 1;
  }
  return items;
}

// A frame's data segment as sent, its region decrypted when a cipher is given.
std::string PlainDataOf(const std::string& frame, const HJ::Sm4* cipher) {
  std::string data = DataOf(frame), plain;
  if (cipher) {
    EXPECT_TRUE(HJ::decrypt_cp(data.data(), data.size(), *cipher, plain)) << frame;
  }
  return cipher ? plain : data;
}

// Packets of `original` as "Send" wrote them (`written`, encrypted in `form` with `cipher` when
// one is given) and copied them (`copy`): each a valid frame within `limit` as transmitted, as
// many items as fit, and together the original again.
void ExpectPackets(const std::string& original, const std::string& written, const std::string& copy, std::size_t limit,
                   const HJ::Sm4* cipher = nullptr, int form = HJ::kCipherRaw) {
  std::vector<std::string> wire = FramesOf(written, true), plain = FramesOf(copy, false);
  ASSERT_GE(wire.size(), 2u);
  ASSERT_EQ(plain.size(), wire.size());
  std::vector<std::string> items = CpItems(original), dealt;
  const std::string head = original.substr(0, original.find("CP=&&"));
  const long flag = HJ::header_flag(original);
  HJ::HeaderItem at;
  HJ::header_number(original, "Flag", 255, &at);
  for (std::size_t k = 0; k < wire.size(); ++k) {
    const std::string sent = PlainDataOf(wire[k], cipher);
    EXPECT_TRUE(HJ::check_frame(HJ::frame_with_crc(sent, wire[k].c_str() + wire[k].size() - 6))) << k << ": CRC over the plain data";
    EXPECT_LE(wire[k].size() - 12, limit) << k;
    EXPECT_EQ(plain[k].substr(0, 6), HJ::frame_with_crc(sent, "0000").substr(0, 6)) << "the copy bears the plain wire length";
    EXPECT_EQ(plain[k].substr(plain[k].size() - 6), wire[k].substr(wire[k].size() - 6)) << "and the CRC";
    const std::string data = DataOf(plain[k]);
    // The header again, Flag's packet bit set, PNUM and PNO right after the Flag item.
    const std::string packet_head = original.substr(0, at.value_begin) + std::to_string(flag | 2) +
                                    original.substr(at.value_end, at.item_end + 1 - at.value_end) + "PNUM=" + std::to_string(wire.size()) +
                                    ";PNO=" + std::to_string(k + 1) + ";" + head.substr(at.item_end + 1);
    EXPECT_EQ(data.substr(0, data.find("CP=&&")), packet_head);
    std::vector<std::string> mine = CpItems(data);
    ASSERT_GE(mine.size(), 2u);
    EXPECT_EQ(mine[0], items[0]) << "DataTime in every packet";
    dealt.insert(dealt.end(), mine.begin() + 1, mine.end());
    if (k + 1 < wire.size() && form == HJ::kCipherRaw) { // the next packet's first item would not have fitted
      std::size_t next = CpItems(PlainDataOf(wire[k + 1], cipher))[1].size();
      EXPECT_GT(wire[k].size() - 12 + 1 + next, limit) << k;
    }
  }
  EXPECT_EQ(dealt, std::vector<std::string>(items.begin() + 1, items.end()));
}

// "Send" splits by the third device parameter: 0 splits 2025 frames at 1024, 1..9999 every
// version there, negative never. The limit holds on the wire (GB18030 shrinks Chinese text, the
// {0x..} text form of an encrypted region grows it).
TEST_F(Commands, SendSplitsLongDataIntoPackets) {
  const std::string kShui = "\xE6\xB0\xB4\xE8\xB4\xA8";    // two Chinese characters: 6 bytes, 4 in GB18030
  const std::string padded = Upload("Flag=9", Groups(12)); // 1024 bytes to the byte with its pad
  std::string tiny = "x";
  for (int i = 0; i < 300; ++i) tiny += ";x";
  const std::string at_limit = padded.substr(0, padded.size() - 2) + ";Pad=" + std::string(1024 - padded.size() - 5, 'x') + "&&";
  struct Case {
    int param;
    int charset;
    std::string data;
    std::size_t limit; // 0: goes as one frame
    int status;
    int form = -2; // with a key: the fourth device parameter (-2: no key)
  } cases[] = {
      {0, 0, Upload("Flag=9", Groups(148)), 1024, 0},       // 9 KiB, 2025
      {0, 0, Upload("Flag=9", Groups(170)), 1024, 0},       // too long for one frame, fine as packets
      {0, 0, Upload("Flag=13", Groups(40)), 1024, 0},       // a later version
      {0, 0, Upload(" Flag = 0008 ", Groups(40)), 1024, 0}, // read as GetValue reads it; 8 becomes 10
      {0, 0, Upload("Flag=11", Groups(40)), 1024, 0},       // the packet bit already set
      {0, 0, at_limit, 0, 0},
      {0, 0, at_limit.substr(0, at_limit.size() - 2) + "y&&", 1024, 0},
      {0, 0, Upload("Flag=5", Groups(40)), 0, 0}, // 2017 and 2005 as before
      {0, 0, Upload("Flag=1", Groups(40)), 0, 0},
      {600, 0, Upload("Flag=5", Groups(40)), 600, 0}, // a set limit holds for every version
      {600, 0, Upload("Flag=1", Groups(40)), 600, 0},
      {150, 0, Upload("Flag=5", tiny), 150, 0}, // over ten packets, full to the byte: PNUM and PNO of two digits
      {20000, 0, Upload("Flag=5", Groups(170)), 9999, 0},
      {-1, 0, Upload("Flag=9", Groups(148)), 0, 0}, // never split
      {-1, 0, Upload("Flag=9", Groups(170)), 0, -1},
      {0, 0, Upload("Flag=5", Groups(30, kShui)), 0, 0},       // 2017: GB18030, no split by default
      {890, 0, Upload("Flag=5", Groups(12, kShui)), 0, 0},     // 904 bytes of text, 880 on the wire
      {1000, 0, Upload("Flag=5", Groups(30, kShui)), 1000, 0}, // items measured in GB18030
      {0, 1, Upload("Flag=9", Groups(30, kShui)), 1024, 0},
      {0, 0, Upload("Flag=9", Groups(30, kShui)), 1024, 0},           // 2025: UTF-8
      {0, 0, Upload("Flag=9", Groups(40)), 1024, 0, HJ::kCipherRaw},  // encrypted: raw bytes keep the length
      {0, 0, Upload("Flag=9", Groups(40)), 1024, 0, HJ::kCipherText}, // the text form: more packets (above 9999 whole)
      {0, 0, Upload("Flag=9", Groups(30, kShui)), 1024, 0, HJ::kCipherText},
      {0, 0, Upload("Flag=5", Groups(20)), 0, 0, HJ::kCipherText}, // 2017 whole, encrypted all the same
      {-1, 0, Upload("Flag=9", Groups(20)), 0, 0, HJ::kCipherText},
      {-1, 0, Upload("Flag=9", Groups(40)), 0, -1, HJ::kCipherText}, // whole, above 9999 as text: not sent
      // Cannot be split: goes whole, whatever the limit.
      {100, 0, "QN=1;ST=32;CN=2061;CP=&&DataTime=20240520200000;" + Groups(3) + "&&", 0, 0}, // no Flag
      {100, 0, Upload("Flag=9;PNUM=2;PNO=1", Groups(3)), 0, 0},
      {100, 0, Upload("Flag=9;PNO=1", Groups(3)), 0, 0},
      {100, 0, Upload("Flag=9", Groups(3)), 0, 0},                                          // the header alone is longer
      {160, 0, Upload("Flag=9", "a=" + std::string(100, '1') + ";" + Groups(3)), 0, 0},     // an item too long
      {100, 0, "ST=32;CN=2061;Flag=9;PW=1;MN=1;DataTime=1;" + std::string(100, 'x'), 0, 0}, // no CP
      {50, 0, "ST=32;CN=2061;Flag=9;CP=&&DataTime=20240520200000&&", 0, 0},                 // nothing to deal
  };
  int row = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE("row " + std::to_string(row++));
    device.NewPort();
    SetParam(1, c.charset);
    SetParam(2, c.param);
    SetParam(3, c.form);
    const std::string key = c.form == -2 ? "" : "0000000000000000";
    ASSERT_TRUE(deviceKey.set(key));
    HJ::Sm4 cipher(reinterpret_cast<const unsigned char*>("0000000000000000"));
    device.Text("A", c.data);
    EXPECT_EQ(Run("Send(A,St,C)"), 0);
    EXPECT_EQ(device.Get("St").i, c.status);
    if (c.limit) {
      ExpectPackets(c.data, device.Written(), device.Get("C").s, c.limit, key.empty() ? nullptr : &cipher, c.form);
    } else {
      HJ::WireData whole = HJ::wire_data(c.data, HJ::wire_charset_from(c.charset), key.empty() ? nullptr : &cipher, HJ::cipher_form_from(c.form));
      EXPECT_TRUE(device.Written() == (c.status == 0 ? whole.frame() : "")) << "one frame as before";
      EXPECT_TRUE(device.Get("C").s == whole.frame_around(c.data));
    }
  }
}

// A write that fails stops the rest: Status -k for packet k, the ones before it went out once.
// A port that throws ends the command (4), its Status as exact.
TEST_F(Commands, SendStopsAtTheFailedPacket) {
  device.Text("A", Upload("Flag=9", Groups(30)));
  for (bool throws : {false, true}) {
    for (int failed = 1; failed <= 3; ++failed) {
      device.NewPort();
      if (throws) device.ThrowOnWrite(failed);
      else device.FailWrite(failed);
      device.Int("St", 0);
      EXPECT_EQ(Run("Send(A,St,C)"), throws ? -4 : 0);
      EXPECT_EQ(device.Get("St").i, -failed) << (throws ? "thrown" : "refused");
      EXPECT_EQ(device.WriteParams().size(), static_cast<std::size_t>(failed)) << "nothing tried after it";
      std::vector<std::string> copies = FramesOf(device.Get("C").s, false);
      ASSERT_EQ(copies.size(), 3u) << "the copy holds every packet built";
      std::string before;
      for (int k = 0; k + 1 < failed; ++k) before += copies[static_cast<std::size_t>(k)];
      EXPECT_EQ(device.Written(), before);
    }
  }
}

} // namespace
