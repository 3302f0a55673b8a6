// The device's adapter over the panel's variable database: forwards every call, but never calls a
// panel that declared an interface version below 1.
#pragma once

#include "panel/IDevRtdbCtrl.h"

class CDevRtdb final : public IDevRtdbCtrl {
public:
  explicit CDevRtdb(IDevRtdbCtrl* host) : m_nVersion(1), m_pHostRtdb(host) {}
  ~CDevRtdb() = default;

  int GetValueTypeByName(const char* name, DATATYPE& type) override;
  int GetValueByName(const char* name, int& value) override;
  int GetValueByName(const char* name, double& value) override;
  int GetValueByName(const char* name, std::string& value) override;
  int SetValueByName(const char* name, int value) override;
  int SetValueByName(const char* name, double value) override;
  int SetValueByName(const char* name, std::string& value) override;
  int GetValueTypeByChannel(int channel, DATATYPE& type) override;
  int GetValueByChannel(int channel, int& value) override;
  int GetValueByChannel(int channel, double& value) override;
  int GetValueByChannel(int channel, std::string& value) override;
  int SetValueByChannel(int channel, int value) override;
  int SetValueByChannel(int channel, double value) override;
  int SetValueByChannel(int channel, std::string& value) override;
  int GetValueIDByChannel(int channel, int& id) override;

  // The panel's declared interface version, from GetInterfaceVersion; read by both threads.
  void SetHostVersion(int version) { __atomic_store_n(&m_nVersion, version, __ATOMIC_RELAXED); }

private:
  int m_nVersion;
  IDevRtdbCtrl* m_pHostRtdb; // not owned

  // 0 when the call may go to the panel, else the result to answer instead.
  int Gate() const;
};
