// Stand-in for the panel's tools library (libhosttools): tick count and sleep.
#pragma once

#include "Exported.h"

#ifdef HOSTTOOLS_BUILDING
#define HOSTTOOLS_API PANEL_EXPORTED
#else
#define HOSTTOOLS_API PANEL_IMPORTED_FUNCTION
#endif

// Milliseconds since an arbitrary start; wraps around.
extern "C" HOSTTOOLS_API unsigned int Orva_GetTickCount();
// Sleeps `milliseconds`; `reserved` is always 0.
extern "C" HOSTTOOLS_API void Orva_Sleep(unsigned int milliseconds, int reserved);
