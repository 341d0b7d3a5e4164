// The fast blur's float passes: each line's running sums of its folded samples made once,
// in the definition's order, every plain window the difference of two of them; a pixel the
// blur map shrinks (0 < m < 1) by its own definition. The same operations as FastBlurH and
// FastBlurV at float, so the same values.
#include <algorithm>
#include <cstring>
#include <vector>

#include "core/bands.h"
#include "core/vectors.h"
#include "fast_blur_lines.h"

namespace fast_blur {
namespace {

using P = PF_PixelFloat;
// The largest radius whose columns keep 2r + 2 rows of running sums of a band.
constexpr A_long kNearRadius = 64;
const IO_Params kNoMap{};  // no lens mask: the plain passes

// A window's mean from two running sums of four lanes: (hi − lo) / weight + 0 (which makes
// −0 +0), as floats.
[[gnu::always_inline]] inline V4f WindowMean(const double* hi, const double* lo, double weight) {
  V4d h, l;
  std::memcpy(&h, hi, sizeof h);
  std::memcpy(&l, lo, sizeof l);
  return __builtin_convertvector((h - l) / weight + 0.0, V4f);
}

// That mean as the pixel out, as WriteMean writes it: alpha is `alpha`.
[[gnu::always_inline]] inline void PutMean(const double* hi, const double* lo, double weight, float alpha,
                                           P* out) {
  V4f m = WindowMean(hi, lo, weight);
  m[0] = alpha;
  std::memcpy(out, &m, sizeof m);
}

// The running sums down the columns of a band, kept for the 2r + 2 rows the windows reach
// back: row i's entry of a column is its entry of row i − 1 plus the column's sample there.
class ColumnSums {
 public:
  ColumnSums(size_t kept, A_long width) : kept_(kept), width_(size_t(width)), ring_(4 * kept * width_) {}
  // Row i's entries, sample(c) added to each column c's entry of the row before.
  template <class Sample>
  [[gnu::always_inline]] void AddRow(size_t i, Sample sample) {
    double* newest = row(i);
    const double* before = i ? row(i - 1) : nullptr;
    for (size_t c = 0; c < width_; ++c) {
      V4d sum = {0, 0, 0, 0};
      if (before) std::memcpy(&sum, before + 4 * c, sizeof sum);
      AddWidened(sum, sample(c));
      std::memcpy(newest + 4 * c, &sum, sizeof sum);
    }
  }
  // Row i's entries (four to a column), while it is kept.
  double* row(size_t i) { return &ring_[4 * (i % kept_) * width_]; }

 private:
  size_t kept_, width_;
  std::vector<double> ring_;
};

// The running sums of `lines` lines side by side: entry (i, l) holds line l's P(i − r − 1)
// for red, green and blue in the lanes of one vector, beside alpha's (each lane the scalar
// sum's very additions); the lines' entries of one position lie together, as the passes
// read them.
class Running {
 public:
  Running(size_t n, size_t lines) : lines_(lines), sums_(4 * n * lines) {}
  // Entry (i, line) from the line's running sum `sum`, which p is added to first.
  [[gnu::always_inline]] void Add(size_t i, size_t line, const P& p, V4d& sum) {
    V4f f;  // alpha, red, green, blue: the alpha lane's sums are not used
    std::memcpy(&f, &p, sizeof f);
    AddWidened(sum, f);
    std::memcpy(at(i, line), &sum, sizeof sum);
  }
  // The mean of line l's window of position t, radius r, over `weight` samples, as
  // WriteMean takes it: (P(t + r) − P(t − r − 1)) / weight + 0 (which makes −0 +0), alpha
  // from `in`.
  [[gnu::always_inline]] void Mean(A_long t, size_t line, A_long r, double weight, const P& in,
                                   P* out) const {
    PutMean(at(size_t(t) + 2 * size_t(r) + 1, line), at(size_t(t), line), weight, in.alpha, out);
  }

 private:
  double* at(size_t i, size_t line) { return &sums_[4 * (i * lines_ + line)]; }
  const double* at(size_t i, size_t line) const { return &sums_[4 * (i * lines_ + line)]; }
  size_t lines_;
  std::vector<double> sums_;  // four to an entry (a vector of vectors is not aligned for them)
};

struct FloatJob {
  const PF_EffectWorld* src;
  PF_EffectWorld* dst;
  A_long r;
  const IO_Params* map;
  const PF_EffectWorld* sourceCopy;
  const A_long* at;  // the fold table from position −r − 1
  double weight;     // 2r + 1
};

// The pixel at (x, y) whose source pixel is `in`: its plain window where the map lets it be
// plain, else the map's own definition.
template <bool kVertical>
[[gnu::always_inline]] inline void Put(const FloatJob& j, const MaskRow* mask, A_long x, A_long y,
                                       const P& in, const Running& sums, A_long t, size_t line,
                                       P* out) {
  const double m = mask ? (*mask)(x) : 1.0;
  if (!mask || m == 1.0) {
    sums.Mean(t, line, j.r, j.weight, in, out);
    return;
  }
  MaskedMean<P, kVertical>(j.src, j.map, j.sourceCopy, j.r, x, y, m, in, out);
}

// The source's pixels under row y of dst, as the per-pixel routines get them: the source's
// own, transparent black beyond it.
const P* UnderRow(const FloatJob& j, A_long y, std::vector<P>& scratch) {
  const A_long W = j.dst->width;
  if (y < j.src->height && W <= j.src->width) return RowOf<P>(j.src, y);
  scratch.resize(size_t(W));
  CopyUnder(j.src, y, 0, W, scratch.data());
  return scratch.data();
}

[[gnu::always_inline]] inline void Rows(const FloatJob& j, Span rows) {
  const A_long W = j.dst->width;
  const size_t n = size_t(W) + 2 * size_t(j.r) + 1;
  Running sums(n, 1);
  std::vector<P> scratch;
  for (A_long y = rows.first; y < rows.last; ++y) {
    A_long folded = y - j.src->extent_hint.top;  // the row the per-pixel routine reads
    FoldInto(folded, j.src->height);
    const P* row = RowOf<P>(j.src, folded);
    V4d sum = {0, 0, 0, 0};
    for (size_t i = 0; i < n; ++i) sums.Add(i, 0, row[j.at[i]], sum);
    const MaskRow mask(j.map ? j.map : &kNoMap, y);
    const P* under = UnderRow(j, y, scratch);
    P* out = RowOf<P>(j.dst, y);
    for (A_long x = 0; x < W; ++x) Put<false>(j, j.map ? &mask : nullptr, x, y, under[x], sums, x, 0, out + x);
  }
}

// Columns first … last − 1, a few at a time: their running sums made row by row (each row's
// stretch read once), then their pixels written row by row.
[[gnu::always_inline]] inline void Columns(const FloatJob& j, Span columns) {
  constexpr A_long kWide = 16;
  const A_long H = j.dst->height;
  const size_t n = size_t(H) + 2 * size_t(j.r) + 1;
  Running sums(n, size_t(kWide));
  std::vector<P> scratch;
  A_long col[kWide];  // the columns the per-pixel routine reads
  for (A_long x0 = columns.first; x0 < columns.last; x0 += kWide) {
    const A_long wide = std::min(kWide, columns.last - x0);
    for (A_long c = 0; c < wide; ++c) {
      col[c] = x0 + c - j.src->extent_hint.left;
      FoldInto(col[c], j.src->width);
    }
    V4d sum[kWide] = {};
    for (size_t i = 0; i < n; ++i) {
      const P* row = RowOf<P>(j.src, j.at[i]);
      for (A_long c = 0; c < wide; ++c) sums.Add(i, size_t(c), row[col[c]], sum[c]);
    }
    for (A_long y = 0; y < H; ++y) {
      const MaskRow mask(j.map ? j.map : &kNoMap, y);
      const P* under = UnderRow(j, y, scratch);
      P* out = RowOf<P>(j.dst, y);
      for (A_long c = 0; c < wide; ++c) {
        const A_long x = x0 + c;
        Put<true>(j, j.map ? &mask : nullptr, x, y, under[x], sums, y, size_t(c), out + x);
      }
    }
  }
}

// A small radius's columns, a band at a time, row after row: each row's running sums made
// from the row before and kept for the 2r + 2 rows the windows reach back, each output row
// written as soon as its windows are complete (whole rows of the band read and written,
// where the columns a few at a time would miss the cache on every row).
[[gnu::always_inline]] inline void ColumnsNear(const FloatJob& j, Span columns) {
  const A_long H = j.dst->height, width = columns.last - columns.first;
  const size_t n = size_t(H) + 2 * size_t(j.r) + 1, kept = 2 * size_t(j.r) + 2;
  ColumnSums sums(kept, width);
  std::vector<A_long> col(static_cast<size_t>(width));
  for (A_long c = 0; c < width; ++c) {
    col[size_t(c)] = columns.first + c - j.src->extent_hint.left;
    FoldInto(col[size_t(c)], j.src->width);
  }
  std::vector<P> scratch;
  for (size_t i = 0; i < n; ++i) {
    const P* row = RowOf<P>(j.src, j.at[i]);
    sums.AddRow(i, [&](size_t c) {
      V4f f;
      std::memcpy(&f, &row[col[c]], sizeof f);
      return f;
    });
    if (i < 2 * size_t(j.r) + 1) continue;
    const A_long y = A_long(i - 2 * size_t(j.r) - 1);
    const double *newest = sums.row(i), *oldest = sums.row(size_t(y));
    const P* under = UnderRow(j, y, scratch) + columns.first;
    P* out = RowOf<P>(j.dst, y) + columns.first;
    const MaskRow mask(j.map ? j.map : &kNoMap, y);
    for (A_long c = 0; c < width; ++c) {
      const A_long x = columns.first + c;
      const double m = j.map ? mask(x) : 1.0;
      if (m != 1.0) MaskedMean<P, true>(j.src, j.map, j.sourceCopy, j.r, x, y, m, under[c], out + c);
      else PutMean(newest + 4 * c, oldest + 4 * c, j.weight, under[c].alpha, out + c);
    }
  }
}

struct BothJob {
  const PF_EffectWorld* src;  // read
  PF_EffectWorld* dst;        // written
  A_long rh, rv;
  const A_long* atH;  // the fold table along a row of src, from −rh − 1
  const A_long* atV;  // the fold table down a column of the horizontal result, from −rv − 1
  double weightH, weightV;
};

// Both passes of a plain blur over a band of columns, in one sweep down the picture: each row
// of the horizontal result is made (for the band's columns) when the vertical running sums
// reach it, as ColumnsNear would read it from the world FloatPass writes, so the picture is
// read once and written once. A row's running sum starts at the row's start: left of the
// band its samples are only added.
[[gnu::always_inline]] inline void Both(const BothJob& j, Span columns) {
  const A_long H = j.dst->height, width = columns.last - columns.first;
  const size_t n = size_t(H) + 2 * size_t(j.rv) + 1, kept = 2 * size_t(j.rv) + 2;
  const size_t x0 = size_t(columns.first), reach = size_t(width) + 2 * size_t(j.rh) + 1;
  // Four rows' running sums x0 … x0 + reach − 1, made side by side: each is a chain of
  // additions that waits on itself, four chains keep the adder busy.
  constexpr size_t kRows = 4;
  std::vector<double> across(4 * kRows * reach);
  ColumnSums sums(kept, width);  // as ColumnsNear's
  const size_t span = 2 * size_t(j.rh) + 1;
  for (size_t i = 0; i < n; ++i) {
    const size_t q = i % kRows;
    if (q == 0) {
      const P* rows[kRows];
      for (size_t l = 0; l < kRows; ++l) {
        A_long folded = j.atV[std::min(i + l, n - 1)] - j.src->extent_hint.top;  // as FloatPass's rows
        FoldInto(folded, j.src->height);
        rows[l] = RowOf<P>(j.src, folded);
      }
      // Four named sums rather than an array, so that they stay in registers.
      V4d s0 = {}, s1 = {}, s2 = {}, s3 = {};
      auto add = [&](A_long at) {
        V4f f0, f1, f2, f3;
        std::memcpy(&f0, &rows[0][at], sizeof f0);
        std::memcpy(&f1, &rows[1][at], sizeof f1);
        std::memcpy(&f2, &rows[2][at], sizeof f2);
        std::memcpy(&f3, &rows[3][at], sizeof f3);
        AddWidened(s0, f0);
        AddWidened(s1, f1);
        AddWidened(s2, f2);
        AddWidened(s3, f3);
      };
      for (size_t k = 0; k < x0; ++k) add(j.atH[k]);
      double* out = across.data();
      const size_t stride = 4 * reach;
      for (size_t k = 0; k < reach; ++k, out += 4) {
        add(j.atH[x0 + k]);
        std::memcpy(out, &s0, sizeof s0);
        std::memcpy(out + stride, &s1, sizeof s1);
        std::memcpy(out + 2 * stride, &s2, sizeof s2);
        std::memcpy(out + 3 * stride, &s3, sizeof s3);
      }
    }
    // The horizontal means (their alpha lane unused: alpha comes from the source pixel), each
    // added to its column's running sum.
    const double* rowSums = &across[4 * q * reach];
    const double weightH = j.weightH;
    sums.AddRow(i, [&](size_t c) { return WindowMean(&rowSums[4 * (c + span)], &rowSums[4 * c], weightH); });
    if (i < 2 * size_t(j.rv) + 1) continue;
    const A_long y = A_long(i - 2 * size_t(j.rv) - 1);
    const double *newest = sums.row(i), *oldest = sums.row(size_t(y));
    const P* under = RowOf<P>(j.src, y) + x0;
    P* out = RowOf<P>(j.dst, y) + x0;
    const double weight = j.weightV;  // not read again after each store
    for (A_long c = 0; c < width; ++c)
      PutMean(newest + 4 * c, oldest + 4 * c, weight, under[c].alpha, out + c);
  }
}

// The passes as plain code and, where the processor has them, in 256-bit instructions:
// lane for lane the same operations, so the same values.
void RowsPlain(const FloatJob& j, Span rows) { Rows(j, rows); }
void ColumnsPlain(const FloatJob& j, Span columns) { Columns(j, columns); }
void ColumnsNearPlain(const FloatJob& j, Span columns) { ColumnsNear(j, columns); }
void BothPlain(const BothJob& j, Span columns) { Both(j, columns); }
#if VIZMIRA_HAS_WIDE
VIZMIRA_WIDE void RowsWide(const FloatJob& j, Span rows) { Rows(j, rows); }
VIZMIRA_WIDE void ColumnsWide(const FloatJob& j, Span columns) { Columns(j, columns); }
VIZMIRA_WIDE void ColumnsNearWide(const FloatJob& j, Span columns) { ColumnsNear(j, columns); }
VIZMIRA_WIDE void BothWide(const BothJob& j, Span columns) { Both(j, columns); }
#endif

}  // namespace

PF_Err FloatPass(const IO_Params* run, const PF_EffectWorld* src, PF_EffectWorld* dst,
                 A_long radius, bool vertical, const IO_Params* map, const PF_EffectWorld* sourceCopy) {
  const A_long length = vertical ? dst->height : dst->width;
  const std::vector<A_long> fold = FoldTable(length, vertical ? src->height : src->width, radius,
                                             vertical ? src->extent_hint.top : src->extent_hint.left);
  const FloatJob job{src, dst, radius, map, sourceCopy, fold.data(), 2.0 * radius + 1};
  if (!vertical) {
    const auto rows = VIZMIRA_FORM(RowsPlain, RowsWide);
    return ParallelRows(run, dst->height, [&job, rows](Span band, A_long) { rows(job, band); });
  }
  // Bands of columns; rows of 2r + 2 running sums of a band fit the cache for a small radius.
  constexpr A_long kBand = 256;
  const auto columns = radius <= kNearRadius ? VIZMIRA_FORM(ColumnsNearPlain, ColumnsNearWide)
                                       : VIZMIRA_FORM(ColumnsPlain, ColumnsWide);
  return ParallelRows(run, dst->width, [&job, columns](Span band, A_long) { columns(job, band); },
                      RowsOptions{std::max<A_long>(1, dst->width / kBand)});
}

bool FloatPassesAtOnce(const PF_EffectWorld* src, const PF_EffectWorld* dst, A_long rv) {
  return src->width == dst->width && src->height == dst->height && rv <= kNearRadius;
}

PF_Err FloatPasses(const IO_Params* run, const PF_EffectWorld* src, PF_EffectWorld* dst, A_long rh,
                   A_long rv) {
  // The fold tables of the two passes: src to dst, then dst (of src's size) back.
  const std::vector<A_long> foldH = FoldTable(dst->width, src->width, rh, src->extent_hint.left);
  const std::vector<A_long> foldV = FoldTable(src->height, dst->height, rv, dst->extent_hint.top);
  const BothJob job{src, dst, rh, rv, foldH.data(), foldV.data(), 2.0 * rh + 1, 2.0 * rv + 1};
  const auto both = VIZMIRA_FORM(BothPlain, BothWide);
  // Few bands, since a band adds every sample left of it: about one per 960 columns.
  constexpr A_long kBandColumns = 960;
  return ParallelRows(run, dst->width, [&job, both](Span band, A_long) { both(job, band); },
                      RowsOptions{std::max<A_long>(1, dst->width / kBandColumns)});
}

}  // namespace fast_blur
