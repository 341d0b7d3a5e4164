#include "iris_blur.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "core/bands.h"
#include "core/lens_mask.h"
#include "core/pixel.h"
#include "core/vectors.h"
#include "params/numbers.h"

namespace {
}  // namespace

void IrisCells::Add(const Weight_Pt& c, const PF_EffectWorld* src) {
  const ptrdiff_t pixel = IsDeep(src) ? sizeof(PF_Pixel16) : sizeof(PF_Pixel);
  if (!cells.empty() && (c.y < cells.back().y || (c.y == cells.back().y && c.x <= cells.back().x)))
    ordered = false;
  if (cells.empty() || c.y != cells.back().y) rows.emplace_back(c.y, cells.size());
  cells.push_back(c);
  byteOffsets.push_back(ptrdiff_t(c.y) * src->rowbytes + ptrdiff_t(c.x) * pixel);
  highlightOffsets.push_back(ptrdiff_t(c.y) * src->width + c.x);
  reach = std::max({reach, c.x < 0 ? -c.x : c.x, c.y < 0 ? -c.y : c.y});
}

A_long BlurMapRadius(double m, A_long R) { return A_long(std::pow(m, 1.5) * R + 0.5); }

IrisShape IrisShapeFrom(const KT_Info* info) {
  return IrisShape{int(info->irisSides) + 2, double(info->irisRoundness),
                   double(info->irisAspect), info->irisRotation};
}

IrisKernel BuildIrisGrid(const IrisShape& shape, A_long r) {
  IrisKernel k;
  k.rx = k.ry = r;
  const A_long side = 2 * r + 1;
  k.grid.assign(size_t(side) * size_t(side), 0.0f);
  const double A = 2 * kPi / shape.sides;
  const double a = shape.aspect, rho = shape.roundness;
  const double c = std::cos(-shape.rotation), s = std::sin(-shape.rotation);
  // The flat sides' distance, rounded to single precision as the straight-side formula has it.
  const float flat = float(r * std::cos((A - A * rho) * 0.5));
  for (A_long dy = -r; dy <= r; ++dy) {
    for (A_long dx = -r; dx <= r; ++dx) {
      float& g = k.grid[size_t(dy + r) * side + size_t(dx + r)];
      if (dx == 0 && dy == 0) {
        g = 1.0f;
        continue;
      }
      // An aspect of 0 squeezes the shape to nothing: only the centre weighs.
      if (!(a > 0)) continue;
      const double j = -dx, i = dy;
      const double u = (c * j + s * i) / a;
      const double v = s * j - c * i;
      double d = std::sqrt(u * u + v * v);
      if (float(a) > 1.0f) d *= a;
      double theta;
      if (u == 0) {
        theta = v > 0 ? kPi / 2 : 3 * kPi / 2;
      } else {
        theta = std::atan(v / u);
        if (u < 0) theta += kPi;
        if (theta < 0) theta += 2 * kPi;
      }
      double t = (theta + kPi / 2) / A;
      t -= std::trunc(t);
      double b;
      if (rho * 0.5 > t || t > 1 - rho * 0.5) b = r;  // near a corner: the circle
      else b = float(flat / std::cos((0.5 - t) * A));  // the straight side
      if (d < b + kNegligible) g = 1.0f;
      else if (d < b + kNegligible + 1) g = float(d - b - kNegligible);
    }
  }
  return k;
}

std::vector<RowDifference> RowDifferences(const IrisKernel& k) {
  const A_long r = k.rx;
  std::vector<RowDifference> list;
  for (A_long dy = -r; dy <= r; ++dy) {
    auto G = [&](A_long dx) { return dx < -r || dx > r ? 0.0 : double(k.at(dx, dy)); };
    for (A_long x = -(r + 1); x <= r; ++x) {
      const double w = G(x) - G(x + 1);
      if (w != 0) list.push_back(RowDifference{x, dy, w});
    }
  }
  return list;
}

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

#if defined(__x86_64__) || defined(__i386__)
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
#else
template <class P>
void HighlightsWide(const P* in, A_long x0, A_long x1, float* out) {
  HighlightsPlain(in, x0, x1, out);
}
#endif

template <class P>
void HighlightRows(const PF_EffectWorld* src, float* map, Span rows) {
  const bool wide = WideVectors();
  for (A_long y = rows.first; y < rows.last; ++y) {
    const P* in = RowOf<P>(src, y);
    float* out = map + size_t(y) * size_t(src->width);
    if (wide) HighlightsWide(in, 0, src->width, out);
    else HighlightsPlain(in, 0, src->width, out);
  }
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

namespace {

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

// The uniform form, row by row: running sums over the difference list in double precision,
// re-summed in full at the start of a row, every `period` pixels, and whenever the running
// weight falls near zero, so that leftovers of bright patches never streak across dark
// ones. Each output equals the direct kernel sum within rounding. A row depends on nothing
// but the source, so bands of rows run on the host's threads.
struct UniformJob {
  IO_Params* io;
  const IrisKernel* k;
  const float* H;
  std::vector<RowDifference> list;
  SampleRows samples;  // the whole picture's, where the bands do not make their own
};

// The running sums {weight, red, green, blue} of a row as one vector: its lanes take the
// very additions the difference list gives one at a time, in its order.
typedef V4d V4;

// One kernel row's cells dx0 … dx1 added to the sums of kRows rows, in column order: g·h
// rounded to single precision, sums in double. `weights` and each row's samples are
// indexed by dx.
template <int kRows>
[[gnu::always_inline]] inline void AddCells(const float* const* rows, const float* weights,
                                            A_long dx0, A_long dx1, V4* sums) {
  V4 acc[kRows];
  for (int g = 0; g < kRows; ++g) acc[g] = sums[g];
  for (A_long dx = dx0; dx <= dx1; ++dx) {
    const float weight = weights[dx];
    if (weight == 0) continue;
    for (int g = 0; g < kRows; ++g) {
      V4f f;
      std::memcpy(&f, rows[g] + 4 * dx, sizeof f);  // h, red, green, blue
      const double w = float(weight * f[0]);
      V4 v = __builtin_convertvector(f, V4);
      v[0] = 1.0;  // the weight's own sum adds w · 1
      acc[g] += V4{w, w, w, w} * v;
    }
  }
  for (int g = 0; g < kRows; ++g) sums[g] = acc[g];
}

#if defined(__x86_64__) || defined(__i386__)
// The same in 256-bit instructions: g·h is the first lane of the samples' single-precision
// product with g, widened with the sample.
template <int kRows>
VIZMIRA_WIDE void AddCellsWide(const float* const* rows, const float* weights, A_long dx0,
                               A_long dx1, V4* sums) {
  __m256d acc[kRows];
  for (int g = 0; g < kRows; ++g) acc[g] = __m256d(sums[g]);
  const __m256d one = _mm256_set1_pd(1.0);
  for (A_long dx = dx0; dx <= dx1; ++dx) {
    if (weights[dx] == 0) continue;
    const __m128 weight = _mm_set1_ps(weights[dx]);
    for (int g = 0; g < kRows; ++g) {
      const __m128 f = _mm_loadu_ps(rows[g] + 4 * dx);
      const __m256d w = _mm256_permute4x64_pd(_mm256_cvtps_pd(_mm_mul_ps(weight, f)), 0);
      const __m256d v = _mm256_blend_pd(_mm256_cvtps_pd(f), one, 1);
      acc[g] = _mm256_add_pd(acc[g], _mm256_mul_pd(w, v));
    }
  }
  for (int g = 0; g < kRows; ++g) sums[g] = V4(acc[g]);
}
#else
template <int kRows>
void AddCellsWide(const float* const* rows, const float* weights, A_long dx0, A_long dx1,
                  V4* sums) {
  AddCells<kRows>(rows, weights, dx0, dx1, sums);
}
#endif

// The sums of the whole kernel at column x for kRows rows at once: for each row every
// weighing cell over the picture in the kernel's order (rows, then columns). Each row's sums
// are one chain of additions; the rows' chains run side by side. A row without a lit pixel
// in reach sums to exactly zero, and reads the zero samples `none` (four to a cell, 2r + 1
// cells) instead, as does a kernel row off the picture: each of their terms is +0, which
// leaves the sums as they are.
template <int kRows>
void DirectSums(const SampleRows& samples, A_long H, const IrisKernel& k, A_long x,
                const A_long* ys, const float* none, V4* out) {
  const A_long r = k.rx, W = samples.width;
  bool lit[kRows], any = false;
  for (int g = 0; g < kRows; ++g) any |= lit[g] = samples.AnyLit(x, ys[g], r, H);
  for (int g = 0; g < kRows; ++g) out[g] = V4{0, 0, 0, 0};
  if (!any) return;
  const A_long dx0 = std::max(-r, -x), dx1 = std::min(r, W - 1 - x);
  const bool wide = WideVectors();
  for (A_long dy = -r; dy <= r; ++dy) {
    const float* rows[kRows];
    for (int g = 0; g < kRows; ++g) {
      const A_long y = ys[g] + dy;
      rows[g] = lit[g] && y >= 0 && y < H ? samples.row(y) + 4 * size_t(x) : none + 4 * r;
    }
    const float* weights = &k.grid[size_t(dy + r) * size_t(2 * r + 1) + size_t(r)];
    if (wide) AddCellsWide<kRows>(rows, weights, dx0, dx1, out);
    else AddCells<kRows>(rows, weights, dx0, dx1, out);
  }
}

// A row's differences whose rows lie in the picture, in the list's order, with those rows'
// pixels, highlight weights and samples at hand.
template <class P>
struct Entry {
  A_long x;
  double weight;
  const P* pixels;
  const float* h;
  const float* samples;  // four to a pixel
};

// The difference list's contribution at column x for `kRows` neighbouring rows at once
// (independent chains of additions, so one row's wait is another's work): every difference
// lies in the row, so no checks, and a zero weight adds nothing. Row g reads g · sampleStep
// floats further on than row 0's entries.
template <int kRows, class P>
[[gnu::always_inline]] inline void AddDifferences(const Entry<P>* entries, size_t count, A_long x,
                                                  ptrdiff_t sampleStep, V4* sums) {
  V4 acc[kRows];  // in registers while the list runs
  for (int g = 0; g < kRows; ++g) acc[g] = sums[g];
  for (size_t i = 0; i < count; ++i) {
    const Entry<P>& e = entries[i];
    const float* at = e.samples + 4 * ptrdiff_t(x + e.x);
    for (int g = 0; g < kRows; ++g) {
      V4f f;
      std::memcpy(&f, at + g * sampleStep, sizeof f);
      V4 v = __builtin_convertvector(f, V4);  // h, red, green, blue
      const double w = e.weight * v[0];
      v[0] = 1.0;  // the weight's own sum adds w · 1
      acc[g] += V4{w, w, w, w} * v;
    }
  }
  for (int g = 0; g < kRows; ++g) sums[g] = acc[g];
}

template <class P>
void AddDifferencesPlain(const Entry<P>* entries, size_t count, A_long x, ptrdiff_t sampleStep,
                         V4* acc, int rows) {
  if (rows == 4) AddDifferences<4>(entries, count, x, sampleStep, acc);
  else AddDifferences<1>(entries, count, x, sampleStep, acc);
}

#if defined(__x86_64__) || defined(__i386__)
// The same in 256-bit instructions, written out: the sample widened in one conversion, the
// weight w = e.weight · h formed in every lane by one product and the first lane replaced
// by 1 (the compiler's own form widens the halves apart to replace it).
template <int kRows, class P>
VIZMIRA_WIDE [[gnu::always_inline]] inline void AddDifferences256(
    const Entry<P>* entries, size_t count, A_long x, ptrdiff_t sampleStep, V4* sums) {
  __m256d acc[kRows];
  for (int g = 0; g < kRows; ++g) acc[g] = __m256d(sums[g]);
  const __m256d one = _mm256_set1_pd(1.0);
  for (size_t i = 0; i < count; ++i) {
    const Entry<P>& e = entries[i];
    const float* at = e.samples + 4 * ptrdiff_t(x + e.x);
    const __m256d weight = _mm256_set1_pd(e.weight);
    for (int g = 0; g < kRows; ++g) {
      const __m256d v = _mm256_cvtps_pd(_mm_loadu_ps(at + g * sampleStep));  // h, red, green, blue
      const __m256d w = _mm256_mul_pd(weight, _mm256_permute4x64_pd(v, 0));
      acc[g] = _mm256_add_pd(acc[g], _mm256_mul_pd(w, _mm256_blend_pd(v, one, 1)));
    }
  }
  for (int g = 0; g < kRows; ++g) sums[g] = V4(acc[g]);
}

template <class P>
VIZMIRA_WIDE void AddDifferencesWide(const Entry<P>* entries, size_t count, A_long x,
                                     ptrdiff_t sampleStep, V4* acc, int rows) {
  if (rows == 8) AddDifferences256<8>(entries, count, x, sampleStep, acc);
  else if (rows == 4) AddDifferences256<4>(entries, count, x, sampleStep, acc);
  else AddDifferences256<1>(entries, count, x, sampleStep, acc);
}
#else
template <class P>
void AddDifferencesWide(const Entry<P>* entries, size_t count, A_long x, ptrdiff_t sampleStep,
                        V4* acc, int rows) {
  AddDifferencesPlain(entries, count, x, sampleStep, acc, rows);
}
#endif

template <class P>
void AddDifferencesFor(const Entry<P>* entries, size_t count, A_long x, ptrdiff_t sampleStep,
                       V4* acc, int rows) {
  if (WideVectors()) return AddDifferencesWide(entries, count, x, sampleStep, acc, rows);
  AddDifferencesPlain(entries, count, x, sampleStep, acc, rows);
}

// The colours a row's sums {w, red, green, blue} give: trunc(c / w) limited to 0 … max, or
// 0 where w is not positive; for `rows` rows at once.
void MeansPlain(const V4* sums, int rows, double max, int32_t (*out)[4]) {
  for (int g = 0; g < rows; ++g) {
    const double sw = sums[g][0];
    for (int c = 1; c < 4; ++c)
      out[g][c] = sw > 0 ? int32_t(std::clamp(std::trunc(sums[g][c] / sw), 0.0, max)) : 0;
  }
}
#if defined(__x86_64__) || defined(__i386__)
// The same with one division for the three colours (the quotients are not negative, so
// truncating the lesser of the quotient and max is the same limit).
VIZMIRA_WIDE void MeansWide(const V4* sums, int rows, double max, int32_t (*out)[4]) {
  const __m256d top = _mm256_set1_pd(max), zero = _mm256_setzero_pd();
  for (int g = 0; g < rows; ++g) {
    const __m256d s = __m256d(sums[g]), sw = _mm256_permute4x64_pd(s, 0);
    const __m256d q = _mm256_min_pd(_mm256_div_pd(s, sw), top);
    const __m256d lit = _mm256_cmp_pd(sw, zero, _CMP_GT_OQ);
    const __m128i t = _mm256_cvttpd_epi32(_mm256_and_pd(q, lit));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out[g]), t);
  }
}
#else
void MeansWide(const V4* sums, int rows, double max, int32_t (*out)[4]) {
  MeansPlain(sums, rows, max, out);
}
#endif

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

// A band of rows of the uniform form, reading the picture's samples or, for a small kernel,
// making those of its rows and of the rows its kernels reach.
template <class P>
PF_Err UniformIrisRows(UniformJob* job, Span rows) {
  using C = typename PixelTraits<P>::Channel;
  constexpr double kMax = PixelTraits<P>::kMax;
  IO_Params* io = job->io;
  const IrisKernel& k = *job->k;
  const std::vector<RowDifference>& list = job->list;
  const Picture<P> pic{io->src, job->H};
  PF_EffectWorld* dst = io->dst;
  const A_long W = std::min(dst->width, io->src->width);
  const A_long period = std::max<A_long>(64, 4 * k.rx);
  const A_long srcW = io->src->width, srcH = io->src->height;
  const ptrdiff_t sampleStep = 4 * ptrdiff_t(srcW);
  SampleRows own;
  if (!job->samples.samples) {
    const A_long top = std::max<A_long>(0, rows.first - k.rx);
    const A_long bottom = std::min<A_long>(srcH, rows.last + k.rx);
    if (!own.Allocate(top, bottom - top, srcW, true)) return PF_Err_OUT_OF_MEMORY;
    FillSampleRows<P>(io->src, job->H, top, bottom, &own);
  }
  const SampleRows& samples = job->samples.samples ? job->samples : own;

  // One row's state: its entries, running sums, the largest weight since the last full sum
  // and the pixels since then.
  struct Row {
    A_long y;
    P* out;          // the row of dst
    const P* under;  // the row of the source, whose alphas the pixels keep
    std::vector<Entry<P>> entries;
    V4 s;
    double peak;
    A_long since;
  };
  // Eight rows side by side where there are 256-bit vectors (sixteen registers hold their
  // sums), else four.
  constexpr int kMaxGroup = 8;
  const int groupSize = WideVectors() ? 8 : 4;
  Row group[kMaxGroup];
  for (Row& r : group) r.entries.reserve(list.size());

  const auto means = WideVectors() ? MeansWide : MeansPlain;
  // The row's pixel at x: the source's alpha and the colours of `mean` (MeansPlain's).
  auto put = [&](const Row& r, A_long x, const int32_t* mean) {
    r.out[x] = P{r.under[x].alpha, C(mean[1]), C(mean[2]), C(mean[3])};
  };
  auto write = [&](const Row& r, A_long x) {
    int32_t mean[1][4];
    MeansPlain(&r.s, 1, kMax, mean);
    put(r, x, mean[0]);
  };
  std::vector<float> none(4 * size_t(2 * k.rx + 1), 0.0f);
  auto restart = [](Row& r) {
    r.peak = r.s[0];
    r.since = 0;
  };
  auto fullSum = [&](Row& r, A_long x) {
    DirectSums<1>(samples, srcH, k, x, &r.y, none.data(), &r.s);
    restart(r);
  };
  // After the differences were added: the bookkeeping of one step, and a full sum where the
  // running weight fell near zero.
  auto afterStep = [&](Row& r, A_long x) {
    r.peak = std::max(r.peak, double(r.s[0]));
    ++r.since;
    if (r.s[0] <= 1e-6 * r.peak) fullSum(r, x);
  };
  // One row at column x, on its own.
  auto step = [&](Row& r, A_long x) {
    const bool resum = x == 0 || r.since >= period;
    if (!resum && x - k.rx - 1 >= 0 && x + k.rx < srcW) {
      AddDifferencesFor(r.entries.data(), r.entries.size(), x, sampleStep, &r.s, 1);
      afterStep(r, x);
    } else if (!resum) {
      double sw = r.s[0], sr = r.s[1], sg = r.s[2], sb = r.s[3];
      for (const Entry<P>& e : r.entries) {
        const A_long at = x + e.x;
        if (at < 0 || at >= srcW) continue;
        const double w = e.weight * e.h[at];
        if (w == 0) continue;
        const P* p = e.pixels + at;
        sw += w;
        sr += w * p->red;
        sg += w * p->green;
        sb += w * p->blue;
      }
      r.s = V4{sw, sr, sg, sb};
      afterStep(r, x);
    } else {
      fullSum(r, x);
    }
    write(r, x);
  };

  for (A_long y0 = rows.first; y0 < rows.last; y0 += groupSize) {
    if (PF_Err err = io->in_data->inter.abort(io->in_data->effect_ref)) return err;
    const int n = int(std::min<A_long>(groupSize, rows.last - y0));
    bool full = n == groupSize;  // every row of the group has the whole list
    for (int g = 0; g < n; ++g) {
      Row& r = group[g];
      r.y = y0 + g;
      r.out = RowOf<P>(dst, r.y);  // rows and columns within both pictures: none folds
      r.under = pic.at(0, r.y);
      r.entries.clear();
      for (const RowDifference& e : list)
        if (r.y + e.y >= 0 && r.y + e.y < io->src->height)
          r.entries.push_back(Entry<P>{e.x, e.weight, pic.at(0, r.y + e.y),
                                       job->H + size_t(r.y + e.y) * size_t(srcW),
                                       samples.row(r.y + e.y)});
      full = full && r.entries.size() == list.size();
      r.s = V4{0, 0, 0, 0};
      r.peak = 0;
      r.since = 0;
    }
    for (A_long x = 0; x < W; ++x) {
      // The group's rows run their differences side by side where each would take the
      // checked-free step; otherwise each row steps on its own.
      bool together = full && x - k.rx - 1 >= 0 && x + k.rx < srcW;
      for (int g = 0; together && g < n; ++g) together = group[g].since < period;
      if (!together) {
        // Where every row of the group starts over, their full sums run side by side.
        bool restartAll = full;
        for (int g = 0; restartAll && g < n; ++g) restartAll = x == 0 || group[g].since >= period;
        if (!restartAll) {
          for (int g = 0; g < n; ++g) step(group[g], x);
          continue;
        }
        A_long ys[kMaxGroup];
        V4 sums[kMaxGroup];
        for (int g = 0; g < n; ++g) ys[g] = group[g].y;
        if (n == 8) DirectSums<8>(samples, srcH, k, x, ys, none.data(), sums);
        else DirectSums<4>(samples, srcH, k, x, ys, none.data(), sums);
        for (int g = 0; g < n; ++g) {
          group[g].s = sums[g];
          restart(group[g]);
          write(group[g], x);
        }
        continue;
      }
      V4 acc[kMaxGroup];
      for (int g = 0; g < groupSize; ++g) acc[g] = group[g].s;
      AddDifferencesFor(group[0].entries.data(), list.size(), x, sampleStep, acc, groupSize);
      for (int g = 0; g < groupSize; ++g) {
        group[g].s = acc[g];
        afterStep(group[g], x);
        acc[g] = group[g].s;  // a full sum may have replaced it
      }
      int32_t mean[kMaxGroup][4];
      means(acc, groupSize, kMax, mean);
      for (int g = 0; g < groupSize; ++g) put(group[g], x, mean[g]);
    }
  }
  return PF_Err_NONE;
}

template <class P>
PF_Err UniformIrisBlur(IO_Params* io, const IrisKernel& k, const float* H) {
  UniformJob job{io, &k, H, RowDifferences(k), {}};
  const A_long rows = std::min(io->dst->height, io->src->height);
  // A band of a small kernel makes the samples of its rows and of the 2r rows its kernels
  // reach beyond them: they stay in the cache, and the picture's tens of megabytes are
  // neither written nor fetched again. A large kernel's bands would make too many rows twice
  // over: they read the picture's samples, made first.
  constexpr A_long kOwnSamplesReach = 8;
  if (k.rx > kOwnSamplesReach) {
    if (!job.samples.Allocate(0, io->src->height, io->src->width, true)) return PF_Err_OUT_OF_MEMORY;
    if (PF_Err err = Samples<P>(io, io->src, H, &job.samples)) return err;
  }
  return ParallelRows(io, rows, [&job](Span band, A_long) { return UniformIrisRows<P>(&job, band); });
}

// The last row repeats the row above it, then the last column the column before it.
template <class P>
void RepairBorder(PF_EffectWorld* dst) {
  const A_long L = dst->extent_hint.left, T = dst->extent_hint.top;
  const A_long W = dst->width, H = dst->height;
  for (A_long x = 0; x < W; ++x)
    *GetPointerFromDataP<P>(dst, T + H - 1, L + x, 1) = *GetPointerFromDataP<P>(dst, T + H - 2, L + x, 1);
  for (A_long y = 0; y < H; ++y)
    *GetPointerFromDataP<P>(dst, T + y, L + W - 1, 1) = *GetPointerFromDataP<P>(dst, T + y, L + W - 2, 1);
}

// The blur-map form's rows. Where a pixel's whole kernel lies in the picture its sums
// {weight, red, green, blue} run as one vector of floats over the samples (a lane of a vector
// operation is the scalar operation; a transparent sample, skipped by the per-pixel routine,
// has h = 0 and adds +0), two neighbouring pixels side by side when they have the same
// kernel; elsewhere the per-pixel routine runs.

template <int kPixels>
void KernelSums(const IrisCells& k, const float* at, V4f* acc) {
  for (size_t i = 0; i < k.cells.size(); ++i) {
    const float* q = at + 4 * k.highlightOffsets[i];
    const float weight = k.cells[i].weight;
    for (int p = 0; p < kPixels; ++p) {
      V4f v;
      std::memcpy(&v, q + 4 * p, sizeof v);
      const float w = v[0] * weight;
      v[0] = 1.0f;  // the weight's own sum adds w · 1
      acc[p] += V4f{w, w, w, w} * v;
    }
  }
}

template <class P>
void WriteKernelMean(const V4f& s, const P& in, P* out) {
  if (s[0] < kNegligibleF) {
    *out = in;
    return;
  }
  using C = typename PixelTraits<P>::Channel;
  constexpr float kMax = float(PixelTraits<P>::kMax);
  out->alpha = in.alpha;
  out->red = C(std::min(kMax, s[1] / s[0]));
  out->green = C(std::min(kMax, s[2] / s[0]));
  out->blue = C(std::min(kMax, s[3] / s[0]));
}

template <class P>
PF_Err MapRows(const IrisRefcon* rc, const SampleRows* samples, Span rows) {
  return ForEachPixel<P>(rc->io->src, rc->io->dst, rows, [samples, rc](A_long y) {
    const PF_EffectWorld* src = rc->io->src;
    const float* row = samples->row(y);
    return [=](A_long x, P* in, P* out) -> PF_Err {
      const IrisCells* k = rc->kernels[BlurMapRadius(GetLensMask(x, y, rc->io), rc->R)];
      if (!k) return PF_Err_NONE;  // another batch's radius
      const bool inside = y < src->height && x - k->reach >= 0 && y - k->reach >= 0 &&
                          x + k->reach < src->width && y + k->reach < src->height;
      if (!inside)
        return IrisBlur<P>(const_cast<IrisRefcon*>(rc), x, y, in, out);
      V4f acc[1] = {};
      KernelSums<1>(*k, row + 4 * size_t(x), acc);
      WriteKernelMean(acc[0], *in, out);
      return PF_Err_NONE;
    };
  });
}

// The blur-map form builds only the kernels its mask asks for, a batch at a time, so that
// memory grows with R² rather than R³; each pass writes the pixels of its batch's radii.
template <class P>
PF_Err BlurMapIrisBlur(IO_Params* io, const IrisShape& shape, A_long R, const float* H) {
  PF_EffectWorld* dst = io->dst;
  std::vector<char> needed(size_t(R) + 1, 0);
  for (A_long y = 0; y < dst->height; ++y)
    for (A_long x = 0; x < dst->width; ++x) needed[size_t(BlurMapRadius(GetLensMask(x, y, io), R))] = 1;

  const size_t budget = std::max<size_t>(size_t(1) << 20, 4 * size_t(2 * R + 1) * size_t(2 * R + 1));
  std::vector<IrisCells> kernels(size_t(R) + 1);
  std::vector<const IrisCells*> table(size_t(R) + 1, nullptr);
  IrisRefcon rc{table.data(), io, H, R};
  SampleRows samples;
  if (PF_Err err = Samples<P>(io, io->src, H, &samples)) return err;

  A_long next = 0;
  while (next <= R) {
    size_t cells = 0;
    A_long first = next;
    for (; next <= R && (cells == 0 || cells < budget); ++next) {
      if (!needed[size_t(next)]) continue;
      const IrisKernel grid = BuildIrisGrid(shape, next);
      IrisCells& sparse = kernels[size_t(next)];
      for (A_long dy = -next; dy <= next; ++dy)
        for (A_long dx = -next; dx <= next; ++dx) {
          const float g = grid.at(dx, dy);
          if (double(g) > kNegligible) sparse.Add(Weight_Pt{dx, dy, g}, io->src);
        }
      cells += sparse.cells.size();
      table[size_t(next)] = &sparse;
    }
    if (cells == 0) continue;
    if (PF_Err err = ParallelRows(io, dst->height, [&](Span band, A_long) {
          return MapRows<P>(&rc, &samples, band);
        }))
      return err;
    for (A_long r = first; r < next; ++r) {
      table[size_t(r)] = nullptr;
      kernels[size_t(r)] = IrisCells{};
    }
  }
  return PF_Err_NONE;
}

}  // namespace

// Blur-map form at one pixel: kernel radius from the mask, opaque samples weighted by their
// brightness, sums in single precision.
template <class P>
PF_Err IrisBlur(void* refcon, A_long x, A_long y, P* in, P* out) {
  const IrisRefcon* rc = static_cast<const IrisRefcon*>(refcon);
  const IrisCells* k = rc->kernels[BlurMapRadius(GetLensMask(x, y, rc->io), rc->R)];
  if (!k) return PF_Err_NONE;  // another batch's radius
  const Picture<P> pic{rc->io->src, rc->highlights};
  float total = 0, r = 0, g = 0, b = 0;
  const PF_EffectWorld* src = rc->io->src;
  if (x - k->reach >= 0 && y - k->reach >= 0 && x + k->reach < src->width &&
      y + k->reach < src->height) {
    // The whole kernel inside: the same sums, in the same order, without the checks.
    const char* at = reinterpret_cast<const char*>(pic.at(x, y));
    const float* h = rc->highlights + size_t(y) * size_t(src->width) + size_t(x);
    for (size_t i = 0; i < k->cells.size(); ++i) {
      const P* s = reinterpret_cast<const P*>(at + k->byteOffsets[i]);
      if (s->alpha == 0) continue;
      const float w = h[k->highlightOffsets[i]] * k->cells[i].weight;
      total += w;
      r += w * s->red;
      g += w * s->green;
      b += w * s->blue;
    }
  } else {
    auto add = [&](const Weight_Pt& c) {
      const P* s = pic.at(x + c.x, y + c.y);
      if (s->alpha == 0) return;
      const float w = pic.h(x + c.x, y + c.y) * c.weight;
      total += w;
      r += w * s->red;
      g += w * s->green;
      b += w * s->blue;
    };
    if (k->ordered) {
      // Only the cells over the picture, found by row and column: the same cells, in the
      // same order, as the check of every cell below keeps.
      const auto& rows = k->rows;
      auto row = std::lower_bound(rows.begin(), rows.end(), -y,
                                  [](const std::pair<A_long, size_t>& a, A_long v) { return a.first < v; });
      for (; row != rows.end() && y + row->first < src->height; ++row) {
        const auto first = k->cells.begin() + ptrdiff_t(row->second);
        const auto last = row + 1 == rows.end() ? k->cells.end()
                                                : k->cells.begin() + ptrdiff_t((row + 1)->second);
        auto c = std::lower_bound(first, last, -x,
                                  [](const Weight_Pt& a, A_long v) { return a.x < v; });
        for (; c != last && x + c->x < src->width; ++c) add(*c);
      }
    } else {
      for (const Weight_Pt& c : k->cells)
        if (pic.inside(x + c.x, y + c.y)) add(c);
    }
  }
  if (total < kNegligibleF) {
    *out = *in;
    return PF_Err_NONE;
  }
  using C = typename PixelTraits<P>::Channel;
  constexpr float kMax = float(PixelTraits<P>::kMax);
  out->alpha = in->alpha;
  out->red = C(std::min(kMax, r / total));
  out->green = C(std::min(kMax, g / total));
  out->blue = C(std::min(kMax, b / total));
  return PF_Err_NONE;
}
template PF_Err IrisBlur<PF_Pixel>(void*, A_long, A_long, PF_Pixel*, PF_Pixel*);
template PF_Err IrisBlur<PF_Pixel16>(void*, A_long, A_long, PF_Pixel16*, PF_Pixel16*);

PF_Err RenderReleasticBlurEffect(IO_Params* io, const KT_Info* info) {
  if (!info->plan.irisRuns) return HandOn(io);
  const A_long R = A_long(info->irisBlurAmount * 100.0f);
  const IrisShape shape = IrisShapeFrom(info);
  PF_Err mapErr = PF_Err_NONE;
  const std::unique_ptr<float[]> H = HighlightMap(io->src, io, &mapErr);
  if (mapErr) return mapErr;
  if (!H) return PF_Err_OUT_OF_MEMORY;
  const bool deep = IsDeep(io->dst);
  PF_Err err;
  if (info->plan.irisInMapPass) {
    err = deep ? BlurMapIrisBlur<PF_Pixel16>(io, shape, R, H.get())
               : BlurMapIrisBlur<PF_Pixel>(io, shape, R, H.get());
  } else {
    const IrisKernel k = BuildIrisGrid(shape, R);
    err = deep ? UniformIrisBlur<PF_Pixel16>(io, k, H.get()) : UniformIrisBlur<PF_Pixel>(io, k, H.get());
  }
  if (err) return err;
  if (deep) RepairBorder<PF_Pixel16>(io->dst);
  else RepairBorder<PF_Pixel>(io->dst);
  return PF_Err_NONE;
}
