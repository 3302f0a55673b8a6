// Encryption of a data segment's CP region with SM4: which bytes, in which form on the wire, and
// the key a device holds, and the frame as sent (wire_data). The cipher itself is Sm4.h.
//
// The region runs from after the first "CP=&&" to the last "&&" of the data segment (ciphertext
// may hold "&&" itself). Its whole 16-byte blocks are encrypted (ECB, no padding), a shorter tail
// stays plain, so the region keeps its length. Length field and CRC are those of the plain data
// segment: a receiver checks the CRC after decrypting.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "Envelope.h"
#include "Sm4.h"

namespace HJ {

// The commands whose frames are encrypted: data uploads and their requests.
constexpr int kEncryptedCnFirst = 2000;
constexpr int kEncryptedCnLast = 2999;
inline bool encrypted_cn(int cn) { return cn >= kEncryptedCnFirst && cn <= kEncryptedCnLast; }

// The region of `data`: [begin, end) after the first "CP=&&" and before the last "&&" at or after
// it. false when there is no "CP=&&" or no closing "&&".
bool cp_region(const char* data, std::size_t length, std::size_t& begin, std::size_t& end);

// The data segment `plain` with its region encrypted in `form`. false (out untouched) when it has
// no region; a region shorter than one block comes back unchanged in every form.
bool encrypt_cp(const std::string& plain, const Sm4& cipher, CipherForm form, std::string& out);
// `data` as it goes on the wire: in the charset utf8_on_wire gives (Charset.h), with the envelope
// fields computed over those bytes. With a `cipher`, the CP region of a frame whose CN asks for it
// is encrypted in `form` after length and CRC were taken.
WireData wire_data(const std::string& data, WireCharset charset, const Sm4* cipher = nullptr, CipherForm form = kCipherRaw);
// The bytes a region of `length` plain bytes takes once encrypt_cp has put it in `form`.
std::size_t encrypted_region_bytes(std::size_t length, CipherForm form);

// The plain data segment of a received one whose region is encrypted in either form: a region
// that opens with a "{0xHH,...}" list of a block or more is the text form (hex digits in either
// case, blanks after the commas; items beyond the whole blocks are the plain tail written inside
// the braces), anything else is raw. false when there is no region.
bool decrypt_cp(const char* data, std::size_t length, const Sm4& cipher, std::string& plain);

// The text rule. The HJ 212 CRC keeps 8 bits of state between bytes, so it takes only 256 values:
// it catches every single changed byte, but a span damaged in two bytes or more passes it once in
// 256. No data segment holds a control byte, so without a key a frame whose CRC fits is still
// refused for one; with a key the segment must be text as GetData reads it and carry no
// ciphertext, which 16 random bytes almost never are (about 1 in 400,000 as UTF-8).

// True when `bytes` hold a byte below 0x20 or 0x7F (sixteen bytes looked at a time).
bool holds_control_byte(const char* bytes, std::size_t length);
// True when the data segment is text as GetData reads it: no control byte, and valid in the
// charset `charset` names; for kCharsetByFlag, UTF-8 when the Flag names 2025 or
// later, UTF-8 or GB18030 otherwise.
bool segment_is_text(const char* data, std::size_t length, WireCharset charset);
// True when the segment carries the {0x..} list ciphertext stands in: two items in a row
// ("0xHH," then "0x", blanks allowed after the comma). No plain item is written so, and damage to
// one byte, to "{" or to "CP=&&" leaves a list of a block or more recognisable.
bool holds_cipher_list(const char* data, std::size_t length);
// Whether a frame whose length field and CRC fit is queued as it was received: without a key
// (`keyed` false) when its segment holds no control byte; with one when it is text and carries no
// {0x..} list (whatever its CN: damage to CN or "CP=&&" leaves the ciphertext).
bool queued_as_received(const char* data, std::size_t length, WireCharset charset, bool keyed);

// True when the data segment's own header (before the first "CP=&&", holding no "##") carries a
// CN whose frames are encrypted; `cp`, when given, gets the offset of that "CP=&&". A caller that
// looks at many candidates bounds `length` by the next "##" to stay linear.
bool data_command_header(const char* data, std::size_t length, std::size_t* cp = nullptr);
// The byte count of the plain segment a data segment whose CP region opens with a whole "{0x..}"
// list (a block or more) stands for, or 0 when it has no such list. No allocation: it only counts.
std::size_t text_form_plain_bytes(const char* data, std::size_t length);

// How a received frame ("##" ... "\r\n", `length` bytes, `verdict` its classify_frame) is read
// with a key, before any decryption: Take as received (queued_as_received); Decrypt, a data
// command of its own header whose length field counts its bytes or (a whole {0x..} list) its
// plain bytes, for read_encrypted to decide; Refuse anything else. `header_limit` bounds the
// look for the header's "CP=&&" (a scanner passes the distance to the next "##").
enum class KeyedRead { Take, Decrypt, Refuse };
KeyedRead keyed_read(const char* frame, std::size_t length, Verdict verdict, WireCharset charset, std::size_t header_limit = std::string::npos);
// A received frame ("##" ... "\r\n") read with the key: true, with `plain` its plain data
// segment, when its region decrypts, its length field counts the data as transmitted or (the
// {0x..} form) as plain, its CRC field is that of the plain segment and that segment is text.
bool read_encrypted(const char* frame, std::size_t length, const Sm4& cipher, WireCharset charset, std::string& plain);

// A device's key: 16 bytes or none. Set on the panel's thread, read by the receive thread: each
// reader sees the old key or the new one, never a mix. Wiped when replaced and when destroyed.
// Each change moves a version number, so a reader that holds a copy looks at one atomic per pass
// and takes the lock only when the key changed.
class CipherKey {
public:
  CipherKey() = default;
  ~CipherKey();
  CipherKey(const CipherKey&) = delete;
  CipherKey& operator=(const CipherKey&) = delete;

  // Sets the key from exactly 16 bytes, or removes it with the empty text; any other length is
  // refused (false) and the key stays as it was.
  bool set(const std::string& key);
  // Copies the key into `out` (16 bytes); false when none is set. `version`, when given, gets the
  // version of what was copied.
  bool get(unsigned char* out, std::uint32_t* version = nullptr) const;
  bool is_set() const;
  // Moves with every set or removal; starts at 0.
  std::uint32_t version() const { return m_version.load(std::memory_order_acquire); }

private:
  mutable std::mutex m_mutex; // a copy of 16 bytes only: never held over a port or database call
  unsigned char m_key[Sm4::kKeyBytes] = {};
  bool m_set = false;
  std::atomic<std::uint32_t> m_version{0};
};

} // namespace HJ
