// Encryption of a data segment's CP region with SM4: which bytes, in which form on the wire, and
// the key a device holds. The cipher itself is Sm4.h; wire_data (Envelope.h) decides the charset.
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

#include "Sm4.h"

namespace HJ {

// The commands whose frames are encrypted: data uploads and their requests.
inline bool encrypted_cn(int cn) { return cn >= 2000 && cn <= 2999; }

// The region of `data`: [begin, end) after the first "CP=&&" and before the last "&&" at or after
// it. false when there is no "CP=&&" or no closing "&&".
bool cp_region(const char* data, std::size_t length, std::size_t& begin, std::size_t& end);

// How the ciphertext stands in the frame: raw bytes (the region keeps its length), or the text
// "{0xE4,0x3E,...}" (upper-case hex, comma-separated) with the plain tail after it.
enum CipherForm { kCipherRaw = 0, kCipherText = 1 };

// The data segment `plain` with its region encrypted in `form`. false (out untouched) when it has
// no region; a region shorter than one block comes back unchanged in either form.
bool encrypt_cp(const std::string& plain, const Sm4& cipher, int form, std::string& out);
// The bytes a region of `length` plain bytes takes once encrypt_cp has put it in `form`.
std::size_t encrypted_region_bytes(std::size_t length, int form);

// The plain data segment of a received one whose region is encrypted in either form: a region
// that opens with whole blocks of "{0xHH,...}" items is the text form, anything else is raw.
// false when there is no region.
bool decrypt_cp(const char* data, std::size_t length, const Sm4& cipher, std::string& plain);

// True when the CP region of the data segment holds no control byte: plain HJ 212 text never
// does, while 16 random bytes almost always do. A segment without a region counts as text.
bool region_is_text(const char* data, std::size_t length);
// True when a data segment whose CRC matched as received may still carry an encrypted region
// (the CRC of its ciphertext fits by chance, once in 65536): the text form's "{0x" opening, or a
// control byte in its first whole blocks, up to kCiphertextLookBytes (64 random bytes lack one
// once in 7,000: plain frames pay for a short look only).
constexpr std::size_t kCiphertextLookBytes = 64;
bool region_may_be_ciphertext(const char* data, std::size_t length);

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
  std::uint32_t version() const { return version_.load(std::memory_order_acquire); }

private:
  mutable std::mutex mutex_; // a copy of 16 bytes only: never held over a port or database call
  unsigned char key_[Sm4::kKeyBytes] = {};
  bool set_ = false;
  std::atomic<std::uint32_t> version_{0};
};

} // namespace HJ
