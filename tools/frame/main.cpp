// polmon-frame: explains HJ 212 frames from arguments, a log file or stdin.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "Explain.h"
#include "Version.h"

namespace {

const char kUsage[] =
    "usage: polmon-frame [--json] [--hex] [--key TEXT] FRAME...\n"
    "       polmon-frame [--json] [--hex] [--key TEXT] [--file PATH | -]   (log text, bytes or hex dump; '-' or nothing: stdin)\n"
    "       polmon-frame --version\n"
    "Checks every \"##\" span with the plug-in's acceptance test and decodes its fields.\n"
    "--key TEXT: the 16-character key; encrypted CN 2000-2999 frames are decrypted and checked as the plug-in does.\n"
    "Exit status: 0 every span passed, 1 a span failed or could not be judged, or none was found, 2 bad usage.\n";

int usage(const char* problem) {
  if (problem) std::fprintf(stderr, "polmon-frame: %s\n", problem);
  std::fputs(kUsage, stderr);
  return 2;
}

} // namespace

int main(int argc, char** argv) {
  bool json = false;
  bool hex = false;
  bool from_stdin = false;
  std::string file, key;
  std::vector<std::string> frames;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--json") {
      json = true;
    } else if (arg == "--hex") {
      hex = true;
    } else if (arg == "--key") {
      if (i + 1 >= argc) return usage("--key needs the key text");
      key = argv[++i];
      std::string why;
      if (!sim::check_key(key, why)) return usage(("--key: " + why).c_str());
    } else if (arg == "--file") {
      if (i + 1 >= argc) return usage("--file needs a path");
      file = argv[++i];
    } else if (arg == "-") {
      from_stdin = true;
    } else if (arg == "--version") {
      return sim::print_version("polmon-frame");
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
      return usage(("unknown option " + arg).c_str());
    } else {
      frames.push_back(arg);
    }
  }
  if (!frames.empty() && (from_stdin || !file.empty())) return usage("frames as arguments, or a file, or stdin: one of them");
  std::vector<std::string> inputs = frames;
  if (frames.empty()) {
    std::string text;
    if (!file.empty() && file != "-") {
      std::ifstream in(file, std::ios::binary);
      if (!in) return usage(("cannot read " + file).c_str());
      text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } else {
      text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    }
    inputs.push_back(text);
  }
  std::size_t number = 0;
  bool failed = false;
  for (const std::string& input : inputs) {
    for (const frametool::Span& span : frametool::find_spans(hex ? frametool::hex_to_bytes(input) : input)) {
      frametool::Report report = frametool::explain(span, key);
      failed = failed || !report.accepted;
      std::string out = json ? frametool::json_report(++number, span, report) + "\n" : frametool::text_report(++number, span, report);
      std::fwrite(out.data(), 1, out.size(), stdout);
    }
  }
  if (number == 0) std::fprintf(stderr, "polmon-frame: no \"##\" span found\n");
  return failed || number == 0 ? 1 : 0;
}
