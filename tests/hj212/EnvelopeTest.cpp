// Envelope, CRC and acceptance test, against a plain bitwise CRC and frames from the field.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

#include "FieldFrames.h"
#include "hj212/Envelope.h"

namespace {

// The CRC exactly as defined byte by byte: register >> 8, XOR the byte, eight reflected shifts.
std::uint16_t BitwiseCrc(const std::string& data) {
  unsigned reg = 0xFFFF;
  for (unsigned char byte : data) {
    reg = (reg >> 8) ^ byte;
    for (int i = 0; i < 8; ++i) reg = (reg & 1) ? (reg >> 1) ^ 0xA001 : reg >> 1;
  }
  return static_cast<std::uint16_t>(reg);
}

// The Modbus CRC (register XOR byte) that some devices send in place of the HJ 212 one.
std::uint16_t ModbusCrc(const std::string& data) {
  unsigned reg = 0xFFFF;
  for (unsigned char byte : data) {
    reg ^= byte;
    for (int i = 0; i < 8; ++i) reg = (reg & 1) ? (reg >> 1) ^ 0xA001 : reg >> 1;
  }
  return static_cast<std::uint16_t>(reg);
}

std::string Hex4(unsigned v) {
  char text[16]; // room for any unsigned, which the optimiser cannot rule out
  std::snprintf(text, sizeof text, "%04X", v & 0xFFFFu);
  return text;
}

std::string Frame(const std::string& lengthField, const std::string& data, const std::string& crcField) {
  return "##" + lengthField + data + crcField + "\r\n";
}

std::string RandomBytes(std::mt19937& rng, size_t n) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(byte(rng));
  return out;
}

TEST(Crc, CheckValues) {
  EXPECT_EQ(HJ::do_crc_check(""), "FFFF");
  EXPECT_EQ(HJ::do_crc_check("abc"), "D701");
  EXPECT_EQ(HJ::do_crc_check("123456789"), "2F80");
  EXPECT_NE(HJ::do_crc_check("abc"), Hex4(ModbusCrc("abc"))); // not the Modbus CRC
}

TEST(Crc, TableMatchesBitwiseDefinitionOnRandomData) {
  std::mt19937 rng(212);
  std::uniform_int_distribution<size_t> length(0, 300);
  bool sawHighByte = false;
  for (int round = 0; round < 2000; ++round) {
    std::string data = RandomBytes(rng, length(rng));
    for (unsigned char c : data) sawHighByte |= c >= 0x80;
    std::uint16_t want = BitwiseCrc(data);
    ASSERT_EQ(HJ::crc16(reinterpret_cast<const unsigned char*>(data.data()), data.size()), want) << "round " << round;
    ASSERT_EQ(HJ::do_crc_check(data), Hex4(want)) << "round " << round;
  }
  EXPECT_TRUE(sawHighByte);
}

TEST(Wrap, Envelope) {
  EXPECT_EQ(HJ::wrap_frame(""), "##0000FFFF\r\n");
  EXPECT_EQ(HJ::wrap_frame("abc"), "##0003abcD701\r\n");
  EXPECT_EQ(HJ::wrap_frame("123456789"), "##0009123456789"
                                         "2F80\r\n");
  std::string big(10000, 'x');
  std::string wrapped = HJ::wrap_frame(big);
  EXPECT_EQ(wrapped.substr(0, 7), "##10000");
  EXPECT_EQ(wrapped.size(), big.size() + 13);
}

TEST(Wrap, OutputAlwaysPassesAcceptanceUpToNineThousandNineHundredNinetyNineBytes) {
  std::mt19937 rng(7);
  for (size_t n : {size_t(1), size_t(2), size_t(100), size_t(1024), size_t(9998), size_t(9999)}) {
    std::string frame = HJ::wrap_frame(RandomBytes(rng, n));
    EXPECT_EQ(frame.size(), n + 12);
    EXPECT_TRUE(HJ::check_frame(frame)) << n;
  }
  EXPECT_FALSE(HJ::check_frame(HJ::wrap_frame(std::string(10000, 'x'))));
  EXPECT_FALSE(HJ::check_frame(HJ::wrap_frame("")));
}

TEST(Accept, Cases) {
  const std::string abc = "abc"; // CRC D701: has a hex letter
  const std::string five = "ST=32";
  const std::string fiveCrc = HJ::do_crc_check(five);
  const std::string modbus = Hex4(ModbusCrc(five));
  const std::string modbusSwapped = modbus.substr(2) + modbus.substr(0, 2);
  struct Case {
    const char* what;
    std::string candidate;
    bool accept;
  } cases[] = {
      {"five data bytes, upper-case CRC", Frame("0005", five, fiveCrc), true},
      {"CRC in lower case", Frame("0003", abc, "d701"), true},
      {"CRC off by one digit", Frame("0003", abc, "D702"), false},
      {"Modbus CRC", Frame("0005", five, modbus), false},
      {"Modbus CRC, low byte first", Frame("0005", five, modbusSwapped), false},
      {"non-hex letter in CRC", Frame("0003", abc, "D7O1"), false},
      {"blank in place of a leading zero", Frame(" 003", abc, "D701"), true},
      {"tab in place of a leading zero", Frame("\t003", abc, "D701"), true},
      {"plus sign", Frame("+003", abc, "D701"), true},
      {"minus sign", Frame("-003", abc, "D701"), false},
      {"letter first: reads as 0", Frame("A003", abc, "D701"), false},
      {"digits then letter: reads the digits", Frame("3xyz", abc, "D701"), true},
      {"two digits then a letter", Frame("03x3", abc, "D701"), true},
      {"three digits then a letter", Frame("003x", abc, "D701"), true},
      {"carriage return in place of a leading zero", Frame("\r003", abc, "D701"), true},
      {"hex prefix reads as 0", Frame("0x03", abc, "D701"), false},
      {"start marker in the field reads as 0", Frame("#003", abc, "D701"), false},
      {"two signs read as 0", Frame("+-03", abc, "D701"), false},
      {"zero byte in the length field",
       Frame(std::string("00\0"
                         "3",
                         4),
             abc, "D701"),
       false},
      {"length one short", Frame("0002", abc, "D701"), false},
      {"length one long", Frame("0004", abc, "D701"), false},
      {"empty data segment (12 bytes)", "##0000FFFF\r\n", false},
      {"one data byte (13 bytes)", HJ::wrap_frame("x"), true},
      {"shorter than the envelope", "##00\r\n", false},
      {"high bytes in the data", HJ::wrap_frame("\xB2\xE2\xCA\xD4=\xFF\x80"), true},
      {"zero byte inside the data", HJ::wrap_frame(std::string("a\0b", 3)), true},
  };
  for (const Case& c : cases) EXPECT_EQ(HJ::check_frame(c.candidate), c.accept) << c.what;
  EXPECT_FALSE(HJ::check_frame(nullptr, 20));
}

// The strict reading: four digits or nothing, whatever the plug-in's own reading makes of it.
TEST(Accept, FourDigitLength) {
  const struct {
    std::string field;
    long value;
  } cases[] = {{"0005", 5},
               {"9999", 9999},
               {"0000", 0},
               {" 003", -1},
               {"+003", -1},
               {"-003", -1},
               {"3xyz", -1},
               {"003x", -1},
               {"/003", -1},
               {"00:3", -1},
               {"\xB0"
                "003",
                -1},
               {std::string("00\0"
                            "3",
                            4),
                -1}};
  for (const auto& c : cases) EXPECT_EQ(HJ::four_digit_length(c.field.c_str()), c.value) << c.field;
}

TEST(Accept, FieldFrames) {
  auto frames = enginetest::LoadFieldFrames();
  ASSERT_GE(frames.size(), 30u);
  int lowerCase = 0;
  for (const auto& f : frames) {
    EXPECT_EQ(HJ::check_frame(f.frame), f.accept) << f.note << "\n" << f.frame;
    if (!f.accept) continue;
    // Rewrapping the data segment gives the same frame, with upper-case CRC digits.
    std::string data = f.frame.substr(6, f.frame.size() - 12);
    std::string rewrapped = HJ::wrap_frame(data);
    std::string crc = f.frame.substr(f.frame.size() - 6, 4);
    for (char& c : crc) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    lowerCase += crc != f.frame.substr(f.frame.size() - 6, 4);
    EXPECT_EQ(rewrapped, f.frame.substr(0, f.frame.size() - 6) + crc + "\r\n") << f.note;
  }
  EXPECT_GT(lowerCase, 0); // the data covers the lower-case senders
}

} // namespace
