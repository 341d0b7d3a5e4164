// The trail: every edge pixel walks a line toward a centre point and each pixel on it
// becomes the mean of the pixels from it toward the centre; a light box blur follows.
#pragma once

#include <atomic>
#include <cstdint>

#include "render/stage.h"

struct TrailRefcon {
  A_long cx, cy;       // centre, strictly inside dst's extent
  IO_Params* io;
  float amount;        // fraction
  A_long distance;     // to the farthest corner, pixels
  // Where lines cross, the first line in row-major order of the edge pixels whose value
  // there is not transparent black owns the pixel: claims[pixel] holds the smallest
  // (line, step) key; a second iteration writes the owners' values.
  std::atomic<uint64_t>* claims;
  bool writing;
};

PF_Err RenderTrailEffect(IO_Params* io, const KT_Info* info);

template <class P>
PF_Err Trail(void* refcon, A_long x, A_long y, P* in, P* out);
