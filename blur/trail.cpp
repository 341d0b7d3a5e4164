#include "trail.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "fast_blur.h"
#include "core/bands.h"
#include "core/pixel.h"
#include "core/vectors.h"

namespace {

constexpr uint64_t kUnclaimed = ~uint64_t(0);

bool IsZero(const PF_Pixel& p) { return !(p.alpha | p.red | p.green | p.blue); }
bool IsZero(const PF_Pixel16& p) { return !(p.alpha | p.red | p.green | p.blue); }

// What one band needs for a line, allocated once per band: the line's points, and its
// source samples as the means take them, channel by channel: whole channel values as
// doubles (exactly the values the sums would convert) and, in `counts`, 1 where the sample
// counts (inside and opaque), else 0 with zero channels. Behind the line's n samples come
// N + kTrailLanes zero samples, so that every point sums N terms: a zero term adds +0, which
// leaves a sum of non-negative terms exactly as it was.
struct LineScratch {
  explicit LineScratch(size_t room, A_long N)
      : pts(new (std::nothrow) PF_FixedPoint[room]),
        stride(room + size_t(N) + kTrailLanes),
        samples(new (std::nothrow) double[4 * stride]),
        exact(new (std::nothrow) int64_t[4 * room]),
        runs(new (std::nothrow) int32_t[3 * room]),
        cells(new (std::nothrow) size_t[room]),
        room(room) {}
  bool ok() const { return pts && samples && exact && runs && cells; }
  double* channel(int c) const { return samples.get() + size_t(c) * stride; }
  int64_t* exactSums(int c) const { return exact.get() + size_t(c) * room; }
  int32_t* run(int c) const { return runs.get() + size_t(c) * room; }

  std::unique_ptr<PF_FixedPoint[]> pts;
  size_t stride;
  std::unique_ptr<double[]> samples;  // red, green, blue, counts
  std::unique_ptr<int64_t[]> exact;   // ExactSums: red, green, blue, counts
  // ExactSums: for red, green and blue, how many samples from each point on count and hold
  // its value.
  std::unique_ptr<int32_t[]> runs;
  std::unique_ptr<size_t[]> cells;  // where each point writes: its pixel's index in dst
  size_t room;
};

// The weighted sums of the means in whole numbers, exactly: for every point i of the line's
// n, A(i) = Σ over k = 0 … N − 1 of channel[i + k] · (N − k)², which is N² times the sum
// the definition takes with the weights ((N − k) / N)². Slid along the line with
// B(i) = Σ channel[i + k] · (N − k) and C(i) = Σ channel[i + k]:
//   C(i + 1) = C(i) − ch[i] + ch[i + N],  B(i + 1) = B(i) − N·ch[i] + C(i + 1),
//   A(i + 1) = A(i) − N²·ch[i] + 2·(B(i) − N·ch[i]) + C(i + 1).
// Every value stays below 65535 · N³ / 3 + 2^48, within 64 bits while N ≤ kExactMaxN.
constexpr A_long kExactMaxN = 60000;
void ExactSums(const LineScratch& s, int n, A_long N) {
  for (int c = 0; c < 4; ++c) {
    const double* ch = s.channel(c);  // whole values, zeros past n
    int64_t* out = s.exactSums(c);
    int64_t A = 0, B = 0, C = 0;
    const int64_t NN = int64_t(N) * N;
    for (A_long k = 0; k < N && k < n; ++k) {
      const int64_t v = int64_t(ch[k]), d = N - k;
      A += v * d * d;
      B += v * d;
      C += v;
    }
    if (c < 3) {
      int32_t* run = s.run(c);
      const double* counts = s.channel(3);
      for (int i = n - 1; i >= 0; --i)
        run[i] = counts[i] == 0 ? 0 : i + 1 < n && run[i + 1] && ch[i + 1] == ch[i] ? run[i + 1] + 1 : 1;
    }
    for (int i = 0; i < n; ++i) {
      out[i] = A;
      const int64_t leave = int64_t(ch[i]);
      const int64_t enter = i + N < n ? int64_t(ch[i + N]) : 0;
      const int64_t B0 = B - N * leave;
      C += enter - leave;
      A += 2 * B0 - NN * leave + C;
      B = B0 + C;
    }
  }
}

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

// The value at point i from the exact sums, where it can be known from them. A colour whose
// window is flat (all N samples count and hold one value) takes that value's flat mean.
// Otherwise the definition's r / t differs from the exact mean q = A_c / A_t by a relative
// error below (2N + 7)·2^-53 (weights, products, N − 1 additions of non-negative terms, the
// division), so where q lies farther than eps·q from every whole number, trunc(r / t) is
// floor(q). False where it may not be: the caller then sums in the definition's order.
template <class P>
bool ExactValue(const LineScratch& s, int n, int i, A_long N, double eps, const FlatMeans& flat,
                A_u_short alpha, P* out) {
  using C = typename PixelTraits<P>::Channel;
  const int64_t T = s.exactSums(3)[i];
  if (T == 0) {  // no sample counts: t is +0
    *out = P{C(alpha), 0, 0, 0};
    return true;
  }
  C value[3];
  for (int c = 0; c < 3; ++c) {
    if (i + N <= n && s.run(c)[i] >= N) {
      value[c] = C(flat(int32_t(s.channel(c)[i])));
      continue;
    }
    const int64_t S = s.exactSums(c)[i];
    int64_t f = int64_t(double(S) / double(T));
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

// The sums of points i … i + kTrailLanes − 1 (lanes) over k = 0 … N − 1 of
// channel[i + lane + k] · weight[k], each lane adding its terms in that order, for the four
// channels at once. A lane of a vector operation is the very IEEE operation the scalar one
// is, so every width gives the same sums; where the processor has 256-bit vectors, eight
// lanes run at once (eight independent chains of additions), else four.
template <int kGroups>
[[gnu::always_inline]] inline void Sums(const double* const* channels, int i, A_long N,
                                        const double* weight, double (*sums)[kTrailLanes]) {
  V4d acc[4][kGroups] = {};
  for (A_long k = 0; k < N; ++k) {
    const V4d w = {weight[k], weight[k], weight[k], weight[k]};
    for (int c = 0; c < 4; ++c)
      for (int g = 0; g < kGroups; ++g) {
        V4d v;
        std::memcpy(&v, channels[c] + i + 4 * g + k, sizeof v);
        acc[c][g] += v * w;
      }
  }
  for (int c = 0; c < 4; ++c) std::memcpy(sums[c], acc[c], sizeof acc[c]);
}

VIZMIRA_WIDE void SumsWide(const double* const* channels, int i, A_long N, const double* weight,
                           double (*sums)[kTrailLanes]) {
  Sums<2>(channels, i, N, weight, sums);
}

}  // namespace

void TrailLaneSums(bool wide, const double* const* channels, int i, A_long N,
                   const double* weight, double (*sums)[kTrailLanes]) {
  if (wide && WideVectors()) return SumsWide(channels, i, N, weight, sums);
  double high[4][kTrailLanes];
  Sums<1>(channels, i, N, weight, sums);
  Sums<1>(channels, i + 4, N, weight, high);
  for (int c = 0; c < 4; ++c) std::copy(high[c], high[c] + 4, sums[c] + 4);
}

namespace {

// The values the line leaves at points i … i + kTrailLanes − 1: the source pixel where N is 0,
// else the mean of the opaque pixels from the point N steps toward the centre, weighted
// ((N − k) / N)², each sum taken in the definition's order (k = 0 … N − 1).
template <class P>
void LineValues(const LineScratch& s, int i, A_long N, const double* weight, const P* own,
                P* out) {
  using C = typename PixelTraits<P>::Channel;
  if (N == 0) {
    std::copy(own, own + kTrailLanes, out);
    return;
  }
  const double* channels[4] = {s.channel(0), s.channel(1), s.channel(2), s.channel(3)};
  double sums[4][kTrailLanes];  // red, green, blue, weight; by lane
  TrailLaneSums(true, channels, i, N, weight, sums);
  const double *r = sums[0], *g = sums[1], *b = sums[2], *t = sums[3];
  for (int l = 0; l < kTrailLanes; ++l)
    out[l] = t[l] == 0 ? P{own[l].alpha, 0, 0, 0}
                       : P{own[l].alpha, C(r[l] / t[l]), C(g[l] / t[l]), C(b[l] / t[l])};
}

// The lines: one from every pixel of the world on a row or column of the extent's edge
// toward the centre, keyed by that pixel's position in row-major order.
struct TrailJob {
  const TrailRefcon* rc;
  std::vector<PF_FixedPoint> starts;
  A_long N;
  std::vector<double> weight;  // the N weights
  size_t room;                 // points a line can have
  BandProgress progress;
  const FlatMeans* flat = nullptr;
};

template <class P>
PF_Err TrailLines(void* job_, A_long thread, A_long band, A_long bands) {
  TrailJob* job = static_cast<TrailJob*>(job_);
  const TrailRefcon* rc = job->rc;
  PF_InData* in_data = rc->io->in_data;
  if (PF_Err err = in_data->inter.abort(in_data->effect_ref)) return err;
  const PF_EffectWorld* src = rc->io->src;
  const PF_EffectWorld* dst = rc->io->dst;
  const PF_Rect& e = dst->extent_hint;
  const A_long N = job->N;
  const double* weight = job->weight.data();
  LineScratch s(job->room, N);
  if (!s.ok()) return PF_Err_OUT_OF_MEMORY;
  std::vector<std::pair<int, P*>> owned;
  if (rc->writing) owned.reserve(job->room);
  const bool exact = N > 0 && N <= kExactMaxN;
  const double eps = (2.0 * N + 16) * 0x1p-53 * 1.01;
  double *R = s.channel(0), *G = s.channel(1), *B = s.channel(2), *T = s.channel(3);

  // Bands taken one after another run at once on the host's threads: they take their lines
  // from the two ends of the edge in turn, so that threads seldom work on the same pixels.
  const A_long chunk = band % 2 == 0 ? band / 2 : bands - 1 - band / 2;
  const Span lines = BandSpan(A_long(job->starts.size()), chunk, bands);
  for (A_long l = lines.first; l < lines.last; ++l) {
    const A_long x = job->starts[size_t(l)].x, y = job->starts[size_t(l)].y;
    const PF_FixedPoint* pts = s.pts.get();
    const int n = ComputeLinePTs(x, y, rc->cx, rc->cy, s.pts.get());
    const uint64_t line = uint64_t(y - e.top) * uint64_t(dst->width) + uint64_t(x - e.left);
    // The line's samples, read when a mean first needs them (claims by opaque points do not).
    bool sampled = false;
    auto sample = [&] {
      for (int i = 0; i < n; ++i) {
        const P* q = GetPointerFromDataP<P>(src, pts[i].y, pts[i].x, 0);
        const bool counts = q && q->alpha != 0;
        R[i] = counts ? double(q->red) : 0.0;
        G[i] = counts ? double(q->green) : 0.0;
        B[i] = counts ? double(q->blue) : 0.0;
        T[i] = counts ? 1.0 : 0.0;
      }
      for (double* c : {R, G, B, T}) std::fill(c + n, c + n + N + kTrailLanes, 0.0);
      if (exact) ExactSums(s, n, N);
      sampled = true;
    };
    // Writes land where the mirrored accessor points, so they never leave the image.
    size_t* cell = s.cells.get();
    for (int i = 0; i < n; ++i) {
      A_long row = pts[i].y - e.top, col = pts[i].x - e.left;
      RecomputePosition(dst, row, col);
      cell[i] = size_t(row) * size_t(dst->width) + size_t(col);
    }
    auto target = [&](int i) {
      const size_t w = size_t(dst->width);
      return RowOf<P>(dst, A_long(cell[i] / w)) + cell[i] % w;
    };
    // The claims of the points a few steps on lie on other rows, fetched from memory: they
    // are asked for early.
    constexpr int kAhead = 12;
    auto fetchAhead = [&](int i) {
      if (i + kAhead < n) __builtin_prefetch(&rc->claims[cell[i + kAhead]], 1);
    };
    auto own = [&](int i) {
      return i < n ? GetPointerFromData<P>(src, pts[i].y, pts[i].x, 1) : P{0, 0, 0, 0};
    };
    if (rc->writing) {
      // The points this line owns, their values computed kTrailLanes neighbours at a time.
      owned.clear();
      for (int i = 0; i < n; ++i) {
        fetchAhead(i);
        if (rc->claims[cell[i]].load(std::memory_order_relaxed) == line * job->room + uint64_t(i))
          owned.emplace_back(i, target(i));
      }
      if (!owned.empty()) sample();
      if (exact) {
        size_t kept = 0;  // the points whose values need the ordered sums
        for (const auto& [i, t] : owned)
          if (!ExactValue(s, n, i, N, eps, *job->flat, own(i).alpha, t)) owned[kept++] = {i, t};
        owned.resize(kept);
      }
      for (size_t o = 0; o < owned.size();) {
        const int i = owned[o].first;
        P mine[kTrailLanes], values[kTrailLanes];
        for (int k = 0; k < kTrailLanes; ++k) mine[k] = own(i + k);
        LineValues<P>(s, i, N, weight, mine, values);
        for (; o < owned.size() && owned[o].first < i + kTrailLanes; ++o)
          *owned[o].second = values[owned[o].first - i];
      }
    } else {
      for (int i = 0; i < n; ++i) {
        fetchAhead(i);
        const size_t index = cell[i];
        const uint64_t key = line * job->room + uint64_t(i);
        const P mine = own(i);
        // The value keeps the source pixel's alpha, so an opaque one needs no mean to know
        // that the value is not transparent black.
        bool claims = mine.alpha != 0;
        if (!claims) {
          P value;
          if (!sampled) sample();
          if (!exact || !ExactValue(s, n, i, N, eps, *job->flat, mine.alpha, &value)) {
            P mines[kTrailLanes] = {mine}, values[kTrailLanes];
            LineValues<P>(s, i, N, weight, mines, values);
            value = values[0];
          }
          claims = !IsZero(value);
        }
        if (claims) {
          uint64_t seen = rc->claims[index].load(std::memory_order_relaxed);
          while (key < seen && !rc->claims[index].compare_exchange_weak(seen, key)) {
          }
        }
      }
    }
  }
  return job->progress.Done(in_data, thread, lines.last - lines.first,
                            A_long(job->starts.size()));
}

}  // namespace

PF_Err TrailPass(const PF_Iterate8Suite1* suite, const TrailRefcon* rc) {
  const PF_EffectWorld* dst = rc->io->dst;
  const PF_Rect& e = dst->extent_hint;
  TrailJob job{rc, {}, A_long(float(rc->distance) * rc->amount * rc->amount), {},
               size_t(std::max(dst->width, dst->height)) * 2 + 2, {}};
  for (A_long y = 0; y < dst->height; ++y) {
    if (y == e.top || y == e.bottom - 1) {
      for (A_long x = 0; x < dst->width; ++x) job.starts.push_back(PF_FixedPoint{x, y});
    } else {
      if (e.left >= 0 && e.left < dst->width) job.starts.push_back(PF_FixedPoint{e.left, y});
      const A_long right = e.right - 1;
      if (right != e.left && right >= 0 && right < dst->width)
        job.starts.push_back(PF_FixedPoint{right, y});
    }
  }
  job.weight.resize(size_t(job.N));
  for (A_long k = 0; k < job.N; ++k) {
    const double f = double(job.N - k) / job.N;
    job.weight[size_t(k)] = f * f;
  }
  const FlatMeans flat(job.weight, IsDeep(dst));
  if (!flat.ok()) return PF_Err_OUT_OF_MEMORY;
  job.flat = &flat;
  const A_long lines = A_long(job.starts.size());
  return IterateBands(suite, rc->io->in_data, lines / 32 + 1, &job,
                      IsDeep(dst) ? TrailLines<PF_Pixel16> : TrailLines<PF_Pixel>, lines);
}

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
  AEGP_SuiteHandler suites(in_data->pica_basicP);
  TrailRefcon rc{g.cx, g.cy, io, info->trailAmount, g.distance, claims.get(), false};
  if ((err = TrailPass(suites.Iterate8Suite1(), &rc))) return err;
  rc.writing = true;
  if ((err = TrailPass(suites.Iterate8Suite1(), &rc))) return err;
  claims.reset();

  std::swap(io->src, io->dst);
  return FastBlurA(io, r, r, false);
}
