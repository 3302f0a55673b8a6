// Stand-in for the panel's tools library (libhosttools): tick count and sleep.
#pragma once

#define HOSTTOOLS_API __attribute__((visibility("default")))

// Milliseconds since an arbitrary start; wraps around.
extern "C" HOSTTOOLS_API unsigned int Orva_GetTickCount();
// Sleeps `milliseconds`; `reserved` is always 0.
extern "C" HOSTTOOLS_API void Orva_Sleep(unsigned int milliseconds, int reserved);
