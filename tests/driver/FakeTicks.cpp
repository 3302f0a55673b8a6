#include <vector>

#include "FakeTicks.h"
#include "panel/hosttools.h"

namespace {
unsigned g_now = 0;
unsigned g_step = 0;
std::vector<unsigned> g_sleeps;
} // namespace

namespace fake_ticks {
void Reset(unsigned step) {
  g_now = 0xFFFFFFF0u; // close to the wrap, which the pacing must survive
  g_step = step;
  g_sleeps.clear();
}
std::vector<unsigned> Sleeps() { return g_sleeps; }
} // namespace fake_ticks

// These replace the panel library's definitions for this test program.
extern "C" unsigned int Orva_GetTickCount() {
  unsigned now = g_now;
  g_now += g_step;
  return now;
}
extern "C" void Orva_Sleep(unsigned int milliseconds, int) { g_sleeps.push_back(milliseconds); }
