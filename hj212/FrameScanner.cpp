#include "FrameScanner.h"

#include <cstring>

#include "Envelope.h"

namespace HJ {

void FrameScanner::append(const void* bytes, std::size_t n) {
  if (bytes == nullptr || n == 0) return;
  std::memcpy(room(n), bytes, n);
  commit(n);
}

char* FrameScanner::room(std::size_t n) {
  if (capacity_ - size_ < n) {
    compact();
    if (capacity_ - size_ < n) {
      std::size_t grown = capacity_ < 4096 ? 4096 : 2 * capacity_;
      if (grown < size_ + n) grown = size_ + n;
      std::unique_ptr<char[]> bigger(new char[grown]());
      if (size_ > 0) std::memcpy(bigger.get(), buf_.get(), size_);
      buf_ = std::move(bigger);
      capacity_ = grown;
    }
  }
  return buf_.get() + size_;
}

void FrameScanner::clear() {
  counts_.noise_bytes += size_ - head_;
  size_ = 0;
  head_ = 0;
  start_ = npos;
  crlf_from_ = 0;
}

std::size_t FrameScanner::find_pair_far(std::size_t from, std::size_t to, char a, char b) const {
  const char* base = buf_.get();
  while (from + 1 < to) {
    const void* hit = std::memchr(base + from, a, to - from - 1);
    if (hit == nullptr) return npos;
    std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - base);
    if (base[at + 1] == b) return at;
    from = at + 1;
  }
  return npos;
}

void FrameScanner::drop_to(std::size_t to) {
  counts_.noise_bytes += to - head_;
  head_ = to;
}

void FrameScanner::skip_to_end_keeping_hash() {
  start_ = npos;
  std::size_t to = size_;
  if (to > head_ && buf_[to - 1] == '#') --to;
  drop_to(to);
}

void FrameScanner::compact() {
  if (head_ == 0) return;
  std::size_t kept = size_ - head_;
  if (kept == 0) {
    size_ = 0;
  } else if (head_ >= kept) { // moving `kept` bytes is paid for by the `head_` bytes consumed
    std::memmove(buf_.get(), buf_.get() + head_, kept);
    size_ = kept;
  } else {
    return;
  }
  if (start_ != npos) start_ -= head_;
  crlf_from_ = crlf_from_ > head_ ? crlf_from_ - head_ : 0;
  head_ = 0;
}

bool FrameScanner::next(std::string& frame) {
  for (;;) {
    if (start_ == npos) {
      std::size_t at = find_pair(head_, size_, '#', '#');
      if (at == npos) {
        skip_to_end_keeping_hash();
        compact();
        return false;
      }
      drop_to(at);
      start_ = at;
      crlf_from_ = at + 2;
    }

    std::size_t cr = find_pair(crlf_from_, size_, '\r', '\n');
    if (cr == npos) {
      // A "\r" at the very end may still meet its "\n".
      if (size_ > crlf_from_ + 1) crlf_from_ = size_ - 1;
      if (size_ - start_ <= kMaxFrameBytes) {
        compact();
        return false;
      }
      // Too long to become a frame: the next "##" inside the span may still start one.
      std::size_t at = find_pair(start_ + 1, size_, '#', '#');
      if (at == npos) {
        ++counts_.overlong;
        skip_to_end_keeping_hash();
        compact();
        return false;
      }
      ++counts_.overlong;
      drop_to(at);
      start_ = at;
      if (crlf_from_ < at + 2) crlf_from_ = at + 2;
      continue;
    }

    if (cut_span(cr, frame)) return true;
  }
}

bool FrameScanner::cut_span(std::size_t cr, std::string& frame) {
  const std::size_t end = cr + 2;
  // Starts whose bytes before the "\n" outgrew the largest frame are given up as the waiting path
  // gives them up, so the counts do not depend on how the bytes were cut into chunks.
  while (end - start_ > kMaxFrameBytes + 1) {
    ++counts_.overlong;
    std::size_t at = find_pair(start_ + 1, cr, '#', '#');
    if (at == npos) {
      start_ = npos;
      drop_to(end);
      return false;
    }
    drop_to(at);
    start_ = at;
  }
  const std::size_t budget = kCrcWorkPerByte * (end - start_);
  std::size_t spent = 0;
  Verdict first = Verdict::BadLength;
  for (std::size_t at = start_; at != npos; at = find_pair(at + 1, cr, '#', '#')) {
    const char* candidate = buf_.get() + at;
    std::size_t length = end - at;
    if (!length_field_matches(candidate, length)) continue; // costs no CRC
    std::size_t work = length - kEnvelopeBytes;
    if (spent + work > budget) {
      ++counts_.cut_short;
      break;
    }
    spent += work;
    counts_.crc_bytes += work;
    Verdict verdict = classify_frame(candidate, length);
    if (verdict == Verdict::Accepted) {
      drop_to(at);
      frame.assign(buf_.get() + at, length);
      start_ = npos;
      head_ = end;
      return true;
    }
    if (at == start_) first = verdict;
  }
  ++(first == Verdict::BadCrc ? counts_.bad_crc : counts_.bad_length);
  start_ = npos;
  drop_to(end);
  return false;
}

} // namespace HJ
