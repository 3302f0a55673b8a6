// The plug-in's scanner, polmon-frame and polmon-platform on the same random keyed streams take
// the same frames (make bench runs the same comparison over a million frames).
#include <gtest/gtest.h>

#include "KeyedStreams.h"

TEST(KeyedStreams, EveryReaderTakesTheFramesThePluginQueues) {
  const std::string key = "0123456789ABCDEF";
  std::mt19937 random(40);
  std::size_t intact = 0, queued = 0;
  for (int stream = 0; stream < 10; ++stream) {
    const keyed::Stream s = keyed::make_stream(random, 400, key);
    const std::vector<std::string> plugin = keyed::plugin_qns(s.bytes, key, random);
    intact += s.intact;
    queued += plugin.size();
    EXPECT_EQ(keyed::difference("the plug-in", plugin, "polmon-frame", keyed::frame_tool_qns(s.bytes, key)), "") << "stream " << stream;
    EXPECT_EQ(keyed::difference("the plug-in", plugin, "polmon-platform", keyed::platform_qns(s.bytes, key, random)), "") << "stream " << stream;
  }
  EXPECT_GE(queued, intact * 99 / 100) << "the streams hide most of their frames: they test nothing";
}
