// The build's version text, kept in the plug-in's read-only data so `strings` finds it on a panel.
#include "polmon_version.h"

namespace {
// Referenced by nothing: "used" keeps it in the object, "retain" past the linker's --gc-sections.
// The leading zero byte keeps a printable last byte of whatever precedes it in read-only data
// from joining the text in `strings`' output.
// (PE has no "retain": a Windows DLL is linked without --gc-sections.)
#if defined(__ELF__)
#define POLMON_KEPT used, retain
#else
#define POLMON_KEPT used
#endif
__attribute__((POLMON_KEPT)) const char kVersionText[] = "\0" POLMON_VERSION_TEXT;
} // namespace
