// The SM4 block cipher (128-bit key, 128-bit blocks), self-contained: the panel has no crypto
// library and the plug-in links nothing beyond libc and the C++ runtime.
#pragma once

#include <cstddef>
#include <cstdint>

namespace HJ {

class Sm4 {
public:
  static constexpr std::size_t kKeyBytes = 16;
  static constexpr std::size_t kBlockBytes = 16;

  // Expands the 16-byte `key`.
  explicit Sm4(const unsigned char* key);
  // The round keys are the key in another form: wiped.
  ~Sm4();
  Sm4(const Sm4&) = delete;
  Sm4& operator=(const Sm4&) = delete;

  void encrypt_block(const unsigned char* in, unsigned char* out) const;
  void decrypt_block(const unsigned char* in, unsigned char* out) const;
  // ECB in place over the whole 16-byte blocks of `bytes`; a shorter tail stays as it is.
  void encrypt_ecb(unsigned char* bytes, std::size_t length) const;
  void decrypt_ecb(unsigned char* bytes, std::size_t length) const;

private:
  std::uint32_t m_round_keys[32];
};

// Overwrites `length` bytes with zeros in a way the optimiser keeps.
void wipe(void* bytes, std::size_t length);

} // namespace HJ
