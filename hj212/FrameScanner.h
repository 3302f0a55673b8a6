// Cuts HJ 212 frames out of a byte stream that arrives in chunks of any size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace HJ {

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
// - the first candidate of a span whose length field matches but whose CRC does not is decrypted
//   (its header's CN 2000-2999, either wire form) and accepted decrypted when the CRC it carries
//   is that of the plain data segment: "##", plain length, plain data, that CRC, "\r\n";
// - a span whose first "##" announces more bytes than reach its "\r\n", with such a CN and a
//   "CP=&&" before that "\r\n", is also followed to its announced end (one at a time). Spans
//   inside it are cut as ever, and a frame accepted there gives the followed one up; at its end,
//   when that is "\r\n", it is judged once (accepted decrypted, or BadCrc) and stands in for the
//   spans cut inside it; otherwise, or when give_up_followed is called, those spans' verdicts stand.
//   Until then the counts show what was settled before it began.
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
  // A span followed beyond its first "\r\n" is waiting for its announced end.
  bool following() const { return followed_end_ != npos; }
  // Gives up the followed span (its bytes stopped coming): the verdicts of the spans cut inside it stand.
  void give_up_followed() { followed_start_ = followed_end_ = npos; }

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
  // The counts; while a span is followed, its verdict counts (bad_length, bad_crc, overlong,
  // noise_bytes) are those settled before it began, so no count ever goes down.
  Counts counts() const {
    if (!following()) return counts_;
    Counts settled = counts_;
    settled.bad_length = before_followed_.bad_length;
    settled.bad_crc = before_followed_.bad_crc;
    settled.overlong = before_followed_.overlong;
    settled.noise_bytes = before_followed_.noise_bytes;
    return settled;
  }

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
  // Moves head_ forward to `to`, the bytes passed counting as noise.
  void drop_to(std::size_t to);
  // The frame in the "\r\n"-terminated span [start_, end), if any; counts the span otherwise.
  bool cut_span(std::size_t cr, std::string& frame);
  // The candidate [at, at + length), whose length field matched and CRC did not, as a frame with
  // its CP region decrypted, when its CN asks for encryption and the carried CRC then matches.
  bool decrypted_frame(std::size_t at, std::size_t length, std::string& frame);
  // Starts following the span at start_ (ending at `end`) to its announced end, when it may be a
  // frame whose ciphertext holds "\r\n".
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
  std::size_t followed_start_ = npos;         // the followed span's "##", kept in the buffer
  std::size_t followed_end_ = npos;           // its announced end; npos while none is followed
  Counts before_followed_;                    // the counts when it began
  std::string plain_;                         // a decrypted data segment, reused
};

} // namespace HJ
