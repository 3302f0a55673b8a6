#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "config/DevBas.h"
#include "config/OwnerArchive.h"

namespace {

using Mode = COwnerArchive::ARCHIVESTATUS;
constexpr Mode LOAD = COwnerArchive::ARCHIVE_LOAD;
constexpr Mode STORE = COwnerArchive::ARCHIVE_STORE;

// Puts an archive into an exact state: these bytes, this position, this mode.
void SetState(COwnerArchive& ar, const std::vector<unsigned char>& bytes, int position, Mode mode) {
  ar.m_arBuffer.SetSize(static_cast<int>(bytes.size()), -1);
  if (!bytes.empty()) std::memcpy(ar.m_arBuffer.GetData(), bytes.data(), bytes.size());
  ar.m_nPosition = position;
  ar.m_nStatus = mode;
}

std::vector<unsigned char> Contents(const COwnerArchive& ar) {
  const BYTE* data = ar.m_arBuffer.GetData();
  return std::vector<unsigned char>(data, data + ar.m_arBuffer.GetSize());
}

TEST(OwnerArchive, FreshArchiveIsAnEmptyStoreArchiveWithoutVersionWord) {
  COwnerArchive ar;
  EXPECT_EQ(ar.m_arBuffer.GetSize(), 0);
  EXPECT_EQ(ar.m_nPosition, 0);
  EXPECT_EQ(ar.m_nStatus, STORE);

  const unsigned char five[5] = {1, 2, 3, 4, 5};
  ASSERT_EQ(ar.SvrWrite(five, 5), 1);
  EXPECT_EQ(ar.m_nPosition, 5);
  ASSERT_EQ(ar.m_arBuffer.GetSize(), 16534);
  EXPECT_EQ(0, std::memcmp(ar.m_arBuffer.GetData(), five, 5)) << "bytes start at offset 0";
  for (int i = 5; i < ar.m_arBuffer.GetSize(); ++i) ASSERT_EQ(ar.m_arBuffer[i], 0) << "growth is zero-filled at " << i;
}

struct ModeChange {
  const char* name;
  std::vector<unsigned char> bytes;
  int position;
  Mode from;
  Mode to;
  std::vector<unsigned char> expectBytes; // whole buffer afterwards
  int expectPosition;
};

class OwnerArchiveModeChange : public ::testing::TestWithParam<ModeChange> {};

TEST_P(OwnerArchiveModeChange, CutsRestartsAndHandlesTheVersionWord) {
  const ModeChange& c = GetParam();
  COwnerArchive ar;
  SetState(ar, c.bytes, c.position, c.from);
  ar.SvrChangeMode(c.to);
  EXPECT_EQ(ar.m_nStatus, c.to);
  EXPECT_EQ(Contents(ar), c.expectBytes);
  EXPECT_EQ(ar.m_nPosition, c.expectPosition);
}

const std::vector<unsigned char> kTen20000 = {0x20, 0x4E, 3, 4, 5, 6, 7, 8, 9, 10};
const std::vector<unsigned char> kTenHeaderless = {0x07, 0x00, 3, 4, 5, 6, 7, 8, 9, 10};
const std::vector<unsigned char> kTen20001 = {0x21, 0x4E, 3, 4, 5, 6, 7, 8, 9, 10};
const std::vector<unsigned char> kTenFFFF = {0xFF, 0xFF, 3, 4, 5, 6, 7, 8, 9, 10};

std::vector<unsigned char> Padded(std::vector<unsigned char> bytes, size_t size) {
  bytes.resize(size, 0);
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OwnerArchiveModeChange,
    ::testing::Values(
        // store -> load from a written position: the growth is cut off, the version word is detected
        ModeChange{"StoreToLoadCutsGrowthVersion20000", Padded(kTen20000, 16534), 10, STORE, LOAD, kTen20000, 2},
        ModeChange{"StoreToLoadHeaderless", Padded(kTenHeaderless, 16534), 10, STORE, LOAD, kTenHeaderless, 0},
        ModeChange{"StoreToLoadVersion20001", Padded(kTen20001, 16534), 10, STORE, LOAD, kTen20001, 2},
        ModeChange{"StoreToLoadHeaderlessLooksVersioned", Padded(kTenFFFF, 16534), 10, STORE, LOAD, kTenFFFF, 2},
        // store -> load from position 0 keeps the whole grown buffer (InitDevice's sequence)
        ModeChange{"StoreToLoadAtZeroKeepsPadding", Padded(kTenHeaderless, 16534), 0, STORE, LOAD, Padded(kTenHeaderless, 16534), 0},
        ModeChange{"StoreToLoadShorterThanAWord", {0x20}, 1, STORE, LOAD, {0x20}, 0}, ModeChange{"StoreToLoadEmpty", {}, 0, STORE, LOAD, {}, 0},
        // load -> store: the unread rest is cut, the version word written at 0
        ModeChange{"LoadToStoreAtZeroWritesVersion", kTenHeaderless, 0, LOAD, STORE, {0x20, 0x4E, 3, 4, 5, 6, 7, 8, 9, 10}, 2},
        ModeChange{"LoadToStoreCutsUnreadRest", kTenHeaderless, 6, LOAD, STORE, {0x20, 0x4E, 3, 4, 5, 6}, 2},
        ModeChange{"LoadToStoreEmptyGrows", {}, 0, LOAD, STORE, Padded({0x20, 0x4E}, 16534), 2},
        // same mode: acts only at position 0
        ModeChange{"StoreAtZeroWritesVersion", {}, 0, STORE, STORE, Padded({0x20, 0x4E}, 16534), 2},
        ModeChange{"StoreElsewhereDoesNothing", kTenHeaderless, 5, STORE, STORE, kTenHeaderless, 5},
        ModeChange{"LoadAtZeroDetectsVersion", kTen20000, 0, LOAD, LOAD, kTen20000, 2},
        ModeChange{"LoadAtZeroHeaderless", kTenHeaderless, 0, LOAD, LOAD, kTenHeaderless, 0},
        ModeChange{"LoadElsewhereDoesNothing", kTen20000, 4, LOAD, LOAD, kTen20000, 4}),
    [](const ::testing::TestParamInfo<ModeChange>& p) { return std::string(p.param.name); });

TEST(OwnerArchive, GrowthIsTheLargerOfNeedAndStep) {
  COwnerArchive ar;
  std::vector<unsigned char> bytes(20000, 0xAB);
  ASSERT_EQ(ar.SvrWrite(bytes.data(), 20000), 1);
  EXPECT_EQ(ar.m_arBuffer.GetSize(), 20000);
  ASSERT_EQ(ar.SvrWrite(bytes.data(), 1), 1);
  EXPECT_EQ(ar.m_arBuffer.GetSize(), 36534);
  ASSERT_EQ(ar.SvrWrite(bytes.data(), 16533), 1); // fills exactly: no growth
  EXPECT_EQ(ar.m_arBuffer.GetSize(), 36534);
  EXPECT_EQ(ar.m_nPosition, 36534);
}

TEST(OwnerArchive, FailedReadsLeaveDestinationAndPositionUntouched) {
  struct Case {
    const char* name;
    int position;
    int count;
  };
  const Case cases[] = {
      {"FourWhenThreeRemain", 7, 4},   {"PastTheEnd", 10, 1},       {"NegativeCount", 0, -1},
      {"PositionBeyondBuffer", 12, 0}, {"NegativePosition", -1, 1}, {"HugeCount", 2, INT_MAX},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    COwnerArchive ar;
    SetState(ar, kTenHeaderless, c.position, LOAD);
    unsigned char dest[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(ar.SvrRead(dest, c.count), 0);
    EXPECT_EQ(ar.m_nPosition, c.position);
    EXPECT_EQ(Contents(ar), kTenHeaderless);
    for (unsigned char b : dest) EXPECT_EQ(b, 0xEE);
  }
  COwnerArchive ar;
  SetState(ar, kTenHeaderless, 7, LOAD);
  unsigned char dest[3] = {};
  ASSERT_EQ(ar.SvrRead(dest, 3), 1) << "the last three bytes are there";
  EXPECT_EQ(dest[2], 10);
  EXPECT_EQ(ar.m_nPosition, 10);
}

TEST(OwnerArchive, RejectsWritesThatCannotBeHeld) {
  const unsigned char one[4] = {1, 2, 3, 4};
  COwnerArchive ar;
  EXPECT_EQ(ar.SvrWrite(one, -1), 0);
  EXPECT_EQ(ar.SvrWrite(nullptr, 4), 0);
  EXPECT_EQ(ar.mfCheckBuffer(-5), 0);
  EXPECT_EQ(ar.m_arBuffer.GetSize(), 0) << "nothing was stored";
  EXPECT_EQ(ar.m_nPosition, 0);
  // A position and count whose sum passes the largest int must not wrap into a small write.
  ar.m_nPosition = INT_MAX - 2;
  EXPECT_EQ(ar.SvrWrite(one, 4), 0);
  EXPECT_EQ(ar.m_arBuffer.GetSize(), 0);
}

TEST(OwnerArchive, ReadAndWriteSwitchModesThemselves) {
  COwnerArchive ar;
  const unsigned char data[6] = {0x20, 0x4E, 0xAA, 0xBB, 0xCC, 0xDD};
  ASSERT_EQ(ar.SvrWrite(data, 6), 1);
  unsigned char got[2] = {};
  ASSERT_EQ(ar.SvrRead(got, 2), 1) << "a read in store mode switches to load, cutting at 6 and skipping the version word";
  EXPECT_EQ(ar.m_nStatus, LOAD);
  EXPECT_EQ(ar.m_arBuffer.GetSize(), 6);
  EXPECT_EQ(got[0], 0xAA);
  EXPECT_EQ(got[1], 0xBB);
  ASSERT_EQ(ar.SvrWrite(data + 2, 1), 1) << "a write in load mode switches to store, cutting at 4 and writing the version word";
  EXPECT_EQ(ar.m_nStatus, STORE);
  EXPECT_EQ(ar.m_nPosition, 3);
  EXPECT_EQ((std::vector<unsigned char>{0x20, 0x4E, 0xAA, 0xBB}), Contents(ar));
}

TEST(OwnerArchive, GetNowVersionReadsTheFirstWordInPlace) {
  struct Case {
    std::vector<unsigned char> bytes;
    Mode mode;
    int position;
    unsigned expect;
  };
  const Case cases[] = {
      {{0x21, 0x4E, 1, 2, 3}, LOAD, 3, 20001}, {{0x20, 0x4E}, LOAD, 2, 20000}, {{0x05, 0x00, 9}, LOAD, 1, 5}, {{0x20}, LOAD, 0, 0}, {{}, LOAD, 0, 0},
      {{0xFF, 0xFF, 0, 0}, STORE, 4, 0xFFFF},
  };
  for (const Case& c : cases) {
    COwnerArchive ar;
    SetState(ar, c.bytes, c.position, c.mode);
    EXPECT_EQ(ar.GetNowVersion(), c.expect);
    EXPECT_EQ(ar.m_nPosition, c.position);
    EXPECT_EQ(ar.m_nStatus, c.mode) << "asking for the version never switches mode";
    EXPECT_EQ(Contents(ar), c.bytes);
  }
}

TEST(OwnerArchive, FieldsAreLittleEndianAndTextsEndAtTheirFirstZeroByte) {
  COwnerArchive ar;
  ASSERT_TRUE(ar.SvrWriteInt32(-2));
  ASSERT_TRUE(ar.SvrWriteDword(0x01020304u));
  const unsigned char text[6] = {'w', '0', 0, '1', '8', 'X'};
  ASSERT_EQ(ar.SvrWrite(text, 6), 1);
  const std::vector<unsigned char> expect = {0xFE, 0xFF, 0xFF, 0xFF, 0x04, 0x03, 0x02, 0x01, 'w', '0', 0, '1', '8', 'X'};
  EXPECT_EQ(0, std::memcmp(ar.m_arBuffer.GetData(), expect.data(), expect.size()));

  // Read back from 0 as a header-less buffer (its first word, FE FF, would pass for a version word).
  ar.m_nStatus = LOAD;
  ar.m_nPosition = 0;
  int32_t i = 0;
  DWORD d = 0;
  CString s("preset");
  ASSERT_TRUE(ar.SvrReadInt32(i));
  ASSERT_TRUE(ar.SvrReadDword(d));
  ASSERT_TRUE(ar.SvrReadText(s, 5));
  EXPECT_EQ(i, -2);
  EXPECT_EQ(d, 0x01020304u);
  EXPECT_EQ(s, "w0");
  EXPECT_EQ(s.GetLength(), 2);
  EXPECT_EQ(ar.m_nPosition, 13) << "the whole stored length is consumed";

  SetState(ar, {1, 2, 3}, 0, LOAD);
  i = 77;
  s = "keep";
  EXPECT_FALSE(ar.SvrReadInt32(i));
  EXPECT_FALSE(ar.SvrReadText(s, 4));
  EXPECT_FALSE(ar.SvrReadText(s, -1));
  EXPECT_EQ(i, 77);
  EXPECT_EQ(s, "keep");
  EXPECT_EQ(ar.m_nPosition, 0);
}

TEST(OwnerArchive, AbandoningTheRestMakesEveryFurtherReadFail) {
  COwnerArchive ar;
  SetState(ar, kTenHeaderless, 2, LOAD);
  EXPECT_EQ(ar.mfRemaining(), 8);
  ar.mfAbandonRest();
  EXPECT_EQ(ar.mfRemaining(), 0);
  unsigned char b = 0x55;
  EXPECT_EQ(ar.SvrRead(&b, 1), 0);
  EXPECT_EQ(b, 0x55);
  ar.SvrChangeMode(LOAD);
  EXPECT_EQ(ar.m_nPosition, 10) << "a load-mode request away from 0 does not rewind";
}

// InitDevice's sequence: the panel's bytes verbatim, rewound, in load mode, padded to the growth step.
TEST(OwnerArchive, PreparedArchiveHoldsThePanelBytesPaddedWithZeros) {
  struct Case {
    std::vector<unsigned char> bytes;
    int expectSize;
    int expectPosition;
    int expectResult;
  };
  std::vector<unsigned char> big(20000, 1);
  big[0] = 0x20;
  big[1] = 0x4E;
  const Case cases[] = {
      {{0, 0, 0, 0, 0, 0, 0, 0}, 16534, 0, 1},
      {{0x20, 0x4E, 1, 0, 0, 0}, 16534, 2, 1},
      {{0x21, 0x4E}, 16534, 2, 1},
      {big, 20000, 2, 1},
      {{}, 0, 0, 0},
  };
  for (const Case& c : cases) {
    COwnerArchive ar;
    EXPECT_EQ(CDevBas::mfPrepareArchive(ar, c.bytes.data(), static_cast<int>(c.bytes.size())), c.expectResult);
    EXPECT_EQ(ar.m_nStatus, LOAD);
    EXPECT_EQ(ar.m_arBuffer.GetSize(), c.expectSize);
    EXPECT_EQ(ar.m_nPosition, c.expectPosition);
    if (!c.bytes.empty()) {
      EXPECT_EQ(0, std::memcmp(ar.m_arBuffer.GetData(), c.bytes.data(), c.bytes.size()));
    }
  }
  COwnerArchive negative;
  const unsigned char some[4] = {1, 2, 3, 4};
  EXPECT_EQ(CDevBas::mfPrepareArchive(negative, some, -4), 0) << "a negative length stores nothing";
  EXPECT_EQ(negative.m_arBuffer.GetSize(), 0);
}

} // namespace
