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

[[gnu::noinline]] void FrameScanner::follow_key() {
  unsigned char key[Sm4::kKeyBytes];
  // Copied under the key's lock with the version it belongs to: a key set meanwhile moves the
  // version again and is taken at the next span.
  bool set = key_source_->get(key, &key_version_);
  set_key(set ? key : nullptr);
  wipe(key, sizeof key);
}

inline void FrameScanner::refresh_key() {
  if (key_source_ != nullptr && key_source_->version() != key_version_) follow_key();
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
  give_up_followed();
  counts_.noise_bytes += size_ - head_;
  size_ = 0;
  head_ = 0;
  start_ = npos;
  crlf_from_ = 0;
}

void FrameScanner::give_up_followed() {
  if (!following()) return;
  followed_start_ = followed_end_ = npos;
  counts_.bad_length += held_.bad_length;
  counts_.bad_crc += held_.bad_crc;
  counts_.overlong += held_.overlong;
  counts_.noise_bytes += held_.noise_bytes;
  held_ = Counts();
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
  verdicts().noise_bytes += to - head_;
  head_ = to;
}

void FrameScanner::skip_to_end_keeping_hash(std::size_t to) {
  start_ = npos;
  if (to > head_ && buf_[to - 1] == '#') --to;
  drop_to(to);
}

void FrameScanner::compact() {
  if (head_ == 0) return; // a followed span begins at head_ or before: nothing to drop either
  if (following()) {      // its bytes stay until it is judged
    compact_from(followed_start_);
    return;
  }
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

[[gnu::noinline]] void FrameScanner::compact_from(std::size_t from) {
  if (from == 0) return;
  std::size_t kept = size_ - from;
  if (kept > from) return; // as above: only once the consumed bytes pay for the move
  std::memmove(buf_.get(), buf_.get() + from, kept);
  size_ = kept;
  if (start_ != npos) start_ -= from;
  followed_start_ -= from;
  followed_end_ -= from;
  crlf_from_ = crlf_from_ > from ? crlf_from_ - from : 0;
  head_ -= from;
}

// Inlined into next: a call per look costs the one-byte pass more than the loop itself.
template <bool Following>
[[gnu::always_inline]] inline FrameScanner::Step FrameScanner::scan(std::string& frame) {
  for (;;) {
    // A followed span is judged at its announced end, once the spans that end there or before
    // were cut: until then nothing beyond that end is looked at.
    const bool due = Following && followed_end_ <= size_;
    const std::size_t limit = due ? followed_end_ : size_;
    if (start_ == npos) {
      std::size_t at = find_pair(head_, limit, '#', '#');
      if (at == npos) {
        skip_to_end_keeping_hash(limit);
        if (due) return judge_followed(frame) ? Step::Frame : Step::Again;
        compact();
        return Step::Wait;
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
        if (due) return judge_followed(frame) ? Step::Frame : Step::Again;
        compact();
        return Step::Wait;
      }
      // Too long to become a frame: the next "##" inside the span may still start one.
      std::size_t at = find_pair(start_ + 1, limit, '#', '#');
      if (at == npos) {
        ++verdicts().overlong;
        skip_to_end_keeping_hash(limit);
        compact();
        return Step::Wait;
      }
      ++verdicts().overlong;
      drop_to(at);
      start_ = at;
      if (crlf_from_ < at + 2) crlf_from_ = at + 2;
      continue;
    }

    if (cut_span(cr, frame)) return Step::Frame;
    if (following() != Following) return Step::Again;
  }
}

bool FrameScanner::next(std::string& frame) {
  for (;;) {
    Step step = following() ? scan<true>(frame) : scan<false>(frame);
    if (step != Step::Again) return step == Step::Frame;
  }
}

namespace {

// A length field below what the span carries: the {0x..} form with the plain segment's length.
bool announces_less(const char* candidate, std::size_t length) {
  if (length <= kEnvelopeBytes) return false; // no room for a length field before the line end
  long announced = parse_length_field(candidate + 2);
  return announced > 0 && static_cast<std::size_t>(announced) + kEnvelopeBytes < length;
}

} // namespace

bool FrameScanner::cut_span(std::size_t cr, std::string& frame) {
  const std::size_t end = cr + 2;
  // Starts whose bytes before the "\n" outgrew the largest frame are given up as the waiting path
  // gives them up, so the counts do not depend on how the bytes were cut into chunks.
  while (end - start_ > kMaxFrameBytes + 1) {
    ++verdicts().overlong;
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
  refresh_key();
  bool decryption_left = cipher_ != nullptr; // one per span, spent only on a data command's own header
  for (std::size_t at = start_; at != npos; at = find_pair(at + 1, cr, '#', '#')) {
    const char* candidate = buf_.get() + at;
    std::size_t length = end - at;
    bool decrypted = false;
    Verdict verdict = Verdict::BadLength;
    if (length_field_matches(candidate, length)) { // a mismatch costs no CRC
      std::size_t work = length - kEnvelopeBytes;
      if (spent + work > budget) {
        ++counts_.cut_short;
        break;
      }
      spent += work;
      counts_.crc_bytes += work;
      verdict = classify_frame(candidate, length);
      // With a key a data command is queued as received only with a text region, else decrypted.
      if (cipher_ != nullptr && data_command(at, cr) &&
          (verdict != Verdict::Accepted || !queued_as_received(candidate + 6, length - kEnvelopeBytes, charset_))) {
        verdict = Verdict::BadCrc;
        if (decryption_left) {
          decryption_left = false;
          decrypted = decrypted_frame(at, length, frame);
        }
      }
    } else if (decryption_left && announces_less(candidate, length) && data_command(at, cr) &&
               may_carry_plain_length(candidate, length)) {
      decryption_left = false;
      decrypted = decrypted_frame(at, length, frame);
    }
    if (decrypted || verdict == Verdict::Accepted) {
      drop_to(at);
      if (!decrypted) frame.assign(buf_.get() + at, length);
      start_ = npos;
      head_ = end;
      give_up_followed(); // a frame closed before its end: the followed span was none
      return true;
    }
    if (at == start_) first = verdict;
  }
  if (cipher_ != nullptr && !following()) maybe_follow(cr);
  ++(first == Verdict::BadCrc ? verdicts().bad_crc : verdicts().bad_length);
  start_ = npos;
  drop_to(end);
  return false;
}

bool FrameScanner::data_command(std::size_t at, std::size_t cr) const {
  // A header holds no "##": looking up to the next one keeps the looks at all candidates linear.
  const std::size_t from = at + 6, to = cr - 4; // the candidate's data segment
  if (cr < at + kEnvelopeBytes - 2 || from >= to) return false;
  std::size_t next = find_pair(from, to, '#', '#');
  return data_command_header(buf_.get() + from, (next == npos ? to : next) - from);
}

bool FrameScanner::decrypted_frame(std::size_t at, std::size_t length, std::string& frame) {
  const char* candidate = buf_.get() + at;
  counts_.cipher_bytes += length - kEnvelopeBytes;
  if (!read_encrypted(candidate, length, *cipher_, charset_, plain_)) return false;
  frame = frame_with_crc(plain_, candidate + length - 6);
  ++counts_.decrypted;
  return true;
}

void FrameScanner::maybe_follow(std::size_t cr) {
  const std::size_t end = cr + 2;
  const char* base = buf_.get();
  // Ciphertext begins after "CP=&&", so a frame whose ciphertext holds this "\r\n" has its "##",
  // header and "CP=&&" before it, and a header holds no "##": for each "CP=&&", the "##" closest
  // before it (after the one before) is such a frame's start. The last start is taken (one before
  // it is a frame cut off); the headers do not overlap, so looking at them all is linear.
  std::size_t found = npos, found_end = npos;
  for (std::size_t from = start_; from + 11 <= cr;) {
    const char* mark = find_cp_open(base + from, cr - from);
    if (mark == nullptr) break;
    const std::size_t cp = static_cast<std::size_t>(mark - base);
    std::size_t at = cp >= from + 6 ? cp - 6 : npos; // the last "##" from `from` on, its length field before "CP=&&"
    while (at != npos && !(base[at] == '#' && base[at + 1] == '#')) at = at > from ? at - 1 : npos;
    if (at != npos) {
      long announced = parse_length_field(base + at + 2);
      if (announced > 0 && at + static_cast<std::size_t>(announced) + kEnvelopeBytes > end &&
          encrypted_cn(static_cast<int>(header_number(base + at + 6, cp - at - 6, "CN", 9999)))) {
        found = at;
        found_end = at + static_cast<std::size_t>(announced) + kEnvelopeBytes;
      }
    }
    from = cp + 5;
  }
  if (found == npos) return;
  drop_to(found); // the bytes before it are noise whatever becomes of it
  followed_start_ = found;
  followed_end_ = found_end;
}

bool FrameScanner::judge_followed(std::string& frame) {
  refresh_key();
  if (!following()) return false; // the key was removed: given up with it
  const std::size_t from = followed_start_, end = followed_end_;
  if (buf_[end - 2] != '\r' || buf_[end - 1] != '\n') {
    give_up_followed(); // the spans cut inside stand
    return false;
  }
  // A frame of its announced length: one verdict for all its bytes, in place of the spans cut inside.
  followed_start_ = followed_end_ = npos;
  held_ = Counts();
  start_ = npos;
  head_ = end;
  crlf_from_ = end;
  if (data_command(from, end - 2) && decrypted_frame(from, end - from, frame)) return true;
  ++counts_.bad_crc;
  counts_.noise_bytes += end - from;
  return false;
}

} // namespace HJ
