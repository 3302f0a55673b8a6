// Runs the receive pass over one stream kind; callgrind collects only the passes:
//   valgrind --tool=callgrind --collect-atstart=no '--toggle-collect=HJ::HJ212_system::_receive_pass*' recv_cost KIND
// prints "KIND bytes frames"; instructions per byte = the callgrind total / bytes.
// KIND: valid, noise, dense, crafted, byte-drained (valid frames, 1-byte reads drained together),
// byte-pass (valid frames, 1-byte reads, one read per pass).
#include <cstdio>
#include <cstring>
#include <string>

#include "Streams.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: recv_cost valid|noise|dense|crafted|byte-drained|byte-pass\n");
    return 2;
  }
  const std::string kind = argv[1];
  bench::Kind k = bench::Kind::Valid;
  std::size_t bytes = 4u << 20;
  int read = 512;
  bool drained = true;
  if (kind == "noise") k = bench::Kind::PlainNoise;
  else if (kind == "dense") k = bench::Kind::DenseHashNoise;
  else if (kind == "crafted") k = bench::Kind::Crafted;
  else if (kind == "byte-drained") read = 1, bytes = 1u << 20;
  else if (kind == "byte-pass") read = 1, drained = false, bytes = 256u << 10;
  else if (kind != "valid") return 2;
  const std::string stream = bench::MakeStream(k, bytes);
  bench::StreamPort port(stream, read, drained);
  bench::Engine engine(port);
  std::size_t frames = 0;
  while (!port.Done()) {
    engine.sys._receive_pass();
    frames += engine.Take();
  }
  std::printf("%s %zu %zu\n", kind.c_str(), stream.size(), frames);
  return 0;
}
