#include "fast_blur.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/bands.h"
#include "core/lens_mask.h"
#include "core/pixel.h"

namespace {

struct Sums {
  double r = 0, g = 0, b = 0;
};

template <class P>
void Add(Sums& s, const P& p, double w) {
  s.r += p.red * w;
  s.g += p.green * w;
  s.b += p.blue * w;
}

// Colours of the window mean, rounded half up; alpha of the pixel itself.
template <class P>
void WriteMean(const Sums& s, double weight, const P& in, P* out) {
  using C = typename PixelTraits<P>::Channel;
  out->alpha = in.alpha;
  out->red = C(s.r / weight + 0.5);
  out->green = C(s.g / weight + 0.5);
  out->blue = C(s.b / weight + 0.5);
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
    out->red = C(o.red * (1 - t) + (s.r / weight) * t + 0.5);
    out->green = C(o.green * (1 - t) + (s.g / weight) * t + 0.5);
    out->blue = C(o.blue * (1 - t) + (s.b / weight) * t + 0.5);
    return;
  }
  WriteMean(s, weight, in, out);
}

// One pass over the window along a row (horizontal) or a column (vertical).
template <class P, bool kVertical>
PF_Err FastBlurPass(void* refcon, A_long x, A_long y, P* in, P* out) {
  const FastBlurRefcon* rc = static_cast<const FastBlurRefcon*>(refcon);
  const PF_EffectWorld* src = rc->io->src;
  const A_long r = rc->radius;
  const double m = rc->useLensMap ? GetLensMask(x, y, rc->io) : 1.0;
  if (!rc->useLensMap || m == 1.0) {
    Sums s;
    for (A_long i = -r; i <= r; ++i)
      Add(s, kVertical ? *GetPointerFromDataP<P>(src, y + i, x, 1) : *GetPointerFromDataP<P>(src, y, x + i, 1), 1.0);
    WriteMean(s, 2.0 * r + 1, *in, out);
    return PF_Err_NONE;
  }
  MaskedMean<P, kVertical>(src, rc->io, rc->sourceCopy, r, x, y, m, *in, out);
  return PF_Err_NONE;
}

// The passes over whole rows or columns: the same window sums as whole numbers (exact, so
// sliding them gives the recount's very sums), recounted at the start of each row (or
// column) and after every pixel that the mask took off the plain path, slid from there, the
// same mean. Bands of rows (or columns) run on the host's threads through its generic
// iteration.
struct BandPass {
  const PF_EffectWorld* src;
  PF_EffectWorld* dst;
  A_long radius;
  const IO_Params* map;               // with the lens mask as blur map; null: plain
  const MapRuns* runs;                // with a map: where it is 1, and 0
  const PF_EffectWorld* sourceCopy;   // the vertical map pass fades toward it
  const PlainMeans* means;            // of the plain windows
  // Along the pass's lines: where each position -r-1 … length+r-1 reads (at[i] for i ≥ -r-1),
  // and the samples of the window centred on -1 with their multiplicities, from which
  // every line slides into its pixel 0. The same for every band.
  const A_long* at;
  const std::vector<std::pair<A_long, A_long>>* start;
  // The same window as `periods` whole periods of the fold, in each of which the first
  // sample comes once and every other twice, plus the samples of `rest` and less those of
  // `less` with their multiplicities (a window a little short of whole periods is whole
  // periods less a few samples): the plain passes sum a window far wider than the picture
  // with additions, one multiplication a line.
  A_long periods;
  const std::vector<std::pair<A_long, A_long>>* rest;
  const std::vector<std::pair<A_long, A_long>>* less;
};

struct IntSums {
  int64_t r = 0, g = 0, b = 0;
};

template <class P>
void Add(IntSums& s, const P& p) {
  s.r += p.red;
  s.g += p.green;
  s.b += p.blue;
}
template <class P>
void Subtract(IntSums& s, const P& p) {
  s.r -= p.red;
  s.g -= p.green;
  s.b -= p.blue;
}

// The samples a window from position `first` to `last` (both included) reads, each once with
// the number of times the fold brings it: a window far wider than the picture reads every
// sample once instead of over and over.
std::vector<std::pair<A_long, A_long>> Multiplicities(const A_long* at, A_long first, A_long last,
                                                      A_long n) {
  std::vector<A_long> count(size_t(std::max<A_long>(n, 0)), 0);
  for (A_long i = first; i <= last; ++i) ++count[size_t(at[i])];
  std::vector<std::pair<A_long, A_long>> read;
  for (A_long v = 0; v < n; ++v)
    if (count[size_t(v)]) read.emplace_back(v, count[size_t(v)]);
  return read;
}

template <class P>
void Add(IntSums& s, const P& p, A_long times) {
  s.r += int64_t(p.red) * times;
  s.g += int64_t(p.green) * times;
  s.b += int64_t(p.blue) * times;
}

template <class P>
void WriteMean(const IntSums& s, const PlainMeans& mean, A_u_short alpha, P* out) {
  using C = typename PixelTraits<P>::Channel;
  out->alpha = C(alpha);
  out->red = C(mean(s.r));
  out->green = C(mean(s.g));
  out->blue = C(mean(s.b));
}

// Where each window position -r-1 … m+r-1 reads along a line of n samples, folded as the
// per-pixel routines fold it; `origin` is the world's extent-hint start on that axis.
std::vector<A_long> FoldTable(A_long m, A_long n, A_long r, A_long origin) {
  std::vector<A_long> at(size_t(std::max<A_long>(m, 0)) + 2 * size_t(r) + 1);
  for (size_t i = 0; i < at.size(); ++i) {
    A_long v = A_long(i) - r - 1 - origin;
    FoldInto(v, n);
    at[i] = v;
  }
  return at;
}

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

// Lanes that hold channel values (from Lanes in core/vectors.h), with `alpha` for the first,
// written as the pixel.
template <class P>
void Store(V4i lanes, A_u_short alpha, P* out) {
  using C = typename PixelTraits<P>::Channel;
#if defined(__SSE2__)
  const __m128i v = _mm_insert_epi16(__m128i(lanes), alpha, 0);
  if constexpr (sizeof(C) == 1) {
    const __m128i w = _mm_packs_epi32(v, v);
    const int packed = _mm_cvtsi128_si32(_mm_packus_epi16(w, w));
    std::memcpy(out, &packed, sizeof *out);
  } else {
    // Signed saturation would clip values above 32767: shifted down by 32768 and back.
    const __m128i w = _mm_sub_epi32(v, _mm_set1_epi32(32768));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out),
                     _mm_xor_si128(_mm_packs_epi32(w, w), _mm_set1_epi16(-32768)));
  }
#else
  lanes[0] = alpha;
  typedef C V4c __attribute__((vector_size(4 * sizeof(C))));
  const V4c v = __builtin_convertvector(lanes, V4c);
  std::memcpy(out, &v, sizeof *out);
#endif
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

// Four vectors' lanes exchanged: lane j of v[i] becomes lane i of v[j].
[[gnu::always_inline]] inline void Transpose(V4d v[4]) {
  const V4d t0 = __builtin_shufflevector(v[0], v[1], 0, 4, 2, 6);
  const V4d t1 = __builtin_shufflevector(v[0], v[1], 1, 5, 3, 7);
  const V4d t2 = __builtin_shufflevector(v[2], v[3], 0, 4, 2, 6);
  const V4d t3 = __builtin_shufflevector(v[2], v[3], 1, 5, 3, 7);
  v[0] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
  v[1] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
  v[2] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
  v[3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// Bounds on the definition's quotient fl(s / w) for four windows at once, one to a lane:
// `sums` holds the windows' sums (MapLines::Window) and becomes, lane-exchanged, the
// weights' sums and the three colours' sums; n holds the windows' sizes; q[c] gets the
// bounds per colour, low in q[c][0], high in q[c][1]. True in the lanes where they can be
// had.
[[gnu::always_inline]] inline V4i QuotientBounds(V4d sums[4], const V4d& n, double unit,
                                                double top, V4d q[3][2]) {
  Transpose(sums);
  // γ_n and the few roundings of these bounds themselves, generously.
  const V4d g = (n + 32) * (0x1p-53 * 1.01);
  const V4d w = sums[0], ew = n * (unit * 1.01);
  const V4d wlo = (w - ew) * (1 - g), whi = (w + ew) * (1 + g);
  // Products by the reciprocals, moved out by four roundings' worth: still below (above)
  // the quotients of the bounds, so below (above) the definition's rounded quotient.
  const V4d down = (1 - 0x1p-50) / whi, up = (1 + 0x1p-50) / wlo;
  const V4d es = n * (top * unit * 1.01), zero = {0, 0, 0, 0};
  for (int c = 0; c < 3; ++c) {
    const V4d s = sums[c + 1], below = (s - es) * (1 - g);
    q[c][0] = (below > zero ? below : zero) * down;
    q[c][1] = (s + es) * (1 + g) * up;
  }
  return __builtin_convertvector(wlo > zero, V4i);
}

// Lanes as C(v) would round each (0 ≤ v < 2^31).
[[gnu::always_inline]] inline V4i Truncated(const V4d& v) { return __builtin_convertvector(v, V4i); }

// Four pixels side by side from their alphas and colours, one pixel to a lane.
template <class P>
[[gnu::always_inline]] inline void Store4(const V4i& alpha, const V4i colour[3], P* out) {
  const V4u a = V4u(alpha), r = V4u(colour[0]), g = V4u(colour[1]), b = V4u(colour[2]);
  if constexpr (sizeof(P) == 4) {
    const V4u packed = a | r << 8 | g << 16 | b << 24;
    std::memcpy(out, &packed, sizeof packed);
  } else {
    const V4u low = a | r << 16, high = g | b << 16;
    const V4u first = __builtin_shufflevector(low, high, 0, 4, 1, 5);
    const V4u second = __builtin_shufflevector(low, high, 2, 6, 3, 7);
    std::memcpy(out, &first, sizeof first);
    std::memcpy(out + 2, &second, sizeof second);
  }
}

// Blur-map pixels x … x + count − 1 (count 1 … 4, mask values m) of row y, of a row pass or
// (kVertical) of a band of columns from x0 with the fade toward the pass's source, decided
// together from the lines' running sums, one pixel to a lane (lanes beyond count repeat the
// last pixel): each whose three colours come out the same at both bounds is written, the
// others' windows are summed in order.
template <class P, bool kVertical>
[[gnu::always_inline]] inline void Decide(const BandPass* p, const MapLines& lines, A_long x0,
                                          A_long y, A_long x, int count, const V4d& m, P* out) {
  using C = typename PixelTraits<P>::Channel;
  const A_long r = p->radius;
  const V4i k = Truncated(m * double(r));  // A_long(r * m), lane by lane
  V4d sums[4], q[3][2], own[4];
  for (int i = 0; i < 4; ++i) {
    const A_long at = x + std::min(i, count - 1), half = k[i];
    if constexpr (kVertical) {
      lines.Window(at - x0, y - half, y + half, sums[i]);
      own[i] = __builtin_convertvector(Lanes(*GetPointerFromDataP<P>(p->sourceCopy, y, at, 1)), V4d);
    } else {
      lines.Window(0, at - half, at + half, sums[i]);
    }
  }
  const V4d n = __builtin_convertvector(k, V4d) * 2 + 1;
  V4i same = QuotientBounds(sums, n, lines.unit(), lines.top(), q);
  // The pixel's formula, monotone in the quotient.
  V4i low[3];
  if (kVertical && r != 0) {
    Transpose(own);
    const V4d zero = {0, 0, 0, 0}, one = {1, 1, 1, 1};
    const V4d v = (m * double(r) - 1) * 0.25;
    const V4d t = v < zero ? zero : (one < v ? one : v);  // std::clamp(v, 0.0, 1.0)
    for (int c = 0; c < 3; ++c) {
      low[c] = Truncated(own[c + 1] * (1 - t) + q[c][0] * t + 0.5);
      same &= low[c] == Truncated(own[c + 1] * (1 - t) + q[c][1] * t + 0.5);
    }
  } else {
    for (int c = 0; c < 3; ++c) {
      low[c] = Truncated(q[c][0] + 0.5);
      same &= low[c] == Truncated(q[c][1] + 0.5);
    }
  }
  const PF_EffectWorld* src = p->src;
  const P* under = y < src->height ? RowOf<P>(src, y) : nullptr;
  if (count == 4 && under && x + 4 <= src->width && same[0] && same[1] && same[2] && same[3]) {
    const V4i alpha = {under[x].alpha, under[x + 1].alpha, under[x + 2].alpha, under[x + 3].alpha};
    Store4(alpha, low, out + x);
    return;
  }
  for (int i = 0; i < count; ++i) {
    const P pixel = Under<P>(src, y, x + i);
    if (same[i]) {
      out[x + i] = P{pixel.alpha, C(low[0][i]), C(low[1][i]), C(low[2][i])};
    } else {
      MaskedMean<P, kVertical>(src, p->map, p->sourceCopy, r, x + i, y, m[i], pixel, out + x + i);
    }
  }
}

// Whether every lane lies strictly between 0 and 1 (a mask value that makes a window).
[[gnu::always_inline]] inline bool Between(const V4d& m) {
  const V4d zero = {0, 0, 0, 0}, one = {1, 1, 1, 1};
  const V4l inside = (m > zero) & (m < one);
  return inside[0] & inside[1] & inside[2] & inside[3];
}

// Samples and mask values of a row pass's line, position j: the row's folded sample, the
// mask at the unfolded position.
template <class P>
struct RowAt {
  const P* in;
  const A_long* at;
  const MaskRow* mask;
  struct Position {
    const P& s;
    double w;
    const P& sample(A_long) const { return s; }
    double weight(A_long) const { return w; }
  };
  Position operator()(A_long j) const { return Position{in[at[j]], (*mask)(j)}; }
};

// The blur-map pixels (m ≠ 1) of row y from x0 to end, of a row pass or (kVertical) of a
// band of columns: four neighbours at a time from the lines' running sums where they decide
// the pixels, else summed in order; the runs where the map is 1 are the plain pass's, those
// where it is 0 are copied. sums(x, count) makes the sums pixels x … x + count − 1 take and
// tells whether they can be had.
template <class P, bool kVertical, class Sums>
[[gnu::always_inline]] inline void MapPixels(const BandPass* p, const MapLines& lines, Sums& sums,
                                             const MaskRow& mask, A_long x0, A_long end,
                                             A_long y) {
  const PF_EffectWorld* src = p->src;
  P* out = RowOf<P>(p->dst, y);
  const MapRuns::Run *run = p->runs->begin(y), *runsEnd = p->runs->end(y);
  while (run != runsEnd && run->last <= x0) ++run;
  for (A_long x = x0; x < end;) {
    if (run != runsEnd && x >= run->first) {
      if (!run->plain) CopyUnder(src, y, x, std::min(run->last, end), out);
      x = run++->last;
      continue;
    }
    const double m = mask(x);
    if (x + 4 <= end) {
      const V4d four = {m, mask(x + 1), mask(x + 2), mask(x + 3)};
      if (Between(four) && sums(x, 4)) {
        Decide<P, kVertical>(p, lines, x0, y, x, 4, four, out);
        x += 4;
        continue;
      }
    }
    if (m < 1 && sums(x, 1)) {
      Decide<P, kVertical>(p, lines, x0, y, x, 1, V4d{m, m, m, m}, out);
    } else {
      MaskedMean<P, kVertical>(src, p->map, p->sourceCopy, p->radius, x, y, m,
                               Under<P>(src, y, x), out + x);
    }
    ++x;
  }
}

// A row pass's sums: made as the pixels ask, while they can be had. (Functions, not
// lambdas: the 256-bit form would not reach into one that is not inlined.)
template <class P>
struct RowSums {
  MapLines& line;
  RowAt<P> at;
  A_long r;
  bool usable;
  [[gnu::always_inline]] bool operator()(A_long x, int count) {
    if (usable) usable = line.MakeTo(x - r, x + count - 1 + r, at);
    return usable;
  }
};

template <class P>
[[gnu::always_inline]] inline void RowMapPixels(const BandPass* p, MapLines& line, const P* in,
                                                A_long y) {
  const MaskRow mask(p->map, y);
  line.Restart();
  RowSums<P> sums{line, RowAt<P>{in, p->at, &mask}, p->radius, line.usable()};
  MapPixels<P, false>(p, line, sums, mask, 0, p->dst->width, y);
}

template <class P>
VIZMIRA_WIDE void RowMapPixelsWide(const BandPass* p, MapLines& line, const P* in, A_long y) {
  RowMapPixels(p, line, in, y);
}
template <class P>
void RowMapPixelsPlain(const BandPass* p, MapLines& line, const P* in, A_long y) {
  RowMapPixels(p, line, in, y);
}
template <class P>
void RowMap(const BandPass* p, MapLines& line, const P* in, A_long y) {
  (WideVectors() ? RowMapPixelsWide<P> : RowMapPixelsPlain<P>)(p, line, in, y);
}

// Samples and mask values of a band of columns, row j: a row of samples and of mask values
// serves the whole band.
template <class P>
struct ColumnAt {
  const BandPass* p;
  const A_long* col;
  A_long x0;
  struct Position {
    const P* samples;
    const A_long* col;
    MaskRow mask;
    A_long x0;
    const P& sample(A_long l) const { return samples[col[l]]; }
    double weight(A_long l) const { return mask(x0 + l); }
  };
  Position operator()(A_long j) const {
    return Position{RowOf<P>(p->src, p->at[j]), col, MaskRow(p->map, j), x0};
  }
};

// A band's sums for row y: made once, when a pixel first needs them, while they can be had.
template <class P>
struct BandSums {
  MapLines& lines;
  ColumnAt<P> at;
  A_long y, r;
  bool& usable;
  bool made = false;
  [[gnu::always_inline]] bool operator()(A_long, int) {
    if (!made) {
      made = true;
      if (usable) usable = lines.MakeTo(y - r, y + r, at);
    }
    return usable;
  }
};

// The band's map pixels of row y, with the fade toward the pass's source; the band's sums
// are made as the rows go, while `usable`.
template <class P>
[[gnu::always_inline]] inline void ColumnMapPixels(const BandPass* p, MapLines& lines,
                                                   bool& usable, const std::vector<A_long>& col,
                                                   A_long x0, A_long y) {
  const MaskRow mask(p->map, y);
  BandSums<P> sums{lines, ColumnAt<P>{p, col.data(), x0}, y, p->radius, usable};
  MapPixels<P, true>(p, lines, sums, mask, x0, x0 + A_long(col.size()), y);
}

template <class P>
VIZMIRA_WIDE void ColumnMapPixelsWide(const BandPass* p, MapLines& lines, bool& usable,
                                      const std::vector<A_long>& col, A_long x0, A_long y) {
  ColumnMapPixels<P>(p, lines, usable, col, x0, y);
}
template <class P>
void ColumnMapPixelsPlain(const BandPass* p, MapLines& lines, bool& usable,
                          const std::vector<A_long>& col, A_long x0, A_long y) {
  ColumnMapPixels<P>(p, lines, usable, col, x0, y);
}

template <class P>
void ColumnMap(const BandPass* p, MapLines& lines, bool& usable, const std::vector<A_long>& col,
               A_long x0, A_long y) {
  (WideVectors() ? ColumnMapPixelsWide<P> : ColumnMapPixelsPlain<P>)(p, lines, usable, col, x0, y);
}

// A row: the window centred on -1 from its multiplicities, then slid, the four channels'
// sums in one vector (the alpha lane rides along unused).
template <class P, class Means>
void PlainRow(const BandPass* p, Means mean, MapLines& line, A_long y) {
  const PF_EffectWorld* src = p->src;
  const A_long W = p->dst->width, r = p->radius, srcW = src->width;
  A_long row = y - src->extent_hint.top;
  FoldInto(row, src->height);
  const P* in = RowOf<P>(src, row);
  const P* under = y < src->height ? RowOf<P>(src, y) : nullptr;
  P* out = RowOf<P>(p->dst, y);
  const A_long* column = p->at;
  V4i s = {0, 0, 0, 0};
  if (p->periods) {
    V4i total = {0, 0, 0, 0};
    for (A_long c = 0; c < srcW; ++c) total += Lanes(in[c]);
    s = (total + total - Lanes(in[0])) * p->periods;
  }
  for (const auto& [c, times] : *p->rest) s += Lanes(in[c]) * times;
  for (const auto& [c, times] : *p->less) s -= Lanes(in[c]) * times;
  if (!p->map) {
    for (A_long x = 0; x < W; ++x) {
      s += Lanes(in[column[x + r]]) - Lanes(in[column[x - r - 1]]);
      Store(mean(s), under && x < srcW ? under[x].alpha : 0, out + x);
    }
    return;
  }
  // With a blur map, the sums slide through the pixels it takes, which are written their
  // own way afterwards.
  A_long x = 0;
  for (const MapRuns::Run* run = p->runs->begin(y); run != p->runs->end(y); ++run) {
    if (!run->plain) continue;
    for (; x < run->first; ++x) s += Lanes(in[column[x + r]]) - Lanes(in[column[x - r - 1]]);
    for (; x < run->last; ++x) {
      s += Lanes(in[column[x + r]]) - Lanes(in[column[x - r - 1]]);
      Store(mean(s), under && x < srcW ? under[x].alpha : 0, out + x);
    }
  }
  RowMap<P>(p, line, in, y);
}

// A band of columns, a row at a time: the band's sums side by side, four to a pixel (the
// alpha lane rides along unused), updated by the entering and the leaving row.
template <class P, class Means>
void PlainColumns(const BandPass* p, Means mean, const std::vector<A_long>& col, A_long x0) {
  using C = typename PixelTraits<P>::Channel;
  const PF_EffectWorld* src = p->src;
  const A_long H = p->dst->height, r = p->radius, n = A_long(col.size());
  // The band's columns read contiguously, or gathered into a row of their own first. Folded
  // positions step by -1, 0 or +1, so ends n - 1 apart mean every step is +1.
  const bool contiguous = n == 0 || col.back() - col.front() == n - 1;
  std::vector<P> gathered(contiguous ? 0 : 2 * size_t(n));
  auto band = [&](A_long row, int which) -> const C* {
    const P* in = RowOf<P>(src, row);
    if (contiguous) return reinterpret_cast<const C*>(in + (n ? col.front() : 0));
    P* g = gathered.data() + size_t(which) * size_t(n);
    for (A_long c = 0; c < n; ++c) g[c] = in[col[size_t(c)]];
    return reinterpret_cast<const C*>(g);
  };
  const size_t lanes = 4 * size_t(n);
  std::vector<int32_t> sums(lanes, 0);
  MapLines lines(n, H, r, std::numeric_limits<C>::max(), 0);  // with a blur map
  bool usable = lines.usable();
  int32_t* s = sums.data();
  const A_long* rowOf = p->at;
  if (p->periods) {
    for (A_long row = 0; row < src->height; ++row) {
      const C* in = band(row, 0);
      for (size_t i = 0; i < lanes; ++i) s[i] += int32_t(in[i]);
    }
    const C* first = band(0, 0);
    for (size_t i = 0; i < lanes; ++i) s[i] = (2 * s[i] - int32_t(first[i])) * p->periods;
  }
  for (const auto& [row, times] : *p->rest) {
    const C* in = band(row, 0);
    for (size_t i = 0; i < lanes; ++i) s[i] += int32_t(in[i]) * times;
  }
  for (const auto& [row, times] : *p->less) {
    const C* in = band(row, 0);
    for (size_t i = 0; i < lanes; ++i) s[i] -= int32_t(in[i]) * times;
  }
  for (A_long y = 0; y < H; ++y) {
    const C* enter = band(rowOf[y + r], 0);
    const C* leave = band(rowOf[y - r - 1], 1);
    for (size_t i = 0; i < lanes; ++i) s[i] += int32_t(enter[i]) - int32_t(leave[i]);
    const P* under = y < src->height ? RowOf<P>(src, y) : nullptr;
    P* out = RowOf<P>(p->dst, y) + x0;
    auto plain = [&](A_long from, A_long to) {
      for (A_long c = from; c < to; ++c) {
        V4i t;
        std::memcpy(&t, s + 4 * size_t(c), sizeof t);
        Store(mean(t), under && x0 + c < src->width ? under[x0 + c].alpha : 0, out + c);
      }
    };
    if (!p->map) {
      plain(0, n);
      continue;
    }
    // With a blur map, only where it is 1: the others fade toward the pass's source, which
    // may be dst itself, and are left for ColumnMap.
    for (const MapRuns::Run* run = p->runs->begin(y); run != p->runs->end(y); ++run)
      if (run->plain) plain(std::max(run->first - x0, 0), std::min(run->last - x0, n));
    ColumnMap<P>(p, lines, usable, col, x0, y);
  }
}

template <class P>
void RowBand(const BandPass* p, Span rows) {
  const PF_EffectWorld* src = p->src;
  const A_long W = p->dst->width, r = p->radius;
  const A_long* column = p->at;
  using C = typename PixelTraits<P>::Channel;
  MapLines line(1, W, r, std::numeric_limits<C>::max(), 3);  // with a blur map, four at a time
  if (PlainFitsIn32<P>(p)) {
    for (A_long y = rows.first; y < rows.last; ++y) {
      if (p->means->singles()) PlainRow<P>(p, p->means->singlesView(), line, y);
      else PlainRow<P>(p, p->means->doublesView(), line, y);
    }
    return;
  }
  for (A_long y = rows.first; y < rows.last; ++y) {
    A_long row = y - src->extent_hint.top;
    FoldInto(row, src->height);
    const P* in = RowOf<P>(src, row);
    P* out = RowOf<P>(p->dst, y);
    IntSums s;
    bool slide = false;  // s holds the window of the pixel before
    for (A_long x = 0; x < W; ++x) {
      if (p->map && GetLensMask(x, y, p->map) != 1.0) {
        slide = false;  // written below
        continue;
      }
      if (slide) {
        Add(s, in[column[x + r]]);
        Subtract(s, in[column[x - r - 1]]);
      } else if (x == 0) {
        s = IntSums{};
        for (const auto& [c, times] : *p->start) Add(s, in[c], times);
        Add(s, in[column[r]]);
        Subtract(s, in[column[-r - 1]]);
      } else {
        s = IntSums{};
        for (A_long i = -r; i <= r; ++i) Add(s, in[column[x + i]]);
      }
      slide = true;
      WriteMean(s, *p->means, Under<P>(src, y, x).alpha, out + x);
    }
    if (p->map) RowMap<P>(p, line, in, y);
  }
}

template <class P>
void ColumnBand(const BandPass* p, Span columns) {
  const PF_EffectWorld* src = p->src;
  const A_long H = p->dst->height, r = p->radius;
  const A_long* rowOf = p->at;
  const A_long x0 = columns.first, n = columns.last - columns.first;
  // The band's columns as read: folded like any other position.
  std::vector<A_long> col(size_t(std::max<A_long>(0, n)));
  for (A_long i = 0; i < n; ++i) {
    col[size_t(i)] = x0 + i - src->extent_hint.left;
    FoldInto(col[size_t(i)], src->width);
  }
  if (PlainFitsIn32<P>(p)) {
    if (p->means->singles()) PlainColumns<P>(p, p->means->singlesView(), col, x0);
    else PlainColumns<P>(p, p->means->doublesView(), col, x0);
    return;
  }
  std::vector<IntSums> s(col.size());
  std::vector<char> slide(col.size(), 0);  // s[c] holds the window of the pixel above
  if (!p->map) {
    // Every column slides from the start: from the window centred on row -1, summed row
    // by row.
    for (const auto& [row, times] : *p->start) {
      const P* in = RowOf<P>(src, row);
      for (A_long c = 0; c < n; ++c) Add(s[size_t(c)], in[col[size_t(c)]], times);
    }
    std::fill(slide.begin(), slide.end(), 1);
  }
  using C = typename PixelTraits<P>::Channel;
  // The band's columns' running sums for the blur map, made when a pixel first needs them.
  MapLines lines(n, H, r, std::numeric_limits<C>::max(), 0);
  bool usable = lines.usable();  // the sums can be had, and are made as the rows go
  for (A_long y = 0; y < H; ++y) {
    const P* enter = RowOf<P>(src, rowOf[y + r]);
    const P* leave = RowOf<P>(src, rowOf[y - r - 1]);
    P* out = RowOf<P>(p->dst, y);
    for (A_long c = 0; c < n; ++c) {
      const A_long x = x0 + c;
      if (p->map && GetLensMask(x, y, p->map) != 1.0) {
        slide[size_t(c)] = 0;  // written below
        continue;
      }
      IntSums& sum = s[size_t(c)];
      if (slide[size_t(c)]) {
        Add(sum, enter[col[size_t(c)]]);
        Subtract(sum, leave[col[size_t(c)]]);
      } else {
        sum = IntSums{};
        for (A_long i = -r; i <= r; ++i) Add(sum, RowOf<P>(src, rowOf[y + i])[col[size_t(c)]]);
      }
      slide[size_t(c)] = 1;
      WriteMean(sum, *p->means, Under<P>(src, y, x).alpha, out + x);
    }
    if (p->map) ColumnMap<P>(p, lines, usable, col, x0, y);
  }
}

}  // namespace

// Bands of about 16 rows, or of 480 columns (256 with a blur map): enough to keep the threads
// busy and abort prompt. A column band reads a stretch of each row it visits; the longer the
// stretch, the better the processor fetches the rows ahead (measured: 480 beats 256 and 128
// for the plain passes), but a map's running sums grow with the band and outgrow the cache.
PF_Err FastBlurBands(const IO_Params* run, const PF_EffectWorld* src, PF_EffectWorld* dst,
                     A_long radius, bool vertical, const IO_Params* map,
                     const PF_EffectWorld* sourceCopy, const PlainMeans* means,
                     const MapRuns* runs) {
  const bool deep = IsDeep(dst);
  std::optional<MapRuns> ownRuns;
  if (map && !(runs && runs->Fits(dst))) {
    if (PF_Err err = ownRuns.emplace(map, dst->width, dst->height).Find(run)) return err;
    runs = &*ownRuns;
  }
  std::optional<PlainMeans> own;
  if (!means) means = &own.emplace(radius, deep);
  const A_long length = vertical ? dst->height : dst->width;
  const A_long n = vertical ? src->height : src->width;
  const std::vector<A_long> fold =
      FoldTable(length, n, radius, vertical ? src->extent_hint.top : src->extent_hint.left);
  const A_long* at = fold.data() + radius + 1;
  const auto start = Multiplicities(at, -radius - 1, radius - 1, n);
  const int64_t period = n > 1 ? 2 * int64_t(n) - 1 : 1, count = 2 * int64_t(radius) + 1;
  A_long periods = A_long(count / period);
  const int64_t remainder = count % period, missing = period - remainder;
  // One period more, less the samples after the window, where they are the fewer, lie in
  // the fold table and the sums stay within 32 bits.
  const int64_t top = deep ? std::numeric_limits<A_u_short>::max() : std::numeric_limits<A_u_char>::max();
  const bool fill = remainder > missing && missing <= length && (periods + 1) * period * top <= INT32_MAX;
  std::vector<std::pair<A_long, A_long>> rest, less;
  if (fill) {
    ++periods;
    less = Multiplicities(at, radius, A_long(radius + missing - 1), n);
  } else {
    rest = Multiplicities(at, A_long(-radius - 1 + periods * period), radius - 1, n);
  }
  const BandPass pass{src, dst, radius, map, runs, sourceCopy, means, at, &start, periods, &rest, &less};
  if (!vertical)
    return ByDepth(dst, [&](auto pixel) {
      return ParallelRows(run, dst->height, [&pass](Span rows, A_long) {
        RowBand<decltype(pixel)>(&pass, rows);
      });
    });
  const RowsOptions columns{std::max<A_long>(1, dst->width / (map ? 256 : 480))};
  return ByDepth(dst, [&](auto pixel) {
    return ParallelRows(run, dst->width, [&pass](Span band, A_long) {
      ColumnBand<decltype(pixel)>(&pass, band);
    }, columns);
  });
}

template <class P>
PF_Err FastBlurH(void* refcon, A_long x, A_long y, P* in, P* out) {
  return FastBlurPass<P, false>(refcon, x, y, in, out);
}
template <class P>
PF_Err FastBlurV(void* refcon, A_long x, A_long y, P* in, P* out) {
  return FastBlurPass<P, true>(refcon, x, y, in, out);
}

// Errors of either pass are reported: a failed horizontal pass would otherwise leave the
// vertical pass reading an unwritten image and the blur report success. The horizontal pass
// writes io->dst, the vertical one writes back into io->src, which then is the result.
MapRuns::MapRuns(const IO_Params* map, A_long width, A_long height)
    : map_(map), width_(width), height_(height), rows_(size_t(std::max<A_long>(height, 0))) {}

PF_Err MapRuns::Find(const IO_Params* run) {
  return ParallelRows(run, height_, [this](Span rows, A_long) { FindRows(rows); },
                      RowsOptions{0, false});
}

void MapRuns::FindRows(Span rows) {
  MapRuns* self = this;
  for (A_long y = rows.first; y < rows.last; ++y) {
    std::vector<Run>& runs = self->rows_[size_t(y)];
    auto add = [&](A_long first, A_long last, bool plain) {
      if (first >= last) return;
      if (!runs.empty() && runs.back().last == first && runs.back().plain == plain)
        runs.back().last = last;
      else
        runs.push_back(Run{first, last, plain});
    };
    // Beyond the mask's rectangle the map is 0; within it, its values.
    const LensMask* lm = self->map_->mask;
    const bool rows = lm && y >= lm->rect.top && y < lm->rect.bottom;
    const A_long left = rows ? std::clamp(lm->rect.left, 0, self->width_) : self->width_;
    const A_long right = rows ? std::clamp(lm->rect.right, left, self->width_) : self->width_;
    add(0, left, false);
    if (rows) {
      const double* v = lm->values + size_t(y - lm->rect.top) * size_t(lm->rect.right - lm->rect.left) -
                        lm->rect.left;
      for (A_long x = left; x < right;) {
        const A_long first = x;
        if (v[x] == 1.0) {
          while (x + 4 <= right && v[x] == 1.0 && v[x + 1] == 1.0 && v[x + 2] == 1.0 && v[x + 3] == 1.0) x += 4;
          while (x < right && v[x] == 1.0) ++x;
          add(first, x, true);
        } else if (!(v[x] > 0)) {
          while (x < right && !(v[x] > 0)) ++x;
          add(first, x, false);
        } else {
          ++x;
        }
      }
    }
    add(right, self->width_, false);
  }
}

PlainMeans::PlainMeans(A_long radius, bool deep)
    : weight_(2.0 * radius + 1), halfInverse_(0.5 / weight_) {
  // Channels may hold any value of their type, 16-bit ones above the host's white too.
  const int64_t top = (deep ? std::numeric_limits<A_u_short>::max() : std::numeric_limits<A_u_char>::max()) *
                      (2 * int64_t(radius) + 1);
  singles_ = 2 * top + (2 * int64_t(radius) + 1) < (int64_t(1) << 23);
  if (top >= (int64_t(1) << 18)) return;
  table_.resize(size_t(top) + 1);
  for (size_t s = 0; s < table_.size(); ++s) table_[s] = A_u_short(double(s) / weight_ + 0.5);
}

PF_Err FastBlurA(IO_Params* io, A_long rh, A_long rv, bool useLensMap, const PlainMeans* means,
                 const MapRuns* runs) {
  PF_EffectWorld* S = io->src;
  PF_EffectWorld* D = io->dst;
  const IO_Params* map = useLensMap ? io : nullptr;
  if (rh != rv) means = nullptr;
  PF_Err err = FastBlurBands(io, S, D, rh, false, map, nullptr, means, runs);
  // The vertical pass fades toward S as it was before the horizontal pass, and writes S: a
  // pixel reads only its own value there, before replacing it, so S needs no copy.
  if (!err) err = FastBlurBands(io, D, S, rv, true, map, S, means, runs);
  io->src = D;
  io->dst = S;
  return err;
}

PF_Err FastBlur(IO_Params* io, A_long r, bool useLensMap) {
  // One table of means, and one of the map's runs of 1, for the six passes.
  const PlainMeans means(r, IsDeep(io->dst));
  std::optional<MapRuns> runs;
  if (useLensMap) {
    MapRuns& found = runs.emplace(io, io->dst->width, io->dst->height);
    if (PF_Err err = found.Find(io)) return err;
  }
  auto pass = [&] { return FastBlurA(io, r, r, useLensMap, &means, runs ? &*runs : nullptr); };
  return Chain(io, pass, pass, pass);
}

PF_Err RenderFastBlurEffect(IO_Params* io, const KT_Info* info) {
  const KT_Plan& plan = info->plan;
  if (!plan.fastBlurRuns) return HandOn(io);
  return FastBlur(io, plan.fastBlurRadius, plan.fastBlurUsesMap);
}

template PF_Err FastBlurH<PF_Pixel>(void*, A_long, A_long, PF_Pixel*, PF_Pixel*);
template PF_Err FastBlurH<PF_Pixel16>(void*, A_long, A_long, PF_Pixel16*, PF_Pixel16*);
template PF_Err FastBlurV<PF_Pixel>(void*, A_long, A_long, PF_Pixel*, PF_Pixel*);
template PF_Err FastBlurV<PF_Pixel16>(void*, A_long, A_long, PF_Pixel16*, PF_Pixel16*);
