// The build's version text, kept in the plug-in's read-only data so `strings` finds it on a panel.
#include "polmon_version.h"

namespace {
// Referenced by nothing: "used" keeps it in the object, "retain" past the linker's --gc-sections.
__attribute__((used, retain)) const char kVersionText[] = POLMON_VERSION_TEXT;
} // namespace
