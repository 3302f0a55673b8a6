// keyed_differential [FRAMES]: random keyed streams of 5,000 frames each, FRAMES in all (default
// 1,000,000), through the plug-in's scanner, polmon-frame and polmon-platform; prints one
// Markdown table row and exits 1 when a reader took other frames than the plug-in.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/tools/KeyedStreams.h"

int main(int argc, char** argv) {
  const std::size_t total = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const std::string key = "0123456789ABCDEF";
  std::mt19937 random(2026);
  std::size_t sent = 0, intact = 0, queued = 0, frame_diffs = 0, platform_diffs = 0;
  std::string first;
  for (std::size_t stream = 0; sent < total; ++stream) {
    const std::size_t n = total - sent < 5000 ? total - sent : 5000;
    const keyed::Stream s = keyed::make_stream(random, n, key);
    sent += n;
    intact += s.intact;
    const std::vector<std::string> plugin = keyed::plugin_qns(s.bytes, key, random);
    queued += plugin.size();
    const std::string f = keyed::difference("the plug-in", plugin, "polmon-frame", keyed::frame_tool_qns(s.bytes, key));
    const std::string p = keyed::difference("the plug-in", plugin, "polmon-platform", keyed::platform_qns(s.bytes, key, random));
    frame_diffs += !f.empty();
    platform_diffs += !p.empty();
    if (first.empty() && !(f + p).empty()) first = "stream " + std::to_string(stream) + ": " + f + " " + p;
  }
  std::printf("| %zu | %zu | %zu | %zu | %zu |\n", sent, intact, queued, frame_diffs, platform_diffs);
  if (!first.empty()) std::fprintf(stderr, "keyed_differential: %s\n", first.c_str());
  return first.empty() ? 0 : 1;
}
