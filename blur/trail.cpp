#include "trail.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "fast_blur.h"
#include "core/bands.h"
#include "core/pixel.h"
#include "core/vectors.h"

namespace {

constexpr uint64_t kUnclaimed = ~uint64_t(0);

bool IsZero(const PF_Pixel& p) { return !(p.alpha | p.red | p.green | p.blue); }
bool IsZero(const PF_Pixel16& p) { return !(p.alpha | p.red | p.green | p.blue); }

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
        room(room) {}
  bool ok() const {
    return pts && values && starts && samples && exact && cells && sources && targets && alphas;
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
  size_t room;
};

// The weighted sums of the means in whole numbers, exactly: for every point i of the line's
// n, A(i) = Σ over k = 0 … N − 1 of channel[i + k] · (N − k)², which is N² times the sum
// the definition takes with the weights ((N − k) / N)². Slid along the line with
// B(i) = Σ channel[i + k] · (N − k) and C(i) = Σ channel[i + k]:
//   C(i + 1) = C(i) − ch[i] + ch[i + N],  B(i + 1) = B(i) − N·ch[i] + C(i + 1),
//   A(i + 1) = A(i) − N²·ch[i] + 2·(B(i) − N·ch[i]) + C(i + 1).
// Every value stays below 65535 · N³ / 3 + 2^48, within 64 bits while N ≤ kExactMaxN, and
// each product is of two numbers below 2^32 (N² ≤ 3.6 · 10^9). The four channels slide
// side by side.
constexpr A_long kExactMaxN = 60000;
void ExactSumsPlain(const LineScratch& s, int n, A_long N) {
  int64_t A[4] = {}, B[4] = {}, C[4] = {};
  const int64_t NN = int64_t(N) * N;
  for (A_long k = 0; k < N && k < n; ++k) {
    const int64_t d = N - k;
    for (int c = 0; c < 4; ++c) {
      const int64_t v = s.value(c, k);
      A[c] += v * d * d;
      B[c] += v * d;
      C[c] += v;
    }
  }
  for (int i = 0; i < n; ++i) {
    int64_t* out = s.exactSums(i);
    for (int c = 0; c < 4; ++c) {
      out[c] = A[c];
      const int64_t leave = s.value(c, i);
      const int64_t enter = i + N < n ? s.value(c, i + N) : 0;
      const int64_t B0 = B[c] - N * leave;
      C[c] += enter - leave;
      A[c] += 2 * B0 - NN * leave + C[c];
      B[c] = B0 + C[c];
    }
  }
}

#if defined(__x86_64__) || defined(__i386__)
// The same with the four channels as the lanes of 256-bit whole-number vectors.
VIZMIRA_WIDE [[gnu::always_inline]] inline __m256i SampleLanes(const LineScratch& s, int i) {
  return _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s.sample(i))));
}

VIZMIRA_WIDE void ExactSumsWide(const LineScratch& s, int n, A_long N) {
  __m256i A = _mm256_setzero_si256(), B = A, C = A;
  for (A_long k = 0; k < N && k < n; ++k) {
    const __m256i v = SampleLanes(s, k), d = _mm256_set1_epi64x(N - k);
    A = _mm256_add_epi64(A, _mm256_mul_epu32(v, _mm256_mul_epu32(d, d)));
    B = _mm256_add_epi64(B, _mm256_mul_epu32(v, d));
    C = _mm256_add_epi64(C, v);
  }
  const __m256i vN = _mm256_set1_epi64x(N), vNN = _mm256_set1_epi64x(int64_t(N) * N);
  const __m256i zero = _mm256_setzero_si256();
  for (int i = 0; i < n; ++i) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(s.exactSums(i)), A);
    const __m256i leave = SampleLanes(s, i);
    const __m256i enter = i + N < n ? SampleLanes(s, i + N) : zero;
    const __m256i B0 = _mm256_sub_epi64(B, _mm256_mul_epu32(vN, leave));
    C = _mm256_add_epi64(C, _mm256_sub_epi64(enter, leave));
    const __m256i twice = _mm256_add_epi64(B0, B0);
    A = _mm256_add_epi64(A, _mm256_add_epi64(_mm256_sub_epi64(twice, _mm256_mul_epu32(vNN, leave)), C));
    B = _mm256_add_epi64(B0, C);
  }
}
#else
void ExactSumsWide(const LineScratch& s, int n, A_long N) { ExactSumsPlain(s, n, N); }
#endif

void ExactSums(const LineScratch& s, int n, A_long N) {
  if (WideVectors()) ExactSumsWide(s, n, N);
  else ExactSumsPlain(s, n, N);
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

// What deciding a value from the exact sums takes besides them, for windows of N samples.
struct ExactBounds {
  explicit ExactBounds(A_long N)
      : eps((2.0 * N + 16) * 0x1p-53 * 1.01),
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
  const TrailRefcon* rc = nullptr;
  std::vector<PF_FixedPoint> starts;
  A_long N = 0;
  std::vector<double> weight;  // the N weights
  size_t room = 0;             // points a line can have
  const FlatMeans* flat = nullptr;
  std::atomic<uint64_t>* claims = nullptr;  // the claims method's smallest keys
  bool writing = false;                     // its second pass
  struct AxisValue {
    size_t cell;
    uint64_t key;
    PF_Pixel16 value;  // PF_Pixel's channels widened as they are
  };
  std::vector<AxisValue> axis[4];  // the quadrant method's values on the centre's row and column
};

// Points of a line and the places their values go, in ascending order; added without a
// branch (written at the end, counted only when kept).
template <class P>
struct LinePoints {
  explicit LinePoints(size_t room) : at(room) {}
  void add(int i, P* target, bool keep = true) {
    at[count] = {i, target};
    count += keep;
  }
  std::vector<std::pair<int, P*>> at;
  size_t count = 0;
};

// One line as a band walks it: its points, the pixels they write and their values.
template <class P>
class Line {
 public:
  Line(const TrailJob& job, LineScratch& s)
      : job_(job), s_(s), src_(job.rc->io->src), dst_(job.rc->io->dst),
        exact_(job.N > 0 && job.N <= kExactMaxN), bounds_(job.N) {}

  // Line l of the job's lines: its points and the pixel each writes (where the mirrored
  // accessor points, so never outside the image).
  void Start(A_long l) {
    const PF_Rect& e = dst_->extent_hint;
    const A_long x = job_.starts[size_t(l)].x, y = job_.starts[size_t(l)].y;
    n_ = ComputeLinePTs(x, y, job_.rc->cx, job_.rc->cy, s_.pts.get());
    line_ = uint64_t(y - e.top) * uint64_t(dst_->width) + uint64_t(x - e.left);
    sampled_ = false;
    const PF_FixedPoint* pts = s_.pts.get();
    for (int i = 0; i < n_; ++i) {
      A_long row = pts[i].y - e.top, col = pts[i].x - e.left;
      RecomputePosition(dst_, row, col);
      s_.cells[size_t(i)] = size_t(row) * size_t(dst_->width) + size_t(col);
      s_.targets[size_t(i)] = RowOf<P>(dst_, row) + col;
      s_.sources[size_t(i)] = GetPointerFromDataP<P>(src_, pts[i].y, pts[i].x, 0);
    }
  }
  int size() const { return n_; }
  size_t cell(int i) const { return s_.cells[size_t(i)]; }
  uint64_t key(int i) const { return line_ * job_.room + uint64_t(i); }
  P* target(int i) const { return static_cast<P*>(s_.targets[size_t(i)]); }
  const PF_FixedPoint& point(int i) const { return s_.pts[size_t(i)]; }
  // The source pixel the point keeps where N is 0 (and whose alpha the value keeps).
  P own(int i) const {
    if (i >= n_) return P{0, 0, 0, 0};
    if (const P* q = source(i)) return *q;
    const PF_FixedPoint* pts = s_.pts.get();
    return GetPointerFromData<P>(src_, pts[i].y, pts[i].x, 1);  // folded back in
  }
  // The claims of the points a few steps on lie on other rows, fetched from memory: they are
  // asked for early.
  void FetchClaimAhead(int i) const {
    constexpr int kAhead = 12;
    if (i + kAhead < n_) __builtin_prefetch(&job_.claims[cell(i + kAhead)], 1);
  }

  // Whether point i's own source pixel is opaque, from its sample where it has one (the
  // samples must be read).
  bool Opaque(int i) const { return OwnAlpha(i) != 0; }
  // The alpha of point i's own source pixel, the one its value keeps (the samples must be
  // read).
  A_u_short OwnAlpha(int i) const { return source(i) ? s_.alphas[size_t(i)] : own(i).alpha; }

  // The line's samples, read when a mean first needs them (claims by opaque points do not),
  // with the starts of their runs.
  void Sample() {
    if (sampled_) return;
    int32_t *startR = s_.start(0), *startG = s_.start(1), *startB = s_.start(2);
    for (int i = 0; i < n_; ++i) {
      const P* q = source(i);
      const bool counts = q && q->alpha != 0;
      s_.alphas[size_t(i)] = q ? q->alpha : 0;
      int32_t* v = s_.sample(i);
      v[0] = counts ? q->red : 0;
      v[1] = counts ? q->green : 0;
      v[2] = counts ? q->blue : 0;
      v[3] = counts;
      const int32_t* u = s_.sample(i > 0 ? i - 1 : 0);  // the sample before
      const bool joins = counts && i > 0 && u[3];       // may continue the runs before
      startR[i] = joins && v[0] == u[0] ? startR[i - 1] : i;
      startG[i] = joins && v[1] == u[1] ? startG[i - 1] : i;
      startB[i] = joins && v[2] == u[2] ? startB[i - 1] : i;
    }
    if (exact_) ExactSums(s_, n_, job_.N);
    sampled_ = true;
    doublesFrom_ = n_;
    padded_ = false;
  }

  // The value of point i, whose source pixel is `mine`.
  P Value(int i, const P& mine) {
    Sample();
    P value;
    if (exact_ && ExactValue(s_, n_, i, job_.N, bounds_, *job_.flat, mine.alpha, &value)) return value;
    Doubles(i);
    P mines[kTrailLanes] = {mine}, values[kTrailLanes];
    LineValues<P>(s_, i, job_.N, job_.weight.data(), mines, values);
    return values[0];
  }
  // The values of the listed points into their places; the list is used up.
  void WriteValues(LinePoints<P>& points) {
    if (points.count == 0) return;
    Sample();
    auto* at = points.at.data();
    if (exact_) {
      size_t kept = 0;  // the points whose values need the ordered sums
      for (size_t o = 0; o < points.count; ++o) {
        const auto [i, t] = at[o];
        if (!ExactValue(s_, n_, i, job_.N, bounds_, *job_.flat, OwnAlpha(i), t)) at[kept++] = {i, t};
      }
      points.count = kept;
    }
    if (points.count > 0) Doubles(at[0].first);
    for (size_t o = 0; o < points.count;) {
      const int i = at[o].first;
      P mine[kTrailLanes], values[kTrailLanes];
      for (int k = 0; k < kTrailLanes; ++k) mine[k] = own(i + k);
      LineValues<P>(s_, i, job_.N, job_.weight.data(), mine, values);
      for (; o < points.count && at[o].first < i + kTrailLanes; ++o)
        *at[o].second = values[at[o].first - i];
    }
  }

 private:
  const P* source(int i) const { return static_cast<const P*>(s_.sources[size_t(i)]); }
  // The samples from point `from` on as the ordered sums take them (a point's window reads
  // none before it), the zeros behind the line included.
  void Doubles(int from) {
    if (from >= doublesFrom_ && padded_) return;
    for (int c = 0; c < 4; ++c) {
      double* d = s_.channel(c);
      for (int i = from; i < doublesFrom_; ++i) d[i] = double(s_.value(c, i));
      if (!padded_) std::fill(d + n_, d + n_ + job_.N + kTrailLanes, 0.0);
    }
    doublesFrom_ = std::min(doublesFrom_, from);
    padded_ = true;
  }

  const TrailJob& job_;
  LineScratch& s_;
  const PF_EffectWorld* src_;
  const PF_EffectWorld* dst_;
  const bool exact_;
  const ExactBounds bounds_;
  int n_ = 0;
  uint64_t line_ = 0;
  bool sampled_ = false, padded_ = false;
  int doublesFrom_ = 0;  // the samples made doubles: from here to the line's end
};

// The claims method, for any extent: a first pass over every line claims the pixels, each
// keeping the smallest key of a point whose value is not transparent black; a second pass
// writes the owners' values.
// Chunk `chunk` of `chunks` of the lines.
template <class P>
PF_Err ClaimsChunk(TrailJob* job, A_long chunk, A_long chunks) {
  LineScratch s(job->room, job->N);
  if (!s.ok()) return PF_Err_OUT_OF_MEMORY;
  Line<P> line(*job, s);
  LinePoints<P> owned(job->writing ? job->room : 0);
  const Span lines = BandSpan(A_long(job->starts.size()), chunk, chunks);
  for (A_long l = lines.first; l < lines.last; ++l) {
    line.Start(l);
    const int n = line.size();
    if (job->writing) {
      owned.count = 0;
      for (int i = 0; i < n; ++i) {
        line.FetchClaimAhead(i);
        owned.add(i, line.target(i),
                  job->claims[line.cell(i)].load(std::memory_order_relaxed) == line.key(i));
      }
      line.WriteValues(owned);
      continue;
    }
    for (int i = 0; i < n; ++i) {
      line.FetchClaimAhead(i);
      // The value keeps the source pixel's alpha, so an opaque one needs no mean to know
      // that the value is not transparent black.
      const P mine = line.own(i);
      if (mine.alpha == 0 && IsZero(line.Value(i, mine))) continue;
      std::atomic<uint64_t>& claim = job->claims[line.cell(i)];
      const uint64_t key = line.key(i);
      uint64_t seen = claim.load(std::memory_order_relaxed);
      while (key < seen && !claim.compare_exchange_weak(seen, key)) {
      }
    }
  }
  return PF_Err_NONE;
}

// The quadrant method, where no line's point folds: a line from the quarter of the edge
// above and left of the centre (and so on) keeps to the pixels above and left of it, but
// for its points on the centre's row or column. So each quarter's lines run on their own,
// in key order, the first to find a pixel not taken and a value not transparent black
// owning it; their values on the centre's row and column are kept with their keys and the
// smallest key's written at the end. A pixel is taken where it is no longer transparent
// black: every line writes its values before the next one starts.
int Quadrant(const PF_FixedPoint& start, A_long cx, A_long cy) {
  return (start.x > cx ? 1 : 0) + (start.y > cy ? 2 : 0);
}

bool QuadrantsApply(const PF_EffectWorld* dst, A_long cx, A_long cy) {
  const PF_Rect& e = dst->extent_hint;
  return e.left == 0 && e.top == 0 && e.right <= dst->width && e.bottom <= dst->height &&
         cx >= 0 && cx < dst->width && cy >= 0 && cy < dst->height;
}

template <class P>
PF_Err QuadrantLines(TrailJob* job, A_long quadrant) {
  const TrailRefcon* rc = job->rc;
  PF_InData* in_data = rc->io->in_data;
  LineScratch s(job->room, job->N);
  if (!s.ok()) return PF_Err_OUT_OF_MEMORY;
  Line<P> line(*job, s);
  LinePoints<P> owned(job->room);
  struct AxisPoint {
    int i;
    size_t cell;
  };
  std::vector<AxisPoint> axis;  // this line's points on the centre's row or column
  std::vector<P> axisValues(job->room);
  std::vector<TrailJob::AxisValue>& kept = job->axis[quadrant];
  A_long walked = 0;
  for (A_long l = 0; l < A_long(job->starts.size()); ++l) {
    if (Quadrant(job->starts[size_t(l)], rc->cx, rc->cy) != quadrant) continue;
    if (++walked % 64 == 0 && in_data)  // a quarter of the lines takes a while
      if (PF_Err err = in_data->inter.abort(in_data->effect_ref)) return err;
    line.Start(l);
    line.Sample();  // nearly every line owns a point: its samples are read in one go
    const int n = line.size();
    owned.count = 0;
    axis.clear();
    for (int i = 0; i < n; ++i) {
      const size_t cell = line.cell(i);
      if (line.point(i).y == rc->cy || line.point(i).x == rc->cx) {  // no point folds
        owned.add(i, &axisValues[axis.size()]);
        axis.push_back({i, cell});
        continue;
      }
      // Whether the pixel is still free decides without a branch (lines crossing near the
      // centre make it unpredictable); a transparent source pixel needs its value to know.
      // (The value of an opaque one keeps its alpha: it takes the pixel.)
      P* target = line.target(i);
      const bool free = IsZero(*target);
      if (line.Opaque(i)) {
        owned.add(i, target, free);
      } else if (free) {
        const P mine = line.own(i);
        if (const P value = line.Value(i, mine); !IsZero(value)) *target = value;
      }
    }
    line.WriteValues(owned);
    for (size_t a = 0; a < axis.size(); ++a) {
      const P& v = axisValues[a];
      if (!IsZero(v)) kept.push_back({axis[a].cell, line.key(axis[a].i), {v.alpha, v.red, v.green, v.blue}});
    }
  }
  return PF_Err_NONE;
}

}  // namespace

PF_Err TrailDraw(const TrailRefcon* rc, bool anyMethod) {
  const PF_EffectWorld* dst = rc->io->dst;
  const PF_Rect& e = dst->extent_hint;
  TrailJob job;
  job.rc = rc;
  job.N = A_long(float(rc->distance) * rc->amount * rc->amount);
  job.room = size_t(std::max(dst->width, dst->height)) * 2 + 2;
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
  const bool deep = IsDeep(dst);
  const size_t pixels = size_t(dst->width) * size_t(dst->height);

  if (anyMethod && QuadrantsApply(dst, rc->cx, rc->cy)) {
    // One band a quarter.
    const PF_Err err = ByDepth(dst, [&](auto pixel) {
      return ParallelRows(rc->io, 4, [&job](Span quadrants, A_long) {
        return QuadrantLines<decltype(pixel)>(&job, quadrants.first);
      }, RowsOptions{4});
    });
    if (err) return err;
    // The centre's row and column: each pixel the value of the smallest key.
    std::vector<TrailJob::AxisValue> all;
    for (const auto& q : job.axis) all.insert(all.end(), q.begin(), q.end());
    std::sort(all.begin(), all.end(), [](const TrailJob::AxisValue& a, const TrailJob::AxisValue& b) {
      return a.cell != b.cell ? a.cell < b.cell : a.key < b.key;
    });
    const size_t W = size_t(dst->width);
    for (size_t a = 0; a < all.size(); ++a) {
      if (a > 0 && all[a].cell == all[a - 1].cell) continue;
      const PF_Pixel16& v = all[a].value;
      const A_long row = A_long(all[a].cell / W), col = A_long(all[a].cell % W);
      if (deep) RowOf<PF_Pixel16>(dst, row)[col] = v;
      else RowOf<PF_Pixel>(dst, row)[col] = PF_Pixel{A_u_char(v.alpha), A_u_char(v.red), A_u_char(v.green), A_u_char(v.blue)};
    }
    return PF_Err_NONE;
  }

  std::unique_ptr<std::atomic<uint64_t>[]> claims(new (std::nothrow) std::atomic<uint64_t>[pixels]);
  if (!claims) return PF_Err_OUT_OF_MEMORY;
  for (size_t i = 0; i < pixels; ++i) claims[i].store(kUnclaimed, std::memory_order_relaxed);
  job.claims = claims.get();
  // One band a chunk of lines. Bands taken one after another run at once on the host's
  // threads: they take their chunks from the two ends of the edge in turn, so that threads
  // seldom work on the same pixels.
  const A_long chunks = lines / 32 + 1;
  for (bool writing : {false, true}) {
    job.writing = writing;
    const PF_Err err = ByDepth(dst, [&](auto pixel) {
      return ParallelRows(rc->io, chunks, [&job, chunks](Span bands, A_long) {
        const A_long band = bands.first;
        const A_long chunk = band % 2 == 0 ? band / 2 : chunks - 1 - band / 2;
        return ClaimsChunk<decltype(pixel)>(&job, chunk, chunks);
      }, RowsOptions{chunks});
    });
    if (err) return err;
  }
  return PF_Err_NONE;
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

  const TrailRefcon rc{g.cx, g.cy, io, info->trailAmount, g.distance};
  if ((err = TrailDraw(&rc, true))) return err;

  std::swap(io->src, io->dst);
  return FastBlurA(io, r, r, false);
}
