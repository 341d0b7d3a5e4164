// The lens mask: one value in 0 … 1 per pixel of the output's extent hint, computed once per
// render and read, through the render's context, by every stage that weighs its work by the
// lens. Each render has its own, so renders can run at the same time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>

#include "params/kt_info.h"
#include "params/numbers.h"
#include "pixel.h"
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
  // filled in bands on the host's threads (ParallelRows).
  PF_Err Fill(const PF_Rect& rect, const KT_Info* info, const IO_Params* io);
  const LensMask* get() const { return &mask_; }

 private:
  std::unique_ptr<double[]> values_;
  LensMask mask_;
};
