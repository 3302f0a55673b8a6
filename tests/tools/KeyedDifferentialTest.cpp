// The plug-in's scanner and polmon-frame on the same random keyed streams take the same frames
// (make bench runs the same comparison over a million frames, polmon-platform's reading too).
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
    // Not yet polmon-platform: its own scanner still cuts raw ciphertext holding CR LF otherwise
    // (about 3 frames in 100 differ; make bench counts them).
  }
  EXPECT_GE(queued, intact * 99 / 100) << "the streams hide most of their frames: they test nothing";
}
