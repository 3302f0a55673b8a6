// polmon-frame's verdicts and reasons: every field frame of the test data, and the field mistakes
// it names (Modbus CRC, length counted in the other charset, log text around frames, hex dumps).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <cstdio>
#include <fstream>

#include "Sm4Example.h"
#include "hj212/Charset.h"
#include "hj212/Envelope.h"
#include "hj212/FrameScanner.h"
#include "tests/hj212/FieldFrames.h"
#include "tools/common/Capture.h"
#include "tools/common/Explain.h"
#include "tools/frame/CaptureFrames.h"

namespace {

std::string Only(const std::string& input, frametool::Report& report, const std::string& key = std::string()) {
  std::vector<frametool::Span> spans = frametool::find_spans(input, key);
  if (spans.size() != 1) return "spans: " + std::to_string(spans.size());
  report = frametool::explain(spans[0], key);
  return spans[0].bytes;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "|";
  return out;
}

// The note of each line of frames.txt names its fault; the inspector must give the same one.
TEST(FrameInspector, FieldFramesGetTheirVerdictAndReason) {
  for (const enginetest::FieldFrame& field : enginetest::LoadFieldFrames(POLMON_FIELD_FRAMES)) {
    frametool::Report report;
    std::string log = "2024-05-01 12:00:00 RX " + field.frame.substr(0, field.frame.size() - 2) + "\n";
    ASSERT_EQ(Only(log, report) + "\r\n", field.frame);
    EXPECT_EQ(report.accepted, field.accept) << field.frame;
    std::string reasons = Joined(report.reasons);
    EXPECT_EQ(reasons.empty(), field.accept) << field.frame;
    bool modbus = field.note.find("Modbus CRC") != std::string::npos;
    bool lowFirst = field.note.find("low byte first") != std::string::npos;
    bool crc = modbus || field.note.find("wrong CRC") != std::string::npos;
    bool length = field.note.find("length field does not match") != std::string::npos;
    EXPECT_EQ(reasons.find("crc: announced") != std::string::npos, crc) << reasons;
    EXPECT_EQ(reasons.find("Modbus CRC-16") != std::string::npos, modbus) << reasons;
    EXPECT_EQ(reasons.find("low byte first") != std::string::npos, lowFirst) << reasons;
    EXPECT_EQ(reasons.find("length: announced") != std::string::npos, length) << reasons;
    bool lower = field.accept && field.note.find("lower case") != std::string::npos;
    EXPECT_EQ(Joined(report.notes).find("lower case") != std::string::npos, lower) << field.frame;
    // a plain data frame's Modbus CRC is no matter of a key: with one, the same reasons
    frametool::Report keyed;
    Only(log, keyed, "0000000000000000");
    if (modbus) {
      EXPECT_EQ(Joined(keyed.reasons), reasons) << field.frame;
    }
  }
}

TEST(FrameInspector, NamesTheFieldMistakes) {
  const std::string utf8 = "ST=32;CN=2011;CP=&&Site=\xE6\xB0\xB4\xE8\xB4\xA8\xE7\xAB\x99&&"; // 35 bytes
  const std::string gb = "ST=32;CN=2011;CP=&&Site=\xCB\xAE\xD6\xCA\xD5\xBE&&";               // 32 bytes
  struct Case {
    std::string input;
    bool accepted;
    std::string reason;     // a part of the reasons
    std::string verdict;    // a part of the verdict line: what ended the span, what the verdict means
    std::string shown = ""; // a part of the lines below it
    std::string json = "";  // a part of the JSON object
  } cases[] = {
      {"##0035" + gb + HJ::do_crc_check(utf8), false,
       "actual 32 bytes; the data is GB18030 and its UTF-8 form has 35 bytes: the length was counted over UTF-8",
       "42 bytes without CR LF (then the end of the input), REJECTED even with CR LF added\n"},
      {"##0035" + gb + HJ::do_crc_check(utf8), false, "it is the CRC over the data's UTF-8 form", ""},
      {"##0032" + utf8 + HJ::do_crc_check(utf8), false, "its GB18030 form has 32 bytes: the length was counted over GB18030", "",
       "length: 0032 (data 35 bytes, UTF-8)"},
      // a received GB18030 frame as a script holds it: UTF-8 text under the wire's length and CRC
      {"##0032" + utf8 + HJ::do_crc_check(gb), true, "",
       "45 bytes without CR LF (then the end of the input), ACCEPTED once CR LF is added (a log line's frame: the plug-in would not queue these bytes)\n",
       "  text:   given as the runtime's UTF-8 text (35 data bytes); checked in its wire charset GB18030 (32 bytes)"},
      {"##0035" + utf8 + HJ::do_crc_check(gb), false, "it is the CRC over the data's GB18030 form", "", "length: 0035 (data 35 bytes, UTF-8)"},
      {"##0032" + gb + HJ::do_crc_check(gb) + " (sent)", true, "",
       "42 bytes without CR LF (then other text), ACCEPTED once CR LF is added (a log line's frame: the plug-in would not queue these bytes)\n", "",
       "\"crlf\":false,\"ending\":\"other text\",\"verdict\":\"log_line\""},
      // the bytes of a link: a frame whose LF was damaged, and one cut before its LF, are no frames the plug-in queues
      {"##0005ST=3260C0\rZ", true, "",
       "15 bytes without CR LF (then other text), ACCEPTED once CR LF is added (a log line's frame: the plug-in would not queue these bytes)\n", "",
       "\"verdict\":\"log_line\""},
      {"##0035" + utf8 + HJ::do_crc_check(utf8), true, "", ""},
      {"##00x5ST=3260C0", false, "length field \"00x5\" is not a number; the data has 5 bytes", ""},
      {"##0005ST=3260C0\\r\\n more log", true, "",
       "17 bytes with CR LF written out as \\r\\n, ACCEPTED as a log line's frame (the plug-in would not queue these bytes)\n", "",
       "\"verdict\":\"log_line\""},
      {"##12", false, "too short: 4 bytes", "4 bytes without CR LF (then the end of the input), REJECTED even with CR LF added\n"},
      {"##0005ST=3260C0\r\nRX", true, "", "17 bytes with CR LF, ACCEPTED\n", "", "\"crlf\":true,\"ending\":\"CR LF\",\"verdict\":\"accept\""},
      {"##0005ST=3260C1\r\n", false, "crc: announced 60C1", "17 bytes with CR LF, REJECTED\n", "", "\"scanner\":\"crc\""},
      {"##0009ST=3260C0\r\n", false, "length: announced 9, actual 5 bytes", "17 bytes with CR LF, REJECTED\n", "", "\"scanner\":\"length\""},
      {"RX ##0005ST=3260C0\n", true, "",
       "15 bytes without CR LF (then LF alone), ACCEPTED once CR LF is added (a log line's frame: the plug-in would not queue these bytes)\n"},
      {"RX ##0005ST=3260C0 \r\n", true, "", "15 bytes without CR LF (then blanks and CR LF), ACCEPTED once"},
      {"RX ##0005ST=3260C0\r", true, "",
       "15 bytes without CR LF (then CR and the end of the input), ACCEPTED once CR LF is added (a log line's frame: the plug-in would not queue these bytes)\n",
       "", "\"verdict\":\"log_line\""},
      {HJ::wrap_frame("ST=3\x01"), false, "holds a control byte (byte 0x01 at offset 4 of the data segment)", ""},
  };
  for (const Case& c : cases) {
    frametool::Report report;
    Only(c.input, report);
    EXPECT_EQ(report.accepted, c.accepted) << c.input;
    EXPECT_NE(Joined(report.reasons).find(c.reason), std::string::npos) << Joined(report.reasons);
    std::string verdict = frametool::text_report(1, frametool::find_spans(c.input)[0], report);
    EXPECT_NE(verdict.substr(0, verdict.find('\n') + 1).find(c.verdict), std::string::npos) << verdict;
    EXPECT_NE(verdict.find(c.shown, verdict.find('\n')), std::string::npos) << verdict;
    const std::string json = frametool::json_report(1, frametool::find_spans(c.input)[0], report);
    EXPECT_EQ(json.find("\"given_bytes\":35,\"wire_charset\":\"GB18030\"") != std::string::npos,
              verdict.find("checked in its wire charset GB18030") != std::string::npos)
        << json;
    EXPECT_NE(json.find(c.json), std::string::npos) << json;
  }
}

// A span's line end is looked for once: a search to the end of the input for each span made a
// 10 MB log take minutes. Best of five timings of 1,000 and 16,000 frames, taken in turns, on
// lines and on one line: linear work grows 16 times, the quadratic search about 250 times.
TEST(FrameInspector, LogsAreCutInLinearTime) {
  for (const char* separator : {"\n", " "}) {
    auto log = [separator](int lines) {
      const std::string frame = "##0101QN=20160801085857223;ST=32;CN=1062;PW=100000;MN=010000A8900016F000169DC0;Flag=5;CP=&&RtdInterval=30&&1C80";
      std::string text;
      for (int i = 0; i < lines; ++i) text += "12:00:00." + std::to_string(i % 1000) + " RX " + frame + " (" + std::to_string(i) + ")" + separator;
      return text;
    };
    const std::string small = log(1000), big = log(16000);
    auto seconds = [](const std::string& input, std::size_t spans) {
      auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(frametool::find_spans(input).size(), spans);
      return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    double best_small = 1e9, best_big = 1e9;
    for (int round = 0; round < 5; ++round) {
      best_small = std::min(best_small, seconds(small, 1000));
      best_big = std::min(best_big, seconds(big, 16000));
    }
    EXPECT_LT(best_big / best_small, 64.0) << best_small << " s for 1,000 frames, " << best_big << " s for 16,000, separated by \"" << separator
                                           << "\"";
  }
  // A span without a line end is given up after the largest frame, as the plug-in gives it up:
  // spans stay that small however long the line, and a frame behind such a start is still found.
  std::string repeated;
  while (repeated.size() < 1000000) repeated += "##9999QN=1;CN=2011;CP=&&xx";
  const std::string good = HJ::wrap_frame("QN=1;ST=32;CN=2011;Flag=5;CP=&&w01018-Rtd=" + std::string(1500, '7') + "&&");
  struct {
    std::string input;
    std::size_t spans; // at most
    bool last_accepted;
  } rows[] = {
      {repeated, repeated.size() / HJ::kMaxFrameBytes + 1, false},
      {"##0100" + std::string(12000, 'x') + good, 3, true},
      {"##0100" + std::string(9000, 'x') + good, 2, true},
  };
  for (const auto& r : rows) {
    const std::vector<frametool::Span> spans = frametool::find_spans(r.input);
    ASSERT_TRUE(!spans.empty() && spans.size() <= r.spans) << spans.size() << " spans in " << r.input.substr(0, 40);
    for (const frametool::Span& span : spans) EXPECT_LE(span.bytes.size(), HJ::kMaxFrameBytes) << r.input.substr(0, 40);
    EXPECT_EQ(spans.back().crlf && frametool::explain(spans.back()).accepted, r.last_accepted) << r.input.substr(0, 40);
    // read as a stream, the same spans come out and memory stays bounded by the largest frame, not the input
    frametool::SpanCutter cutter;
    std::size_t streamed = 0, most = 0;
    const frametool::SpanCutter::Sink count = [&](frametool::Span&& span) { EXPECT_EQ(span.bytes, spans[streamed++].bytes); };
    for (std::size_t at = 0; at < r.input.size(); at += 4096) {
      cutter.feed(r.input.data() + at, std::min<std::size_t>(4096, r.input.size() - at), count);
      most = std::max(most, cutter.held());
    }
    cutter.finish(count);
    EXPECT_EQ(streamed, spans.size());
    EXPECT_LE(most, 8 * HJ::kMaxFrameBytes) << r.input.substr(0, 40); // the input: 100 of them
  }
}

// Bytes as xxd prints them: offset, groups of two bytes, two blanks, the text column.
std::string Xxd(const std::string& bytes) {
  std::string out;
  char buf[32];
  for (std::size_t at = 0; at < bytes.size(); at += 16) {
    std::snprintf(buf, sizeof buf, "%08zx:", at);
    out += buf;
    std::string text;
    for (std::size_t i = at; i < at + 16; ++i) {
      unsigned char c = i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0;
      std::snprintf(buf, sizeof buf, i % 2 ? "%02x" : " %02x", c);
      out += i < bytes.size() ? buf : (i % 2 ? "  " : "   ");
      if (i < bytes.size()) text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
    }
    out += "  " + text + "\n";
  }
  return out;
}

// The worked example, raw (its ciphertext holds an LF; also from an xxd dump, whose text column
// holds the QN's digits) and as {0x..} text, with the key, a wrong one and none; a raw frame a
// text log cut at that LF or re-encoded; a key that must not show.
TEST(FrameInspector, EncryptedFramesAndDamagedLines) {
  const tooltest::Sm4Example e = tooltest::LoadSm4Example(POLMON_TOOLS_DATA "/sm4_example.txt");
  ASSERT_NE(e.raw.find('\n'), e.raw.size() - 1) << "the example's ciphertext holds an LF";
  const std::string wrong = "1111111111111111";
  const std::string lf_cut = "2024 RX " + e.raw.substr(0, e.raw.find('\n')) + "\n2024 .. " + e.raw.substr(e.raw.find('\n') + 1);
  std::string replaced = "2024 RX ";
  for (unsigned char c : e.raw.substr(0, e.raw.size() - 2))
    if (c >= 0x80) replaced += "\xEF\xBF\xBD";
    else if (c >= 0x20) replaced += static_cast<char>(c);
  const std::string exchange = HJ::wrap_frame("QN=1;ST=91;CN=1014;PW=1;MN=M;Flag=9;CP=&&NewSK=Secret16Secret16&&");
  const std::string printed = "##0295" + e.text.substr(6); // the text form under the plain segment's length, as the standard prints it
  const std::string cipher_segment = e.raw.substr(6, e.raw.size() - 12);
  const std::string crc_over_cipher = e.raw.substr(0, e.raw.size() - 6) + HJ::do_crc_check(cipher_segment) + "\r\n";
  enum Verdict { Accept, Reject, Unjudged };
  struct Case {
    const char* name;
    std::string input, key;
    Verdict verdict;
    std::string reason; // a part of the reasons
    sim::CipherWire decrypted;
    std::string line; // a part of the verdict line: what ended the span (a raw one followed past its LF)
  } cases[] = {
      {"raw, no key", e.raw, "", Reject, "looks encrypted (raw): give the key", sim::CipherWire::Plain, " bytes with CR LF, REJECTED\n"},
      {"raw, key", e.raw, e.key, Accept, "", sim::CipherWire::Raw, " bytes with CR LF, ACCEPTED\n"},
      {"raw from xxd, key", frametool::hex_to_bytes(Xxd("noise\r\n" + e.raw)), e.key, Accept, "", sim::CipherWire::Raw, "with CR LF"},
      {"raw, wrong key", e.raw, wrong, Reject, "not 2200 either: a wrong key", sim::CipherWire::Plain, "with CR LF"},
      {"text, no key", "2024 RX " + e.text, "", Reject, "looks encrypted ({0x..} text): give the key", sim::CipherWire::Plain, "with CR LF"},
      {"text, key", "2024 RX " + e.text, e.key, Accept, "", sim::CipherWire::Text, "with CR LF"},
      {"cut at LF", lf_cut, e.key, Unjudged, "a text log cut the line", sim::CipherWire::Plain,
       " bytes without CR LF (then LF alone), CANNOT BE JUDGED\n"},
      {"re-encoded", replaced, e.key, Unjudged, "U+FFFD replacement characters", sim::CipherWire::Plain,
       " bytes without CR LF (then the end of the input), CANNOT BE JUDGED\n"},
      {"key exchange", exchange, "", Accept, "", sim::CipherWire::Plain, "with CR LF"},
      {"LF alone inside, CR LF at the announced end", "##0010abc\ndefghi0000\r\n", "", Reject, "crc: announced 0000", sim::CipherWire::Plain,
       " bytes with CR LF, REJECTED\n"},
      {"text under the plain length, key", "2024 RX " + printed, e.key, Accept, "", sim::CipherWire::Text, "with CR LF"},
      {"text under the plain length, wrong key", "2024 RX " + printed, wrong, Reject, "not 2200 either", sim::CipherWire::Plain, "with CR LF"},
      {"raw, CRC over the ciphertext, key", crc_over_cipher, e.key, Reject, "the CRC fits the bytes as received, but with a key",
       sim::CipherWire::Plain, "REJECTED"},
  };
  for (const Case& c : cases) {
    frametool::Report r;
    std::string span = Only(c.input, r, c.key);
    EXPECT_EQ(span.rfind("##", 0), 0u) << c.name << ": " << span;
    EXPECT_EQ(r.accepted, c.verdict == Accept) << c.name;
    EXPECT_EQ(r.judged, c.verdict != Unjudged) << c.name;
    EXPECT_NE(Joined(r.reasons).find(c.reason), std::string::npos) << c.name << ": " << Joined(r.reasons);
    EXPECT_EQ(r.encryption, c.decrypted) << c.name;
    std::string out = frametool::text_report(1, frametool::find_spans(c.input, c.key)[0], r);
    EXPECT_NE(out.substr(0, out.find('\n') + 1).find(c.line), std::string::npos) << c.name << ": " << out;
    const char* json_verdict[] = {"\"verdict\":\"accept\"", "\"verdict\":\"reject\"", "\"verdict\":\"unjudged\""};
    EXPECT_NE(frametool::json_report(1, frametool::find_spans(c.input, c.key)[0], r).find(json_verdict[c.verdict]), std::string::npos) << c.name;
    if (c.decrypted != sim::CipherWire::Plain) { // shown plain, with the lengths of both
      EXPECT_EQ(r.plain_bytes, 295u) << c.name;
      ASSERT_EQ(r.cp.size(), 13u) << c.name;
      EXPECT_EQ(r.cp.back().first + "=" + r.cp.back().second, "a01014-Flag=N") << c.name;
      EXPECT_NE(out.find(std::string("encrypted (") + sim::cipher_wire_text(c.decrypted) + ")"), std::string::npos) << out;
    }
    EXPECT_EQ(out.find("Secret16"), std::string::npos) << out;
    EXPECT_EQ(frametool::json_report(1, frametool::find_spans(c.input, c.key)[0], r).find("Secret16"), std::string::npos) << c.name;
  }
}

// Each CP item named from the code tables, with the notes a platform's intake would make; notes
// never change the verdict, and hostile codes, flags and values come out as text.
TEST(FrameInspector, ReadsValuesAgainstTheCodeTables) {
  const std::string air = "QN=20261208120000000;ST=31;CN=2011;PW=123456;MN=010000A8900016F000169DC0;Flag=5;CP=&&DataTime=20261208120000;"
                          "a21024-Rtd=12.345678,a21024-Flag=N;w01018-Rtd=123456.7,w01018-Flag=X;a34013-Rtd=3.2,a34013-Flag=D&&";
  const std::string digits(9900, '7'); // as long as a frame's value can be
  struct Case {
    std::string data, key;
    std::string meaning;   // a part of what the item is said to be (and its flag's meaning)
    std::string note;      // a part of its notes; empty: none
    bool rejected = false; // notes never reject; a control byte in the data segment does
  } cases[] = {
      {air, "a21024-Rtd", "hydrogen chloride (氯化氢), real-time value, mg/m³", "6 decimals; the default format N4.3 has 3"},
      {air, "w01018-Rtd", "COD (chemical oxygen demand)", "w01018 is a water factor (table B.1) in a frame of ST 31"},
      {air, "w01018-Flag", "data flag", "flag X is no data flag of HJ 212-2017"},
      {air, "a34013-Flag", "data flag: instrument fault", ""},
      {air, "a34013-Rtd", "mg/m³", "1 decimal; the default format N4 is a whole number"},
      {"ST=32;CN=2011;CP=&&011-Rtd=25.3,011-Flag=P&&", "011-Rtd", "(化学需氧量), 2017 code w01018, real-time value, mg/L", ""},
      {"ST=32;CN=2011;CP=&&011-Rtd=25.3,011-Flag=P&&", "011-Flag", "power failure", ""},
      {"ST=32;CN=2011;Flag=5;CP=&&w01018-Flag=P&&", "w01018-Flag", "", "flag P is no data flag of HJ 212-2017"},
      {"ST=32;CN=2011;Flag=0;CP=&&w01018-Flag=B&&", "w01018-Flag", "", "flag B is no data flag of HJ/T 212-2005"},
      {"ST=32;CN=2051;Flag=5;CP=&&e10203-Avg=5.5,w01018-Cou=1.5&&", "e10203-Avg", "inlet COD (进水口COD), average, mg/L", ""},
      {"ST=32;CN=2051;Flag=5;CP=&&e10203-Avg=5.5,w01018-Cou=1.5&&", "w01018-Cou", "cumulative amount, kg", ""},
      {"ST=32;CN=3020;Flag=5;CP=&&i12001-Info=2&&", "i12001-Info", "instrument working state (工作状态); 0 running", ""},
      {"ST=32;CN=1001;Flag=9;CP=&&i23005-Info=POLMONDL0000000001;i23008-Info=02-00-5E-10-00-02&&", "i23005-Info", "data logger id; sent on CN 1001",
       ""},
      {"ST=32;CN=1001;Flag=9;CP=&&i23005-Info=POLMONDL0000000001;i23008-Info=02-00-5E-10-00-02&&", "i23008-Info", "data logger MAC address 2;", ""},
      {"ST=91;CN=9011;Flag=4;CP=&&QnRtn=3&&", "QnRtn", "PW (password) wrong", ""},
      {"ST=32;CN=2011;Flag=5;CP=&&w01018-Rtd=1.2.3&&", "w01018-Rtd", "", "1.2.3 is not a number (the table gives N5.1)"},
      {"ST=32;CN=2011;Flag=5;CP=&&w01018-Rtd=NaN&&", "w01018-Rtd", "", "NaN is not a number"},
      {"ST=32;CN=2011;Flag=5;CP=&&w01018-Rtd=-&&", "w01018-Rtd", "", "- is not a number"},
      {"ST=32;CN=2011;Flag=5;CP=&&w01018-Rtd=1.5E3&&", "w01018-Rtd", "", "written with an exponent"},
      {"ST=32;CN=2011;Flag=5;CP=&&w01018-Rtd=" + digits + "&&", "w01018-Rtd", "", "9900 digits before the point; the default format N5.1 has 5"},
      {"ST=32;CN=2011;Flag=5;CP=&&w\x1b[2J-Rtd=5,w01018-Flag=\x07&&", "w\x1b[2J-Rtd", "", "w\\x1B[2J is no code of the standard's tables", true},
      {"ST=32;CN=2011;Flag=5;CP=&&w\x1b[2J-Rtd=5,w01018-Flag=\x07&&", "w01018-Flag", "", "flag \\x07 is no data flag", true},
      {"ST=32;CN=2011;MN=\x1b]0;owned\x07;Flag=5;CP=&&w01018-Rtd=5&&", "w01018-Rtd", "COD", "", true},
      {"ST=32;CN=2011;MN=\x9b"
       "2J;Flag=5;CP=&&w01018-Rtd=\x9b"
       "0m&&",
       "w01018-Rtd", "COD", "0m is not a number"},
      {"ST=32;CN=2011;MN=\xc2\x9b"
       "2J;Flag=5;CP=&&w01018-Rtd=5&&",
       "w01018-Rtd", "COD", ""},
      {"ST=32;CN=2011;MN=\xE2\x80\xAE"
       "CBA;Flag=5;CP=&&w01018-Rtd=5,w01018-Flag=\xE2\x81\xA6N&&",
       "w01018-Rtd", "COD", ""},
  };
  // the bidirectional controls that reorder what a terminal shows: U+202A-202E, U+2066-2069
  const auto bidi = [](const std::string& text) {
    for (std::size_t at = text.find('\xE2'); at != std::string::npos && at + 2 < text.size(); at = text.find('\xE2', at + 1)) {
      const unsigned char b = static_cast<unsigned char>(text[at + 1]), c = static_cast<unsigned char>(text[at + 2]);
      if ((b == 0x80 && c >= 0xAA && c <= 0xAE) || (b == 0x81 && c >= 0xA6 && c <= 0xA9)) return true;
    }
    return false;
  };
  for (const Case& c : cases) {
    frametool::Report r;
    Only(HJ::wrap_frame(c.data), r);
    EXPECT_EQ(r.accepted, !c.rejected) << c.key;
    auto it = std::find_if(r.items.begin(), r.items.end(), [&](const codes::Item& i) { return i.key == c.key; });
    ASSERT_NE(it, r.items.end()) << c.key;
    EXPECT_NE((it->meaning + ": " + it->flag_meaning).find(c.meaning), std::string::npos) << c.key << ": " << it->meaning;
    std::vector<std::string> notes;
    for (const codes::Note& n : it->notes) notes.push_back(n.text);
    EXPECT_EQ(notes.empty(), c.note.empty()) << c.key << ": " << Joined(notes);
    EXPECT_NE(Joined(notes).find(c.note), std::string::npos) << c.key << ": " << Joined(notes);
    const std::string out = frametool::text_report(1, frametool::find_spans(HJ::wrap_frame(c.data))[0], r);
    EXPECT_TRUE(notes.empty() || out.find("note: " + notes[0]) != std::string::npos) << out;
    EXPECT_EQ(out.find_first_of(std::string("\x1b\x07", 2)), std::string::npos) << "control bytes reach the terminal";
    EXPECT_TRUE(HJ::is_utf8(out.data(), out.size()) && out.find("\xc2\x9b") == std::string::npos) << "a C1 control reaches the terminal";
    const std::string json = frametool::json_report(1, frametool::find_spans(HJ::wrap_frame(c.data))[0], r);
    EXPECT_FALSE(bidi(out) || bidi(json)) << "a bidirectional control reaches the terminal: " << out;
    EXPECT_NE(json.find("\"items\":[{\"key\":"), std::string::npos);
  }
  // A frame after a bad "##" on the same line is found, as the plug-in's scanner finds it ("###":
  // the frame's own "##" leaves one stray "#", no span of its own).
  for (const std::string line :
       {"RX ##12##0005ST=3260C0\r\n", "RX ###0005ST=3260C0\r\n", "RX ##00xx junk ##0005ST=3260C0 (sent)\n", "## ##0005ST=3260C0"}) {
    std::vector<frametool::Span> spans = frametool::find_spans(line);
    const std::size_t bad = line.find("###") == std::string::npos ? 1 : 0;
    ASSERT_EQ(spans.size(), bad + 1) << line;
    EXPECT_TRUE(bad == 0 || !frametool::explain(spans[0]).accepted) << line;
    EXPECT_EQ(spans[bad].bytes, "##0005ST=3260C0") << line;
    EXPECT_TRUE(frametool::explain(spans[bad]).accepted) << line;
  }
}

// A capture of valid frames among noise (stray "#" and "##", runs of "#", CR LF, LF, cut-off
// frames, text), read as polmon-frame reads a file and as the plug-in's scanner reads the wire:
// the frames the inspector accepts with their CR LF are the frames the plug-in queues, in order.
TEST(FrameInspector, FindsTheFramesThePluginQueuesInNoise) {
  const std::string frames[] = {
      HJ::wrap_frame("QN=20160801085857223;ST=32;CN=1062;PW=100000;MN=010000A8900016F000169DC0;Flag=5;CP=&&RtdInterval=30&&"),
      HJ::wrap_frame("QN=20240101000000001;ST=32;CN=2011;PW=123456;MN=M1;Flag=4;CP=&&DataTime=20240101000000;w01018-Rtd=1.5&&"),
      HJ::wrap_frame("ST=91;CN=9011;Flag=4;CP=&&QnRtn=1&&"),
  };
  const std::string noise[] = {"#", "##", "\r\n", "###", "#####", "x", "12:00:00 RX ", "#\r\n", "##\r\n", " ", "\n", "\t", "\r", "##0005", "CP=&&"};
  std::mt19937 random(212);
  std::string capture;
  std::size_t sent = 0;
  while (capture.size() < 200000) {
    const std::string& frame = frames[random() % 3];
    switch (random() % 4) {
    case 0: capture += frame.substr(0, random() % frame.size()); break; // cut off
    case 1:
      capture += frame;
      ++sent;
      break;
    default: capture += noise[random() % (sizeof noise / sizeof noise[0])];
    }
  }
  std::vector<std::string> inspector, plugin;
  for (const frametool::Span& span : frametool::find_spans(capture))
    if (span.crlf && frametool::explain(span).accepted) inspector.push_back(span.bytes + "\r\n");
  HJ::FrameScanner scanner;
  scanner.feed(capture.data(), capture.size(), [&](std::string&& frame) { plugin.push_back(std::move(frame)); });
  ASSERT_GT(plugin.size(), sent / 2) << "the noise hides most frames";
  auto differ = std::mismatch(inspector.begin(), inspector.end(), plugin.begin(), plugin.end());
  EXPECT_TRUE(differ.first == inspector.end() && differ.second == plugin.end())
      << inspector.size() << " frames found, " << plugin.size() << " queued; frame " << (differ.first - inspector.begin()) << ": the inspector's "
      << (differ.first == inspector.end() ? "none" : *differ.first) << ", the plug-in's "
      << (differ.second == plugin.end() ? "none" : *differ.second);
}

TEST(FrameInspector, HexDumpsAndFields) {
  frametool::Report report;
  std::string bytes = frametool::hex_to_bytes("0000: 23 23 30 30 31 32 53 54 3D 33 32 3B  ##0012ST=32;\n0010: 46 6C 61 67 3D 39 0x30 41 34 31 0D0A");
  EXPECT_EQ(bytes, "##0012ST=32;Flag=90A41\r\n");
  ASSERT_EQ(Only(bytes, report), "##0012ST=32;Flag=90A41");
  EXPECT_EQ(report.reasons.size(), 1u) << "only the CRC is wrong";
  ASSERT_EQ(report.fields.size(), 2u);
  EXPECT_EQ(report.fields[1].second, "9 (HJ 212-2025, one packet, answer wanted)");
  std::string json = frametool::json_report(1, frametool::find_spans(bytes)[0], report);
  EXPECT_NE(json.find("\"bytes\":24,\"crlf\":true,\"ending\":\"CR LF\",\"verdict\":\"reject\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"ST\":\"32 (surface water pollution source)\""), std::string::npos) << json;
}

// Captures: what a simulator writes is read back stream by stream, each frame with its time and
// the key in force; damaged, hostile and other programs' captures are read or refused, never trusted.
struct TempDir {
  std::string path;
  TempDir() {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    path = base.string();
    for (unsigned n = std::random_device{}(); !ec; ++n) { // a folder of this run's own
      const fs::path p = base / ("polmon-capture-" + std::to_string(n));
      if (fs::create_directory(p, ec)) {
        path = p.string();
        break;
      }
    }
  }
  ~TempDir() {
    for (const char* f : {"a.pcap", "b.pcap", "a.keys"}) std::remove((path + "/" + f).c_str());
    std::error_code ec;
    std::filesystem::remove(path, ec); // only when empty: never the system's folder itself
  }
  std::string file(const char* name) const { return path + "/" + name; }
};

void WriteFile(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }
std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
std::string Le32(uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
// A pcap file of little-endian headers: `link`, then each packet whole.
std::string Pcap(uint32_t link, const std::vector<std::string>& packets) {
  std::string out = Le32(0xA1B2C3D4) + std::string("\x02\x00\x04\x00", 4) + Le32(0) + Le32(0) + Le32(65535) + Le32(link);
  uint32_t t = 1000;
  for (const std::string& p : packets) out += Le32(t++) + Le32(0) + Le32(uint32_t(p.size())) + Le32(uint32_t(p.size())) + p;
  return out;
}
// A TCP segment in IPv6 behind Ethernet with a VLAN tag, as another program's capture has it.
std::string EthernetIpv6Tcp(uint32_t seq, const std::string& payload) {
  std::string tcp = std::string("\x10\x00\x0F\xA0", 4) + std::string{char(seq >> 24), char(seq >> 16), char(seq >> 8), char(seq)} +
                    std::string("\0\0\0\0\x50\x18\xFF\xFF\0\0\0\0", 12) + payload;
  std::string ip6 = std::string("\x60\0\0\0", 4) + std::string{char(tcp.size() >> 8), char(tcp.size())} + std::string("\x06\x40", 2) +
                    std::string(15, '\0') + "\x01" + std::string(15, '\0') + "\x01" + tcp;
  return std::string(12, '\x02') + std::string("\x81\x00\x00\x05\x86\xDD", 6) + ip6;
}

// The same, opening its connection: a SYN whose sequence number is `seq`, with a window scale
// option when `scale` >= 0; `answer`: the SYN-ACK the other way.
std::string Syn(uint32_t seq, int scale = -1, bool answer = false) {
  std::string p = EthernetIpv6Tcp(seq, scale < 0 ? "" : std::string{'\x03', '\x03', char(scale), '\x01'});
  const size_t tcp = 18 + 40;
  p[tcp + 13] = answer ? '\x12' : '\x02';
  if (scale >= 0) p[tcp + 12] = '\x60';
  if (answer) p.replace(tcp, 4, "\x0F\xA0\x10\x00");
  return p;
}

TEST(FrameInspector, CapturesReadBackWithTheirTimesAndKeys) {
  const tooltest::Sm4Example e = tooltest::LoadSm4Example(POLMON_TOOLS_DATA "/sm4_example.txt");
  const std::string request = HJ::wrap_frame("QN=20240520210700000;ST=31;CN=1062;PW=123456;MN=M;Flag=9;CP=&&RtdInterval=30&&");
  const std::string big(70000, 'x'); // more than one IPv4 packet holds
  TempDir dir;
  int64_t before = sim::wall_us();
  {
    std::string error;
    std::unique_ptr<sim::Capture> c = sim::Capture::open(dir.file("a.pcap"), error);
    ASSERT_TRUE(c) << error;
    int id = c->begin({0x7F000001, 5000}, {0x7F000001, 4000}, false); // the platform: the station connected
    c->sent(id, request.data(), 20);                                  // a frame in two writes
    c->sent(id, request.data() + 20, request.size() - 20);
    c->received(id, big.data(), big.size());
    c->received(id, e.raw.data(), e.raw.size());
    c->end(id);
    c->sent(id, "##", 2); // after the end: no connection to put it in
    int line = c->begin_serial(true);
    c->sent(line, request.data(), request.size());
    EXPECT_EQ(c->failure(), "");
  }
  std::vector<sim::CapturedFlow> flows;
  std::string error;
  ASSERT_TRUE(sim::read_capture(dir.file("a.pcap"), flows, error)) << error;
  ASSERT_EQ(flows.size(), 3u);
  // the station's SYN came first
  EXPECT_EQ(flows[0].from + " " + flows[0].to + " " + std::to_string(flows[0].connection), "127.0.0.1:4000 127.0.0.1:5000 1");
  EXPECT_EQ(flows[0].bytes, big + e.raw);
  EXPECT_EQ(flows[1].from + " " + flows[1].to + " " + std::to_string(flows[1].connection), "127.0.0.1:5000 127.0.0.1:4000 1");
  EXPECT_EQ(flows[1].bytes, request);
  EXPECT_EQ(flows[2].from + " " + flows[2].to + " " + std::to_string(flows[2].connection), "192.0.2.2:10212 192.0.2.1:212 2");
  for (const sim::CapturedFlow& f : flows) {
    EXPECT_EQ(f.missing, 0u) << f.from;
    EXPECT_GE(f.time_at(0), before) << f.from;
    EXPECT_LE(f.time_at(f.bytes.size() - 1), sim::wall_us()) << f.from;
  }
  const int64_t sent_at = flows[0].time_at(big.size());

  // The raw frame read with the key log's key in force at its time, or a neighbour's when the
  // log's line is just before or after it; the fixed --key reads it always.
  const std::string wrong(32, '1');
  std::string hex;
  for (unsigned char ch : e.key) hex += "0123456789abcdef"[ch >> 4], hex += "0123456789abcdef"[ch & 15];
  auto at = [&](int64_t delta_us) {
    return std::to_string((sent_at + delta_us) / 1000000) + "." + std::to_string(1000000 + (sent_at + delta_us) % 1000000).substr(1);
  };
  struct Row {
    const char* name;
    std::string log, key;
    bool decrypted;
    size_t line; // the key log's line that read it (0: none)
    bool in_force;
    bool stray = false; // a stray "##" just before the frame: the scanner must cut with the log's key
  } rows[] = {
      {"in force", "HJ212-KEY " + at(-5000000) + " " + wrong + " start\nHJ212-KEY " + at(-1000) + " " + hex + " new\n", "", true, 2, true},
      {"sent before the sender switched", "# comment\nHJ212-KEY " + at(-5000000) + " " + hex + " start\nHJ212-KEY " + at(-1000) + " " + wrong + "\n",
       "", true, 2, false},
      {"logged late", "HJ212-KEY " + at(-5000000) + " " + wrong + "\nHJ212-KEY " + at(2000) + " " + hex + " took it\n", "", true, 2, false},
      {"another link's key, two lines back",
       "HJ212-KEY " + at(-5000000) + " " + hex + " a\nHJ212-KEY " + at(-2000) + " " + wrong + " b\nHJ212-KEY " + at(-1000) + " " +
           std::string(32, '2') + " b\n",
       "", true, 1, false},
      {"before every line", "HJ212-KEY " + at(1000) + " " + hex + "\n", "", true, 1, true},
      {"none removes the key", "OTHER-LABEL x\nHJ212-KEY " + at(-1000) + " -\n", "", false, 2, true},
      {"wrong keys only", "HJ212-KEY " + at(-1000) + " " + wrong + "\n", "", false, 1, true},
      {"fixed key", "", e.key, true, 0, true},
      {"in force, behind a stray ##", "HJ212-KEY " + at(-5000000) + " " + wrong + " start\nHJ212-KEY " + at(-1000) + " " + hex + " new\n", "", true,
       2, true, true},
      {"a line's text of 1 MB", "HJ212-KEY " + at(-1000) + " " + hex + " " + std::string(1 << 20, 'w') + "\n", "", true, 1, true},
  };
  std::vector<sim::CapturedFlow> stray = flows;
  stray[0].bytes.replace(big.size() - 6, 6, "##12 x");
  for (const Row& r : rows) {
    std::vector<sim::KeyChange> keys;
    WriteFile(dir.file("a.keys"), r.log);
    ASSERT_TRUE(sim::read_key_log(dir.file("a.keys"), keys, error)) << r.name << ": " << error;
    const std::vector<sim::CapturedFlow>& in = r.stray ? stray : flows;
    std::vector<frametool::ExplainedFrame> frames = frametool::explain_capture(in, keys, r.key);
    ASSERT_EQ(frames.size(), r.stray ? 4u : 3u) << r.name;
    const frametool::ExplainedFrame* raw = nullptr;
    for (const frametool::ExplainedFrame& f : frames)
      if (f.frame.flow == &in[0]) raw = &f;
    ASSERT_TRUE(raw) << r.name;
    EXPECT_EQ(raw->frame.at, sent_at) << r.name;
    EXPECT_EQ(raw->report.encryption == sim::CipherWire::Raw, r.decrypted) << r.name;
    EXPECT_EQ(raw->frame.key ? raw->frame.key->line : 0u, r.line) << r.name;
    EXPECT_EQ(raw->frame.key_in_force, r.in_force) << r.name;
    EXPECT_TRUE(frames[0].frame.at <= frames[1].frame.at && frames[1].frame.at <= frames[2].frame.at) << r.name;
    std::string shown = frametool::capture_text(raw->frame) + frametool::capture_json(raw->frame);
    EXPECT_EQ(shown.find(hex), std::string::npos) << "a key shown: " << shown;
    EXPECT_NE(shown.find("127.0.0.1:4000 -> 127.0.0.1:5000, connection 1"), std::string::npos) << shown;
    EXPECT_LT(shown.size(), 1000u) << r.name << ": the key log's text is shown whole";
    std::set<std::size_t> once; // the text goes out with the first frame its line reads, not with each
    const std::string first = frametool::capture_text(raw->frame, &once);
    EXPECT_EQ(frametool::capture_text(raw->frame, &once).size() < first.size(), raw->frame.key && !raw->frame.key->what.empty()) << r.name;
  }

  // Key logs that are not: refused with the line at fault.
  for (const char* bad : {"HJ212-KEY 12 abc\n",
                          "HJ212-KEY 1.5.5 "
                          "00000000000000000000000000000000\n",
                          "HJ212-KEY x 00\n", "# ok\nHJ212-KEY 1 zz000000000000000000000000000000\n", "HJ212-KEY\n"}) {
    std::vector<sim::KeyChange> keys;
    WriteFile(dir.file("a.keys"), bad);
    EXPECT_FALSE(sim::read_key_log(dir.file("a.keys"), keys, error)) << bad;
    EXPECT_NE(error.find(" line "), std::string::npos) << bad << ": " << error;
  }

  // Damaged and hostile captures: a reason, what was read before the damage, no crash.
  const std::string good = ReadFile(dir.file("a.pcap"));
  const std::string after_loss(40000, 'a'); // twice that is more than a window without scaling
  std::string huge = Pcap(101, {}) + Le32(1) + Le32(0) + Le32(0x7FFFFFFF) + Le32(0x7FFFFFFF) + "##";
  std::string ipv4 = good.substr(40, 20); // the first packet's IPv4 header, SYN
  struct Damaged {
    const char* name;
    std::string bytes;
    bool whole;
    std::string reason; // a part of the error
    std::string stream; // what the flows hold, joined
    std::string gaps;   // "offset+size" of each gap
  } damaged[] = {
      {"no capture", "2024 RX ##0005ST=32\r\n", false, "not a capture", "", ""},
      {"header cut short", good.substr(0, 10), false, "not a capture", "", ""},
      {"last packet cut short", good.substr(0, good.size() - 7), false, "cut short or damaged after", big + e.raw + request + request, ""},
      {"a packet of 2 GB announced", huge, false, "cut short or damaged after 0 packets", "", ""},
      {"packets that are no TCP",
       Pcap(101, {"", "\x45", std::string(40, '\x45'), ipv4.substr(0, 19), "\x4F" + ipv4.substr(1) + std::string(60, 'x'),
                  "\x60" + std::string(39, '\xFF'), std::string(100, '\xFF')}),
       true, "", "", ""},
      {"a link type it does not read", Pcap(147, {good.substr(40 + 16, 40)}), true, "", "", ""},
      {"Ethernet, VLAN, IPv6, a retransmission", Pcap(1, {EthernetIpv6Tcp(7, "##00"), EthernetIpv6Tcp(7, "##0005ST"), EthernetIpv6Tcp(20, "=32")}),
       true, "", "##0005ST=32", "8+5"},
      // each direction put in order by its sequence numbers, as a receiver does; a true gap once, with its place and size
      {"segments 1, 3, 2", Pcap(1, {Syn(6), EthernetIpv6Tcp(7, "##00"), EthernetIpv6Tcp(15, "=32"), EthernetIpv6Tcp(11, "05ST")}), true, "",
       "##0005ST=32", ""},
      {"halves swapped, overlapping", Pcap(1, {Syn(6), EthernetIpv6Tcp(10, "005ST=32"), EthernetIpv6Tcp(7, "##00")}), true, "", "##0005ST=32", ""},
      {"a true gap", Pcap(1, {Syn(6), EthernetIpv6Tcp(7, "##00"), EthernetIpv6Tcp(15, "=32"), EthernetIpv6Tcp(15, "=3")}), true, "", "##00=32",
       "4+4"},
      // a window's worth past a hole, the hole is certain: what comes for it later is too late
      {"a window past a hole",
       Pcap(1,
            {Syn(6), EthernetIpv6Tcp(7, "##00"), EthernetIpv6Tcp(15, after_loss), EthernetIpv6Tcp(40015, after_loss), EthernetIpv6Tcp(11, "05ST")}),
       true, "", "##00" + after_loss + after_loss, "4+4"},
      {"a scaled window past a hole",
       Pcap(1, {Syn(6, 7), Syn(90, 7, true), EthernetIpv6Tcp(7, "##00"), EthernetIpv6Tcp(15, after_loss), EthernetIpv6Tcp(40015, after_loss),
                EthernetIpv6Tcp(11, "05ST")}),
       true, "", "##0005ST" + after_loss + after_loss, ""},
  };
  for (const Damaged& d : damaged) {
    WriteFile(dir.file("b.pcap"), d.bytes);
    std::vector<sim::CapturedFlow> got;
    error.clear();
    EXPECT_EQ(sim::read_capture(dir.file("b.pcap"), got, error), d.whole) << d.name << ": " << error;
    EXPECT_NE(error.find(d.reason), std::string::npos) << d.name << ": " << error;
    std::string stream;
    for (const sim::CapturedFlow& f : got) stream += f.bytes;
    EXPECT_TRUE(stream == d.stream) << d.name << ": " << stream.size() << " bytes, not " << d.stream.size();
    std::string gaps;
    for (const sim::CapturedFlow& f : got)
      for (const auto& [offset, size] : f.gaps) gaps += (gaps.empty() ? "" : " ") + std::to_string(offset) + "+" + std::to_string(size);
    EXPECT_EQ(gaps, d.gaps) << d.name;
    frametool::explain_capture(got, {}, std::string());
  }
  // A link's bytes: a frame without CR LF after it passes no log-line rule, as the plug-in queues nothing
  std::vector<sim::CapturedFlow> lf(1);
  lf[0].bytes = "##0005ST=3260C0\n";
  const std::vector<frametool::ExplainedFrame> lf_read = frametool::explain_capture(lf, {}, std::string());
  ASSERT_EQ(lf_read.size(), 1u);
  EXPECT_NE(frametool::json_report(1, lf_read[0].frame.span, lf_read[0].report).find("\"verdict\":\"reject\""), std::string::npos)
      << frametool::text_report(1, lf_read[0].frame.span, lf_read[0].report);
  // Bytes flipped anywhere: read or refused, and never a byte more than the file holds.
  std::mt19937 random(34);
  for (int round = 0; round < 300; ++round) {
    std::string bytes = good.substr(0, 4000);
    for (int k = 0; k < 1 + round % 8; ++k) bytes[random() % bytes.size()] = static_cast<char>(random());
    WriteFile(dir.file("b.pcap"), bytes);
    std::vector<sim::CapturedFlow> got;
    sim::read_capture(dir.file("b.pcap"), got, error);
    size_t total = 0;
    for (const sim::CapturedFlow& f : got) total += f.bytes.size();
    EXPECT_LE(total, bytes.size()) << "round " << round;
    frametool::explain_capture(got, {}, std::string());
  }
}

} // namespace
