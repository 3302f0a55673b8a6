// The panel's per-device record (ORVA_DATA). The device's context record it points at (DEVBAS_DATA)
// is the driver's: the panel only carries the pointer.
// ORVA_DATA is defined by the panel: twelve 32-bit words on the panel's targets, in this order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "DataType.h"
#include "hostshim.h"

class COwnerArchive;
class ICommunication;
class IDevRtdbCtrl;

struct ORVA_DATA;
struct DEVBAS_DATA;

// Typed access to a variable by name; `value` points at an int, a double or a CString by type.
// Result: the database's own (0 = success), 0x80000001 bad argument, 0x80000000 no database.
typedef int (*PFN_SETPARAMVALUE)(ORVA_DATA& data, CString name, DATATYPE type, void* value);
typedef int (*PFN_GETPARAMVALUE)(ORVA_DATA& data, CString name, DATATYPE type, void* value);
typedef int (*PFN_GETPARAMTYPE)(ORVA_DATA& data, CString name, DATATYPE& type);

struct ORVA_DATA {
  CString strDevName;             // device name, handed to the port before each operation
  CString strReserved;            // empty; not read
  int nReserved1;                 // 0; not read
  COwnerArchive* pArchive;        // configuration archive, alive only during InitDevice
  DEVBAS_DATA* pDevice;           // context record; null until InitDevice and after CleanupDevice
  int nCommMode;                  // 2 when the port reported 1, 1 when it reported 2; 0 until then
  ICommunication* pCommunication; // the panel's port; not owned
  IDevRtdbCtrl* pRtdbCtrl;        // the device's database adapter
  int nReserved2;                 // 0; not read
  PFN_SETPARAMVALUE pfnSetParamValue;
  PFN_GETPARAMVALUE pfnGetParamValue;
  PFN_GETPARAMTYPE pfnGetParamType;
};

#if UINTPTR_MAX == 0xFFFFFFFFu
// On the panel's 32-bit targets the record must match the panel's own, word for word.
static_assert(sizeof(ORVA_DATA) == 12 * 4, "ORVA_DATA is twelve 32-bit words");
static_assert(offsetof(ORVA_DATA, strDevName) == 0, "ORVA_DATA layout");
static_assert(offsetof(ORVA_DATA, strReserved) == 4, "ORVA_DATA layout");
static_assert(offsetof(ORVA_DATA, nReserved1) == 8, "ORVA_DATA layout");
static_assert(offsetof(ORVA_DATA, pArchive) == 12, "ORVA_DATA layout");
static_assert(offsetof(ORVA_DATA, pDevice) == 16, "ORVA_DATA layout");
static_assert(offsetof(ORVA_DATA, nCommMode) == 20, "ORVA_DATA layout");
static_assert(offsetof(ORVA_DATA, pCommunication) == 24, "ORVA_DATA layout");
static_assert(offsetof(ORVA_DATA, pRtdbCtrl) == 28, "ORVA_DATA layout");
static_assert(offsetof(ORVA_DATA, nReserved2) == 32, "ORVA_DATA layout");
static_assert(offsetof(ORVA_DATA, pfnSetParamValue) == 36, "ORVA_DATA layout");
static_assert(offsetof(ORVA_DATA, pfnGetParamValue) == 40, "ORVA_DATA layout");
static_assert(offsetof(ORVA_DATA, pfnGetParamType) == 44, "ORVA_DATA layout");
#endif

// The port pointer may be replaced by the panel's thread while the receive thread runs:
// every access goes through these, so each drain reads it once, whole.
inline ICommunication* LoadPort(const ORVA_DATA& data) { return __atomic_load_n(&data.pCommunication, __ATOMIC_ACQUIRE); }
inline void StorePort(ORVA_DATA& data, ICommunication* port) { __atomic_store_n(&data.pCommunication, port, __ATOMIC_RELEASE); }
