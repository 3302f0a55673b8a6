// The configuration tool's text form and its conversion through the plug-in's own classes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/common/ConfigWriter.h"
#include "tools/configtool/ConfigText.h"

using sim::ConfigBytes;

namespace {

using configtool::Configuration;

Configuration Parse(const std::string& text) {
  Configuration config;
  std::string error;
  EXPECT_TRUE(configtool::ParseText(text, config, error)) << error;
  return config;
}

Configuration LoadOf(const std::vector<unsigned char>& bytes) {
  Configuration config;
  std::string error;
  EXPECT_TRUE(configtool::LoadBytes(bytes.data(), bytes.size(), config, error)) << error;
  return config;
}

const char kStation[] = "# a station\n"
                        "version 20000\n"
                        "param 0 5\n"
                        "param 2 -7   # trailing comment\n"
                        "row group=1 st=32 factor=w01018 name=\"化学需氧量\" datatype=2 factortype=1 rw=0\n"
                        "\n"
                        "row rw=1 factortype=1 datatype=2 name=\"流量 \\\"Q\\\"\" factor=\"w00000\" st=32 group=2\r\n";

TEST(ConfigText, WritesTheBytesThePanelStores) {
  const Configuration config = Parse(kStation);
  const ConfigBytes expect = ConfigBytes()
                                 .Word(20000)
                                 .Int(3)
                                 .Int(5)
                                 .Int(0)
                                 .Int(-7)
                                 .Int(2)
                                 .Row(1, 32, "w01018", "化学需氧量", 2, 1, 0)
                                 .Row(2, 32, "w00000", "流量 \"Q\"", 2, 1, 1);
  EXPECT_EQ(configtool::StoreBytes(config), expect.bytes());
}

TEST(ConfigText, RoundTripsThroughBytesAndText) {
  const char* const texts[] = {
      kStation,
      "",
      "version none\n",
      "version none\nparam 6 2147483647\nparam 0 -2147483648\n",
      "param 1 0xFFFFFFFF\n",
      "row group=4294967295 st=0x20 factor=\"\" name=\"\" datatype=0 factortype=0 rw=0\n",
      "row group=1 st=2 factor=\"tab\\there\\x01\\x7F\" name=\"back\\\\slash \\\"q\\\" \\r\\n\" datatype=3 factortype=4 rw=5\n",
      // GB18030 bytes (not UTF-8) pass through as bytes as well.
      "row group=1 st=2 factor=\"\xBB\xAF\xD1\xA7\" name=\"#not a comment\" datatype=3 factortype=4 rw=5\n",
  };
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    const Configuration parsed = Parse(text);
    const std::vector<unsigned char> bytes = configtool::StoreBytes(parsed);
    const Configuration loaded = LoadOf(bytes);
    EXPECT_TRUE(loaded.SameValues(parsed)) << configtool::PrintText(loaded);
    EXPECT_EQ(loaded.storedParams, parsed.storedParams);
    const std::string printed = configtool::PrintText(loaded);
    const Configuration reparsed = Parse(printed);
    EXPECT_TRUE(reparsed.SameValues(parsed)) << printed;
    EXPECT_EQ(configtool::StoreBytes(reparsed), bytes) << "print then write gives the same bytes";
  }
}

TEST(ConfigText, PrintsTextsAsTheirBytes) {
  const Configuration config = Parse(kStation);
  const std::string printed = configtool::PrintText(config);
  EXPECT_NE(printed.find("name=\"化学需氧量\""), std::string::npos) << printed;
  EXPECT_NE(printed.find("name=\"流量 \\\"Q\\\"\""), std::string::npos) << printed;
  EXPECT_NE(printed.find("param 1 0  # wire charset by Flag"), std::string::npos) << "parameters up to the stored count are all shown";
  for (const char* named :
       {"param 1 2  # wire charset UTF-8", "param 1 1  # wire charset GB18030", "param 1 7  # wire charset by Flag", "param 0 -1  # port timeout 5 s",
        "param 2 0  # packet limit 1024 bytes for 2025", "param 2 12000  # packet limit 9999 bytes", "param 2 -1  # packet limit none",
        "param 3 1  # ciphertext as {0x..} text", "param 3 2  # ciphertext as {0x..} text, the tail inside", "param 3 3  # ciphertext as raw bytes",
        "param 4 1  # encryption required", "param 4 2  # encryption not required", "param 5 3  # not used"}) {
    std::string text = std::string(named).substr(0, std::string(named).find("  #")) + "\n";
    EXPECT_NE(configtool::PrintText(Parse(text.c_str())).find(named), std::string::npos) << named;
  }
  EXPECT_EQ(printed.find("param 3"), std::string::npos);
}

TEST(ConfigText, PrintsWhatADeviceLoadsFromUnusualBytes) {
  struct Case {
    const char* name;
    ConfigBytes bytes;
    std::vector<std::string> expect; // lines the print must hold
  };
  const Case cases[] = {
      {"MoreThanSevenParams",
       ConfigBytes().Word(20000).Int(8).Int(1).Int(2).Int(3).Int(4).Int(5).Int(6).Int(7).Int(8).Int(0),
       {"# 8 parameters stored; a device keeps the first 7", "param 6 7"}},
      {"VersionAbove20000", ConfigBytes().Word(20001).Int(1).Int(5).Int(0), {"version 20001", "# a device reads nothing"}},
      {"Headerless", ConfigBytes().Int(1).Int(5).Int(0), {"version none", "param 0 5"}},
      {"ZeroByteInsideAText",
       ConfigBytes().Int(0).Int(1).Row(1, 2, std::string("ab\0cd", 5), "n", 3, 4, 5),
       {"row group=1 st=2 factor=\"ab\" name=\"n\" datatype=3 factortype=4 rw=5"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string printed = configtool::PrintText(LoadOf(c.bytes.bytes()));
    for (const std::string& line : c.expect) EXPECT_NE(printed.find(line), std::string::npos) << printed;
    if (std::string(c.name) != "VersionAbove20000") {
      Configuration reparsed;
      std::string error;
      EXPECT_TRUE(configtool::ParseText(printed, reparsed, error)) << error;
    }
  }
  Configuration out;
  std::string error;
  EXPECT_FALSE(configtool::LoadBytes(nullptr, 0, out, error));
  EXPECT_NE(error.find("empty"), std::string::npos);
}

TEST(ConfigText, BadInputNamesTheLineAndTheField) {
  struct Case {
    const char* text;
    std::vector<std::string> expect; // pieces the message must hold
  };
  const std::string row = "row group=1 st=32 factor=w01018 name=COD datatype=2 factortype=1 rw=0";
  const Case cases[] = {
      {"\nstation 1\n", {"line 2", "unknown keyword 'station'"}},
      {"row group=1 st=3x2 factor=a name=b datatype=1 factortype=1 rw=0", {"line 1", "field 'st'", "'3x2'"}},
      {"row group=1 st=32 factor=a name=b datatype=-1 factortype=1 rw=0", {"field 'datatype'"}},
      {"row group=4294967296 st=32 factor=a name=b datatype=1 factortype=1 rw=0", {"field 'group'"}},
      {"row group= st=32 factor=a name=b datatype=1 factortype=1 rw=0", {"field 'group'"}},
      {"row group=1 st=32 factor=a name=b datatype=1 factortype=1", {"field 'rw' is missing"}},
      {"row group=1 group=2 st=32 factor=a name=b datatype=1 factortype=1 rw=0", {"field 'group' given twice"}},
      {"row group=1 st=32 factor=a name=b datatype=1 factortype=1 rw=0 colour=red", {"unknown field 'colour'"}},
      {"row group=1 st=32 factor=a COD datatype=1 factortype=1 rw=0", {"expected field=value", "'COD'"}},
      {"# ok\n# ok\nrow group=1 st=32 factor=\"w01 name=b datatype=1 factortype=1 rw=0", {"line 3", "field 'factor'", "closing"}},
      {"row group=1 st=32 factor=\"a\\x00\" name=b datatype=1 factortype=1 rw=0", {"field 'factor'", "zero byte"}},
      {"row group=1 st=32 factor=\"a\\q\" name=b datatype=1 factortype=1 rw=0", {"field 'factor'", "unknown escape"}},
      {"row group=1 st=32 factor=\"a\\x4\" name=b datatype=1 factortype=1 rw=0", {"field 'factor'", "two hexadecimal"}},
      {"row group=1 st=32 factor=\"a\"b name=c datatype=1 factortype=1 rw=0", {"field 'factor'", "space must follow"}},
      {"row group=1 st=32 factor=a\"b\" name=c datatype=1 factortype=1 rw=0", {"field 'factor'"}},
      {"param 7 1", {"line 1", "field 'index'"}},
      {"param 0 1\nparam 0 2", {"line 2", "field 'index'", "line 1"}},
      {"param 0 4294967296", {"field 'value'"}},
      {"param 0 -2147483649", {"field 'value'"}},
      {"param 0", {"param: expected"}},
      {"version 20001", {"version", "'20001'"}},
      {"version 20000\nversion none", {"line 2", "twice"}},
      {"=5", {"'=' without a field name"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Configuration config;
    config.storedParams = 99; // must stay as it was
    std::string error;
    EXPECT_FALSE(configtool::ParseText(c.text, config, error));
    for (const std::string& piece : c.expect) EXPECT_NE(error.find(piece), std::string::npos) << error;
    EXPECT_EQ(config.storedParams, 99) << "a failed parse leaves the output alone";
  }
  Configuration config;
  std::string error;
  EXPECT_TRUE(configtool::ParseText(row, config, error)) << error << " (the base row of the cases above is valid)";
}

} // namespace
