// split, get_value and get_value_cp over the texts scripts really hand them: data segments,
// whole received frames and CP contents.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hj212/src/FieldExtract.h"
#include "hj212/src/Split.h"

namespace {

using Pieces = std::vector<std::string>;

struct SplitCase {
  const char* text;
  const char* delimiters;
  Pieces expected;
};

TEST(Split, CutsTrimsAndDropsEmptyPieces) {
  const SplitCase cases[] = {
      {"", ",", {}},
      {"a", ",", {"a"}},
      {"a,,b", ",", {"a", "b"}},
      {"a, ,b", ",", {"a", "", "b"}}, // a blank piece stays, trimmed to empty
      {"a,", ",", {"a"}},             // a trailing delimiter adds nothing
      {",a", ",", {"a"}},
      {",,,", ",", {}},
      {"  ", ",", {""}},
      {"  x  y  ,z", ",", {"x  y", "z"}}, // inner blanks stay
      {"\tx \t", ",", {"\tx \t"}},        // only spaces are trimmed
      {" ST=32 ;CN=2011, F=N", ",;", {"ST=32", "CN=2011", "F=N"}},
      {"CP=&&DataTime=T1", "=", {"CP", "&&DataTime", "T1"}},
      {"=T1", "=", {"T1"}},
      {"T1=", "=", {"T1"}},
      {"==", "=", {}},
      {" = ", "=", {"", ""}},
      {"a,b", "", {"a,b"}}, // no delimiters: one piece
  };
  for (const SplitCase& c : cases) {
    EXPECT_EQ(HJ::split(c.text, c.delimiters), c.expected) << '"' << c.text << "\" at \"" << c.delimiters << '"';
  }
}

TEST(Split, KeepsBytesAfterAZeroByte) {
  const std::string text("a\0b,c", 5);
  EXPECT_EQ(HJ::split(text, ","), (Pieces{std::string("a\0b", 3), "c"}));
}

struct ValueCase {
  const char* text;
  const char* key;
  int found;
  const char* out; // expected output; ignored when not found (it must stay untouched)
};

const char kSegment[] = "QN=20200101120000000;ST=32;CN=2011;Flag=5;CP=&&DataTime=20200101120000;a01012-Rtd=25.3,a01012-Flag=N&&";
const char kCp[] = "DataTime=20200101120000;a01012-Rtd=25.3,a01012-Flag=N";

void check_values(const ValueCase* begin, const ValueCase* end) {
  for (const ValueCase* c = begin; c != end; ++c) {
    std::string out = "untouched";
    EXPECT_EQ(HJ::get_value(c->text, c->key, out), c->found) << c->text << " / key " << c->key;
    EXPECT_EQ(out, c->found ? std::string(c->out) : std::string("untouched")) << c->text << " / key " << c->key;
  }
}

TEST(GetValue, DataSegmentExamples) {
  const ValueCase cases[] = {
      {kSegment, "QN", 1, "20200101120000000"},
      {kSegment, "ST", 1, "32"},
      {kSegment, "Flag", 1, "5"}, // the data segment's Flag comes first
      {kSegment, "CP", 1, kCp},
      {kSegment, "a01012-Rtd", 1, "25.3"},
      {kSegment, "a01012-Flag", 1, "N&&"}, // nothing separates it from the end
      {kSegment, "Rtd", 1, "25.3"},        // tail of a01012-Rtd
      {kSegment, "N", 1, "20200101120000000"},
      {kSegment, "a01012", 0, ""}, // first occurrence followed by "-"
      {kSegment, "qn", 0, ""},
      {kSegment, "PW", 0, ""},
  };
  check_values(std::begin(cases), std::end(cases));
}

TEST(GetValue, CpContentExamples) {
  const ValueCase cases[] = {
      {kCp, "a01012-Flag", 1, "N"},
      {kCp, "Flag", 1, "N"},
      {kCp, "DataTime", 1, "20200101120000"},
      {kCp, "a01012-Rtd", 1, "25.3"},
  };
  check_values(std::begin(cases), std::end(cases));
}

TEST(GetValue, EdgeCases) {
  const ValueCase cases[] = {
      {"ST= 32 ;CN=1", "ST", 1, "32"},
      {"ST=\t32\t;CN=1", "ST", 1, "\t32\t"}, // tabs are not blanks
      {"ST=;CN=1", "ST", 1, ""},             // an empty value is still found
      {"ST=   ;CN=1", "ST", 1, ""},
      {"ST=32", "ST", 1, "32"},
      {"ST=32,CN=1", "ST", 1, "32"},
      {"XX ST", "ST", 0, ""}, // key at the very end
      {"ST", "ST", 0, ""},
      {"", "ST", 0, ""},
      {"MN=ST01;ST=32", "ST", 0, ""},     // first ST sits in a value and is followed by "0"
      {"cp=&&a=1&&", "cp", 1, "&&a=1&&"}, // lower-case cp is an ordinary key
      {"X=1;CP=&&a=1&&", "CP", 1, "a=1"},
      {"a=b=5;x", "a=b", 1, "b=5"}, // "=" inside the key: the value starts after its first "="
      {"A;B=1,C", ";B", 1, "1,C"},  // separator inside the key: the value runs to the end
  };
  check_values(std::begin(cases), std::end(cases));
}

TEST(GetValue, ZeroBytesAreOrdinaryBytes) {
  const std::string text("K=a\0b;L=c", 9);
  std::string out;
  ASSERT_EQ(HJ::get_value(text, "K", out), 1);
  EXPECT_EQ(out, std::string("a\0b", 3));
  ASSERT_EQ(HJ::get_value(text, "L", out), 1);
  EXPECT_EQ(out, "c");
}

TEST(GetValue, OutputMayBeTheInputText) {
  std::string text = "ST=32;CN=2011";
  ASSERT_EQ(HJ::get_value(text, "CN", text), 1);
  EXPECT_EQ(text, "2011");
  text = "CP=&&a=1&&";
  ASSERT_EQ(HJ::get_value_cp(text, text), 1);
  EXPECT_EQ(text, "a=1");
}

TEST(GetValueCp, Markers) {
  struct Case {
    const char* text;
    int found;
    const char* out;
  } cases[] = {
      {kSegment, 1, kCp},  {"CP=&&a=1", 1, "a=1"},                             // a single marker: everything after it
      {"&&&&", 1, ""},     {"&&&", 1, "&"},        {"&& a=1 &&x", 1, " a=1 "}, // not trimmed
      {"x&&&&y&&", 1, ""}, {"CP=&a=1&", 0, ""},    {"", 0, ""},
  };
  for (const Case& c : cases) {
    std::string out = "untouched";
    EXPECT_EQ(HJ::get_value_cp(c.text, out), c.found) << c.text;
    EXPECT_EQ(out, c.found ? std::string(c.out) : std::string("untouched")) << c.text;
  }
}

// A received frame as "GetData" hands it over: the last field runs into the CRC and line end,
// the CP content stops at its closing marker.
TEST(GetValue, WholeReceivedFrame) {
  const std::string frame = "##0101QN=20160801085857223;ST=32;CN=1062;PW=100000;MN=010000A8900016F000169DC0;Flag=5;"
                            "CP=&&RtdInterval=30&&1C80\r\n";
  const ValueCase cases[] = {
      {frame.c_str(), "QN", 1, "20160801085857223"},        {frame.c_str(), "CN", 1, "1062"},
      {frame.c_str(), "MN", 1, "010000A8900016F000169DC0"}, {frame.c_str(), "Flag", 1, "5"},
      {frame.c_str(), "CP", 1, "RtdInterval=30"},           {frame.c_str(), "RtdInterval", 1, "30&&1C80\r\n"},
  };
  check_values(std::begin(cases), std::end(cases));

  std::string cp, value;
  ASSERT_EQ(HJ::get_value_cp(frame, cp), 1);
  ASSERT_EQ(HJ::get_value(cp, "RtdInterval", value), 1);
  EXPECT_EQ(value, "30");
}

} // namespace
