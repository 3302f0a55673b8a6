// polmon-frame's work (cutting, judging and the text report of every span, without the I/O) on
// the station log of make bench (LINES lines, one frame in ten with a wrong CRC), against the
// plug-in's scanner over the same bytes and over the same frames as the wire carries them (CR LF,
// 512-byte reads). CPU time, best of three, in one run: only the ratios mean anything.
//   frame_speed [LINES]   (default 80,000: 10 MB)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>

#include "hj212/FrameScanner.h"
#include "tools/common/Explain.h"

namespace {

const char kGood[] = "##0101QN=20160801085857223;ST=32;CN=1062;PW=100000;MN=010000A8900016F000169DC0;Flag=5;CP=&&RtdInterval=30&&1C80";

std::string station_log(long lines, bool wire) {
  const std::string good = kGood, bad = good.substr(0, good.size() - 4) + "0000";
  std::string out;
  char stamp[32];
  for (long i = 0; i < lines; ++i) {
    if (!wire) {
      std::snprintf(stamp, sizeof stamp, "%02ld:%02ld:%02ld.%03ld RX ", i / 3600000 % 24, i / 60000 % 60, i / 1000 % 60, i % 1000);
      out += stamp;
    }
    out += i % 10 == 9 ? bad : good;
    out += wire ? "\r\n" : "\n";
  }
  return out;
}

double best_of_three(const std::function<std::size_t()>& run, std::size_t& result) {
  double best = 1e30;
  for (int round = 0; round < 3; ++round) {
    const std::clock_t start = std::clock();
    result = run();
    best = std::min(best, static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC);
  }
  return best;
}

std::size_t receive(const std::string& bytes) {
  HJ::FrameScanner scanner;
  std::size_t frames = 0;
  for (std::size_t at = 0; at < bytes.size(); at += 512)
    frames += scanner.feed(bytes.data() + at, std::min<std::size_t>(512, bytes.size() - at), [](std::string&&) {});
  return frames;
}

std::size_t explain_all(const std::string& bytes) {
  std::size_t spans = 0, out = 0;
  const frametool::SpanCutter::Sink report = [&](frametool::Span&& span) {
    out += frametool::text_report(++spans, span, frametool::explain(span)).size();
  };
  frametool::SpanCutter cutter;
  for (std::size_t at = 0; at < bytes.size(); at += 65536) cutter.feed(bytes.data() + at, std::min<std::size_t>(65536, bytes.size() - at), report);
  cutter.finish(report);
  return out > 0 ? spans : 0;
}

} // namespace

int main(int argc, char** argv) {
  const long lines = argc > 1 ? std::atol(argv[1]) : 80000;
  const std::string log = station_log(lines, false), wire = station_log(lines, true);
  std::size_t spans = 0, log_frames = 0, wire_frames = 0;
  const double tool = best_of_three([&] { return explain_all(log); }, spans);
  const double same = best_of_three([&] { return receive(log); }, log_frames);
  const double framed = best_of_three([&] { return receive(wire); }, wire_frames);
  if (spans != static_cast<std::size_t>(lines) || wire_frames != static_cast<std::size_t>(lines - lines / 10)) {
    std::fprintf(stderr, "frame_speed: %zu spans explained, %zu wire frames taken, of %ld lines\n", spans, wire_frames, lines);
    return 1;
  }
  const double mb = static_cast<double>(log.size()) / 1e6;
  std::printf("| %ld lines, %.2f MB | %.3f s (%.1f MB/s) | %.4f s | %.4f s (%.1f MB/s) | %.1f |\n", lines, mb, tool, mb / tool, same, framed,
              static_cast<double>(wire.size()) / 1e6 / framed, tool / framed * static_cast<double>(wire.size()) / static_cast<double>(log.size()));
  return 0;
}
