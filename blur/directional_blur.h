// The directional blur: inside the lens, the mean along a segment through the pixel with
// weights falling linearly to its ends.
#pragma once

#include <vector>

#include "core/stage.h"

struct DirectionalEntry {
  A_long dx, dy;
  double weight;
};

struct DirectionalKernel {
  IO_Params* io;
  const DirectionalEntry* entries;
  A_u_long count;
};

// The directional blur stage: a weighted segment along the direction, inside the lens.
PF_Err RenderDirectionalBlurEffect(IO_Params* io, const KT_Info* info);
// The kernel's entries for an amount in pixels and a direction in radians.
std::vector<DirectionalEntry> DirectionalKernelEntries(float amount, double direction);

template <class P>
PF_Err DirectionalBlur(void* refcon, A_long x, A_long y, P* in, P* out);
