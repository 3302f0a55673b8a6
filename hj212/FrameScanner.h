// Cuts HJ 212 frames out of a byte stream that arrives in chunks of any size.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

namespace HJ {

// Every "##" ... "\r\n" span is tested with check_frame; accepted frames come out whole, envelope
// included, in arrival order. Rules:
// - all bytes count, zero bytes included;
// - a trailing "#" is kept, since it may be the first half of a "##" still on its way;
// - a rejected candidate that holds a later "##" is retried from there, so noise containing
//   "##" in front of a frame does not take the frame with it;
// - a span without "\r\n" is kept until it is longer than the largest acceptable frame
//   (kMaxFrameBytes); then it is given up, up to the next "##" inside it.
// The cost is linear in the bytes appended: each byte is searched a bounded number of times, and
// consumed bytes are dropped from the front only once they outweigh what is kept.
// Not thread-safe: one thread feeds it.
class FrameScanner {
public:
  // Adds received bytes behind those kept from earlier chunks.
  void append(const void* bytes, std::size_t n);
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
  std::size_t pending() const { return buf_.size() - head_; }
  // Bytes held in memory, consumed ones not yet dropped included.
  std::size_t held() const { return buf_.size(); }
  void clear();

private:
  static constexpr std::size_t npos = std::string::npos;
  // First "ab" lying wholly inside [from, to), or npos.
  std::size_t find_pair(std::size_t from, std::size_t to, char a, char b) const;
  // Consumes every byte except a "#" at the very end, which may begin a "##".
  void skip_to_end_keeping_hash();
  void compact();

  std::string buf_;
  std::size_t head_ = 0;       // bytes before this are consumed
  std::size_t start_ = npos;   // the "##" the current span begins with; npos while none is known
  std::size_t crlf_from_ = 0;  // the current span holds no "\r\n" before this offset
};

} // namespace HJ
