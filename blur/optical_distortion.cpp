#include "optical_distortion.h"

#include <cmath>

#include "core/bands.h"
#include "core/lens_mask.h"
#include "core/pixel.h"

double DistortionFocalLength(A_long W, A_long H, float amount_degrees) {
  // The squares are summed in 64 bits: in 32 they overflow from about 32768 × 32768.
  const double D = std::sqrt(double(int64_t(W) * W + int64_t(H) * H));
  return D / std::tan(double(amount_degrees) * 3.141592653589793 / 180 * 0.5);
}

bool DistortionSamplePosition(const DistortionRefcon* rc, A_long x, A_long y, double* row,
                              double* col) {
  const double dx = x - rc->cx, dy = y - rc->cy;
  const double r = std::sqrt(dx * dx + dy * dy);
  if (r <= 0) return false;
  const double f = rc->focal;
  const double t = (r / f) * (r / f);
  const double R = std::sqrt(t / (1 + t)) * f;
  *row = rc->cy + R * dy / r;
  *col = rc->cx + R * dx / r;
  return true;
}

template <class P>
PF_Err OpticalDistortion(void* refcon, A_long x, A_long y, P* in, P* out) {
  const DistortionRefcon* rc = static_cast<const DistortionRefcon*>(refcon);
  double row, col;
  if (!(GetLensMask(x, y, rc->io) > 0.0001) || (x == rc->cx && y == rc->cy)) {
    *out = *in;
  } else if (rc->focal < 0.0001) {  // the whole lens shows the centre pixel
    *out = GetPointerFromData<P>(rc->io->src, rc->cy, rc->cx, 1);
  } else if (DistortionSamplePosition(rc, x, y, &row, &col)) {
    GetPointerFromDataDP<P>(rc->io->src, row, col, out, 1);
    out->alpha = in->alpha;
  } else {
    *out = *in;
  }
  return PF_Err_NONE;
}
template PF_Err OpticalDistortion<PF_Pixel>(void*, A_long, A_long, PF_Pixel*, PF_Pixel*);
template PF_Err OpticalDistortion<PF_Pixel16>(void*, A_long, A_long, PF_Pixel16*, PF_Pixel16*);

PF_Err RenderOpticalDistortionEffect(IO_Params* io, const KT_Info* info) {
  if (!info->distortVisible || !(info->distortAmount > 0)) return HandOn(io);
  DistortionRefcon rc{info->distortCenterOfLens ? info->posX : info->distortCenterX,
                      info->distortCenterOfLens ? info->posY : info->distortCenterY,
                      DistortionFocalLength(io->dst->width, io->dst->height, info->distortAmount),
                      io};
  return IterateRows<OpticalDistortion<PF_Pixel>, OpticalDistortion<PF_Pixel16>>(io, &rc);
}
