#include "DevServer.h"

#include "NumericConvert.h"

int CDevServer::SvrGetParaValue(ORVA_DATA& data, CString name, CString& out) {
  out = "";
  DATATYPE type = DT_UNSET;
  if (data.pfnGetParamType) data.pfnGetParamType(data, name, type); // goes by the type written, not the result
  switch (type) {
  case DT_INTEGER:
  case DT_DOUBLE:
    return 0;
  case DT_STRING:
    if (data.pfnGetParamValue) data.pfnGetParamValue(data, name, DT_STRING, &out);
    return 1;
  default:
    out = name; // a name that is no variable is its own value
    return 1;
  }
}

int CDevServer::SvrGetParaValue(ORVA_DATA& data, CString name, double& out) {
  out = 0.0;
  DATATYPE type = DT_UNSET;
  if (data.pfnGetParamType) data.pfnGetParamType(data, name, type);
  switch (type) {
  case DT_DOUBLE: {
    double v = 0.0;
    if (data.pfnGetParamValue) data.pfnGetParamValue(data, name, DT_DOUBLE, &v);
    out = v;
    return 1;
  }
  case DT_INTEGER: {
    int v = 0;
    if (data.pfnGetParamValue) data.pfnGetParamValue(data, name, DT_INTEGER, &v);
    out = v;
    return 1;
  }
  case DT_STRING:
    return 0;
  default:
    // A literal number written in place of a variable name.
    name.TrimLeft();
    name.TrimRight();
    if (!name.IsEmpty()) cstringToNumeric(name, "%lf", &out);
    return 1;
  }
}
