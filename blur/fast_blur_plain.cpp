// The fast blur's plain passes over bands of rows and of columns: whole-number window sums
// slid along each line, in 32 bits where the widest window fits, else in 64.
#include "fast_blur_lines.h"

namespace fast_blur {

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

template void RowBand<PF_Pixel>(const BandPass*, Span);
template void RowBand<PF_Pixel16>(const BandPass*, Span);
template void ColumnBand<PF_Pixel>(const BandPass*, Span);
template void ColumnBand<PF_Pixel16>(const BandPass*, Span);

}  // namespace fast_blur
