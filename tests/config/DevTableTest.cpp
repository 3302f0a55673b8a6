#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/DevBas.h"
#include "config/DevTable.h"
#include "tools/common/ConfigWriter.h"

using sim::ConfigBytes;

namespace {

// What a device holds after InitDevice read a configuration.
struct Loaded {
  int read = 0; // mfReadConfiguration's answer
  std::array<int, 7> params{};
  std::unique_ptr<CDevTable> table;

  const CDevRow& row(int i) const { return table->m_arRows[i]; }
  DWORD num(int r, int p) const { return row(r).m_dwArPropertyValue[p]; }
  std::string text(int r, int p) const {
    const CString& s = row(r).m_strArPropertyValue[p];
    return std::string(s.c_str(), static_cast<size_t>(s.GetLength()));
  }
};

// InitDevice's sequence on the given bytes, into a fresh context record.
Loaded Load(const ConfigBytes& bytes) {
  Loaded out;
  COwnerArchive archive;
  CDevBas::mfPrepareArchive(archive, bytes.data(), bytes.size());
  CArray<int, int> params;
  params.SetSize(7);
  out.table = std::make_unique<CDevTable>();
  out.read = CDevBas::mfReadConfiguration(&archive, &params, out.table.get());
  for (int i = 0; i < 7; ++i) out.params[static_cast<size_t>(i)] = params[i];
  EXPECT_EQ(params.GetSize(), 7) << "the parameter array never grows";
  return out;
}

class DevTable : public ::testing::Test {
protected:
  void SetUp() override { CDevRow::mfFillPropertyDescription(); }
};

TEST_F(DevTable, PropertyDescriptionRefillIsIdempotent) {
  for (int round = 0; round < 3; ++round) {
    CDevRow::mfFillPropertyDescription();
    ASSERT_EQ(CDevRow::m_dwPropertyNum, 7u);
    ASSERT_EQ(CDevRow::m_strArPropertyName.GetSize(), 7);
    ASSERT_EQ(CDevRow::m_dwArPropertyType.GetSize(), 7);
    ASSERT_EQ(CDevRow::m_dwArPropertyTaxis.GetSize(), 7);
  }
  const char* names[7] = {"组号", "系统编码ST", "污染物因子", "污染物因子名称", "通道数据类型", "污染物因子数据类型", "读写类型"};
  const DWORD types[7] = {1, 1, 2, 2, 1, 1, 1};
  const DWORD taxis[7] = {1, 0, 1, 0, 0, 1, 0};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(CDevRow::m_strArPropertyName[i], names[i]) << i;
    EXPECT_EQ(CDevRow::m_dwArPropertyType[i], types[i]) << i;
    EXPECT_EQ(CDevRow::m_dwArPropertyTaxis[i], taxis[i]) << i;
  }
  EXPECT_EQ(std::strlen(DEVROW_STR_POLLFACT_DATATYPE), 27u) << "nine UTF-8 characters of three bytes";
  EXPECT_EQ(CDevRow::mfMinRowBytes(), 28);
}

TEST_F(DevTable, LiveRowCountFollowsConstructionCopiesAndArrayGrowth) {
  const DWORD before = CDevRow::m_dwRowNum;
  {
    CArray<CDevRow, CDevRow&> rows;
    CDevRow one;
    one.m_strArPropertyValue[DEVROW_POLLFACT] = "w01018";
    for (int i = 0; i < 100; ++i) rows.Add(one); // grows and moves its elements several times
    EXPECT_EQ(CDevRow::m_dwRowNum, before + 101);
    EXPECT_EQ(rows[99].m_strArPropertyValue[DEVROW_POLLFACT], "w01018");
    CArray<CDevRow, CDevRow&> copy(rows);
    EXPECT_EQ(CDevRow::m_dwRowNum, before + 201);
    copy.SetSize(10);
    EXPECT_EQ(CDevRow::m_dwRowNum, before + 111);
    CDevRow moved(std::move(one));
    EXPECT_EQ(CDevRow::m_dwRowNum, before + 112);
  }
  EXPECT_EQ(CDevRow::m_dwRowNum, before);

  const DWORD base = CDevRow::m_dwRowNum;
  Loaded loaded = Load(ConfigBytes().Int(0).Int(3).Row(1, 32, "a", "b", 2, 1, 0).Row(2, 32, "c", "d", 2, 1, 0).Row(3, 32, "e", "f", 2, 1, 0));
  EXPECT_EQ(CDevRow::m_dwRowNum, base + 3);
  loaded.table.reset();
  EXPECT_EQ(CDevRow::m_dwRowNum, base);
}

TEST_F(DevTable, RowLayoutBothWays) {
  CDevTable table;
  table.m_arRows.SetSize(2);
  CDevRow& row = table.m_arRows[0];
  row.m_dwArPropertyValue[DEVROW_GROUP] = 1;
  row.m_dwArPropertyValue[DEVROW_ST] = 32;
  row.m_strArPropertyValue[DEVROW_POLLFACT] = "w01018";
  row.m_strArPropertyValue[DEVROW_POLLFACT_NAME] = "化学需氧量";
  row.m_dwArPropertyValue[DEVROW_DATATYPE] = 2;
  row.m_dwArPropertyValue[DEVROW_POLLFACT_DATATYPE] = 1;
  row.m_dwArPropertyValue[DEVROW_RW] = 0xFFFFFFFFu;
  const int params[2] = {5, -1};

  COwnerArchive archive;
  CDevBas::mfSerializeToArchive(archive, true, params, 2, table);
  EXPECT_EQ(table.m_nRowCount, 2);
  const ConfigBytes expect =
      ConfigBytes().Word(20000).Int(2).Int(5).Int(-1).Int(2).Row(1, 32, "w01018", "化学需氧量", 2, 1, 0xFFFFFFFFu).Row(0, 0, "", "", 0, 0, 0);
  ASSERT_EQ(archive.m_nPosition, expect.size());
  EXPECT_EQ(0, std::memcmp(archive.m_arBuffer.GetData(), expect.data(), expect.bytes().size()));

  const Loaded loaded = Load(expect);
  EXPECT_EQ(loaded.read, 1);
  EXPECT_EQ(loaded.params, (std::array<int, 7>{5, -1, 0, 0, 0, 0, 0}));
  ASSERT_EQ(loaded.table->m_arRows.GetSize(), 2);
  EXPECT_EQ(loaded.table->m_nRowCount, 2);
  EXPECT_EQ(loaded.num(0, DEVROW_GROUP), 1u);
  EXPECT_EQ(loaded.num(0, DEVROW_ST), 32u);
  EXPECT_EQ(loaded.text(0, DEVROW_POLLFACT), "w01018");
  EXPECT_EQ(loaded.text(0, DEVROW_POLLFACT_NAME), "化学需氧量");
  EXPECT_EQ(loaded.num(0, DEVROW_DATATYPE), 2u);
  EXPECT_EQ(loaded.num(0, DEVROW_POLLFACT_DATATYPE), 1u);
  EXPECT_EQ(loaded.num(0, DEVROW_RW), 0xFFFFFFFFu);
  EXPECT_EQ(loaded.num(0, DEVROW_POLLFACT), 0u) << "text properties leave their number slot 0";
  EXPECT_EQ(loaded.text(0, DEVROW_GROUP), "") << "number properties leave their text slot empty";

  CDevTable unwritten;
  COwnerArchive headerless;
  CDevBas::mfSerializeToArchive(headerless, false, nullptr, 0, unwritten);
  const ConfigBytes empty = ConfigBytes().Int(0).Int(0);
  ASSERT_EQ(headerless.m_nPosition, empty.size());
  EXPECT_EQ(0, std::memcmp(headerless.m_arBuffer.GetData(), empty.data(), empty.bytes().size()));
}

// One loaded configuration and what the device must hold afterwards.
struct LoadCase {
  const char* name;
  ConfigBytes bytes;
  int expectRead;
  std::array<int, 7> params;
  int rows;
  // Checked on the rows; empty when only the count matters.
  std::vector<std::pair<uint32_t, std::string>> row0; // seven properties of row 0: number, or text
  std::vector<std::pair<uint32_t, std::string>> row1;
};

std::vector<std::pair<uint32_t, std::string>> R(uint32_t group, uint32_t st, const std::string& factor, const std::string& name, uint32_t dataType,
                                                uint32_t factorType, uint32_t rw) {
  return {{group, ""}, {st, ""}, {0, factor}, {0, name}, {dataType, ""}, {factorType, ""}, {rw, ""}};
}
const std::vector<std::pair<uint32_t, std::string>> kZeroRow = R(0, 0, "", "", 0, 0, 0);
const std::array<int, 7> kNoParams{};

class DevTableLoad : public DevTable, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(DevTableLoad, LoadsWhatTheBytesHold) {
  const LoadCase& c = GetParam();
  const Loaded loaded = Load(c.bytes);
  EXPECT_EQ(loaded.read, c.expectRead);
  EXPECT_EQ(loaded.params, c.params);
  ASSERT_EQ(loaded.table->m_arRows.GetSize(), c.rows);
  EXPECT_EQ(loaded.table->m_nRowCount, c.rows);
  const std::vector<std::pair<uint32_t, std::string>>* expect[2] = {&c.row0, &c.row1};
  for (int r = 0; r < 2; ++r) {
    for (size_t p = 0; p < expect[r]->size(); ++p) {
      const int prop = static_cast<int>(p);
      if (DEVROW_DWORD_PROPERTYTYPE[p] == DEVROW_TYPE_TEXT) {
        EXPECT_EQ(loaded.text(r, prop), (*expect[r])[p].second) << "row " << r << " property " << p;
      } else {
        EXPECT_EQ(loaded.num(r, prop), (*expect[r])[p].first) << "row " << r << " property " << p;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DevTableLoad,
    ::testing::Values(
        LoadCase{"EightZeroBytesLoadAnEmptyTable", ConfigBytes().Int(0).Int(0), 1, kNoParams, 0, {}, {}},
        LoadCase{"Version20000IsReadFromOffset2",
                 ConfigBytes().Word(20000).Int(1).Int(5).Int(1).Row(1, 32, "w01018", "COD", 2, 1, 0),
                 1,
                 {5, 0, 0, 0, 0, 0, 0},
                 1,
                 R(1, 32, "w01018", "COD", 2, 1, 0),
                 {}},
        LoadCase{"HeaderlessIsReadFromOffset0",
                 ConfigBytes().Int(2).Int(7).Int(8).Int(1).Row(3, 31, "a01", "x", 1, 2, 1),
                 1,
                 {7, 8, 0, 0, 0, 0, 0},
                 1,
                 R(3, 31, "a01", "x", 1, 2, 1),
                 {}},
        LoadCase{
            "Version20001LoadsNothing", ConfigBytes().Word(20001).Int(1).Int(5).Int(1).Row(1, 32, "w01018", "COD", 2, 1, 0), 1, kNoParams, 0, {}, {}},
        // More than seven parameters: all consumed, the first seven kept, the row count still found.
        LoadCase{"NineParamsKeepSevenAndStayAligned",
                 ConfigBytes().Word(20000).Int(9).Int(1).Int(2).Int(3).Int(4).Int(5).Int(6).Int(7).Int(8).Int(9).Int(1).Row(4, 32, "f", "n", 1, 1, 1),
                 1,
                 {1, 2, 3, 4, 5, 6, 7},
                 1,
                 R(4, 32, "f", "n", 1, 1, 1),
                 {}},
        LoadCase{"NegativeParamCountReadsAsZero",
                 ConfigBytes().Word(20000).Int(-3).Int(1).Row(1, 2, "f", "n", 3, 4, 5),
                 1,
                 kNoParams,
                 1,
                 R(1, 2, "f", "n", 3, 4, 5),
                 {}},
        LoadCase{"NegativeRowCountReadsAsZero",
                 ConfigBytes().Word(20000).Int(1).Int(9).Int(-1).Row(1, 2, "f", "n", 3, 4, 5),
                 1,
                 {9, 0, 0, 0, 0, 0, 0},
                 0,
                 {},
                 {}},
        // The grown buffer is 16534 bytes; after 8 bytes the rest holds at most (16534 - 8) / 28 rows.
        LoadCase{"HugeRowCountIsLimitedToWhatTheBytesHold", ConfigBytes().Int(0).Int(0x7FFFFFFF), 1, kNoParams, 590, kZeroRow, kZeroRow},
        LoadCase{"HugeParamCountEndsAtTheData", ConfigBytes().Word(20000).Int(0x7FFFFFFF).Int(11).Int(12), 1, {11, 12, 0, 0, 0, 0, 0}, 0, {}, {}},
        LoadCase{"EmptyTextConsumesOnlyItsLength",
                 ConfigBytes().Int(0).Int(1).Row(1, 32, "", "COD", 2, 1, 1),
                 1,
                 kNoParams,
                 1,
                 R(1, 32, "", "COD", 2, 1, 1),
                 {}},
        LoadCase{"ZeroByteInsideATextCutsItButTheWholeLengthIsConsumed",
                 ConfigBytes()
                     .Int(0)
                     .Int(2)
                     .Row(1, 32,
                          std::string("w0\0"
                                      "18",
                                      5),
                          std::string("\0COD", 4), 2, 1, 0)
                     .Row(2, 33, "b", "c", 3, 4, 5),
                 1, kNoParams, 2, R(1, 32, "w0", "", 2, 1, 0), R(2, 33, "b", "c", 3, 4, 5)},
        // A short configuration reads the missing fields from the zero padding.
        LoadCase{"ShortConfigurationReadsZerosFromThePadding",
                 ConfigBytes().Word(20000).Int(1).Int(4).Int(2).Int(9).Int(33),
                 1,
                 {4, 0, 0, 0, 0, 0, 0},
                 2,
                 R(9, 33, "", "", 0, 0, 0),
                 kZeroRow},
        LoadCase{"TruncatedParamsReadAsZero", ConfigBytes().Word(20000).Int(3).Int(4), 1, {4, 0, 0, 0, 0, 0, 0}, 0, {}, {}},
        // A damaged text length: that text is empty and nothing after it is read.
        LoadCase{
            "NegativeTextLengthStopsReading",
            ConfigBytes().Int(1).Int(6).Int(2).Int(1).Int(32).Int(-1).Raw("w01018").Text("COD").Int(2).Int(1).Int(0).Row(5, 6, "g", "h", 7, 8, 9),
            1,
            {6, 0, 0, 0, 0, 0, 0},
            2,
            R(1, 32, "", "", 0, 0, 0),
            kZeroRow},
        LoadCase{"TextLengthPastTheDataStopsReading",
                 ConfigBytes().Int(0).Int(2).Int(1).Int(32).Text("w01018").Int(16534).Raw("COD").Int(2).Int(1).Int(0).Row(5, 6, "g", "h", 7, 8, 9), 1,
                 kNoParams, 2, R(1, 32, "w01018", "", 0, 0, 0), kZeroRow},
        LoadCase{"TextLengthUpToTheEndOfThePaddingIsRead",
                 ConfigBytes().Int(0).Int(1).Int(1).Int(2).Int(16534 - 24).Raw("abc"),
                 1,
                 kNoParams,
                 1,
                 R(1, 2, "abc", "", 0, 0, 0),
                 {}},
        LoadCase{"SingleByteReadsThroughThePadding", ConfigBytes().Raw("\x01"), 1, {0, 0, 0, 0, 0, 0, 0}, 0, {}, {}}),
    [](const ::testing::TestParamInfo<LoadCase>& p) { return std::string(p.param.name); });

TEST_F(DevTable, NothingIsReadWithoutBytesArchiveOrRecord) {
  EXPECT_FALSE(CDevBas::mfReadConfiguration(nullptr, nullptr, nullptr));
  EXPECT_EQ(CDevBas::mfDeserializeFromOld(nullptr, nullptr, nullptr), 0);
  COwnerArchive archive;
  EXPECT_FALSE(CDevBas::mfReadConfiguration(&archive, nullptr, nullptr)) << "an empty archive holds no configuration";
  const ConfigBytes bytes = ConfigBytes().Int(1).Int(5).Int(0);
  CDevBas::mfPrepareArchive(archive, bytes.data(), bytes.size());
  EXPECT_TRUE(CDevBas::mfReadConfiguration(&archive, nullptr, nullptr)) << "no parameters: the configuration is there but goes nowhere";
  CArray<int, int> params;
  params.SetSize(7);
  archive.m_nPosition = 0;
  EXPECT_EQ(CDevBas::mfDeserializeFromOld(&archive, &params, nullptr), 0) << "no table: the parameters are still read";
  EXPECT_EQ(params[0], 5);
}

TEST_F(DevTable, ExistingRowsStayWhenTheCountCannotBeRead) {
  CDevTable table;
  table.m_arRows.SetSize(2);
  table.m_nRowCount = 2;
  table.m_arRows[1].m_dwArPropertyValue[DEVROW_GROUP] = 42;
  COwnerArchive archive;
  const unsigned char three[3] = {1, 2, 3};
  CDevBas::mfPrepareArchive(archive, three, 3);
  archive.m_nPosition = archive.m_arBuffer.GetSize() - 3; // fewer than four bytes left
  table.Serialize(archive);
  EXPECT_EQ(table.m_nRowCount, 2);
  ASSERT_EQ(table.m_arRows.GetSize(), 2);
  EXPECT_EQ(table.m_arRows[1].m_dwArPropertyValue[DEVROW_GROUP], 42u);
}

} // namespace
