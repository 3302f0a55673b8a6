// The collection cycle and channel references.
#include <string>

#include "DevCtrl.h"
#include "bridge/TypedAccess.h"
#include "hj212/CommandResults.h"
#include "hj212/HJ212System.h"
#include "panel/ICommunication.h"
#include "panel/ResultCodes.h"

HJ::HJ212_system* CDevCtrl::RunningEngine() const {
  DEVBAS_DATA* context = m_devData.pDevice;
  if (!context || !context->pSystem || !context->pSystem->device()) return nullptr; // no thread was started
  return context->pSystem;
}

int CDevCtrl::ChannelRefChange(const int* refs, int count) {
  if (!refs || count == 0) return kErrBadArgument;
  Entry entry(*this);
  if (!entry) return kErrBusy;
  return Guarded(-kCmdStoreFailed, [&] {
    NameDeviceToPort();
    if (_InitValueArray(count) != kOk) return kErrBadArgument;
    if (!m_pRtdb) return kErrNoAdapter;
    m_arChannelRef[0] = 0;
    for (int k = 0; k < count; ++k) m_arChannelRef[k + 1] = refs[k] > 0 ? 1 : refs[k];
    return kOk;
  });
}

int CDevCtrl::CollectDevData(const int* codes, int count) {
  if (!codes || count == 0) return kOk;
  Entry entry(*this);
  if (!entry) return kErrBusy;
  return Guarded(-kCmdStoreFailed, [&] { return CollectLocked(codes, count); });
}

int CDevCtrl::CollectLocked(const int* codes, int count) {
  ICommunication* port = LoadPort(m_devData);
  if (!port) return kErrNoPort;
  port->SetDeviceName(m_devData.strDevName);
  if (_InitValueArray(count) != kOk) return kErrBadArgument;
  if (!m_pRtdb) return kErrNoAdapter;

  m_arChannelState[0] = 1;
  for (int k = 0; k < count; ++k) m_arChannelState[k + 1] = codes[k];

  HJ::HJ212_system* engine = RunningEngine();
  if (engine && !engine->is_started()) {
    // First cycle after InitDevice: the port's timeout comes from the first device parameter.
    port->SetTimeout(engine->params().port_timeout_ms());
    engine->release();
  }

  std::uint32_t failure = engine ? engine->last_result() : 0;
  m_arValue[0] = failure != 0 ? static_cast<double>(failure) : static_cast<double>(kStatusNoFailure);

  for (int i = 1; i < m_arChannelState.GetSize(); ++i) {
    if (m_arChannelState[i] != 3) continue;
    // A channel the panel's database throws on counts as one it refuses: the others go on.
    try {
      DATATYPE type = static_cast<DATATYPE>(0);
      if (m_pRtdb->GetValueTypeByChannel(i - 1, type) != 0) continue;
      VisitByType(
          type,
          [&](auto tag) {
            using T = typename decltype(tag)::type;
            if constexpr (kIsText<decltype(tag)>) {
              std::string text = ToStdString(m_strArValue[i]);
              return m_pRtdb->SetValueByChannel(i - 1, text);
            } else {
              return m_pRtdb->SetValueByChannel(i - 1, static_cast<T>(m_arValue[i]));
            }
          },
          [] { return 0; });
    } catch (...) {}
  }
  return StatusValue();
}
