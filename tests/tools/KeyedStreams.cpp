#include "KeyedStreams.h"

#include <algorithm>
#include <cstdio>

#include "hj212/CpCipher.h"
#include "hj212/Envelope.h"
#include "hj212/FrameScanner.h"
#include "hj212/Sm4.h"
#include "tools/common/Explain.h"
#include "tools/common/FrameCipher.h"
#include "tools/platform/Platform.h"

namespace keyed {
namespace {

std::string qn_of(std::string_view frame) {
  std::size_t at = frame.find("QN=");
  if (at == std::string_view::npos) return "?";
  std::size_t end = frame.find(';', at);
  return std::string(frame.substr(at + 3, end == std::string_view::npos ? 0 : end - at - 3));
}

std::string number(std::mt19937& random) { return std::to_string(random() % 100000) + "." + std::to_string(random() % 100); }

// A data segment with `qn`; `cn` a data command (encrypted) or an answer (never).
std::string segment(std::mt19937& random, const std::string& qn, bool data, bool packet) {
  std::string s = "QN=" + qn + (data ? ";ST=32;CN=2011" : ";ST=91;CN=9014") +
                  ";PW=123456;MN=010000A8900016F000169DC0;Flag=" + (packet ? "11;PNUM=2;PNO=1" : "9") + ";CP=&&";
  if (data) {
    s += "DataTime=20261209120000";
    for (unsigned i = 0, n = 1 + random() % 12; i < n; ++i) s += ";w0101" + std::to_string(i % 10) + "-Rtd=" + number(random) + ",w01018-Flag=N";
  }
  return s + "&&";
}

// A raw frame's CP region whose ciphertext holds CR LF: searched once per key, then reused (the
// region is encrypted on its own, so another header keeps the same ciphertext).
std::string crlf_region(const std::string& key) {
  HJ::Sm4 cipher(reinterpret_cast<const unsigned char*>(key.data()));
  for (unsigned n = 0;; ++n) {
    const std::string plain = "QN=1;ST=32;CN=2011;Flag=9;CP=&&DataTime=20261209120000;w01018-Rtd=" + std::to_string(n) + ".5,w01018-Flag=N&&";
    HJ::WireData w = HJ::wire_data(plain, HJ::kCharsetByFlag, &cipher, HJ::kCipherRaw);
    if (w.encrypted && w.cipher_bytes.find("\r\n") != std::string::npos) return plain.substr(plain.find("CP=&&"));
  }
}

std::string frame_of(std::mt19937& random, const std::string& qn, const std::string& key, const std::string& crlf_cp) {
  const unsigned form = random() % 8;
  const bool data = form != 7;
  std::string seg = segment(random, qn, data, form == 6);
  if (form == 2) seg = seg.substr(0, seg.find("CP=&&")) + crlf_cp;
  if (form == 0 || form == 7) return HJ::wrap_frame(seg);
  HJ::Sm4 cipher(reinterpret_cast<const unsigned char*>(key.data()));
  static const HJ::CipherForm kForms[] = {
      HJ::kCipherRaw, HJ::kCipherRaw, HJ::kCipherRaw, HJ::kCipherText, HJ::kCipherTextTailInside, HJ::kCipherTextTailInside, HJ::kCipherRaw};
  return HJ::wire_data(seg, HJ::kCharsetByFlag, &cipher, kForms[form]).frame();
}

std::string noise(std::mt19937& random) {
  static const char* const kPieces[] = {"#", "##", "\r\n", "\n", "###", "x", "12:00:00 RX ", "##0005", "CP=&&", "\r", "##9999QN=1;"};
  if (random() % 4) return kPieces[random() % (sizeof kPieces / sizeof kPieces[0])];
  std::string bytes(1 + random() % 40, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

} // namespace

Stream make_stream(std::mt19937& random, std::size_t frames, const std::string& key) {
  static std::string cached_key, crlf_cp;
  if (cached_key != key) crlf_cp = crlf_region(cached_key = key);
  Stream out;
  for (std::size_t i = 0; i < frames; ++i) {
    char qn[24];
    std::snprintf(qn, sizeof qn, "20261209%09zu", i + random() % 1000 * 1000000);
    const std::string f = frame_of(random, qn, key, crlf_cp);
    switch (random() % 8) {
    case 0: out.bytes += f.substr(0, 1 + random() % (f.size() - 1)); break; // cut off
    case 1: out.bytes += random() % 2 ? "#" : "##"; [[fallthrough]];        // a stray "#" or "##" on its line
    default:
      out.bytes += f;
      ++out.intact;
      break;
    case 7: { // its LF damaged: another byte in its place
      char other = static_cast<char>(random());
      out.bytes += f.substr(0, f.size() - 1) + (other == '\n' ? 'x' : other);
    }
    }
    if (random() % 3 == 0) out.bytes += noise(random);
  }
  // the input ends inside the last frame's CR LF, or before it
  if (random() % 2 && frames > 0) {
    const std::string f = frame_of(random, "20261209999999999", key, crlf_cp);
    out.bytes += f.substr(0, f.size() - 1 - random() % 2);
  }
  return out;
}

std::vector<std::string> plugin_qns(const std::string& bytes, const std::string& key, std::mt19937& random) {
  HJ::FrameScanner scanner;
  scanner.set_key(reinterpret_cast<const unsigned char*>(key.data()));
  std::vector<std::string> qns;
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t n = std::min<std::size_t>(1 + random() % 512, bytes.size() - at);
    scanner.feed(bytes.data() + at, n, [&](std::string&& frame) { qns.push_back(qn_of(frame)); });
    at += n;
  }
  return qns;
}

std::vector<std::string> frame_tool_qns(const std::string& bytes, const std::string& key) {
  std::vector<std::string> qns;
  for (const frametool::Span& span : frametool::find_spans(bytes, key))
    if (frametool::json_report(0, span, frametool::explain(span, key)).find("\"verdict\":\"accept\"") != std::string::npos)
      qns.push_back(qn_of(span.bytes)); // what polmon-frame says, in the words its JSON gives
  return qns;
}

namespace {

struct Accepted : sim::PlatformObserver {
  std::vector<std::string> qns;
  void link_up(const std::string&) override {}
  void link_down() override {}
  void frame(bool incoming, std::string_view bytes, sim::Verdict verdict) override {
    if (incoming && sim::verdict_ok(verdict)) qns.push_back(qn_of(bytes));
  }
};

} // namespace

std::vector<std::string> platform_qns(const std::string& bytes, const std::string& key, std::mt19937& random) {
  sim::PlatformOptions opt;
  opt.standard = 2025;
  opt.key = key;
  std::vector<sim::Step> steps;
  std::string error;
  sim::parse_scenario("pause 1", steps, error);
  sim::Platform platform(steps, opt, [](const std::string&) {});
  Accepted accepted;
  platform.set_observer(&accepted);
  platform.connected(0, "differential");
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t n = std::min<std::size_t>(1 + random() % 512, bytes.size() - at);
    platform.received(bytes.data() + at, n, 1);
    at += n;
  }
  return accepted.qns;
}

std::string difference(const char* a_name, const std::vector<std::string>& a, const char* b_name, const std::vector<std::string>& b) {
  auto d = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  if (d.first == a.end() && d.second == b.end()) return std::string();
  return std::string(a_name) + " took " + std::to_string(a.size()) + " frames, " + b_name + " " + std::to_string(b.size()) +
         "; first difference at frame " + std::to_string(d.first - a.begin()) + ": " + a_name + " QN " + (d.first == a.end() ? "none" : *d.first) +
         ", " + b_name + " QN " + (d.second == b.end() ? "none" : *d.second);
}

} // namespace keyed
