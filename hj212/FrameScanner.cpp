#include "FrameScanner.h"

#include <cstring>

#include "Envelope.h"

namespace HJ {

void FrameScanner::append(const void* bytes, std::size_t n) {
  if (bytes == nullptr || n == 0) return;
  buf_.append(static_cast<const char*>(bytes), n);
}

void FrameScanner::clear() {
  buf_.clear();
  head_ = 0;
  start_ = npos;
  crlf_from_ = 0;
}

std::size_t FrameScanner::find_pair(std::size_t from, std::size_t to, char a, char b) const {
  const char* base = buf_.data();
  while (from + 1 < to) {
    const void* hit = std::memchr(base + from, a, to - from - 1);
    if (hit == nullptr) return npos;
    std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - base);
    if (base[at + 1] == b) return at;
    from = at + 1;
  }
  return npos;
}

void FrameScanner::skip_to_end_keeping_hash() {
  start_ = npos;
  head_ = buf_.size();
  if (head_ > 0 && buf_[head_ - 1] == '#') --head_;
}

void FrameScanner::compact() {
  if (head_ == 0) return;
  std::size_t kept = buf_.size() - head_;
  if (kept == 0) {
    buf_.clear();
  } else if (head_ >= kept) { // moving `kept` bytes is paid for by the `head_` bytes consumed
    buf_.erase(0, head_);
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
      std::size_t at = find_pair(head_, buf_.size(), '#', '#');
      if (at == npos) {
        skip_to_end_keeping_hash();
        compact();
        return false;
      }
      start_ = head_ = at;
      crlf_from_ = at + 2;
    }

    std::size_t cr = find_pair(crlf_from_, buf_.size(), '\r', '\n');
    if (cr == npos) {
      // A "\r" at the very end may still meet its "\n".
      if (buf_.size() > crlf_from_ + 1) crlf_from_ = buf_.size() - 1;
      if (buf_.size() - start_ <= kMaxFrameBytes) {
        compact();
        return false;
      }
      // Too long to become a frame: the next "##" inside the span may still start one.
      std::size_t at = find_pair(start_ + 1, buf_.size(), '#', '#');
      if (at == npos) {
        skip_to_end_keeping_hash();
        compact();
        return false;
      }
      start_ = head_ = at;
      if (crlf_from_ < at + 2) crlf_from_ = at + 2;
      continue;
    }

    std::size_t end = cr + 2;
    for (std::size_t at = start_; at != npos; at = find_pair(at + 1, cr, '#', '#')) {
      if (check_frame(buf_.data() + at, end - at)) {
        frame.assign(buf_, at, end - at);
        start_ = npos;
        head_ = end;
        return true;
      }
    }
    start_ = npos;
    head_ = end;
  }
}

} // namespace HJ
