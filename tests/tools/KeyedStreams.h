// Random keyed streams as a hostile line delivers them, and the frames three readers take from
// them: the plug-in's scanner (in random chunks), polmon-frame's reading of a file and
// polmon-platform's with --key. The test and `make bench` compare them.
#pragma once

#include <cstddef>
#include <random>
#include <string>
#include <vector>

namespace keyed {

struct Stream {
  std::string bytes;
  std::size_t intact = 0; // frames sent whole
};

// About `frames` frames of every form (plain, raw ciphertext, raw holding CR LF, both {0x..}
// layouts, packets, answers), some cut off, some behind a stray "#" or "##" on their line, some
// with their LF damaged, with noise between them; the input may end inside a last frame's CR LF.
// Each frame carries its own QN.
Stream make_stream(std::mt19937& random, std::size_t frames, const std::string& key);

// The QNs of the frames each reader accepts, in order.
std::vector<std::string> plugin_qns(const std::string& bytes, const std::string& key, std::mt19937& random);
std::vector<std::string> frame_tool_qns(const std::string& bytes, const std::string& key);
std::vector<std::string> platform_qns(const std::string& bytes, const std::string& key, std::mt19937& random);

// The first place two lists differ, in words; empty when they agree.
std::string difference(const char* a_name, const std::vector<std::string>& a, const char* b_name, const std::vector<std::string>& b);

} // namespace keyed
