// The device object's own state: database gate, typed-access callbacks, per-channel arrays.
#include <gtest/gtest.h>

#include "config/DevTable.h"
#include "driver/DevCtrl.h"
#include "panel/DeviceExports.h"
#include "panel/ResultCodes.h"
#include "tests/support/FakePanel.h"

namespace {

struct Device {
  fake::Rtdb rtdb;
  CDevCtrl* ctrl;
  Device() : ctrl(static_cast<CDevCtrl*>(CreateDeviceCtrl("dev", &rtdb))) {}
  ~Device() { DestroyDeviceCtrl(ctrl); }
};

TEST(DeviceObject, FreshDeviceHasNothingSized) {
  Device d;
  EXPECT_EQ(d.ctrl->ChannelNum(), -1);
  EXPECT_EQ(d.ctrl->Values().GetSize(), 0);
  EXPECT_EQ(d.ctrl->ChannelStates().GetSize(), 0);
  EXPECT_EQ(d.ctrl->m_devData.pRtdbCtrl, d.ctrl->m_pRtdb);
  EXPECT_EQ(d.ctrl->m_devData.pDevice, nullptr);
  EXPECT_STREQ(d.ctrl->m_devData.strDevName, "dev");
}

TEST(DeviceObject, VersionGateStopsAndRestartsForwarding) {
  Device d;
  d.rtdb.SetInt("A", 4);
  int value = 0;
  EXPECT_EQ(d.ctrl->m_pRtdb->GetValueByName("A", value), 0);
  EXPECT_EQ(value, 4);
  for (int version : {0, -3}) {
    EXPECT_EQ(GetInterfaceVersion(version, d.ctrl), 3);
    int calls = d.rtdb.calls();
    DATATYPE type = DT_UNSET;
    std::string text;
    EXPECT_EQ(d.ctrl->m_pRtdb->GetValueTypeByName("A", type), kErrHostVersion);
    EXPECT_EQ(d.ctrl->m_pRtdb->SetValueByName("A", 9), kErrHostVersion);
    EXPECT_EQ(d.ctrl->m_pRtdb->SetValueByChannel(0, text), kErrHostVersion);
    EXPECT_EQ(d.ctrl->m_pRtdb->GetValueIDByChannel(0, value), kErrHostVersion);
    EXPECT_EQ(d.rtdb.calls(), calls) << "the panel saw a call behind the gate";
  }
  EXPECT_EQ(GetInterfaceVersion(2, d.ctrl), 3);
  EXPECT_EQ(d.ctrl->m_pRtdb->SetValueByName("A", 9), 0);
  EXPECT_EQ(d.rtdb.Get("A").i, 9);
}

TEST(DeviceObject, PanelResultsPassThroughUnchanged) {
  Device d;
  d.rtdb.SetInt("A", 1);
  d.rtdb.FailNextSets(1, 7);
  EXPECT_EQ(d.ctrl->m_pRtdb->SetValueByName("A", 2), 7);
}

TEST(DeviceObject, WithoutAPanelDatabaseCallsAreAnsweredNotCrashed) {
  CDevCtrl* ctrl = static_cast<CDevCtrl*>(CreateDeviceCtrl("dev", nullptr));
  DATATYPE type = DT_UNSET;
  EXPECT_EQ(ctrl->m_pRtdb->GetValueTypeByName("A", type), kErrNoDatabase);
  DestroyDeviceCtrl(ctrl);
}

// The table's contents are checked where it is defined (DevTableTest); here only that creation refills it.
TEST(DeviceObject, PropertyDescriptionIsRefilledOnEveryCreation) {
  Device first;
  ASSERT_EQ(CDevRow::m_strArPropertyName.GetSize(), DEVROW_PROPERTY_COUNT);
  ASSERT_EQ(CDevRow::m_dwArPropertyType.GetSize(), DEVROW_PROPERTY_COUNT);
  const CString name = CDevRow::m_strArPropertyName[0];
  const DWORD type = CDevRow::m_dwArPropertyType[2];
  CDevRow::m_strArPropertyName[0] = "changed";
  CDevRow::m_dwArPropertyType[2] = 9;
  Device second;
  EXPECT_EQ(CDevRow::m_strArPropertyName[0], name);
  EXPECT_EQ(CDevRow::m_dwArPropertyType[2], type);
}

TEST(TypedAccess, GuardsComeBeforeTheDatabase) {
  Device d;
  d.rtdb.SetInt("A", 1);
  ORVA_DATA& data = d.ctrl->m_devData;
  int value = 0;
  DATATYPE type = DT_UNSET;
  int calls = d.rtdb.calls();
  EXPECT_EQ(CDevCtrl::GetParamType_Fun(data, CString(""), type), kErrBadArgument);
  EXPECT_EQ(CDevCtrl::GetParamValue_Fun(data, CString(""), DT_INTEGER, &value), kErrBadArgument);
  EXPECT_EQ(CDevCtrl::SetParamValue_Fun(data, CString(""), DT_INTEGER, &value), kErrBadArgument);
  EXPECT_EQ(CDevCtrl::GetParamValue_Fun(data, CString("A"), DT_INTEGER, nullptr), kErrBadArgument);
  EXPECT_EQ(CDevCtrl::GetParamValue_Fun(data, CString("A"), static_cast<DATATYPE>(4), &value), kErrBadArgument);
  EXPECT_EQ(CDevCtrl::SetParamValue_Fun(data, CString("A"), DT_UNSET, &value), kErrBadArgument);
  EXPECT_EQ(d.rtdb.calls(), calls);
  ORVA_DATA bare = ORVA_DATA();
  EXPECT_EQ(CDevCtrl::GetParamType_Fun(bare, CString("A"), type), kErrNoDatabase);
  EXPECT_EQ(CDevCtrl::GetParamValue_Fun(bare, CString("A"), DT_INTEGER, &value), kErrNoDatabase);
  EXPECT_EQ(CDevCtrl::SetParamValue_Fun(bare, CString("A"), DT_INTEGER, &value), kErrNoDatabase);
}

TEST(TypedAccess, EachTypeReachesItsOwnCall) {
  Device d;
  d.rtdb.SetInt("I", -7);
  d.rtdb.SetDouble("D", 12.5);
  d.rtdb.SetText("T", std::string("a\0b", 3));
  ORVA_DATA& data = d.ctrl->m_devData;
  DATATYPE type = DT_UNSET;
  EXPECT_EQ(CDevCtrl::GetParamType_Fun(data, CString("D"), type), 0);
  EXPECT_EQ(type, DT_DOUBLE);
  int i = 0;
  double x = 0;
  CString text("preset");
  EXPECT_EQ(CDevCtrl::GetParamValue_Fun(data, CString("I"), DT_INTEGER, &i), 0);
  EXPECT_EQ(CDevCtrl::GetParamValue_Fun(data, CString("D"), DT_DOUBLE, &x), 0);
  EXPECT_EQ(CDevCtrl::GetParamValue_Fun(data, CString("T"), DT_STRING, &text), 0);
  EXPECT_EQ(i, -7);
  EXPECT_EQ(x, 12.5);
  EXPECT_EQ(text.GetLength(), 3);
  CString missing("preset");
  EXPECT_NE(CDevCtrl::GetParamValue_Fun(data, CString("nope"), DT_STRING, &missing), 0);
  EXPECT_STREQ(missing, ""); // a text read assigns whatever the database answered
  CString written("hello");
  EXPECT_EQ(CDevCtrl::SetParamValue_Fun(data, CString("T"), DT_STRING, &written), 0);
  EXPECT_EQ(d.rtdb.Get("T").s, "hello");
  double y = 3.25;
  EXPECT_EQ(CDevCtrl::SetParamValue_Fun(data, CString("D"), DT_DOUBLE, &y), 0);
  EXPECT_EQ(d.rtdb.Get("D").d, 3.25);
}

TEST(ChannelArrays, SizingFollowsTheCount) {
  struct Case {
    std::vector<int> counts;
    int size;
    int channelNum;
  } cases[] = {
      {{3, 0}, 4, 3},  {{3, 2}, 3, 2}, {{0}, 1, 0},
      {{-2}, 1, 0},    {{-1}, 1, 0}, // a never-sized device gets its own element even for the initial count
      {{3, -1}, 4, 3}, {{5, 5}, 6, 5}, {{2, 7}, 8, 7},
  };
  for (const Case& c : cases) {
    Device d;
    for (int count : c.counts) EXPECT_EQ(d.ctrl->_InitValueArray(count), 0);
    EXPECT_EQ(d.ctrl->Values().GetSize(), c.size);
    EXPECT_EQ(d.ctrl->ChannelRefs().GetSize(), c.size);
    EXPECT_EQ(d.ctrl->ChannelStates().GetSize(), c.size);
    EXPECT_EQ(d.ctrl->TextValues().GetSize(), c.size);
    EXPECT_EQ(d.ctrl->ChannelNum(), c.channelNum);
  }
  Device huge;
  EXPECT_EQ(huge.ctrl->_InitValueArray(0x7FFFFFFF), kErrBadArgument);
  EXPECT_EQ(huge.ctrl->Values().GetSize(), 0);
}

} // namespace
