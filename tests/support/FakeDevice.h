// A device record wired to a fake database through the device object's own typed-access
// callbacks, so bridge and builder tests reach variables exactly as the plug-in does.
// Programs that include this link polmon_driver.
#pragma once

#include "FakePanel.h"
#include "driver/DevCtrl.h"

namespace fake {

// `rtdb` may be null: a device without a database.
inline ORVA_DATA DeviceData(IDevRtdbCtrl* rtdb) {
  ORVA_DATA data{};
  data.pRtdbCtrl = rtdb;
  data.pfnSetParamValue = &CDevCtrl::SetParamValue_Fun;
  data.pfnGetParamValue = &CDevCtrl::GetParamValue_Fun;
  data.pfnGetParamType = &CDevCtrl::GetParamType_Fun;
  return data;
}

} // namespace fake
