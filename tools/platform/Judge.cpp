// The judge: what a platform accepts of a station beyond a frame that reads, each rule with what
// it encodes. The rules over a connection as a whole are StationDuties'.
#include "Judge.h"

#include "hj212/Charset.h"
#include "hj212/CpCipher.h"
#include "hj212/Envelope.h"
#include "tools/common/Calendar.h"
#include "tools/common/Codes.h"

namespace sim {

const char* verdict_text(Verdict v) {
  switch (v) {
  case Verdict::Ok: return "crc ok";
  case Verdict::OkAfterConversion: return "crc ok over UTF-8";
  case Verdict::TooShort: return "BAD: too short";
  case Verdict::NoStart: return "BAD: no ##";
  case Verdict::NoEnd: return "BAD: no CR LF";
  case Verdict::BadLengthField: return "BAD: length field";
  case Verdict::LengthMismatch: return "BAD: length";
  case Verdict::BadCrc: return "BAD: crc";
  }
  return "BAD";
}

namespace {

// Length and CRC over `segment`. The CRC is compared byte for byte: the engine accepts lower-case
// hex digits, platforms that compare the text do not.
Verdict length_and_crc(std::string_view segment, long declared, std::string_view crc_field, std::string& expected) {
  if (declared < 0 || static_cast<size_t>(declared) != segment.size()) return Verdict::LengthMismatch;
  expected = HJ::do_crc_check(std::string(segment));
  return crc_field == expected ? Verdict::Ok : Verdict::BadCrc;
}

// Platforms written for UTF-8 count length and CRC over the decoded text of a GB18030 frame.
bool reads_after_conversion(std::string_view wire, long declared, FrameCheck& c) {
  if (HJ::is_utf8(wire.data(), wire.size()) || !HJ::is_gb18030(wire.data(), wire.size())) return false;
  std::string utf8, expected;
  if (!HJ::gb18030_to_utf8(std::string(wire), utf8) || length_and_crc(utf8, declared, c.crc_field, expected) != Verdict::Ok) return false;
  c.verdict = Verdict::OkAfterConversion;
  c.segment = std::move(utf8);
  c.crc_expected = std::move(expected);
  return true;
}

} // namespace

// The engine's verdict (length, then CRC) and what a platform demands beyond it: exactly four
// digits in the length field, the CRC in upper case.
FrameCheck check_frame(std::string_view frame) {
  FrameCheck c;
  if (frame.size() < HJ::kEnvelopeBytes) return c;
  if (frame.substr(0, 2) != "##") {
    c.verdict = Verdict::NoStart;
    return c;
  }
  if (frame.substr(frame.size() - 2) != "\r\n") {
    c.verdict = Verdict::NoEnd;
    return c;
  }
  const long declared = HJ::four_digit_length(frame.data() + HJ::kLengthFieldAt);
  if (declared < 0) {
    c.verdict = Verdict::BadLengthField;
    return c;
  }
  c.declared_length = declared;
  const std::string_view wire(HJ::frame_data(frame.data()), frame.size() - HJ::kEnvelopeBytes);
  c.crc_field = std::string(HJ::frame_crc(frame.data(), frame.size()), HJ::kCrcDigits);
  c.segment = std::string(wire);
  c.crc_expected = HJ::do_crc_check(c.segment);
  switch (HJ::classify_frame(frame.data(), frame.size())) {
  case HJ::Verdict::Accepted: c.verdict = c.crc_field == c.crc_expected ? Verdict::Ok : Verdict::BadCrc; break;
  case HJ::Verdict::BadCrc: c.verdict = Verdict::BadCrc; break;
  // the engine takes no frame of an empty data segment
  case HJ::Verdict::BadLength: c.verdict = wire.empty() && declared == 0 ? Verdict::TooShort : Verdict::LengthMismatch; break;
  }
  if (c.verdict != Verdict::Ok) reads_after_conversion(wire, declared, c);
  return c;
}

// QnRtn=1 (ready) and ExeRtn=1 (done) are the only yeses; ExeRtn=100 ("no data") did its part: a history
// range with no records is answered, not refused.
bool RequestJudge::refusal_code(const char* field, const std::string& code) {
  return code != "1" && !(std::string(field) == "ExeRtn" && code == "100");
}

// A step that expects its request carried out fails on a refusal; a value no station may take
// (an interval of 0) must be refused, which the report counts.
void RequestJudge::refusal(const RequestTerms& r, const char* field, const std::string& code) {
  if (!r.invalid.empty()) m_report.invalid_refused(r.qn);
  if (!r.wants_carried_out || !r.invalid.empty()) return;
  const char* meaning = codes::answer_text(field, code);
  m_problems.problem(
      "request CN=" + r.cn + " QN=" + r.qn + " refused: " +
      (code.empty() ? std::string("no ") + field : std::string(field) + "=" + code + " (" + (meaning ? meaning : "not in the code table") + ")"));
}

// A station that carries out an invalid value, or a request the step expects refused, fails.
void RequestJudge::acceptance(const RequestTerms& r, const std::string& how) {
  if (!r.invalid.empty()) m_problems.problem("request CN=" + r.cn + " QN=" + r.qn + " accepted an invalid " + r.invalid + " (" + how + ")");
  else if (r.wants_refused) m_problems.problem("request CN=" + r.cn + " QN=" + r.qn + " accepted (" + how + "), a refusal was expected");
}

FrameCheck FrameJudge::check(std::string_view frame) {
  FrameCheck c = check_frame(frame);
  if (c.verdict == Verdict::OkAfterConversion) ++m_counts.converted;
  return c;
}

void FrameJudge::judge(std::string_view frame, std::string_view received, const Segment& seg, CipherWire form) {
  check_qn(seg);
  if (m_opt.standard) check_standard(frame, seg);
  if (!m_opt.key.empty()) check_encryption(received, seg, form);
}

// A QN is the time the frame was made, yyyyMMddHHmmsszzz, under every standard: answers are paired
// and uploads told apart and ordered by it.
void FrameJudge::check_qn(const Segment& seg) {
  const std::string* qn = seg.get("QN");
  int64_t made = 0;
  if (qn && !qn_time_ms(*qn, made))
    m_problems.problem("frame CN=" + seg.value("CN") + " carries QN=" + *qn + ", not a time (yyyyMMddHHmmsszzz)", "a QN that is not a time");
}

// The version a station declares: a 2017 frame's text is GB18030, a 2025 frame's UTF-8, with the
// length and CRC over the bytes as sent; Flag carries the version of the standard chosen.
void FrameJudge::check_standard(std::string_view frame, const Segment& seg) {
  std::string_view wire = frame.substr(HJ::kDataAt, frame.size() - HJ::kEnvelopeBytes);
  bool ascii = true;
  for (unsigned char c : wire) ascii = ascii && c < 0x80;
  bool utf8_text = HJ::is_utf8(wire.data(), wire.size());
  bool gb_text = !utf8_text && HJ::is_gb18030(wire.data(), wire.size());
  bool want_utf8 = m_opt.standard >= 2025;
  std::string qn = seg.value("QN");
  if (!ascii) {
    ++m_counts.chinese;
    if (check_frame(frame).verdict != Verdict::Ok || (want_utf8 ? !utf8_text : !gb_text)) {
      ++m_counts.wrong_charset;
      m_problems.problem(std::string("frame QN ") + qn + " is not " + (want_utf8 ? "UTF-8" : "GB18030") + " with length and CRC over its bytes");
    }
  }
  if (!ascii) m_report.tally(Report::Tally::Charset);
  m_report.tally(Report::Tally::Version);
  int version = HJ::flag_version(seg.flag);
  int wanted = want_utf8 ? HJ::kVersion2025 : HJ::kVersion2017;
  if (version != wanted) {
    ++m_counts.wrong_version;
    m_problems.problem("frame QN " + qn + " CN=" + seg.value("CN") + " carries Flag=" + seg.value("Flag") + ", not a " +
                       std::to_string(m_opt.standard) + " Flag");
  }
}

// With a 2025 key, data frames (CN 2000-2999) come encrypted, raw or as text, with the CRC over the
// plain data: a CRC over the ciphertext, or a CP long enough to encrypt sent plain, fails.
void FrameJudge::check_encryption(std::string_view frame, const Segment& seg, CipherWire form) {
  int cn = to_int(seg.value("CN"), -1);
  if (!HJ::encrypted_cn(cn)) return;
  m_report.tally(Report::Tally::Encryption);
  if (form == CipherWire::Raw) ++m_counts.encrypted_raw;
  if (form == CipherWire::Text) ++m_counts.encrypted_text;
  if (form != CipherWire::Plain) return;
  // It passed over its own bytes: plain, or encrypted with the CRC taken over the ciphertext.
  std::string_view wire = frame.substr(HJ::kDataAt, frame.size() - HJ::kEnvelopeBytes);
  std::size_t begin = 0, end = 0;
  if (looks_encrypted(wire) != CipherWire::Plain) {
    ++m_counts.unencrypted;
    m_problems.problem("frame QN " + seg.value("QN") + " CN=" + seg.value("CN") + " has its CRC over the encrypted bytes, not over the plain data");
  } else if (HJ::cp_region(wire.data(), wire.size(), begin, end) && end - begin >= 16) {
    ++m_counts.unencrypted;
    m_problems.problem("frame QN " + seg.value("QN") + " CN=" + seg.value("CN") + " is not encrypted");
  }
}

} // namespace sim
