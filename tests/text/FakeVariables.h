// A typed variable store behind ORVA_DATA's typed-access callbacks, recording every type query,
// so builder tests see exactly which names were read and in what order.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "OrvaData.h"

namespace textfake {

struct Variable {
  DATATYPE type = DT_UNSET;
  int i = 0;
  double d = 0.0;
  std::string s;
};

class Variables {
public:
  Variables() {
    data.pfnGetParamType = &GetType;
    data.pfnGetParamValue = &GetValue;
    current() = this;
  }
  ~Variables() { current() = nullptr; }
  Variables(const Variables&) = delete;
  Variables& operator=(const Variables&) = delete;

  void Int(const std::string& name, int v) { vars[name] = Variable{DT_INTEGER, v, 0.0, {}}; }
  void Double(const std::string& name, double v) { vars[name] = Variable{DT_DOUBLE, 0, v, {}}; }
  void Text(const std::string& name, const std::string& v) { vars[name] = Variable{DT_STRING, 0, 0.0, v}; }

  ORVA_DATA data{};
  std::map<std::string, Variable> vars;
  std::vector<std::string> queries; // names in the order their type was asked

private:
  static Variables*& current() {
    static Variables* instance = nullptr;
    return instance;
  }
  static std::string str(const CString& s) { return std::string(s.c_str(), static_cast<size_t>(s.GetLength())); }

  static int GetType(ORVA_DATA&, CString name, DATATYPE& type) {
    Variables* self = current();
    self->queries.push_back(str(name));
    auto it = self->vars.find(str(name));
    if (it == self->vars.end()) return 1;
    type = it->second.type;
    return 0;
  }
  static int GetValue(ORVA_DATA&, CString name, DATATYPE type, void* value) {
    auto it = current()->vars.find(str(name));
    if (it == current()->vars.end() || it->second.type != type || value == nullptr) return 1;
    const Variable& v = it->second;
    switch (type) {
    case DT_INTEGER: *static_cast<int*>(value) = v.i; return 0;
    case DT_DOUBLE: *static_cast<double*>(value) = v.d; return 0;
    case DT_STRING: *static_cast<CString*>(value) = CString(v.s.data(), static_cast<int>(v.s.size())); return 0;
    default: return 1;
    }
  }
};

} // namespace textfake
