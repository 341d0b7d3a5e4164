#include "directional_blur.h"

#include <cmath>
#include <cstdlib>

#include "core/bands.h"
#include "core/mask_rows.h"
#include "core/pixel.h"
#include "core/vectors.h"
#include "core/lanes.h"
#include "params/numbers.h"

std::vector<DirectionalEntry> DirectionalKernelEntries(float amount, double direction) {
  const A_long n = A_long(amount);
  const double a = direction + kPi / 2;
  const A_long x0 = -A_long(std::cos(a) * n), y0 = -A_long(std::sin(a) * n);
  // Squares summed in 64 bits: in 32 they overflow from an amount of 46341.
  const double half = std::sqrt(double(int64_t(x0) * x0 + int64_t(y0) * y0));
  std::vector<PF_FixedPoint> pts(size_t(std::max(std::abs(x0), std::abs(y0))) * 2 + 1);
  const int count = ComputeLinePTs(x0, y0, -x0, -y0, pts.data());
  std::vector<DirectionalEntry> entries(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const double dx = pts[size_t(i)].x, dy = pts[size_t(i)].y;
    entries[size_t(i)] = {pts[size_t(i)].x, pts[size_t(i)].y,
                          count > 1 ? 1 - std::sqrt(dx * dx + dy * dy) / half : 1.0};
  }
  return entries;
}

// Colour sums are single precision, each term narrowed from double; the weight sum double.
template <class P>
PF_Err DirectionalBlur(void* refcon, A_long x, A_long y, P* in, P* out) {
  const DirectionalKernel* k = static_cast<const DirectionalKernel*>(refcon);
  *out = *in;
  if (!(GetLensMask(x, y, k->io) > kNegligible) || k->count == 0) return PF_Err_NONE;
  float r = 0, g = 0, b = 0;
  double weight = 0;
  for (A_u_long i = 0; i < k->count; ++i) {
    const DirectionalEntry& e = k->entries[i];
    const P q = GetPointerFromData<P>(k->io->src, y + e.dy, x + e.dx, 1);
    if (q.alpha == 0) continue;
    r += float(q.red * e.weight);
    g += float(q.green * e.weight);
    b += float(q.blue * e.weight);
    weight += e.weight;
  }
  if (weight == 0) return PF_Err_NONE;
  using C = typename PixelTraits<P>::Channel;
  out->red = C(r / weight);
  out->green = C(g / weight);
  out->blue = C(b / weight);
  return PF_Err_NONE;
}
template PF_Err DirectionalBlur<PF_Pixel>(void*, A_long, A_long, PF_Pixel*, PF_Pixel*);
template PF_Err DirectionalBlur<PF_Pixel16>(void*, A_long, A_long, PF_Pixel16*, PF_Pixel16*);
template PF_Err DirectionalBlur<PF_PixelFloat>(void*, A_long, A_long, PF_PixelFloat*, PF_PixelFloat*);

namespace {

// An entry as the rows read it: its pixel's place in bytes from the pixel being blurred.
struct RowEntry {
  ptrdiff_t offset;
  double weight;
};

// The weighted colour sums of one pixel whose entries all lie in the source: a pixel's
// channels as lanes, each lane the very float(value · weight) and single-precision sum the
// definition takes (the alpha lane rides along unused); the weight sum in double.
template <class P>
[[gnu::always_inline]] inline void Sums(const char* at, const RowEntry* entries, size_t count,
                                        V4f* colours, double* weight) {
  V4f acc = {0, 0, 0, 0};
  double w = 0;
  for (size_t i = 0; i < count; ++i) {
    const RowEntry& e = entries[i];
    const P* q = reinterpret_cast<const P*>(at + e.offset);
    if (q->alpha == 0) continue;
    V4d v;
    if constexpr (kIsFloat<P>) v = V4d{q->alpha, q->red, q->green, q->blue};
    else v = __builtin_convertvector(Lanes(*q), V4d);
    acc += __builtin_convertvector(v * e.weight, V4f);
    w += e.weight;
  }
  *colours = acc;
  *weight = w;
}
template <class P>
void SumsPlain(const char* at, const RowEntry* entries, size_t count, V4f* colours, double* weight) {
  Sums<P>(at, entries, count, colours, weight);
}

#if VIZMIRA_HAS_WIDE
template <class P>
VIZMIRA_WIDE void SumsWide(const char* at, const RowEntry* entries, size_t count, V4f* colours,
                           double* weight) {
  Sums<P>(at, entries, count, colours, weight);
}

// The sums of four neighbouring pixels at once, a channel's four pixels as the lanes of a
// vector: each lane the very float(value · weight) and single-precision sum of Sums, the
// weight sum in double. A sample that does not count (alpha 0) adds +0 instead of nothing:
// every sum is of terms not below +0, which +0 leaves as it was.
template <class P>
VIZMIRA_WIDE void SumsOf4(const char* at, const RowEntry* entries, size_t count, V4f* colours,
                          double* weight) {
  V4f acc[3] = {};
  V4d w = {};
  const V4i none = {0, 0, 0, 0};
  for (size_t i = 0; i < count; ++i) {
    const RowEntry& e = entries[i];
    const P* q = reinterpret_cast<const P*>(at + e.offset);
    const V4i counts = lanes::ChannelOf4(q, 0) != none;  // alpha not 0: all ones
    const V4d ew = lanes::Splat(e.weight);
    for (int c = 0; c < 3; ++c) {
      const V4f term = lanes::NarrowToFloats(lanes::FromInts(lanes::ChannelOf4(q, c + 1)) * ew);
      acc[c] += lanes::Keep(term, counts);
    }
    w += lanes::Keep(ew, __builtin_convertvector(counts, V4l));
  }
  std::memcpy(weight, &w, sizeof w);
  for (int p = 0; p < 4; ++p) colours[p] = V4f{0, acc[0][p], acc[1][p], acc[2][p]};
}
#endif

// The rows of DirectionalBlur: where the whole segment lies in the source, its pixels are
// read at fixed offsets, without folding, their sums made for the row before it is written
// (four pixels at once where there are 256-bit vectors); elsewhere the per-pixel routine
// runs.
template <class P>
PF_Err DirectionalRows(const DirectionalKernel* k, Span rows) {
  const PF_EffectWorld* src = k->io->src;
  // The segment's ends weigh exactly 0: their terms, +0, leave every sum as it was, so
  // they are left out (of the reach too).
  A_long left = 0, right = 0, up = 0, down = 0;  // the segment's reach
  std::vector<RowEntry> entries;
  for (A_u_long i = 0; i < k->count; ++i) {
    const DirectionalEntry& e = k->entries[i];
    if (e.weight == 0) continue;
    left = std::min(left, e.dx), right = std::max(right, e.dx);
    up = std::min(up, e.dy), down = std::max(down, e.dy);
    entries.push_back({ptrdiff_t(e.dy) * src->rowbytes + ptrdiff_t(e.dx) * ptrdiff_t(sizeof(P)), e.weight});
  }
  [[maybe_unused]] const bool wide = !kIsFloat<P> && VIZMIRA_FORM(false, true);
  const auto sums = VIZMIRA_FORM(SumsPlain<P>, SumsWide<P>);
  const A_long W = k->io->dst->width;
  std::vector<V4f> colours(size_t(W) + 4);
  std::vector<double> weights(size_t(W) + 4);
  using C = typename PixelTraits<P>::Channel;
  return ForEachPixel<P>(src, k->io->dst, rows, [&](A_long y) {
    const A_long row = y - src->extent_hint.top;
    const bool rows = row + up >= 0 && row + down < src->height;
    // Columns whose segment lies in the source.
    const A_long first = rows ? std::max<A_long>(0, src->extent_hint.left - left) : 1;
    const A_long last = rows ? std::min(W - 1, src->extent_hint.left + src->width - 1 - right) : 0;
    const MaskRow mask(k->io, y);
    auto lensed = [&mask](A_long x) { return mask(x) > kNegligible; };
    if (rows) {
      const char* base = reinterpret_cast<const char*>(RowOf<P>(src, row)) -
                         ptrdiff_t(src->extent_hint.left) * ptrdiff_t(sizeof(P));
      for (A_long x = first; x <= last; ++x) {
        const char* at = base + ptrdiff_t(x) * ptrdiff_t(sizeof(P));
        const size_t i = size_t(x);
#if VIZMIRA_HAS_WIDE
        if constexpr (!kIsFloat<P>) {
          if (wide && x + 3 <= last && (lensed(x) || lensed(x + 1) || lensed(x + 2) || lensed(x + 3))) {
            SumsOf4<P>(at, entries.data(), entries.size(), &colours[i], &weights[i]);
            x += 3;
            continue;
          }
        }
#endif
        if (lensed(x)) sums(at, entries.data(), entries.size(), &colours[i], &weights[i]);
      }
    }
    return [&, y, first, last, mask](A_long x, P* in, P* out) -> PF_Err {
      if (x < first || x > last) return DirectionalBlur<P>(const_cast<DirectionalKernel*>(k), x, y, in, out);
      *out = *in;
      if (!(mask(x) > kNegligible)) return PF_Err_NONE;
      const V4f& c = colours[size_t(x)];
      const double weight = weights[size_t(x)];
      if (weight == 0) return PF_Err_NONE;
      out->red = C(c[1] / weight);
      out->green = C(c[2] / weight);
      out->blue = C(c[3] / weight);
      return PF_Err_NONE;
    };
  });
}

}  // namespace

PF_Err RenderDirectionalBlurEffect(IO_Params* io, const KT_Info* info) {
  if (!info->dirBlurVisible) return HandOn(io);
  const std::vector<DirectionalEntry> entries =
      DirectionalKernelEntries(info->dirBlurAmount, info->dirBlurDirection);
  if (entries.size() <= 1) return HandOn(io);
  DirectionalKernel k{io, entries.data(), A_u_long(entries.size())};
  return ByDepth(io, io->dst, [&](auto pixel) {
    return ParallelRows(io, io->dst->height,
                        [&k](Span rows, A_long) { return DirectionalRows<decltype(pixel)>(&k, rows); });
  });
}
