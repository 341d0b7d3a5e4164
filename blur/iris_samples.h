// The realistic blur's samples: the source as the sums read it, shared by the uniform form
// (iris_uniform.cpp) and the blur-map form (iris_blur.cpp).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/bands.h"
#include "core/mask_rows.h"
#include "core/pixel.h"
#include "core/vectors.h"
#include "params/numbers.h"
#include "iris_blur.h"

namespace iris {

template <class P>
struct Picture {
  const PF_EffectWorld* world;
  const float* H;
  const P* at(A_long x, A_long y) const {
    return GetPointerFromDataP<P>(world, y + world->extent_hint.top, x + world->extent_hint.left, 0);
  }
  bool inside(A_long x, A_long y) const {
    return x >= 0 && y >= 0 && x < world->width && y < world->height;
  }
  float h(A_long x, A_long y) const { return H[size_t(y) * world->width + x]; }
};

// Source rows top … top + count − 1 as the sums read them: {h, red, green, blue} in single
// precision a pixel (each exactly the value the sums convert), one load a sample; and, where
// wanted, lit[(y − top)(w + 1) + x + 1]: how many pixels of row y left of x, x included, have
// a highlight weight (a window without any sums to exactly zero: every term is +0).
struct SampleRows {
  A_long top = 0, count = 0, width = 0;
  std::unique_ptr<float[]> samples;
  std::unique_ptr<uint32_t[]> lit;

  // Room for the rows; every value is written when they are filled, nothing is cleared.
  bool Allocate(A_long first, A_long rows, A_long w, bool withLit) {
    top = first, count = rows, width = w;
    samples.reset(new (std::nothrow) float[4 * size_t(w) * size_t(rows)]);
    if (withLit) lit.reset(new (std::nothrow) uint32_t[(size_t(w) + 1) * size_t(rows)]);
    return samples && (!withLit || lit);
  }
  float* row(A_long y) { return samples.get() + 4 * size_t(y - top) * size_t(width); }
  const float* row(A_long y) const { return samples.get() + 4 * size_t(y - top) * size_t(width); }
  // Whether the square of radius r around (x, y), within a picture of height h, holds a pixel
  // with a highlight weight (its rows must be at hand).
  bool AnyLit(A_long x, A_long y, A_long r, A_long h) const {
    const size_t stride = size_t(width) + 1;
    const size_t x0 = size_t(std::max<A_long>(0, x - r)), x1 = size_t(std::min<A_long>(width, x + r + 1));
    const A_long y0 = std::max<A_long>(0, y - r), y1 = std::min<A_long>(h, y + r + 1);
    for (A_long row = y0; row < y1; ++row) {
      const uint32_t* t = lit.get() + size_t(row - top) * stride;
      if (t[x1] != t[x0]) return true;
    }
    return false;
  }
};

// Rows first … last − 1 of the source into `out`, which holds them.
template <class P>
void FillSampleRows(const PF_EffectWorld* src, const float* H, A_long first, A_long last,
                    SampleRows* out) {
  const Picture<P> pic{src, H};
  for (A_long y = first; y < last; ++y) {
    float* s = out->row(y);
    const P* in = pic.at(0, y);
    const float* h = H + size_t(y) * size_t(src->width);
    for (A_long x = 0; x < src->width; ++x, s += 4) {
      s[0] = h[x];
      s[1] = float(in[x].red);
      s[2] = float(in[x].green);
      s[3] = float(in[x].blue);
    }
    if (uint32_t* lit = out->lit.get()) {
      lit += size_t(y - out->top) * (size_t(src->width) + 1);
      lit[0] = 0;
      for (A_long x = 0; x < src->width; ++x) lit[x + 1] = lit[x] + (h[x] != 0);
    }
  }
}

// Every source row, filled in bands on the host's threads.
template <class P>
PF_Err Samples(const IO_Params* io, const PF_EffectWorld* src, const float* H, SampleRows* rows) {
  if (!rows->samples && !rows->Allocate(0, src->height, src->width, false))
    return PF_Err_OUT_OF_MEMORY;
  return ParallelRows(io, src->height, [&](Span band, A_long) {
    FillSampleRows<P>(src, H, band.first, band.last, rows);
  }, RowsOptions{0, false});
}

// The uniform form: every pixel with the one kernel k of the whole picture's highlights H.
template <class P>
PF_Err UniformIrisBlur(IO_Params* io, const IrisKernel& k, const float* H);

}  // namespace iris
