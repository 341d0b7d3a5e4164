// The trail's sums: a line's samples, the exact whole-number sums that decide most of its
// values, and the sums in the definition's order for the rest.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "core/exact.h"
#include "core/pixel.h"
#include "trail.h"

namespace trail {

// What one band needs for a line, allocated once per band: the line's points, and its
// source samples as the means take them: channel by channel, the whole channel values and,
// in `counts`, 1 where the sample counts (inside and opaque), else 0 with zero channels.
// The ordered sums take them as doubles (exactly the values they would convert), made only
// for a line that needs them; behind the line's n samples come N + kTrailLanes zero
// samples, so that every point sums N terms: a zero term adds +0, which leaves a sum of
// non-negative terms exactly as it was.
struct LineScratch {
  explicit LineScratch(size_t room, A_long N)
      : pts(new (std::nothrow) PF_FixedPoint[room]),
        values(new (std::nothrow) int32_t[4 * room]),
        starts(new (std::nothrow) int32_t[3 * room]),
        stride(room + size_t(N) + kTrailLanes),
        samples(new (std::nothrow) double[4 * stride]),
        exact(new (std::nothrow) int64_t[4 * room]),
        cells(new (std::nothrow) size_t[room]),
        sources(new (std::nothrow) const void*[room]),
        targets(new (std::nothrow) void*[room]),
        alphas(new (std::nothrow) A_u_short[room]),
        gaps(new (std::nothrow) int32_t[room]),
        room(room) {}
  bool ok() const {
    return pts && values && starts && samples && exact && cells && sources && targets && alphas && gaps;
  }
  // After the counts of samples 0 … n − 1 are known: where the first sample at or after each
  // that does not count lies (n where they all count to the line's end).
  template <class Counts>
  void FindGaps(int n, Counts counts) {
    int32_t gap = n;
    for (int i = n - 1; i >= 0; --i) {
      if (!counts(i)) gap = i;
      gaps[size_t(i)] = gap;
    }
  }
  // Whether every sample the windows of points i … i + kTrailLanes − 1 read counts (each
  // window's count sum is then the full weight).
  bool fullWindows(int i, int n, A_long N) const {
    return i < n && gaps[size_t(i)] >= i + kTrailLanes + N - 1;
  }
  // Sample i's red, green, blue and count side by side.
  int32_t* sample(int i) const { return values.get() + 4 * size_t(i); }
  int32_t value(int c, int i) const { return sample(i)[c]; }
  int32_t* start(int c) const { return starts.get() + size_t(c) * room; }
  double* channel(int c) const { return samples.get() + size_t(c) * stride; }
  // Point i's exact sums of red, green, blue and counts side by side.
  int64_t* exactSums(int i) const { return exact.get() + 4 * size_t(i); }
  // Whether the window of point i (of n) is flat for colour c: its N samples lie on the
  // line, count and hold one value, that is sample i counts and the run of counting samples
  // of one value that holds sample i + N − 1 began at i or before.
  bool flat(int c, int i, int n, A_long N) const {
    return i + N <= n && value(3, i) != 0 && start(c)[i + N - 1] <= i;
  }

  std::unique_ptr<PF_FixedPoint[]> pts;
  std::unique_ptr<int32_t[]> values;  // red, green, blue, counts: a sample's four together
  // For red, green and blue: where the run of counting samples of one value that holds each
  // sample began (the sample itself where it does not count).
  std::unique_ptr<int32_t[]> starts;
  size_t stride;
  std::unique_ptr<double[]> samples;  // red, green, blue, counts, for the ordered sums
  std::unique_ptr<int64_t[]> exact;   // ExactSums: red, green, blue, counts, a point's together
  std::unique_ptr<size_t[]> cells;    // where each point writes: its pixel's index in dst
  std::unique_ptr<const void*[]> sources;  // each point's source pixel, null outside
  std::unique_ptr<void*[]> targets;        // the pixel of dst each point writes
  std::unique_ptr<A_u_short[]> alphas;     // each source pixel's alpha, 0 outside
  std::unique_ptr<int32_t[]> gaps;         // FindGaps
  size_t room;
};

// The line's exact sums (see trail_sums.cpp) for its n points, windows of N samples, while
// N ≤ kExactMaxN.
constexpr A_long kExactMaxN = 60000;
void ExactSums(const LineScratch& s, int n, A_long N);

// The mean of a window whose N samples all count and hold one value v, taken in the
// definition's order: the same for every such window, so each value's is computed once per
// pass, by whichever band first meets it, and kept (racing bands store the same number).
class FlatMeans {
 public:
  FlatMeans(const std::vector<double>& weight, bool deep)
      : weight_(weight), values_(new (std::nothrow) std::atomic<int32_t>[deep ? 65536 : 256]) {
    for (double w : weight) total_ += w;
    if (values_)
      for (size_t v = 0; v < (deep ? 65536u : 256u); ++v) values_[v].store(-1, std::memory_order_relaxed);
  }
  bool ok() const { return values_ != nullptr; }
  double total() const { return total_; }
  int32_t operator()(int32_t v) const {
    int32_t mean = values_[v].load(std::memory_order_relaxed);
    if (mean < 0) {
      double r = 0;
      for (double w : weight_) r += double(v) * w;
      mean = int32_t(r / total_);
      values_[v].store(mean, std::memory_order_relaxed);
    }
    return mean;
  }

 private:
  const std::vector<double>& weight_;
  double total_ = 0;  // t of such a window
  std::unique_ptr<std::atomic<int32_t>[]> values_;
};

// What deciding a value from the exact sums takes besides them, for windows of N samples.
struct ExactBounds {
  explicit ExactBounds(A_long N)
      : eps((2.0 * N + 16) * kUnitRoundoff * kBoundSlack),
        fullT(int64_t(N) * (N + 1) * (2 * int64_t(N) + 1) / 6),
        inverseFullT(1 / double(fullT)) {}
  double eps;           // the relative error bound of r / t, generously
  int64_t fullT;        // A_t of a window whose N samples all count: Σ (N − k)²
  double inverseFullT;  // 1 / A_t there, the most common reciprocal
};

// The value at point i from the exact sums, where it can be known from them. A colour whose
// window is flat (all N samples count and hold one value) takes that value's flat mean.
// Otherwise the definition's r / t differs from the exact mean q = A_c / A_t by a relative
// error below (2N + 7)·2^-53 (weights, products, N − 1 additions of non-negative terms, the
// division), so where q lies farther than eps·q from every whole number, trunc(r / t) is
// floor(q). False where it may not be: the caller then sums in the definition's order.
template <class P>
[[gnu::always_inline]] inline bool ExactValue(const LineScratch& s, int n, int i, A_long N,
                                              const ExactBounds& bounds, const FlatMeans& flat,
                                              A_u_short alpha, P* out) {
  const double eps = bounds.eps;
  using C = typename PixelTraits<P>::Channel;
  const int64_t* sums = s.exactSums(i);
  const int64_t T = sums[3];
  if (T == 0) {  // no sample counts: t is +0
    *out = P{C(alpha), 0, 0, 0};
    return true;
  }
  C value[3];
  const double inverse = T == bounds.fullT ? bounds.inverseFullT : 1 / double(T);
  for (int c = 0; c < 3; ++c) {
    if (s.flat(c, i, n, N)) {
      value[c] = C(flat(s.value(c, i)));
      continue;
    }
    const int64_t S = sums[c];
    int64_t f = int64_t(double(S) * inverse);  // within one of floor(q): mended below
    int64_t rem = S - f * T;
    if (rem < 0) --f, rem += T;
    else if (rem >= T) ++f, rem -= T;
    const double margin = double(S) * eps;
    if (!(double(rem) > margin && double(T - rem) > margin)) return false;
    value[c] = C(f);
  }
  *out = P{C(alpha), value[0], value[1], value[2]};
  return true;
}

// The values the line leaves at points i … i + kTrailLanes − 1: the source pixel where N is 0,
// else the mean of the opaque pixels from the point N steps toward the centre, weighted
// ((N − k) / N)², each sum taken in the definition's order (k = 0 … N − 1).
// Where every sample the eight windows read counts (`full`), each window's weight is `total`,
// the weights added in that order, and only the colours are summed.
template <class P>
void LineValues(const LineScratch& s, int i, A_long N, const double* weight, bool full,
                double total, const P* own, P* out) {
  using C = typename PixelTraits<P>::Channel;
  if (N == 0) {
    std::copy(own, own + kTrailLanes, out);
    return;
  }
  const double* channels[4] = {s.channel(0), s.channel(1), s.channel(2), s.channel(3)};
  double sums[4][kTrailLanes];  // red, green, blue, weight; by lane
  TrailLaneSums(true, channels, i, N, weight, sums, full);
  if (full) std::fill(sums[3], sums[3] + kTrailLanes, total);
  const double *r = sums[0], *g = sums[1], *b = sums[2], *t = sums[3];
  for (int l = 0; l < kTrailLanes; ++l)
    out[l] = t[l] == 0 ? P{own[l].alpha, 0, 0, 0}
                       : P{own[l].alpha, C(r[l] / t[l]), C(g[l] / t[l]), C(b[l] / t[l])};
}

}  // namespace trail
