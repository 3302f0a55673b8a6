// Cuts HJ 212 frames out of a byte stream that arrives in chunks of any size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Envelope.h"

namespace HJ {

class CipherKey;
class Sm4;

// What the scanner decided about a stretch of the stream, for an observer (FrameScanner::observe).
enum class SpanKind : unsigned char {
  Frame,     // accepted (the frame next() gives may be its decrypted form)
  BadLength, // a "\r\n"-terminated span, first "##" not announcing its length
  BadCrc,    // the same, first "##" announcing its length but the CRC (or text) failing
  Overlong,  // a start without "\r\n" within kMaxFrameBytes, up to the next "##" it holds
  Noise,     // bytes outside any span: before a "##", or before a frame a later "##" began
  Unended,   // finish(): a start still waiting for its line end, up to the next "##" it holds
};

class SpanObserver {
public:
  virtual ~SpanObserver() = default;
  // [offset, offset + length) of the stream.
  virtual void span(SpanKind kind, std::uint64_t offset, std::uint64_t length) = 0;
};

// ---- Framing
// Every "##" ... "\r\n" span is tested; accepted frames come out whole, envelope
// included, in arrival order.
// - All bytes count, zero bytes included; a trailing "#" is kept, since it may be the first half
//   of a "##" still on its way.
// - A span's first "##" is a candidate, and so is every later "##" before its "\r\n": noise or a
//   cut-off frame in front of a frame does not take the frame with it. They are judged from the
//   last back, so that bytes in front of a frame never cost that frame (they are all a sender of
//   crafted bytes controls). A candidate is a frame when its length field counts its bytes, its
//   CRC fits and its segment passes queued_as_received (CpCipher.h): without a key no control byte.
// - A span without "\r\n" is kept until it is longer than the largest acceptable frame
//   (kMaxFrameBytes); then it is given up, up to the next "##" inside it.
//
// ---- With a key (set_key)
// Frames of a data command may carry their CP region encrypted, and raw
// ciphertext may hold "\r\n", "##" and zero bytes. Every candidate is judged on its own, whatever
// came before it (keyed_read, CpCipher.h):
// - in its span: taken as received, or decrypted when its length field counts its bytes or the
//   plain bytes of a whole {0x..} list (read_encrypted);
// - a data command whose length field announces more than reaches its span's "\r\n" may be raw
//   ciphertext holding "\r\n": it is followed to that end, several at a time, while the spans
//   inside are cut as ever. At its end, when that is "\r\n" and nothing was accepted meanwhile,
//   it is judged once and its verdict (the frame decrypted, or one BadCrc) stands in for the
//   spans cut inside it; otherwise those spans' verdicts stand. Of candidates ending at one place
//   the one that starts last is judged first. A frame accepted anywhere ends every candidate that
//   began before it. Only bytes end a followed candidate, never a pause;
//   when kMaxFollowed are followed, the oldest makes way for a new one (on a line that keeps
//   breaking, the frame that starts last is the one still arriving).
// Without a key nothing of this runs.
//
// ---- Cost
// Linear in the bytes appended, whatever they hold:
// - each byte is searched a bounded number of times, consumed bytes are dropped from the front
//   only once they outweigh what is kept;
// - a span gets at most kCrcWorkPerByte times its length of CRC work on its candidates;
// - decryptions draw on a credit of kDecryptPerByte per byte up to the candidate judged (so the
//   same credit however the bytes were chunked), never the part a followed candidate that began
//   later still needs; at most kMaxFollowed candidates are followed at once. Input crafted to
//   exhaust a bound costs only what it spent: the candidate skipped is counted in cut_short.
// - What it holds is bounded for every input (footprint): the largest frame, the followed
//   candidates' bytes and the verdicts held back while they are followed.
//
// ---- Spans, for tools that explain every byte (observe)
// An observer learns every stretch the scanner settles, in stream order, each byte once, with
// offsets counted from the first byte appended: the accepted frames (wire bytes) and the spans
// given up, as counted. A verdict held back while a candidate is followed is told when it is
// counted; noise when the bytes are consumed for good. Without an observer nothing of this runs.
//
// ---- Threads
// Not thread-safe: one thread feeds it (the engine's receive thread).
class FrameScanner {
public:
  // CRC bytes a span may cost, per byte of the span.
  static constexpr std::size_t kCrcWorkPerByte = 2;
  // Decryption credit earned per byte looked at, and the most it saves up.
  static constexpr std::size_t kDecryptPerByte = 2;
  static constexpr std::size_t kMaxCredit = 4 * kMaxFrameBytes;
  // Candidates followed beyond their span at once.
  static constexpr std::size_t kMaxFollowed = 32;

  // What became of the bytes given up so far.
  struct Counts {
    std::uint64_t bad_length = 0;   // "\r\n"-terminated spans rejected, first "##" not announcing its length
    std::uint64_t bad_crc = 0;      // the same, first "##" announcing its length but the CRC (or text) failing
    std::uint64_t overlong = 0;     // starts given up without a "\r\n" within kMaxFrameBytes
    std::uint64_t noise_bytes = 0;  // bytes consumed outside accepted frames
    std::uint64_t crc_bytes = 0;    // bytes the acceptance test ran its CRC over
    std::uint64_t cut_short = 0;    // candidates skipped for want of CRC work, credit or room to follow
    std::uint64_t decrypted = 0;    // frames accepted with their CP region decrypted
    std::uint64_t cipher_bytes = 0; // bytes of data segments handed to the decryption
  };

  FrameScanner();
  ~FrameScanner();
  FrameScanner(const FrameScanner&) = delete;
  FrameScanner& operator=(const FrameScanner&) = delete;

  // The key (16 bytes) encrypted frames are read with, or nullptr for none; removing it gives up
  // the followed candidates.
  void set_key(const unsigned char* key);
  bool has_key() const { return m_cipher != nullptr; }
  // How GetData reads a frame's text (WireCharset, the second device parameter): with a key, a
  // frame is queued only when its segment is text in that charset.
  void set_charset(WireCharset charset) { m_charset = charset; }
  // The device's key, looked at (one atomic load) whenever a span is judged: a key set or removed
  // meanwhile is copied then, so a span is read with one key, the old or the new. Not owned.
  void use_key_source(const CipherKey* source) { m_key_source = source; }
  // Some candidate is followed beyond its span, waiting for its announced end.
  bool following() const { return m_followed_count != 0; }
  // Gives up the followed candidates (the line they came on was handed over): the verdicts of the
  // spans cut inside them count from now. No pause gives them up: a line may pause anywhere.
  void give_up_followed();

  // Adds received bytes behind those kept from earlier chunks.
  void append(const void* bytes, std::size_t n);
  // For reading straight into the buffer: room for `n` more bytes behind those kept (valid until
  // the next call of any other member), then commit(placed) with how many were written there.
  // The room is not cleared: its bytes count only once committed.
  char* room(std::size_t n);
  void commit(std::size_t placed) { m_size += placed; }
  // Moves the next accepted frame into `frame`. false: no complete span is left; the buffer then
  // holds only what may still become a frame.
  bool next(std::string& frame);

  // append + next until no frame is left; on_frame(std::string&&) gets each accepted frame.
  // Returns the number of frames delivered.
  template <class Sink>
  std::size_t feed(const void* bytes, std::size_t n, Sink&& on_frame) {
    append(bytes, n);
    std::size_t count = 0;
    std::string frame;
    while (next(frame)) {
      ++count;
      on_frame(std::move(frame));
    }
    return count;
  }

  // Tells `observer` (not owned; nullptr: nobody) every span from now on.
  void observe(SpanObserver* observer) { m_observer = observer; }
  // The stream ended (a file read to its end): after give_up_followed() and next() until false,
  // tells the observer what is still kept (each start as Unended, the rest as Noise) and clears.
  void finish();

  // Bytes appended so far: the stream offset of the next byte.
  std::uint64_t offset() const { return m_base + m_size; }
  // Bytes kept for a frame that is not complete yet.
  std::size_t pending() const { return m_size - m_head; }
  // Bytes held in memory, consumed ones not yet dropped included.
  std::size_t held() const { return m_size; }
  // Bytes of memory the scanner holds: its buffer and its bookkeeping.
  std::size_t footprint() const { return m_capacity + m_held.capacity() * sizeof(Held) + m_plain.capacity(); }
  // Gives up the bytes kept (counted as noise); the counts stay.
  void clear();
  // The counts. The verdicts of spans cut while a candidate is followed (bad_length, bad_crc,
  // overlong, noise_bytes) are held back until it is judged or given up, so no count ever goes down.
  const Counts& counts() const {
    settle();
    return m_counts;
  }

private:
  static constexpr std::size_t npos = std::string::npos;
  // First "ab" lying wholly inside [from, to), or npos. Dense noise puts the next candidate a
  // few bytes on: a plain inline look first (a second byte that is neither `a` nor `b` rules out
  // a pair at both places), memchr for the rest.
  std::size_t find_pair(std::size_t from, std::size_t to, char a, char b) const {
    const char* base = m_buf.get();
    for (std::size_t stop = from + 16 < to ? from + 16 : to; from + 1 < stop;) {
      char second = base[from + 1];
      if (second == b && base[from] == a) return from;
      from += second == a ? 1 : 2;
    }
    return from + 1 < to ? find_pair_far(from, to, a, b) : npos;
  }
  std::size_t find_pair_far(std::size_t from, std::size_t to, char a, char b) const;
  // Last "##" lying wholly inside [from, to), or npos. Dense noise puts the previous candidate a
  // few bytes back: a plain look first (a byte that is no "#" begins no pair and ends none), the
  // library's search for the rest.
  std::size_t find_last_pair(std::size_t from, std::size_t to) const {
    const char* base = m_buf.get();
    for (std::size_t stop = to > from + 16 ? to - 16 : from; to >= stop + 2;) {
      const std::size_t at = to - 2;
      if (base[at] != '#') {
        to = at;
        continue;
      }
      if (base[at + 1] == '#') return at;
      to = at + 1;
    }
    return to >= from + 2 ? find_last_pair_far(from, to) : npos;
  }
  std::size_t find_last_pair_far(std::size_t from, std::size_t to) const;
  // Consumes every byte before `to` except a "#" right before it, which may begin a "##".
  void skip_to_end_keeping_hash(std::size_t to);
  // Drops consumed bytes no followed candidate needs, once they outweigh what is kept (a followed
  // candidate keeps more, never less: the look at m_head alone rules most calls out).
  void compact() {
    if (m_head != 0 && m_size - m_head <= m_head) compact_now();
  }
  void compact_now();
  // The framing loop, with nothing followed or (Following) up to the nearest followed end, which
  // is judged there: a frame, more bytes wanted, or the following began or ended (run again).
  enum class Step { Frame, Wait, Again };
  template <bool Following>
  Step scan(std::string& frame);
  // All bytes up to the limit were looked at: the followed end that is due is judged (run again
  // after it), or more bytes are wanted.
  Step at_limit(bool due, std::string& frame);
  // The frame in the "\r\n"-terminated span [m_start, cr + 2), if any; counts the span otherwise.
  bool cut_span(std::size_t cr, std::string& frame);
  // One candidate of that span; true with its frame.
  bool judge_candidate(std::size_t at, std::size_t cr, std::size_t& spent, std::size_t budget, Verdict& verdict, std::string& frame);
  // The candidate [at, at + length) as a frame with its CP region decrypted, when the credit
  // allows and it reads so with the key (read_encrypted).
  bool decrypted_frame(std::size_t at, std::size_t length, std::string& frame);
  // Bytes from at + 6 up to the next "##" or `to`: where a candidate's own header may stand.
  std::size_t header_room(std::size_t at, std::size_t to) const;
  // Takes the key source's key when its version moved.
  void refresh_key();
  void follow_key();
  // The credit the followed candidates that began after the absolute offset `at` still need from
  // what is saved at `now`, beyond what their own bytes up to their ends will earn.
  std::size_t reserve_for_later(std::uint64_t at, std::uint64_t now) const;
  // Follows the candidate at `at` to its announced end `end`; when kMaxFollowed are followed, the
  // oldest of them and it is given up (counted in cut_short).
  void follow(std::size_t at, std::size_t end);
  // The smallest announced end among the followed candidates (all ones without any).
  std::uint64_t nearest_followed_end() const;
  // Judges the followed candidate with the nearest end, all of whose bytes are here.
  bool judge_followed(std::string& frame);
  // A frame [at, end) was accepted: every candidate that began before it ends.
  void accept(std::size_t at, std::size_t end);
  // A verdict, counted at once or held back while a candidate is followed; [from, end) are the
  // bytes it covers (absolute offsets).
  using Kind = SpanKind;
  void count(Kind kind, std::uint64_t from, std::uint64_t end);
  void add(Kind kind, std::uint64_t from, std::uint64_t end);
  // Tells the observer, noise before it included.
  void tell(Kind kind, std::uint64_t from, std::uint64_t end);
  // Tells the bytes before the offset up to which nothing can change any more as noise.
  void tell_settled_noise();
  // Counts the held verdicts no followed candidate can stand in for any more.
  void release_held();
  // noise_bytes from the absolute offset up to which every verdict is counted.
  void settle() const;

  // The buffer is kept across chunks (no allocation per read); it grows by doubling and is
  // zeroed once when allocated, never per read.
  std::unique_ptr<char[]> m_buf;
  std::size_t m_size = 0;
  std::size_t m_capacity = 0;
  std::size_t m_head = 0;                  // bytes before this are consumed
  std::size_t m_start = npos;              // the "##" the current span begins with; npos while none is known
  std::size_t m_crlf_from = 0;             // the current span holds no "\r\n" before this offset
  std::uint64_t m_base = 0;                // absolute offset of m_buf[0]
  std::uint64_t m_accepted_bytes = 0;      // wire bytes of accepted frames, for noise_bytes
  mutable Counts m_counts;                 // noise_bytes is brought up to date when the counts are read
  std::unique_ptr<Sm4> m_cipher;           // the key expanded; null without a key
  const CipherKey* m_key_source = nullptr; // not owned; null: set_key alone decides
  std::uint32_t m_key_version = 0;         // the source's version m_cipher was made from
  std::size_t m_credit = 0;                // decryption bytes still allowed, as of m_credited
  std::uint64_t m_credited = 0;            // absolute offset up to which m_credit was earned
  struct Followed {
    std::uint64_t at, end; // absolute offsets of its "##" and its announced end
  };
  Followed m_followed[kMaxFollowed]; // ordered by `at`
  std::size_t m_followed_count = 0;
  std::uint64_t m_nearest_end = 0; // the smallest `end` among them
  struct Held {
    std::uint64_t from, end;
    Kind kind;
  };
  std::vector<Held> m_held;                       // ordered by `end`; reused, never shrunk
  std::size_t m_held_from = 0;                    // entries before this were counted
  static constexpr std::size_t kHeldSettle = 256; // counted entries dropped in batches of at least this
  std::string m_plain;                            // a decrypted data segment, reused
  WireCharset m_charset = kCharsetByFlag;         // how GetData reads a segment
  SpanObserver* m_observer = nullptr;             // not owned
  std::uint64_t m_told = 0;                       // the observer knows every byte before this
};

} // namespace HJ
