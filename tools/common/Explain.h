// polmon-frame's core: finds every "##" span in log text or bytes, judges it with the plug-in's
// own acceptance test, explains a failure with its numbers and decodes the fields.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Codes.h"
#include "FrameCipher.h"

namespace frametool {

struct Span {
  std::size_t offset = 0; // where its "##" stands in the input
  std::string bytes;      // "##" up to the CRC, without the line end
  bool crlf = false;      // CR LF, or "\r\n" written out, right after `bytes`
  std::string ending;     // what came after `bytes`, in words: "CR LF", "LF alone", "the end of the input", ...
  bool scanned = false;   // the plug-in's scanner took these bytes, with their CR LF, as a frame; else the log-line rules cut it
  // the scanner's verdict on a span it refused from this "##": "length", "crc", "overlong",
  // "unended" (the input ended first); empty when no refused span of its starts here
  std::string refused_as;
};

// Cuts the spans out of `input`. The plug-in's scanner, with `key` (16 bytes, or empty) and read
// as a port reads it, decides the frames: each is a span with its CR LF, whatever stood before
// it on its line. The bytes between them are cut as a log: each span starts at "##" and ends
// before the first CR LF, LF, or the text "\r\n" written out (as logs print it), or at the end
// of the input, or after the largest frame (10,011 bytes) where no line end comes, as the plug-in
// gives it up. A span the plug-in rejects is retried from each later "##" in it (with its bound
// on CRC work). Linear: a span's line end is looked for within its own line. A span whose CP
// region that line end cuts short (raw ciphertext holds LF bytes) runs to its announced length.
std::vector<Span> find_spans(const std::string& input, const std::string& key = std::string());
// The same with the key changing along the input: each key is in force from its byte `from` on
// (ascending; before the first, none), as a device whose key is set between reads.
struct KeyFrom {
  std::size_t from = 0;
  std::string key;
};
std::vector<Span> find_spans(const std::string& input, const std::vector<KeyFrom>& keys);

// find_spans over a stream read in chunks: each span goes to the sink once no byte to come can
// change it. Holds the bytes of about two of the largest frames, not the input.
class SpanCutter {
public:
  using Sink = std::function<void(Span&&)>;
  explicit SpanCutter(const std::string& key = std::string());
  ~SpanCutter();
  SpanCutter(const SpanCutter&) = delete;
  SpanCutter& operator=(const SpanCutter&) = delete;
  // 16 bytes, or empty for none; in force for the bytes fed from now on.
  void set_key(const std::string& key);
  void feed(const char* data, std::size_t n, const Sink& sink);
  // The input ended: the rest of its spans.
  void finish(const Sink& sink);
  // Bytes held in memory, however long the input.
  std::size_t held() const;

private:
  struct Cutting;
  std::unique_ptr<Cutting> m_cutting;
};

// Where the span at `pos` ends when `end`, its first line end, falls inside its CP region before
// the end its length field announces: that end, when CR LF, LF or the end of the input stands
// there. `end` otherwise. `cp`: where the first "CP=&&" at or after `pos` stands (npos: none),
// which the caller keeps from span to span so no byte is searched twice.
std::size_t extend_to_announced_end(std::string_view input, std::size_t pos, std::size_t end, std::size_t cp);

// Hex dump to bytes: tokens of hex digit pairs are read, offsets ("0010:") and other text skipped.
std::string hex_to_bytes(const std::string& dump);

struct Report {
  bool accepted = false;                               // the plug-in's acceptance test on the span plus CR LF, seen or not
  bool judged = true;                                  // false: a text log cut or re-encoded the line; no verdict
  bool wire = false;                                   // the bytes are a link's (a capture): the log-line rules never apply
  sim::CipherWire encryption = sim::CipherWire::Plain; // how the CP region stood, when the key decrypted it
  std::size_t plain_bytes = 0;                         // the data segment's length once decrypted
  sim::CipherWire looks = sim::CipherWire::Plain;      // how the CP region looks when it was not decrypted (items not shown)
  std::vector<std::string> reasons;                    // why not, with the numbers
  std::vector<std::string> notes;                      // remarks that do not reject (lower-case CRC)
  std::string length_field;                            // the four characters after "##"
  long announced = -1;                                 // the length field read as a number, -1 when it is not one
  std::size_t actual = 0;                              // bytes between the length field and the CRC field
  std::string crc_field;                               // the last four characters
  std::string crc_computed;                            // over the data as it stands
  std::string charset;                                 // "ASCII", "UTF-8" or "GB18030" (not valid UTF-8)
  std::string wire_charset;                            // "GB18030": given as the runtime's UTF-8 text, judged as the wire's bytes; empty: as given
  std::size_t given_bytes = 0;                         // with wire_charset: the data segment's bytes as given (`actual` counts the wire's)
  std::string data;                                    // the data segment in UTF-8 (decrypted, keys masked), for display
  std::vector<std::pair<std::string, std::string>> fields; // header field, decoded value
  std::vector<std::pair<std::string, std::string>> cp;     // CP items
  std::vector<codes::Item> items;                          // the CP items read against the code tables, with their notes (never a rejection)
};

// `key`: 16 bytes to decrypt CN 2000-2999 frames with, as the plug-in does; empty for none. A
// frame that fails as given, UTF-8 text whose GB18030 form has its length and CRC (a received
// frame as a panel script holds it), is judged in that form, with `wire_charset` set.
Report explain(const Span& span, const std::string& key = std::string());

// What polmon-frame says of a span: the plug-in queues it (Accept), or it passes only as a log's
// line (the plug-in's scanner took no frame there: it would not queue these bytes), or neither.
enum class Verdict { Accept, LogLine, Reject, Unjudged };
Verdict verdict(const Span& span, const Report& report);

// A frame the engine's scanner cut from a link, as a span: with its CR LF it is the plug-in's own
// kind of frame, never a log line's.
Span link_span(std::string_view bytes);

// Human-readable block, and one JSON object on one line.
std::string text_report(std::size_t number, const Span& span, const Report& report);
std::string json_report(std::size_t number, const Span& span, const Report& report);

} // namespace frametool
