#include "hj212/FrameScanner.h"

#include <cstring>

#include "hj212/CpCipher.h"
#include "hj212/Sm4.h"

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
    m_cipher.reset();
    give_up_followed();
    return;
  }
  m_cipher.reset(new Sm4(key));
}

[[gnu::noinline]] void FrameScanner::follow_key() {
  unsigned char key[Sm4::kKeyBytes];
  // Copied under the key's lock with the version it belongs to: a key set meanwhile moves the
  // version again and is taken at the next span.
  bool set = m_key_source->get(key, &m_key_version);
  set_key(set ? key : nullptr);
  wipe(key, sizeof key);
}

inline void FrameScanner::refresh_key() {
  if (m_key_source != nullptr && m_key_source->version() != m_key_version) follow_key();
}

void FrameScanner::append(const void* bytes, std::size_t n) {
  if (bytes == nullptr || n == 0) return;
  std::memcpy(room(n), bytes, n);
  commit(n);
}

char* FrameScanner::room(std::size_t n) {
  if (m_capacity - m_size < n) {
    compact();
    if (m_capacity - m_size < n) {
      std::size_t grown = m_capacity < 4096 ? 4096 : 2 * m_capacity;
      if (grown < m_size + n) grown = m_size + n;
      std::unique_ptr<char[]> bigger(new char[grown]());
      if (m_size > 0) std::memcpy(bigger.get(), m_buf.get(), m_size);
      m_buf = std::move(bigger);
      m_capacity = grown;
    }
  }
  return m_buf.get() + m_size;
}

void FrameScanner::clear() {
  give_up_followed();
  if (m_observer != nullptr) tell(Kind::Noise, m_base + m_size, m_base + m_size);
  m_base += m_size;
  m_size = 0;
  m_head = 0;
  m_start = npos;
  m_crlf_from = 0;
}

void FrameScanner::give_up_followed() {
  m_followed_count = 0;
  release_held();
}

std::size_t FrameScanner::find_pair_far(std::size_t from, std::size_t to, char a, char b) const {
  const char* base = m_buf.get();
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
  const char* base = m_buf.get();
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
  m_start = npos;
  if (to > m_head && m_buf[to - 1] == '#') --to;
  if (to > m_head) m_head = to;
}

void FrameScanner::compact_now() {
  std::size_t keep = m_head; // a followed candidate's bytes stay until it is judged
  if (following() && m_followed[0].at - m_base < keep) keep = static_cast<std::size_t>(m_followed[0].at - m_base);
  if (m_size - keep > keep) return; // moving the kept bytes is paid for by the consumed ones
  const std::size_t kept = m_size - keep;
  if (kept > 0) std::memmove(m_buf.get(), m_buf.get() + keep, kept);
  m_size = kept;
  if (m_start != npos) m_start -= keep;
  m_crlf_from = m_crlf_from > keep ? m_crlf_from - keep : 0;
  m_head -= keep;
  m_base += keep;
}

void FrameScanner::settle() const {
  std::uint64_t settled = m_base + m_head;
  if (following() && m_followed[0].at < settled) settled = m_followed[0].at;
  m_counts.noise_bytes = settled - m_accepted_bytes;
}

void FrameScanner::tell(Kind kind, std::uint64_t from, std::uint64_t end) {
  if (from > m_told) m_observer->span(Kind::Noise, m_told, from - m_told);
  if (end > from) m_observer->span(kind, from, end - from);
  if (end > m_told) m_told = end;
}

void FrameScanner::tell_settled_noise() {
  std::uint64_t settled = m_base + m_head;
  if (following() && m_followed[0].at < settled) settled = m_followed[0].at;
  if (m_held_from < m_held.size() && m_held[m_held_from].from < settled) settled = m_held[m_held_from].from;
  tell(Kind::Noise, settled, settled);
}

void FrameScanner::add(Kind kind, std::uint64_t from, std::uint64_t end) {
  ++(kind == Kind::BadLength ? m_counts.bad_length : kind == Kind::BadCrc ? m_counts.bad_crc : m_counts.overlong);
  if (m_observer != nullptr) tell(kind, from, end);
}

void FrameScanner::count(Kind kind, std::uint64_t from, std::uint64_t end) {
  if (!following()) {
    add(kind, from, end);
    return;
  }
  m_held.push_back(Held{from, end, kind});
}

void FrameScanner::release_held() {
  const std::uint64_t upto = following() ? m_followed[0].at : ~std::uint64_t(0);
  for (; m_held_from < m_held.size() && m_held[m_held_from].end <= upto; ++m_held_from)
    add(m_held[m_held_from].kind, m_held[m_held_from].from, m_held[m_held_from].end);
  if (m_held_from == m_held.size()) {
    m_held.clear(); // keeps its capacity
    m_held_from = 0;
  } else if (m_held_from >= kHeldSettle && 2 * m_held_from >= m_held.size()) {
    // Some candidate is always followed on such a line: counted entries leave once they are half.
    m_held.erase(m_held.begin(), m_held.begin() + static_cast<std::ptrdiff_t>(m_held_from));
    m_held_from = 0;
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
    const bool due = Following && m_nearest_end <= m_base + m_size;
    const std::size_t limit = due ? static_cast<std::size_t>(m_nearest_end - m_base) : m_size;
    if (m_start == npos) {
      std::size_t at = find_pair(m_head, limit, '#', '#');
      if (at == npos) {
        skip_to_end_keeping_hash(limit);
        return at_limit(due, frame);
      }
      m_head = at;
      m_start = at;
      m_crlf_from = at + 2;
    }

    std::size_t cr = find_pair(m_crlf_from, limit, '\r', '\n');
    if (cr == npos) {
      // A "\r" at the very end may still meet its "\n".
      if (limit > m_crlf_from + 1) m_crlf_from = limit - 1;
      if (limit - m_start <= kMaxFrameBytes) return at_limit(due, frame);
      // Too long to become a frame: the next "##" inside the span may still start one.
      const std::size_t given_up = m_start;
      std::size_t at = find_pair(m_start + 1, limit, '#', '#');
      if (at == npos) {
        skip_to_end_keeping_hash(limit);
        count(Kind::Overlong, m_base + given_up, m_base + m_head);
        continue;
      }
      count(Kind::Overlong, m_base + given_up, m_base + at);
      m_head = at;
      m_start = at;
      if (m_crlf_from < at + 2) m_crlf_from = at + 2;
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
    if (step == Step::Wait && m_observer != nullptr) tell_settled_noise();
    return step == Step::Frame;
  }
}

void FrameScanner::finish() {
  give_up_followed();
  if (m_observer != nullptr) {
    for (std::size_t at = m_start != npos ? m_start : find_pair(m_head, m_size, '#', '#'); at != npos;) {
      const std::size_t next_start = find_pair(at + 1, m_size, '#', '#');
      tell(Kind::Unended, m_base + at, m_base + (next_start == npos ? m_size : next_start));
      at = next_start;
    }
  }
  clear();
}

[[gnu::always_inline]] inline bool FrameScanner::judge_candidate(std::size_t at, std::size_t cr, std::size_t& spent, std::size_t budget,
                                                                 Verdict& verdict, std::string& frame) {
  const char* candidate = m_buf.get() + at;
  const std::size_t length = cr + 2 - at;
  if (length_field_matches(candidate, length)) { // a mismatch costs no CRC
    const std::size_t work = length - kEnvelopeBytes;
    if (spent + work > budget) {
      ++m_counts.cut_short;
      spent = budget + 1;
      return false;
    }
    spent += work;
    m_counts.crc_bytes += work;
    verdict = classify_frame(candidate, length);
    const bool keyed = m_cipher != nullptr;
    if (verdict == Verdict::Accepted && queued_as_received(frame_data(candidate), work, m_charset, keyed)) {
      frame.assign(candidate, length);
      return true;
    }
    if (verdict == Verdict::Accepted) verdict = Verdict::BadCrc;
    if (!keyed) return false;
  } else {
    if (m_cipher == nullptr || length <= kEnvelopeBytes) return false;
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
  return keyed_read(candidate, length, verdict, m_charset, header_room(at, cr - kCrcDigits)) == KeyedRead::Decrypt &&
         decrypted_frame(at, length, frame);
}

bool FrameScanner::cut_span(std::size_t cr, std::string& frame) {
  const std::size_t end = cr + 2;
  // Starts whose bytes before the "\n" outgrew the largest frame are given up as the waiting path
  // gives them up, so the counts do not depend on how the bytes were cut into chunks.
  while (end - m_start > kMaxFrameBytes + 1) {
    std::size_t at = find_pair(m_start + 1, cr, '#', '#');
    count(Kind::Overlong, m_base + m_start, m_base + (at == npos ? end : at));
    if (at == npos) {
      m_start = npos;
      m_head = end;
      return false;
    }
    m_head = at;
    m_start = at;
  }
  // The candidate that starts last is judged first: bytes in front of a frame are all a sender of
  // crafted bytes controls, so the span's budget and the credit fall on them, never on the frame.
  refresh_key();
  const std::size_t budget = kCrcWorkPerByte * (end - m_start);
  std::size_t spent = 0;
  // Looked for from the "\r\n" back: once the work is spent, the starts before are never looked at.
  Verdict first = Verdict::BadLength; // the span counts as its first "##" reads
  for (std::size_t at = find_last_pair(m_start, cr); at != npos; at = at > m_start ? find_last_pair(m_start, at + 1) : npos) {
    Verdict verdict = Verdict::BadLength;
    if (judge_candidate(at, cr, spent, budget, verdict, frame)) {
      accept(at, end);
      return true;
    }
    if (spent > budget) { // out of CRC work: counted in cut_short; the first "##" read unjudged
      if (length_field_matches(m_buf.get() + m_start, end - m_start)) first = Verdict::BadCrc;
      break;
    }
    if (at == m_start) first = verdict;
  }
  count(first == Verdict::BadCrc ? Kind::BadCrc : Kind::BadLength, m_base + m_start, m_base + end);
  m_start = npos;
  m_head = end;
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
  const std::uint64_t upto = m_base + at + length;
  if (upto > m_credited) {
    const std::uint64_t earned = (upto - m_credited) * kDecryptPerByte;
    m_credit = earned >= kMaxCredit - m_credit ? kMaxCredit : m_credit + static_cast<std::size_t>(earned);
    m_credited = upto;
  }
  if (m_credit < work || m_credit - work < reserve_for_later(m_base + at, upto)) {
    ++m_counts.cut_short;
    return false;
  }
  m_credit -= work;
  const char* candidate = m_buf.get() + at;
  m_counts.cipher_bytes += work;
  if (!read_encrypted(candidate, length, *m_cipher, m_charset, m_plain)) return false;
  frame = frame_with_crc(m_plain, frame_crc(candidate, length));
  ++m_counts.decrypted;
  return true;
}

std::size_t FrameScanner::reserve_for_later(std::uint64_t at, std::uint64_t now) const {
  // A followed candidate that began after `at` earns 2 a byte until its end: what it needs beyond
  // that stays, so whatever began before it cannot spend the credit its own decryption needs.
  std::size_t reserve = 0;
  for (std::size_t i = m_followed_count; i-- > 0 && m_followed[i].at > at;) {
    const std::uint64_t need = m_followed[i].end - m_followed[i].at - kEnvelopeBytes;
    const std::uint64_t to_come = m_followed[i].end > now ? (m_followed[i].end - now) * kDecryptPerByte : 0;
    if (need > to_come && need - to_come > reserve) reserve = static_cast<std::size_t>(need - to_come);
  }
  return reserve;
}

void FrameScanner::follow(std::size_t at, std::size_t end) {
  const Followed f{m_base + at, m_base + end};
  if (m_followed_count == kMaxFollowed) {
    // Room runs out on a line that keeps breaking: the oldest makes way, since a frame that starts
    // later is the one still arriving. The verdicts it held back count from now.
    ++m_counts.cut_short;
    if (f.at < m_followed[0].at) return; // the new one is the oldest
    const bool nearest = m_followed[0].end == m_nearest_end;
    std::memmove(&m_followed[0], &m_followed[1], (kMaxFollowed - 1) * sizeof(Followed));
    --m_followed_count;
    if (nearest) m_nearest_end = nearest_followed_end();
    release_held();
  }
  if (m_followed_count == 0 || f.end < m_nearest_end) m_nearest_end = f.end;
  // A span's candidates are judged from its last start back: keep the list ordered by `at`.
  std::size_t place = m_followed_count;
  while (place > 0 && m_followed[place - 1].at > f.at) --place;
  std::memmove(&m_followed[place + 1], &m_followed[place], (m_followed_count - place) * sizeof(Followed));
  m_followed[place] = f;
  ++m_followed_count;
}

std::uint64_t FrameScanner::nearest_followed_end() const {
  std::uint64_t nearest = ~std::uint64_t(0);
  for (std::size_t i = 0; i < m_followed_count; ++i)
    if (m_followed[i].end < nearest) nearest = m_followed[i].end;
  return nearest;
}

void FrameScanner::accept(std::size_t at, std::size_t end) {
  m_accepted_bytes += end - at;
  m_head = end;
  m_start = npos;
  if (m_crlf_from < end) m_crlf_from = end;
  m_followed_count = 0; // each began before this frame's end: none was a frame
  release_held();
  if (m_observer != nullptr) tell(Kind::Frame, m_base + at, m_base + end);
}

bool FrameScanner::judge_followed(std::string& frame) {
  refresh_key();
  if (!following()) return false; // the key was removed: given up with it
  // Among candidates that end at the same place the one that starts last goes first: the bytes
  // before it cannot take its credit.
  std::size_t nearest = m_followed_count - 1;
  while (m_followed[nearest].end != m_nearest_end) --nearest;
  const Followed f = m_followed[nearest];
  std::memmove(&m_followed[nearest], &m_followed[nearest + 1], (m_followed_count - nearest - 1) * sizeof(Followed));
  --m_followed_count;
  m_nearest_end = nearest_followed_end();
  const std::size_t from = static_cast<std::size_t>(f.at - m_base), end = static_cast<std::size_t>(f.end - m_base);
  if (m_buf[end - 2] == '\r' && m_buf[end - 1] == '\n') {
    // A frame of its announced length: one verdict for all its bytes, in place of the spans cut inside.
    while (m_held.size() > m_held_from && m_held.back().end > f.at) m_held.pop_back();
    if (m_cipher != nullptr && decrypted_frame(from, end - from, frame)) {
      accept(from, end);
      return true;
    }
    count(Kind::BadCrc, f.at, f.end);
  }
  release_held();
  return false;
}

} // namespace HJ
