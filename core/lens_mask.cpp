#include "lens_mask.h"
#include "exact.h"
#include "lanes.h"
#include "lens_shape.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "bands.h"
#include "params/numbers.h"
#include "pixel.h"
#include "vectors.h"

using namespace lens;

namespace {

struct FillJob {
  const LensGeometry* g;
  const PF_Rect* rect;
  double* values;
  bool mirrored;  // the bands' lines are distances from the centre's row, from `nearest`
  int64_t nearest;
};

// A band's view of the job with the render's numbers as locals: the compiler then knows the
// values written cannot change them and keeps them in registers across a row.
struct FillBandLocals {
  FillBandLocals(const FillJob* job, Span lines)
      : info(*job->g->info), g(*job->g), r(*job->rect), values(job->values),
        W(r.right - r.left), lines(lines), mirrored(job->mirrored), nearest(job->nearest) {
    g.info = &info;
  }
  FillBandLocals(const FillBandLocals&) = delete;
  double* row(A_long j) const { return values + size_t(j) * size_t(W); }

  const KT_Info info;
  LensGeometry g;
  const PF_Rect r;
  double* const values;
  const A_long W;
  const Span lines;  // rows of the rectangle, or distances from the centre's row
  const bool mirrored;
  const int64_t nearest;
};

// The lens coordinates of pixels x0 … x0 + n − 1 of row y, as LensCoordinates gives them.
void RowCoordinatesPlain(const LensGeometry& g, A_long x0, A_long y, A_long n, double* u, double* w) {
  for (A_long i = 0; i < n; ++i) LensCoordinates(g, x0 + i, y, u + i, w + i);
}
#if VIZMIRA_HAS_WIDE
// Four pixels at a time: each lane the very operations of LensCoordinates, in its order.
VIZMIRA_WIDE void RowCoordinatesWide(const LensGeometry& g, A_long x0, A_long y, A_long n,
                                     double* u, double* w) {
  const KT_Info* info = g.info;
  const V4d cosR = lanes::Splat(g.cosR), sinR = lanes::Splat(g.sinR);
  const V4d sW = lanes::Splat(info->scaleW), sH = lanes::Splat(info->scaleH);
  const V4d dy = lanes::Splat(double(y - info->posY));
  const V4d dyCos = dy * cosR, dySin = dy * sinR;
  A_long i = 0;
  for (; i + 4 <= n; i += 4) {
    const V4d dx = lanes::FromInts(V4i{0, 1, 2, 3} + (x0 + i - info->posX));
    const V4d ui = (dx * cosR + dySin) / sW, wi = (dyCos - dx * sinR) / sH;
    std::memcpy(u + i, &ui, sizeof ui);
    std::memcpy(w + i, &wi, sizeof wi);
  }
  RowCoordinatesPlain(g, x0 + i, y, n - i, u + i, w + i);
}
#endif

// Whether the mask is symmetric about the lens centre's row and column, to the bit: a lens
// not turned (sine 0, cosine 1) puts a pixel dx, dy from its centre at lens coordinates
// (dx·1 + dy·0) / scale and (dy·1 − dx·0) / scale, exactly those of −dx or −dy but for the
// sign, and the circle's and the rectangles' values depend on their squares or magnitudes
// alone (the triangle's do not).
bool Mirrored(const LensGeometry& g) {
  const LensType type = g.info->lensType;
  return g.sinR == 0 && g.cosR == 1 &&
         (type == LensType::kCircle || type == LensType::kRectWide || type == LensType::kRectTall || type == LensType::kNone);
}

// The band's rows through fill(j, from, to), which fills pixels from … to − 1 of row j. A
// mirrored mask fills what lies on one side of the centre's column and row and copies the
// rest: a row's pixels left of the centre take their mirror images' values where these lie
// in the row, and a row whose mirror row lies in the rectangle is that row's copy (the bands
// then take rows by their distance from the centre's row, both sides at once).
template <class Fill>
void FillRowsOf(const FillBandLocals& l, const Fill& fill) {
  if (!l.mirrored) {
    for (A_long j = l.lines.first; j < l.lines.last; ++j) fill(j, 0, l.W);
    return;
  }
  const PF_Rect& r = l.r;
  const int64_t cy = l.info.posY, cx = l.info.posX, top = r.top, bottom = r.bottom;
  const int64_t left = r.left, right = r.right;
  const int64_t first = l.nearest + l.lines.first, last = l.nearest + l.lines.last;
  // Columns split … right − 1 lie at dx ≥ 0; left of them, those up to `alone` have no
  // mirror image in the row.
  const int64_t split = std::clamp<int64_t>(cx, left, right);
  const int64_t alone = std::clamp<int64_t>(2 * cx - right + 1, left, split);
  for (int64_t d = first; d < last; ++d) {
    const int64_t below = cy + d, above = cy - d;
    const bool hasBelow = below >= top && below < bottom;
    const bool hasAbove = d > 0 && above >= top && above < bottom;
    if (!hasBelow && !hasAbove) continue;
    const A_long j = A_long((hasBelow ? below : above) - top);
    fill(j, A_long(split - left), l.W);
    fill(j, 0, A_long(alone - left));
    double* row = l.row(j);
    for (int64_t x = alone; x < split; ++x) row[x - left] = row[2 * cx - x - left];
    if (hasBelow && hasAbove) std::copy(row, row + l.W, l.row(A_long(above - top)));
  }
}

template <LensType kType>
void FillBand(const FillJob* job, Span lines) {
  const FillBandLocals l(job, lines);
  const KT_Info& info = l.info;
  if (kType == LensType::kCustom || !(info.scaleW > 0 && info.scaleH > 0)) {
    for (A_long j = l.lines.first; j < l.lines.last; ++j) {
      double* row = l.row(j);
      for (A_long i = 0; i < l.W; ++i) row[i] = MaskValueOf<kType>(l.g, l.r.left + i, l.r.top + j);
    }
    return;
  }
  // A row's lens coordinates first, four at a time where there are 256-bit vectors.
  std::vector<double> u(size_t(l.W)), w(size_t(l.W));
  const auto coordinates = VIZMIRA_FORM(RowCoordinatesPlain, RowCoordinatesWide);
  FillRowsOf(l, [&](A_long j, A_long from, A_long to) {
    if (from >= to) return;
    double* row = l.row(j);
    coordinates(l.g, l.r.left + from, l.r.top + j, to - from, u.data(), w.data());
    for (A_long i = from; i < to; ++i) {
      const double value = Falloff(KAt<kType>(l.g, u[size_t(i - from)], w[size_t(i - from)]));
      row[i] = info.invertAlpha ? 1 - value : value;
    }
  });
}

// The least non-negative double q for which holds(q), where holds is false below some value
// and true from it on; +inf if it holds nowhere below. Non-negative doubles order as their
// bit patterns do, so a bisection over the patterns finds it exactly.
template <class Holds>
double Least(Holds holds) {
  uint64_t lo = 0, hi = 0x7FF0000000000000u;  // 0 and +inf
  auto value = [](uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  };
  if (holds(0.0)) return 0.0;
  while (hi - lo > 1) {
    const uint64_t mid = lo + (hi - lo) / 2;
    (holds(value(mid)) ? hi : lo) = mid;
  }
  return value(hi);
}

// The circle: most pixels lie well inside the ring where the edge falls off (value 1) or
// well beyond it (value 0). The falloff K is a monotonic function of r² = u² + w² (square
// root, subtraction and division by a positive number all round monotonically), so K = 0
// exactly for r² below one threshold and K = 1 exactly from another on; both are found once
// by bisection with the very expressions of the per-pixel value. A pixel's r² is first
// estimated with reciprocals instead of the two divisions (within a few units in the last
// place), and only a pixel whose estimate lies within 1e-9 of a threshold, or between them,
// takes the per-pixel value.
template <>
void FillBand<LensType::kCircle>(const FillJob* job, Span lines) {
  const FillBandLocals l(job, lines);
  const KT_Info& info = l.info;
  const LensGeometry& g = l.g;
  const PF_Rect& r = l.r;
  const bool scaled = info.scaleW > 0 && info.scaleH > 0;
  const double R = kLensRadius * g.W, F = g.featherW * R, Ri = R - F / 2;
  double inner = 0, outer = std::numeric_limits<double>::infinity();
  if (scaled && std::isfinite(Ri) && F > 0 && std::isfinite(F)) {
    inner = Least([&](double r2) { return !(std::sqrt(r2) < Ri); });
    outer = Least([&](double r2) {
      const double rr = std::sqrt(r2);
      return !(rr < Ri) && !((rr - Ri) / F < 1.0);
    });
  }
  constexpr double kMargin = kGeometryMargin;
  const double insideBelow = inner * (1 - kMargin), outsideFrom = outer * (1 + kMargin);
  const double inside = info.invertAlpha ? 0.0 : 1.0, outside = info.invertAlpha ? 1.0 : 0.0;
  const double invW = 1 / double(info.scaleW), invH = 1 / double(info.scaleH);
  // Pixels `from` … `to` − 1 of row j.
  auto fill = [&](A_long j, A_long from, A_long to) {
    double* row = l.row(j);
    const A_long y = r.top + j;
    const double dy = y - info.posY;
    for (A_long i = from; i < to; ++i) {
      const A_long x = r.left + i;
      if (scaled) {
        const double dx = x - info.posX;
        const double u = (dx * g.cosR + dy * g.sinR) * invW;
        const double w = (dy * g.cosR - dx * g.sinR) * invH;
        const double r2 = u * u + w * w;
        if (r2 < insideBelow) {
          row[i] = inside;
          continue;
        }
        if (r2 >= outsideFrom) {
          row[i] = outside;
          continue;
        }
      }
      row[i] = MaskValueOf<LensType::kCircle>(g, x, y);
    }
  };
  FillRowsOf(l, fill);
}

void FillLines(const FillJob* job, Span lines) {
  switch (job->g->info->lensType) {
    case LensType::kCircle: FillBand<LensType::kCircle>(job, lines); break;
    case LensType::kRectWide: FillBand<LensType::kRectWide>(job, lines); break;
    case LensType::kRectTall: FillBand<LensType::kRectTall>(job, lines); break;
    case LensType::kTriangle: FillBand<LensType::kTriangle>(job, lines); break;
    case LensType::kCustom: FillBand<LensType::kCustom>(job, lines); break;
    default: FillBand<LensType::kNone>(job, lines); break;
  }
}

}  // namespace

PF_Err LensMaskScope::Fill(const PF_Rect& rect, const KT_Info* info, const IO_Params* io) {
  const A_long W = std::max<A_long>(0, rect.right - rect.left);
  const A_long H = std::max<A_long>(0, rect.bottom - rect.top);
  values_.reset(new (std::nothrow) double[size_t(W) * size_t(H) + 1]);
  if (!values_) return PF_Err_OUT_OF_MEMORY;
  const LensGeometry g = MakeGeometry(info, io);
  const PF_Rect r{rect.left, rect.top, rect.left + W, rect.top + H};
  FillJob job{&g, &r, values_.get(), Mirrored(g), 0};
  A_long lines = H;
  if (job.mirrored) {
    const int64_t cy = info->posY, top = r.top, bottom = r.bottom;
    job.nearest = cy < top ? top - cy : (cy >= bottom ? cy - (bottom - 1) : 0);
    const int64_t farthest = std::max(cy - top, bottom - 1 - cy);
    lines = A_long(std::max<int64_t>(0, farthest - job.nearest + 1));
  }
  const RowsOptions options{BandsFor(H), false};
  if (PF_Err err = ParallelRows(io, lines, [&job](Span span, A_long) { FillLines(&job, span); }, options))
    return err;
  mask_ = LensMask{values_.get(), r};
  return PF_Err_NONE;
}
