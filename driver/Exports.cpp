// The plug-in's only exported symbols.
#include <memory>

#include "DevCtrl.h"
#include "DeviceExports.h"

namespace {
// The driver's interface version, answered to every panel.
constexpr int kDriverInterfaceVersion = 3;
} // namespace

extern "C" IDeviceCtrl* CreateDeviceCtrl(const char* name, IDevRtdbCtrl* rtdb) { return new CDevCtrl(name, rtdb); }

// 1 for a null device, as the panel expects of this export.
extern "C" int GetInterfaceVersion(int hostVersion, IDeviceCtrl* device) {
  if (!device) return 1;
  // Every device this plug-in hands out is a CDevCtrl.
  auto* ctrl = static_cast<CDevCtrl*>(device);
  if (ctrl->m_pRtdb) ctrl->m_pRtdb->SetHostVersion(hostVersion);
  return kDriverInterfaceVersion;
}

// 0 destroyed; 1 refused (a null device, or a call from its own receive thread), as the panel expects.
extern "C" int DestroyDeviceCtrl(IDeviceCtrl* device) {
  if (!device) return 1;
  // From the device's own receive thread the engine cannot be stopped: refused, nothing changes.
  if (static_cast<CDevCtrl*>(device)->OnReceiveThread()) return 1;
  delete device;
  return 0;
}
