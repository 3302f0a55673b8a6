// Framing throughput (MB/s) over a stream of valid 1 KiB frames mixed with noise, fed in
// port-sized chunks, next to the CRC alone over the same bytes.
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "hj212/Envelope.h"
#include "hj212/FrameScanner.h"

namespace {

constexpr int kFrames = 1024;

struct Stream {
  std::string bytes;
  int frames = 0;
};

// 1 KiB frames, each preceded by 0-96 bytes of noise that holds stray "#" and "##" but no CR LF.
const Stream& TestStream() {
  static const Stream stream = [] {
    Stream s;
    std::mt19937 rng(212);
    std::uniform_int_distribution<int> byte(0x20, 0x7E), noiseLen(0, 96);
    for (int i = 0; i < kFrames; ++i) {
      std::string noise(static_cast<size_t>(noiseLen(rng)), ' ');
      for (char& c : noise) c = static_cast<char>(byte(rng) % 7 == 0 ? '#' : byte(rng));
      std::string data(1024 - HJ::kEnvelopeBytes, ' ');
      for (char& c : data) c = static_cast<char>(byte(rng));
      s.bytes += noise;
      s.bytes += HJ::wrap_frame(data);
      ++s.frames;
    }
    return s;
  }();
  return stream;
}

void BM_Framing(benchmark::State& state) {
  const Stream& s = TestStream();
  const size_t chunk = static_cast<size_t>(state.range(0));
  HJ::FrameScanner scanner;
  for (auto _ : state) {
    size_t frames = 0;
    for (size_t at = 0; at < s.bytes.size(); at += chunk) {
      size_t n = std::min(chunk, s.bytes.size() - at);
      frames += scanner.feed(s.bytes.data() + at, n, [](std::string&& f) { benchmark::DoNotOptimize(f.data()); });
    }
    if (frames != static_cast<size_t>(s.frames)) state.SkipWithError("framing lost frames");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(s.bytes.size()));
}
BENCHMARK(BM_Framing)->Arg(512)->Arg(64 * 1024);

void BM_CrcAlone(benchmark::State& state) {
  const Stream& s = TestStream();
  for (auto _ : state) {
    auto crc = HJ::crc16(reinterpret_cast<const unsigned char*>(s.bytes.data()), s.bytes.size());
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(s.bytes.size()));
}
BENCHMARK(BM_CrcAlone);

} // namespace
