// polmon-config: writes the configuration bytes the panel stores for a device from a readable
// text file, and prints stored configuration bytes in that text form.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ConfigText.h"
#include "tools/common/Codes.h"
#include "tools/common/Version.h"
#include "tools/common/sys/System.h"

namespace {

// Inputs beyond this are certainly not a device configuration.
constexpr size_t kMostInputBytes = 64u << 20;

const char kUsage[] = "usage: polmon-config write <in.txt|-> <out.bin|->   text form -> stored configuration bytes\n"
                      "       polmon-config print <in.bin|->               stored configuration bytes -> text form\n"
                      "       polmon-config --version\n";

bool ReadAll(const std::string& path, std::string& out, std::string& error) {
  const bool stdinput = path == "-";
  FILE* file = stdinput ? stdin : sys::open_file(path, "rb");
  if (!file) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  out.clear();
  char chunk[65536];
  size_t got = 0;
  bool ok = true;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    if (out.size() + got > kMostInputBytes) {
      error = path + ": larger than " + std::to_string(kMostInputBytes >> 20) + " MiB";
      ok = false;
      break;
    }
    out.append(chunk, got);
  }
  if (ok && std::ferror(file)) {
    error = path + ": read failed";
    ok = false;
  }
  if (!stdinput) std::fclose(file);
  return ok;
}

// Writes next to the target and puts it in place as a whole, so a failure never leaves a partial file.
bool WriteAtomically(const std::string& path, const std::vector<unsigned char>& bytes, std::string& error) {
  if (path == "-") {
    if ((!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) || std::fflush(stdout) != 0) {
      error = "standard output: " + std::string(std::strerror(errno));
      return false;
    }
    return true;
  }
  return sys::replace_file(path, bytes.data(), bytes.size(), error);
}

// Rows name the station's factors: a code the standard's tables do not have is warned about,
// with the nearest one they do; so is a parameter that cannot work. The bytes are written (or
// printed) all the same.
void WarnUnknownFactors(const std::string& in, const configtool::Configuration& config) {
  const char* const where = in == "-" ? "<stdin>" : in.c_str();
  for (const std::string& w : configtool::ParamWarnings(config)) std::fprintf(stderr, "polmon-config: %s: warning: %s\n", where, w.c_str());
  for (size_t r = 0; r < config.rows.size(); ++r) {
    const std::string& factor = config.rows[r].texts[2]; // kPropertyKeys[2]: "factor"
    const std::string code = factor.substr(0, factor.find('-'));
    if (code.empty() || codes::known_code(code)) continue;
    const std::string nearest = codes::nearest_code(code);
    std::fprintf(stderr, "polmon-config: %s: warning: row %zu: factor '%s' is not a code of the standard's tables%s\n", where, r + 1,
                 codes::shown(factor).c_str(), nearest.empty() ? "" : ("; nearest known: " + nearest + " " + codes::factor_name(nearest)).c_str());
  }
}

int Write(const std::string& in, const std::string& out) {
  std::string text;
  std::string error;
  if (!ReadAll(in, text, error)) {
    std::fprintf(stderr, "polmon-config: %s\n", error.c_str());
    return 1;
  }
  configtool::Configuration config;
  if (!configtool::ParseText(text, config, error)) {
    std::fprintf(stderr, "polmon-config: %s: %s\n", in == "-" ? "<stdin>" : in.c_str(), error.c_str());
    return 1;
  }
  WarnUnknownFactors(in, config);
  if (!WriteAtomically(out, configtool::StoreBytes(config), error)) {
    std::fprintf(stderr, "polmon-config: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

int Print(const std::string& in) {
  std::string bytes;
  std::string error;
  configtool::Configuration config;
  if (!ReadAll(in, bytes, error)) {
    std::fprintf(stderr, "polmon-config: %s\n", error.c_str());
    return 1;
  }
  if (!configtool::LoadBytes(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), config, error)) {
    std::fprintf(stderr, "polmon-config: %s: %s\n", in == "-" ? "<stdin>" : in.c_str(), error.c_str());
    return 1;
  }
  WarnUnknownFactors(in, config);
  const std::string text = configtool::PrintText(config);
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "polmon-config: standard output: %s\n", std::strerror(errno));
    return 1;
  }
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  sys::Arguments utf8(argc, argv);
  const std::vector<std::string> args(utf8.argv() + 1, utf8.argv() + utf8.argc());
  sys::binary_stream(stdin); // configuration bytes in and out unchanged
  sys::binary_stream(stdout);
  if (args.size() == 3 && args[0] == "write") return Write(args[1], args[2]);
  if (args.size() == 2 && args[0] == "print") return Print(args[1]);
  if (args.size() == 1 && args[0] == "--version") return sim::print_version("polmon-config");
  std::fputs(kUsage, stderr);
  return 2;
}
