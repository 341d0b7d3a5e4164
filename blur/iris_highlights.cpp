// The highlight map: how much each source pixel lights the realistic blur's discs.
#include "iris_blur.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/bands.h"
#include "core/lens_mask.h"
#include "core/pixel.h"
#include "core/lanes.h"
#include "core/vectors.h"
#include "params/numbers.h"

namespace {

template <class P>
constexpr double kHighlightMax2 = double(PixelTraits<P>::kMax) * PixelTraits<P>::kMax;

// Pixels x0 … x1 − 1 of a row.
template <class P>
void HighlightsPlain(const P* in, A_long x0, A_long x1, float* out) {
  for (A_long x = x0; x < x1; ++x) {
    const double a = in[x].alpha, r = in[x].red, g = in[x].green, b = in[x].blue;
    const double luma = kLumaRed * r + kLumaGreen * g + kLumaBlue * b;
    // Colour below black lights nothing (the integer depths have none).
    out[x] = float(std::sqrt(std::max(luma * a / kHighlightMax2<P>, 0.0)));
  }
}

#if VIZMIRA_HAS_WIDE
// One channel of four pixels as doubles.
template <class P, class C>
VIZMIRA_WIDE [[gnu::always_inline]] inline V4d ChannelLanes(const P* p, C P::*channel) {
  return lanes::FromInts(V4i{p[0].*channel, p[1].*channel, p[2].*channel, p[3].*channel});
}

// Four pixels at a time: each lane the very operations of the plain form, in its order.
template <class P>
VIZMIRA_WIDE void HighlightsWide(const P* in, A_long x0, A_long x1, float* out) {
  A_long x = x0;
  for (; x + 4 <= x1; x += 4) {
    const P* p = in + x;
    const V4d a = ChannelLanes(p, &P::alpha), r = ChannelLanes(p, &P::red);
    const V4d g = ChannelLanes(p, &P::green), b = ChannelLanes(p, &P::blue);
    const V4d luma = kLumaRed * r + kLumaGreen * g + kLumaBlue * b;
    const V4f h = lanes::NarrowToFloats(lanes::Sqrt(luma * a / kHighlightMax2<P>));
    std::memcpy(out + x, &h, sizeof h);
  }
  HighlightsPlain(in, x, x1, out);
}
#endif

template <class P>
void HighlightRows(const PF_EffectWorld* src, float* map, Span rows) {
  const auto highlights = [] {
    if constexpr (kIsFloat<P>) return HighlightsPlain<P>;
    else return VIZMIRA_FORM(HighlightsPlain<P>, HighlightsWide<P>);
  }();
  for (A_long y = rows.first; y < rows.last; ++y)
    highlights(RowOf<P>(src, y), 0, src->width, map + size_t(y) * size_t(src->width));
}

}  // namespace

std::unique_ptr<float[]> HighlightMap(const PF_EffectWorld* src, const IO_Params* io,
                                      PF_Err* err) {
  std::unique_ptr<float[]> map(new (std::nothrow) float[size_t(src->width) * size_t(src->height)]);
  if (!map) return map;
  float* values = map.get();
  const PF_Err e = ByDepth(io, src, [&](auto pixel) {
    return ParallelRows(io, src->height, [&](Span rows, A_long) {
      HighlightRows<decltype(pixel)>(src, values, rows);
    }, RowsOptions{0, false});
  });
  if (e) {
    if (err) *err = e;
    map.reset();
  }
  return map;
}
