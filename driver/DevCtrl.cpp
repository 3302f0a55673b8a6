#include "DevCtrl.h"

#include <string>

#include "bridge/TypedAccess.h"
#include "config/DevTable.h"
#include "hj212/HJ212System.h"
#include "panel/ICommunication.h"
#include "panel/ResultCodes.h"

CDevCtrl::CDevCtrl(const char* name, IDevRtdbCtrl* hostRtdb) : m_devData(), m_pRtdb(nullptr), m_nChannelNum(-1) {
  CDevRow::mfFillPropertyDescription();
  m_devData.strDevName = name; // a null name reads as empty
  m_devData.strReserved = "";
  m_devData.nReserved1 = 0;
  m_devData.pArchive = nullptr;
  m_devData.pDevice = nullptr;
  m_devData.nCommMode = 0;
  m_devData.pCommunication = nullptr;
  m_devData.pRtdbCtrl = nullptr;
  m_devData.nReserved2 = 0;
  m_devData.pfnSetParamValue = &CDevCtrl::SetParamValue_Fun;
  m_devData.pfnGetParamValue = &CDevCtrl::GetParamValue_Fun;
  m_devData.pfnGetParamType = &CDevCtrl::GetParamType_Fun;
  // Last: every step above may throw, and the members built so far free themselves.
  m_pRtdb = new CDevRtdb(hostRtdb);
  m_devData.pRtdbCtrl = m_pRtdb;
}

CDevCtrl::~CDevCtrl() {
  // A panel that destroys a running device without cleaning it up would leave the receive thread
  // reading freed memory; stop it here instead.
  CleanupDevice();
  delete m_pRtdb;
}

bool CDevCtrl::OnReceiveThread() const { return m_recvThread.load() == std::this_thread::get_id(); }

CDevCtrl::Entry::Entry(CDevCtrl& device) : m_device(device), m_lock(device.m_mutex, std::defer_lock) {
  if (device.OnReceiveThread()) m_lock.try_lock();
  else m_lock.lock();
  if (m_lock && device.m_stopping.load()) m_lock.unlock();
  if (m_lock) ++device.m_depth;
}

CDevCtrl::Entry::~Entry() {
  if (m_lock) --m_device.m_depth;
}

int CDevCtrl::LifecycleRefusal() const {
  // m_mutex is this thread's, so a count above 0 is an entry point this thread is inside.
  if (m_depth > 0) return kErrBadArgument;
  return m_stopping.load() ? kErrBusy : kOk;
}

bool CDevCtrl::MayDestroy() {
  if (OnReceiveThread()) return false;
  return Guarded(0, [&] {
           std::lock_guard<std::recursive_mutex> lock(m_mutex);
           return LifecycleRefusal() == kOk ? 1 : 0;
         }) != 0;
}

int CDevCtrl::UpdataCommunication(ICommunication* port) {
  if (!port) return kErrBadArgument;
  // The receive thread must not replace the port it reads, nor a panel callback the port of
  // the call it runs in.
  if (OnReceiveThread()) return kErrBadArgument;
  return Guarded(kErrNoResources, [&] {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (int refused = LifecycleRefusal()) return refused;
    ++m_depth; // the port's own calls below may call back in
    struct Leave {
      int& depth;
      ~Leave() { --depth; }
    } leave{m_depth};
    // Kept even when the mode answer is bad. The panel may free the old port once this returns:
    // the receive thread lets go of it first.
    if (RunningEngine()) m_panelDevice.replace_port(port);
    else StorePort(m_devData, port);
    int mode = 0;
    try {
      mode = port->GetCommMode();
    } catch (...) {
      return kErrBadArgument; // a port that cannot say its mode has none
    }
    switch (mode) {
    case 1: m_devData.nCommMode = 2; return kOk;
    case 2: m_devData.nCommMode = 1; return kOk;
    default: return kErrBadArgument;
    }
  });
}

int CDevCtrl::SetChannelAddress(int, int) { return kOk; } // touches nothing: no lock

void CDevCtrl::NameDeviceToPort() {
  if (ICommunication* port = LoadPort(m_devData)) port->SetDeviceName(m_devData.strDevName);
}

int CDevCtrl::StatusValue() const { return m_arValue.GetSize() > 0 ? static_cast<int>(m_arValue[0]) : 0; }

int CDevCtrl::_InitValueArray(int count) {
  if (count > kMaxChannels) return kErrBadArgument;
  int current = m_nChannelNum;
  bool sized = m_arValue.GetSize() > 0;
  if (current != 0 && current == count && sized) return kOk;
  int size = 0;
  if (count > 0) {
    size = count + 1;
  } else {
    if (current > 0 && sized) return kOk; // a sized device keeps its arrays
    count = 0;                            // a never-sized device gets its own element, whatever the count
    size = 1;
  }
  // The count follows the arrays: a growth that fails is undone (shrinking allocates nothing), so
  // the next cycle never trusts elements that were never made.
  const int before[] = {m_arChannelRef.GetSize(), m_arValue.GetSize(), m_strArValue.GetSize(), m_arChannelState.GetSize()};
  try {
    m_arChannelRef.SetSize(size, -1);
    m_arValue.SetSize(size, -1);
    m_strArValue.SetSize(size, -1);
    m_arChannelState.SetSize(size, -1);
  } catch (...) {
    m_arChannelRef.SetSize(before[0], -1);
    m_arValue.SetSize(before[1], -1);
    m_strArValue.SetSize(before[2], -1);
    m_arChannelState.SetSize(before[3], -1);
    throw;
  }
  m_nChannelNum = count;
  return kOk;
}

// ---- typed access by name

int CDevCtrl::GetParamType_Fun(ORVA_DATA& data, CString name, DATATYPE& type) {
  if (name.IsEmpty()) return kErrBadArgument;
  if (!data.pRtdbCtrl) return kErrNoDatabase;
  return data.pRtdbCtrl->GetValueTypeByName(name, type);
}

namespace {

// The checks and the visit both typed-value callbacks share: `access` gets the value as its type's
// C++ type, text as a std::string copied from the caller's CString (Writes) or back into it.
template <bool Writes, typename Access>
int AccessByType(ORVA_DATA& data, const CString& name, DATATYPE type, void* value, Access access) {
  if (!value || name.IsEmpty()) return kErrBadArgument;
  if (!data.pRtdbCtrl) return kErrNoDatabase;
  return VisitByType(
      type,
      [&](auto tag) {
        using T = typename decltype(tag)::type;
        if constexpr (kIsText<decltype(tag)>) {
          CString& held = *static_cast<CString*>(value);
          std::string text;
          if constexpr (Writes) text = ToStdString(held);
          int result = access(text);
          if constexpr (!Writes) held = CString(text.data(), static_cast<int>(text.size()));
          return result;
        } else {
          return access(*static_cast<T*>(value));
        }
      },
      [] { return kErrBadArgument; });
}

} // namespace

int CDevCtrl::GetParamValue_Fun(ORVA_DATA& data, CString name, DATATYPE type, void* value) {
  return AccessByType<false>(data, name, type, value, [&](auto& v) { return data.pRtdbCtrl->GetValueByName(name, v); });
}

int CDevCtrl::SetParamValue_Fun(ORVA_DATA& data, CString name, DATATYPE type, void* value) {
  return AccessByType<true>(data, name, type, value, [&](auto& v) { return data.pRtdbCtrl->SetValueByName(name, v); });
}
