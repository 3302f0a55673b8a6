#include "ValueAccess.h"

#include <cstdlib>

#include "IDevRtdbCtrl.h"
#include "NumericConvert.h"
#include "TypedAccess.h"
#include "stdprintf.h"

namespace {

// Room for any double in "%lf": up to 309 integer digits, sign, point and six decimals. A
// smaller buffer would silently cut large values into different numbers.
constexpr std::size_t kDoubleText = 320;

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

namespace HJ {

int get_value_by_name(ORVA_DATA& data, const std::string& name, std::string& out) {
  if (!data.pRtdbCtrl) return 0;
  if (!data.pfnGetParamType) {
    out = name;
    return 1;
  }
  CString key(name.c_str());
  // A failed query that still wrote a type counts by the type.
  out = VisitByType(
      ParamTypeOf(data, key),
      [&](auto tag) -> std::string {
        using T = typename decltype(tag)::type;
        if constexpr (kIsText<decltype(tag)>) {
          return ToStdString(ParamValueOf<CString>(data, key));
        } else if constexpr (std::is_same<T, double>::value) {
          return stdprintf<kDoubleText>("%lf", ParamValueOf<double>(data, key));
        } else {
          return stdprintf<32>("%d", ParamValueOf<int>(data, key));
        }
      },
      [&] { return name; });
  return 1;
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
