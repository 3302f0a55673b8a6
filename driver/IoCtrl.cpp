// DevIOCtrl and WriteChannel: script commands and channel writes reach the interpreter.
#include "IoCtrl.h"
#include "hj212/CommandResults.h"

#include <string>

#include "DevCtrl.h"
#include "bridge/TypedAccess.h"
#include "hj212/HJ212System.h"
#include "panel/ICommunication.h"
#include "panel/ResultCodes.h"
#include "panel/hosttools.h"

namespace orva_device {

int SvrDevIOCtrl(ORVA_DATA& data, CString& command, CArray<double, double>& values, CStringArray& /*texts*/) {
  if (values.GetSize() == 0) return 0;
  unsigned started = Orva_GetTickCount();
  if (command.Find('(') < 0 || command.Find(')') < 0) {
    values[0] = CmdFailure(kCmdMalformed); // refused before the engine: reported as malformed
  } else {
    std::string text = ToStdString(command);
    double outcome = 0.0;
    if (data.pDevice && data.pDevice->pSystem) {
      outcome = static_cast<double>(CmdFailure(data.pDevice->pSystem->execute_device_cmd(text)));
    }
    values[0] = outcome;
  }
  if (Orva_GetTickCount() - started <= 4u) Orva_Sleep(5, 0);
  return 0;
}

CString ChannelWriteCommand(int channel, DATATYPE type, const void* value) {
  long long number = static_cast<long long>(channel) + 1; // channel numbers count from 1 in the text
  CString text;
  VisitByType(
      type,
      [&](auto tag) {
        using T = typename decltype(tag)::type;
        if constexpr (kIsText<decltype(tag)>) {
          text.Format("ORVA_WRITE(%lld=%s)", number, static_cast<const char*>(value));
        } else if constexpr (std::is_same<T, double>::value) {
          text.Format("ORVA_WRITE(%lld=%lf)", number, *static_cast<const double*>(value));
        } else {
          text.Format("ORVA_WRITE(%lld=%d)", number, *static_cast<const int*>(value));
        }
      },
      [] {});
  return text;
}

} // namespace orva_device

int CDevCtrl::DevIOCtrl(const char* command) {
  if (!command) return kErrBadArgument;
  Entry entry(*this);
  if (!entry) return kErrBusy;
  return Guarded(-kCmdStoreFailed, [&] {
    bool hasPort = LoadPort(m_devData) != nullptr;
    NameDeviceToPort();
    _InitValueArray(0);
    CString text(command);
    orva_device::SvrDevIOCtrl(m_devData, text, m_arValue, m_strArValue);
    return hasPort ? StatusValue() : kErrNoPort;
  });
}

int CDevCtrl::WriteChannel(int channel, DATATYPE type, void* value) {
  if (!value || channel < 0) return kErrBadArgument;
  Entry entry(*this);
  if (!entry) return kErrBusy;
  return Guarded(-kCmdStoreFailed, [&] {
    if (!LoadPort(m_devData)) return kErrNoPort;
    NameDeviceToPort();
    _InitValueArray(0);
    CString text = orva_device::ChannelWriteCommand(channel, type, value);
    orva_device::SvrDevIOCtrl(m_devData, text, m_arValue, m_strArValue);
    return StatusValue();
  });
}
