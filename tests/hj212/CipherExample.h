// The HJ 212-2025 worked example of an encrypted upload: key "0000000000000000", the plain data
// segment (CRC 2200) and its 208-byte CP region encrypted (13 whole blocks), with the hex helpers
// the cipher tests share.
#pragma once

#include <cstdio>
#include <string>

#include "hj212/Envelope.h"
#include "hj212/Sm4.h"

namespace cipherexample {

inline std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

inline std::string ToHex(const std::string& bytes) {
  std::string hex;
  char two[3];
  for (unsigned char c : bytes) {
    std::snprintf(two, sizeof two, "%02X", c);
    hex += two;
  }
  return hex;
}

// "{0xE4,0x3E,...}": the text form of `bytes`.
inline std::string TextForm(const std::string& bytes) {
  std::string hex = ToHex(bytes), items;
  for (std::size_t i = 0; i < hex.size(); i += 2) items += (i ? ",0x" : "0x") + hex.substr(i, 2);
  return "{" + items + "}";
}

const std::string kKey = "0000000000000000";
const std::string kHead = "QN=20240520210700000;ST=31;CN=2051;PW=123456;MN=010000A8900016F000169DC0;Flag=9;CP=&&";
const std::string kData = kHead +
                          "DataTime=20240520210600;a01011-Min=1.35,a01011-Avg=1.35,a01011-Max=1.35,a01011-Flag=N;a01012-Min=9.3,a01012-Avg=9.3,"
                          "a01012-Max=9.3,a01012-Flag=N;a01014-Min=3.20,a01014-Avg=3.211,a01014-Max=3.212,a01014-Flag=N&&";
const std::string kCipherHex = "E43E159ACFAB242CB53155FB8B9281A1A242577ABFAED881BE88B72D69FC55ED1A80119FAAC8B3CD33D285CC76F57F2CA7F88B9573C6647E0F"
                               "07E24609BD6B63EB20C5B9784F28E71D2F4994FF61D9E1C2B3075592B4D1E09C4D8BB27BE97B559E3DA6643781A6F477769DEEB009B10DFFF3"
                               "426922725D607DC4480F0CAC5F70DB2587B124BCB281592721D6E4BC180A97E5E111499CBE822E31C8D7761553543AA24207C290997BBDE64F"
                               "9266BC5F529A172E381C1D898CA1A0D771A914A7B2D7467C70B94F1D4A7B0350A48DBF8B41";
// The plain frame, and the frames on the wire in the raw form (the length field that of the plain
// data) and the text form (the length field over the text).
const std::string kPlainFrame = "##0295" + kData + "2200\r\n";
const std::string kRawFrame = "##0295" + kHead + FromHex(kCipherHex) + "&&2200\r\n";
inline std::string TextFrame() {
  const std::string data = kHead + TextForm(FromHex(kCipherHex)) + "&&";
  char length[8];
  std::snprintf(length, sizeof length, "%04zu", data.size());
  return "##" + std::string(length) + data + "2200\r\n";
}

inline const unsigned char* KeyBytes(const std::string& key) { return reinterpret_cast<const unsigned char*>(key.data()); }

// A frame as received and as it is queued: its CP region on the wire is exactly `cipher` (whole
// blocks, bytes chosen to hold "\r\n", "##" and NUL where wanted), the plain frame holds what
// `key` decrypts it to; the CRC is that of the plain data segment.
struct Keyed {
  std::string wire, plain;
};
inline Keyed WithCipher(const std::string& cipher, const std::string& key, const std::string& cn = "2011") {
  HJ::Sm4 sm4(KeyBytes(key));
  std::string region = cipher;
  sm4.decrypt_ecb(reinterpret_cast<unsigned char*>(&region[0]), region.size());
  const std::string head = "QN=20250101000000000;ST=22;CN=" + cn + ";PW=123456;MN=POLMON0000000001;Flag=9;CP=&&";
  const std::string plain = head + region + "&&";
  std::string wire = HJ::wrap_frame(head + cipher + "&&");
  wire.replace(wire.size() - 6, 4, HJ::do_crc_check(plain));
  return {wire, HJ::wrap_frame(plain)};
}

// The same from a plain region (text, as a station writes it): the wire holds what `key` encrypts
// its whole blocks to, the tail after them stays as it is.
inline Keyed WithPlain(const std::string& region, const std::string& key, const std::string& cn = "2011") {
  HJ::Sm4 sm4(KeyBytes(key));
  std::string cipher = region;
  sm4.encrypt_ecb(reinterpret_cast<unsigned char*>(&cipher[0]), region.size() / HJ::Sm4::kBlockBytes * HJ::Sm4::kBlockBytes);
  return WithCipher(cipher, key, cn);
}

// A plain region (text, as a station writes it) whose ciphertext under "0123456789abcdef" holds
// "\r\n" and NUL (blocks 1 and 3), "##" announcing no length (2 and 4).
const std::string kPlainCrLf = "a00000-Rtd=3165;a00000-Rtd=0267;a00203-Rtd=5692;a00201-Rtd=5728;";

// Three "\r\n" spans inside the region (the last ends at the frame's end), "##" announcing no
// length, zero bytes.
const std::string kCipherCrLf =
    std::string("qqq\r\nqqqqqq\0qqqq", 16) + "qq##xyqqqqqqqqqq" + std::string("qqqqq\r\nqqqq\0qqqq", 16) + "qqqqqqqq##qqqqqq";
// "##" and zero bytes, no "\r\n".
const std::string kCipherHash = std::string("qqqq##qq\0qqqqqqq", 16) + "qqqqqqqqqqqqqqqq";

} // namespace cipherexample
