#pragma once

#include "host.h"

namespace minihost {

// A synthetic picture for demos, tests and benchmarks: colour bars, a grey ramp, small
// highlights on a dark field and a checker with an alpha ramp.
World TestCard(int width, int height, bool deep);
// The same card in float (the 16-bit card's values ÷ 32768), its highlights eight times
// brighter than white: what a lens opens into bright discs.
World TestCardFloat(int width, int height);

}  // namespace minihost
