// The page's files, built into polmon-platform so the page works offline wherever the program
// runs: its HTML, CSS and script, the chart library and the licence notices.
#pragma once

#include <string_view>

namespace sim {

struct WebAsset {
  const char* path;
  const char* type;
  std::string_view body;
};

// Null-terminated list; the only files the web view serves.
const WebAsset* web_assets();

} // namespace sim
