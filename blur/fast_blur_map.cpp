// The fast blur's blur-map pixels, decided four at a time from running sums in fixed point
// where those decide them, else summed in order as the definition sums them.
#include "fast_blur_lines.h"

#include "core/exact.h"

namespace fast_blur {

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
  const V4d g = (n + 32) * (kUnitRoundoff * kBoundSlack);
  const V4d w = sums[0], ew = n * (unit * kBoundSlack);
  const V4d wlo = (w - ew) * (1 - g), whi = (w + ew) * (1 + g);
  // Products by the reciprocals, moved out by four roundings' worth: still below (above)
  // the quotients of the bounds, so below (above) the definition's rounded quotient.
  const V4d down = (1 - 8 * kUnitRoundoff) / whi, up = (1 + 8 * kUnitRoundoff) / wlo;
  const V4d es = n * (top * unit * kBoundSlack), zero = {0, 0, 0, 0};
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

#if VIZMIRA_HAS_WIDE
template <class P>
VIZMIRA_WIDE void RowMapPixelsWide(const BandPass* p, MapLines& line, const P* in, A_long y) {
  RowMapPixels(p, line, in, y);
}
#endif
template <class P>
void RowMapPixelsPlain(const BandPass* p, MapLines& line, const P* in, A_long y) {
  RowMapPixels(p, line, in, y);
}
template <class P>
void RowMap(const BandPass* p, MapLines& line, const P* in, A_long y) {
  VIZMIRA_FORM(RowMapPixelsPlain<P>, RowMapPixelsWide<P>)(p, line, in, y);
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

#if VIZMIRA_HAS_WIDE
template <class P>
VIZMIRA_WIDE void ColumnMapPixelsWide(const BandPass* p, MapLines& lines, bool& usable,
                                      const std::vector<A_long>& col, A_long x0, A_long y) {
  ColumnMapPixels<P>(p, lines, usable, col, x0, y);
}
#endif
template <class P>
void ColumnMapPixelsPlain(const BandPass* p, MapLines& lines, bool& usable,
                          const std::vector<A_long>& col, A_long x0, A_long y) {
  ColumnMapPixels<P>(p, lines, usable, col, x0, y);
}

template <class P>
void ColumnMap(const BandPass* p, MapLines& lines, bool& usable, const std::vector<A_long>& col,
               A_long x0, A_long y) {
  VIZMIRA_FORM(ColumnMapPixelsPlain<P>, ColumnMapPixelsWide<P>)(p, lines, usable, col, x0, y);
}

template void RowMap<PF_Pixel>(const BandPass*, MapLines&, const PF_Pixel*, A_long);
template void RowMap<PF_Pixel16>(const BandPass*, MapLines&, const PF_Pixel16*, A_long);
template void ColumnMap<PF_Pixel>(const BandPass*, MapLines&, bool&, const std::vector<A_long>&,
                                  A_long, A_long);
template void ColumnMap<PF_Pixel16>(const BandPass*, MapLines&, bool&, const std::vector<A_long>&,
                                    A_long, A_long);

}  // namespace fast_blur
