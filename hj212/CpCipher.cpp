#include "CpCipher.h"

#include <cstring>

#include "Envelope.h"

namespace HJ {
namespace {

constexpr std::size_t kCpOpenBytes = 5;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Parses "{0xHH,0xHH,...}" at `text` into `bytes`; the offset after "}", or 0 when malformed.
std::size_t parse_text_form(const char* text, std::size_t length, std::string& bytes) {
  std::size_t at = 1; // after "{"
  for (;;) {
    if (length - at < 4 || text[at] != '0' || (text[at + 1] != 'x' && text[at + 1] != 'X')) return 0;
    int high = hex_value(text[at + 2]), low = hex_value(text[at + 3]);
    if (high < 0 || low < 0) return 0;
    bytes.push_back(static_cast<char>(high * 16 + low));
    at += 4;
    if (at < length && text[at] == ',') {
      ++at;
      continue;
    }
    return at < length && text[at] == '}' ? at + 1 : 0;
  }
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

bool encrypt_cp(const std::string& plain, const Sm4& cipher, int form, std::string& out) {
  std::size_t begin = 0, end = 0;
  if (!cp_region(plain.data(), plain.size(), begin, end)) return false;
  std::size_t whole = (end - begin) / Sm4::kBlockBytes * Sm4::kBlockBytes;
  std::string result = plain;
  cipher.encrypt_ecb(reinterpret_cast<unsigned char*>(&result[begin]), whole);
  if (form == kCipherText && whole > 0) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(plain.size() + whole * 4 + 2);
    text.append(result, 0, begin);
    text += '{';
    for (std::size_t i = begin; i < begin + whole; ++i) {
      unsigned char byte = static_cast<unsigned char>(result[i]);
      if (i > begin) text += ',';
      text += "0x";
      text += kDigits[byte >> 4];
      text += kDigits[byte & 0xF];
    }
    text += '}';
    text.append(result, begin + whole, std::string::npos);
    wipe(&result[0], result.size());
    result.swap(text);
  }
  out.swap(result);
  return true;
}

std::size_t encrypted_region_bytes(std::size_t length, int form) {
  std::size_t whole = length / Sm4::kBlockBytes * Sm4::kBlockBytes;
  if (form != kCipherText || whole == 0) return length;
  return length - whole + whole * 5 + 1; // "{", "0xHH" per byte, a comma between, "}"
}

bool decrypt_cp(const char* data, std::size_t length, const Sm4& cipher, std::string& plain) {
  std::size_t begin = 0, end = 0;
  if (!cp_region(data, length, begin, end)) return false;
  std::string result;
  if (end - begin >= 3 && data[begin] == '{' && data[begin + 1] == '0' && (data[begin + 2] == 'x' || data[begin + 2] == 'X')) {
    std::string bytes;
    std::size_t after = parse_text_form(data + begin, end - begin, bytes);
    if (after == 0 || bytes.size() % Sm4::kBlockBytes != 0) return decrypt_raw(data, length, begin, end, cipher, plain);
    cipher.decrypt_ecb(reinterpret_cast<unsigned char*>(&bytes[0]), bytes.size());
    result.reserve(length - (after - bytes.size()));
    result.append(data, begin);
    result += bytes;
    result.append(data + begin + after, length - begin - after);
    wipe(&bytes[0], bytes.size());
    plain.swap(result);
    return true;
  }
  return decrypt_raw(data, length, begin, end, cipher, plain);
}

namespace {

bool has_control_byte(const char* bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

} // namespace

bool region_is_text(const char* data, std::size_t length) {
  std::size_t begin = 0, end = 0;
  return !cp_region(data, length, begin, end) || !has_control_byte(data + begin, end - begin);
}

bool region_may_be_ciphertext(const char* data, std::size_t length) {
  std::size_t begin = 0, end = 0;
  if (!cp_region(data, length, begin, end) || end - begin < Sm4::kBlockBytes) return false;
  if (data[begin] == '{' && data[begin + 1] == '0' && (data[begin + 2] == 'x' || data[begin + 2] == 'X')) return true;
  std::size_t look = (end - begin) / Sm4::kBlockBytes * Sm4::kBlockBytes;
  return has_control_byte(data + begin, look < kCiphertextLookBytes ? look : kCiphertextLookBytes);
}

CipherKey::~CipherKey() { wipe(key_, sizeof key_); }

bool CipherKey::set(const std::string& key) {
  if (!key.empty() && key.size() != Sm4::kKeyBytes) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  wipe(key_, sizeof key_);
  set_ = !key.empty();
  if (set_) std::memcpy(key_, key.data(), sizeof key_);
  version_.store(version_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  return true;
}

bool CipherKey::get(unsigned char* out, std::uint32_t* version) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (set_) std::memcpy(out, key_, sizeof key_);
  if (version) *version = version_.load(std::memory_order_relaxed);
  return set_;
}

bool CipherKey::is_set() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return set_;
}

} // namespace HJ
