#include "ValueAccess.h"

#include <cstdlib>

#include "IDevRtdbCtrl.h"
#include "NumericConvert.h"
#include "stdprintf.h"

namespace HJ {

namespace {

// Room for any double in "%lf": up to 309 integer digits, sign, point and six decimals. A
// smaller buffer would silently cut large values into different numbers.
constexpr std::size_t kDoubleText = 320;

// The panel's database may refuse a write while it is busy; one more try is all it gets.
template <typename Set>
int SetWithRetry(Set set) {
  if (set() == 0) return 1;
  return set() == 0 ? 1 : 0;
}

int TypeOf(IDevRtdbCtrl& rtdb, const std::string& name, DATATYPE& type) {
  type = DT_UNSET;
  return rtdb.GetValueTypeByName(name.c_str(), type);
}

// Stores into the variable in the form its type needs, made only then: 1 stored, 0 not (no
// database, no such variable, a type it cannot hold, or refused twice).
template <typename AsInt, typename AsDouble, typename AsText>
int StoreByType(ORVA_DATA& data, const std::string& name, AsInt asInt, AsDouble asDouble, AsText asText) {
  IDevRtdbCtrl* rtdb = data.pRtdbCtrl;
  if (!rtdb) return 0;
  DATATYPE type = DT_UNSET;
  if (TypeOf(*rtdb, name, type) != 0) return 0;
  const char* key = name.c_str();
  switch (type) {
  case DT_INTEGER: {
    int v = asInt();
    return SetWithRetry([&] { return rtdb->SetValueByName(key, v); });
  }
  case DT_DOUBLE: {
    double v = asDouble();
    return SetWithRetry([&] { return rtdb->SetValueByName(key, v); });
  }
  case DT_STRING: {
    auto&& v = asText(); // the caller's own text where there is one
    return SetWithRetry([&] { return rtdb->SetValueByName(key, v); });
  }
  default:
    return 0;
  }
}

} // namespace

int get_value_by_name(ORVA_DATA& data, const std::string& name, std::string& out) {
  if (!data.pRtdbCtrl) return 0;
  if (!data.pfnGetParamType) {
    out = name;
    return 1;
  }
  CString key(name.c_str());
  DATATYPE type = DT_UNSET;
  data.pfnGetParamType(data, key, type); // a failed query that still wrote a type counts by the type
  switch (type) {
  case DT_DOUBLE: {
    double v = 0.0;
    if (data.pfnGetParamValue) data.pfnGetParamValue(data, key, DT_DOUBLE, &v);
    out = stdprintf<kDoubleText>("%lf", v);
    break;
  }
  case DT_INTEGER: {
    int v = 0;
    if (data.pfnGetParamValue) data.pfnGetParamValue(data, key, DT_INTEGER, &v);
    out = stdprintf<32>("%d", v);
    break;
  }
  case DT_STRING: {
    CString v;
    if (data.pfnGetParamValue) data.pfnGetParamValue(data, key, DT_STRING, &v);
    out.assign(v.c_str(), static_cast<std::size_t>(v.GetLength()));
    break;
  }
  default:
    out = name;
    break;
  }
  return 1;
}

int set_value_by_name(ORVA_DATA& data, const std::string& name, std::string& value) {
  return StoreByType(
      data, name,
      [&] {
        int v = 0;
        cstringToLong(CString(value.c_str()), &v, true); // strtol's rules, limited to 32 bits
        return v;
      },
      [&] { return std::strtod(value.c_str(), nullptr); }, [&]() -> std::string& { return value; });
}

int set_value_by_name(ORVA_DATA& data, const std::string& name, int value) {
  return StoreByType(
      data, name, [&] { return value; }, [&] { return static_cast<double>(value); },
      [&] { return stdprintf<32>("%d", value); });
}

} // namespace HJ
