#include "hj212/CpCipher.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "hj212/Charset.h"
#include "hj212/Envelope.h"

namespace HJ {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Parses "{0xHH,0xHH,...}" at `text` into `bytes` (and/or counts them into `items`); the offset
// after "}", or 0 when malformed.
// Peers write the hex digits in either case and may put blanks after the commas.
std::size_t parse_text_form(const char* text, std::size_t length, std::string* bytes, std::size_t* items = nullptr) {
  std::size_t at = 1; // after "{"
  for (;;) {
    if (length - at < 4 || text[at] != '0' || (text[at + 1] != 'x' && text[at + 1] != 'X')) return 0;
    int high = hex_value(text[at + 2]), low = hex_value(text[at + 3]);
    if (high < 0 || low < 0) return 0;
    if (bytes) bytes->push_back(static_cast<char>(high * 16 + low));
    if (items) ++*items;
    at += 4;
    if (at < length && text[at] == ',') {
      ++at;
      while (at < length && text[at] == ' ') ++at;
      continue;
    }
    return at < length && text[at] == '}' ? at + 1 : 0;
  }
}

bool opens_text_form(const char* region, std::size_t length) {
  return length >= 3 && region[0] == '{' && region[1] == '0' && (region[2] == 'x' || region[2] == 'X');
}

bool decrypt_raw(const char* data, std::size_t length, std::size_t begin, std::size_t end, const Sm4& cipher, std::string& plain) {
  std::string result(data, length);
  cipher.decrypt_ecb(reinterpret_cast<unsigned char*>(&result[begin]), (end - begin) / Sm4::kBlockBytes * Sm4::kBlockBytes);
  plain.swap(result);
  return true;
}

} // namespace

bool cp_region(const char* data, std::size_t length, std::size_t& begin, std::size_t& end) {
  const char* open = find_cp_open(data, length);
  if (!open) return false;
  std::size_t from = static_cast<std::size_t>(open - data) + kCpOpenBytes;
  for (std::size_t at = length; at >= from + 2; --at) {
    if (data[at - 1] == '&' && data[at - 2] == '&') {
      begin = from;
      end = at - 2;
      return true;
    }
  }
  return false;
}

bool encrypt_cp(const std::string& plain, const Sm4& cipher, CipherForm form, std::string& out) {
  std::size_t begin = 0, end = 0;
  if (!cp_region(plain.data(), plain.size(), begin, end)) return false;
  std::size_t whole = (end - begin) / Sm4::kBlockBytes * Sm4::kBlockBytes;
  std::string result = plain;
  cipher.encrypt_ecb(reinterpret_cast<unsigned char*>(&result[begin]), whole);
  if (text_form(form) && whole > 0) {
    static const char kDigits[] = "0123456789ABCDEF";
    const std::size_t items = form == kCipherTextTailInside ? end - begin : whole; // the tail inside, or after
    std::string text;
    text.reserve(plain.size() + items * 4 + 2);
    text.append(result, 0, begin);
    text += '{';
    for (std::size_t i = begin; i < begin + items; ++i) {
      unsigned char byte = static_cast<unsigned char>(result[i]);
      if (i > begin) text += ',';
      text += "0x";
      text += kDigits[byte >> 4];
      text += kDigits[byte & 0xF];
    }
    text += '}';
    text.append(result, begin + items, std::string::npos);
    wipe(&result[0], result.size());
    result.swap(text);
  }
  out.swap(result);
  return true;
}

std::size_t encrypted_region_bytes(std::size_t length, CipherForm form) {
  std::size_t whole = length / Sm4::kBlockBytes * Sm4::kBlockBytes;
  if (!text_form(form) || whole == 0) return length;
  const std::size_t items = form == kCipherTextTailInside ? length : whole;
  return length - items + items * 5 + 1; // "{", "0xHH" per byte, a comma between, "}"
}

bool decrypt_cp(const char* data, std::size_t length, const Sm4& cipher, std::string& plain) {
  std::size_t begin = 0, end = 0;
  if (!cp_region(data, length, begin, end)) return false;
  std::string bytes;
  std::size_t after = opens_text_form(data + begin, end - begin) ? parse_text_form(data + begin, end - begin, &bytes) : 0;
  if (after == 0 || bytes.size() < Sm4::kBlockBytes) return decrypt_raw(data, length, begin, end, cipher, plain);
  // Whole blocks are ciphertext; items beyond them are the plain tail written inside the braces.
  cipher.decrypt_ecb(reinterpret_cast<unsigned char*>(&bytes[0]), bytes.size() / Sm4::kBlockBytes * Sm4::kBlockBytes);
  std::string result;
  result.reserve(length - (after - bytes.size()));
  result.append(data, begin);
  result += bytes;
  result.append(data + begin + after, length - begin - after);
  wipe(&bytes[0], bytes.size());
  plain.swap(result);
  return true;
}

namespace {

inline bool control(unsigned char c) { return c < 0x20 || c == 0x7F; }

// Bytes of each kind in a 16-byte chunk as bit masks: below 0x20 or 0x7F; 0x80 or above.
#if defined(__SSE2__)
// Bytes below 0x20 or equal to 0x7F in sixteen bytes, as 0xFF lanes.
inline __m128i control_lanes(const char* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v), _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)));
}

inline void classify16(const char* p, unsigned& controls, unsigned& high) {
  controls = static_cast<unsigned>(_mm_movemask_epi8(control_lanes(p)));
  high = static_cast<unsigned>(_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
}
#else
constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;

// Two words at a time: a set high bit in the result flags such a byte (exact per chunk, not per byte).
inline void classify16(const char* p, unsigned& controls, unsigned& high) {
  std::uint64_t words[2];
  std::memcpy(words, p, sizeof words);
  std::uint64_t c = 0, h = 0;
  for (std::uint64_t w : words) {
    const std::uint64_t del = w ^ (0x7F * kOnes);
    c |= (((w - 0x20 * kOnes) & ~w) | ((del - kOnes) & ~del)) & kHigh;
    h |= w & kHigh;
  }
  controls = c != 0;
  high = h != 0;
}
#endif

} // namespace

bool holds_control_byte(const char* bytes, std::size_t length) {
  std::size_t at = 0;
#if defined(__SSE2__)
  for (; at + 64 <= length; at += 64) {
    const __m128i a = _mm_or_si128(control_lanes(bytes + at), control_lanes(bytes + at + 16));
    const __m128i b = _mm_or_si128(control_lanes(bytes + at + 32), control_lanes(bytes + at + 48));
    if (_mm_movemask_epi8(_mm_or_si128(a, b)) != 0) return true;
  }
  for (; at + 16 <= length; at += 16)
    if (_mm_movemask_epi8(control_lanes(bytes + at)) != 0) return true;
  // The last sixteen bytes once more, overlapping: no byte loop for the tail.
  if (length >= 16) return _mm_movemask_epi8(control_lanes(bytes + length - 16)) != 0;
#else
  for (; at + 16 <= length; at += 16) {
    unsigned found = 0, high = 0;
    classify16(bytes + at, found, high);
    if (found != 0) return true;
  }
#endif
  for (; at < length; ++at)
    if (control(static_cast<unsigned char>(bytes[at]))) return true;
  return false;
}

bool segment_is_text(const char* data, std::size_t length, WireCharset charset) {
  // Uploads are mostly ASCII: sixteen bytes of 0x20-0x7E pass at a time.
  std::size_t ascii = 0;
  for (; ascii + 16 <= length; ascii += 16) {
    unsigned controls = 0, high = 0;
    classify16(data + ascii, controls, high);
    if (controls != 0) return false;
    if (high != 0) break;
  }
  for (; ascii < length; ++ascii) {
    unsigned char c = static_cast<unsigned char>(data[ascii]);
    if (c >= 0x80) break;
    if (control(c)) return false;
  }
  if (ascii == length) return true;
  if (holds_control_byte(data + ascii, length - ascii)) return false;
  if (charset == kCharsetGb18030) return is_gb18030(data, length);
  if (charset == kCharsetUtf8) return is_utf8(data, length);
  // By Flag, as GetData reads it: a 2025 frame is UTF-8, an older one UTF-8 or GB18030.
  if (is_utf8(data, length)) return true;
  const char* open = find_cp_open(data, length);
  const int flag = header_flag(data, open ? static_cast<std::size_t>(open - data) : length);
  return !flag_names_2025(flag) && is_gb18030(data, length);
}

namespace {

// At `x` (an "x" or "X" after "0"): "xHH," then blanks, then "0x": two items of a {0x..} list in
// a row, which no damage to one byte undoes.
bool item_pair(const char* x, const char* stop) {
  if (stop - x < 7 || hex_value(x[1]) < 0 || hex_value(x[2]) < 0 || x[3] != ',') return false;
  const char* next = x + 4;
  while (next < stop && *next == ' ') ++next;
  return stop - next >= 2 && next[0] == '0' && (next[1] == 'x' || next[1] == 'X');
}

#if defined(__SSE2__)
// queued_as_received's usual case in one pass: printable ASCII, each "x" looked at as it comes.
// -1 when a byte at or above 0x80 sends it to the full rules.
int ascii_text_without_list(const char* data, std::size_t length) {
  const char* const stop = data + length;
  const __m128i x = _mm_set1_epi8('x'), lower = _mm_set1_epi8(0x20);
  // Thirty-two bytes a look; the last look overlaps the one before rather than going byte by byte.
  for (std::size_t at = 0; at < length; at += 32) {
    if (length < 32) break;
    const std::size_t from = at + 32 <= length ? at : length - 32;
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + from));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + from + 16));
    if (_mm_movemask_epi8(_mm_or_si128(control_lanes(data + from), control_lanes(data + from + 16))) != 0) return 0;
    if (_mm_movemask_epi8(_mm_or_si128(a, b)) != 0) return -1;
    unsigned xs = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_or_si128(a, lower), x))) |
                  static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_or_si128(b, lower), x))) << 16;
    for (; xs != 0; xs &= xs - 1) {
      const std::size_t at_x = from + static_cast<std::size_t>(__builtin_ctz(xs));
      if (at_x > 0 && data[at_x - 1] == '0' && item_pair(data + at_x, stop)) return 0;
    }
  }
  if (length >= 32) return 1;
  for (std::size_t at = 0; at < length; ++at) {
    const unsigned char c = static_cast<unsigned char>(data[at]);
    if (c >= 0x80) return -1;
    if (control(c)) return 0;
    if ((c | 0x20) == 'x' && at > 0 && data[at - 1] == '0' && item_pair(data + at, stop)) return 0;
  }
  return 1;
}
#endif

} // namespace

bool holds_cipher_list(const char* data, std::size_t length) {
  const char* const stop = data + length;
  for (char x : {'x', 'X'}) {
    for (const char* at = data + 1; at < stop;) {
      const char* mark = static_cast<const char*>(std::memchr(at, x, static_cast<std::size_t>(stop - at)));
      if (mark == nullptr) break;
      if (mark[-1] == '0' && item_pair(mark, stop)) return true;
      at = mark + 1;
    }
  }
  return false;
}

bool queued_as_received(const char* data, std::size_t length, WireCharset charset, bool keyed) {
  if (!keyed) return !holds_control_byte(data, length);
#if defined(__SSE2__)
  const int ascii = ascii_text_without_list(data, length);
  if (ascii >= 0) return ascii == 1;
#endif
  return segment_is_text(data, length, charset) && !holds_cipher_list(data, length);
}

bool data_command_header(const char* data, std::size_t length, std::size_t* cp) {
  const char* open = find_cp_open(data, length);
  if (open == nullptr) return false;
  const std::size_t header = static_cast<std::size_t>(open - data);
  for (std::size_t i = 0; i + 1 < header; ++i)
    if (data[i] == '#' && data[i + 1] == '#') return false;
  if (!encrypted_cn(header_cn(data, header))) return false;
  if (cp) *cp = header;
  return true;
}

std::size_t text_form_plain_bytes(const char* data, std::size_t length) {
  std::size_t begin = 0, end = 0;
  if (!cp_region(data, length, begin, end) || !opens_text_form(data + begin, end - begin)) return 0;
  std::size_t items = 0;
  const std::size_t after = parse_text_form(data + begin, end - begin, nullptr, &items);
  return after == 0 || items < Sm4::kBlockBytes ? 0 : length - after + items;
}

KeyedRead keyed_read(const char* frame, std::size_t length, Verdict verdict, WireCharset charset, std::size_t header_limit) {
  if (length <= kEnvelopeBytes) return KeyedRead::Refuse;
  const char* data = frame_data(frame);
  const std::size_t n = length - kEnvelopeBytes;
  if (verdict == Verdict::Accepted && queued_as_received(data, n, charset, true)) return KeyedRead::Take;
  const long announced = parse_length_field(frame + kLengthFieldAt);
  // A length field below what the frame carries may count the plain bytes of a {0x..} list.
  if (verdict == Verdict::BadLength && !(announced > 0 && static_cast<std::size_t>(announced) < n)) return KeyedRead::Refuse;
  if (!data_command_header(data, n < header_limit ? n : header_limit)) return KeyedRead::Refuse;
  if (verdict != Verdict::BadLength) return KeyedRead::Decrypt;
  return text_form_plain_bytes(data, n) == static_cast<std::size_t>(announced) ? KeyedRead::Decrypt : KeyedRead::Refuse;
}

bool read_encrypted(const char* frame, std::size_t length, const Sm4& cipher, WireCharset charset, std::string& plain) {
  if (length <= kEnvelopeBytes) return false;
  const char* data = frame_data(frame);
  const std::size_t n = length - kEnvelopeBytes;
  if (!decrypt_cp(data, n, cipher, plain)) return false;
  long announced = parse_length_field(frame + kLengthFieldAt);
  // The length field counts what was transmitted, or (the {0x..} form) the plain data segment.
  if (announced < 0 || (static_cast<std::size_t>(announced) != n && static_cast<std::size_t>(announced) != plain.size())) return false;
  return crc_field_matches(data + n, plain.data(), plain.size()) && segment_is_text(plain.data(), plain.size(), charset);
}

CipherKey::~CipherKey() { wipe(m_key, sizeof m_key); }

bool CipherKey::set(const std::string& key) {
  if (!key.empty() && key.size() != Sm4::kKeyBytes) return false;
  std::lock_guard<std::mutex> lock(m_mutex);
  wipe(m_key, sizeof m_key);
  m_set = !key.empty();
  if (m_set) std::memcpy(m_key, key.data(), sizeof m_key);
  m_version.store(m_version.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  return true;
}

bool CipherKey::get(unsigned char* out, std::uint32_t* version) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_set) std::memcpy(out, m_key, sizeof m_key);
  if (version) *version = m_version.load(std::memory_order_relaxed);
  return m_set;
}

bool CipherKey::is_set() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_set;
}

WireData wire_data(const std::string& data, WireCharset charset, const Sm4* cipher, CipherForm form) {
  WireData wire = envelope_over(wire_bytes(data, charset));
  wire.cipher_due = encrypted_cn(header_cn(wire.bytes));
  if (cipher && wire.cipher_due) wire.encrypted = encrypt_cp(wire.bytes, *cipher, form, wire.cipher_bytes);
  return wire;
}

} // namespace HJ
