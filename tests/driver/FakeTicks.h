// A tick source the test controls, standing in for the panel tools library.
#pragma once

#include <vector>

namespace fake_ticks {
// Each Orva_GetTickCount call advances the clock by `step` ticks.
void Reset(unsigned step);
// The sleeps requested since Reset, in milliseconds.
std::vector<unsigned> Sleeps();
} // namespace fake_ticks
