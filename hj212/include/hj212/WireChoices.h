// The choices a device's parameters make about what goes on the wire, as types: the charset, the
// form of ciphertext and the packet limit. Each is converted from its parameter once; functions
// take the type, never the parameter's int.
#pragma once

#include <cstddef>

namespace HJ {

// The wire charset of "Send" and of what "GetData" reads, by the second device parameter.
enum WireCharset { kCharsetByFlag = 0, kCharsetGb18030 = 1, kCharsetUtf8 = 2 };
// Values that name no charset act as by-Flag.
constexpr WireCharset wire_charset_from(int param) {
  return param == kCharsetGb18030 ? kCharsetGb18030 : param == kCharsetUtf8 ? kCharsetUtf8 : kCharsetByFlag;
}

// How ciphertext stands in the frame, by the fourth device parameter: raw bytes (the region keeps
// its length), or the text "{0xE4,0x3E,...}" (upper-case hex, comma-separated) with the plain
// tail after it, or the same text with the plain tail's bytes as items inside the braces (a
// region that ends in "}", as some platforms read only).
enum CipherForm { kCipherRaw = 0, kCipherText = 1, kCipherTextTailInside = 2 };
// 1 and 2 are the text forms; anything else (absent: -1) raw bytes.
constexpr CipherForm cipher_form_from(int param) {
  return param == kCipherText ? kCipherText : param == kCipherTextTailInside ? kCipherTextTailInside : kCipherRaw;
}
constexpr bool text_form(CipherForm form) { return form == kCipherText || form == kCipherTextTailInside; }

// The largest data segment "Send" writes as one frame, by the third device parameter: 0 is by the
// header's Flag (the standard's 1024 bytes from version 2025 on, no limit before), 1..9999 that
// limit (above 9999 as 9999), negative no limit. packet_limit (Packets.h) applies it to a segment.
struct PacketLimit {
  bool by_flag = true;
  std::size_t bytes = 0; // when not by Flag; 0 is no limit
  static PacketLimit from(int param) {
    PacketLimit limit;
    limit.by_flag = param == 0;
    limit.bytes = param <= 0 ? 0 : param < 9999 ? static_cast<std::size_t>(param) : 9999;
    return limit;
  }
};

} // namespace HJ
