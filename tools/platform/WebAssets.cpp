#include "WebAssets.h"

// The files go in as bytes by the assembler's .incbin: no generator, no quoting of their text.
// POLMON_WEB_DIR, POLMON_CHARTJS and POLMON_LICENCES come from CMake.
// Read-only data and the way back to code are named by the object format (ELF on Linux, PE/COFF on
// Windows, where the compiler takes .text as current after a top-level asm).
#if defined(__ELF__)
#define POLMON_ASSET_SECTION ".section .rodata\n"
#define POLMON_ASSET_BACK ".previous\n"
#else
#define POLMON_ASSET_SECTION ".section .rdata,\"dr\"\n"
#define POLMON_ASSET_BACK ".text\n"
#endif
#define POLMON_ASSET(symbol, file)                                                                                                                   \
  POLMON_ASSET_SECTION ".balign 16\n.global " symbol "\n" symbol ":\n.incbin \"" file "\"\n.global " symbol "_end\n" symbol                          \
                       "_end:\n.byte 0\n" POLMON_ASSET_BACK

__asm__(POLMON_ASSET("polmon_web_index", POLMON_WEB_DIR "/index.html") POLMON_ASSET("polmon_web_css", POLMON_WEB_DIR "/style.css")
            POLMON_ASSET("polmon_web_js", POLMON_WEB_DIR "/app.js") POLMON_ASSET("polmon_web_chart", POLMON_CHARTJS)
                POLMON_ASSET("polmon_web_licences", POLMON_LICENCES));

extern "C" {
extern const char polmon_web_index[], polmon_web_index_end[];
extern const char polmon_web_css[], polmon_web_css_end[];
extern const char polmon_web_js[], polmon_web_js_end[];
extern const char polmon_web_chart[], polmon_web_chart_end[];
extern const char polmon_web_licences[], polmon_web_licences_end[];
}

namespace sim {

namespace {
std::string_view between(const char* begin, const char* end) { return std::string_view(begin, static_cast<size_t>(end - begin)); }
} // namespace

const WebAsset* web_assets() {
  static const WebAsset kAssets[] = {
      {"/", "text/html; charset=utf-8", between(polmon_web_index, polmon_web_index_end)},
      {"/index.html", "text/html; charset=utf-8", between(polmon_web_index, polmon_web_index_end)},
      {"/style.css", "text/css; charset=utf-8", between(polmon_web_css, polmon_web_css_end)},
      {"/app.js", "text/javascript; charset=utf-8", between(polmon_web_js, polmon_web_js_end)},
      {"/chart.min.js", "text/javascript; charset=utf-8", between(polmon_web_chart, polmon_web_chart_end)},
      {"/licences.txt", "text/plain; charset=utf-8", between(polmon_web_licences, polmon_web_licences_end)},
      {nullptr, nullptr, {}},
  };
  return kAssets;
}

} // namespace sim
