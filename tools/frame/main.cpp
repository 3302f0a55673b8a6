// polmon-frame: explains HJ 212 frames from arguments, a log file or stdin.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "CaptureFrames.h"
#include "tools/common/Explain.h"
#include "tools/common/Hj212Text.h"
#include "tools/common/Version.h"
#include "tools/common/sys/System.h"

namespace {

const char kUsage[] = "usage: polmon-frame [--json] [--hex] [--key TEXT] FRAME...\n"
                      "       polmon-frame [--json] [--hex] [--key TEXT] [--file PATH | -]   (log text, bytes or hex dump; '-' or nothing: stdin)\n"
                      "       polmon-frame [--json] [--key TEXT | --key-log FILE] --file CAPTURE   (pcap: each direction's frames with their times)\n"
                      "       polmon-frame --version\n"
                      "Checks every \"##\" span with the plug-in's acceptance test and decodes its fields.\n"
                      "--key TEXT: the 16-character key; encrypted CN 2000-2999 frames are decrypted and checked as the plug-in does.\n"
                      "--key-log FILE: the keys a simulator wrote with --key-log; each frame of a capture is read with the key in force\n"
                      "  at its time (default: CAPTURE.keys, or CAPTURE's name with .keys for its extension, when there).\n"
                      "Exit status: 0 every span passed, 1 a span failed or could not be judged, or none was found, 2 bad usage.\n";

// --file on a pcap capture: its frames in the order of their times. The exit status.
int explain_capture_file(const std::string& file, const std::string& key, std::string key_log, bool json) {
  std::vector<sim::KeyChange> keys;
  std::string error;
  if (key.empty() && key_log.empty() && !(key_log = frametool::key_log_beside(file)).empty())
    std::fprintf(stderr, "polmon-frame: the keys of %s, beside the capture\n", sim::readable_text(key_log).c_str());
  if (!key_log.empty() && !sim::read_key_log(key_log, keys, error)) {
    std::fprintf(stderr, "polmon-frame: %s\n", sim::readable_text(error).c_str());
    return 2;
  }
  bool failed = false;
  std::size_t number = 0;
  std::set<std::size_t> key_texts_shown; // each key log line's text once, not on every frame it reads
  // each frame printed as soon as its place is sure, its report let go: a day's capture stays small
  frametool::FrameStream frames(keys, key, [&](frametool::CapturedFrame&& f) {
    frametool::Report report = frametool::read_frame(f, keys, key);
    failed = failed || !report.accepted;
    std::string out = json ? "{" + frametool::capture_json(f) + frametool::json_report(++number, f.span, report).substr(1) + "\n"
                           : frametool::capture_text(f, &key_texts_shown) + frametool::text_report(++number, f.span, report);
    std::fwrite(out.data(), 1, out.size(), stdout);
  });
  std::deque<sim::CapturedFlow> flows;
  const bool whole = sim::read_capture(file, flows, frames, error);
  frames.finish();
  const std::size_t streams =
      static_cast<std::size_t>(std::count_if(flows.begin(), flows.end(), [](const sim::CapturedFlow& flow) { return flow.length > 0; }));
  if (!whole && streams == 0) {
    std::fprintf(stderr, "polmon-frame: %s\n", sim::readable_text(error).c_str());
    return 1;
  }
  failed = failed || !whole;
  for (const sim::CapturedFlow& flow : flows)
    for (const auto& [offset, size] : flow.gaps)
      std::fprintf(stderr, "polmon-frame: connection %d %s -> %s: the capture lacks %zu bytes of the stream at offset %zu\n", flow.connection,
                   flow.from.c_str(), flow.to.c_str(), size, offset);
  if (!whole) std::fprintf(stderr, "polmon-frame: %s; the frames before it are above\n", sim::readable_text(error).c_str());
  if (number == 0) std::fprintf(stderr, "polmon-frame: no \"##\" span in the capture's %zu streams\n", streams);
  return failed || number == 0 ? 1 : 0;
}

int usage(const char* problem) {
  if (problem) std::fprintf(stderr, "polmon-frame: %s\n", sim::readable_text(problem).c_str()); // paths and arguments as text
  std::fputs(kUsage, stderr);
  return 2;
}

} // namespace

namespace {

// Frames given as arguments, else the text of a file or of stdin (hex when `hex`), read as a
// stream: each "##" span explained and printed as soon as it is cut. 1 when one fails or none is found.
int explain_inputs(const std::vector<std::string>& frames, const std::string& file, bool hex, bool json, const std::string& key) {
  std::size_t number = 0;
  bool failed = false;
  const frametool::SpanCutter::Sink print = [&](frametool::Span&& span) {
    frametool::Report report = frametool::explain(span, key);
    failed = failed || !report.accepted;
    std::string out = json ? frametool::json_report(++number, span, report) + "\n" : frametool::text_report(++number, span, report);
    std::fwrite(out.data(), 1, out.size(), stdout);
  };
  for (const std::string& frame : frames) {
    frametool::SpanCutter cutter(key);
    const std::string bytes = hex ? frametool::hex_to_bytes(frame) : frame;
    cutter.feed(bytes.data(), bytes.size(), print);
    cutter.finish(print);
  }
  if (frames.empty()) {
    std::ifstream opened;
    if (!file.empty() && file != "-") {
      opened.open(file, std::ios::binary);
      if (!opened) return usage(("cannot read " + file).c_str());
    }
    std::istream& in = opened.is_open() ? static_cast<std::istream&>(opened) : std::cin;
    frametool::SpanCutter cutter(key);
    std::string chunk;
    if (hex) { // a dump's lines are read one by one: the bytes of each line go on at once
      while (std::getline(in, chunk)) {
        const std::string bytes = frametool::hex_to_bytes(chunk);
        cutter.feed(bytes.data(), bytes.size(), print);
      }
    } else {
      chunk.resize(1 << 16);
      while (in.read(&chunk[0], static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0)
        cutter.feed(chunk.data(), static_cast<std::size_t>(in.gcount()), print);
    }
    cutter.finish(print);
  }
  if (number == 0) std::fprintf(stderr, "polmon-frame: no \"##\" span found\n");
  return failed || number == 0 ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
  sys::Arguments utf8(argc, argv);
  argc = utf8.argc();
  argv = utf8.argv();
  bool json = false;
  bool hex = false;
  bool from_stdin = false;
  std::string file, key, key_log;
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
    } else if (arg == "--key-log") {
      if (i + 1 >= argc) return usage("--key-log needs a path");
      key_log = argv[++i];
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
  if (!key.empty() && !key_log.empty()) return usage("--key or --key-log: one of them");
  bool capture = !file.empty() && file != "-" && frametool::looks_like_capture(file);
  if (!key_log.empty() && !capture) return usage("--key-log goes with --file and a pcap capture");
  if (capture) {
    if (hex) return usage("--hex reads a hex dump, not a capture");
    return explain_capture_file(file, key, key_log, json);
  }
  return explain_inputs(frames, file, hex, json, key);
}
