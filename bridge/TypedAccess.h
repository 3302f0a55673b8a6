// Typed access to the panel's variables, written once: which C++ type each DATATYPE holds, the
// database's one-retry policy for writes, and a number stored in the form its variable holds.
// Thread-neutral: each helper runs on its caller's thread (the panel's for variables by name, the
// receive thread for the frame count) and holds no state.
#pragma once

#include <string>
#include <type_traits>

#include "hj212/stdprintf.h"
#include "panel/DataType.h"
#include "panel/OrvaData.h"
#include "panel/hostshim.h"

// Names the C++ type of a variable type for a visitor: int, double, or std::string for text.
template <typename T>
struct TypeTag {
  using type = T;
};
template <typename Tag>
constexpr bool kIsText = std::is_same<typename Tag::type, std::string>::value;

// Calls `visit` with TypeTag<int>, TypeTag<double> or TypeTag<std::string> for DT_INTEGER,
// DT_DOUBLE or DT_STRING, and `other` (no arguments) for any other type; returns what it returns.
template <typename Visit, typename Other>
auto VisitByType(DATATYPE type, Visit&& visit, Other&& other) -> decltype(other()) {
  switch (type) {
  case DT_INTEGER: return visit(TypeTag<int>{});
  case DT_DOUBLE: return visit(TypeTag<double>{});
  case DT_STRING: return visit(TypeTag<std::string>{});
  default: return other();
  }
}

// The panel's database may refuse a write while it is busy; one more try is all it gets. `set`
// returns the database's result (0: stored). true when one of the two tries stored.
template <typename Set>
bool SetWithRetry(Set&& set) {
  return set() == 0 || set() == 0;
}

// Stores `number` in the form a variable of `type` holds (the int, a double, or its decimal text
// made afresh for each try), with the one retry; `set` takes that value and returns the
// database's result. false for any other type, or when refused twice.
template <typename Set>
bool StoreNumberByType(DATATYPE type, int number, Set&& set) {
  return VisitByType(
      type,
      [&](auto tag) {
        using T = typename decltype(tag)::type;
        return SetWithRetry([&] {
          if constexpr (kIsText<decltype(tag)>) {
            std::string text = stdprintf<32>("%d", number);
            return set(text);
          } else {
            return set(static_cast<T>(number));
          }
        });
      },
      [] { return false; });
}

// A CString's bytes, embedded NULs included, as a std::string.
inline std::string ToStdString(const CString& text) { return std::string(text.c_str(), static_cast<std::size_t>(text.GetLength())); }

// The variable's type through the record's callback, as written even by a failed query;
// DT_UNSET without the callback.
inline DATATYPE ParamTypeOf(ORVA_DATA& data, CString& name) {
  DATATYPE type = DT_UNSET;
  if (data.pfnGetParamType) data.pfnGetParamType(data, name, type);
  return type;
}

// The variable's value through the record's callback (T: int, double or CString), its result
// not looked at; the value-initialised T without the callback or when the call wrote nothing.
template <typename T>
T ParamValueOf(ORVA_DATA& data, CString& name) {
  constexpr DATATYPE type = std::is_same<T, int>::value ? DT_INTEGER : std::is_same<T, double>::value ? DT_DOUBLE : DT_STRING;
  T value{};
  if (data.pfnGetParamValue) data.pfnGetParamValue(data, name, type, &value);
  return value;
}
