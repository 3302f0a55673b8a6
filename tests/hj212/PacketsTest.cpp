// The splitter on its own, at every limit of a range: packets whose regions go encrypted in the
// "{0x..}" text form (whole blocks grow fivefold), and wire bytes that do not match the text.
// "Send" writes that form too (fourth device parameter 1): InterpreterTest sends it whole.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hj212/Charset.h"
#include "hj212/CpCipher.h"
#include "hj212/Envelope.h"
#include "hj212/Sm4.h"
#include "hj212/src/Packets.h"

namespace {

std::string Upload(int groups, const std::string& text) {
  std::string data = "QN=20240520210700000;ST=32;CN=2061;PW=123456;MN=010000A8900016F000169DC0;Flag=9;CP=&&DataTime=20240520200000";
  for (int i = 0; i < groups; ++i) {
    std::string code = "a" + std::to_string(21000 + i);
    data += ";" + code + "-Avg=" + std::to_string(i % 7) + text + "," + code + "-Flag=N";
  }
  return data + "&&";
}

// Each packet, as the text form sends it, within the limit; one more item would not have been.
// Every limit of a range: some packet then lands on the limit to the byte.
TEST(Packets, TextFormCiphertextStaysWithinTheLimit) {
  const unsigned char key[16] = {'0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0'};
  const HJ::Sm4 cipher(key);
  struct Case {
    std::string data;
    HJ::WireCharset charset;
    std::size_t from, to; // limits
  } cases[] = {
      {Upload(200, ""), HJ::kCharsetUtf8, 420, 1024},
      {Upload(120, "\xE6\xB0\xB4\xE8\xB4\xA8"), HJ::kCharsetGb18030, 900, 1024}, // blocks counted in GB18030 bytes
      {Upload(120, "\xE6\xB0\xB4\xE8\xB4\xA8"), HJ::kCharsetUtf8, 900, 1024},
  };
  for (const Case& c : cases) {
    std::size_t groups = 0;
    for (char ch : c.data) groups += ch == ';';
    groups -= 6; // QN ST CN PW MN Flag
    const std::string wire = HJ::wire_bytes(c.data, c.charset);
    for (std::size_t limit = c.from; limit <= c.to; ++limit) {
      std::vector<std::string> packets = HJ::split_packets(c.data, wire, limit, HJ::kCipherText);
      ASSERT_GE(packets.size(), 2u) << limit;
      std::size_t items = 0;
      for (std::size_t k = 0; k < packets.size(); ++k) {
        std::string sent;
        ASSERT_TRUE(HJ::encrypt_cp(HJ::wire_bytes(packets[k], c.charset), cipher, HJ::kCipherText, sent));
        ASSERT_LE(sent.size(), limit) << k;
        for (char ch : packets[k]) items += ch == ';';
        if (k + 1 == packets.size()) break;
        const std::string& next = packets[k + 1];
        std::size_t at = next.find(';', next.find("DataTime="));
        std::string more = packets[k].substr(0, packets[k].size() - 2) + next.substr(at, next.find_first_of(";&", at + 1) - at) + "&&";
        ASSERT_TRUE(HJ::encrypt_cp(HJ::wire_bytes(more, c.charset), cipher, HJ::kCipherText, sent));
        ASSERT_GT(sent.size(), limit) << "packet " << k << " had room for one more item";
      }
      // Each packet: QN ST CN PW MN Flag PNUM PNO DataTime, then its items.
      ASSERT_EQ(items - 8 * packets.size(), groups) << "every item dealt once, limit " << limit;
    }
  }
}

// Wire bytes whose separators are not the text's: nothing is measured, the data goes whole.
TEST(Packets, WireThatDoesNotMatchTheTextIsNotSplit) {
  const std::string data = Upload(60, "");
  ASSERT_GE(HJ::split_packets(data, data, 1024, HJ::kCipherRaw).size(), 2u);
  for (const std::string& wire : {std::string(), data.substr(0, data.size() - 2), data + ";", data.substr(0, 300) + "&" + data.substr(301)})
    EXPECT_TRUE(HJ::split_packets(data, wire, 1024, HJ::kCipherRaw).empty()) << wire.size();
}

} // namespace
