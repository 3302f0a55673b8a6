// HJ 212 text as the tools show and take it apart: a data segment's fields as a table, frames
// described in one readable line, key values masked, Flag in words. Every frame rule underneath
// (envelope, CRC, charsets, Flag) is the plug-in's own, from hj212/; a platform's stricter
// demands are tools/platform's judge. Not yet: FrameScanner below is still the tools' own cutter,
// its users moving to the plug-in's scanner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

// Fields of a data segment, split properly: header fields "K=V" by ';' up to "CP=&&", the CP
// content up to the last "&&", whose fields are separated by ';' and ','.
struct Segment {
  std::vector<std::pair<std::string, std::string>> header;
  int flag = -1; // Flag as the plug-in reads it (HJ::header_flag): 0..255, or -1
  bool has_cp = false;
  std::string cp; // raw CP content
  std::vector<std::pair<std::string, std::string>> cp_fields;

  const std::string* get(std::string_view key) const;
  const std::string* cp_get(std::string_view key) const;
  std::string value(std::string_view key) const { // empty when absent
    const std::string* v = get(key);
    return v ? *v : std::string();
  }
};
Segment parse_segment(std::string_view segment);

// Cuts "##" ... "\r\n" frames out of a byte stream. Bytes outside frames are reported as junk;
// an unterminated frame longer than the limit is junk too. Consumed bytes are dropped in bulk,
// not by erasing the buffer's front per frame. Linear in the bytes fed, however they are cut up:
// each byte is looked at once for "##" and CR LF, and what was found is kept between feeds.
class FrameScanner {
public:
  enum class Kind { Frame, Junk };
  using Sink = std::function<void(Kind, std::string_view)>;

  explicit FrameScanner(size_t limit = 16384) : m_limit(limit) {}
  // Raw ciphertext holds CR LF and "##": a span whose first CR LF falls short of the end its
  // length field announces is followed to that end when CR LF stands there (otherwise it is cut
  // at its first CR LF, as without following). A later "##" that a CR LF before that end closes
  // at its own announced length is a frame at once, the open span junk. Off by default.
  void follow_announced_length(bool on) { m_follow = on; }
  void feed(const char* data, size_t n, const Sink& sink);
  // Whatever is left (an unterminated frame) is reported as junk.
  void flush(const Sink& sink);
  size_t pending() const { return m_buf.size() - m_head; }

private:
  static constexpr size_t npos = std::string::npos;
  // A CR LF at `at`, with the last "##" before it (npos: none at or after the head then).
  struct CrLf {
    size_t at, last;
  };
  // The end (one past CR LF) of the frame at `start` by its announced length: 0 when it cannot
  // be told yet, npos when the length field is not four digits.
  size_t announced_end(size_t start) const;
  // Records the CR LFs and "##" of the bytes not looked at yet.
  void scan();
  // Forgets the CR LFs that cannot end the span at `start` or any later one.
  void forget_before(size_t start);
  // Drops the first `n` bytes (all consumed), moving what was recorded with them.
  void drop_front(size_t n);
  void reset();
  std::string m_buf;
  size_t m_head = 0;
  size_t m_limit;
  bool m_follow = false;
  size_t m_scanned = 0;       // pairs of bytes starting before this were looked at
  size_t m_last_start = npos; // the last "##" looked at
  std::deque<CrLf> m_crlfs;   // every CR LF from the open span's data on
  std::deque<CrLf> m_closing; // those where the last "##" before them ends by its announced length
};

// Local time texts: "yyyyMMddHHmmssSSS" (QN), "yyyyMMddHHmmss" (DataTime), "HH:MM:SS.mmm" (trace).
std::string qn_text();
std::string datatime_text();
std::string clock_text();

// Names of the standard's command codes (CN), 2017 and 2025, and system codes (ST), from the code
// tables (Codes.h); nullptr for a code the standards do not name.
const char* command_name(std::string_view cn);
const char* system_name(std::string_view st);
// Flag (0..255, -1 for none, as HJ::header_flag reads it) decoded: "HJ 212-2017, answer wanted"
// and so on; "not a number 0..255" for -1.
std::string flag_text(int flag);

// `text` as a trace shows it: GB18030 converted to UTF-8 (a 2017 frame's Chinese reads as text,
// and grep sees no binary); control bytes (C0, DEL, C1) and bytes that are neither charset as \xHH.
std::string readable_text(std::string_view text);
// One readable line about a frame: length, the plug-in's verdict on it (HJ::classify_frame) and
// the QN/ST/CN/MN fields, as readable_text. Key values are masked.
std::string describe_frame(std::string_view frame);

// `text` with every key value shown as "****": the value after each "NewSK=" up to the next
// ';', ',', '&' or line end. Every tool output that may hold a frame's text goes through this.
std::string mask_keys(std::string_view text);

} // namespace sim
