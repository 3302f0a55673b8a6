// The three functions a device plug-in exports, unmangled, and their types as the panel loads them.
#pragma once

#include "Exported.h"
#include "IDeviceCtrl.h"
#include "IDevRtdbCtrl.h"

#define POLMON_EXPORT PANEL_EXPORTED

extern "C" {
// A new device object called `name`, bound to the panel's database object; null when it cannot
// be built (no memory). Nothing is thrown.
POLMON_EXPORT IDeviceCtrl* CreateDeviceCtrl(const char* name, IDevRtdbCtrl* rtdb);
// Records the panel's interface version in the device; returns 3 (1 for a null device).
POLMON_EXPORT int GetInterfaceVersion(int hostVersion, IDeviceCtrl* device);
// Destroys the device object; returns 0 (1 for a null device).
POLMON_EXPORT int DestroyDeviceCtrl(IDeviceCtrl* device);
}

typedef IDeviceCtrl* (*PFN_CreateDeviceCtrl)(const char* name, IDevRtdbCtrl* rtdb);
typedef int (*PFN_GetInterfaceVersion)(int hostVersion, IDeviceCtrl* device);
typedef int (*PFN_DestroyDeviceCtrl)(IDeviceCtrl* device);
