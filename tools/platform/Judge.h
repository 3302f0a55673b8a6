// The judge: what a platform demands of a station's frame beyond what the plug-in's reader takes
// (hj212/Envelope.h). The frame's fields are the engine's; the strictness here is the platform's.
#pragma once

#include <string>
#include <string_view>

#include "Options.h"
#include "Problems.h"
#include "Report.h"
#include "tools/common/FrameCipher.h"
#include "tools/common/Hj212Text.h"

namespace sim {

enum class Verdict {
  Ok,
  OkAfterConversion, // length and CRC agree only over the GB18030 bytes decoded to UTF-8
  TooShort,
  NoStart,
  NoEnd,
  BadLengthField, // not four decimal digits
  LengthMismatch,
  BadCrc,
};
const char* verdict_text(Verdict v);
inline bool verdict_ok(Verdict v) { return v == Verdict::Ok || v == Verdict::OkAfterConversion; }

struct FrameCheck {
  Verdict verdict = Verdict::TooShort;
  std::string segment; // the data segment (decoded to UTF-8 for OkAfterConversion)
  std::string crc_field;
  std::string crc_expected;
  long declared_length = -1;
};
// A whole frame as a platform takes it: "##", exactly four digits equal to the segment's byte
// count, the CRC over the segment in upper case, "\r\n"; or a GB18030 frame whose length and CRC
// were counted over its UTF-8 form.
FrameCheck check_frame(std::string_view frame);

// The judge of each frame a station sends: check_frame, its QN a time, then with --standard the charset and
// Flag of the edition chosen, and with a key the encryption of data frames. Answers to requests:
// RequestJudge; connections as a whole: StationDuties.
class FrameJudge {
public:
  FrameJudge(const PlatformOptions& options, Report& report, Problems& problems) : m_opt(options), m_report(report), m_problems(problems) {}
  // check_frame, counting the frames taken only after conversion.
  FrameCheck check(std::string_view frame);
  // A frame that reads: `frame` as the platform reads it (decrypted), `received` as it came, `form`
  // how its CP region stood on the wire.
  void judge(std::string_view frame, std::string_view received, const Segment& seg, CipherWire form);
  struct Counts {
    unsigned converted = 0;                                          // taken only over their GB18030 bytes decoded to UTF-8
    unsigned chinese = 0;                                            // frames with bytes beyond ASCII
    unsigned wrong_charset = 0;                                      // of those, not in the edition's charset with length and CRC over their bytes
    unsigned wrong_version = 0;                                      // Flag naming another edition
    unsigned encrypted_raw = 0, encrypted_text = 0, unencrypted = 0; // data frames under a key
  };
  const Counts& counts() const { return m_counts; }

private:
  void check_qn(const Segment& seg);
  void check_standard(std::string_view frame, const Segment& seg);
  void check_encryption(std::string_view frame, const Segment& seg, CipherWire form);
  const PlatformOptions& m_opt;
  Report& m_report;
  Problems& m_problems;
  Counts m_counts;
};

// A request as the judge weighs the station's first word on it: what it asked, what its step expects.
struct RequestTerms {
  std::string qn, cn;
  std::string invalid;           // a value in its CP the station must refuse ("RtdInterval=0"); empty when none
  bool wants_carried_out = true; // its step expects it carried out
  bool wants_refused = false;    // its step expects it refused
};

// The station's first word on whether it carries a request out, weighed against its step (once:
// the caller sees to that): a refusal (`field`=`code` other than success) or its acceptance
// (`how`: "ExeRtn=1", "answered with data").
class RequestJudge {
public:
  RequestJudge(Report& report, Problems& problems) : m_report(report), m_problems(problems) {}
  // A 9011's QnRtn or a 9012's ExeRtn saying the request is not carried out.
  static bool refusal_code(const char* field, const std::string& code);
  void refusal(const RequestTerms& r, const char* field, const std::string& code);
  void acceptance(const RequestTerms& r, const std::string& how);

private:
  Report& m_report;
  Problems& m_problems;
};

} // namespace sim
