#include "trail.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "fast_blur.h"
#include "core/bands.h"
#include "core/pixel.h"

namespace {

constexpr uint64_t kUnclaimed = ~uint64_t(0);

bool IsZero(const PF_Pixel& p) { return !(p.alpha | p.red | p.green | p.blue); }
bool IsZero(const PF_Pixel16& p) { return !(p.alpha | p.red | p.green | p.blue); }

// A line's source pixel as the means take it: its channels as doubles (whole numbers, so
// exactly the values the sums would convert), and whether it counts (inside and opaque).
struct Sample {
  double r = 0, g = 0, b = 0;
  bool counts = false;
};

// A weighted mean of samples, summed in the order the samples come.
struct LineMean {
  double r = 0, g = 0, b = 0, total = 0;
  void Add(const Sample& q, double w) {
    r += q.r * w;
    g += q.g * w;
    b += q.b * w;
    total += w;
  }
  template <class P>
  P Value(const P& own) const {
    using C = typename PixelTraits<P>::Channel;
    if (total == 0) return P{own.alpha, 0, 0, 0};
    return P{own.alpha, C(r / total), C(g / total), C(b / total)};
  }
};

// The value the line leaves at point i: the source pixel, or the mean of the opaque pixels
// from it N steps toward the centre, weighted ((N − k) / N)². `along` holds the line's
// samples, `weight` the N weights.
template <class P>
P LineValue(const P& own, const Sample* along, int n, int i, A_long N, const double* weight) {
  if (N == 0) return own;
  LineMean m;
  const int last = int(std::min<int64_t>(n, int64_t(i) + N));
  for (int j = i; j < last; ++j)
    if (along[j].counts) m.Add(along[j], weight[j - i]);
  return m.Value(own);
}

// The values at points i and i + 1 at once: each mean's sums in the very order LineValue
// takes them, the two side by side (their additions do not wait on each other).
template <class P>
void LineValuePair(const P& own0, const P& own1, const Sample* along, int n, int i, A_long N,
                   const double* weight, P* out0, P* out1) {
  if (N == 0) {
    *out0 = own0;
    *out1 = own1;
    return;
  }
  LineMean m0, m1;
  const int last0 = int(std::min<int64_t>(n, int64_t(i) + N));
  const int last1 = int(std::min<int64_t>(n, int64_t(i) + 1 + N));
  if (along[i].counts) m0.Add(along[i], weight[0]);
  int j = i + 1;
  for (; j < last0; ++j)
    if (along[j].counts) {
      m0.Add(along[j], weight[j - i]);
      m1.Add(along[j], weight[j - i - 1]);
    }
  for (; j < last1; ++j)
    if (along[j].counts) m1.Add(along[j], weight[j - i - 1]);
  *out0 = m0.Value(own0);
  *out1 = m1.Value(own1);
}

}  // namespace

template <class P>
PF_Err Trail(void* refcon, A_long x, A_long y, P*, P*) {
  const TrailRefcon* rc = static_cast<const TrailRefcon*>(refcon);
  const PF_EffectWorld* dst = rc->io->dst;
  const PF_Rect& e = dst->extent_hint;
  if (x != e.left && x != e.right - 1 && y != e.top && y != e.bottom - 1) return PF_Err_NONE;

  const A_long N = A_long(float(rc->distance) * rc->amount * rc->amount);
  const size_t room = size_t(std::max(dst->width, dst->height)) * 2 + 2;
  std::unique_ptr<PF_FixedPoint[]> pts(new (std::nothrow) PF_FixedPoint[room]);
  if (!pts) return PF_Err_OUT_OF_MEMORY;
  const int n = ComputeLinePTs(x, y, rc->cx, rc->cy, pts.get());
  const uint64_t line = uint64_t(y - e.top) * uint64_t(dst->width) + uint64_t(x - e.left);
  const PF_EffectWorld* src = rc->io->src;
  std::vector<Sample> along(static_cast<size_t>(n));
  std::vector<double> weight(static_cast<size_t>(N));
  for (int i = 0; i < n; ++i) {
    const P* q = GetPointerFromDataP<P>(src, pts[i].y, pts[i].x, 0);
    if (q && q->alpha != 0) along[size_t(i)] = Sample{double(q->red), double(q->green), double(q->blue), true};
  }
  for (A_long k = 0; k < N; ++k) {
    const double f = double(N - k) / N;
    weight[size_t(k)] = f * f;
  }
  // Writes land where the mirrored accessor points, so they never leave the image.
  auto target = [&](int i, size_t* index) {
    A_long row = pts[i].y - e.top, col = pts[i].x - e.left;
    RecomputePosition(dst, row, col);
    *index = size_t(row) * size_t(dst->width) + size_t(col);
    return GetPointerFromDataP<P>(dst, row + e.top, col + e.left, 1);
  };
  auto own = [&](int i) { return GetPointerFromData<P>(src, pts[i].y, pts[i].x, 1); };
  if (rc->writing) {
    // The points this line owns; neighbours along the line are computed in pairs.
    std::vector<std::pair<int, P*>> owned;
    for (int i = 0; i < n; ++i) {
      size_t index;
      P* t = target(i, &index);
      if (rc->claims[index].load(std::memory_order_relaxed) == line * room + uint64_t(i))
        owned.emplace_back(i, t);
    }
    for (size_t o = 0; o < owned.size(); ++o) {
      const int i = owned[o].first;
      if (o + 1 < owned.size() && owned[o + 1].first == i + 1) {
        LineValuePair<P>(own(i), own(i + 1), along.data(), n, i, N, weight.data(),
                         owned[o].second, owned[o + 1].second);
        ++o;
      } else {
        *owned[o].second = LineValue<P>(own(i), along.data(), n, i, N, weight.data());
      }
    }
    return PF_Err_NONE;
  }
  for (int i = 0; i < n; ++i) {
    size_t index;
    target(i, &index);
    const uint64_t key = line * room + uint64_t(i);
    const P mine = own(i);
    // The value keeps the source pixel's alpha, so an opaque one needs no mean to know
    // that the value is not transparent black.
    if (mine.alpha != 0 || !IsZero(LineValue<P>(mine, along.data(), n, i, N, weight.data()))) {
      uint64_t seen = rc->claims[index].load(std::memory_order_relaxed);
      while (key < seen && !rc->claims[index].compare_exchange_weak(seen, key)) {
      }
    }
  }
  return PF_Err_NONE;
}
template PF_Err Trail<PF_Pixel>(void*, A_long, A_long, PF_Pixel*, PF_Pixel*);
template PF_Err Trail<PF_Pixel16>(void*, A_long, A_long, PF_Pixel16*, PF_Pixel16*);

TrailGeometry ComputeTrailGeometry(const PF_Rect& e, A_long cx, A_long cy, float amount) {
  const A_long mx = A_long((e.left + e.right) / 2 - 0.5);
  const A_long my = A_long((e.top + e.bottom) / 2 - 0.5);
  if (cx <= e.left) cx = e.left + 1;
  if (cy <= e.top) cy = e.top + 1;
  if (cx >= e.right - 1) cx = e.right - 2;
  if (cy >= e.bottom - 1) cy = e.bottom - 2;
  const A_long fx = cx < mx ? e.right : e.left;  // the farthest corner
  const A_long fy = cy < my ? e.bottom : e.top;
  const int64_t dx = fx - cx, dy = fy - cy;  // 64 bits: no overflow on huge pictures
  const A_long distance = A_long(std::sqrt(double(dx * dx + dy * dy)));
  return TrailGeometry{cx, cy, distance, A_long(float(distance) * amount * amount),
                       A_long(amount * 2.5 + 0.5)};
}

PF_Err RenderTrailEffect(IO_Params* io, const KT_Info* info) {
  if (!(info->trailAmount > 0) || !info->trailVisible) return HandOn(io);
  PF_InData* in_data = io->in_data;
  PF_EffectWorld* dst = io->dst;
  const PF_Rect e = dst->extent_hint;
  const TrailGeometry g = ComputeTrailGeometry(
      e, info->trailCenterOfLens ? info->posX : info->trailCenterX,
      info->trailCenterOfLens ? info->posY : info->trailCenterY, info->trailAmount);
  const A_long r = g.radius;

  const PF_Pixel clear8 = {0, 0, 0, 0};
  const PF_Pixel16 clear16 = {0, 0, 0, 0};
  PF_Err err = IsDeep(dst) ? in_data->utils->fill16(in_data->effect_ref, &clear16, &e, dst)
                           : in_data->utils->fill(in_data->effect_ref, &clear8, &e, dst);
  if (err) return err;

  const size_t pixels = size_t(dst->width) * size_t(dst->height);
  std::unique_ptr<std::atomic<uint64_t>[]> claims(new (std::nothrow) std::atomic<uint64_t>[pixels]);
  if (!claims) return PF_Err_OUT_OF_MEMORY;
  for (size_t i = 0; i < pixels; ++i) claims[i].store(kUnclaimed, std::memory_order_relaxed);
  TrailRefcon rc{g.cx, g.cy, io, info->trailAmount, g.distance, claims.get(), false};
  if ((err = IterateRows<Trail<PF_Pixel>, Trail<PF_Pixel16>>(io, &rc))) return err;
  rc.writing = true;
  if ((err = IterateRows<Trail<PF_Pixel>, Trail<PF_Pixel16>>(io, &rc))) return err;
  claims.reset();

  std::swap(io->src, io->dst);
  return FastBlurA(io, r, r, false);
}
