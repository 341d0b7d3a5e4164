#pragma once

#include "host.h"

namespace minihost {

// A synthetic picture for demos, tests and benchmarks: colour bars, a grey ramp, small
// highlights on a dark field and a checker with an alpha ramp.
World TestCard(int width, int height, bool deep);

}  // namespace minihost
