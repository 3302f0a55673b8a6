#include "DevRtdb.h"

#include "panel/ResultCodes.h"

int CDevRtdb::Gate() const {
  if (__atomic_load_n(&m_nVersion, __ATOMIC_RELAXED) < 1) return kErrHostVersion;
  if (!m_pHostRtdb) return kErrNoDatabase; // created without a database: answer, don't crash
  return kOk;
}

#define POLMON_FORWARD(call)                                                                                                                         \
  do {                                                                                                                                               \
    if (int gate = Gate()) return gate;                                                                                                              \
    return m_pHostRtdb->call;                                                                                                                        \
  } while (0)

int CDevRtdb::GetValueTypeByName(const char* name, DATATYPE& type) { POLMON_FORWARD(GetValueTypeByName(name, type)); }
int CDevRtdb::GetValueByName(const char* name, int& value) { POLMON_FORWARD(GetValueByName(name, value)); }
int CDevRtdb::GetValueByName(const char* name, double& value) { POLMON_FORWARD(GetValueByName(name, value)); }
int CDevRtdb::GetValueByName(const char* name, std::string& value) { POLMON_FORWARD(GetValueByName(name, value)); }
int CDevRtdb::SetValueByName(const char* name, int value) { POLMON_FORWARD(SetValueByName(name, value)); }
int CDevRtdb::SetValueByName(const char* name, double value) { POLMON_FORWARD(SetValueByName(name, value)); }
int CDevRtdb::SetValueByName(const char* name, std::string& value) { POLMON_FORWARD(SetValueByName(name, value)); }
int CDevRtdb::GetValueTypeByChannel(int channel, DATATYPE& type) { POLMON_FORWARD(GetValueTypeByChannel(channel, type)); }
int CDevRtdb::GetValueByChannel(int channel, int& value) { POLMON_FORWARD(GetValueByChannel(channel, value)); }
int CDevRtdb::GetValueByChannel(int channel, double& value) { POLMON_FORWARD(GetValueByChannel(channel, value)); }
int CDevRtdb::GetValueByChannel(int channel, std::string& value) { POLMON_FORWARD(GetValueByChannel(channel, value)); }
int CDevRtdb::SetValueByChannel(int channel, int value) { POLMON_FORWARD(SetValueByChannel(channel, value)); }
int CDevRtdb::SetValueByChannel(int channel, double value) { POLMON_FORWARD(SetValueByChannel(channel, value)); }
int CDevRtdb::SetValueByChannel(int channel, std::string& value) { POLMON_FORWARD(SetValueByChannel(channel, value)); }
int CDevRtdb::GetValueIDByChannel(int channel, int& id) { POLMON_FORWARD(GetValueIDByChannel(channel, id)); }

#undef POLMON_FORWARD
