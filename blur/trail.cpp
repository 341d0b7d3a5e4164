#include "trail.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "fast_blur.h"
#include "trail_sums.h"
#include "core/bands.h"
#include "core/pixel.h"
#include "core/vectors.h"

using namespace trail;

namespace {

constexpr uint64_t kUnclaimed = ~uint64_t(0);

bool IsZero(const PF_Pixel& p) { return !(p.alpha | p.red | p.green | p.blue); }
bool IsZero(const PF_Pixel16& p) { return !(p.alpha | p.red | p.green | p.blue); }
bool IsZero(const PF_PixelFloat& p) { return p.alpha == 0 && p.red == 0 && p.green == 0 && p.blue == 0; }

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
    PF_PixelFloat value;  // any depth's channels, as they are (whole numbers below 2^24 exactly)
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
        exact_(!kIsFloat<P> && job.N > 0 && job.N <= kExactMaxN), bounds_(job.N) {}

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
  bool Opaque(int i) const {
    if constexpr (kIsFloat<P>) return (source(i) ? source(i)->alpha : own(i).alpha) != 0;
    else return OwnAlpha(i) != 0;
  }
  // The alpha of point i's own source pixel, the one its value keeps (the samples must be
  // read).
  A_u_short OwnAlpha(int i) const { return source(i) ? s_.alphas[size_t(i)] : own(i).alpha; }

  // The line's samples, read when a mean first needs them (claims by opaque points do not),
  // with the starts of their runs.
  void Sample() {
    if (sampled_) return;
    if constexpr (kIsFloat<P>) {
      // Float samples go straight to the ordered sums (there are no exact ones).
      for (int i = 0; i < n_; ++i) {
        const P* q = source(i);
        const bool counts = q && q->alpha != 0;
        s_.channel(0)[i] = counts ? double(q->red) : 0.0;
        s_.channel(1)[i] = counts ? double(q->green) : 0.0;
        s_.channel(2)[i] = counts ? double(q->blue) : 0.0;
        s_.channel(3)[i] = counts;
      }
      sampled_ = true;
      doublesFrom_ = 0;
      padded_ = false;
      return;
    }
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
    if constexpr (!kIsFloat<P>)
      if (exact_ && ExactValue(s_, n_, i, job_.N, bounds_, *job_.flat, mine.alpha, &value)) return value;
    Doubles(i);
    P mines[kTrailLanes] = {mine}, values[kTrailLanes];
    LineValues<P>(s_, i, job_.N, job_.weight.data(), s_.fullWindows(i, n_, job_.N), job_.flat->total(),
                  mines, values);
    return values[0];
  }
  // The values of the listed points into their places; the list is used up.
  void WriteValues(LinePoints<P>& points) {
    if (points.count == 0) return;
    Sample();
    auto* at = points.at.data();
    if constexpr (!kIsFloat<P>) if (exact_) {
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
      LineValues<P>(s_, i, job_.N, job_.weight.data(), s_.fullWindows(i, n_, job_.N), job_.flat->total(),
                    mine, values);
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
    if (!padded_) {  // the line's first ordered sums: where its counting samples end, once
      if constexpr (kIsFloat<P>) s_.FindGaps(n_, [this](int i) { return s_.channel(3)[i] != 0; });
      else s_.FindGaps(n_, [this](int i) { return s_.value(3, i) != 0; });
    }
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
      if (!IsZero(v))
        kept.push_back({axis[a].cell, line.key(axis[a].i),
                        {PF_FpShort(v.alpha), PF_FpShort(v.red), PF_FpShort(v.green), PF_FpShort(v.blue)}});
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
    const PF_Err err = ByDepth(rc->io, dst, [&](auto pixel) {
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
      const PF_PixelFloat& v = all[a].value;
      const A_long row = A_long(all[a].cell / W), col = A_long(all[a].cell % W);
      if (rc->io->float32) RowOf<PF_PixelFloat>(dst, row)[col] = v;
      else if (deep) RowOf<PF_Pixel16>(dst, row)[col] = PF_Pixel16{A_u_short(v.alpha), A_u_short(v.red), A_u_short(v.green), A_u_short(v.blue)};
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
    const PF_Err err = ByDepth(rc->io, dst, [&](auto pixel) {
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

namespace {

// The extent e of a float world (as far as it lies in the world) to transparent black.
void ClearFloat(PF_EffectWorld* w, const PF_Rect& e) {
  const A_long left = std::max<A_long>(e.left, 0), right = std::min(e.right, w->width);
  for (A_long y = std::max<A_long>(e.top, 0); y < std::min(e.bottom, w->height); ++y)
    std::fill(RowOf<PF_PixelFloat>(w, y) + left, RowOf<PF_PixelFloat>(w, y) + std::max(left, right),
              PF_PixelFloat{0, 0, 0, 0});
}

}  // namespace

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
  PF_Err err = PF_Err_NONE;
  if (io->float32) ClearFloat(dst, e);  // the host's fills know 8 and 16 bits
  else err = IsDeep(dst) ? in_data->utils->fill16(in_data->effect_ref, &clear16, &e, dst)
                         : in_data->utils->fill(in_data->effect_ref, &clear8, &e, dst);
  if (err) return err;

  const TrailRefcon rc{g.cx, g.cy, io, info->trailAmount, g.distance};
  if ((err = TrailDraw(&rc, true))) return err;

  std::swap(io->src, io->dst);
  return FastBlurA(io, r, r, false);
}
