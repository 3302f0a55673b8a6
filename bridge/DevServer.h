// Framework services a driver gets from the panel's SDK, over a device's ORVA_DATA record:
// reading variables by name for the frame builder, and draining the port for the receive thread.
#pragma once

#include "OrvaData.h"
#include "hostshim.h"

class CDevServer {
public:
  // Reads `name` as text. 1: `out` holds the text variable's value, or the name itself when no
  // variable has that name. 0: the name is a numeric variable; `out` is empty.
  static int SvrGetParaValue(ORVA_DATA& data, CString name, CString& out);
  // Reads `name` as a number. 1: `out` holds the numeric variable's value, or the name read as a
  // literal number. 0: the name is a text variable; `out` is 0.0.
  static int SvrGetParaValue(ORVA_DATA& data, CString name, double& out);

  // Largest number of bytes one drain takes from the port, so a flooding port cannot grow
  // memory without bound or hold the receive thread away from its stop check.
  static constexpr int kDrainLimit = 64 * 1024;
  // Drains the port into `out` in 512-byte reads with the given wait per read, until the port
  // has nothing more or kDrainLimit bytes were taken. Returns the bytes in `out`, or -1 when no
  // port is attached (out untouched).
  static int mfReadCommUseSleep(ORVA_DATA& data, CByteArray& out, unsigned wait);
};
