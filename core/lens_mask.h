// The lens mask: one value in 0 … 1 per pixel of the output's extent hint, computed once per
// render and read, through the render's context, by every stage that weighs its work by the
// lens. Each render has its own, so renders can run at the same time.
#pragma once

#include <cstddef>
#include <memory>

#include "params/kt_info.h"
#include "stage.h"

// Lookups outside the rectangle give 0.
struct LensMask {
  const double* values = nullptr;
  PF_Rect rect{0, 0, 0, 0};
};

// Mask value of pixel (x, y). io->src is the input layer, io->dst the output world.
double ComputeLensMask(A_long x, A_long y, const KT_Info* info, const IO_Params* io);

inline double GetLensMask(A_long x, A_long y, const IO_Params* io) {
  if (!io->mask) return 0.0;
  const PF_Rect& r = io->mask->rect;
  if (x < r.left || x >= r.right || y < r.top || y >= r.bottom) return 0.0;
  return io->mask->values[size_t(y - r.top) * size_t(r.right - r.left) + size_t(x - r.left)];
}

// Owns one render's mask: allocates and fills it over `rect`, frees it when it goes out of
// scope.
class LensMaskScope {
 public:
  LensMaskScope() = default;
  LensMaskScope(const LensMaskScope&) = delete;
  LensMaskScope& operator=(const LensMaskScope&) = delete;
  // PF_Err_OUT_OF_MEMORY when the array cannot be had; nothing is filled then. Rows are
  // filled in bands on the host's threads through `bands`, or on this thread without it.
  PF_Err Fill(const PF_Rect& rect, const KT_Info* info, const IO_Params* io,
              const PF_Iterate8Suite1* bands = nullptr);
  const LensMask* get() const { return &mask_; }

 private:
  std::unique_ptr<double[]> values_;
  LensMask mask_;
};

double GetDistanceKWithRectMode(double u, double v, double f, double hv, double hu,
                                const PF_InData* in_data);
double GetDistanceKWithTriangleMode(double u, double w, double f, double R,
                                    const PF_InData* in_data);
double GetDistanceFromPtToSegLine(double px, double py, double x1, double y1, double x2,
                                  double y2, const PF_InData* in_data);
double GetAngleFromVector(double a, double b, const PF_InData* in_data);

struct LensRefcon {
  PF_EffectWorld* input;  // the unprocessed input layer
  IO_Params* io;
  char blurMap;
  double strength;
  char inputIs16;
};

// Blends the processed pixel over the input layer by the mask.
PF_Err Lens8(void* refcon, A_long x, A_long y, PF_Pixel* in, PF_Pixel* out);
PF_Err Lens16(void* refcon, A_long x, A_long y, PF_Pixel16* in, PF_Pixel16* out);

// The input layer's pixel at (y, x), mirrored, converted to P's depth.
template <class P>
P InputPixel(const PF_EffectWorld* input, bool inputIs16, A_long y, A_long x);

// The lens composite: the treated picture over the input layer by the mask.
PF_Err RenderLensEffect(IO_Params* io, const KT_Info* info, PF_EffectWorld* input);
