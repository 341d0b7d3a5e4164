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
#include "core/vectors.h"
#include "params/numbers.h"

namespace {

template <class P>
constexpr double kHighlightMax2 = PixelTraits<P>::kDeep ? 1073741824.0 : 65025.0;

// Pixels x0 … x1 − 1 of a row.
template <class P>
void HighlightsPlain(const P* in, A_long x0, A_long x1, float* out) {
  for (A_long x = x0; x < x1; ++x) {
    const double a = in[x].alpha, r = in[x].red, g = in[x].green, b = in[x].blue;
    const double luma = kLumaRed * r + kLumaGreen * g + kLumaBlue * b;
    out[x] = float(std::sqrt(luma * a / kHighlightMax2<P>));
  }
}

#if VIZMIRA_HAS_WIDE
// One channel of four pixels as doubles.
template <class P, class C>
VIZMIRA_WIDE [[gnu::always_inline]] inline __m256d ChannelLanes(const P* p, C P::*channel) {
  return _mm256_cvtepi32_pd(_mm_setr_epi32(p[0].*channel, p[1].*channel, p[2].*channel, p[3].*channel));
}

// Four pixels at a time: each lane the very operations of the plain form, in its order.
template <class P>
VIZMIRA_WIDE void HighlightsWide(const P* in, A_long x0, A_long x1, float* out) {
  const __m256d kr = _mm256_set1_pd(kLumaRed), kg = _mm256_set1_pd(kLumaGreen), kb = _mm256_set1_pd(kLumaBlue);
  const __m256d max2 = _mm256_set1_pd(kHighlightMax2<P>);
  A_long x = x0;
  for (; x + 4 <= x1; x += 4) {
    const P* p = in + x;
    const __m256d a = ChannelLanes(p, &P::alpha), r = ChannelLanes(p, &P::red);
    const __m256d g = ChannelLanes(p, &P::green), b = ChannelLanes(p, &P::blue);
    const __m256d luma = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(kr, r), _mm256_mul_pd(kg, g)),
                                       _mm256_mul_pd(kb, b));
    _mm_storeu_ps(out + x, _mm256_cvtpd_ps(_mm256_sqrt_pd(_mm256_div_pd(_mm256_mul_pd(luma, a), max2))));
  }
  HighlightsPlain(in, x, x1, out);
}
#endif

template <class P>
void HighlightRows(const PF_EffectWorld* src, float* map, Span rows) {
  const auto highlights = VIZMIRA_FORM(HighlightsPlain<P>, HighlightsWide<P>);
  for (A_long y = rows.first; y < rows.last; ++y)
    highlights(RowOf<P>(src, y), 0, src->width, map + size_t(y) * size_t(src->width));
}

}  // namespace

std::unique_ptr<float[]> HighlightMap(const PF_EffectWorld* src, const IO_Params* io,
                                      PF_Err* err) {
  std::unique_ptr<float[]> map(new (std::nothrow) float[size_t(src->width) * size_t(src->height)]);
  if (!map) return map;
  float* values = map.get();
  const PF_Err e = ByDepth(src, [&](auto pixel) {
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
