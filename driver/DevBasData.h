// The device's context record, reached through ORVA_DATA's pDevice: created by InitDevice, freed
// by CleanupDevice. The driver alone reaches into it; the engine and the configuration reader are
// handed the parts they use.
#pragma once

#include "OrvaData.h"
#include "hostshim.h"

class CDevTable;
namespace HJ {
class HJ212_system;
}

struct DEVBAS_DATA {
  CArray<int, int> arDevParam; // seven device parameters; [0] goes to the port, [1] is the wire charset, [2] the packet limit
  CDevTable* pDevTable;        // channel table; owned
  HJ::HJ212_system* pSystem;   // protocol engine; owned
};
