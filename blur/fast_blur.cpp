#include "fast_blur.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "core/bands.h"
#include "fast_blur_lines.h"

using namespace fast_blur;

namespace {

// One pass over the window along a row (horizontal) or a column (vertical).
template <class P, bool kVertical>
PF_Err FastBlurPass(void* refcon, A_long x, A_long y, P* in, P* out) {
  const FastBlurRefcon* rc = static_cast<const FastBlurRefcon*>(refcon);
  const PF_EffectWorld* src = rc->io->src;
  const A_long r = rc->radius;
  const double m = rc->useLensMap ? GetLensMask(x, y, rc->io) : 1.0;
  if (!rc->useLensMap || m == 1.0) {
    Sums s;
    if constexpr (kIsFloat<P>) {
      s = FloatWindow(kVertical ? y : x, r, [&](A_long j) -> const P& {
        return kVertical ? *GetPointerFromDataP<P>(src, j, x, 1) : *GetPointerFromDataP<P>(src, y, j, 1);
      });
    } else {
      for (A_long i = -r; i <= r; ++i)
        Add(s, kVertical ? *GetPointerFromDataP<P>(src, y + i, x, 1) : *GetPointerFromDataP<P>(src, y, x + i, 1), 1.0);
    }
    WriteMean(s, 2.0 * r + 1, *in, out);
    return PF_Err_NONE;
  }
  MaskedMean<P, kVertical>(src, rc->io, rc->sourceCopy, r, x, y, m, *in, out);
  return PF_Err_NONE;
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

}  // namespace

std::vector<A_long> fast_blur::FoldTable(A_long m, A_long n, A_long r, A_long origin) {
  std::vector<A_long> at(size_t(std::max<A_long>(m, 0)) + 2 * size_t(r) + 1);
  for (size_t i = 0; i < at.size(); ++i) {
    A_long v = A_long(i) - r - 1 - origin;
    FoldInto(v, n);
    at[i] = v;
  }
  return at;
}


// Bands of about 16 rows, or of 480 columns (256 with a blur map): enough to keep the threads
// busy and abort prompt. A column band reads a stretch of each row it visits; the longer the
// stretch, the better the processor fetches the rows ahead (measured: 480 beats 256 and 128
// for the plain passes), but a map's running sums grow with the band and outgrow the cache.
PF_Err FastBlurBands(const IO_Params* run, const PF_EffectWorld* src, PF_EffectWorld* dst,
                     A_long radius, bool vertical, const IO_Params* map,
                     const PF_EffectWorld* sourceCopy, const PlainMeans* means,
                     const MapRuns* runs) {
  if (run->float32) return FloatPass(run, src, dst, radius, vertical, map, sourceCopy);
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
  const BandPass pass{src, dst, radius, map, runs, sourceCopy, means, at, periods, &rest, &less};
  if (!vertical)
    return IsDeep(dst) ? ParallelRows(run, dst->height, [&pass](Span rows, A_long) {
                           RowBand<PF_Pixel16>(&pass, rows);
                         })
                       : ParallelRows(run, dst->height, [&pass](Span rows, A_long) {
                           RowBand<PF_Pixel>(&pass, rows);
                         });
  const RowsOptions columns{std::max<A_long>(1, dst->width / (map ? 256 : 480))};
  return IsDeep(dst) ? ParallelRows(run, dst->width, [&pass](Span band, A_long) {
                         ColumnBand<PF_Pixel16>(&pass, band);
                       }, columns)
                     : ParallelRows(run, dst->width, [&pass](Span band, A_long) {
                         ColumnBand<PF_Pixel>(&pass, band);
                       }, columns);
}

template <class P>
PF_Err FastBlurH(void* refcon, A_long x, A_long y, P* in, P* out) {
  return FastBlurPass<P, false>(refcon, x, y, in, out);
}
template <class P>
PF_Err FastBlurV(void* refcon, A_long x, A_long y, P* in, P* out) {
  return FastBlurPass<P, true>(refcon, x, y, in, out);
}

MapRuns::MapRuns(const IO_Params* map, A_long width, A_long height)
    : map_(map), width_(width), height_(height), rows_(size_t(std::max<A_long>(height, 0))) {}

PF_Err MapRuns::Find(const IO_Params* run) {
  return ParallelRows(run, height_, [this](Span rows, A_long) { FindRows(rows); },
                      RowsOptions{0, false});
}

void MapRuns::FindRows(Span rows) {
  for (A_long y = rows.first; y < rows.last; ++y) {
    std::vector<Run>& runs = rows_[size_t(y)];
    auto add = [&](A_long first, A_long last, bool plain) {
      if (first >= last) return;
      if (!runs.empty() && runs.back().last == first && runs.back().plain == plain)
        runs.back().last = last;
      else
        runs.push_back(Run{first, last, plain});
    };
    // Beyond the mask's rectangle the map is 0; within it, its values.
    const LensMask* lm = map_->mask;
    const bool inRect = lm && y >= lm->rect.top && y < lm->rect.bottom;
    const A_long left = inRect ? std::clamp(lm->rect.left, 0, width_) : width_;
    const A_long right = inRect ? std::clamp(lm->rect.right, left, width_) : width_;
    add(0, left, false);
    if (inRect) {
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
    add(right, width_, false);
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

// Errors of either pass are reported: a failed horizontal pass would otherwise leave the
// vertical pass reading an unwritten image and the blur report success. The horizontal pass
// writes io->dst, the vertical one writes back into io->src, which then is the result; a
// plain float blur makes both at once into io->dst, the same values, reading its picture once.
PF_Err FastBlurA(IO_Params* io, A_long rh, A_long rv, bool useLensMap, const PlainMeans* means,
                 const MapRuns* runs) {
  PF_EffectWorld* S = io->src;
  PF_EffectWorld* D = io->dst;
  const IO_Params* map = useLensMap ? io : nullptr;
  if (io->float32 && !map && FloatPassesAtOnce(S, D, rv)) return FloatPasses(io, S, D, rh, rv);
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
  if (useLensMap && !io->float32) {
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
template PF_Err FastBlurH<PF_PixelFloat>(void*, A_long, A_long, PF_PixelFloat*, PF_PixelFloat*);
template PF_Err FastBlurV<PF_PixelFloat>(void*, A_long, A_long, PF_PixelFloat*, PF_PixelFloat*);
