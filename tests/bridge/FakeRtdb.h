// A typed in-memory stand-in for the panel's database, and test callbacks that forward to it the
// way the device object's typed-access callbacks do.
#pragma once

#include <map>
#include <string>

#include "IDevRtdbCtrl.h"
#include "OrvaData.h"
#include "ResultCodes.h"

struct FakeVar {
  DATATYPE type = DT_UNSET;
  int i = 0;
  double d = 0.0;
  std::string s;
};

class FakeRtdb final : public IDevRtdbCtrl {
public:
  static constexpr int kNoSuchVariable = 4;
  static constexpr int kWrongType = 9; // a set of a type the variable does not hold
  static constexpr int kRefused = 7;

  std::map<std::string, FakeVar> vars;
  int setCalls = 0;
  int refuseNextSets = 0;  // this many coming SetValueByName calls fail
  int typeQueryResult = 0; // nonzero: the type query fails, though it still writes the type

  void AddInt(const std::string& name, int v) { vars[name] = FakeVar{DT_INTEGER, v, 0.0, {}}; }
  void AddDouble(const std::string& name, double v) { vars[name] = FakeVar{DT_DOUBLE, 0, v, {}}; }
  void AddText(const std::string& name, const std::string& v) { vars[name] = FakeVar{DT_STRING, 0, 0.0, v}; }

  int GetValueTypeByName(const char* name, DATATYPE& type) override {
    auto it = vars.find(name);
    if (it == vars.end()) return kNoSuchVariable;
    type = it->second.type;
    return typeQueryResult;
  }
  int GetValueByName(const char* name, int& value) override { return Get(name, DT_INTEGER, &FakeVar::i, value); }
  int GetValueByName(const char* name, double& value) override { return Get(name, DT_DOUBLE, &FakeVar::d, value); }
  int GetValueByName(const char* name, std::string& value) override { return Get(name, DT_STRING, &FakeVar::s, value); }
  int SetValueByName(const char* name, int value) override { return Set(name, DT_INTEGER, &FakeVar::i, value); }
  int SetValueByName(const char* name, double value) override { return Set(name, DT_DOUBLE, &FakeVar::d, value); }
  int SetValueByName(const char* name, std::string& value) override { return Set(name, DT_STRING, &FakeVar::s, value); }
  // Channels are not reached by name-based access; any call here is a fault.
  int GetValueTypeByChannel(int, DATATYPE&) override { return ++channelCalls; }
  int GetValueByChannel(int, int&) override { return ++channelCalls; }
  int GetValueByChannel(int, double&) override { return ++channelCalls; }
  int GetValueByChannel(int, std::string&) override { return ++channelCalls; }
  int SetValueByChannel(int, int) override { return ++channelCalls; }
  int SetValueByChannel(int, double) override { return ++channelCalls; }
  int SetValueByChannel(int, std::string&) override { return ++channelCalls; }
  int GetValueIDByChannel(int, int&) override { return ++channelCalls; }

  int channelCalls = 0;

private:
  template <typename T>
  int Get(const char* name, DATATYPE type, T FakeVar::*field, T& out) {
    auto it = vars.find(name);
    if (it == vars.end()) return kNoSuchVariable;
    if (it->second.type != type) return kWrongType;
    out = it->second.*field;
    return 0;
  }
  template <typename T>
  int Set(const char* name, DATATYPE type, T FakeVar::*field, const T& value) {
    ++setCalls;
    if (refuseNextSets > 0) {
      --refuseNextSets;
      return kRefused;
    }
    auto it = vars.find(name);
    if (it == vars.end()) return kNoSuchVariable;
    if (it->second.type != type) return kWrongType;
    it->second.*field = value;
    return 0;
  }
};

inline int FakeGetParamType(ORVA_DATA& data, CString name, DATATYPE& type) {
  if (name.IsEmpty()) return kErrBadArgument;
  if (!data.pRtdbCtrl) return kErrNoDatabase;
  return data.pRtdbCtrl->GetValueTypeByName(name, type);
}

inline int FakeGetParamValue(ORVA_DATA& data, CString name, DATATYPE type, void* value) {
  if (!value || name.IsEmpty()) return kErrBadArgument;
  if (!data.pRtdbCtrl) return kErrNoDatabase;
  switch (type) {
  case DT_INTEGER: return data.pRtdbCtrl->GetValueByName(name, *static_cast<int*>(value));
  case DT_DOUBLE: return data.pRtdbCtrl->GetValueByName(name, *static_cast<double*>(value));
  case DT_STRING: {
    std::string text;
    int rc = data.pRtdbCtrl->GetValueByName(name, text);
    *static_cast<CString*>(value) = text.c_str();
    return rc;
  }
  default: return kErrBadArgument;
  }
}

// A device record wired to `rtdb` with the test callbacks.
inline ORVA_DATA MakeDeviceData(FakeRtdb* rtdb) {
  ORVA_DATA data{};
  data.pRtdbCtrl = rtdb;
  data.pfnGetParamType = FakeGetParamType;
  data.pfnGetParamValue = FakeGetParamValue;
  return data;
}
