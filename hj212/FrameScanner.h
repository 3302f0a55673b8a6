// Cuts HJ 212 frames out of a byte stream that arrives in chunks of any size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace HJ {

class CipherKey;
class Sm4;

// Every "##" ... "\r\n" span is tested with check_frame; accepted frames come out whole, envelope
// included, in arrival order. Rules:
// - all bytes count, zero bytes included;
// - a trailing "#" is kept, since it may be the first half of a "##" still on its way;
// - a rejected candidate that holds a later "##" is retried from there, so noise containing
//   "##" in front of a frame does not take the frame with it; a retry whose length field
//   matches costs a CRC over its data, and a span gets at most kCrcWorkPerByte times its own
//   length of such work: a span crafted to need more is given up whole (counted in cut_short);
// - a span without "\r\n" is kept until it is longer than the largest acceptable frame
//   (kMaxFrameBytes); then it is given up, up to the next "##" inside it.
// With a key (set_key), frames whose CN asks for encryption may carry their CP region encrypted
// (CpCipher.h), and raw ciphertext may hold "\r\n", "##" and zero bytes:
// - a candidate whose own header (no "##" before its "CP=&&") carries a CN 2000-2999 is queued as
//   received only when its CRC fits and its CP region is text in the charset GetData reads it in
//   (set_charset), not the {0x..} form: the CRC takes 256 values, so damage passes it once in 256;
// - otherwise the first such candidate of a span is decrypted (either wire form; the {0x..} form
//   may also carry the plain segment's length field) and accepted decrypted when the CRC it
//   carries is that of the plain data segment and that region is text: "##", plain length, plain
//   data, that CRC, "\r\n"; else it counts BadCrc (BadLength for a length field that fits neither);
// - a span without a frame in which a frame start (the "##" closest before a "CP=&&", the header
//   between them holding such a CN; the last such) announces more bytes than reach the span's
//   "\r\n" is also followed from there to that announced end (one span at a time). Spans inside
//   it are cut as ever, and a frame accepted there gives the followed one up; at its end, when
//   that is "\r\n", it is judged once (accepted decrypted, or BadCrc) and stands in for the spans
//   cut inside it; otherwise, or when give_up_followed is called, those spans' verdicts stand.
//   Until then the counts hold back the verdicts of the spans inside it.
// - a span gets at most one decryption; a byte is in at most two followed spans.
// Without a key nothing of this runs.
// The cost is linear in the bytes appended: each byte is searched a bounded number of times, gets
// at most 1 + kCrcWorkPerByte CRC steps and a bounded number of decryptions, and consumed bytes
// are dropped from the front only once they outweigh what is kept.
// Not thread-safe: one thread feeds it.
class FrameScanner {
public:
  // CRC bytes a span may cost, per byte of the span.
  static constexpr std::size_t kCrcWorkPerByte = 2;

  // What became of the bytes given up so far.
  struct Counts {
    std::uint64_t bad_length = 0; // "\r\n"-terminated spans rejected, first "##" not announcing its length
    std::uint64_t bad_crc = 0;    // the same, first "##" announcing its length but the CRC failing
    std::uint64_t overlong = 0;   // starts given up without a "\r\n" within kMaxFrameBytes
    std::uint64_t noise_bytes = 0; // bytes consumed outside accepted frames
    std::uint64_t crc_bytes = 0;  // bytes the acceptance test ran its CRC over
    std::uint64_t cut_short = 0;  // spans whose retries ran out of CRC work
    std::uint64_t decrypted = 0;  // frames accepted with their CP region decrypted
    std::uint64_t cipher_bytes = 0; // bytes of data segments handed to the decryption
  };

  FrameScanner();
  ~FrameScanner();
  FrameScanner(const FrameScanner&) = delete;
  FrameScanner& operator=(const FrameScanner&) = delete;

  // The key (16 bytes) encrypted frames are read with, or nullptr for none; removing it gives up
  // a followed span.
  void set_key(const unsigned char* key);
  bool has_key() const { return cipher_ != nullptr; }
  // How GetData reads a frame's text (WireCharset, the second device parameter): with a key, a
  // data command is queued only when its region is text in that charset.
  void set_charset(int charset) { charset_ = charset; }
  // The device's key, looked at (one atomic load) whenever a span is judged: a key set or removed
  // meanwhile is copied then, so a span is read with one key, the old or the new. Not owned.
  void use_key_source(const CipherKey* source) { key_source_ = source; }
  // A span followed beyond its first "\r\n" is waiting for its announced end.
  bool following() const { return followed_end_ != npos; }
  // Gives up the followed span (its bytes stopped coming): the verdicts of the spans cut inside it
  // count from now.
  void give_up_followed();

  // Adds received bytes behind those kept from earlier chunks.
  void append(const void* bytes, std::size_t n);
  // For reading straight into the buffer: room for `n` more bytes behind those kept (valid until
  // the next call of any other member), then commit(placed) with how many were written there.
  // The room is not cleared: its bytes count only once committed.
  char* room(std::size_t n);
  void commit(std::size_t placed) { size_ += placed; }
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

  // Bytes kept for a frame that is not complete yet.
  std::size_t pending() const { return size_ - head_; }
  // Bytes held in memory, consumed ones not yet dropped included.
  std::size_t held() const { return size_; }
  // Gives up the bytes kept (counted as noise); the counts stay.
  void clear();
  // The counts. The verdicts of spans cut inside a followed span (bad_length, bad_crc, overlong,
  // noise_bytes) are held back until it is judged or given up, so no count ever goes down.
  const Counts& counts() const { return counts_; }

private:
  static constexpr std::size_t npos = std::string::npos;
  // First "ab" lying wholly inside [from, to), or npos. Dense noise puts the next candidate a
  // few bytes on: a plain inline look first (a second byte that is neither `a` nor `b` rules out
  // a pair at both places), memchr for the rest.
  std::size_t find_pair(std::size_t from, std::size_t to, char a, char b) const {
    const char* base = buf_.get();
    for (std::size_t stop = from + 16 < to ? from + 16 : to; from + 1 < stop;) {
      char second = base[from + 1];
      if (second == b && base[from] == a) return from;
      from += second == a ? 1 : 2;
    }
    return from + 1 < to ? find_pair_far(from, to, a, b) : npos;
  }
  std::size_t find_pair_far(std::size_t from, std::size_t to, char a, char b) const;
  // Consumes every byte before `to` except a "#" right before it, which may begin a "##".
  void skip_to_end_keeping_hash(std::size_t to);
  void compact();
  // Moves the bytes from `from` on to the buffer's front.
  void compact_from(std::size_t from);
  // Where verdicts go: held back while a span is followed.
  Counts& verdicts() { return following() ? held_ : counts_; }
  // The framing loop, with nothing followed or (Following) up to a followed span's end, which is
  // judged there: a frame, more bytes wanted, or the following began or ended (run again).
  enum class Step { Frame, Wait, Again };
  template <bool Following>
  Step scan(std::string& frame);
  // Moves head_ forward to `to`, the bytes passed counting as noise.
  void drop_to(std::size_t to);
  // The frame in the "\r\n"-terminated span [start_, end), if any; counts the span otherwise.
  bool cut_span(std::size_t cr, std::string& frame);
  // The candidate [at, at + length) as a frame with its CP region decrypted, when it reads so
  // with the key (read_encrypted: CRC of the plain segment, text region).
  bool decrypted_frame(std::size_t at, std::size_t length, std::string& frame);
  // The candidate at `at`, in a span whose "\r\n" is at `cr`, has a data command's own header.
  bool data_command(std::size_t at, std::size_t cr) const;
  // Takes the key source's key when its version moved.
  void refresh_key();
  void follow_key();
  // Starts following a frame start in the rejected span [start_, cr + 2) to its announced end,
  // when it may be a frame whose ciphertext holds that "\r\n".
  void maybe_follow(std::size_t cr);
  // Judges the followed span, all of whose bytes are here; true with its frame.
  bool judge_followed(std::string& frame);

  // The buffer is kept across chunks (no allocation per read); it grows by doubling and is
  // zeroed once when allocated, never per read.
  std::unique_ptr<char[]> buf_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::size_t head_ = 0;       // bytes before this are consumed
  std::size_t start_ = npos;   // the "##" the current span begins with; npos while none is known
  std::size_t crlf_from_ = 0;  // the current span holds no "\r\n" before this offset
  Counts counts_;
  std::unique_ptr<Sm4> cipher_;               // the key expanded; null without a key
  const CipherKey* key_source_ = nullptr;     // not owned; null: set_key alone decides
  std::uint32_t key_version_ = 0;             // the source's version cipher_ was made from
  std::size_t followed_start_ = npos;         // the followed span's "##", kept in the buffer
  std::size_t followed_end_ = npos;           // its announced end; npos while none is followed
  Counts held_;                               // verdicts of the spans cut inside it
  std::string plain_;                         // a decrypted data segment, reused
  int charset_ = 0;                           // how GetData reads a region (WireCharset)
};

} // namespace HJ
