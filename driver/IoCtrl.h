// The path of script commands from the panel to the engine's interpreter, with its pacing.
#pragma once

#include "panel/OrvaData.h"
#include "panel/hostshim.h"

namespace orva_device {

// Runs one command text on the device's engine; the outcome goes to values[0]: 5 for a text
// without "(" or ")", the magnitude of a failed command's result, else 0. A command that took
// 4 ticks or less is followed by a 5 ms sleep, so scripts that poll cannot flood the panel.
// Always returns 0; `texts` is not used.
int SvrDevIOCtrl(ORVA_DATA& data, CString& command, CArray<double, double>& values, CStringArray& texts);

// The command text a channel write submits: "ORVA_WRITE(n=value)" with n = channel + 1, the value
// formatted by type ("%lf", "%d", or the text itself); the empty text for any other type.
CString ChannelWriteCommand(int channel, DATATYPE type, const void* value);

} // namespace orva_device
