#include "Explain.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "Calendar.h"
#include "Hj212Text.h"
#include "TextSafe.h"
#include "hj212/Charset.h"
#include "hj212/CpCipher.h"
#include "hj212/Envelope.h"
#include "hj212/FrameScanner.h"
#include "hj212/Sm4.h"

namespace frametool {
namespace {

// The envelope's bytes in a span, which ends before its CR LF.
constexpr std::size_t kSpanEnvelope = HJ::kEnvelopeBytes - 2;

std::string hex4(unsigned value) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out(4, '0');
  for (int i = 3; i >= 0; --i, value >>= 4) out[static_cast<std::size_t>(i)] = digits[value & 0xFu];
  return out;
}

// The HJ 212 CRC as its field shows it, without a printf per frame.
std::string crc_text(const std::string& data) { return hex4(HJ::crc16(reinterpret_cast<const unsigned char*>(data.data()), data.size())); }

// Modbus CRC-16 (the byte goes into the register's low byte): the CRC field holds it by mistake.
// The engine's byte table: every rejected frame is checked for it.
unsigned modbus_crc(const std::string& data) {
  unsigned reg = 0xFFFFu;
  for (unsigned char byte : data) reg = (reg >> 8) ^ HJ::kCrcTable[(reg ^ byte) & 0xFFu];
  return reg;
}

std::string upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

// Bytes eight at a time, for the checks every frame and report of a log goes through.
constexpr std::uint64_t kOnes = 0x0101010101010101u, kHighs = 0x8080808080808080u;

std::uint64_t word_at(const char* at) {
  std::uint64_t word = 0;
  std::memcpy(&word, at, sizeof word);
  return word;
}

// 0x80 in each byte of `word` that is zero, 0 in the others (no carry crosses a byte).
std::uint64_t zero_bytes(std::uint64_t word) { return ~(((word & ~kHighs) + ~kHighs) | word | ~kHighs); }

bool is_ascii(const std::string& s) {
  std::uint64_t seen = 0;
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) seen |= word_at(s.data() + i);
  for (; i < s.size(); ++i) seen |= static_cast<unsigned char>(s[i]);
  return (seen & kHighs) == 0;
}

// "QN (yyyy-MM-dd HH:mm:ss.SSS)", written in place: every frame has a QN.
std::string qn_shown(const std::string& qn) {
  sim::CivilTime t;
  if (qn.size() != 17 || !sim::read_civil(qn, t)) return qn + " (not a yyyyMMddHHmmssSSS time)";
  std::string out = qn + " (yyyy-MM-dd HH:mm:ss.SSS)";
  static constexpr std::size_t kDigitAt[] = {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18, 20, 21, 22};
  for (std::size_t i = 0; i < qn.size(); ++i) out[qn.size() + 2 + kDigitAt[i]] = qn[i];
  return out;
}

// "value (note)" in one allocation.
std::string with_note(std::string_view value, std::string_view note) {
  std::string out;
  out.reserve(value.size() + note.size() + 3);
  out.append(value);
  out.append(" (");
  out.append(note);
  out += ')';
  return out;
}

std::string decoded(std::string_view key, const std::string& value, int flag) {
  const char* name = nullptr;
  if (key == "QN") return qn_shown(value);
  if (key == "Flag") return with_note(value, sim::flag_text(flag));
  if (key == "ST") name = sim::system_name(value);
  else if (key == "CN") name = sim::command_name(value);
  else return value;
  return with_note(value, name ? name : "not a code of the standard");
}

// The data's other encoding: GB18030 for UTF-8 text, UTF-8 for bytes that are not UTF-8.
bool other_form(const std::string& data, bool utf8, std::string& out) {
  return utf8 ? HJ::utf8_to_gb18030(data, out) : HJ::gb18030_to_utf8(data, out);
}

// The Modbus CRC-16 of the data where the CRC field holds it instead of the HJ 212 CRC, in
// words; empty when it holds none. Named before any key is blamed: a plain frame carries it.
std::string modbus_mistake(const std::string& data, const std::string& crc_field) {
  const unsigned modbus = modbus_crc(data);
  const std::string field = upper(crc_field);
  if (field == hex4(modbus)) return "the announced value is the Modbus CRC-16 of the data, not the HJ 212 CRC";
  if (field == hex4(((modbus & 0xFFu) << 8) | (modbus >> 8)))
    return "the announced value is the Modbus CRC-16 of the data (low byte first), not the HJ 212 CRC";
  return std::string();
}

// `modbus`: modbus_mistake's words on the data.
void explain(const std::string& data, bool utf8, const std::string& modbus, Report& r) {
  const std::string other_name = utf8 ? "GB18030" : "UTF-8";
  std::string other;
  bool converted = !is_ascii(data) && other_form(data, utf8, other);
  if (r.announced < 0) {
    r.reasons.push_back("length field \"" + r.length_field + "\" is not a number; the data has " + std::to_string(r.actual) + " bytes");
  } else if (static_cast<std::size_t>(r.announced) != r.actual) {
    std::string why = "length: announced " + std::to_string(r.announced) + ", actual " + std::to_string(r.actual) + " bytes";
    if (converted && other.size() == static_cast<std::size_t>(r.announced))
      why += "; the data is " + std::string(utf8 ? "UTF-8" : "GB18030") + " and its " + other_name + " form has " + std::to_string(other.size()) +
             " bytes: the length was counted over " + other_name;
    r.reasons.push_back(why);
  }
  if (upper(r.crc_field) == r.crc_computed) return;
  std::string why = "crc: announced " + r.crc_field + ", computed " + r.crc_computed;
  if (!modbus.empty()) why += "; " + modbus;
  else if (converted && upper(r.crc_field) == crc_text(other)) why += "; it is the CRC over the data's " + other_name + " form";
  r.reasons.push_back(why);
}

// `text`: the data segment in UTF-8, shown with its keys masked.
void decode_fields(std::string_view text, Report& r) {
  r.data = sim::mask_keys(text);
  sim::Segment segment = sim::parse_segment(r.data);
  r.fields.reserve(segment.header.size());
  for (const auto& field : segment.header) {
    std::string value = decoded(field.first, field.second, segment.flag);
    // packets of a split data segment, and resends (2025)
    const std::string_view name = field.first;
    if (name == "PNUM") value += " (packets in all)";
    if (name == "PNO") value += " (packet " + field.second + " of " + (segment.get("PNUM") ? *segment.get("PNUM") : std::string("?")) + ")";
    if (name == "RF") value += field.second == "1" ? " (a resend of data the platform did not answer)" : " (not 1: no resend mark)";
    r.fields.emplace_back(field.first, std::move(value));
  }
  r.cp = std::move(segment.cp_fields);
  r.items = codes::read_items(r.cp, segment.value("ST"), HJ::flag_version(segment.flag));
}

// A line a text log cut (at an LF byte of raw ciphertext) or re-encoded (U+FFFD in place of
// bytes it could not read): its length and CRC no longer say anything about the frame.
bool damaged_by_log(const std::string& data, Report& r) {
  bool length_off = r.announced < 0 || static_cast<std::size_t>(r.announced) != r.actual;
  bool replaced = data.find("\xEF\xBF\xBD") != std::string::npos;
  std::size_t cp = data.find("CP=&&");
  bool raw = cp != std::string::npos && sim::binary_bytes(std::string_view(data).substr(cp + 5));
  if (replaced) {
    r.reasons.push_back("the line holds U+FFFD replacement characters: a text log re-encoded bytes it could not read, so "
                        "length and CRC cannot be checked; give the frame as the wire's bytes (--file on a capture, or --hex)");
  } else if (raw && length_off) {
    r.reasons.push_back("the CP region holds raw bytes (ciphertext) and the line has " + std::to_string(r.actual) + " of the " +
                        (r.announced < 0 ? std::string("?") : std::to_string(r.announced)) +
                        " data bytes its length field announces: a text log cut the line at a line-end byte or changed "
                        "bytes; give the frame as bytes (--file on a capture, or --hex). Were these the wire's bytes, the "
                        "length field is wrong");
  } else {
    return false;
  }
  r.judged = false;
  return true;
}

// A frame the plug-in reads decrypted with the key: the report shows the plain data segment.
void take_decrypted(const std::string& frame, sim::CipherWire form, Report& r) {
  std::string plain = frame.substr(HJ::kDataAt, frame.size() - HJ::kEnvelopeBytes);
  r.accepted = true;
  r.encryption = form;
  r.plain_bytes = plain.size();
  r.crc_computed = crc_text(plain);
  bool utf8 = HJ::is_utf8(plain.data(), plain.size());
  r.charset = is_ascii(plain) ? "ASCII" : utf8 ? "UTF-8" : "GB18030";
  r.data = utf8 ? plain : HJ::received_text(plain);
}

// What the key made of a data command's region, stated by what was found.
void explain_decryption(const std::string& data, const std::string& key, Report& r) {
  std::string plain;
  sim::CipherWire form = sim::CipherWire::Plain;
  if (!sim::decrypt_segment(data, key, plain, form)) {
    r.reasons.push_back("the key finds no whole 16-byte block to decrypt in the CP region");
    return;
  }
  const std::string with = "decrypted with the key (" + std::string(sim::cipher_wire_text(form)) + ")";
  const std::string crc = crc_text(plain);
  if (crc != upper(r.crc_field)) {
    r.reasons.push_back(with + " the data's CRC is " + crc + ", not " + r.crc_field + " either: a wrong key, or bytes changed on the way");
  } else if (r.announced < 0 || (static_cast<std::size_t>(r.announced) != r.actual && static_cast<std::size_t>(r.announced) != plain.size())) {
    r.reasons.push_back(with + " the CRC fits, but the length field \"" + r.length_field + "\" counts neither the " + std::to_string(r.actual) +
                        " bytes sent nor the " + std::to_string(plain.size()) + " plain ones");
  } else if (!HJ::segment_is_text(plain.data(), plain.size(), HJ::kCharsetByFlag)) {
    r.reasons.push_back(with + " the CRC fits, but the data segment is not text (control bytes, or neither UTF-8 nor GB18030 as its "
                               "Flag asks): bytes changed on the way; the CRC takes only 256 values, so one damaged frame in 256 fits it");
  }
}

// A data command the plug-in rejects with the key although it may pass without one.
void explain_rejected(const std::string& data, const std::string& key, Report& r) {
  r.accepted = false;
  if (r.crc_computed == upper(r.crc_field) && r.announced >= 0 && static_cast<std::size_t>(r.announced) == r.actual)
    r.reasons.push_back(std::string("the CRC fits the bytes as received, but with a key a frame is queued as received only "
                                    "when its data segment is text without a {0x..} list, and this one ") +
                        (HJ::holds_cipher_list(data.data(), data.size()) ? "holds a {0x..} list" : "is not text") +
                        (HJ::data_command_header(data.data(), data.size()) ? ": it is read decrypted" : ", and its CN asks for no decryption"));
  if (HJ::data_command_header(data.data(), data.size())) explain_decryption(data, key, r);
}

// Why a frame whose CRC fails may be encrypted: no key given, the wrong key, or a CN whose
// frames are not encrypted.
void explain_encryption(const std::string& data, const std::string& key, Report& r) {
  sim::CipherWire looks = sim::looks_encrypted(data);
  r.looks = looks;
  int cn = HJ::header_cn(data);
  if (looks != sim::CipherWire::Plain && !HJ::encrypted_cn(cn)) {
    r.reasons.push_back(std::string("the CP region looks encrypted (") + sim::cipher_wire_text(looks) + "), but CN " + std::to_string(cn) +
                        " is not one whose frames are (2000-2999)");
  } else if (looks != sim::CipherWire::Plain && key.empty()) {
    r.reasons.push_back(std::string("the CP region looks encrypted (") + sim::cipher_wire_text(looks) +
                        "): give the key with --key to check the CRC over the plain data");
  } else if (!key.empty() && HJ::encrypted_cn(cn)) {
    explain_decryption(data, key, r);
  }
}

// The four digits after the "##" at `at` as a number; -1 when they are not four digits.
long length_at(std::string_view all, std::size_t at) {
  return at + HJ::kDataAt > all.size() ? -1 : HJ::four_digit_length(all.data() + at + HJ::kLengthFieldAt);
}

// A log line judged as the plug-in's scanner judges the bytes it reads, the line with CR LF
// added: a text log holds lines the wire never had (LF alone, "\r\n" written out, text after a
// frame), and each is read by the plug-in's own scanner on its own.
class LineJudge {
public:
  void set_key(const std::string& key) {
    m_scanner.set_key(key.size() == HJ::Sm4::kKeyBytes ? reinterpret_cast<const unsigned char*>(key.data()) : nullptr);
  }
  // Where the scanner takes a frame from `line` + "\r\n", as an offset into `line`, when that
  // frame runs to the line's end; npos otherwise.
  std::size_t frame_at(std::string_view line) {
    std::size_t frames = 0;
    std::uint64_t noise = 0, after = 0;
    if (!scan(line, frames, noise) || frames != 1 || noise >= line.size()) return std::string_view::npos;
    if (noise == 0) return 0;
    // the noise lies before the frame, unless the frame ended at a "\r\n" inside (raw
    // ciphertext): then the rest alone is no frame
    const std::size_t at = static_cast<std::size_t>(noise);
    return scan(line.substr(at), frames, after) && frames == 1 && after == 0 ? at : std::string_view::npos;
  }

private:
  // line + "\r\n": the frames taken and the bytes counted as noise; false when the scanner
  // still waits for more (a candidate followed past the end).
  bool scan(std::string_view line, std::size_t& frames, std::uint64_t& noise) {
    m_scanner.clear();
    const std::uint64_t before = m_scanner.counts().noise_bytes;
    m_scanner.append(line.data(), line.size());
    m_scanner.append("\r\n", 2);
    for (frames = 0; m_scanner.next(m_frame);) ++frames;
    const bool settled = m_scanner.pending() == 0 && !m_scanner.following();
    noise = m_scanner.counts().noise_bytes - before;
    m_scanner.clear();
    return settled;
  }
  HJ::FrameScanner m_scanner;
  std::string m_frame;
};

// Where a frame starts at a later "##" of the span [pos, cut) that the plug-in rejects: on a log
// line, a frame ending at its announced length before other text; otherwise where the plug-in's
// scanner retries the span (the frame then ends where the span does). npos when none does.
// `budget`: the CRC bytes the whole input may still cost for the log-line look. Each look stops
// at what it finds, and the next span starts there, so a line of many frames costs linear time.
std::size_t later_frame(LineJudge& reader, std::string_view all, std::size_t pos, std::size_t cut, std::size_t& budget) {
  const std::string_view span = all.substr(pos, cut - pos);
  std::size_t q = span.find("##", 1); // "###": the frame may start at the second "#"
  if (q == std::string_view::npos) return q;
  for (; q != std::string_view::npos && budget > 0; q = span.find("##", q + 1)) {
    long announced = length_at(span, q);
    if (announced < 0) continue;
    std::size_t whole = static_cast<std::size_t>(announced) + HJ::kEnvelopeBytes - 2;
    if (whole >= span.size() - q || whole > budget) continue; // only a matching length costs a CRC
    budget -= whole;
    if (reader.frame_at(span.substr(q, whole)) == 0) return pos + q;
  }
  const std::size_t taken = reader.frame_at(span);
  return taken == 0 || taken == std::string_view::npos ? std::string_view::npos : pos + taken; // 0: the span is a frame
}

} // namespace

std::size_t extend_to_announced_end(std::string_view input, std::size_t pos, std::size_t end, std::size_t cp) {
  if (input.size() < pos + HJ::kDataAt || input.compare(pos, 2, "##") != 0) return end;
  const long announced = length_at(input, pos);
  if (announced < 0) return end;
  const std::size_t whole = pos + HJ::kDataAt + static_cast<std::size_t>(announced) + HJ::kCrcDigits; // where CR LF belongs
  if (end >= whole || whole > input.size()) return end;
  // A lone LF ends no span on the wire: when the first CR LF stands at the announced end, the
  // plug-in judges the span to there, wherever its CP region is
  if (input.compare(end, 2, "\r\n") != 0 && input.compare(whole, 2, "\r\n") == 0 &&
      input.substr(end, whole - end).find("\r\n") == std::string_view::npos)
    return whole;
  if (cp == std::string::npos || cp < pos || cp + 5 > end) return end; // the line end is not inside a CP region
  bool line_end = whole == input.size() || input[whole] == '\n' || input.compare(whole, 2, "\r\n") == 0;
  return line_end ? whole : end;
}

namespace {

// The line of the span at `pos` is looked for this far at most: beyond the largest frame the
// plug-in gives a start up, so no search runs to the end of the input.
constexpr std::size_t kLineLook = HJ::kMaxFrameBytes + 8;

// Where the line of the span at `pos` ends (its first CR LF, LF, "\r\n" written out, or the end
// of the input; raw ciphertext runs to its announced end), with `span`'s ending set. `input`
// holds at least kLineLook bytes from `pos` unless it ends sooner.
std::size_t line_end(std::string_view all, std::size_t pos, Span& span) {
  const std::string_view near = all.substr(0, std::min(all.size(), pos + kLineLook));
  const std::size_t lf = near.find('\n', pos + 2);
  std::size_t end = lf == std::string_view::npos ? near.size() : lf;
  // what matters of these stands before the LF: each line is searched once
  const std::string_view line = near.substr(0, end);
  const std::size_t written = line.find("\\r\\n", pos + 2);
  const std::size_t cp = line.find("CP=&&", pos);
  span.ending = lf == std::string_view::npos ? "the end of the input" : "LF alone";
  if (lf != std::string_view::npos && lf >= pos + 3 && all[lf - 1] == '\r') {
    end = lf - 1;
    span.crlf = true;
    span.ending = "CR LF";
  }
  if (written < end) {
    end = written;
    span.crlf = true;
    span.ending = "CR LF written out as \\r\\n";
  }
  std::size_t announced_end = extend_to_announced_end(all, pos, end, cp);
  if (announced_end != end) {
    end = announced_end;
    span.crlf = all.substr(end, 2) == "\r\n";
    span.ending = span.crlf ? "CR LF" : end == all.size() ? "the end of the input" : "LF alone";
  }
  return end;
}

// The span at `pos` of `all` (a stretch the plug-in's scanner did not take as a frame), cut as a
// log is cut: line ends of every kind, log text after a frame, a frame at a later "##" (as the
// plug-in retries). Returns where the next span is looked for.
std::size_t log_span(std::string_view all, std::size_t pos, LineJudge& reader, std::size_t& crc_budget, Span& span) {
  std::size_t end = line_end(all, pos, span);
  if (end - pos > HJ::kMaxFrameBytes) { // the plug-in gives a start up there; the next one after it is looked at
    end = pos + HJ::kMaxFrameBytes;
    span.crlf = false;
    span.ending = "no line end within " + std::to_string(HJ::kMaxFrameBytes) + " bytes, where the plug-in gives it up";
  }
  std::size_t cut = end;
  while (cut > pos && (all[cut - 1] == ' ' || all[cut - 1] == '\t' || all[cut - 1] == '\r')) --cut;
  std::size_t later = later_frame(reader, all, pos, cut, crc_budget);
  // Log text may follow the frame on its line: cut where the length field says it ends
  // when the frame passes there, unless a frame the plug-in takes starts before that.
  long announced = std::strtol(std::string(all.substr(pos + 2, 4)).c_str(), nullptr, 10);
  std::size_t whole = static_cast<std::size_t>(announced) + HJ::kEnvelopeBytes - 2;
  if (announced > 0 && cut - pos > whole && (later == std::string_view::npos || later >= pos + whole) &&
      reader.frame_at(all.substr(pos, whole)) == 0) {
    end = cut = pos + whole;
    later = std::string_view::npos;
    span.crlf = false;
    span.ending = "other text";
  }
  if (cut < end) {
    bool cr = all.substr(cut, end - cut).find_first_not_of('\r') == std::string_view::npos;
    span.ending = (cr ? "CR and " : "blanks and ") + span.ending;
    span.crlf = false;
  }
  if (later != std::string_view::npos) {
    end = cut = later;
    while (cut > pos + 2 && (all[cut - 1] == ' ' || all[cut - 1] == '\t')) --cut;
    span.crlf = false;
    span.ending = "a later \"##\" where a frame starts";
  }
  span.bytes = std::string(all.substr(pos, cut - pos));
  return later != std::string_view::npos ? later : pos + (cut - pos > 2 ? cut - pos : 2);
}

} // namespace

struct SpanCutter::Cutting {
  sim::StreamSpans spans;
  LineJudge judge;
  std::string stretch;          // bytes the scanner did not take as frames, since the last frame
  std::uint64_t stretch_at = 0; // its first byte's offset in the input
  std::size_t pos = 0;          // where in `stretch` the next span is looked for
  std::size_t crc_budget = 0;   // CRC bytes the log-line looks may still cost
  std::string key;
  // where the scanner's refused spans start in the stretch, and its verdict: ascending, each
  // gone once the cut passes it
  std::deque<std::pair<std::uint64_t, const char*>> refused;

  // The spans of the stretch that the bytes to come cannot change; `closed`: none come (a frame,
  // or the end of the input, follows).
  void cut(bool closed, bool frame_follows, const Sink& sink) {
    const std::string_view all(stretch);
    for (;;) {
      const std::size_t at = all.find("##", pos);
      if (at == std::string_view::npos) {
        pos = all.size() - (!closed && !all.empty() && all.back() == '#' ? 1 : 0);
        break;
      }
      pos = at;
      if (!closed && all.size() < at + kLineLook) break; // its line may end in bytes still to come
      Span span;
      span.offset = static_cast<std::size_t>(stretch_at + at);
      span.refused_as = refused_at(span.offset);
      pos = log_span(all, at, judge, crc_budget, span);
      if (closed && frame_follows && span.ending == "the end of the input") span.ending = "a later \"##\" where a frame starts";
      sink(std::move(span));
    }
    refused_at(stretch_at + pos);
    if (closed) {
      stretch_at += stretch.size();
      stretch.clear();
      pos = 0;
    } else if (pos >= stretch.size() - pos) { // what was cut goes once it outweighs the rest
      stretch.erase(0, pos);
      stretch_at += pos;
      pos = 0;
    }
  }

  // The verdict on a refused span starting at `offset`, or ""; those before it are dropped.
  const char* refused_at(std::uint64_t offset) {
    while (!refused.empty() && refused.front().first < offset) refused.pop_front();
    return !refused.empty() && refused.front().first == offset ? refused.front().second : "";
  }

  void take(HJ::SpanKind kind, std::uint64_t offset, std::string_view bytes, const Sink& sink) {
    static_assert(static_cast<int>(HJ::SpanKind::Unended) == 5, "kRefused follows SpanKind");
    static const char* const kRefused[] = {"", "length", "crc", "overlong", "", "unended"};
    if (*kRefused[static_cast<int>(kind)]) refused.emplace_back(offset, kRefused[static_cast<int>(kind)]);
    if (kind == HJ::SpanKind::Frame) {
      cut(true, true, sink);
      Span span;
      span.offset = static_cast<std::size_t>(offset);
      span.bytes = std::string(bytes.substr(0, bytes.size() - 2));
      span.crlf = true;
      span.ending = "CR LF";
      span.scanned = true;
      sink(std::move(span));
      stretch_at = offset + bytes.size();
      return;
    }
    stretch.append(bytes.data(), bytes.size());
    crc_budget += HJ::FrameScanner::kCrcWorkPerByte * bytes.size();
  }
};

SpanCutter::SpanCutter(const std::string& key) : m_cutting(new Cutting) { set_key(key); }
SpanCutter::~SpanCutter() = default;

void SpanCutter::set_key(const std::string& key) {
  if (key == m_cutting->key) return;
  m_cutting->key = key;
  m_cutting->spans.set_key(key);
  m_cutting->judge.set_key(key);
}

void SpanCutter::feed(const char* data, std::size_t n, const Sink& sink) {
  Cutting& cutting = *m_cutting;
  cutting.spans.feed(data, n, [&](HJ::SpanKind kind, std::uint64_t offset, std::string_view bytes) { cutting.take(kind, offset, bytes, sink); });
  cutting.cut(false, false, sink);
}

void SpanCutter::finish(const Sink& sink) {
  Cutting& cutting = *m_cutting;
  cutting.spans.finish([&](HJ::SpanKind kind, std::uint64_t offset, std::string_view bytes) { cutting.take(kind, offset, bytes, sink); });
  cutting.cut(true, false, sink);
}

std::size_t SpanCutter::held() const { return m_cutting->spans.held() + m_cutting->stretch.size(); }

std::vector<Span> find_spans(const std::string& input, const std::string& key) { return find_spans(input, {KeyFrom{0, key}}); }

std::vector<Span> find_spans(const std::string& input, const std::vector<KeyFrom>& keys) {
  std::vector<Span> spans;
  const SpanCutter::Sink keep = [&spans](Span&& span) { spans.push_back(std::move(span)); };
  SpanCutter cutter;
  std::size_t change = 0; // the next entry of `keys`
  for (std::size_t at = 0; at < input.size();) {
    for (; change < keys.size() && keys[change].from <= at; ++change) cutter.set_key(keys[change].key);
    std::size_t n = std::min<std::size_t>(65536, input.size() - at);
    if (change < keys.size()) n = std::min(n, keys[change].from - at);
    cutter.feed(input.data() + at, n, keep);
    at += n;
  }
  cutter.finish(keep);
  return spans;
}

std::string hex_to_bytes(const std::string& dump) {
  std::string bytes;
  auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); };
  const char* const blank = " \t\r";
  for (std::size_t from = 0; from < dump.size();) {
    std::size_t stop = dump.find('\n', from);
    if (stop == std::string::npos) stop = dump.size();
    const std::string_view line(dump.data() + from, stop - from);
    from = stop + 1;
    bool first = true, colon_offset = false, read = false;
    for (std::size_t i = 0; i < line.size();) {
      std::size_t start = line.find_first_not_of(blank, i);
      if (start == std::string_view::npos) break;
      // After an offset with ':' (xxd) the text column follows two blanks, and may look like hex (a QN)
      if (colon_offset && read && start >= i + 2) break;
      std::size_t end = line.find_first_of(blank, start);
      if (end == std::string_view::npos) end = line.size();
      std::string_view token = line.substr(start, end - start);
      i = end;
      bool more = line.find_first_not_of(blank, end) != std::string_view::npos;
      if (first && more && (token.back() == ':' || (token.size() >= 6 && line.substr(end, 2) == "  "))) {
        colon_offset = token.back() == ':'; // an offset: "0010:", or hexdump's "00000010" before two blanks
        first = false;
        continue;
      }
      first = false;
      if (token[0] == '|') break; // hexdump's text column
      if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) token.remove_prefix(2);
      bool pairs = token.size() % 2 == 0;
      for (char c : token) pairs = pairs && hex(c);
      for (std::size_t k = 0; pairs && k < token.size(); k += 2)
        bytes += static_cast<char>(std::strtol(std::string(token.substr(k, 2)).c_str(), nullptr, 16));
      read = read || pairs;
    }
  }
  return bytes;
}

namespace {

// The frame `s` judged as it stands.
Report judge(const std::string& s, const std::string& key) {
  Report r;
  const std::string framed = s + "\r\n";
  r.accepted = HJ::check_frame(framed);
  if (s.size() < kSpanEnvelope) {
    r.reasons.push_back("too short: " + std::to_string(s.size()) + " bytes before the line end; \"##\", the length and the CRC alone take 10");
    return r;
  }
  r.length_field = s.substr(HJ::kLengthFieldAt, HJ::kDataAt - HJ::kLengthFieldAt);
  const long read_as = HJ::parse_length_field(r.length_field.c_str()); // as the plug-in reads it: " 12" and "+12" too
  if (r.length_field.find_first_not_of("0123456789") == std::string::npos) r.announced = read_as;
  std::string data = s.substr(HJ::kDataAt, s.size() - kSpanEnvelope);
  r.actual = data.size();
  r.crc_field = s.substr(s.size() - HJ::kCrcDigits);
  r.crc_computed = crc_text(data);
  const bool ascii = is_ascii(data), utf8 = ascii || HJ::is_utf8(data.data(), data.size());
  r.charset = ascii ? "ASCII" : utf8 ? "UTF-8" : "GB18030";
  std::string plain;
  sim::CipherWire form = sim::CipherWire::Plain;
  const sim::KeyedRead keyed = key.empty() ? sim::KeyedRead::AsReceived : sim::read_with_key(framed, key, plain, form);
  if (keyed == sim::KeyedRead::Decrypted) {
    take_decrypted(plain, form, r);
  } else if (keyed == sim::KeyedRead::Rejected) {
    r.accepted = false;
    // a plain frame whose CRC is Modbus's: the key has nothing to do with it
    const std::string modbus = modbus_mistake(data, r.crc_field);
    if (!damaged_by_log(data, r) && !modbus.empty()) explain(data, utf8, modbus, r);
    else if (r.judged) explain_rejected(data, key, r);
  } else if (key.empty() && r.accepted && !HJ::queued_as_received(data.data(), data.size(), HJ::kCharsetByFlag, false)) {
    r.accepted = false;
    const std::size_t at = static_cast<std::size_t>(
        std::find_if(data.begin(), data.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }) - data.begin());
    char found[96];
    std::snprintf(found, sizeof found, "byte 0x%02X at offset %zu of the data segment", static_cast<unsigned char>(data[at]), at);
    r.reasons.push_back(std::string("the length and CRC fit, but the data segment holds a control byte (") + found +
                        "): no HJ 212 text does, so the plug-in counts it BadCrc; the CRC lets one damaged frame in 256 through");
  } else if (!r.accepted && !damaged_by_log(data, r)) {
    const std::string modbus = modbus_mistake(data, r.crc_field);
    explain(data, utf8, modbus, r);
    if (modbus.empty()) explain_encryption(data, key, r);
  }
  if (!r.accepted && r.reasons.empty()) r.reasons.push_back("length field \"" + r.length_field + "\" read as " + std::to_string(read_as));
  if (r.crc_field != upper(r.crc_field) && upper(r.crc_field) == r.crc_computed) r.notes.push_back("CRC written in lower case: accepted");
  if (keyed == sim::KeyedRead::Decrypted) decode_fields(r.data, r);
  else if (utf8) decode_fields(data, r);
  else decode_fields(HJ::received_text(data), r);
  if (r.looks != sim::CipherWire::Plain || !r.judged) { // ciphertext, not items
    r.cp.clear();
    r.items.clear();
  }
  return r;
}

// The frame `s` with its data segment, the runtime's UTF-8 text, in the wire charset GB18030 (a
// script holds a received GB18030 frame converted, its length field and CRC still the wire's);
// false when the data is not such text.
bool in_wire_charset(const std::string& s, std::string& wire) {
  if (s.size() < kSpanEnvelope) return false;
  const std::string data = s.substr(HJ::kDataAt, s.size() - kSpanEnvelope);
  std::string gb;
  if (is_ascii(data) || !HJ::is_utf8(data.data(), data.size()) || !HJ::utf8_to_gb18030(data, gb) || gb == data) return false;
  wire = s.substr(0, HJ::kDataAt) + gb + s.substr(s.size() - HJ::kCrcDigits);
  return true;
}

} // namespace

Span link_span(std::string_view bytes) {
  Span span;
  span.bytes.assign(bytes.data(), bytes.size());
  const bool ended = span.bytes.size() >= 2 && span.bytes.compare(span.bytes.size() - 2, 2, "\r\n") == 0;
  while (!span.bytes.empty() && (span.bytes.back() == '\n' || span.bytes.back() == '\r')) span.bytes.pop_back();
  if (ended) {
    span.crlf = span.scanned = true;
    span.ending = "CR LF";
  }
  return span;
}

Verdict verdict(const Span& span, const Report& r) {
  if (!r.judged) return Verdict::Unjudged;
  if (!r.accepted) return Verdict::Reject;
  return span.scanned ? Verdict::Accept : Verdict::LogLine;
}

Report explain(const Span& span, const std::string& key) {
  Report r = judge(span.bytes, key);
  std::string wire;
  if (r.accepted || !r.judged || !in_wire_charset(span.bytes, wire)) return r;
  Report w = judge(wire, key);
  const bool holds = w.accepted || (w.announced >= 0 && static_cast<std::size_t>(w.announced) == w.actual && upper(w.crc_field) == w.crc_computed);
  if (!holds) return r;
  w.given_bytes = r.actual;
  w.wire_charset = "GB18030";
  return w;
}

namespace {

// Without CR LF seen after the span, the verdict is on the span with CR LF added.
const char* verdict_word(const Span& span, const Report& r) {
  switch (verdict(span, r)) {
  case Verdict::Unjudged: return "CANNOT BE JUDGED";
  case Verdict::Accept: return "ACCEPTED";
  case Verdict::LogLine:
    return span.crlf ? "ACCEPTED as a log line's frame (the plug-in would not queue these bytes)"
                     : "ACCEPTED once CR LF is added (a log line's frame: the plug-in would not queue these bytes)";
  case Verdict::Reject: break;
  }
  return span.crlf || r.wire ? "REJECTED" : "REJECTED even with CR LF added";
}

// The line on a frame given as the runtime's UTF-8 text and judged in its wire charset.
std::string charset_line(const Report& r) {
  if (r.wire_charset.empty()) return std::string();
  return "  text:   given as the runtime's UTF-8 text (" + std::to_string(r.given_bytes) + " data bytes); checked in its wire charset " +
         r.wire_charset + " (" + std::to_string(r.actual) + " bytes), where its length and CRC hold\n";
}

// The line on an encrypted frame read with the key.
std::string cipher_line(const Report& r) {
  if (r.looks != sim::CipherWire::Plain)
    return std::string("  cipher: the CP region looks encrypted (") + sim::cipher_wire_text(r.looks) + "); its items are not shown\n";
  if (r.encryption == sim::CipherWire::Plain) return std::string();
  return std::string("  cipher: encrypted (") + sim::cipher_wire_text(r.encryption) + "), decrypted with the key: " + std::to_string(r.plain_bytes) +
         " plain bytes, the CRC over them; the fields below are the plain ones\n";
}

} // namespace

namespace {

// Printable ASCII and LF alone. A byte is bad when its low seven bits plus 1 reach 0x80 (0x7F
// and up) or its low seven bits plus 0x60 do not (below 0x20), unless it is LF.
bool printable_lines(const std::string& text) {
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    const std::uint64_t word = word_at(text.data() + i), low = word & ~kHighs;
    const std::uint64_t high = ((low + kOnes) | word) & kHighs, control = ~(low + 0x60 * kOnes) & kHighs & ~zero_bytes(word ^ (0x0A * kOnes));
    if ((high | control) != 0) return false;
  }
  for (; i < text.size(); ++i)
    if ((text[i] < 0x20 || text[i] >= 0x7F) && text[i] != '\n') return false;
  return true;
}

// Each line as text: a station's control bytes never reach the terminal.
std::string escaped_lines(std::string text) {
  if (printable_lines(text)) return text;
  std::string out;
  out.reserve(text.size());
  for (std::size_t from = 0; from < text.size();) {
    std::size_t lf = std::min(text.find('\n', from), text.size());
    out += sim::readable_text(std::string_view(text).substr(from, lf - from));
    if (lf < text.size()) out += '\n';
    from = lf + 1;
  }
  return out;
}

std::string report_lines(std::size_t number, const Span& span, const Report& r);

} // namespace

std::string text_report(std::size_t number, const Span& span, const Report& r) { return escaped_lines(report_lines(number, span, r)); }

namespace {

// `out` with each of `parts` appended: one string grows, no temporaries.
void add(std::string& out, std::initializer_list<std::string_view> parts) {
  for (const std::string_view part : parts) out.append(part);
}

std::string report_lines(std::size_t number, const Span& span, const Report& r) {
  std::string out;
  out.reserve(512);
  add(out, {"frame ", std::to_string(number), " at offset ", std::to_string(span.offset), ": "});
  if (span.crlf) add(out, {std::to_string(span.bytes.size() + 2), " bytes with ", span.ending, ", ", verdict_word(span, r), "\n"});
  else add(out, {std::to_string(span.bytes.size()), " bytes without CR LF (then ", span.ending, "), ", verdict_word(span, r), "\n"});
  for (const std::string& reason : r.reasons) add(out, {"  reason: ", reason, "\n"});
  for (const std::string& note : r.notes) add(out, {"  note:   ", note, "\n"});
  if (r.length_field.empty()) return out;
  out += charset_line(r);
  out += cipher_line(r);
  add(out, {"  length: ", r.length_field, " (data ", std::to_string(r.actual), " bytes, ", r.charset, ")\n"});
  if (r.judged) add(out, {"  crc:    ", r.crc_field, " (computed ", r.crc_computed, ")\n"});
  for (const auto& field : r.fields) {
    if (field.first == "CP") continue;
    // "  %-7s " by hand, the label cut at 31 bytes as ever: a printf per field was a tenth of
    // the tool's time on a log
    char label[31];
    std::size_t n = 0;
    const auto put = [&](char c) {
      if (n < sizeof label) label[n++] = c;
    };
    put(' ');
    put(' ');
    for (std::size_t i = 0; i < field.first.size() && n < sizeof label; ++i) put(field.first[i]);
    put(':');
    while (n < 9) put(' ');
    put(' ');
    out.append(label, n);
    out += field.second;
    out += '\n';
  }
  if (r.looks != sim::CipherWire::Plain || !r.judged) return out;
  add(out, {"  CP:     ", std::to_string(r.items.size()), r.items.size() == 1 ? " item\n" : " items\n"});
  // keys and values as text (control bytes escaped), columns no wider than a sane value
  std::size_t width = 0, value_width = 0;
  std::vector<std::pair<std::string, std::string>> shown;
  for (const codes::Item& item : r.items) {
    shown.emplace_back(codes::shown(item.key, 64), codes::shown(item.value, 256));
    width = std::max(width, shown.back().first.size());
    value_width = std::max(value_width, std::min<std::size_t>(shown.back().second.size(), 16));
  }
  for (std::size_t i = 0; i < r.items.size(); ++i) {
    const codes::Item& item = r.items[i];
    add(out, {"    ", shown[i].first});
    out.append(width - shown[i].first.size() + 2, ' ');
    out += shown[i].second;
    if (!item.meaning.empty() || !item.flag_meaning.empty()) {
      out.append(shown[i].second.size() < value_width ? value_width - shown[i].second.size() + 2 : 2, ' ');
      out += item.meaning;
      if (!item.flag_meaning.empty()) add(out, {": ", item.flag_meaning});
    }
    out += '\n';
    for (const codes::Note& note : item.notes) add(out, {"      note: ", note.text, "\n"});
  }
  return out;
}

} // namespace

namespace {

std::string json_string(const std::string& text) {
  bool utf8 = HJ::is_utf8(text.data(), text.size());
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == 0xE2 && utf8 && sim::is_bidi_control(text, i)) { // a terminal showing the line obeys it
      char buf[8];
      const unsigned code = 0x2000u | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6 | (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
      std::snprintf(buf, sizeof buf, "\\u%04x", code);
      out += buf;
      i += 2;
    } else if (c == 0xC2 && utf8 && static_cast<unsigned char>(text[i + 1]) < 0xA0) { // C1 controls, as the text report escapes them
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(text[++i]));
      out += buf;
    } else if (c == 0x7F) {
      out += "\\u007f";
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || (c >= 0x80 && !utf8)) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string json_list(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + json_string(items[i]);
  return out + "]";
}

std::string json_pairs(const std::vector<std::pair<std::string, std::string>>& items, bool object) {
  std::string out = object ? "{" : "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    out += i ? "," : "";
    out += object ? json_string(items[i].first) + ":" + json_string(items[i].second)
                  : "[" + json_string(items[i].first) + "," + json_string(items[i].second) + "]";
  }
  return out + (object ? "}" : "]");
}

std::string json_items(const std::vector<codes::Item>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    const codes::Item& it = items[i];
    std::vector<std::string> notes;
    for (const codes::Note& n : it.notes) notes.push_back(n.text);
    out += (i ? ",{" : "{") + std::string("\"key\":") + json_string(it.key) + ",\"value\":" + json_string(it.value) +
           ",\"code\":" + json_string(it.pollutant ? it.pollutant->code : it.code) + ",\"field\":" + json_string(it.field) + ",\"name\":" +
           json_string(it.pollutant ? it.pollutant->en
                       : it.info    ? it.info->en
                                    : "") +
           ",\"name_zh\":" +
           json_string(it.pollutant ? it.pollutant->name
                       : it.info    ? it.info->name
                                    : "") +
           ",\"unit\":" + json_string(it.unit) + ",\"meaning\":" + json_string(it.meaning) + ",\"flag\":" + json_string(it.flag_meaning) +
           ",\"notes\":" + json_list(notes) + "}";
  }
  return out + "]";
}

const char* json_verdict(const Span& span, const Report& r) {
  static const char* const kWords[] = {"accept", "log_line", "reject", "unjudged"};
  return kWords[static_cast<int>(verdict(span, r))];
}

} // namespace

std::string json_report(std::size_t number, const Span& span, const Report& r) {
  std::string out = "{\"frame\":" + std::to_string(number) + ",\"offset\":" + std::to_string(span.offset) +
                    ",\"bytes\":" + std::to_string(span.bytes.size() + (span.crlf ? 2 : 0)) + ",\"crlf\":" + (span.crlf ? "true" : "false") +
                    ",\"ending\":" + json_string(span.ending) + ",\"verdict\":\"" + json_verdict(span, r) + "\",\"reasons\":" + json_list(r.reasons) +
                    ",\"notes\":" + json_list(r.notes);
  if (!span.refused_as.empty()) out += ",\"scanner\":\"" + span.refused_as + "\"";
  if (!r.length_field.empty()) {
    out += ",\"length\":{\"field\":" + json_string(r.length_field) + ",\"announced\":" + std::to_string(r.announced) +
           ",\"actual\":" + std::to_string(r.actual) + "},\"crc\":{\"field\":" + json_string(r.crc_field) + ",\"computed\":\"" + r.crc_computed +
           "\"},\"charset\":\"" + r.charset + "\",\"fields\":" + json_pairs(r.fields, true) + ",\"cp\":" + json_pairs(r.cp, false) +
           ",\"items\":" + json_items(r.items);
    if (!r.wire_charset.empty())
      out += ",\"given_as\":\"UTF-8\",\"given_bytes\":" + std::to_string(r.given_bytes) + ",\"wire_charset\":\"" + r.wire_charset + "\"";
    sim::CipherWire form = r.encryption != sim::CipherWire::Plain ? r.encryption : r.looks;
    if (form != sim::CipherWire::Plain)
      out += std::string(",\"encryption\":\"") + (form == sim::CipherWire::Raw ? "raw" : "text") + "\",\"decrypted\":" +
             (r.encryption != sim::CipherWire::Plain ? "true,\"plain_bytes\":" + std::to_string(r.plain_bytes) : std::string("false"));
  }
  return out + "}";
}

} // namespace frametool
