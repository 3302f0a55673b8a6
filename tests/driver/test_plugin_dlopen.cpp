// Loads the built plug-in as the panel does and drives it only through its exports and interfaces.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "DeviceExports.h"
#include "FakePanel.h"
#include "ResultCodes.h"

namespace {

class Plugin : public ::testing::Test {
protected:
  void SetUp() override {
    handle_ = dlopen(POLMON_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    create_ = reinterpret_cast<PFN_CreateDeviceCtrl>(dlsym(handle_, "CreateDeviceCtrl"));
    version_ = reinterpret_cast<PFN_GetInterfaceVersion>(dlsym(handle_, "GetInterfaceVersion"));
    destroy_ = reinterpret_cast<PFN_DestroyDeviceCtrl>(dlsym(handle_, "DestroyDeviceCtrl"));
    ASSERT_TRUE(create_ && version_ && destroy_);
  }
  void TearDown() override {
    if (handle_) dlclose(handle_);
  }

  void* handle_ = nullptr;
  PFN_CreateDeviceCtrl create_ = nullptr;
  PFN_GetInterfaceVersion version_ = nullptr;
  PFN_DestroyDeviceCtrl destroy_ = nullptr;
};

TEST_F(Plugin, InternalSymbolsAreNotVisible) {
  EXPECT_EQ(dlsym(handle_, "_ZN8CDevCtrl16GetParamType_FunER9ORVA_DATA7CStringR8DATATYPE"), nullptr);
}

TEST_F(Plugin, ExportsAnswerNullDevices) {
  EXPECT_EQ(version_(5, nullptr), 1);
  EXPECT_EQ(destroy_(nullptr), 1);
}

TEST_F(Plugin, CreateVersionDestroy) {
  fake::Rtdb rtdb;
  IDeviceCtrl* device = create_("HJ212-1", &rtdb);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(version_(3, device), 3);
  EXPECT_EQ(device->SetChannelAddress(4, 5), 0);
  EXPECT_EQ(destroy_(device), 0);
}

TEST_F(Plugin, NullArgumentsAreRefused) {
  fake::Rtdb rtdb;
  IDeviceCtrl* device = create_(nullptr, &rtdb); // a nameless device is tolerated
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->UpdataCommunication(nullptr), kErrBadArgument);
  EXPECT_EQ(device->InitDevice(nullptr, 10), kErrBadArgument);
  unsigned char byte = 0;
  EXPECT_EQ(device->InitDevice(&byte, 0), kErrBadArgument);
  EXPECT_EQ(device->DevIOCtrl(nullptr), kErrBadArgument);
  EXPECT_EQ(device->ChannelRefChange(nullptr, 3), kErrBadArgument);
  EXPECT_EQ(device->CollectDevData(nullptr, 4), 0);
  double value = 1.5;
  EXPECT_EQ(device->WriteChannel(0, DT_DOUBLE, nullptr), kErrBadArgument);
  EXPECT_EQ(device->WriteChannel(-1, DT_DOUBLE, &value), kErrBadArgument);
  EXPECT_EQ(destroy_(device), 0);
}

TEST_F(Plugin, PortModeIsMappedAndAPortIsKeptEvenWhenItsModeIsBad) {
  struct Case {
    int portMode;
    int result;
  } cases[] = {{1, 0}, {2, 0}, {7, kErrBadArgument}, {0, kErrBadArgument}};
  for (const Case& c : cases) {
    fake::Rtdb rtdb;
    fake::Port port(c.portMode);
    IDeviceCtrl* device = create_("dev", &rtdb);
    int codes[1] = {0};
    EXPECT_EQ(device->CollectDevData(codes, 1), kErrNoPort);
    EXPECT_EQ(device->UpdataCommunication(&port), c.result) << "mode " << c.portMode;
    EXPECT_NE(device->CollectDevData(codes, 1), kErrNoPort) << "mode " << c.portMode;
    EXPECT_EQ(port.DeviceName(), "dev");
    destroy_(device);
  }
}

} // namespace
