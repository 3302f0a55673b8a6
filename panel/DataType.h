// The panel's variable types, as its real-time database reports them.
#pragma once

enum DATATYPE : int {
  DT_UNSET = -2,  // callers preset this before every type query
  DT_INTEGER = 1, // 32-bit signed
  DT_DOUBLE = 2,  // double
  DT_STRING = 3,  // text (std::string towards the database, CString behind the callbacks)
};
static_assert(sizeof(DATATYPE) == sizeof(int), "DATATYPE crosses the panel boundary as an int");
