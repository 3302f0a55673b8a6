// The configuration tool's readable text form of a device configuration, and its conversion to
// and from the bytes the panel stores, through the plug-in's own archive and row classes.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "config/DevTable.h"

namespace configtool {

struct Row {
  std::array<DWORD, DEVROW_PROPERTY_COUNT> numbers{};   // number properties; 0 at text properties
  std::array<std::string, DEVROW_PROPERTY_COUNT> texts; // text properties, as bytes; empty at number properties
  bool operator==(const Row& other) const { return numbers == other.numbers && texts == other.texts; }
};

struct Configuration {
  unsigned version = 20000; // the first word when it is a version word; 0: stored without one
  int storedParams = 0;     // parameters stored (may exceed 7 in a file from elsewhere)
  std::array<int32_t, 7> params{};
  std::vector<Row> rows;
  // What a device loads from it: version, the seven parameters and the rows.
  bool SameValues(const Configuration& other) const { return version == other.version && params == other.params && rows == other.rows; }
};

// The text key of each property, in property order.
extern const char* const kPropertyKeys[DEVROW_PROPERTY_COUNT];

// Parses the text form. On failure returns false and sets error to "line N: ..." naming the field.
bool ParseText(const std::string& text, Configuration& out, std::string& error);
// The text form of a configuration; ParseText reads it back to the same configuration.
std::string PrintText(const Configuration& config);

// Parameter values a device takes but that cannot do what their writer meant (a packet limit
// smaller than any packet's own fields, a choice out of its range), one line each.
std::vector<std::string> ParamWarnings(const Configuration& config);

// The bytes the panel stores for the configuration (the store direction of the plug-in's classes).
std::vector<unsigned char> StoreBytes(const Configuration& config);
// Loads stored bytes as the plug-in does. False (with error set) for an empty or oversized input.
bool LoadBytes(const unsigned char* bytes, size_t length, Configuration& out, std::string& error);

} // namespace configtool
