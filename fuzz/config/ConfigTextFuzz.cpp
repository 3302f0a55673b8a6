// Any text as polmon-config's input: what parses must write, load and print back to the same values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/configtool/ConfigText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string text(reinterpret_cast<const char*>(bytes), size);
  configtool::Configuration parsed;
  std::string error;
  if (!configtool::ParseText(text, parsed, error)) {
    if (error.compare(0, 5, "line ") != 0) std::abort(); // every refusal names its line
    return 0;
  }
  const std::vector<unsigned char> stored = configtool::StoreBytes(parsed);
  configtool::Configuration loaded;
  if (!configtool::LoadBytes(stored.data(), stored.size(), loaded, error) || !loaded.SameValues(parsed)) std::abort();
  configtool::Configuration reparsed;
  if (!configtool::ParseText(configtool::PrintText(loaded), reparsed, error) || !reparsed.SameValues(parsed)) std::abort();
  return 0;
}
