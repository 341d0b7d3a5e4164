// The fast blur's plain passes over bands of rows and of columns: whole-number window sums
// slid along each line, one template over the sums' width (32 bits where the widest window
// fits, else 64).
#include "fast_blur_lines.h"

#include <type_traits>

namespace fast_blur {

// A row: the window centred on -1 from its multiplicities, then slid, the four channels'
// sums in one vector of L (the alpha lane rides along unused).
template <class P, class L, class Means>
void PlainRow(const BandPass* p, Means mean, MapLines& line, A_long y) {
  const PF_EffectWorld* src = p->src;
  const A_long W = p->dst->width, r = p->radius, srcW = src->width;
  A_long row = y - src->extent_hint.top;
  FoldInto(row, src->height);
  const P* in = RowOf<P>(src, row);
  const P* under = y < src->height ? RowOf<P>(src, y) : nullptr;
  P* out = RowOf<P>(p->dst, y);
  const A_long* column = p->at;
  // Channel values widened to the sums' lanes. (Written out, not a function: the plain
  // form's calling convention has no 256-bit registers.)
#define VIZMIRA_LANES(c) __builtin_convertvector(Lanes(in[c]), L)
  L s = {0, 0, 0, 0};
  if (p->periods) {
    L total = {0, 0, 0, 0};
    for (A_long c = 0; c < srcW; ++c) total += VIZMIRA_LANES(c);
    s = (total + total - VIZMIRA_LANES(0)) * p->periods;
  }
  for (const auto& [c, times] : *p->rest) s += VIZMIRA_LANES(c) * times;
  for (const auto& [c, times] : *p->less) s -= VIZMIRA_LANES(c) * times;
  if (!p->map) {
    for (A_long x = 0; x < W; ++x) {
      s += VIZMIRA_LANES(column[x + r]) - VIZMIRA_LANES(column[x - r - 1]);
      Store(mean(s), under && x < srcW ? under[x].alpha : 0, out + x);
    }
    return;
  }
  // With a blur map, the sums slide through the pixels it takes, which are written their
  // own way afterwards.
  A_long x = 0;
  for (const MapRuns::Run* run = p->runs->begin(y); run != p->runs->end(y); ++run) {
    if (!run->plain) continue;
    for (; x < run->first; ++x) s += VIZMIRA_LANES(column[x + r]) - VIZMIRA_LANES(column[x - r - 1]);
    for (; x < run->last; ++x) {
      s += VIZMIRA_LANES(column[x + r]) - VIZMIRA_LANES(column[x - r - 1]);
      Store(mean(s), under && x < srcW ? under[x].alpha : 0, out + x);
    }
  }
  RowMap<P>(p, line, in, y);
#undef VIZMIRA_LANES
}

// A band of columns, a row at a time: the band's sums side by side, four to a pixel (the
// alpha lane rides along unused), whole numbers of L's width, updated by the entering and
// the leaving row.
template <class P, class L, class Means>
void PlainColumns(const BandPass* p, Means mean, const std::vector<A_long>& col, A_long x0) {
  using C = typename PixelTraits<P>::Channel;
  using Sum = std::remove_reference_t<decltype(L{}[0])>;
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
  std::vector<Sum> sums(lanes, 0);
  MapLines lines(n, H, r, std::numeric_limits<C>::max(), 0);  // with a blur map
  bool usable = lines.usable();
  Sum* s = sums.data();
  const A_long* rowOf = p->at;
  if (p->periods) {
    for (A_long row = 0; row < src->height; ++row) {
      const C* in = band(row, 0);
      for (size_t i = 0; i < lanes; ++i) s[i] += Sum(in[i]);
    }
    const C* first = band(0, 0);
    for (size_t i = 0; i < lanes; ++i) s[i] = (2 * s[i] - Sum(first[i])) * p->periods;
  }
  for (const auto& [row, times] : *p->rest) {
    const C* in = band(row, 0);
    for (size_t i = 0; i < lanes; ++i) s[i] += Sum(in[i]) * times;
  }
  for (const auto& [row, times] : *p->less) {
    const C* in = band(row, 0);
    for (size_t i = 0; i < lanes; ++i) s[i] -= Sum(in[i]) * times;
  }
  for (A_long y = 0; y < H; ++y) {
    const C* enter = band(rowOf[y + r], 0);
    const C* leave = band(rowOf[y - r - 1], 1);
    for (size_t i = 0; i < lanes; ++i) s[i] += Sum(enter[i]) - Sum(leave[i]);
    const P* under = y < src->height ? RowOf<P>(src, y) : nullptr;
    P* out = RowOf<P>(p->dst, y) + x0;
    auto plain = [&](A_long from, A_long to) {
      for (A_long c = from; c < to; ++c) {
        L t;
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

// The widest window's sum decides the sums' width; single-precision means where they are
// exact (PlainMeans).
template <class P>
void RowBand(const BandPass* p, Span rows) {
  using C = typename PixelTraits<P>::Channel;
  MapLines line(1, p->dst->width, p->radius, std::numeric_limits<C>::max(), 3);  // four at a time
  const PlainMeans& means = *p->means;
  const bool wide = !PlainFitsIn32<P>(p), singles = means.singles();
  for (A_long y = rows.first; y < rows.last; ++y) {
    if (wide) PlainRow<P, V4l>(p, means.doublesView(), line, y);
    else if (singles) PlainRow<P, V4i>(p, means.singlesView(), line, y);
    else PlainRow<P, V4i>(p, means.doublesView(), line, y);
  }
}

template <class P>
void ColumnBand(const BandPass* p, Span columns) {
  const PF_EffectWorld* src = p->src;
  const A_long x0 = columns.first, n = columns.last - columns.first;
  // The band's columns as read: folded like any other position.
  std::vector<A_long> col(size_t(std::max<A_long>(0, n)));
  for (A_long i = 0; i < n; ++i) {
    col[size_t(i)] = x0 + i - src->extent_hint.left;
    FoldInto(col[size_t(i)], src->width);
  }
  const PlainMeans& means = *p->means;
  if (!PlainFitsIn32<P>(p)) PlainColumns<P, V4l>(p, means.doublesView(), col, x0);
  else if (means.singles()) PlainColumns<P, V4i>(p, means.singlesView(), col, x0);
  else PlainColumns<P, V4i>(p, means.doublesView(), col, x0);
}

template void RowBand<PF_Pixel>(const BandPass*, Span);
template void RowBand<PF_Pixel16>(const BandPass*, Span);
template void ColumnBand<PF_Pixel>(const BandPass*, Span);
template void ColumnBand<PF_Pixel16>(const BandPass*, Span);

}  // namespace fast_blur
