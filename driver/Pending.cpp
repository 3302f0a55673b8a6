// Device operations whose behaviour is not built yet: until then they answer their argument
// checks and do nothing else. NOT FINISHED: lifecycle, collection cycle and I/O control.
#include "DevCtrl.h"
#include "ResultCodes.h"

int CDevCtrl::InitDevice(const unsigned char* data, int length) {
  if (!data || length == 0) return kErrBadArgument;
  return kOk; // not built yet: reads no configuration, starts no engine
}

int CDevCtrl::CleanupDevice() { return kOk; }

int CDevCtrl::CollectDevData(const int* codes, int count) {
  if (!codes || count == 0) return kOk;
  if (!LoadPort(m_devData)) return kErrNoPort;
  NameDeviceToPort();
  if (_InitValueArray(count) != kOk) return kErrBadArgument;
  if (!m_pRtdb) return kErrNoAdapter;
  return kStatusNoFailure; // not built yet: no engine to report
}

int CDevCtrl::ChannelRefChange(const int* refs, int count) {
  if (!refs || count == 0) return kErrBadArgument;
  return kOk; // not built yet
}

int CDevCtrl::DevIOCtrl(const char* command) {
  if (!command) return kErrBadArgument;
  return LoadPort(m_devData) ? kOk : kErrNoPort; // not built yet: runs no command
}

int CDevCtrl::WriteChannel(int channel, DATATYPE, void* value) {
  if (!value || channel < 0) return kErrBadArgument;
  return LoadPort(m_devData) ? kOk : kErrNoPort; // not built yet: runs no command
}
