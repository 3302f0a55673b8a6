#include "ValueAccess.h"

#include <cstdlib>
#include <utility>

#include "NumericConvert.h"
#include "TypedAccess.h"
#include "panel/IDevRtdbCtrl.h"

namespace {

// The variable's type through the adapter, or DT_UNSET when the query fails.
DATATYPE TypeByName(IDevRtdbCtrl& rtdb, const std::string& name) {
  DATATYPE type = DT_UNSET;
  return rtdb.GetValueTypeByName(name.c_str(), type) == 0 ? type : DT_UNSET;
}

// Stores into the variable the value `convert` makes for its type's tag, made only then, with the
// one retry: 1 stored, 0 not (no database, no such variable, a type it cannot hold, or refused twice).
template <typename Convert>
int StoreByType(ORVA_DATA& data, const std::string& name, Convert convert) {
  IDevRtdbCtrl* rtdb = data.pRtdbCtrl;
  if (!rtdb) return 0;
  const char* key = name.c_str();
  bool stored = VisitByType(
      TypeByName(*rtdb, name),
      [&](auto tag) {
        auto&& v = convert(tag); // the caller's own text where there is one
        return SetWithRetry([&] { return rtdb->SetValueByName(key, v); });
      },
      [] { return false; });
  return stored ? 1 : 0;
}

} // namespace

namespace bridge {

HJ::VarValue read_value_by_name(ORVA_DATA& data, const std::string& name) {
  HJ::VarValue value;
  if (!data.pRtdbCtrl) return value;
  value.type = HJ::VarType::None;
  if (!data.pfnGetParamType) return value;
  CString key(name.c_str());
  VisitByType(
      ParamTypeOf(data, key),
      [&](auto tag) {
        using T = typename decltype(tag)::type;
        if constexpr (kIsText<decltype(tag)>) {
          value.type = HJ::VarType::Text;
          value.text = ToStdString(ParamValueOf<CString>(data, key));
        } else if constexpr (std::is_same<T, double>::value) {
          value.type = HJ::VarType::Double;
          value.number = ParamValueOf<double>(data, key);
        } else {
          value.type = HJ::VarType::Integer;
          value.number = ParamValueOf<int>(data, key);
        }
      },
      [] {});
  return value;
}

int get_text_by_name(ORVA_DATA& data, const std::string& name, std::string& out) {
  if (!data.pRtdbCtrl || !data.pfnGetParamValue) return 0;
  CString key(name.c_str());
  if (ParamTypeOf(data, key) != DT_STRING) return 0;
  CString value;
  if (data.pfnGetParamValue(data, key, DT_STRING, &value) != 0) return 0;
  out = ToStdString(value);
  return 1;
}

int is_text_variable(ORVA_DATA& data, const std::string& name) { return data.pRtdbCtrl && TypeByName(*data.pRtdbCtrl, name) == DT_STRING ? 1 : 0; }

} // namespace bridge

namespace HJ {

int get_value_by_name(ORVA_DATA& data, const std::string& name, std::string& out) {
  VarValue value = bridge::read_value_by_name(data, name);
  if (value.type == VarType::Unreachable) return 0;
  out = value_text(name, std::move(value));
  return 1;
}

int set_value_by_name(ORVA_DATA& data, const std::string& name, std::string& value) {
  return StoreByType(data, name, [&](auto tag) -> decltype(auto) {
    using T = typename decltype(tag)::type;
    if constexpr (kIsText<decltype(tag)>) {
      return static_cast<std::string&>(value);
    } else if constexpr (std::is_same<T, double>::value) {
      return std::strtod(value.c_str(), nullptr);
    } else {
      int v = 0;
      cstringToLong(CString(value.c_str()), &v, true); // strtol's rules, limited to 32 bits
      return v;
    }
  });
}

int set_value_by_name(ORVA_DATA& data, const std::string& name, int value) {
  IDevRtdbCtrl* rtdb = data.pRtdbCtrl;
  if (!rtdb) return 0;
  const char* key = name.c_str();
  return StoreNumberByType(TypeByName(*rtdb, name), value, [&](auto&& v) { return rtdb->SetValueByName(key, v); }) ? 1 : 0;
}

} // namespace HJ
