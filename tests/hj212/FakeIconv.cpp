// Lets a test take the GB18030 converter away, as on a panel built without it; otherwise the
// system's converter answers.
#include <dlfcn.h>
#include <iconv.h>

#include "FakeIconv.h"

namespace {
bool g_missing = false;
}

namespace fake_iconv {
bool CanTakeConverterAway() { return true; }
void SetConverterMissing(bool missing) { g_missing = missing; }
} // namespace fake_iconv

extern "C" iconv_t iconv_open(const char* to, const char* from) {
  if (g_missing) return reinterpret_cast<iconv_t>(-1);
  using Open = iconv_t (*)(const char*, const char*);
  static Open real = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "iconv_open"));
  return real ? real(to, from) : reinterpret_cast<iconv_t>(-1);
}
