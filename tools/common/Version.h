// The project's version as the host tools report it.
#pragma once

#include <string>

namespace sim {

// "polmon <version> (<commit>)" of the build these tools come from.
const char* version_text();

// Prints "TOOL from polmon <version> (<commit>)" on stdout; answers the exit status for --version.
int print_version(const char* tool);

// The version text a plug-in file carries in its read-only data, or "" when it carries none.
std::string plugin_version_text(const std::string& path);

} // namespace sim
