// Runs the receive pass over one stream kind; callgrind collects only the passes:
//   valgrind --tool=callgrind --collect-atstart=no '--toggle-collect=HJ::HJ212_system::_receive_pass*' recv_cost KIND
// prints "KIND bytes frames"; instructions per byte = the callgrind total / bytes.
// KIND: valid, noise, dense, crafted, byte-drained (valid frames, 1-byte reads drained together),
// byte-pass (valid frames, 1-byte reads, one read per pass); with a key set: valid-keyed,
// encrypted, crafted-keyed, crafted-cipher, crafted-follow, held-spans, headers-before; without:
// starts-before (Streams.h). KIND sm4 encrypts 1 KiB regions instead:
//   valgrind --tool=callgrind --collect-atstart=no '--toggle-collect=HJ::Sm4::encrypt_ecb(*' recv_cost sm4
#include <cstdio>
#include <cstring>
#include <string>

#include "Streams.h"
#include "hj212/Sm4.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(
        stderr,
        "usage: recv_cost valid|noise|dense|crafted|byte-drained|byte-pass|valid-keyed|encrypted|crafted-keyed|crafted-cipher|crafted-follow|held-spans|starts-before|headers-before|sm4\n");
    return 2;
  }
  const std::string kind = argv[1];
  if (kind == "sm4") {
    const HJ::Sm4 cipher(reinterpret_cast<const unsigned char*>(bench::kKey));
    std::string region(1024, 'r');
    const std::size_t rounds = 1024;
    for (std::size_t i = 0; i < rounds; ++i) cipher.encrypt_ecb(reinterpret_cast<unsigned char*>(&region[0]), region.size());
    std::printf("%s %zu %d\n", kind.c_str(), rounds * region.size(), region[0]);
    return 0;
  }
  bench::Kind k = bench::Kind::Valid;
  std::size_t bytes = 4u << 20;
  int read = 512;
  bool drained = true;
  bool keyed = false;
  if (kind == "valid-keyed") keyed = true;
  else if (kind == "encrypted") k = bench::Kind::Encrypted, keyed = true;
  else if (kind == "crafted-keyed") k = bench::Kind::Crafted, keyed = true;
  else if (kind == "crafted-cipher") k = bench::Kind::CraftedCipher, keyed = true;
  else if (kind == "crafted-follow") k = bench::Kind::CraftedFollow, keyed = true;
  else if (kind == "held-spans") k = bench::Kind::HeldSpans, keyed = true;
  else if (kind == "headers-before") k = bench::Kind::HeadersBefore, keyed = true;
  else if (kind == "starts-before") k = bench::Kind::StartsBefore;
  else if (kind == "noise") k = bench::Kind::PlainNoise;
  else if (kind == "dense") k = bench::Kind::DenseHashNoise;
  else if (kind == "crafted") k = bench::Kind::Crafted;
  else if (kind == "byte-drained") read = 1, bytes = 1u << 20;
  else if (kind == "byte-pass") read = 1, drained = false, bytes = 256u << 10;
  else if (kind != "valid" && !keyed) return 2;
  const std::string stream = bench::MakeStream(k, bytes);
  bench::StreamPort port(stream, read, drained);
  bench::Engine engine(port, keyed);
  std::size_t frames = 0;
  while (!port.Done()) {
    engine.sys._receive_pass();
    frames += engine.Take();
  }
  std::printf("%s %zu %zu\n", kind.c_str(), stream.size(), frames);
  return 0;
}
