// The tools' HJ 212 text handling: frames the engine wraps as the platform's judge takes them,
// the scanner, field decoding, readable text.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "hj212/Envelope.h"
#include "tools/common/Codes.h"
#include "tools/common/Hj212Text.h"
#include "tools/common/sys/Io.h"
#include "tools/platform/Judge.h"

namespace {

using sim::Verdict;

TEST(SimCrc, KnownValues) {
  struct {
    std::string data, crc;
  } cases[] = {
      {"", "FFFF"},
      {"abc", "D701"},
      {"123456789", "2F80"},
      {"QN=20160801085857223;ST=32;CN=1062;PW=100000;MN=010000A8900016F000169DC0;Flag=5;CP=&&RtdInterval=30&&", "1C80"},
  };
  for (const auto& c : cases) EXPECT_EQ(HJ::do_crc_check(c.data), c.crc) << c.data;
  // a high byte enters as 128..255, not as a negative char
  EXPECT_EQ(HJ::do_crc_check("\x80"), "E041");
}

TEST(SimFrame, WrapThenCheck) {
  std::string f = HJ::wrap_frame("ST=32");
  EXPECT_EQ(f, "##0005ST=3260C0\r\n");
  EXPECT_EQ(sim::check_frame(f).verdict, Verdict::Ok);
}

TEST(SimFrame, Verdicts) {
  std::string good = HJ::wrap_frame("QN=20160801085857223;ST=32;CN=1062;PW=100000;MN=010000A8900016F000169DC0;Flag=5;CP=&&RtdInterval=30&&");
  std::string lower = good; // CRC 1C80 written 1c80
  for (size_t i = lower.size() - 6; i < lower.size() - 2; ++i) lower[i] = static_cast<char>(std::tolower(lower[i]));
  std::string bad_len = good;
  bad_len[5] = static_cast<char>(bad_len[5] + 1);
  std::string blank_len = good;
  blank_len[2] = ' ';
  std::string bad_crc = good;
  bad_crc[bad_crc.size() - 3] = bad_crc[bad_crc.size() - 3] == '0' ? '1' : '0';
  struct {
    std::string frame;
    Verdict want;
  } cases[] = {
      {good, Verdict::Ok},
      {lower, Verdict::BadCrc},
      {bad_len, Verdict::LengthMismatch},
      {blank_len, Verdict::BadLengthField}, // a platform wants four digits
      {bad_crc, Verdict::BadCrc},
      {"##00", Verdict::TooShort},
      {HJ::wrap_frame(""), Verdict::TooShort}, // 12 bytes: the plug-in queues no empty data segment
      {"xx" + good.substr(2), Verdict::NoStart},
      {good.substr(0, good.size() - 1) + "X", Verdict::NoEnd},
  };
  for (const auto& c : cases) EXPECT_EQ(sim::check_frame(c.frame).verdict, c.want) << c.frame;
}

TEST(SimFrame, LengthAndCrcOverUtf8AreRecognisedOnGb18030Bytes) {
  std::string utf8 = "ST=32;CN=2011;CP=&&Name=\xE6\xB5\x8B\xE8\xAF\x95&&"; // a Chinese word in UTF-8
  std::string framed = HJ::wrap_frame(utf8);
  // what the plug-in puts on the wire: the same frame in GB18030 (the word is 4 bytes there)
  std::string wire = framed;
  wire.replace(wire.find("\xE6\xB5\x8B\xE8\xAF\x95"), 6, "\xB2\xE2\xCA\xD4");
  sim::FrameCheck c = sim::check_frame(wire);
  EXPECT_EQ(c.verdict, Verdict::OkAfterConversion);
  EXPECT_EQ(c.segment, utf8);
  EXPECT_EQ(sim::check_frame(framed).verdict, Verdict::Ok);
}

// Traces are grepped: a GB18030 frame reads as UTF-8 text, other bytes as \xHH, never raw.
TEST(SimFrame, TracesShowTextAsUtf8) {
  const struct {
    std::string cp, shown;
  } cases[] = {
      {"SiteName=\xB2\xE2\xCA\xD4", "SiteName=\xE6\xB5\x8B\xE8\xAF\x95"}, // GB18030 on the wire
      {"SiteName=\xE6\xB5\x8B", "SiteName=\xE6\xB5\x8B"},                 // UTF-8 as it stands
      {"a=\x01\xFF\xFF", "a=\\x01\\xFF\\xFF"},                            // neither, and a control byte
      {"a=\xC2\x9B"
       "2J\xE2\x80\xAE"
       "b\xE2\x81\xA6",
       "a=\\xC2\\x9B2J\\xE2\\x80\\xAEb\\xE2\\x81\\xA6"}, // CSI, right-to-left override, isolate
  };
  for (const auto& c : cases) {
    std::string line = sim::describe_frame(HJ::wrap_frame("QN=1;ST=32;CN=2011;Flag=4;CP=&&" + c.cp + "&&"));
    EXPECT_NE(line.find("CP=" + c.shown), std::string::npos) << line;
  }
  std::string long_cp(119, 'a');
  std::string cut = sim::describe_frame(HJ::wrap_frame("CN=2011;CP=&&" + long_cp + "\xE6\xB5\x8B&&"));
  EXPECT_NE(cut.find(long_cp + "..."), std::string::npos) << "a character is not cut in two: " << cut;
}

TEST(SimSegment, HeaderAndCpFields) {
  sim::Segment s = sim::parse_segment("QN=20200101120000000;ST=32;CN=2011;Flag=5;CP=&&DataTime=20200101120000;a01012-Rtd=25.3,a01012-Flag=N&&");
  EXPECT_EQ(s.value("QN"), "20200101120000000");
  EXPECT_EQ(s.value("CN"), "2011");
  EXPECT_EQ(s.value("N"), ""); // exact keys, not tails of longer names
  ASSERT_TRUE(s.has_cp);
  ASSERT_NE(s.cp_get("a01012-Flag"), nullptr);
  EXPECT_EQ(*s.cp_get("a01012-Flag"), "N");
  EXPECT_EQ(*s.cp_get("DataTime"), "20200101120000");
  EXPECT_EQ(s.get("a01012-Rtd"), nullptr);
}

// The generated tables against the data they come from, the lookups, and the Nx.y rule.
TEST(CodeTables, LookupsAndFormatRule) {
  ASSERT_EQ(codes::pollutant_count(), 341u) << "rows of data/hj212-codes.json";
  for (std::size_t i = 0; i < codes::pollutant_count(); ++i) {
    const codes::Pollutant& p = codes::pollutant_at(i);
    EXPECT_TRUE(p.name[0] && p.en[0]) << p.code;
    EXPECT_TRUE(!p.format[0] || codes::parse_format(p.format).number) << p.code << " " << p.format;
  }
  struct Lookup {
    const char* code;
    const char* en; // nullptr: not a code
  } lookups[] = {
      {"a21024", "hydrogen chloride"},
      {"w01018", "COD (chemical oxygen demand)"},
      {"L95", "percentile sound level L95"},
      {"e10101", "inlet flow"},
      {"g11999", "desulphurisation rate"},
      {"e1010", nullptr},
      {"e101x1", nullptr},
      {"a2102", nullptr},
      {"W01018", nullptr},
      {"", nullptr},
  };
  for (const Lookup& l : lookups) {
    const codes::Pollutant* p = codes::pollutant(l.code);
    EXPECT_EQ(p ? std::string(p->en) : "none", l.en ? l.en : "none") << l.code;
  }
  EXPECT_STREQ(codes::second_meaning(*codes::pollutant("g11901"))->en, "inlet sulphur dioxide (SO2)");
  struct Old {
    const char *code, *code_2017;
  } olds[] = {{"011", "w01018"}, {"01", "a34013"}, {"B02", "a00000"}, {"S01", "a19001"}, {"B03", nullptr}, {"w01018", nullptr}};
  for (const Old& o : olds) {
    const codes::Pollutant* p = codes::pollutant_2005(o.code);
    EXPECT_EQ(p ? std::string(p->code) : "none", o.code_2017 ? o.code_2017 : "none") << o.code;
  }
  EXPECT_TRUE(codes::known_code("B03") &&
              codes::known_code("i3331"
                                "4") &&
              !codes::known_code("w0118"));
  EXPECT_EQ(codes::nearest_code("w0118"), "w01018");
  EXPECT_EQ(codes::nearest_code("e10l02"), "e10102");
  EXPECT_EQ(codes::nearest_code("a34031"), "a34013"); // two digits swapped, not the one-digit neighbour a34001
  struct Flag {
    const char* flag;
    int version;
    const char* en; // nullptr: not a flag of that version
  } flags[] = {{"D", 1, "instrument fault"},
               {"D", 2, "instrument fault"},
               {"B", 1, "communication fault between instrument and data logger"},
               {"B", 0, nullptr},
               {"P", 0, "power failure"},
               {"P", 1, nullptr},
               {"P", -1, "power failure"},
               {"X", -1, nullptr},
               {"N ", 1, nullptr},
               {"", 1, nullptr}};
  for (const Flag& f : flags) {
    const codes::DataFlag* d = codes::data_flag(f.flag, f.version);
    EXPECT_EQ(d ? std::string(d->en) : "none", f.en ? f.en : "none") << f.flag << " " << f.version;
  }
  EXPECT_STREQ(codes::command_text("2011"), "start real-time pollutant data / upload real-time pollutant data");
  EXPECT_STREQ(codes::command_text("9015"), "heartbeat (tells the host the link is online) (2025)");
  EXPECT_EQ(codes::command_text("2999"), nullptr);
  EXPECT_STREQ(codes::answer_text("ExeRtn", "100"), "no data");
  const std::string huge(10000, '9');
  struct Value {
    const char *value, *format;
    const char* problem; // a part of it; "": fits
  } values[] = {
      {"12.3", "N5.1", ""},
      {"-12.3", "N5.1", ""},
      {"+12345.6", "N5.1", ""},
      {"12.34", "N5.1", "2 decimals; the default format N5.1 has 1"},
      {"123456.7", "N5.1", "6 digits before the point; the default format N5.1 has 5"},
      {"0.123", "N3.3", ""},
      {".5", "N3.3", ""},
      {"0.1234", "N3.3", "4 decimals"},
      {"5.", "N4", ""},
      {"7", "N4", ""},
      {"3.2", "N4", "1 decimal; the default format N4 is a whole number"},
      {"12345", "N4", "5 digits"},
      {"1.5E3", "N5.1", "exponent"},
      {"1e-2", "N5.1", "exponent"},
      {"1e", "N5.1", "not a number"},
      {"1.2.3", "N5.1", "not a number"},
      {"NaN", "N5.1", "not a number"},
      {"inf", "N5.1", "not a number"},
      {"-", "N5.1", "not a number"},
      {"", "N5.1", "not a number"},
      {" 1", "N5.1", "not a number"},
      {"0x1A", "N5.1", "not a number"},
      {"abc", "C890", ""},
      {"abc", "YYYYMMDDHHMMSS", ""},
      {huge.c_str(), "N5.1", "10000 digits before the point"},
  };
  for (const Value& v : values) {
    std::string problem = codes::format_problem(v.value, v.format);
    EXPECT_EQ(problem.empty(), !*v.problem) << v.value << " " << v.format << ": " << problem;
    EXPECT_NE(problem.find(v.problem), std::string::npos) << v.value << " " << v.format << ": " << problem;
  }
}

TEST(SimLine, SerialSettings) {
  struct {
    const char* text;
    bool ok;
    int baud, bits;
    char parity;
    int stop;
  } cases[] = {
      {"9600", true, 9600, 8, 'N', 1}, {"115200:7e2", true, 115200, 7, 'E', 2}, {"19200:8O1", true, 19200, 8, 'O', 1},
      {"9601", false, 0, 0, 0, 0},     {"9600:9N1", false, 0, 0, 0, 0},         {"9600:8X1", false, 0, 0, 0, 0},
      {"", false, 0, 0, 0, 0},         {"9600:8N", false, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    sim::SerialSettings s;
    ASSERT_EQ(sim::parse_serial_settings(c.text, s), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(s.baud, c.baud);
    EXPECT_EQ(s.data_bits, c.bits);
    EXPECT_EQ(s.parity, c.parity);
    EXPECT_EQ(s.stop_bits, c.stop);
  }
}

} // namespace
