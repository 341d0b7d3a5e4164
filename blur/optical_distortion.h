// The wide-angle distortion: each pixel inside the lens shows the pixel nearer the centre
// along its ray, r·f / √(f² + r²) from it.
#pragma once

#include "core/stage.h"

struct DistortionRefcon {
  A_long cx, cy;  // centre, whole pixels
  double focal;   // pixels
  IO_Params* io;
};

// The optical distortion stage: the wide-angle remap of the picture inside the lens.
PF_Err RenderOpticalDistortionEffect(IO_Params* io, const KT_Info* info);
// Focal length of an angle of view in degrees over a picture of W × H pixels.
double DistortionFocalLength(A_long W, A_long H, float amount_degrees);
// Where pixel (x, y) samples; false where it keeps its own value.
bool DistortionSamplePosition(const DistortionRefcon* rc, A_long x, A_long y, double* row,
                              double* col);

template <class P>
PF_Err OpticalDistortion(void* refcon, A_long x, A_long y, P* in, P* out);
