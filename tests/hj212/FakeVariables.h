// The builder's variable store: the shared fake database, typed strictly, behind the device
// object's own callbacks (link polmon_driver). The text fuzzer builds over it too.
#pragma once

#include <string>

#include "FakeDevice.h"

namespace textfake {

class Variables {
public:
  Variables() { rtdb.StrictTypes(1); }
  Variables(const Variables&) = delete; // data points at rtdb
  Variables& operator=(const Variables&) = delete;

  void Int(const std::string& name, int v) { rtdb.SetInt(name, v); }
  void Double(const std::string& name, double v) { rtdb.SetDouble(name, v); }
  void Text(const std::string& name, const std::string& v) { rtdb.SetText(name, v); }

  fake::Rtdb rtdb;
  ORVA_DATA data = fake::DeviceData(&rtdb);
};

} // namespace textfake
