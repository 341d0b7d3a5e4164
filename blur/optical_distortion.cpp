#include "optical_distortion.h"

#include <cmath>
#include <vector>

#include "core/bands.h"
#include "core/mask_rows.h"
#include "core/pixel.h"
#include "core/vectors.h"
#include "core/lanes.h"
#include "params/numbers.h"

double DistortionFocalLength(A_long W, A_long H, float amount_degrees) {
  // The squares are summed in 64 bits: in 32 they overflow from about 32768 × 32768.
  const double D = std::sqrt(double(int64_t(W) * W + int64_t(H) * H));
  return D / std::tan(double(amount_degrees) * kPi / 180 * 0.5);
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
  if (!(GetLensMask(x, y, rc->io) > kNegligible) || (x == rc->cx && y == rc->cy)) {
    *out = *in;
  } else if (rc->focal < kNegligible) {  // the whole lens shows the centre pixel
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
template PF_Err OpticalDistortion<PF_PixelFloat>(void*, A_long, A_long, PF_PixelFloat*, PF_PixelFloat*);

namespace {

// The sample positions of a row's pixels x0 … x0 + n − 1 as DistortionSamplePosition gives
// them (ok false where it gives none).
struct RowPositions {
  std::vector<double> rows, cols;
  std::vector<char> ok;
};
void PositionsPlain(const DistortionRefcon* rc, A_long y, A_long x0, A_long n, RowPositions* p) {
  for (A_long i = 0; i < n; ++i)
    p->ok[size_t(i)] = DistortionSamplePosition(rc, x0 + i, y, &p->rows[size_t(i)], &p->cols[size_t(i)]);
}
#if VIZMIRA_HAS_WIDE
// Four pixels at a time: each lane the very IEEE operations of DistortionSamplePosition, in
// its order.
VIZMIRA_WIDE void PositionsWide(const DistortionRefcon* rc, A_long y, A_long x0, A_long n,
                                RowPositions* p) {
  const V4d f = lanes::Splat(rc->focal);
  const V4d cx = lanes::Splat(double(rc->cx)), cy = lanes::Splat(double(rc->cy));
  const V4d dy = lanes::Splat(double(y - rc->cy)), dy2 = dy * dy;
  const V4d steps = {0, 1, 2, 3};
  A_long i = 0;
  for (; i + 4 <= n; i += 4) {
    const V4d dx = lanes::Splat(double(x0 + i - rc->cx)) + steps;
    const V4d r = lanes::Sqrt(dx * dx + dy2);
    const V4d q = r / f, t = q * q;
    const V4d R = lanes::Sqrt(t / (1 + t)) * f;
    const V4d rows = cy + R * dy / r, cols = cx + R * dx / r;
    std::memcpy(&p->rows[size_t(i)], &rows, sizeof rows);
    std::memcpy(&p->cols[size_t(i)], &cols, sizeof cols);
    const int positive = lanes::PositiveBits(r);
    for (int l = 0; l < 4; ++l) p->ok[size_t(i + l)] = char((positive >> l) & 1);
  }
  for (; i < n; ++i)
    p->ok[size_t(i)] = DistortionSamplePosition(rc, x0 + i, y, &p->rows[size_t(i)], &p->cols[size_t(i)]);
}
#endif

// GetPointerFromDataDP's sample where its four pixels lie in the source without folding and
// off its first row and column, the four channels as 256-bit vector lanes: each lane the
// very products and sums of its expression, in its order, truncated. False elsewhere, and
// where the processor has no such vectors (narrower ones cost more than they save here).
#if VIZMIRA_HAS_WIDE
template <class P>
VIZMIRA_WIDE bool SampleInside(const PF_EffectWorld* src, double y, double x, P* result) {
  const A_long y0 = A_long(y), x0 = A_long(x);
  const A_long row = y0 - src->extent_hint.top, col = x0 - src->extent_hint.left;
  if (y0 < 1 || x0 < 1 || row < 0 || col < 0 || row + 1 >= src->height || col + 1 >= src->width)
    return false;
  const P* p0 = RowOf<P>(src, row) + col;
  const P* p1 = RowOf<P>(src, row + 1) + col;
  const double fy = y - y0, fx = x - x0;
  const V4d a = __builtin_convertvector(Lanes(p0[0]), V4d), b = __builtin_convertvector(Lanes(p0[1]), V4d);
  const V4d c = __builtin_convertvector(Lanes(p1[0]), V4d), d = __builtin_convertvector(Lanes(p1[1]), V4d);
  const V4d v = a * (1 - fy) * (1 - fx) + b * (1 - fy) * fx + c * fy * (1 - fx) + d * fy * fx;
  const V4i t = __builtin_convertvector(v, V4i);
  using C = typename PixelTraits<P>::Channel;
  *result = P{C(t[0]), C(t[1]), C(t[2]), C(t[3])};
  return true;
}
#endif

// The rows of OpticalDistortion: the positions of the row's pixels inside the lens come
// four at a time, each pixel then sampled as the per-pixel routine samples it.
template <class P>
PF_Err DistortionRows(const DistortionRefcon* rc, Span rows) {
  const PF_EffectWorld* src = rc->io->src;
  const A_long W = rc->io->dst->width;
  RowPositions at{std::vector<double>(size_t(W)), std::vector<double>(size_t(W)),
                  std::vector<char>(size_t(W))};
  const auto positions = VIZMIRA_FORM(PositionsPlain, PositionsWide);
  const bool centreOnly = rc->focal < kNegligible;  // the whole lens shows the centre pixel
  // The four-lane bilinear sample, for the integer depths.
  [[maybe_unused]] const bool wide = !kIsFloat<P> && VIZMIRA_FORM(false, true);
  return ForEachPixel<P>(src, rc->io->dst, rows, [&](A_long y) {
    const MaskRow mask(rc->io, y);
    // The row's pixels inside the lens lie within first … last.
    A_long first = 0, last = W - 1;
    while (first < W && !(mask(first) > kNegligible)) ++first;
    while (last > first && !(mask(last) > kNegligible)) --last;
    if (!centreOnly && first <= last) positions(rc, y, first, last - first + 1, &at);
    return [&, y, first, mask](A_long x, P* in, P* out) {
      const size_t i = size_t(x - first);
      if (!(mask(x) > kNegligible) || (x == rc->cx && y == rc->cy)) {
        *out = *in;
      } else if (centreOnly) {
        *out = GetPointerFromData<P>(src, rc->cy, rc->cx, 1);
      } else if (at.ok[i]) {
#if VIZMIRA_HAS_WIDE
        if constexpr (!kIsFloat<P>) {
          if (!wide || !SampleInside<P>(src, at.rows[i], at.cols[i], out))
            GetPointerFromDataDP<P>(src, at.rows[i], at.cols[i], out, 1);
        } else
#endif
          GetPointerFromDataDP<P>(src, at.rows[i], at.cols[i], out, 1);
        out->alpha = in->alpha;
      } else {
        *out = *in;
      }
      return PF_Err_NONE;
    };
  });
}

}  // namespace

PF_Err RenderOpticalDistortionEffect(IO_Params* io, const KT_Info* info) {
  if (!info->distortVisible || !(info->distortAmount > 0)) return HandOn(io);
  DistortionRefcon rc{info->distortCenterOfLens ? info->posX : info->distortCenterX,
                      info->distortCenterOfLens ? info->posY : info->distortCenterY,
                      DistortionFocalLength(io->dst->width, io->dst->height, info->distortAmount),
                      io};
  return ByDepth(io, io->dst, [&](auto pixel) {
    return ParallelRows(io, io->dst->height,
                        [&rc](Span rows, A_long) { return DistortionRows<decltype(pixel)>(&rc, rows); });
  });
}
