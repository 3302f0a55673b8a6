#include "Version.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "polmon_version.h"

namespace sim {

const char* version_text() { return POLMON_VERSION_TEXT; }

int print_version(const char* tool) {
  std::printf("%s from %s\n", tool, version_text());
  return std::fflush(stdout) == 0 ? 0 : 1;
}

namespace {

// "polmon " digits and dots, " (", letters, digits or '-', ")": the text the plug-in build writes.
size_t version_length(const std::string& bytes, size_t at) {
  static const std::string prefix = "polmon ";
  size_t i = at + prefix.size();
  size_t start = i;
  while (i < bytes.size() && (std::isdigit(static_cast<unsigned char>(bytes[i])) || bytes[i] == '.')) ++i;
  if (i == start || bytes.compare(i, 2, " (") != 0) return 0;
  i += 2;
  start = i;
  while (i < bytes.size() && (std::isalnum(static_cast<unsigned char>(bytes[i])) || bytes[i] == '-')) ++i;
  if (i == start || i >= bytes.size() || bytes[i] != ')') return 0;
  return i + 1 - at;
}

} // namespace

std::string plugin_version_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (size_t at = bytes.find("polmon "); at != std::string::npos; at = bytes.find("polmon ", at + 1)) {
    if (size_t n = version_length(bytes, at)) return bytes.substr(at, n);
  }
  return "";
}

} // namespace sim
