// The plug-in's only exported symbols.
#include <memory>

#include "DevCtrl.h"
#include "panel/DeviceExports.h"

namespace {
// The driver's interface version, answered to every panel.
constexpr int kDriverInterfaceVersion = 3;
} // namespace

// Null when the device cannot be built (no memory): a panel that does not catch C++ exceptions
// would abort on one.
extern "C" IDeviceCtrl* CreateDeviceCtrl(const char* name, IDevRtdbCtrl* rtdb) {
  try {
    return new CDevCtrl(name, rtdb);
  } catch (...) {
    return nullptr;
  }
}

// 1 for a null device, as the panel expects of this export.
extern "C" int GetInterfaceVersion(int hostVersion, IDeviceCtrl* device) {
  if (!device) return 1;
  // Every device this plug-in hands out is a CDevCtrl.
  auto* ctrl = static_cast<CDevCtrl*>(device);
  if (ctrl->m_pRtdb) ctrl->m_pRtdb->SetHostVersion(hostVersion);
  return kDriverInterfaceVersion;
}

// 0 destroyed; 1 refused (a null device, a call from its own receive thread or from a panel
// callback inside one of its calls, or while it is being stopped), as the panel expects.
extern "C" int DestroyDeviceCtrl(IDeviceCtrl* device) {
  if (!device) return 1;
  // The engine cannot be stopped from its own thread, nor freed under a call that runs: refused.
  if (!static_cast<CDevCtrl*>(device)->MayDestroy()) return 1;
  delete device;
  return 0;
}
