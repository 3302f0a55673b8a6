#include "FrameScanner.h"

#include <cstring>

#include "CpCipher.h"
#include "Sm4.h"

namespace HJ {

namespace {
// The last `c` in [bytes, bytes + n), or nullptr: the C library's own search where it has one.
inline const char* last_byte(const char* bytes, char c, std::size_t n) {
#if defined(__GLIBC__)
  return static_cast<const char*>(memrchr(bytes, c, n));
#else
  for (std::size_t i = n; i-- > 0;)
    if (bytes[i] == c) return bytes + i;
  return nullptr;
#endif
}
} // namespace

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
  if (observer_ != nullptr) tell(Kind::Noise, base_ + size_, base_ + size_);
  base_ += size_;
  size_ = 0;
  head_ = 0;
  start_ = npos;
  crlf_from_ = 0;
}

void FrameScanner::give_up_followed() {
  followed_count_ = 0;
  release_held();
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

std::size_t FrameScanner::find_last_pair_far(std::size_t from, std::size_t to) const {
  const char* base = buf_.get();
  while (to >= from + 2) {
    const char* hit = last_byte(base + from, '#', to - 1 - from);
    if (hit == nullptr) return npos;
    const std::size_t at = static_cast<std::size_t>(hit - base);
    if (base[at + 1] == '#') return at;
    to = at + 1;
  }
  return npos;
}

void FrameScanner::skip_to_end_keeping_hash(std::size_t to) {
  start_ = npos;
  if (to > head_ && buf_[to - 1] == '#') --to;
  if (to > head_) head_ = to;
}

void FrameScanner::compact_now() {
  std::size_t keep = head_; // a followed candidate's bytes stay until it is judged
  if (following() && followed_[0].at - base_ < keep) keep = static_cast<std::size_t>(followed_[0].at - base_);
  if (size_ - keep > keep) return; // moving the kept bytes is paid for by the consumed ones
  const std::size_t kept = size_ - keep;
  if (kept > 0) std::memmove(buf_.get(), buf_.get() + keep, kept);
  size_ = kept;
  if (start_ != npos) start_ -= keep;
  crlf_from_ = crlf_from_ > keep ? crlf_from_ - keep : 0;
  head_ -= keep;
  base_ += keep;
}

void FrameScanner::settle() const {
  std::uint64_t settled = base_ + head_;
  if (following() && followed_[0].at < settled) settled = followed_[0].at;
  counts_.noise_bytes = settled - accepted_bytes_;
}

void FrameScanner::tell(Kind kind, std::uint64_t from, std::uint64_t end) {
  if (from > told_) observer_->span(Kind::Noise, told_, from - told_);
  if (end > from) observer_->span(kind, from, end - from);
  if (end > told_) told_ = end;
}

void FrameScanner::tell_settled_noise() {
  std::uint64_t settled = base_ + head_;
  if (following() && followed_[0].at < settled) settled = followed_[0].at;
  if (held_from_ < held_.size() && held_[held_from_].from < settled) settled = held_[held_from_].from;
  tell(Kind::Noise, settled, settled);
}

void FrameScanner::add(Kind kind, std::uint64_t from, std::uint64_t end) {
  ++(kind == Kind::BadLength ? counts_.bad_length : kind == Kind::BadCrc ? counts_.bad_crc : counts_.overlong);
  if (observer_ != nullptr) tell(kind, from, end);
}

void FrameScanner::count(Kind kind, std::uint64_t from, std::uint64_t end) {
  if (!following()) {
    add(kind, from, end);
    return;
  }
  held_.push_back(Held{from, end, kind});
}

void FrameScanner::release_held() {
  const std::uint64_t upto = following() ? followed_[0].at : ~std::uint64_t(0);
  for (; held_from_ < held_.size() && held_[held_from_].end <= upto; ++held_from_) add(held_[held_from_].kind, held_[held_from_].from, held_[held_from_].end);
  if (held_from_ == held_.size()) {
    held_.clear(); // keeps its capacity
    held_from_ = 0;
  } else if (held_from_ >= kHeldSettle && 2 * held_from_ >= held_.size()) {
    // Some candidate is always followed on such a line: counted entries leave once they are half.
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(held_from_));
    held_from_ = 0;
  }
}

inline FrameScanner::Step FrameScanner::at_limit(bool due, std::string& frame) {
  if (!due) {
    compact();
    return Step::Wait;
  }
  return judge_followed(frame) ? Step::Frame : Step::Again;
}

// Inlined into next: a call per look costs the one-byte pass more than the loop itself.
template <bool Following>
[[gnu::always_inline]] inline FrameScanner::Step FrameScanner::scan(std::string& frame) {
  for (;;) {
    // The nearest followed end is judged once the spans that end there or before were cut:
    // until then nothing beyond it is looked at.
    const bool due = Following && nearest_end_ <= base_ + size_;
    const std::size_t limit = due ? static_cast<std::size_t>(nearest_end_ - base_) : size_;
    if (start_ == npos) {
      std::size_t at = find_pair(head_, limit, '#', '#');
      if (at == npos) {
        skip_to_end_keeping_hash(limit);
        return at_limit(due, frame);
      }
      head_ = at;
      start_ = at;
      crlf_from_ = at + 2;
    }

    std::size_t cr = find_pair(crlf_from_, limit, '\r', '\n');
    if (cr == npos) {
      // A "\r" at the very end may still meet its "\n".
      if (limit > crlf_from_ + 1) crlf_from_ = limit - 1;
      if (limit - start_ <= kMaxFrameBytes) return at_limit(due, frame);
      // Too long to become a frame: the next "##" inside the span may still start one.
      const std::size_t given_up = start_;
      std::size_t at = find_pair(start_ + 1, limit, '#', '#');
      if (at == npos) {
        skip_to_end_keeping_hash(limit);
        count(Kind::Overlong, base_ + given_up, base_ + head_);
        continue;
      }
      count(Kind::Overlong, base_ + given_up, base_ + at);
      head_ = at;
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
    if (step == Step::Again) continue;
    if (step == Step::Wait && observer_ != nullptr) tell_settled_noise();
    return step == Step::Frame;
  }
}

void FrameScanner::finish() {
  give_up_followed();
  if (observer_ != nullptr) {
    for (std::size_t at = start_ != npos ? start_ : find_pair(head_, size_, '#', '#'); at != npos;) {
      const std::size_t next_start = find_pair(at + 1, size_, '#', '#');
      tell(Kind::Unended, base_ + at, base_ + (next_start == npos ? size_ : next_start));
      at = next_start;
    }
  }
  clear();
}

[[gnu::always_inline]] inline bool FrameScanner::judge_candidate(std::size_t at, std::size_t cr, std::size_t& spent, std::size_t budget, Verdict& verdict,
                                   std::string& frame) {
  const char* candidate = buf_.get() + at;
  const std::size_t length = cr + 2 - at;
  if (length_field_matches(candidate, length)) { // a mismatch costs no CRC
    const std::size_t work = length - kEnvelopeBytes;
    if (spent + work > budget) {
      ++counts_.cut_short;
      spent = budget + 1;
      return false;
    }
    spent += work;
    counts_.crc_bytes += work;
    verdict = classify_frame(candidate, length);
    const bool keyed = cipher_ != nullptr;
    if (verdict == Verdict::Accepted && queued_as_received(frame_data(candidate), work, charset_, keyed)) {
      frame.assign(candidate, length);
      return true;
    }
    if (verdict == Verdict::Accepted) verdict = Verdict::BadCrc;
    if (!keyed) return false;
  } else {
    if (cipher_ == nullptr || length <= kEnvelopeBytes) return false;
    const long announced = parse_length_field(candidate + kLengthFieldAt);
    if (announced <= 0) return false;
    const std::size_t announced_end = at + static_cast<std::size_t>(announced) + kEnvelopeBytes;
    if (announced_end > cr + 2) { // raw ciphertext may hold this "\r\n": its end is its length field's
      if (data_command_header(frame_data(candidate), header_room(at, cr))) follow(at, announced_end);
      return false;
    }
  }
  // The verdict before decryption, as every reader with a key takes it (announcing less than it
  // carries: the {0x..} form with the plain length).
  return keyed_read(candidate, length, verdict, charset_, header_room(at, cr - kCrcDigits)) == KeyedRead::Decrypt &&
         decrypted_frame(at, length, frame);
}

bool FrameScanner::cut_span(std::size_t cr, std::string& frame) {
  const std::size_t end = cr + 2;
  // Starts whose bytes before the "\n" outgrew the largest frame are given up as the waiting path
  // gives them up, so the counts do not depend on how the bytes were cut into chunks.
  while (end - start_ > kMaxFrameBytes + 1) {
    std::size_t at = find_pair(start_ + 1, cr, '#', '#');
    count(Kind::Overlong, base_ + start_, base_ + (at == npos ? end : at));
    if (at == npos) {
      start_ = npos;
      head_ = end;
      return false;
    }
    head_ = at;
    start_ = at;
  }
  // The candidate that starts last is judged first: bytes in front of a frame are all a sender of
  // crafted bytes controls, so the span's budget and the credit fall on them, never on the frame.
  refresh_key();
  const std::size_t budget = kCrcWorkPerByte * (end - start_);
  std::size_t spent = 0;
  // Looked for from the "\r\n" back: once the work is spent, the starts before are never looked at.
  Verdict first = Verdict::BadLength; // the span counts as its first "##" reads
  for (std::size_t at = find_last_pair(start_, cr); at != npos; at = at > start_ ? find_last_pair(start_, at + 1) : npos) {
    Verdict verdict = Verdict::BadLength;
    if (judge_candidate(at, cr, spent, budget, verdict, frame)) {
      accept(at, end);
      return true;
    }
    if (spent > budget) { // out of CRC work: counted in cut_short; the first "##" read unjudged
      if (length_field_matches(buf_.get() + start_, end - start_)) first = Verdict::BadCrc;
      break;
    }
    if (at == start_) first = verdict;
  }
  count(first == Verdict::BadCrc ? Kind::BadCrc : Kind::BadLength, base_ + start_, base_ + end);
  start_ = npos;
  head_ = end;
  return false;
}

std::size_t FrameScanner::header_room(std::size_t at, std::size_t to) const {
  // A header holds no "##": looking up to the next one keeps the looks at all candidates linear.
  const std::size_t from = at + kDataAt;
  if (to <= from) return 0;
  std::size_t next = find_pair(from, to, '#', '#');
  return (next == npos ? to : next) - from;
}

bool FrameScanner::decrypted_frame(std::size_t at, std::size_t length, std::string& frame) {
  const std::size_t work = length - kEnvelopeBytes;
  // Earned per byte up to the candidate's end, up to kMaxCredit: what saved up is bounded, and bytes
  // not looked at yet earn nothing, so one large append is credited as the same bytes one by one.
  const std::uint64_t upto = base_ + at + length;
  if (upto > credited_) {
    const std::uint64_t earned = (upto - credited_) * kDecryptPerByte;
    credit_ = earned >= kMaxCredit - credit_ ? kMaxCredit : credit_ + static_cast<std::size_t>(earned);
    credited_ = upto;
  }
  if (credit_ < work || credit_ - work < reserve_for_later(base_ + at, upto)) {
    ++counts_.cut_short;
    return false;
  }
  credit_ -= work;
  const char* candidate = buf_.get() + at;
  counts_.cipher_bytes += work;
  if (!read_encrypted(candidate, length, *cipher_, charset_, plain_)) return false;
  frame = frame_with_crc(plain_, frame_crc(candidate, length));
  ++counts_.decrypted;
  return true;
}

std::size_t FrameScanner::reserve_for_later(std::uint64_t at, std::uint64_t now) const {
  // A followed candidate that began after `at` earns 2 a byte until its end: what it needs beyond
  // that stays, so whatever began before it cannot spend the credit its own decryption needs.
  std::size_t reserve = 0;
  for (std::size_t i = followed_count_; i-- > 0 && followed_[i].at > at;) {
    const std::uint64_t need = followed_[i].end - followed_[i].at - kEnvelopeBytes;
    const std::uint64_t to_come = followed_[i].end > now ? (followed_[i].end - now) * kDecryptPerByte : 0;
    if (need > to_come && need - to_come > reserve) reserve = static_cast<std::size_t>(need - to_come);
  }
  return reserve;
}

void FrameScanner::follow(std::size_t at, std::size_t end) {
  const Followed f{base_ + at, base_ + end};
  if (followed_count_ == kMaxFollowed) {
    // Room runs out on a line that keeps breaking: the oldest makes way, since a frame that starts
    // later is the one still arriving. The verdicts it held back count from now.
    ++counts_.cut_short;
    if (f.at < followed_[0].at) return; // the new one is the oldest
    const bool nearest = followed_[0].end == nearest_end_;
    std::memmove(&followed_[0], &followed_[1], (kMaxFollowed - 1) * sizeof(Followed));
    --followed_count_;
    if (nearest) nearest_end_ = nearest_followed_end();
    release_held();
  }
  if (followed_count_ == 0 || f.end < nearest_end_) nearest_end_ = f.end;
  // A span's candidates are judged from its last start back: keep the list ordered by `at`.
  std::size_t place = followed_count_;
  while (place > 0 && followed_[place - 1].at > f.at) --place;
  std::memmove(&followed_[place + 1], &followed_[place], (followed_count_ - place) * sizeof(Followed));
  followed_[place] = f;
  ++followed_count_;
}

std::uint64_t FrameScanner::nearest_followed_end() const {
  std::uint64_t nearest = ~std::uint64_t(0);
  for (std::size_t i = 0; i < followed_count_; ++i)
    if (followed_[i].end < nearest) nearest = followed_[i].end;
  return nearest;
}

void FrameScanner::accept(std::size_t at, std::size_t end) {
  accepted_bytes_ += end - at;
  head_ = end;
  start_ = npos;
  if (crlf_from_ < end) crlf_from_ = end;
  followed_count_ = 0; // each began before this frame's end: none was a frame
  release_held();
  if (observer_ != nullptr) tell(Kind::Frame, base_ + at, base_ + end);
}

bool FrameScanner::judge_followed(std::string& frame) {
  refresh_key();
  if (!following()) return false; // the key was removed: given up with it
  // Among candidates that end at the same place the one that starts last goes first: the bytes
  // before it cannot take its credit.
  std::size_t nearest = followed_count_ - 1;
  while (followed_[nearest].end != nearest_end_) --nearest;
  const Followed f = followed_[nearest];
  std::memmove(&followed_[nearest], &followed_[nearest + 1], (followed_count_ - nearest - 1) * sizeof(Followed));
  --followed_count_;
  nearest_end_ = nearest_followed_end();
  const std::size_t from = static_cast<std::size_t>(f.at - base_), end = static_cast<std::size_t>(f.end - base_);
  if (buf_[end - 2] == '\r' && buf_[end - 1] == '\n') {
    // A frame of its announced length: one verdict for all its bytes, in place of the spans cut inside.
    while (held_.size() > held_from_ && held_.back().end > f.at) held_.pop_back();
    if (cipher_ != nullptr && decrypted_frame(from, end - from, frame)) {
      accept(from, end);
      return true;
    }
    count(Kind::BadCrc, f.at, f.end);
  }
  release_held();
  return false;
}

} // namespace HJ
