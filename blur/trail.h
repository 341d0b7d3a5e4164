// The trail: every edge pixel walks a line toward a centre point and each pixel on it
// becomes the mean of the pixels from it toward the centre; a light box blur follows.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/stage.h"

struct TrailRefcon {
  A_long cx, cy;       // centre, strictly inside dst's extent
  IO_Params* io;
  float amount;        // fraction
  A_long distance;     // to the farthest corner, pixels
};

// The trail stage: the lines toward the centre, then the softening box blur.
PF_Err RenderTrailEffect(IO_Params* io, const KT_Info* info);

// The trail's set-up numbers for an extent, a requested centre and an amount.
struct TrailGeometry {
  A_long cx, cy;    // moved strictly inside the extent
  A_long distance;  // to the farthest corner
  A_long length;    // N, samples per point
  A_long radius;    // of the softening box blur
};
TrailGeometry ComputeTrailGeometry(const PF_Rect& e, A_long cx, A_long cy, float amount);

// The weighted sums behind the means, for kTrailLanes neighbouring points of a line at once:
// sums[c][lane] = Σ over k = 0 … N − 1 of channels[c][i + lane + k] · weight[k], added in that
// order, for the four channels (red, green, blue, and 1 or 0 for whether the sample counts),
// or the first three only (`colours`, where every sample counts). `wide` asks for the
// 256-bit form where it runs (WideVectors()); both forms give the same sums.
constexpr int kTrailLanes = 8;
void TrailLaneSums(bool wide, const double* const* channels, int i, A_long N,
                   const double* weight, double (*sums)[kTrailLanes], bool colours = false);

// Every line's values into rc->io->dst, which holds transparent black. Where lines cross,
// the first line in row-major order of the edge pixels whose value there is not transparent
// black owns the pixel. In bands on the host's threads (ParallelRows over rc->io);
// `anyMethod` false keeps to the method that serves every extent (claims by all lines, then
// the owners' values), true takes the quicker one where it applies.
PF_Err TrailDraw(const TrailRefcon* rc, bool anyMethod);
