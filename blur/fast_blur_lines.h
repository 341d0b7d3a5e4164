// The fast blur's passes over whole rows and columns: what the plain passes
// (fast_blur_plain.cpp) and the blur-map passes (fast_blur_map.cpp) share, the blur-map
// pixel's definition included.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "core/mask_rows.h"
#include "core/pixel.h"
#include "core/vectors.h"
#include "fast_blur.h"

namespace fast_blur {

struct Sums {
  double r = 0, g = 0, b = 0;
};

template <class P>
void Add(Sums& s, const P& p, double w) {
  s.r += p.red * w;
  s.g += p.green * w;
  s.b += p.blue * w;
}

// The float plain window of position t along a line whose folded sample at position j is
// sample(j): P(t + r) − P(t − r − 1), with P(k) the sum in double of the samples of positions
// −r − 1 … k, added in that order: the running sums a float pass makes once per line, so
// that every window costs two of them (the integer depths' whole-number sums are exact in
// any order; float sums are not, so the order is part of the definition).
template <class Sample>
Sums FloatWindow(A_long t, A_long r, Sample sample) {
  Sums run, before;
  for (A_long j = -r - 1; j <= t + r; ++j) {
    const auto& p = sample(j);
    run.r += double(p.red);
    run.g += double(p.green);
    run.b += double(p.blue);
    if (j == t - r - 1) before = run;
  }
  return Sums{run.r - before.r, run.g - before.g, run.b - before.b};
}

// Where each window position -r-1 … m+r-1 reads along a line of n samples, folded as the
// per-pixel routines fold it; `origin` is the world's extent-hint start on that axis.
std::vector<A_long> FoldTable(A_long m, A_long n, A_long r, A_long origin);

// A float pass (fast_blur_float.cpp): the per-pixel routines' very sums, each line's
// running sums made once.
PF_Err FloatPass(const IO_Params* run, const PF_EffectWorld* src, PF_EffectWorld* dst,
                 A_long radius, bool vertical, const IO_Params* map, const PF_EffectWorld* sourceCopy);

// Both float passes of FastBlurA from src to dst at once, where FloatPassesAtOnce: dst holds
// what the horizontal pass to dst and the vertical one back would leave in src, and src is
// not written.
bool FloatPassesAtOnce(const PF_EffectWorld* src, const PF_EffectWorld* dst, A_long rv);
PF_Err FloatPasses(const IO_Params* run, const PF_EffectWorld* src, PF_EffectWorld* dst, A_long rh,
                   A_long rv);

// Where the integer depths add 0.5 before truncating; float keeps the value.
template <class P>
constexpr double kHalfUp = PixelTraits<P>::kFloat ? 0.0 : 0.5;

// Colours of the window mean, rounded half up; alpha of the pixel itself.
template <class P>
void WriteMean(const Sums& s, double weight, const P& in, P* out) {
  using C = typename PixelTraits<P>::Channel;
  out->alpha = in.alpha;
  out->red = C(s.r / weight + kHalfUp<P>);
  out->green = C(s.g / weight + kHalfUp<P>);
  out->blue = C(s.b / weight + kHalfUp<P>);
}

// A pixel whose mask value m is not 1: unchanged where m is 0 (or not a number), else the
// mean over a window that shrinks with the mask; each neighbour weighs its own mask value,
// taken at the unfolded position so that folded samples beyond the mask rectangle weigh 0.
template <class P, bool kVertical>
void MaskedMean(const PF_EffectWorld* src, const IO_Params* maskIo,
                const PF_EffectWorld* sourceCopy, A_long r, A_long x, A_long y, double m,
                const P& in, P* out) {
  if (!(m > 0)) {
    *out = in;
    return;
  }
  auto pixel = [&](A_long i) -> const P& {
    return kVertical ? *GetPointerFromDataP<P>(src, y + i, x, 1)
                     : *GetPointerFromDataP<P>(src, y, x + i, 1);
  };
  const A_long k = A_long(r * m);
  Sums s;
  double weight = 0;
  // Where the whole window lies in the picture and in the mask, the same samples and mask
  // values are read by stepping through memory instead of folding and checking each one.
  const LensMask* lm = maskIo->mask;
  const A_long row = y - src->extent_hint.top, col = x - src->extent_hint.left;
  const A_long lo = kVertical ? row - k : col - k, hi = kVertical ? row + k : col + k;
  const A_long mlo = kVertical ? y - k : x - k, mhi = kVertical ? y + k : x + k;
  const bool inside =
      lm && row >= 0 && row < src->height && col >= 0 && col < src->width && lo >= 0 &&
      hi < (kVertical ? src->height : src->width) && y >= lm->rect.top && y < lm->rect.bottom &&
      x >= lm->rect.left && x < lm->rect.right &&
      mlo >= (kVertical ? lm->rect.top : lm->rect.left) &&
      mhi < (kVertical ? lm->rect.bottom : lm->rect.right);
  if (inside) {
    const ptrdiff_t maskStep = kVertical ? lm->rect.right - lm->rect.left : 1;
    const double* mv = lm->values + size_t(y - lm->rect.top) * size_t(lm->rect.right - lm->rect.left) +
                       size_t(x - lm->rect.left);
    const char* at = reinterpret_cast<const char*>(src->data) + intptr_t(row) * src->rowbytes +
                     intptr_t(col) * intptr_t(sizeof(P));
    const ptrdiff_t step = kVertical ? src->rowbytes : ptrdiff_t(sizeof(P));
    for (A_long i = -k; i <= k; ++i) {
      const double w = mv[i * maskStep];
      Add(s, *reinterpret_cast<const P*>(at + i * step), w);
      weight += w;
    }
  } else {
    for (A_long i = -k; i <= k; ++i) {
      const double w = kVertical ? GetLensMask(x, y + i, maskIo) : GetLensMask(x + i, y, maskIo);
      Add(s, pixel(i), w);
      weight += w;
    }
  }
  if (kVertical && r != 0) {
    // Fade toward the pass's source: unblurred at m·r ≤ 1, fully blurred from m·r ≥ 5.
    using C = typename PixelTraits<P>::Channel;
    const P o = *GetPointerFromDataP<P>(sourceCopy, y, x, 1);
    const double t = std::clamp((m * r - 1) * 0.25, 0.0, 1.0);
    out->alpha = in.alpha;
    out->red = C(o.red * (1 - t) + (s.r / weight) * t + kHalfUp<P>);
    out->green = C(o.green * (1 - t) + (s.g / weight) * t + kHalfUp<P>);
    out->blue = C(o.blue * (1 - t) + (s.b / weight) * t + kHalfUp<P>);
    return;
  }
  WriteMean(s, weight, in, out);
}


// The passes over whole rows or columns: the same window sums as whole numbers (exact, so
// sliding them gives a recount's very sums), made once at the start of each line and slid
// along it, the same mean. Bands of rows (or columns) run on the host's threads.
struct BandPass {
  const PF_EffectWorld* src;
  PF_EffectWorld* dst;
  A_long radius;
  const IO_Params* map;               // with the lens mask as blur map; null: plain
  const MapRuns* runs;                // with a map: where it is 1, and 0
  const PF_EffectWorld* sourceCopy;   // the vertical map pass fades toward it
  const PlainMeans* means;            // of the plain windows
  // Along the pass's lines: where each position -r-1 … length+r-1 reads (at[i] for i ≥ -r-1).
  // The same for every band.
  const A_long* at;
  // The window centred on -1, from which every line slides into its pixel 0, as `periods`
  // whole periods of the fold, in each of which the first
  // sample comes once and every other twice, plus the samples of `rest` and less those of
  // `less` with their multiplicities (a window a little short of whole periods is whole
  // periods less a few samples): the plain passes sum a window far wider than the picture
  // with additions, one multiplication a line.
  A_long periods;
  const std::vector<std::pair<A_long, A_long>>* rest;
  const std::vector<std::pair<A_long, A_long>>* less;
};

// The pixel the host's iterate would hand the per-pixel routine as `in`: the source's own,
// or transparent black beyond it.
template <class P>
P Under(const PF_EffectWorld* src, A_long y, A_long x) {
  return y < src->height && x < src->width ? RowOf<P>(src, y)[x] : P{0, 0, 0, 0};
}

// Under for pixels first … last − 1 of row y, into out.
template <class P>
void CopyUnder(const PF_EffectWorld* src, A_long y, A_long first, A_long last, P* out) {
  const A_long inside = y < src->height ? std::clamp(src->width, first, last) : first;
  if (inside > first) std::memcpy(out + first, RowOf<P>(src, y) + first, sizeof(P) * size_t(inside - first));
  std::fill(out + inside, out + last, P{0, 0, 0, 0});
}

// Where the widest window's sum fits in 32 bits, the passes run from the routines below,
// which slide every window, keep what they read in locals and update whole-number sums
// (exact in any order) in ways the compiler vectorises; a blur map's pixels are written
// beside them by their own routines.
template <class P>
bool PlainFitsIn32(const BandPass* p) {
  using C = typename PixelTraits<P>::Channel;
  return (2 * int64_t(p->radius) + 1) * std::numeric_limits<C>::max() <= INT32_MAX;
}

// Lanes that hold channel values (the means of Lanes in core/vectors.h), with `alpha` for
// the first, written as the pixel.
template <class P>
void Store(V4i lanes, A_u_short alpha, P* out) {
  lanes[0] = alpha;
  *out = PixelFromLanes<P>(lanes);
}

// A blur-map window's mean from sums in fixed point instead of the definition's sums in
// order. Along a line, running sums of each colour times its sample's mask weight and of the
// weights are kept in whole units of 2^-scale (each weight rounded to a whole number of
// units: off by at most one unit), as doubles small enough to hold every such sum exactly, so
// a window's sums come out of two entries exactly, off the true sums s and w by at most
// n · max / 2^scale and n / 2^scale. The definition's sums in order lie within a relative
// γ_n of s and w (non-negative terms), so the definition's quotient fl(s / w) lies between
// the two quotients of the bounds; where the pixel's formula, monotone in the quotient,
// gives one value at both, that is the value. Elsewhere (a mean on a rounding boundary, or a
// weight so small that the units blur it) the window is summed in order.
//
// An entry is one vector: the weights' sum in the alpha lane, the colours' in theirs; kept
// as four doubles, at a double's alignment.
//
// The running sums of `lines` lines of `length` positions (and r beyond each end), for
// samples of at most `top`: entry e of a line holds the sums of its positions from a start
// of the sums to e − r − 1, so that two entries give the sums of the positions between
// them. They are made in order, as far as asked, and only the last 2r + 2 + `slack` are
// kept: enough for the windows of positions up to `slack` apart.
class MapLines {
 public:
  MapLines(A_long lines, A_long length, A_long r, int64_t top, A_long slack)
      : lines_(lines), r_(r) {
    const int64_t positions = int64_t(length) + 2 * int64_t(r) + 1;
    int bits = 0;
    while ((int64_t(1) << bits) <= positions * top) ++bits;
    scale_ = 53 - bits;
    unit_ = std::ldexp(1.0, -scale_);
    units_ = std::ldexp(1.0, scale_);
    top_ = double(top);
    // Kept entries: a power of two, so that an entry's place is its index masked.
    const int64_t wanted = std::min<int64_t>(positions, 2 * int64_t(r) + 2 + slack);
    entries_ = 1;
    while (entries_ < wanted) entries_ *= 2;
    // Units too coarse, or too many entries to be worth keeping: not used.
    if (scale_ < 16 || entries_ * lines_ > (int64_t(1) << 19)) entries_ = 0;
  }
  bool usable() const { return entries_ > 0; }
  // Starts the lines over (a new line of a row pass).
  void Restart() { made_ = kNone; }
  // Makes the entries that the windows within positions first … last take, from at(j),
  // which gives the samples and weights of position j: at(j).sample(l), at(j).weight(l);
  // `first` never decreases between restarts. Where the last entry made lies before the
  // first one wanted, the sums start over there instead of running through the gap. False
  // (the sums are then not to be used) where a weight lies outside 0 … 1.
  template <class At>
  [[gnu::always_inline]] bool MakeTo(A_long first, A_long last, const At& at) {
    if (made_ <= int64_t(first) + r_) {
      if (sums_.empty()) sums_.resize(size_t(entries_) * 4 * size_t(lines_));
      made_ = int64_t(first) + r_;
      double* start = entry(made_);
      std::fill(start, start + 4 * size_t(lines_), 0.0);
      ++made_;
    }
    for (; made_ <= int64_t(last) + r_ + 1; ++made_) {
      const auto position = at(A_long(made_ - 1 - r_));
      const double* before = entry(made_ - 1);
      double* after = entry(made_);
      for (A_long l = 0; l < lines_; ++l) {
        const double m = position.weight(l);
        if (!(m >= 0 && m <= 1)) return false;
        const double M = double(int64_t(m * units_ + 0.5));
        V4d v = __builtin_convertvector(Lanes(position.sample(l)), V4d);
        v[0] = 1;
        V4d sums;
        Get(before, l, sums);
        Put(after, l, sums + v * M);  // whole numbers below 2^53: exact
      }
    }
    return true;
  }
  // The sums of the window of positions first … last of a line (made, and within the ring),
  // in the entries' lanes. (Vectors pass by reference: the plain form's calling convention
  // has no 256-bit registers.)
  [[gnu::always_inline]] void Window(A_long line, A_long first, A_long last, V4d& sums) const {
    V4d a, b;
    Get(entry(int64_t(first) + r_), line, a);
    Get(entry(int64_t(last) + r_ + 1), line, b);
    sums = (b - a) * unit_;
  }
  double unit() const { return unit_; }
  double top() const { return top_; }

 private:
  double* entry(int64_t e) { return sums_.data() + size_t(e & (entries_ - 1)) * 4 * size_t(lines_); }
  const double* entry(int64_t e) const {
    return sums_.data() + size_t(e & (entries_ - 1)) * 4 * size_t(lines_);
  }
  [[gnu::always_inline]] static void Get(const double* entry, A_long line, V4d& v) {
    std::memcpy(&v, entry + 4 * size_t(line), sizeof v);
  }
  [[gnu::always_inline]] static void Put(double* entry, A_long line, const V4d& v) {
    std::memcpy(entry + 4 * size_t(line), &v, sizeof v);
  }

  A_long lines_, r_;
  int scale_ = 0;
  double unit_ = 0, units_ = 0, top_ = 0;
  int64_t entries_ = 0;  // kept per line; 0: not used
  static constexpr int64_t kNone = INT64_MIN;
  int64_t made_ = kNone;  // the entries before this one are made
  std::vector<double> sums_;
};

// A row pass's blur-map pixels (m ≠ 1) of row y, whose folded samples are `in`.
template <class P>
void RowMap(const BandPass* p, MapLines& line, const P* in, A_long y);
// A band of columns' blur-map pixels of row y, with the fade toward the pass's source; the
// band's running sums are made as the rows go, while `usable`.
template <class P>
void ColumnMap(const BandPass* p, MapLines& lines, bool& usable, const std::vector<A_long>& col,
               A_long x0, A_long y);
// A pass's band of rows, or of columns.
template <class P>
void RowBand(const BandPass* p, Span rows);
template <class P>
void ColumnBand(const BandPass* p, Span columns);

}  // namespace fast_blur
