#include "DevServer.h"

#include "NumericConvert.h"
#include "TypedAccess.h"

int CDevServer::SvrGetParaValue(ORVA_DATA& data, CString name, CString& out) {
  out = "";
  // Goes by the type written, not the query's result.
  return VisitByType(
      ParamTypeOf(data, name),
      [&](auto tag) {
        if constexpr (kIsText<decltype(tag)>) {
          out = ParamValueOf<CString>(data, name);
          return 1;
        } else {
          return 0;
        }
      },
      [&] {
        out = name; // a name that is no variable is its own value
        return 1;
      });
}

int CDevServer::SvrGetParaValue(ORVA_DATA& data, CString name, double& out) {
  out = 0.0;
  return VisitByType(
      ParamTypeOf(data, name),
      [&](auto tag) {
        using T = typename decltype(tag)::type;
        if constexpr (kIsText<decltype(tag)>) {
          return 0;
        } else {
          out = ParamValueOf<T>(data, name);
          return 1;
        }
      },
      [&] {
        // A literal number written in place of a variable name.
        name.TrimLeft();
        name.TrimRight();
        if (!name.IsEmpty()) cstringToNumeric(name, "%lf", &out);
        return 1;
      });
}
