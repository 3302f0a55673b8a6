#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "bridge/DevServer.h"
#include "bridge/PanelDevice.h"
#include "bridge/ValueAccess.h"
#include "tests/support/FakeDevice.h"

namespace {

// Distinct answers, so a caller that mixes them up is seen.
constexpr int kNoSuchVariable = 4;
constexpr int kWrongType = 9; // a read or set of a type the variable does not hold
constexpr int kRefused = 7;

class Bridge : public ::testing::Test {
protected:
  void SetUp() override {
    rtdb.SetMissingResult(kNoSuchVariable);
    rtdb.StrictTypes(kWrongType);
    rtdb.SetInt("I", -7);
    rtdb.SetDouble("D", 3.0);
    rtdb.SetDouble("Half", 12.5);
    rtdb.SetText("S", "hello");
    rtdb.SetText("Empty", "");
  }
  fake::Rtdb rtdb;
  ORVA_DATA data = fake::DeviceData(&rtdb);
};

// ---- reading as text for the interpreter

TEST_F(Bridge, GetValueByNameFormatsEachType) {
  struct Case {
    const char* name;
    const char* expected;
  } cases[] = {
      {"I", "-7"}, {"D", "3.000000"}, {"Half", "12.500000"}, {"S", "hello"}, {"Empty", ""}, {"ABC", "ABC"}, {"ST=32;CN=2011", "ST=32;CN=2011"},
      {"", ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = "stale";
    EXPECT_EQ(1, HJ::get_value_by_name(data, c.name, out));
    EXPECT_EQ(c.expected, out);
  }
}

TEST_F(Bridge, GetValueByNameKeepsLargeDoublesWhole) {
  rtdb.SetDouble("Big", 1e130);
  rtdb.SetDouble("Max", -1.7976931348623157e308);
  for (const char* name : {"Big", "Max"}) {
    std::string out;
    HJ::get_value_by_name(data, name, out);
    EXPECT_EQ(rtdb.Get(name).d, std::strtod(out.c_str(), nullptr)) << name;
    EXPECT_EQ(".000000", out.substr(out.size() - 7));
  }
}

TEST_F(Bridge, GetValueByNameWithoutDatabaseOrCallbacks) {
  std::string out = "untouched";
  ORVA_DATA none = fake::DeviceData(nullptr);
  EXPECT_EQ(0, HJ::get_value_by_name(none, "I", out));
  EXPECT_EQ("untouched", out);

  data.pfnGetParamValue = nullptr; // values start at zero or empty
  struct Case {
    const char* name;
    const char* expected;
  } cases[] = {{"I", "0"}, {"D", "0.000000"}, {"S", ""}, {"ABC", "ABC"}};
  for (const Case& c : cases) {
    EXPECT_EQ(1, HJ::get_value_by_name(data, c.name, out));
    EXPECT_EQ(c.expected, out) << c.name;
  }

  data.pfnGetParamType = nullptr; // every name is taken literally
  EXPECT_EQ(1, HJ::get_value_by_name(data, "I", out));
  EXPECT_EQ("I", out);
}

TEST_F(Bridge, FailedTypeQueryStillGoesByTheTypeWritten) {
  rtdb.FailTypeQueries(5);
  std::string out;
  HJ::get_value_by_name(data, "D", out);
  EXPECT_EQ("3.000000", out);
  CString text;
  EXPECT_EQ(1, CDevServer::SvrGetParaValue(data, "S", text));
  EXPECT_STREQ("hello", text.c_str());
}

// ---- reading for the frame builder

TEST_F(Bridge, SvrGetParaValueAsText) {
  struct Case {
    const char* name;
    int rc;
    const char* expected;
  } cases[] = {{"I", 0, ""}, {"D", 0, ""}, {"S", 1, "hello"}, {"ABC", 1, "ABC"}, {" 12 ", 1, " 12 "}, {"", 1, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CString out = "stale";
    EXPECT_EQ(c.rc, CDevServer::SvrGetParaValue(data, c.name, out));
    EXPECT_STREQ(c.expected, out.c_str());
  }
  data.pfnGetParamType = nullptr;
  CString out;
  EXPECT_EQ(1, CDevServer::SvrGetParaValue(data, "I", out));
  EXPECT_STREQ("I", out.c_str());
}

TEST_F(Bridge, SvrGetParaValueAsNumber) {
  struct Case {
    const char* name;
    int rc;
    double expected;
  } cases[] = {{"D", 1, 3.0},       {"I", 1, -7.0}, {"S", 0, 0.0},   {"ABC", 1, 0.0},     {" -12.5 ", 1, -12.5},
               {"\t42\n", 1, 42.0}, {"", 1, 0.0},   {"   ", 1, 0.0}, {"1e3x", 1, 1000.0}, {"-", 1, 0.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    double out = 99.0;
    EXPECT_EQ(c.rc, CDevServer::SvrGetParaValue(data, c.name, out));
    EXPECT_EQ(c.expected, out);
  }
  // Without callbacks every name is a literal number.
  data.pfnGetParamType = nullptr;
  double out = 0;
  EXPECT_EQ(1, CDevServer::SvrGetParaValue(data, "D", out));
  EXPECT_EQ(0.0, out);
  data.pfnGetParamType = &CDevCtrl::GetParamType_Fun;
  data.pfnGetParamValue = nullptr;
  out = 99.0;
  EXPECT_EQ(1, CDevServer::SvrGetParaValue(data, "D", out));
  EXPECT_EQ(0.0, out);
}

// ---- writing

TEST_F(Bridge, SetTextConvertsToTheVariableType) {
  struct Case {
    const char* name;
    const char* text;
    fake::Variable expected;
  } cases[] = {
      {"I", "12abc", {DT_INTEGER, 12, 0.0, {}}},
      {"I", " -40", {DT_INTEGER, -40, 0.0, {}}},
      {"I", "x", {DT_INTEGER, 0, 0.0, {}}},
      {"I", "-2147483648", {DT_INTEGER, INT_MIN, 0.0, {}}},
      {"I", "99999999999", {DT_INTEGER, INT_MAX, 0.0, {}}},
      {"I", "-99999999999", {DT_INTEGER, INT_MIN, 0.0, {}}},
      {"D", "x", {DT_DOUBLE, 0, 0.0, {}}},
      {"D", "2.5e1 m", {DT_DOUBLE, 0, 25.0, {}}},
      {"D", "-0.125", {DT_DOUBLE, 0, -0.125, {}}},
      {"S", " as is, 12 ", {DT_STRING, 0, 0.0, " as is, 12 "}},
      {"S", "", {DT_STRING, 0, 0.0, ""}},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " <- " + c.text);
    std::string value = c.text;
    EXPECT_EQ(1, HJ::set_value_by_name(data, c.name, value));
    const fake::Variable v = rtdb.Get(c.name);
    EXPECT_EQ(c.expected.i, v.i);
    EXPECT_EQ(c.expected.d, v.d);
    EXPECT_EQ(c.expected.s, v.s);
  }
}

TEST_F(Bridge, SetIntConvertsToTheVariableType) {
  EXPECT_EQ(1, HJ::set_value_by_name(data, "I", 5));
  EXPECT_EQ(5, rtdb.Get("I").i);
  EXPECT_EQ(1, HJ::set_value_by_name(data, "D", -5));
  EXPECT_EQ(-5.0, rtdb.Get("D").d);
  EXPECT_EQ(1, HJ::set_value_by_name(data, "S", 5));
  EXPECT_EQ("5", rtdb.Get("S").s);
  EXPECT_EQ(1, HJ::set_value_by_name(data, "S", INT_MIN));
  EXPECT_EQ("-2147483648", rtdb.Get("S").s);
}

TEST_F(Bridge, SetRefusedWithoutVariableOrDatabase) {
  std::string value = "1";
  EXPECT_EQ(0, HJ::set_value_by_name(data, "ABC", value));
  EXPECT_EQ(0, HJ::set_value_by_name(data, "ABC", 1));

  rtdb.FailTypeQueries(5); // the type is known but the query failed
  EXPECT_EQ(0, HJ::set_value_by_name(data, "I", value));
  EXPECT_EQ(0, HJ::set_value_by_name(data, "I", 1));
  rtdb.FailTypeQueries(0);

  rtdb.Define("Odd", static_cast<DATATYPE>(4));
  EXPECT_EQ(0, HJ::set_value_by_name(data, "Odd", value));
  EXPECT_EQ(0, HJ::set_value_by_name(data, "Odd", 1));

  ORVA_DATA none = fake::DeviceData(nullptr);
  EXPECT_EQ(0, HJ::set_value_by_name(none, "I", value));
  EXPECT_EQ(0, HJ::set_value_by_name(none, "I", 1));
  EXPECT_EQ(0, rtdb.setCalls());
  EXPECT_EQ(-7, rtdb.Get("I").i);
}

// Each write is tried at most twice: refused once it still lands, refused twice it is reported.
TEST_F(Bridge, SetRetriesExactlyOnce) {
  struct Case {
    int refusals;
    int rc;
    int calls;
  } cases[] = {{0, 1, 1}, {1, 1, 2}, {2, 0, 2}, {5, 0, 2}};
  for (const char* name : {"I", "D", "S"}) {
    for (bool asText : {true, false}) {
      for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << name << (asText ? " text" : " int") << " refusals " << c.refusals);
        const int before = rtdb.setCalls();
        rtdb.FailNextSets(c.refusals, kRefused);
        std::string value = "8";
        int rc = asText ? HJ::set_value_by_name(data, name, value) : HJ::set_value_by_name(data, name, 8);
        EXPECT_EQ(c.rc, rc);
        EXPECT_EQ(c.calls, rtdb.setCalls() - before);
      }
    }
  }
  EXPECT_EQ(8, rtdb.Get("I").i);
  EXPECT_EQ(8.0, rtdb.Get("D").d);
  EXPECT_EQ("8", rtdb.Get("S").s);
  EXPECT_EQ(0, rtdb.channelCalls());
}

// ---- the engine's frame count on channel 0

TEST(PanelDevice, PublishesByChannelTypeWithOneRetry) {
  struct Case {
    const char* what;
    DATATYPE type;
    int typeResult;
    int failingSets;
    std::vector<std::string> calls; // "op:value" after the type query
    int count = 3;
  } cases[] = {
      {"integer", DT_INTEGER, 0, 0, {"set int:3"}},
      {"double", DT_DOUBLE, 0, 0, {"set double:3.000000"}},
      {"text", DT_STRING, 0, 0, {"set text:3"}},
      {"text, a count wrapped below zero", DT_STRING, 0, 0, {"set text:-2147483648"}, INT_MIN},
      {"unknown type", static_cast<DATATYPE>(7), 0, 0, {}},
      {"type left unset", DT_UNSET, 0, 0, {}},
      {"type query fails, though it wrote the type", DT_INTEGER, 1, 0, {}},
      {"integer refused once", DT_INTEGER, 0, 1, {"set int:3", "set int:3"}},
      {"integer refused twice: no third try", DT_INTEGER, 0, 2, {"set int:3", "set int:3"}},
      {"double refused once", DT_DOUBLE, 0, 1, {"set double:3.000000", "set double:3.000000"}},
      {"text refused twice", DT_STRING, 0, 5, {"set text:3", "set text:3"}},
  };
  for (const Case& c : cases) {
    fake::Rtdb db;
    db.Define("Count", c.type);
    db.BindChannel(0, "Count");
    db.RecordCalls();
    db.FailTypeQueries(c.typeResult);
    db.FailNextSets(c.failingSets);
    ORVA_DATA data{};
    data.pRtdbCtrl = &db;
    CPanelDevice device{data};
    device.publish_frame_count(c.count);
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
  }
  ORVA_DATA none{};
  CPanelDevice device{none};
  device.publish_frame_count(1); // no database adapter: nothing to reach, nothing fails
}

} // namespace
