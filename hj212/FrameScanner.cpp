#include "FrameScanner.h"

#include <cstring>

#include "CpCipher.h"
#include "Envelope.h"
#include "Sm4.h"

namespace HJ {

FrameScanner::FrameScanner() = default;
FrameScanner::~FrameScanner() = default;

void FrameScanner::set_key(const unsigned char* key) {
  if (key == nullptr) {
    cipher_.reset();
    give_up_followed();
    return;
  }
  cipher_.reset(new Sm4(key));
}

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
  give_up_followed();
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

void FrameScanner::skip_to_end_keeping_hash(std::size_t to) {
  start_ = npos;
  if (to > head_ && buf_[to - 1] == '#') --to;
  drop_to(to);
}

void FrameScanner::compact() {
  // A followed span's bytes stay until it is judged.
  const std::size_t from = followed_start_ < head_ ? followed_start_ : head_;
  if (from == 0) return;
  std::size_t kept = size_ - from;
  if (kept == 0) {
    size_ = 0;
  } else if (from >= kept) { // moving `kept` bytes is paid for by the `from` bytes consumed
    std::memmove(buf_.get(), buf_.get() + from, kept);
    size_ = kept;
  } else {
    return;
  }
  if (start_ != npos) start_ -= from;
  if (followed_start_ != npos) followed_start_ -= from, followed_end_ -= from;
  crlf_from_ = crlf_from_ > from ? crlf_from_ - from : 0;
  head_ -= from;
}

bool FrameScanner::next(std::string& frame) {
  for (;;) {
    // A followed span is judged at its announced end, once the spans that end there or before
    // were cut: until then nothing beyond that end is looked at.
    const bool due = followed_end_ <= size_;
    const std::size_t limit = due ? followed_end_ : size_;
    if (start_ == npos) {
      std::size_t at = find_pair(head_, limit, '#', '#');
      if (at == npos) {
        skip_to_end_keeping_hash(limit);
        if (due) {
          if (judge_followed(frame)) return true;
          continue;
        }
        compact();
        return false;
      }
      drop_to(at);
      start_ = at;
      crlf_from_ = at + 2;
    }

    std::size_t cr = find_pair(crlf_from_, limit, '\r', '\n');
    if (cr == npos) {
      // A "\r" at the very end may still meet its "\n".
      if (limit > crlf_from_ + 1) crlf_from_ = limit - 1;
      if (limit - start_ <= kMaxFrameBytes) {
        if (due) {
          if (judge_followed(frame)) return true;
          continue;
        }
        compact();
        return false;
      }
      // Too long to become a frame: the next "##" inside the span may still start one.
      std::size_t at = find_pair(start_ + 1, limit, '#', '#');
      if (at == npos) {
        ++counts_.overlong;
        skip_to_end_keeping_hash(limit);
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
  bool decryption_left = cipher_ != nullptr; // one per span
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
    bool plain = verdict == Verdict::Accepted;
    if (!plain && decryption_left) {
      decryption_left = false;
      if (decrypted_frame(at, length, frame)) verdict = Verdict::Accepted;
    }
    if (verdict == Verdict::Accepted) {
      drop_to(at);
      if (plain) frame.assign(buf_.get() + at, length);
      start_ = npos;
      head_ = end;
      give_up_followed(); // a frame closed before its end: the followed span was none
      return true;
    }
    if (at == start_) first = verdict;
  }
  if (cipher_ != nullptr && !following()) maybe_follow(cr);
  ++(first == Verdict::BadCrc ? counts_.bad_crc : counts_.bad_length);
  start_ = npos;
  drop_to(end);
  return false;
}

bool FrameScanner::decrypted_frame(std::size_t at, std::size_t length, std::string& frame) {
  const char* data = buf_.get() + at + 6;
  const std::size_t n = length - kEnvelopeBytes;
  if (!encrypted_cn(static_cast<int>(header_number(data, n, "CN", 9999)))) return false;
  counts_.cipher_bytes += n;
  if (!decrypt_cp(data, n, *cipher_, plain_)) return false;
  const char* crc = data + n;
  bool matches = crc_field_matches(crc, plain_.data(), plain_.size());
  if (matches) {
    frame = frame_with_crc(plain_, crc);
    ++counts_.decrypted;
  }
  wipe(&plain_[0], plain_.size());
  return matches;
}

void FrameScanner::maybe_follow(std::size_t cr) {
  const std::size_t end = cr + 2;
  if (end - start_ <= kEnvelopeBytes) return;
  const char* span = buf_.get() + start_;
  long announced = parse_length_field(span + 2);
  if (announced <= 0 || start_ + static_cast<std::size_t>(announced) + kEnvelopeBytes <= end) return;
  // Ciphertext begins after "CP=&&": the header and that mark stand before a "\r\n" it holds.
  const char* data = span + 6;
  const std::size_t n = cr - start_ - 6;
  if (n < 5 || memmem(data, n, "CP=&&", 5) == nullptr) return;
  if (!encrypted_cn(static_cast<int>(header_number(data, n, "CN", 9999)))) return;
  before_followed_ = counts_;
  followed_start_ = start_;
  followed_end_ = start_ + static_cast<std::size_t>(announced) + kEnvelopeBytes;
}

bool FrameScanner::judge_followed(std::string& frame) {
  const std::size_t from = followed_start_, end = followed_end_;
  give_up_followed();
  if (buf_[end - 2] != '\r' || buf_[end - 1] != '\n') return false; // the spans cut inside stand
  // A frame of its announced length: one verdict for all its bytes, in place of the spans cut inside.
  const std::uint64_t crc_bytes = counts_.crc_bytes, cut_short = counts_.cut_short;
  const std::uint64_t decrypted = counts_.decrypted, cipher_bytes = counts_.cipher_bytes;
  counts_ = before_followed_;
  counts_.crc_bytes = crc_bytes;
  counts_.cut_short = cut_short;
  counts_.decrypted = decrypted;
  counts_.cipher_bytes = cipher_bytes;
  start_ = npos;
  head_ = end;
  crlf_from_ = end;
  if (decrypted_frame(from, end - from, frame)) return true;
  ++counts_.bad_crc;
  counts_.noise_bytes += end - from;
  return false;
}

} // namespace HJ
