// SM4 and the CP region rule: the cipher's own vector, the HJ 212-2025 worked example, both wire
// forms back and forth, and (on the host) OpenSSL's SM4 as an independent oracle.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <thread>

#include "CipherExample.h"
#include "hj212/CpCipher.h"
#include "hj212/Envelope.h"
#include "hj212/Sm4.h"

#ifdef POLMON_HAVE_OPENSSL
#include <openssl/evp.h>
#endif

namespace {

using cipherexample::FromHex;
using cipherexample::ToHex;

const unsigned char* U(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// GB/T 32907 example 1.
const std::string kBlockKey = FromHex("0123456789ABCDEFFEDCBA9876543210");
const std::string kBlockPlain = kBlockKey;
const std::string kBlockCipher = FromHex("681EDF34D206965E86B3E94F536E4246");

// HJ 212-2025 example 2.
const std::string kExampleKey = cipherexample::kKey;
const std::string kExampleData = cipherexample::kData;
const std::string kExampleCipherHex = cipherexample::kCipherHex;
const std::string kExampleHead = cipherexample::kHead;

TEST(Sm4, BlockVectorBothWays) {
  HJ::Sm4 cipher(U(kBlockKey));
  unsigned char out[16];
  cipher.encrypt_block(U(kBlockPlain), out);
  EXPECT_EQ(ToHex(std::string(reinterpret_cast<char*>(out), 16)), ToHex(kBlockCipher));
  cipher.decrypt_block(U(kBlockCipher), out);
  EXPECT_EQ(ToHex(std::string(reinterpret_cast<char*>(out), 16)), ToHex(kBlockPlain));
}

TEST(CpCipher, StandardExampleInBothForms) {
  HJ::Sm4 cipher(U(kExampleKey));
  ASSERT_EQ(kExampleData.size(), 295u);
  EXPECT_EQ(HJ::do_crc_check(kExampleData), "2200"); // the example's CRC, over the plain data

  std::string raw;
  ASSERT_TRUE(HJ::encrypt_cp(kExampleData, cipher, HJ::kCipherRaw, raw));
  EXPECT_EQ(raw, kExampleHead + FromHex(kExampleCipherHex) + "&&");

  std::string text;
  ASSERT_TRUE(HJ::encrypt_cp(kExampleData, cipher, HJ::kCipherText, text));
  std::string items;
  for (std::size_t i = 0; i < kExampleCipherHex.size(); i += 2) items += (i ? ",0x" : "0x") + kExampleCipherHex.substr(i, 2);
  EXPECT_EQ(text, kExampleHead + "{" + items + "}&&");

  for (const std::string* wire : {&raw, &text}) {
    std::string plain;
    ASSERT_TRUE(HJ::decrypt_cp(wire->data(), wire->size(), cipher, plain));
    EXPECT_EQ(plain, kExampleData);
  }
}

// A region with a plain tail in each form: raw, the tail after the braces, the tail's bytes as
// items inside them (what a platform that reads only a region ending in "}" takes).
TEST(CpCipher, TheTailInEachForm) {
  HJ::Sm4 cipher(U(kExampleKey));
  const std::string head = "ST=31;CN=2011;Flag=9;CP=&&", tail = "a=1;";
  const std::string data = head + "0123456789abcdef" + tail + "&&";
  std::string raw;
  ASSERT_TRUE(HJ::encrypt_cp(data, cipher, HJ::kCipherRaw, raw));
  std::string blockItems, tailItems;
  for (std::size_t i = 0; i < 16; ++i) blockItems += (i ? ",0x" : "0x") + ToHex(raw.substr(head.size() + i, 1));
  for (char c : tail) tailItems += ",0x" + ToHex(std::string(1, c));
  const struct {
    HJ::CipherForm form;
    std::string region;
  } cases[] = {
      {HJ::kCipherRaw, raw.substr(head.size(), 16) + tail},
      {HJ::kCipherText, "{" + blockItems + "}" + tail},
      {HJ::kCipherTextTailInside, "{" + blockItems + tailItems + "}"},
  };
  for (const auto& c : cases) {
    std::string wire, plain;
    ASSERT_TRUE(HJ::encrypt_cp(data, cipher, c.form, wire));
    EXPECT_EQ(wire, head + c.region + "&&") << c.form;
    EXPECT_EQ(HJ::encrypted_region_bytes(16 + tail.size(), c.form), c.region.size()) << c.form;
    ASSERT_TRUE(HJ::decrypt_cp(wire.data(), wire.size(), cipher, plain));
    EXPECT_EQ(plain, data) << c.form;
  }
  EXPECT_EQ(HJ::cipher_form_from(2), HJ::kCipherTextTailInside);
  EXPECT_EQ(HJ::cipher_form_from(3), HJ::kCipherRaw);
}

// The region: after the first "CP=&&", before the last "&&"; whole blocks only, the tail plain.
TEST(CpCipher, RegionRule) {
  HJ::Sm4 cipher(U(kExampleKey));
  const std::string block16 = "0123456789abcdef";
  struct Case {
    std::string data;
    bool has_region;
    std::size_t encrypted; // bytes of the region that change
  } cases[] = {
      {"ST=31;CN=2011;Flag=9", false, 0},          // no CP
      {"ST=31;CN=2011;CP=&&" + block16, false, 0}, // no closing "&&"
      {"ST=31;CN=2011;CP=&&&&", true, 0},          // empty region
      {"ST=31;CN=2011;CP=&&a=1&&", true, 0},       // shorter than a block: stays plain
      {"ST=31;CN=2011;CP=&&" + block16 + "&&", true, 16},
      {"ST=31;CN=2011;CP=&&" + block16 + "tail=1&&", true, 16}, // tail of 6 stays plain
      {"CP=&&" + block16 + block16 + "x&&", true, 32},
  };
  for (const Case& c : cases) {
    std::string wire;
    ASSERT_EQ(HJ::encrypt_cp(c.data, cipher, HJ::kCipherRaw, wire), c.has_region) << c.data;
    if (!c.has_region) continue;
    ASSERT_EQ(wire.size(), c.data.size());
    std::size_t at = c.data.find("CP=&&") + 5;
    EXPECT_NE(wire.substr(at, c.encrypted), c.encrypted ? c.data.substr(at, c.encrypted) : "x") << c.data;
    EXPECT_EQ(wire.substr(at + c.encrypted), c.data.substr(at + c.encrypted)) << c.data;
    std::string plain;
    ASSERT_TRUE(HJ::decrypt_cp(wire.data(), wire.size(), cipher, plain));
    EXPECT_EQ(plain, c.data);
  }
}

// Ciphertext holding "&&", "\r\n", "##" and zero bytes still decrypts: the last "&&" closes the region.
TEST(CpCipher, CiphertextHoldingDelimitersRoundTrips) {
  std::mt19937 rng(2025);
  std::uniform_int_distribution<int> byte(0, 255);
  int with_delimiters = 0;
  for (int round = 0; round < 2000; ++round) {
    std::string key(16, '\0');
    for (char& c : key) c = static_cast<char>(byte(rng));
    HJ::Sm4 cipher(U(key));
    std::string region(16 * (1 + round % 8) + round % 16, '\0');
    for (char& c : region) c = static_cast<char>('0' + byte(rng) % 10);
    const std::string data = "ST=31;CN=2011;Flag=9;CP=&&" + region + "&&";
    std::string wire;
    ASSERT_TRUE(HJ::encrypt_cp(data, cipher, HJ::kCipherRaw, wire));
    if (wire.find("&&", 26) < wire.size() - 2 || wire.find('\0') != std::string::npos || wire.find("\r\n") != std::string::npos) ++with_delimiters;
    std::string plain;
    ASSERT_TRUE(HJ::decrypt_cp(wire.data(), wire.size(), cipher, plain));
    ASSERT_EQ(plain, data) << round;
  }
  EXPECT_GT(with_delimiters, 0);
}

// The text rule a data command's region must pass with a key, by the charset GetData reads it in;
// bytes placed around the eight-byte words the ASCII look takes at once.
TEST(CpCipher, RegionIsTextByCharset) {
  auto segment = [](const std::string& flag, const std::string& region) { return "QN=1;ST=22;CN=2011;Flag=" + flag + ";CP=&&" + region + "&&"; };
  const std::string ascii = "DataTime=20261208120000;a21026-Rtd=1.5";
  const std::string utf8 = "Name=\xE5\x89\x8D", gb = "Name=\xC7\xB0\x81\x30\x81\x30"; // 前 in UTF-8; in GB18030, then a four-byte one
  struct Row {
    const char* what;
    std::string flag, region;
    HJ::WireCharset charset;
    bool text;
  } rows[] = {
      {"ASCII", "9", ascii, HJ::kCharsetByFlag, true},
      {"a control byte in the first word", "9", "Data\x01" + ascii, HJ::kCharsetByFlag, false},
      {"a control byte right after a whole word", "9", ascii.substr(0, 16) + "\t" + ascii, HJ::kCharsetByFlag, false},
      {"DEL at a word's last byte", "9", ascii.substr(0, 15) + "\x7F" + ascii, HJ::kCharsetByFlag, false},
      {"a control byte after a character", "9", utf8 + ascii + std::string(1, '\0'), HJ::kCharsetByFlag, false},
      {"UTF-8, 2025", "9", ascii + utf8, HJ::kCharsetByFlag, true},
      {"GB18030, 2025: not UTF-8", "9", ascii + gb, HJ::kCharsetByFlag, false},
      {"GB18030, 2017", "5", ascii + gb, HJ::kCharsetByFlag, true},
      {"UTF-8, 2017", "5", ascii + utf8, HJ::kCharsetByFlag, true},
      {"a byte no charset reads, 2017", "5", ascii + "\xFF", HJ::kCharsetByFlag, false},
      {"GB18030 read always", "9", ascii + gb, HJ::kCharsetGb18030, true},
      {"a cut GB18030 character read always", "9", ascii + "\xC7", HJ::kCharsetGb18030, false},
      {"GB18030 bytes read always as UTF-8", "5", ascii + gb, HJ::kCharsetUtf8, false},
  };
  for (const Row& r : rows) {
    const std::string data = segment(r.flag, r.region);
    EXPECT_EQ(HJ::segment_is_text(data.data(), data.size(), r.charset), r.text) << r.what;
  }
}

TEST(CipherKey, OnlySixteenBytesOrNothing) {
  HJ::CipherKey key;
  unsigned char got[16];
  EXPECT_FALSE(key.get(got));
  EXPECT_TRUE(key.set("0000000000000000"));
  EXPECT_FALSE(key.set("000000000000000"));   // 15
  EXPECT_FALSE(key.set("00000000000000000")); // 17
  EXPECT_FALSE(key.set("\xE5\x8C\x96"
                       "000000000000000")); // 16 characters, 18 bytes
  ASSERT_TRUE(key.get(got));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(got), 16), "0000000000000000");
  EXPECT_TRUE(key.set(""));
  EXPECT_FALSE(key.get(got));
}

#ifdef POLMON_HAVE_OPENSSL
std::string OpenSslEcb(const std::string& key, const std::string& data, bool encrypt) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::string out(data.size() + 16, '\0');
  int n = 0, tail = 0;
  EVP_CipherInit_ex(ctx, EVP_sm4_ecb(), nullptr, U(key), nullptr, encrypt ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char*>(&out[0]), &n, U(data), static_cast<int>(data.size()));
  EVP_CipherFinal_ex(ctx, reinterpret_cast<unsigned char*>(&out[n]), &tail);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<std::size_t>(n + tail));
  return out;
}

TEST(Sm4, EqualsOpenSslOnRandomKeysAndData) {
  std::mt19937 rng(32907);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 500; ++round) {
    std::string key(16, '\0'), data(16 * (1 + round % 64), '\0');
    for (char& c : key) c = static_cast<char>(byte(rng));
    for (char& c : data) c = static_cast<char>(byte(rng));
    HJ::Sm4 cipher(U(key));
    std::string ours = data;
    cipher.encrypt_ecb(reinterpret_cast<unsigned char*>(&ours[0]), ours.size());
    ASSERT_EQ(ToHex(ours), ToHex(OpenSslEcb(key, data, true))) << round;
    cipher.decrypt_ecb(reinterpret_cast<unsigned char*>(&ours[0]), ours.size());
    ASSERT_EQ(ours, data);
  }
}
#endif

} // namespace
