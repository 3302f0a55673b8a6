// The device's context record, reached through ORVA_DATA's pDevice: created by InitDevice, freed
// by CleanupDevice. The driver alone reaches into it; the engine and the configuration reader are
// handed the parts they use.
#pragma once

#include "panel/OrvaData.h"
#include "panel/hostshim.h"

class CDevTable;
namespace HJ {
class HJ212_system;
}

struct DEVBAS_DATA {
  CArray<int, int> arDevParam; // seven device parameters as configured; the engine acts on the five of HJ::DeviceParams
  CDevTable* pDevTable;        // channel table; owned
  HJ::HJ212_system* pSystem;   // protocol engine; owned
};
