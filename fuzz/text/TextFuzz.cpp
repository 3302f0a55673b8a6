// The first byte picks what is fuzzed: split, get_value / get_value_cp, the frame builder over
// a fake variable store (whose values contain names, keys and delimiters, so substitutions cascade),
// or the charset conversions of GetData and Send. Besides "no crash", each branch checks
// properties that hold for every input.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "hj212/Charset.h"
#include "hj212/src/FieldExtract.h"
#include "hj212/src/FrameBuilder.h"
#include "hj212/src/Split.h"
#include "tests/hj212/FakeEngineDevice.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

enginefake::Device& store() {
  static enginefake::Device* vars = [] {
    auto* v = new enginefake::Device();
    v->Text("T1", "20240101120000");
    v->Text("N", "N;ST=N&&");
    v->Text("CP", "&&CP=&&");
    v->Text("A", "A,A=A");
    v->Text("E", "");
    v->Double("V1", 12.5);
    v->Double("V2", -1e300);
    v->Int("I1", -2147483647 - 1);
    return v;
  }();
  return *vars;
}

void fuzz_split(const std::string& delimiters, const std::string& text) {
  std::size_t total = 0;
  for (const std::string& piece : HJ::split(text, delimiters)) {
    require(piece.find_first_of(delimiters) == std::string::npos);
    require(piece.empty() || (piece.front() != ' ' && piece.back() != ' '));
    total += piece.size();
  }
  require(total <= text.size());
}

void fuzz_extract(const std::string& key, const std::string& text) {
  std::string out = "\x01untouched";
  const int found = HJ::get_value(text, key, out);
  require(found == 0 || found == 1);
  if (!found) require(out == "\x01untouched");
  if (found) require(out.size() <= text.size());

  std::string cp = "\x01untouched";
  const int has_cp = HJ::get_value_cp(text, cp);
  require(has_cp == (text.find("&&") != std::string::npos ? 1 : 0));
  if (has_cp) require(text.find(cp) != std::string::npos);
  else require(cp == "\x01untouched");
}

void fuzz_build(const std::string& templ, bool with_variables) {
  if (!with_variables) {
    // Nothing is a variable: every name stands for itself, so the template comes back as it was.
    const std::string built = HJ::build_data_segment(nullptr, templ);
    require(built == templ || (built.empty() && templ.find_first_not_of(",;") == std::string::npos));
    return;
  }
  const std::string built = HJ::build_data_segment(&store(), templ);
  // Each item replaces at most once, by a value of at most 320 bytes.
  require(built.size() <= templ.size() + (templ.size() + 1) * 320);
}

// The bytes a script splits a frame on, in order.
std::string delimiters_of(const std::string& text) {
  std::string found;
  for (char c : text)
    if (c == ';' || c == ',' || c == '=' || c == '&' || c == '\r' || c == '\n') found += c;
  return found;
}

// Only bytes that are no character are dropped: every delimiter of the input is in the output, in
// order, whichever way the text goes (no character of either set holds a delimiter byte), and on
// every line charset (by Flag, GB18030, UTF-8).
void fuzz_charset(const std::string& bytes) {
  for (int charset = 0; charset <= 2; ++charset) {
    const std::string text = HJ::received_text(bytes, HJ::wire_charset_from(charset));
    require(delimiters_of(text) == delimiters_of(bytes));
    require(HJ::is_utf8(text.data(), text.size()));
  }
  std::string wire;
  require(HJ::utf8_to_gb18030(bytes, wire));
  require(delimiters_of(wire) == delimiters_of(bytes));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider input(bytes, size);
  switch (input.ConsumeIntegralInRange<int>(0, 4)) {
  case 0: {
    const std::string delimiters = input.ConsumeRandomLengthString(4);
    fuzz_split(delimiters, input.ConsumeRemainingBytesAsString());
    break;
  }
  case 1: {
    const std::string key = input.ConsumeRandomLengthString(16);
    fuzz_extract(key, input.ConsumeRemainingBytesAsString());
    break;
  }
  case 2: fuzz_build(input.ConsumeRemainingBytesAsString(), true); break;
  case 4: fuzz_charset(input.ConsumeRemainingBytesAsString()); break;
  default: fuzz_build(input.ConsumeRemainingBytesAsString(), false); break;
  }
  return 0;
}
