// The worked example of SM4 encryption (data/sm4_example.txt) in the forms the tools meet it:
// plain, raw ciphertext, and the {0xHH,...} text form, each a whole frame with CR LF. The
// encrypted frames are put together here from the example's own ciphertext, not by the code
// under test.
#pragma once

#include <cstdio>
#include <fstream>
#include <string>

namespace tooltest {

struct Sm4Example {
  std::string key;
  std::string plain; // the plain frame
  std::string raw;   // its CP region as raw ciphertext: same length, same CRC
  std::string text;  // as "{0xE4,0x3E,...}": the length field counts the text, the CRC is the plain one's
};

inline Sm4Example LoadSm4Example(const std::string& path) {
  Sm4Example e;
  std::ifstream in(path);
  std::string line, cipher_hex;
  while (std::getline(in, line)) {
    std::size_t tab = line.find('\t');
    if (line.empty() || line[0] == '#' || tab == std::string::npos) continue;
    std::string name = line.substr(0, tab), value = line.substr(tab + 1);
    if (name == "key") e.key = value;
    if (name == "plain") e.plain = value + "\r\n";
    if (name == "cipher") cipher_hex = value;
  }
  std::size_t open = e.plain.find("CP=&&") + 5, close = e.plain.rfind("&&");
  std::string cipher, items;
  for (std::size_t i = 0; i + 1 < cipher_hex.size(); i += 2) {
    cipher += static_cast<char>(std::stoi(cipher_hex.substr(i, 2), nullptr, 16));
    items += (i ? ",0x" : "0x") + cipher_hex.substr(i, 2);
  }
  std::string head = e.plain.substr(6, open - 6), tail = e.plain.substr(close); // "&&", CRC, CR LF
  e.raw = e.plain.substr(0, 6) + head + cipher + tail;
  std::string segment = head + "{" + items + "}&&";
  char length[8];
  std::snprintf(length, sizeof length, "%04zu", segment.size());
  e.text = "##" + std::string(length) + segment + tail.substr(2);
  return e;
}

} // namespace tooltest
