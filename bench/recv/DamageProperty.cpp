// How many damaged frames the receive path queues, with and without a key: the HJ 212 CRC takes
// 256 values, so a frame damaged in two bytes or more passes it once in 256; the segment is also
// asked to hold no control byte (with a key: to be text without a {0x..} list). Each trial feeds
// one damaged 2025 upload (CN 2011, 2 to 17 whole blocks) and then a plain 9014 frame to one
// scanner; every queued frame but the 9014 is a damaged one taken. A second table cuts an upload
// off and puts an intact one behind it: every intact frame must come out; its last rows pause a
// frame through the engine (a simulated clock counts the empty passes) and break a line many times.
//   damage_property [TRIALS]   (default 1,000,000 per row) prints two markdown tables.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "Streams.h"
#include "hj212/CpCipher.h"
#include "hj212/Envelope.h"
#include "hj212/FrameScanner.h"
#include "hj212/Sm4.h"
#include "tests/support/crafted/CraftedPrefix.h"

namespace {

const unsigned char kKey[] = "polmon-bench-key";
const std::string kSeparator = HJ::wrap_frame("QN=20261208120000000;ST=91;CN=9014;PW=123456;MN=010000A8900016F000169DC0;Flag=8;CP=&&&&");

struct Upload {
  std::string plain;            // the frame as the platform means it
  std::string wire;             // as sent
  std::size_t from = 0, to = 0; // the bytes damage may touch
};

std::string PlainUpload(std::mt19937& rng, int factors) {
  std::string cp = "DataTime=20261208120000";
  static const char* const kCodes[] = {"a21026", "a21002", "a21005", "a34013", "a01011", "a01012", "a01013", "a01014"};
  for (int i = 0; i < factors; ++i)
    cp += ";" + std::string(kCodes[i % 8]) + "-Rtd=" + std::to_string(rng() % 100000 / 100.0).substr(0, 6) + "," + kCodes[i % 8] + "-Flag=N";
  return HJ::wrap_frame("QN=20261208120000000;ST=22;CN=2011;PW=123456;MN=010000A8900016F000169DC0;Flag=9;CP=&&" + cp + "&&");
}

// Where a row damages an upload.
enum class Where { Cp, Header, Anywhere };

// The {0x..} form under the plain segment's length field, as some peers write it.
constexpr int kTextPlainLength = 2;

// The upload in `form` (-1 plain), and the range of its bytes a row damages (for ciphertext in
// the CP: its whole blocks, or their items). `crlf`: raw ciphertext that holds "\r\n".
Upload Make(std::mt19937& rng, int form, Where where, bool crlf = false) {
  Upload u;
  for (;;) {
    u.plain = PlainUpload(rng, 2 + static_cast<int>(rng() % 12));
    const std::string data = u.plain.substr(6, u.plain.size() - HJ::kEnvelopeBytes);
    std::size_t begin = 0, end = 0;
    HJ::cp_region(data.data(), data.size(), begin, end);
    if (where == Where::Header || where == Where::Anywhere) {
      u.from = where == Where::Anywhere ? 0 : 6;
      u.to = where == Where::Anywhere ? u.plain.size() : 6 + begin - 5;
    }
    if (form < 0) {
      u.wire = u.plain;
      if (where == Where::Cp) u.from = 6 + begin, u.to = 6 + end;
      return u;
    }
    HJ::Sm4 cipher(kKey);
    std::string sent;
    HJ::encrypt_cp(data, cipher, form == kTextPlainLength ? HJ::kCipherText : HJ::cipher_form_from(form), sent);
    char field[8];
    std::snprintf(field, sizeof field, "%04zu", form == HJ::kCipherText ? sent.size() : data.size());
    u.wire = "##" + std::string(field) + sent + u.plain.substr(u.plain.size() - 6);
    const std::size_t whole = (end - begin) / 16 * 16;
    if (where == Where::Cp) {
      u.from = 6 + begin + (form == HJ::kCipherRaw ? 0 : 1); // after "{"
      u.to = u.from + (form == HJ::kCipherRaw ? whole : whole * 5 - 1);
    }
    if (!crlf || form != HJ::kCipherRaw || u.wire.find("\r\n") + 2 < u.wire.size()) return u;
  }
}

enum class Damage { Bit, Burst, HexBurst };

void Hurt(std::string& wire, const Upload& u, Damage damage, std::mt19937& rng) {
  const std::size_t span = u.to - u.from;
  if (damage == Damage::Bit) {
    wire[u.from + rng() % span] ^= static_cast<char>(1u << (rng() % 8));
    return;
  }
  std::size_t n = 2 + rng() % 7;
  if (n > span) n = span;
  const std::size_t at = u.from + rng() % (span - n + 1);
  for (std::size_t i = 0; i < n; ++i) {
    char old = wire[at + i];
    do {
      wire[at + i] = damage == Damage::HexBurst ? "0123456789ABCDEF"[rng() % 16] : static_cast<char>(rng());
    } while (wire[at + i] == old); // every byte of the burst changed
  }
}

struct Row {
  const char* what;
  int form; // -1 plain
  Where where;
  Damage damage;
  const char* target;
};

// What the frame says: its data segment and CRC value. A length field read leniently (a blank
// for a leading zero) or a CRC written in lower case leave the same frame, rightly taken.
std::string Meaning(const std::string& frame) {
  std::string said = frame.substr(6);
  for (std::size_t i = said.size() >= 6 ? said.size() - 6 : 0; i < said.size(); ++i)
    if (said[i] >= 'a' && said[i] <= 'f') said[i] = static_cast<char>(said[i] - 'a' + 'A');
  return said;
}

// Damaged frames queued out of `trials` (a queued frame that says other than the upload: a case
// changed in a hex digit leaves the same bytes, and the frame is rightly taken), and the trials
// whose damage changed the data segment while its CRC still fitted.
void Measure(const Row& row, long trials, bool keyed, long& queued, long& missed) {
  std::mt19937 rng(2120 + static_cast<unsigned>(row.form + 1) * 7 + static_cast<unsigned>(row.damage) * 3 + static_cast<unsigned>(row.where));
  HJ::FrameScanner scanner;
  if (keyed) scanner.set_key(kKey);
  std::vector<Upload> uploads;
  for (int i = 0; i < 64; ++i) uploads.push_back(Make(rng, row.form, row.where));
  queued = missed = 0;
  std::string frame;
  for (long t = 0; t < trials; ++t) {
    const Upload& u = uploads[static_cast<std::size_t>(t) % uploads.size()];
    std::string wire = u.wire;
    Hurt(wire, u, row.damage, rng);
    const std::size_t n = wire.size() - HJ::kEnvelopeBytes;
    if (wire.compare(6, n, u.wire, 6, n) != 0 && HJ::crc_field_matches(wire.data() + 6 + n, wire.data() + 6, n)) ++missed;
    scanner.append(wire.data(), wire.size());
    scanner.append(kSeparator.data(), kSeparator.size());
    while (scanner.next(frame))
      if (frame != kSeparator && Meaning(frame) != Meaning(u.plain)) ++queued;
  }
}

// Where an upload is cut off.
enum class Cut { Length, Header, Cipher };

struct CutRow {
  const char* what;
  int form;
  Cut cut;
};

// The upload cut off: in its length field, in its header, or in its ciphertext (raw: after an
// inner "\r\n", when it holds one).
std::string CutOff(const Upload& u, Cut cut, std::mt19937& rng) {
  const std::size_t cp = u.wire.find("CP=&&") + 5;
  if (cut == Cut::Length) return u.wire.substr(0, 3 + rng() % 3);
  if (cut == Cut::Header) return u.wire.substr(0, 6 + rng() % (cp - 6));
  const std::size_t inner = u.wire.find("\r\n", cp);
  const std::size_t from = inner + 2 < u.wire.size() ? inner + 2 : cp;
  return u.wire.substr(0, from + rng() % (u.wire.size() - 2 - from));
}

// Feeds `bytes` and a separator frame: true when the frame meaning `plain` came out; every other
// frame but the separator counts in `garbled`.
bool Delivers(HJ::FrameScanner& scanner, const std::string& bytes, const std::string& plain, long& garbled) {
  scanner.append(bytes.data(), bytes.size());
  scanner.append(kSeparator.data(), kSeparator.size());
  bool found = false;
  std::string frame;
  while (scanner.next(frame)) {
    if (frame == kSeparator) continue;
    if (Meaning(frame) == Meaning(plain)) found = true;
    else ++garbled;
  }
  return found;
}

// Intact uploads lost behind cut-off ones out of `trials`, and garbled frames queued.
void MeasureCut(const CutRow& row, long trials, bool keyed, long& lost, long& garbled) {
  std::mt19937 rng(3120 + static_cast<unsigned>(row.form + 1) * 7 + static_cast<unsigned>(row.cut));
  HJ::FrameScanner scanner;
  if (keyed) scanner.set_key(kKey);
  std::vector<Upload> uploads;
  for (int i = 0; i < 64; ++i) uploads.push_back(Make(rng, row.form, Where::Cp, true));
  lost = garbled = 0;
  for (long t = 0; t < trials; ++t) {
    const Upload& cut = uploads[static_cast<std::size_t>(t) % uploads.size()];
    const Upload& intact = uploads[static_cast<std::size_t>(t * 7 + 3) % uploads.size()];
    if (!Delivers(scanner, CutOff(cut, row.cut, rng) + intact.wire, intact.plain, garbled)) ++lost;
  }
}

// A line the bench writes to: each read hands out what was put since, 512 bytes at most.
class LinePort final : public bench::ReadOnlyPort {
public:
  void Put(const std::string& bytes) { pending_.append(bytes); }
  int ReadData(unsigned char* buffer, int* length, int) override {
    std::size_t n = pending_.size() - at_;
    if (n > 512) n = 512;
    if (n > static_cast<std::size_t>(*length)) n = static_cast<std::size_t>(*length);
    std::copy(pending_.data() + at_, pending_.data() + at_ + n, buffer);
    at_ += n;
    if (at_ == pending_.size()) pending_.clear(), at_ = 0;
    *length = at_ != 0 ? 1 : 0;
    return static_cast<int>(n);
  }

private:
  std::string pending_;
  std::size_t at_ = 0;
};

// The receive thread's empty passes over a pause of `ms` on a simulated clock: one per read wait
// until the line counts as quiet, one per quiet idle after.
long PassesIn(long ms) {
  const long quiet = static_cast<long>(HJ::HJ212_system::kQuietMs);
  if (ms <= quiet) return ms / HJ::HJ212_system::kReadWaitMs;
  return quiet / HJ::HJ212_system::kReadWaitMs + (ms - quiet) / HJ::HJ212_system::kQuietIdleMs;
}

// Through the engine and its device: a raw upload holding "\r\n" pauses for `ms` at a random byte
// (the passes the receive thread makes meanwhile read nothing), then the rest comes. Intact
// frames lost out of `trials`, and garbled frames queued.
void MeasurePause(long ms, long trials, long& lost, long& garbled) {
  std::mt19937 rng(4120 + static_cast<unsigned>(ms));
  std::vector<Upload> uploads;
  for (int i = 0; i < 64; ++i) uploads.push_back(Make(rng, HJ::kCipherRaw, Where::Cp, true));
  LinePort port;
  bench::Engine engine(port);
  engine.key.set(std::string(reinterpret_cast<const char*>(kKey), 16));
  HJ::HJ212_system& sys = engine.sys;
  const long passes = PassesIn(ms);
  lost = garbled = 0;
  std::string frame;
  for (long t = 0; t < trials; ++t) {
    const Upload& u = uploads[static_cast<std::size_t>(t) % uploads.size()];
    const std::size_t at = 1 + rng() % (u.wire.size() - 1);
    port.Put(u.wire.substr(0, at));
    sys._receive_pass();
    for (long p = 0; p < passes; ++p) sys._receive_pass();
    port.Put(u.wire.substr(at));
    port.Put(kSeparator);
    sys._receive_pass();
    bool found = false;
    while (sys.take_frame(frame) >= 0) {
      if (frame == kSeparator) continue;
      if (Meaning(frame) == Meaning(u.plain)) found = true;
      else ++garbled;
    }
    if (!found) ++lost;
  }
}

// A line that keeps breaking: `cuts` raw 9 KB uploads each cut off 150 to 300 bytes in, then an
// intact raw upload holding "\r\n". Intact frames lost out of `trials`, and garbled frames queued.
void MeasureBreaking(long cuts, long trials, long& lost, long& garbled) {
  std::mt19937 rng(5120 + static_cast<unsigned>(cuts));
  std::vector<std::string> big;
  for (int i = 0; i < 16; ++i) {
    const std::string plain = PlainUpload(rng, 275);
    const std::string data = plain.substr(6, plain.size() - HJ::kEnvelopeBytes);
    HJ::Sm4 cipher(kKey);
    std::string sent;
    HJ::encrypt_cp(data, cipher, HJ::kCipherRaw, sent);
    char field[8];
    std::snprintf(field, sizeof field, "%04zu", sent.size());
    big.push_back("##" + std::string(field) + sent + plain.substr(plain.size() - 6));
  }
  std::vector<Upload> intact;
  for (int i = 0; i < 64; ++i) intact.push_back(Make(rng, HJ::kCipherRaw, Where::Cp, true));
  HJ::FrameScanner scanner;
  scanner.set_key(kKey);
  lost = garbled = 0;
  std::string frame;
  for (long t = 0; t < trials; ++t) {
    for (long c = 0; c < cuts; ++c) {
      const std::string& b = big[rng() % big.size()];
      scanner.append(b.data(), 150 + rng() % 151);
    }
    const Upload& u = intact[static_cast<std::size_t>(t) % intact.size()];
    scanner.append(u.wire.data(), u.wire.size());
    scanner.append(kSeparator.data(), kSeparator.size());
    bool found = false;
    while (scanner.next(frame)) {
      if (frame == kSeparator) continue;
      if (Meaning(frame) == Meaning(u.plain)) found = true;
      else ++garbled;
    }
    if (!found) ++lost;
  }
}

// Bytes crafted in the shape `shape` (1 to 24 of it; 1 to 2,000 empty spans) in front of an
// intact upload: raw holding "\r\n" with a key, plain without. Intact frames lost out of `trials`,
// and garbled frames queued.
void MeasureCrafted(crafted::Shape shape, long trials, bool keyed, long& lost, long& garbled) {
  std::mt19937 rng(6120 + static_cast<unsigned>(shape) * 2 + (keyed ? 1u : 0u));
  std::vector<Upload> uploads;
  for (int i = 0; i < 64; ++i) uploads.push_back(Make(rng, keyed ? HJ::kCipherRaw : -1, Where::Cp, true));
  HJ::FrameScanner scanner;
  if (keyed) scanner.set_key(kKey);
  lost = garbled = 0;
  for (long t = 0; t < trials; ++t) {
    const Upload& u = uploads[static_cast<std::size_t>(t) % uploads.size()];
    const std::size_t count = shape == crafted::Shape::HeldSpans ? 1 + rng() % 2000 : 1 + rng() % 24;
    if (!Delivers(scanner, crafted::Prefix(shape, count, u.wire) + u.wire, u.plain, garbled)) ++lost;
  }
}

} // namespace

int main(int argc, char** argv) {
  const long trials = argc > 1 ? std::atol(argv[1]) : 1000000;
  const Row rows[] = {
      {"raw ciphertext, one bit flipped in it", HJ::kCipherRaw, Where::Cp, Damage::Bit, "0"},
      {"raw ciphertext, a burst of 2 to 8 random bytes in it", HJ::kCipherRaw, Where::Cp, Damage::Burst, "0"},
      {"raw ciphertext, one bit flipped in its header", HJ::kCipherRaw, Where::Header, Damage::Bit, "0"},
      {"{0x..} text, one bit flipped in its items", HJ::kCipherText, Where::Cp, Damage::Bit, "0"},
      {"{0x..} text, a burst of 2 to 8 hex digits in its items", HJ::kCipherText, Where::Cp, Damage::HexBurst, "0"},
      {"{0x..} text, one bit flipped in its header", HJ::kCipherText, Where::Header, Damage::Bit, "0"},
      {"plain upload, one bit flipped anywhere in the frame", -1, Where::Anywhere, Damage::Bit, "0"},
      {"plain upload, a burst of 2 to 8 random bytes in its CP", -1, Where::Cp, Damage::Burst, "no more than without a key"},
      {"plain upload, a burst of 2 to 8 random bytes in its header", -1, Where::Header, Damage::Burst, "no more than without a key"},
  };
  std::printf("| damage (%ld frames a row) | target with a key | garbled frames queued with a key | without a key | damage the CRC let through |\n",
              trials);
  std::printf("|---|---|---|---|---|\n");
  int failed = 0;
  for (const Row& row : rows) {
    long keyed = 0, keyless = 0, missed = 0, same = 0;
    Measure(row, trials, true, keyed, missed);
    Measure(row, trials, false, keyless, same);
    std::printf("| %s | %s | %ld | %ld | %ld |\n", row.what, row.target, keyed, keyless, missed);
    if (row.target[0] == '0' ? keyed != 0 : keyed > keyless) failed = 1;
  }
  const CutRow cuts[] = {
      {"raw, cut in the length field", HJ::kCipherRaw, Cut::Length},
      {"raw, cut in the header", HJ::kCipherRaw, Cut::Header},
      {"raw holding \\r\\n, cut in the ciphertext after it", HJ::kCipherRaw, Cut::Cipher},
      {"{0x..} text, cut in the length field", HJ::kCipherText, Cut::Length},
      {"{0x..} text, cut in the header", HJ::kCipherText, Cut::Header},
      {"{0x..} text, cut in its items", HJ::kCipherText, Cut::Cipher},
      {"{0x..} text under the plain length, cut in its items", kTextPlainLength, Cut::Cipher},
      {"plain upload, cut in its header", -1, Cut::Header},
      {"plain upload, cut in its CP", -1, Cut::Cipher},
  };
  std::printf(
      "\n| an upload cut off, then an intact one of the same form (%ld a row) | target | intact frames lost with a key | without a key | garbled frames queued with a key |\n",
      trials);
  std::printf("|---|---|---|---|---|\n");
  for (const CutRow& row : cuts) {
    long lost = 0, garbled = 0, keyless_lost = 0, keyless_garbled = 0;
    MeasureCut(row, trials, true, lost, garbled);
    std::string keyless = "(cannot decrypt)";
    if (row.form < 0) {
      MeasureCut(row, trials, false, keyless_lost, keyless_garbled);
      keyless = std::to_string(keyless_lost);
      if (keyless_lost != 0) failed = 1;
    }
    std::printf("| %s | 0 | %ld | %s | %ld |\n", row.what, lost, keyless.c_str(), garbled);
    if (lost != 0 || garbled != 0) failed = 1;
  }
  for (long ms : {300L, 1500L, 10000L}) {
    long lost = 0, garbled = 0;
    MeasurePause(ms, trials, lost, garbled);
    std::printf(
        "| raw holding \\r\\n, a pause of %.1f s at a random byte (through the engine, simulated clock) | 0 | %ld | (cannot decrypt) | %ld |\n",
        ms / 1000.0, lost, garbled);
    if (lost != 0 || garbled != 0) failed = 1;
  }
  for (long broken : {1L, 32L, 200L}) {
    // A row carries `trials` frames in all, the cut-off ones included.
    const long rounds = trials / (broken + 1) > 0 ? trials / (broken + 1) : 1;
    long lost = 0, garbled = 0;
    MeasureBreaking(broken, rounds, lost, garbled);
    std::printf(
        "| %ld raw 9 KB uploads cut off 150 to 300 bytes in, then one holding \\r\\n (%ld intact frames) | 0 | %ld | (cannot decrypt) | %ld |\n",
        broken, rounds, lost, garbled);
    if (lost != 0 || garbled != 0) failed = 1;
  }
  const struct {
    const char* what;
    crafted::Shape shape;
  } shapes[] = {
      {"a data-command header followed, 1 to 2,000 empty spans behind it, then an intact upload", crafted::Shape::HeldSpans},
      {"1 to 24 starts announcing the end of the intact upload behind them", crafted::Shape::Starts},
      {"1 to 24 headers ended early, announcing the end of the intact upload behind them", crafted::Shape::Headers},
  };
  for (const auto& row : shapes) {
    long lost = 0, garbled = 0, keyless_lost = 0, keyless_garbled = 0;
    MeasureCrafted(row.shape, trials, true, lost, garbled);
    MeasureCrafted(row.shape, trials, false, keyless_lost, keyless_garbled);
    std::printf("| %s (raw holding \\r\\n with a key, plain without) | 0 | %ld | %ld | %ld |\n", row.what, lost, keyless_lost, garbled);
    if (lost != 0 || keyless_lost != 0 || garbled != 0 || keyless_garbled != 0) failed = 1;
  }
  return failed;
}
