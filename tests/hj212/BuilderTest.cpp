// The frame builder over a fake variable store: the templates scripts write, number formatting,
// literal names, read order, and the repairs for names inside keys, CP segments and empty items.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <ctime>
#include <string>
#include <vector>

#include "FakeEngineDevice.h"
#include "hj212/HJ212System.h"
#include "hj212/src/FrameBuilder.h"

namespace {

double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct BuildCase {
  const char* templ;
  const char* expected;
};

class Builder : public ::testing::Test {
protected:
  void SetUp() override {
    vars.Text("T1", "20240101120000");
    vars.Double("V1", 12.5);
  }
  std::string build(const std::string& templ) { return HJ::build_data_segment(&vars, templ); }
  void check(const BuildCase* begin, const BuildCase* end) {
    for (const BuildCase* c = begin; c != end; ++c) EXPECT_EQ(build(c->templ), c->expected) << c->templ;
  }
  enginefake::Device vars;
};

TEST_F(Builder, UploadTemplates) {
  const BuildCase cases[] = {
      {"ST=32;CN=2011;DataTime=T1;w01018-Rtd=V1,w01018-Flag=N", "ST=32;CN=2011;DataTime=20240101120000;w01018-Rtd=12.5,w01018-Flag=N"},
      // The "&&" markers bound items, so the fields inside CP are filled in too.
      {"ST=32;CN=2011;CP=&&DataTime=T1;w01018-Rtd=V1,w01018-Flag=N&&", "ST=32;CN=2011;CP=&&DataTime=20240101120000;w01018-Rtd=12.5,w01018-Flag=N&&"},
      {"CP=&&DataTime=T1&&", "CP=&&DataTime=20240101120000&&"},
      {"CP=&&&&", "CP=&&&&"},
      {"DataTime=T1", "DataTime=20240101120000"}, // one item
      {"T1", "20240101120000"},
      {"=T1", "=20240101120000"}, // one piece: an unkeyed name
      {"T1=", "20240101120000="},
  };
  check(std::begin(cases), std::end(cases));
}

TEST_F(Builder, NumberFormatting) {
  struct NumberCase {
    bool integer;
    double value;
    const char* expected;
  } cases[] = {
      {false, 12.5, "12.5"},
      {false, 3.0, "3"},
      {false, 100.0, "100"},
      {false, 0.0, "0"},
      {false, 1e-9, "0"},
      {false, -1e-9, "-0"},
      {false, -12.5, "-12.5"},
      {false, -100.0, "-100"},
      {false, 0.1234567, "0.123457"},
      {false, 1e15, "1000000000000000"},
      {true, 3, "3"},
      {true, 100, "100"},
      {true, 0, "0"},
      {true, -7, "-7"},
      {true, INT_MIN, "-2147483648"},
      {true, INT_MAX, "2147483647"},
  };
  for (const NumberCase& c : cases) {
    if (c.integer) vars.Int("X1", static_cast<int>(c.value));
    else vars.Double("X1", c.value);
    EXPECT_EQ(build("w01018-Rtd=X1;F=N"), std::string("w01018-Rtd=") + c.expected + ";F=N") << c.value;
  }
}

TEST_F(Builder, HugeNumbersAreWrittenInFull) {
  vars.Double("X1", DBL_MAX);
  std::string built = build("R=X1;F=N");
  EXPECT_EQ(built.size(), 2u + 309u + 4u); // 309 integer digits, no fraction left
  EXPECT_EQ(built.substr(0, 6), "R=1797");
  EXPECT_EQ(built.substr(built.size() - 4), ";F=N");
  vars.Double("X1", -1e300);
  built = build("R=X1");
  ASSERT_EQ(built.size(), 2u + 1u + 301u);
  EXPECT_EQ(built.substr(0, 4), "R=-1");
  EXPECT_EQ(built.find_first_not_of("0123456789", 3), std::string::npos);
}

TEST_F(Builder, SelfFeedingTemplatesStayBounded) {
  // A template that names itself, built into itself again and again, stops growing at 64 KiB.
  vars.Text("B", "B,B,B,B");
  std::string built;
  for (int round = 0; round < 12; ++round) {
    built = build(vars.TextOf("B"));
    vars.Text("B", built);
    ASSERT_LE(built.size(), 64u * 1024u) << "round " << round;
  }
  EXPECT_GT(built.size(), 16u * 1024u) << "substitution goes on up to the bound";
  // Keyed values too: once a value does not fit, that item and every later one stay as written.
  vars.Text("Big", std::string(64 * 1024, 'x'));
  EXPECT_EQ(build("A=Big;T=T1"), "A=Big;T=T1");
  EXPECT_EQ(build("T=T1;A=Big"), "T=20240101120000;A=Big");
}

TEST_F(Builder, BlanksAndTabs) {
  vars.Text("T2", " a b ");
  const BuildCase cases[] = {
      {" ST = T1 ; CN = 2011 ", " ST = 20240101120000 ; CN = 2011 "}, // blanks around items and "="
      {"ST=\tT1", "ST=\tT1"},                                         // a tab is part of the name, which then names nothing
      {"X=T2;Y=1", "X= a b ;Y=1"},                                    // values go in unchanged, blanks included
  };
  check(std::begin(cases), std::end(cases));
}

TEST_F(Builder, LiteralAndRepeatedNames) {
  vars.Int("I1", 7);
  const BuildCase cases[] = {
      {"ST=32;CN=2011;PW=123456;MN=LD130133000015", "ST=32;CN=2011;PW=123456;MN=LD130133000015"},
      {"A=V1;B=V1", "A=12.5;B=12.5"}, // each entry takes the next occurrence
      {"V1,V1;V1", "12.5,12.5;12.5"},
      {"A=I1;B=N;C=I1", "A=7;B=N;C=7"},
      {"A=V1;A=V1;A=V1", "A=12.5;A=12.5;A=12.5"}, // a repeated key: the next occurrence of the name
      {"MN=V1V1", "MN=V1V1"},                     // V1V1 is one name, and no variable
  };
  check(std::begin(cases), std::end(cases));
}

// A variable called CP replaces the first CP, as the unkeyed item "CP=" names it.
TEST_F(Builder, VariableNamedCp) {
  vars.Text("CP", "XX");
  EXPECT_EQ(build("ST=32;CP=&&DataTime=T1&&"), "ST=32;XX=&&DataTime=20240101120000&&");
}

// Searches run over the text as already changed, so a value can be found again.
TEST_F(Builder, LaterNamesAreFoundInsideInsertedValues) {
  vars.Text("V3", "V3V3");
  EXPECT_EQ(build("A=V3;V3"), "A=V3V3V3;V3");     // the second V3 item itself stays
  EXPECT_EQ(build("A=V3;A=V3"), "A=V3V3V3;A=V3"); // the repeated key is found at its first place again
}

// A key that repeats costs time in proportion to the template: sixteen times the items take
// about sixteen times as long (the square, 256, before), compared within one run on the
// thread's own clock so that other processes do not count.
TEST_F(Builder, RepeatedKeyCostsLinearTime) {
  vars.Text("Rx", "RR"); // as long as its name: every item is replaced, and each "Rtd" starts like it
  auto fastest = [&](int items) {
    std::string templ;
    std::string expected;
    for (int i = 0; i < items; ++i) templ += "Rtd=Rx;", expected += "Rtd=RR;";
    double best = 1e9;
    for (int run = 0; run < 5; ++run) {
      const double begin = ThreadSeconds();
      const std::string built = build(templ);
      best = std::min(best, ThreadSeconds() - begin);
      EXPECT_EQ(built, expected);
    }
    return best;
  };
  const double small = fastest(512);
  const double large = fastest(16 * 512);
  if (small == 0) GTEST_SKIP() << "the thread's CPU clock is too coarse here (wine: 10 ms) to time 512 items";
  EXPECT_LT(large, 64 * small) << small << " s for 512 items, " << large << " s for 8192";
}

TEST_F(Builder, NameIsLookedForAfterTheWholeKey) {
  vars.Text("N", "x");
  vars.Text("T", "Z");
  const BuildCase cases[] = {
      {"PN=N", "PN=x"}, // not the N inside PN
      {"ST=T", "ST=Z"}, // not the T inside ST
      {"QN=N;ST=32;Flag=N", "QN=x;ST=32;Flag=x"},
      {"TT=T", "TT=Z"},
  };
  check(std::begin(cases), std::end(cases));
}

TEST_F(Builder, ItemsWithoutNameAreSkipped) {
  const BuildCase cases[] = {
      {"ST=32; ;CN=T1", "ST=32; ;CN=20240101120000"},
      {"ST=32;===;CN=T1", "ST=32;===;CN=20240101120000"},
      {"ST=32; = ;CN=T1", "ST=32; = ;CN=20240101120000"},
      {"ST=32;= =;CN=T1", "ST=32;= =;CN=20240101120000"}, // one empty piece
      {"ST= ;CN=T1", "ST= ;CN=20240101120000"},
      {"ST=32;CN=T1; ", "ST=32;CN=20240101120000; "},
      {" ", " "},
      {"=", "="},
  };
  check(std::begin(cases), std::end(cases));
}

TEST_F(Builder, NothingButDelimiters) {
  const BuildCase cases[] = {
      {"", ""}, {";", ""}, {",;;,", ""}, {"&&", "&&"}, // not one of the item delimiters that empty a template
  };
  check(std::begin(cases), std::end(cases));
}

// Keyed names are all read before anything is replaced; unkeyed ones when they are replaced.
TEST_F(Builder, ReadOrder) {
  vars.RecordReads();
  build("A;K=B;= =C;L=D"); // "= =C" cuts into an empty key and C: unkeyed
  EXPECT_EQ(vars.NamesRead(), (std::vector<std::string>{"B", "D", "A", "C"}));
}

TEST_F(Builder, ZeroBytesInNamesAndValues) {
  // The panel takes names as C strings, so "Z\0Z" reaches it as "Z"; the whole name is replaced.
  vars.Text("Z", std::string("v\0v", 3));
  EXPECT_EQ(build(std::string("K=Z\0Z;L=1", 9)), std::string("K=v\0v;L=1", 9));
}

} // namespace

namespace {

// "MakeProtocol" reaches the builder through the engine, over the device's variables.
TEST(WriteMakeFrame, UsesTheEnginesDevice) {
  enginefake::Device vars;
  vars.Text("T1", "20240101120000");
  HJ::HJ212_system engine;
  EXPECT_EQ(engine._write_make_frame("DataTime=T1;F=N"), "DataTime=T1;F=N"); // no device: literals
  engine.attach(&vars);
  EXPECT_EQ(engine._write_make_frame("DataTime=T1;F=N"), "DataTime=20240101120000;F=N");
  EXPECT_EQ(engine._write_make_frame(";;"), "");
}

} // namespace
