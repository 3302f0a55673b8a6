// Framing of a byte stream that arrives in chunks: whatever the chunking, the same frames come out.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "CipherExample.h"
#include "FieldFrames.h"
#include "hj212/CpCipher.h"
#include "hj212/Envelope.h"
#include "hj212/FrameScanner.h"
#include "hj212/Sm4.h"
#include "tests/support/crafted/CraftedPrefix.h"

namespace {

using Frames = std::vector<std::string>;

// What the scanner tells of its spans must agree with what it counts and delivers: in stream
// order without gap or overlap, each verdict once as counted, each accepted frame at its bytes.
struct SpanCheck : HJ::SpanObserver {
  HJ::FrameScanner& scanner;
  std::uint64_t from, told;
  std::string stream; // the bytes from `from` on
  HJ::FrameScanner::Counts before;
  std::uint64_t kinds[6] = {};
  Frames wire; // accepted frames' bytes as they stood in the stream
  explicit SpanCheck(HJ::FrameScanner& s) : scanner(s), from(s.offset()), told(s.offset()), before(s.counts()) { s.observe(this); }
  ~SpanCheck() override { scanner.observe(nullptr); }
  void span(HJ::SpanKind kind, std::uint64_t offset, std::uint64_t length) override {
    if (told != from || offset >= from) {
      EXPECT_EQ(offset, told) << "spans in stream order, each byte once";
    }
    EXPECT_GT(length, 0u);
    told = offset + length;
    ++kinds[static_cast<int>(kind)];
    if (kind == HJ::SpanKind::Frame && offset >= from) wire.push_back(stream.substr(static_cast<size_t>(offset - from), static_cast<size_t>(length)));
  }
  void Agrees(const Frames& delivered) {
    const HJ::FrameScanner::Counts& now = scanner.counts();
    EXPECT_EQ(kinds[int(HJ::SpanKind::BadLength)], now.bad_length - before.bad_length);
    EXPECT_EQ(kinds[int(HJ::SpanKind::BadCrc)], now.bad_crc - before.bad_crc);
    EXPECT_EQ(kinds[int(HJ::SpanKind::Overlong)], now.overlong - before.overlong);
    EXPECT_EQ(kinds[int(HJ::SpanKind::Frame)], delivered.size());
    if (now.decrypted == before.decrypted && told > from && wire.size() == delivered.size()) {
      EXPECT_EQ(wire, delivered);
    }
  }
};

Frames Feed(HJ::FrameScanner& scanner, SpanCheck& check, const std::vector<std::string>& chunks) {
  Frames out;
  for (const std::string& c : chunks) {
    check.stream += c;
    scanner.feed(c.data(), c.size(), [&](std::string&& f) { out.push_back(std::move(f)); });
  }
  check.Agrees(out);
  return out;
}

Frames Scan(HJ::FrameScanner& scanner, const std::vector<std::string>& chunks) {
  SpanCheck check(scanner);
  return Feed(scanner, check, chunks);
}

// A whole stream: at its end, what is kept is told too, and every byte was told once.
Frames Scan(const std::vector<std::string>& chunks) {
  HJ::FrameScanner scanner;
  SpanCheck check(scanner);
  Frames out = Feed(scanner, check, chunks);
  scanner.give_up_followed();
  std::string none;
  EXPECT_FALSE(scanner.next(none));
  scanner.finish();
  EXPECT_EQ(check.told, scanner.offset()) << "every byte told";
  return out;
}

std::vector<std::string> Bytes(const std::string& s) {
  std::vector<std::string> out;
  for (char c : s) out.emplace_back(1, c);
  return out;
}

const std::string A = HJ::wrap_frame("QN=1;ST=32;CN=2011;CP=&&a=1&&");
const std::string B = HJ::wrap_frame("ST=91;CN=9014");
const std::string Lower = "##0003abcd701\r\n"; // right CRC, lower-case digits
const std::string Rejected = "##0003abcD702\r\n";

struct StreamCase {
  const char* what;
  std::string stream;
  Frames expected;
};

std::vector<StreamCase> StreamCases() {
  return {
      {"two frames in one chunk", A + B, {A, B}},
      {"noise before a frame", "noise;;\r\x01" + A, {A}},
      {"CR LF in the noise", "x\r\ny\r\n" + A, {A}},
      {"stray ## in the noise", "ab##cd" + A, {A}},
      {"stray ## with digits that look like a length", "##0015xyz" + A, {A}},
      {"single # right before the start marker", "#" + A, {A}},
      {"run of # before the start marker", "######" + A + "#" + B, {A, B}},
      {"zero bytes between and before frames", std::string("\0\0", 2) + A + std::string("\0x\0", 3) + B, {A, B}},
      {"rejected candidate then a frame", Rejected + A, {A}},
      {"frame, rejected candidate, frame", A + Rejected + B, {A, B}},
      {"lower-case CRC accepted as received", Lower, {Lower}},
      {"frame split by an unterminated start", "##00" + A, {A}},
      {"starts in front of a frame announcing its end", crafted::Prefix(crafted::Shape::Starts, 3, A) + A, {A}},
      {"empty data segment rejected", "##0000FFFF\r\n" + B, {B}},
      {"no start marker at all", "just noise\r\n", {}},
      {"unterminated frame at the end", A + B.substr(0, B.size() - 1), {A}},
  };
}

TEST(FrameScanner, StreamsWholeBytewiseAndAtEverySplit) {
  for (const StreamCase& c : StreamCases()) {
    EXPECT_EQ(Scan({c.stream}), c.expected) << c.what << " (whole)";
    EXPECT_EQ(Scan(Bytes(c.stream)), c.expected) << c.what << " (byte by byte)";
    for (size_t cut = 0; cut <= c.stream.size(); ++cut)
      ASSERT_EQ(Scan({c.stream.substr(0, cut), c.stream.substr(cut)}), c.expected) << c.what << " (cut at " << cut << ")";
  }
}

// The field frames, interleaved with noise, cut at every point into two chunks and at random
// points into many: the accepted frames come out, in order, every time.
TEST(FrameScanner, FieldFramesWhateverTheChunking) {
  auto field = enginetest::LoadFieldFrames();
  std::string stream;
  Frames expected;
  const std::string noise[] = {"", "\x01\x02", "#", "##", "x##y", "\r", std::string(1, '\0'), "\n\n"};
  for (size_t i = 0; i < field.size(); ++i) {
    stream += noise[i % (sizeof noise / sizeof noise[0])];
    stream += field[i].frame;
    if (field[i].accept) expected.push_back(field[i].frame);
  }
  ASSERT_GT(expected.size(), 20u);
  EXPECT_EQ(Scan({stream}), expected);
  EXPECT_EQ(Scan(Bytes(stream)), expected);
  for (size_t cut = 0; cut <= stream.size(); cut += 7) ASSERT_EQ(Scan({stream.substr(0, cut), stream.substr(cut)}), expected) << "cut at " << cut;
  std::mt19937 rng(42);
  for (int round = 0; round < 50; ++round) {
    std::uniform_int_distribution<size_t> size(1, 700);
    std::vector<std::string> chunks;
    for (size_t at = 0; at < stream.size();) {
      size_t n = size(rng);
      chunks.push_back(stream.substr(at, n));
      at += n;
    }
    ASSERT_EQ(Scan(chunks), expected) << "round " << round;
  }
}

TEST(FrameScanner, RandomFramesAndNoise) {
  std::mt19937 rng(2017);
  std::uniform_int_distribution<int> byte(0, 255), len(1, 1500), noiseLen(0, 40);
  std::string stream;
  Frames expected;
  for (int i = 0; i < 200; ++i) {
    std::string noise(static_cast<size_t>(noiseLen(rng)), '\0');
    for (char& c : noise) {
      c = static_cast<char>(byte(rng));
      if (c == '\r') c = '#'; // noise holds "##" often but never a CR LF
    }
    std::string data(static_cast<size_t>(len(rng)), '\0');
    for (char& c : data) { // no control byte in the data
      int b = byte(rng) | 0x20;
      c = static_cast<char>(b == 0x7F ? '~' : b);
    }
    std::string frame = HJ::wrap_frame(data);
    stream += noise + frame;
    expected.push_back(frame);
  }
  for (size_t chunk : {size_t(1), size_t(13), size_t(512), size_t(4096), stream.size()}) {
    std::vector<std::string> chunks;
    for (size_t at = 0; at < stream.size(); at += chunk) chunks.push_back(stream.substr(at, chunk));
    EXPECT_EQ(Scan(chunks), expected) << "chunk " << chunk;
  }
}

// The rules applied to a whole stream at once, the plain way: each "##" ... first "\r\n" span,
// retried from each later "##" inside it; a data segment holding a control byte is no frame.
Frames Reference(const std::string& s) {
  Frames out;
  for (size_t pos = 0;;) {
    size_t start = s.find("##", pos);
    if (start == std::string::npos) return out;
    size_t cr = s.find("\r\n", start + 2);
    if (cr == std::string::npos) return out;
    for (size_t at = start; at != std::string::npos && at + 1 < cr; at = s.find("##", at + 1)) {
      const std::string c = s.substr(at, cr + 2 - at);
      auto control = [](unsigned char b) { return b < 0x20 || b == 0x7F; };
      if (HJ::check_frame(c) && std::none_of(c.begin() + 6, c.end() - 6, control)) {
        out.push_back(s.substr(at, cr + 2 - at));
        break;
      }
    }
    pos = cr + 2;
  }
}

// Streams made of the bytes that matter to framing, valid frames and overlong spans, in random
// chunks: the scanner agrees with the whole-stream reference.
TEST(FrameScanner, AgreesWithReferenceOnRandomStreams) {
  std::mt19937 rng(9013);
  const std::string alphabet = "##\r\n0134x";
  std::uniform_int_distribution<int> pick(0, 99), letter(0, static_cast<int>(alphabet.size()) - 1), len(0, 24);
  size_t accepted = 0;
  for (int round = 0; round < 300; ++round) {
    std::string stream;
    for (int part = 0; part < 60; ++part) {
      int kind = pick(rng);
      if (kind < 30) {
        stream += HJ::wrap_frame("CN=" + std::to_string(round * 100 + part));
      } else if (kind < 98) {
        for (int i = len(rng); i > 0; --i) stream += alphabet[static_cast<size_t>(letter(rng))];
      } else {
        stream += std::string(HJ::kMaxFrameBytes - 40 + static_cast<size_t>(len(rng)) * 4, '0');
      }
    }
    Frames expected = Reference(stream);
    accepted += expected.size();
    std::vector<std::string> chunks;
    std::uniform_int_distribution<size_t> size(1, round % 2 ? 64 : 2048);
    for (size_t at = 0; at < stream.size();) {
      size_t n = size(rng);
      chunks.push_back(stream.substr(at, n));
      at += n;
    }
    ASSERT_EQ(Scan(chunks), expected) << "round " << round;
  }
  EXPECT_GT(accepted, 3000u);
}

TEST(FrameScanner, StartMarkerSplitAcrossChunks) {
  EXPECT_EQ(Scan({"noise#", A.substr(1)}), Frames{A});
  EXPECT_EQ(Scan({"#", "#", A.substr(2)}), Frames{A});
  HJ::FrameScanner scanner;
  Scan(scanner, {"no marker here#"});
  EXPECT_EQ(scanner.pending(), 1u); // only the "#" is kept
  Scan(scanner, {"no marker here"});
  EXPECT_EQ(scanner.pending(), 0u);
}

TEST(FrameScanner, EndMarkerSplitAcrossChunks) {
  EXPECT_EQ(Scan({A.substr(0, A.size() - 1), "\n"}), Frames{A});
  EXPECT_EQ(Scan({A.substr(0, A.size() - 2), "\r", "\n" + B}), (Frames{A, B}));
}

TEST(FrameScanner, ConsumedBytesDoNotStay) {
  HJ::FrameScanner scanner;
  EXPECT_EQ(Scan(scanner, {"noise" + Rejected + "more noise"}), Frames{});
  EXPECT_EQ(scanner.pending(), 0u);
  EXPECT_EQ(Scan(scanner, {A + "##0009ST="}), Frames{A});
  EXPECT_EQ(scanner.pending(), 9u); // the unterminated frame only
}

TEST(FrameScanner, LargestFrameArrivingSlowly) {
  const std::string big = HJ::wrap_frame(std::string(HJ::kMaxDataBytes, 'w'));
  ASSERT_EQ(big.size(), HJ::kMaxFrameBytes);
  std::vector<std::string> chunks;
  for (size_t at = 0; at < big.size(); at += 300) chunks.push_back(big.substr(at, 300));
  EXPECT_EQ(Scan(chunks), Frames{big});
  // Everything but the final LF: still waiting for it.
  HJ::FrameScanner scanner;
  EXPECT_EQ(Scan(scanner, {big.substr(0, big.size() - 1)}), Frames{});
  EXPECT_EQ(scanner.pending(), big.size() - 1);
  EXPECT_EQ(Scan(scanner, {"\n"}), Frames{big});
}

TEST(FrameScanner, UnterminatedSpanGivenUpBeyondTheLargestFrame) {
  HJ::FrameScanner scanner;
  std::string span = "##" + std::string(HJ::kMaxFrameBytes - 2, 'z');
  Scan(scanner, {span});
  EXPECT_EQ(scanner.pending(), HJ::kMaxFrameBytes); // could still be a frame's start
  Scan(scanner, {"z"});
  EXPECT_EQ(scanner.pending(), 0u);
  EXPECT_EQ(Scan(scanner, {A}), Frames{A});

  // A later "##" inside the overlong span is where the next frame may start.
  HJ::FrameScanner resync;
  std::string head = "##" + std::string(HJ::kMaxFrameBytes, 'z');
  EXPECT_EQ(Scan(resync, {head + A.substr(0, 20), A.substr(20)}), Frames{A});
  EXPECT_EQ(resync.pending(), 0u);
}

// The give-up stands exactly past the largest frame, whole and in chunks: a span of 10,011 bytes
// may be a frame, one of 10,012 is judged (and refused), one of 10,013 is given up.
TEST(FrameScanner, GivenUpExactlyPastTheLargestFrame) {
  const std::string largest = HJ::wrap_frame(std::string(HJ::kMaxDataBytes, 'x'));
  ASSERT_EQ(largest.size(), HJ::kMaxFrameBytes);
  auto span = [](size_t bytes) { return "##" + std::string(bytes - 4, 'x') + "\r\n"; };
  const struct {
    const char* what;
    std::string stream;
    Frames frames;
    std::uint64_t bad_length, overlong;
  } rows[] = {
      {"the largest frame", largest, {largest}, 0, 0},
      {"one byte more: judged", span(HJ::kMaxFrameBytes + 1), {}, 1, 0},
      {"two bytes more: given up", span(HJ::kMaxFrameBytes + 2), {}, 0, 1},
  };
  for (const auto& r : rows) {
    for (size_t piece : {r.stream.size(), size_t(1), size_t(4096)}) {
      std::vector<std::string> chunks;
      for (size_t at = 0; at < r.stream.size(); at += piece) chunks.push_back(r.stream.substr(at, piece));
      HJ::FrameScanner scanner;
      EXPECT_EQ(Scan(scanner, chunks), r.frames) << r.what << ", pieces of " << piece;
      EXPECT_EQ(scanner.counts().bad_length, r.bad_length) << r.what << ", pieces of " << piece;
      EXPECT_EQ(scanner.counts().overlong, r.overlong) << r.what << ", pieces of " << piece;
    }
  }
}

// A span read a byte at a time costs what it costs whole: a search from the span's start on each
// read makes a span of n bytes cost n^2. The same 16 KB as frames of 256 and of 2,048 bytes, a CR
// alone every other byte, byte by byte, best of five: linear work is the same a byte for both.
TEST(FrameScanner, LongSpansReadByteByByteCostLinearTime) {
  auto stream = [](size_t frame_bytes) {
    std::string data;
    while (data.size() + 14 <= frame_bytes) data += "x\r";
    std::string one = HJ::wrap_frame(data), all; // a control byte in the data: each counts BadCrc
    while (all.size() < 16384) all += one;
    return std::make_pair(all, all.size() / one.size());
  };
  auto seconds = [](const std::pair<std::string, size_t>& s) {
    HJ::FrameScanner scanner;
    auto start = std::chrono::steady_clock::now();
    for (char byte : s.first) scanner.feed(&byte, 1, [](std::string&&) { ADD_FAILURE(); });
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(scanner.counts().bad_crc, s.second);
    return took / static_cast<double>(s.first.size());
  };
  const auto short_frames = stream(256), long_frames = stream(2048);
  double best_short = 1e9, best_long = 1e9;
  for (int round = 0; round < 5; ++round) {
    best_short = std::min(best_short, seconds(short_frames));
    best_long = std::min(best_long, seconds(long_frames));
  }
  EXPECT_LT(best_long / best_short, 3.0) << best_short << " s a byte in frames of 256 bytes, " << best_long << " s in frames of 2,048";
}

// A span whose every "##" (one each 6 bytes) announces its own distance to the "\r\n", with hex
// digits where each candidate's CRC field falls: each retry would cost a CRC over its data.
std::string CraftedSpan(size_t blocks) {
  std::string span;
  const size_t length = 6 * blocks + 6;
  for (size_t i = 0; i < blocks; ++i) {
    char field[8];
    std::snprintf(field, sizeof field, "%04zu", length - 6 * i - HJ::kEnvelopeBytes);
    span += std::string("##") + field;
  }
  return span + "ABCD\r\n";
}

TEST(FrameScanner, CrcWorkPerByteIsBoundedOnCraftedSpans) {
  std::string stream;
  for (int i = 0; i < 20; ++i) stream += CraftedSpan(1660);
  stream += A;
  HJ::FrameScanner scanner;
  EXPECT_EQ(Scan(scanner, {stream}), Frames{A});
  EXPECT_LE(scanner.counts().crc_bytes, HJ::FrameScanner::kCrcWorkPerByte * stream.size());
  EXPECT_EQ(scanner.counts().bad_crc, 20u);
}

// ---- with a key

using cipherexample::KeyBytes;
using cipherexample::Keyed;
using cipherexample::WithCipher;

using cipherexample::WithPlain;
const std::string kKeyA = "0123456789abcdef", kKeyB = "fedcba9876543210";
using cipherexample::kPlainCrLf; // its ciphertext under kKeyA holds "\r\n"
// A plain region whose ciphertext under kKeyA holds "##" and NUL, no "\r\n".
const std::string kPlainHash = "a00007-Rtd=7187;a00000-Rtd=0000;";

TEST(FrameScanner, MemoryStaysBoundedUnderFlood) {
  // With a key some candidate is always followed here, and its spans' verdicts are held back.
  const std::string followed = crafted::Prefix(crafted::Shape::HeldSpans, 2000, "");
  struct Flood {
    const char* what;
    std::string chunk, key;
    size_t maxPending;
  } floods[] = {{"noise without a marker", std::string(4096, 'n'), "", 0},
                {"start markers only", std::string(4096, '#'), "", HJ::kMaxFrameBytes},
                {"a candidate always followed", followed, kKeyA, 2 * HJ::kMaxFrameBytes}};
  for (const Flood& f : floods) {
    HJ::FrameScanner scanner;
    if (!f.key.empty()) scanner.set_key(KeyBytes(f.key));
    size_t mostHeld = 0, footprint = 0;
    for (int i = 0; i < 1000; ++i) {
      scanner.feed(f.chunk.data(), f.chunk.size(), [](std::string&&) { ADD_FAILURE(); });
      ASSERT_LE(scanner.pending(), f.maxPending) << f.what;
      mostHeld = std::max(mostHeld, scanner.held());
      if (i == 100) footprint = scanner.footprint();
    }
    EXPECT_LE(mostHeld, 2 * HJ::kMaxFrameBytes + f.chunk.size()) << f.what;
    EXPECT_EQ(scanner.footprint(), footprint) << f.what << ": memory grew after the first 100 chunks";
    EXPECT_EQ(Scan(scanner, {A}), Frames{A}) << f.what; // and it still frames afterwards
  }
}

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// `frame` with one byte of its CP region changed so that its region decrypted with `key` still
// fits its CRC field (the CRC takes 256 values: a few hundred tries find one), its bytes as
// received not.
std::string DamagedFittingDecrypted(const std::string& frame, const std::string& key) {
  HJ::Sm4 sm4(KeyBytes(key));
  const size_t from = frame.find("CP=&&") + 5;
  for (size_t at = from; at < from + 32; ++at)
    for (int x = 1; x < 256; ++x) {
      std::string damaged = frame, plain;
      damaged[at] = static_cast<char>(damaged[at] ^ x);
      if (HJ::decrypt_cp(damaged.data() + 6, damaged.size() - 12, sm4, plain) &&
          HJ::crc_field_matches(damaged.data() + damaged.size() - 6, plain.data(), plain.size()) && !HJ::check_frame(damaged))
        return damaged;
    }
  ADD_FAILURE() << "no damage fits";
  return frame;
}

// A text-form frame: `head`, the items of `items` in braces (hex written by `hex`, items joined by
// `comma`, lower-case hex when `lower`), `after`, "&&", the CRC field of `plain`; the length field counts the data sent, or
// `length` when given.
std::string TextFormFrame(const std::string& head, const std::string& items, const std::string& after, const std::string& plain, bool lower = false,
                          const char* comma = ",", long length = -1) {
  std::string data = head + "{";
  for (size_t i = 0; i < items.size(); ++i) {
    char item[8];
    std::snprintf(item, sizeof item, lower ? "%02x" : "%02X", static_cast<unsigned char>(items[i]));
    data += (i ? std::string(comma) : std::string()) + "0x" + item;
  }
  data += "}" + after + "&&";
  char field[16];
  std::snprintf(field, sizeof field, "%04ld", length < 0 ? static_cast<long>(data.size()) : length);
  return "##" + std::string(field) + data + HJ::do_crc_check(plain) + "\r\n";
}

struct KeyedCase {
  const char* what;
  std::string key; // the scanner's; "" none
  std::string stream;
  Frames expected;
  std::uint64_t decrypted, bad_length, bad_crc;
};

TEST(FrameScanner, EncryptedFramesWithAKeyWhateverTheChunking) {
  using cipherexample::kPlainFrame;
  using cipherexample::kRawFrame;
  const Keyed crlf = WithPlain(kPlainCrLf, kKeyA), hash = WithPlain(kPlainHash, kKeyA);
  const Keyed upload = WithPlain(kPlainCrLf, kKeyA, "1011");
  ASSERT_EQ(Occurrences(crlf.wire, "\r\n"), 3u);
  ASSERT_EQ(Occurrences(crlf.wire, "##"), 3u);
  ASSERT_EQ(Occurrences(hash.wire, "\r\n"), 1u);
  ASSERT_EQ(Occurrences(hash.wire, "##"), 2u);
  ASSERT_NE(crlf.wire.find('\0'), std::string::npos);
  ASSERT_NE(hash.wire.find('\0'), std::string::npos);
  // Damage the CRC cannot see: with a key, a region queued as received or decrypted must be text.
  const std::string cipherDamaged = DamagedFittingDecrypted(hash.wire, kKeyA), plainDamaged = DamagedFittingDecrypted(hash.plain, kKeyA);
  std::string binaryFits = hash.wire;
  binaryFits.replace(binaryFits.size() - 6, 4, HJ::do_crc_check(hash.wire.substr(6, hash.wire.size() - 12)));
  ASSERT_TRUE(HJ::check_frame(binaryFits));
  // Fragments whose length field reaches the end of the encrypted frame behind them.
  char reach[8];
  std::snprintf(reach, sizeof reach, "%04zu", hash.wire.size() - 6);
  const std::string fragment = "##" + std::string(reach);
  const std::string cut9013 = "QN=20250101000000000;ST=91;CN=9013;PW=123456;MN=M1;Flag=9;CP=&&";
  std::snprintf(reach, sizeof reach, "%04zu", cut9013.size() + hash.wire.size() - 6);
  const std::string before9013 = "##" + std::string(reach) + cut9013;
  // The {0x..} form as peers write it: the plain tail inside the braces; lower case and blanks;
  // the length field of the plain data segment (the standard's printed example).
  const std::string head = kPlainFrame.substr(6, kPlainFrame.find("CP=&&") + 5 - 6);
  const std::string tailRegion = kPlainHash + "a01-Flag=N";
  const Keyed tail = WithPlain(tailRegion, kKeyA);
  const std::string tailInBraces =
      TextFormFrame(tail.wire.substr(6, tail.wire.find("CP=&&") - 1), tail.wire.substr(tail.wire.find("CP=&&") + 5, tailRegion.size()), "",
                    tail.plain.substr(6, tail.plain.size() - 12));
  const std::string exampleData = kPlainFrame.substr(6, kPlainFrame.size() - 12);
  const std::string cipherBytes = cipherexample::FromHex(cipherexample::kCipherHex);
  const std::string lowerBlanks = TextFormFrame(head, cipherBytes, "", exampleData, true, ", ");
  const std::string printed = TextFormFrame(head, cipherBytes, "", exampleData, false, ",", 295);
  const std::string text = cipherexample::TextFrame(), example = cipherexample::kKey;
  std::string openingHit = text; // "{0x" hit by damage, the CRC fitting the text as received
  openingHit[openingHit.find("{0x") + 1] = 'p';
  openingHit.replace(openingHit.size() - 6, 4, HJ::do_crc_check(openingHit.substr(6, openingHit.size() - 12)));
  const std::size_t firstCrLf = crlf.wire.find("\r\n");
  // One encrypted frame in 256 carries a CRC that fits its ciphertext as well (this data, this key).
  const std::string coincidentKey = "polmon-e2e-key16";
  const std::string coincidentPlain =
      HJ::wrap_frame("QN=20240101000000001;ST=32;CN=2051;PW=123456;MN=M1;Flag=8;CP=&&w01018-Rtd=0000473;DataTime=20240101000000&&");
  std::string coincident;
  {
    HJ::Sm4 sm4(KeyBytes(coincidentKey));
    std::string data;
    ASSERT_TRUE(HJ::encrypt_cp(coincidentPlain.substr(6, coincidentPlain.size() - 12), sm4, HJ::kCipherRaw, data));
    coincident = coincidentPlain.substr(0, 6) + data + coincidentPlain.substr(coincidentPlain.size() - 6);
    ASSERT_TRUE(HJ::check_frame(coincident)) << "the CRC fits the bytes as sent";
  }
  // The CRC field made to fit the bytes as sent: damage whose CRC passes by chance.
  auto fitting = [](std::string frame) {
    frame.replace(frame.size() - 6, 4, HJ::do_crc_check(frame.substr(6, frame.size() - 12)));
    return frame;
  };
  auto hit = [&](std::string frame, const std::string& from, const std::string& to) {
    return fitting(frame.replace(frame.find(from), from.size(), to));
  };
  const std::string cnHitRaw = hit(hash.wire, "CN=2011", "CN=3011"), cnHitText = hit(text, "CN=2051", "CN=3051");
  const std::string cpHitText = hit(text, "CP=&&", "CP=&'"), cpHitRaw = hit(hash.wire, "CP=&&", "CQ=&&");
  std::string lengthUp = hash.wire; // one length digit damaged upwards
  lengthUp[3] = static_cast<char>(lengthUp[3] + 1);
  // A line that keeps breaking: encrypted 8.9 KB uploads, each cut off 150 to 300 bytes in.
  std::string region;
  while (region.size() < 8900) region += kPlainHash;
  const std::string bigUpload = WithPlain(region, kKeyA).wire;
  std::string cutOffs;
  for (size_t i = 0; i < HJ::FrameScanner::kMaxFollowed; ++i) cutOffs += bigUpload.substr(0, 150 + i * 37 % 151);
  const KeyedCase cases[] = {
      {"raw ciphertext holding \\r\\n, ## and NUL", kKeyA, crlf.wire, {crlf.plain}, 1, 0, 0},
      {"raw ciphertext holding ## and NUL", kKeyA, hash.wire, {hash.plain}, 1, 0, 0},
      {"the standard's example, raw", example, kRawFrame, {kPlainFrame}, 1, 0, 0},
      {"the standard's example, text form", example, text, {kPlainFrame}, 1, 0, 0},
      {"noise, encrypted and plain frames",
       kKeyA,
       "x##y\r\n" + crlf.wire + A + "#" + hash.wire + std::string("\0\0", 2) + B + kRawFrame,
       {crlf.plain, A, hash.plain, B},
       2,
       1,
       1}, // the example under another key: BadCrc
      {"noise in the span of a raw frame holding \\r\\n", kKeyA, "x##y#" + crlf.wire, {crlf.plain}, 1, 0, 0},
      {"a cut-off frame in its span", kKeyA, text.substr(0, text.find("CP=&&") + 7) + crlf.wire, {crlf.plain}, 1, 0, 0},
      {"plain frames pass as they are", kKeyA, A + B, {A, B}, 0, 0, 0},
      {"ciphertext whose CRC fits by chance is still decrypted", coincidentKey, coincident + A, {coincidentPlain, A}, 1, 0, 0},
      {"wrong key, ciphertext holding \\r\\n: one BadCrc", kKeyB, crlf.wire, {}, 0, 0, 1},
      {"wrong key, text form", kKeyA, text, {}, 0, 0, 1},
      {"no key: counted as ever", "", crlf.wire, {}, 0, 3, 0},
      {"no key, text form", "", text, {}, 0, 0, 1},
      {"CN 1011 is never decrypted", kKeyA, upload.wire + A, {A}, 0, 3, 0},
      {"announced end is not \\r\\n: the spans inside stand, the frame behind is taken",
       kKeyA,
       crlf.wire.substr(0, crlf.wire.size() - 1) + "x" + A,
       {A},
       0,
       2,
       0},
      {"a changed ciphertext byte whose decryption fits the CRC", kKeyA, cipherDamaged + A, {A}, 0, 0, 1},
      {"a changed plain byte whose decryption fits the CRC", kKeyA, plainDamaged + A, {A}, 0, 0, 1},
      {"a binary region whose CRC fits as received", kKeyA, binaryFits + A, {A}, 0, 0, 1},
      {"{0x..} text with its opening damaged, its CRC fitting as received", example, openingHit + A, {A}, 0, 0, 1},
      {"a fragment announcing the end of the frame behind it", kKeyA, fragment + hash.wire, {hash.plain}, 1, 0, 0},
      {"a cut-off 9013 announcing the end of the frame behind it", kKeyA, before9013 + hash.wire, {hash.plain}, 1, 0, 0},
      {"text form, the plain tail inside the braces", kKeyA, tailInBraces, {tail.plain}, 1, 0, 0},
      {"text form, lower-case hex and blanks after the commas", example, lowerBlanks, {kPlainFrame}, 1, 0, 0},
      {"text form, the length field of the plain segment", example, printed + A, {kPlainFrame, A}, 1, 0, 0},
      {"the same with a wrong key: BadLength", kKeyA, printed + A, {A}, 0, 1, 0},
      {"truncated raw frame, then a request", kKeyA, crlf.wire.substr(0, firstCrLf + 10) + A + B, {A, B}, 0, 1, 0},
      {"truncated raw frame, a request across its announced end", kKeyA, crlf.wire.substr(0, crlf.wire.size() - 30) + A + B, {A, B}, 0, 2, 0},
      {"a cut-off {0x..} frame, then an intact one", example, text.substr(0, text.size() / 2) + text, {kPlainFrame}, 1, 0, 0},
      {"a {0x..} frame cut under the plain length, then a raw one", example, printed.substr(0, 200) + kRawFrame, {kPlainFrame}, 1, 0, 0},
      {"a length digit damaged upwards, then a frame holding \\r\\n", kKeyA, lengthUp + crlf.wire, {crlf.plain}, 1, 1, 0},
      {"as many cut-off uploads as may be followed, then a frame holding \\r\\n", kKeyA, cutOffs + crlf.wire, {crlf.plain}, 1, 0, 0},
      {"headers announcing the end of a frame holding \\r\\n",
       kKeyA,
       crafted::Prefix(crafted::Shape::Headers, 2, crlf.wire) + crlf.wire,
       {crlf.plain},
       1,
       2,
       0},
      {"more headers than the credit, then a frame holding \\r\\n",
       kKeyA,
       crafted::Prefix(crafted::Shape::Headers, 24, crlf.wire) + crlf.wire,
       {crlf.plain},
       1,
       24,
       0},
      {"raw ciphertext, CN hit, its CRC fitting as received", kKeyA, cnHitRaw + A, {A}, 0, 0, 1},
      {"{0x..} text, CN hit, its CRC fitting as received", example, cnHitText + A, {A}, 0, 0, 1},
      {"{0x..} text, CP=&& hit, its CRC fitting as received", example, cpHitText + A, {A}, 0, 0, 1},
      {"raw ciphertext, CP=&& hit, its CRC fitting as received", kKeyA, cpHitRaw + A, {A}, 0, 0, 1},
      {"no key: a binary segment whose CRC fits is no frame", "", binaryFits + A, {A}, 0, 0, 1},
  };
  for (const KeyedCase& c : cases) {
    auto check = [&](const std::vector<std::string>& chunks, const std::string& how) {
      HJ::FrameScanner scanner;
      if (!c.key.empty()) scanner.set_key(KeyBytes(c.key));
      ASSERT_EQ(Scan(scanner, chunks), c.expected) << c.what << how;
      EXPECT_EQ(scanner.counts().decrypted, c.decrypted) << c.what << how;
      EXPECT_EQ(scanner.counts().bad_length, c.bad_length) << c.what << how;
      EXPECT_EQ(scanner.counts().bad_crc, c.bad_crc) << c.what << how;
      EXPECT_LE(scanner.counts().cipher_bytes, 3 * c.stream.size()) << c.what << how;
    };
    check({c.stream}, " (whole)");
    check(Bytes(c.stream), " (byte by byte)");
    for (size_t cut = 0; cut <= c.stream.size(); ++cut)
      check({c.stream.substr(0, cut), c.stream.substr(cut)}, " (cut at " + std::to_string(cut) + ")");
  }

  // A request behind a cut-off encrypted frame comes out with its last byte, not at the end the
  // cut-off frame announced; a port handed over gives the followed candidates up and their spans count.
  HJ::FrameScanner scanner;
  scanner.set_key(KeyBytes(kKeyA));
  EXPECT_EQ(Scan(scanner, Bytes(crlf.wire.substr(0, firstCrLf + 10))), Frames{});
  EXPECT_TRUE(scanner.following());
  EXPECT_EQ(scanner.counts().bad_length, 0u) << "a followed candidate's verdicts wait";
  EXPECT_EQ(Scan(scanner, Bytes(A)), Frames{A});
  EXPECT_FALSE(scanner.following());
  EXPECT_EQ(scanner.counts().bad_length, 1u);
  Scan(scanner, {crlf.wire.substr(0, firstCrLf + 10)});
  ASSERT_TRUE(scanner.following());
  scanner.give_up_followed();
  EXPECT_EQ(scanner.counts().bad_length, 2u);
  EXPECT_EQ(Scan(scanner, {crlf.wire}), Frames{crlf.plain}) << "the bytes after it are read afresh";
}

// Decryption credit is earned by the bytes looked at, not by how many arrived in one read: a file
// read in large pieces frames as the same bytes arriving one by one, and the credit still bounds
// the decryption work by the bytes.
TEST(FrameScanner, DecryptionCreditWhateverTheChunking) {
  const std::string text = cipherexample::TextFrame();
  const Keyed crlf = WithPlain(kPlainCrLf, kKeyA);
  struct Case {
    const char* what;
    std::string key, unit;
    Frames frames; // what each unit gives
    size_t repeat;
  } cases[] = {
      {"{0x..} frames, 80 KB", cipherexample::kKey, text, {cipherexample::kPlainFrame}, 60},
      {"raw frames holding \\r\\n behind stray ##, 100 KB", kKeyA, "x##y" + crlf.wire, {crlf.plain}, 600},
  };
  for (const Case& c : cases) {
    std::string stream;
    Frames expected;
    for (size_t i = 0; i < c.repeat; ++i) {
      stream += c.unit;
      expected.insert(expected.end(), c.frames.begin(), c.frames.end());
    }
    ASSERT_GT(stream.size(), HJ::FrameScanner::kMaxCredit) << c.what;
    std::vector<std::vector<std::string>> chunkings = {{stream}, Bytes(stream)};
    for (size_t n : {size_t(7), size_t(4096), size_t(65536)}) {
      std::vector<std::string> chunks;
      for (size_t at = 0; at < stream.size(); at += n) chunks.push_back(stream.substr(at, n));
      chunkings.push_back(chunks);
    }
    for (const auto& chunks : chunkings) {
      HJ::FrameScanner scanner;
      scanner.set_key(KeyBytes(c.key));
      EXPECT_EQ(Scan(scanner, chunks), expected) << c.what << ", " << chunks.size() << " chunks";
      EXPECT_EQ(scanner.counts().cut_short, 0u) << c.what << ", " << chunks.size() << " chunks";
      EXPECT_LE(scanner.counts().cipher_bytes, HJ::FrameScanner::kDecryptPerByte * stream.size()) << c.what;
    }
  }
}

TEST(FrameScanner, ClearForgetsBufferedBytes) {
  HJ::FrameScanner scanner;
  Scan(scanner, {A.substr(0, 10)});
  scanner.clear();
  EXPECT_EQ(scanner.pending(), 0u);
  EXPECT_EQ(Scan(scanner, {A.substr(10), B}), Frames{B});
}

} // namespace
