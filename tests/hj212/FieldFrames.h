// The field frames of data/frames.txt, for the envelope and scanner tests.
#pragma once

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace enginetest {

struct FieldFrame {
  bool accept;
  std::string frame; // with its "\r\n"
  std::string note;
};

// data/frames.txt: "accept|reject <TAB> frame without CR LF <TAB> note"; '#' starts a comment line.
inline std::vector<FieldFrame> LoadFieldFrames(const std::string& dir = POLMON_TEST_DATA) {
  std::ifstream in(dir + "/frames.txt");
  if (!in) throw std::runtime_error("cannot open frames.txt");
  std::vector<FieldFrame> out;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    size_t tab1 = line.find('\t');
    size_t tab2 = line.find('\t', tab1 + 1);
    if (tab1 == std::string::npos || tab2 == std::string::npos) throw std::runtime_error("bad line: " + line);
    std::string verdict = line.substr(0, tab1);
    if (verdict != "accept" && verdict != "reject") throw std::runtime_error("bad verdict: " + verdict);
    out.push_back({verdict == "accept", line.substr(tab1 + 1, tab2 - tab1 - 1) + "\r\n", line.substr(tab2 + 1)});
  }
  return out;
}

} // namespace enginetest
