// The realistic blur's uniform form: one kernel for every pixel, its sums run along each row
// by the kernel's row differences.
#include "iris_samples.h"

#include "core/lanes.h"

namespace iris {
namespace {

// The uniform form, row by row: running sums over the difference list in double precision,
// re-summed in full at the start of a row, every `period` pixels, and whenever the running
// weight falls near zero, so that leftovers of bright patches never streak across dark
// ones. Each output equals the direct kernel sum within rounding. A row depends on nothing
// but the source, so bands of rows run on the host's threads.
struct UniformJob {
  IO_Params* io;
  const IrisKernel* k;
  const float* H;
  std::vector<RowDifference> list;
  SampleRows samples;  // the whole picture's, where the bands do not make their own
};

// The running sums {weight, red, green, blue} of a row as one vector: its lanes take the
// very additions the difference list gives one at a time, in its order.
typedef V4d V4;

// One kernel row's cells dx0 … dx1 added to the sums of kRows rows, in column order: g·h
// rounded to single precision, sums in double. `weights` and each row's samples are
// indexed by dx.
template <int kRows>
[[gnu::always_inline]] inline void AddCells(const float* const* rows, const float* weights,
                                            A_long dx0, A_long dx1, V4* sums) {
  V4 acc[kRows];
  for (int g = 0; g < kRows; ++g) acc[g] = sums[g];
  for (A_long dx = dx0; dx <= dx1; ++dx) {
    const float weight = weights[dx];
    if (weight == 0) continue;
    for (int g = 0; g < kRows; ++g) {
      V4f f;
      std::memcpy(&f, rows[g] + 4 * dx, sizeof f);  // h, red, green, blue
      const double w = float(weight * f[0]);
      V4 v = __builtin_convertvector(f, V4);
      v[0] = 1.0;  // the weight's own sum adds w · 1
      acc[g] += V4{w, w, w, w} * v;
    }
  }
  for (int g = 0; g < kRows; ++g) sums[g] = acc[g];
}

#if VIZMIRA_HAS_WIDE
// The same in 256-bit instructions: g·h is the first lane of the samples' single-precision
// product with g, widened with the sample.
template <int kRows>
VIZMIRA_WIDE void AddCellsWide(const float* const* rows, const float* weights, A_long dx0,
                               A_long dx1, V4* sums) {
  V4 acc[kRows];
  for (int g = 0; g < kRows; ++g) acc[g] = sums[g];
  for (A_long dx = dx0; dx <= dx1; ++dx) {
    if (weights[dx] == 0) continue;
    const float weight = weights[dx];
    for (int g = 0; g < kRows; ++g) {
      V4f f;
      std::memcpy(&f, rows[g] + 4 * dx, sizeof f);
      const V4d w = lanes::FirstEverywhere(lanes::Widen(weight * f));
      acc[g] += w * lanes::WithFirst(lanes::Widen(f), 1.0);
    }
  }
  for (int g = 0; g < kRows; ++g) sums[g] = acc[g];
}
#endif

// The sums of the whole kernel at column x for kRows rows at once: for each row every
// weighing cell over the picture in the kernel's order (rows, then columns). Each row's sums
// are one chain of additions; the rows' chains run side by side. A row without a lit pixel
// in reach sums to exactly zero, and reads the zero samples `none` (four to a cell, 2r + 1
// cells) instead, as does a kernel row off the picture: each of their terms is +0, which
// leaves the sums as they are.
template <int kRows>
void DirectSums(const SampleRows& samples, A_long H, const IrisKernel& k, A_long x,
                const A_long* ys, const float* none, V4* out) {
  const A_long r = k.rx, W = samples.width;
  bool lit[kRows], any = false;
  for (int g = 0; g < kRows; ++g) any |= lit[g] = samples.AnyLit(x, ys[g], r, H);
  for (int g = 0; g < kRows; ++g) out[g] = V4{0, 0, 0, 0};
  if (!any) return;
  const A_long dx0 = std::max(-r, -x), dx1 = std::min(r, W - 1 - x);
  const auto addCells = VIZMIRA_FORM(AddCells<kRows>, AddCellsWide<kRows>);
  for (A_long dy = -r; dy <= r; ++dy) {
    const float* rows[kRows];
    for (int g = 0; g < kRows; ++g) {
      const A_long y = ys[g] + dy;
      rows[g] = lit[g] && y >= 0 && y < H ? samples.row(y) + 4 * size_t(x) : none + 4 * r;
    }
    const float* weights = &k.grid[size_t(dy + r) * size_t(2 * r + 1) + size_t(r)];
    addCells(rows, weights, dx0, dx1, out);
  }
}

// A row's differences whose rows lie in the picture, in the list's order, with those rows'
// pixels, highlight weights and samples at hand.
template <class P>
struct Entry {
  A_long x;
  double weight;
  const P* pixels;
  const float* h;
  const float* samples;  // four to a pixel
};

// The difference list's contribution at column x for `kRows` neighbouring rows at once
// (independent chains of additions, so one row's wait is another's work): every difference
// lies in the row, so no checks, and a zero weight adds nothing. Row g reads g · sampleStep
// floats further on than row 0's entries.
template <int kRows, class P>
[[gnu::always_inline]] inline void AddDifferences(const Entry<P>* entries, size_t count, A_long x,
                                                  ptrdiff_t sampleStep, V4* sums) {
  V4 acc[kRows];  // in registers while the list runs
  for (int g = 0; g < kRows; ++g) acc[g] = sums[g];
  for (size_t i = 0; i < count; ++i) {
    const Entry<P>& e = entries[i];
    const float* at = e.samples + 4 * ptrdiff_t(x + e.x);
    for (int g = 0; g < kRows; ++g) {
      V4f f;
      std::memcpy(&f, at + g * sampleStep, sizeof f);
      V4 v = __builtin_convertvector(f, V4);  // h, red, green, blue
      const double w = e.weight * v[0];
      v[0] = 1.0;  // the weight's own sum adds w · 1
      acc[g] += V4{w, w, w, w} * v;
    }
  }
  for (int g = 0; g < kRows; ++g) sums[g] = acc[g];
}

template <class P>
void AddDifferencesPlain(const Entry<P>* entries, size_t count, A_long x, ptrdiff_t sampleStep,
                         V4* acc, int rows) {
  if (rows == 4) AddDifferences<4>(entries, count, x, sampleStep, acc);
  else AddDifferences<1>(entries, count, x, sampleStep, acc);
}

#if VIZMIRA_HAS_WIDE
// The same in 256-bit instructions, written out: the sample widened in one conversion, the
// weight w = e.weight · h formed in every lane by one product and the first lane replaced
// by 1 (the compiler's own form widens the halves apart to replace it).
template <int kRows, class P>
VIZMIRA_WIDE [[gnu::always_inline]] inline void AddDifferences256(
    const Entry<P>* entries, size_t count, A_long x, ptrdiff_t sampleStep, V4* sums) {
  V4 acc[kRows];
  for (int g = 0; g < kRows; ++g) acc[g] = sums[g];
  for (size_t i = 0; i < count; ++i) {
    const Entry<P>& e = entries[i];
    const float* at = e.samples + 4 * ptrdiff_t(x + e.x);
    const V4d weight = lanes::Splat(e.weight);
    for (int g = 0; g < kRows; ++g) {
      const V4d v = lanes::WidenFloats(at + g * sampleStep);  // h, red, green, blue
      const V4d w = weight * lanes::FirstEverywhere(v);
      acc[g] += w * lanes::WithFirst(v, 1.0);
    }
  }
  for (int g = 0; g < kRows; ++g) sums[g] = acc[g];
}

template <class P>
VIZMIRA_WIDE void AddDifferencesWide(const Entry<P>* entries, size_t count, A_long x,
                                     ptrdiff_t sampleStep, V4* acc, int rows) {
  if (rows == 8) AddDifferences256<8>(entries, count, x, sampleStep, acc);
  else if (rows == 4) AddDifferences256<4>(entries, count, x, sampleStep, acc);
  else AddDifferences256<1>(entries, count, x, sampleStep, acc);
}
#endif

template <class P>
void AddDifferencesFor(const Entry<P>* entries, size_t count, A_long x, ptrdiff_t sampleStep,
                       V4* acc, int rows) {
  VIZMIRA_FORM(AddDifferencesPlain<P>, AddDifferencesWide<P>)(entries, count, x, sampleStep, acc, rows);
}

// The colours a row's sums {w, red, green, blue} give: trunc(c / w) limited to 0 … max, or
// 0 where w is not positive; for `rows` rows at once.
void MeansPlain(const V4* sums, int rows, double max, int32_t (*out)[4]) {
  for (int g = 0; g < rows; ++g) {
    const double sw = sums[g][0];
    for (int c = 1; c < 4; ++c)
      out[g][c] = sw > 0 ? int32_t(std::clamp(std::trunc(sums[g][c] / sw), 0.0, max)) : 0;
  }
}
#if VIZMIRA_HAS_WIDE
// The same with one division for the three colours (the quotients are not negative, so
// truncating the lesser of the quotient and max is the same limit).
VIZMIRA_WIDE void MeansWide(const V4* sums, int rows, double max, int32_t (*out)[4]) {
  const V4d top = lanes::Splat(max), zero = {0, 0, 0, 0};
  for (int g = 0; g < rows; ++g) {
    const V4d s = sums[g], sw = lanes::FirstEverywhere(s);
    const V4d q = lanes::Min(s / sw, top);
    const V4i t = lanes::Truncate(lanes::Keep(q, sw > zero));
    std::memcpy(out[g], &t, sizeof t);
  }
}
#endif

// A band of rows of the uniform form, reading the picture's samples or, for a small kernel,
// making those of its rows and of the rows its kernels reach. Rows run in groups side by
// side; a row steps on its own where the group cannot.
template <class P>
class UniformBand {
 public:
  using C = typename PixelTraits<P>::Channel;
  static constexpr double kMax = PixelTraits<P>::kMax;
  // Eight rows side by side where there are 256-bit vectors (sixteen registers hold their
  // sums), else four.
  static constexpr int kMaxGroup = 8;

  UniformBand(UniformJob* job, const SampleRows& samples)
      : io_(job->io), k_(*job->k), list_(job->list), H_(job->H), pic_{job->io->src, job->H},
        samples_(samples), srcW_(io_->src->width), srcH_(io_->src->height),
        period_(std::max<A_long>(64, 4 * k_.rx)), sampleStep_(4 * ptrdiff_t(srcW_)),
        none_(4 * size_t(2 * k_.rx + 1), 0.0f) {}

  PF_Err Run(Span rows);

 private:
  // One row's state: its entries, running sums, the largest weight since the last full sum
  // and the pixels since then.
  struct Row {
    A_long y;
    P* out;          // the row of dst
    const P* under;  // the row of the source, whose alphas the pixels keep
    std::vector<Entry<P>> entries;
    V4 s;
    double peak;
    A_long since;
  };

  // The row's pixel at x: the source's alpha and the colours of `mean` (MeansPlain's).
  static void Put(const Row& r, A_long x, const int32_t* mean) {
    r.out[x] = P{r.under[x].alpha, C(mean[1]), C(mean[2]), C(mean[3])};
  }
  // Float: the quotients kept, neither truncated nor limited (a weight of 0 gives 0).
  static void PutFloat(const Row& r, A_long x, const V4& s) {
    const double sw = s[0];
    auto mean = [&](int c) { return sw > 0 ? PF_FpShort(s[c] / sw) : 0.0f; };
    r.out[x] = P{r.under[x].alpha, mean(1), mean(2), mean(3)};
  }
  static void Write(const Row& r, A_long x) {
    if constexpr (kIsFloat<P>) {
      PutFloat(r, x, r.s);
    } else {
      int32_t mean[1][4];
      MeansPlain(&r.s, 1, kMax, mean);
      Put(r, x, mean[0]);
    }
  }
  static void Restart(Row& r) {
    r.peak = r.s[0];
    r.since = 0;
  }
  void FullSum(Row& r, A_long x) const {
    DirectSums<1>(samples_, srcH_, k_, x, &r.y, none_.data(), &r.s);
    Restart(r);
  }
  // After the differences were added: the bookkeeping of one step, and a full sum where the
  // running weight fell near zero.
  void AfterStep(Row& r, A_long x) const {
    r.peak = std::max(r.peak, double(r.s[0]));
    ++r.since;
    if (r.s[0] <= 1e-6 * r.peak) FullSum(r, x);
  }
  // One row at column x, on its own.
  void Step(Row& r, A_long x) const {
    const bool resum = x == 0 || r.since >= period_;
    if (!resum && x - k_.rx - 1 >= 0 && x + k_.rx < srcW_) {
      AddDifferencesFor(r.entries.data(), r.entries.size(), x, sampleStep_, &r.s, 1);
      AfterStep(r, x);
    } else if (!resum) {
      double sw = r.s[0], sr = r.s[1], sg = r.s[2], sb = r.s[3];
      for (const Entry<P>& e : r.entries) {
        const A_long at = x + e.x;
        if (at < 0 || at >= srcW_) continue;
        const double w = e.weight * e.h[at];
        if (w == 0) continue;
        const P* p = e.pixels + at;
        sw += w;
        sr += w * p->red;
        sg += w * p->green;
        sb += w * p->blue;
      }
      r.s = V4{sw, sr, sg, sb};
      AfterStep(r, x);
    } else {
      FullSum(r, x);
    }
    Write(r, x);
  }

  IO_Params* io_;
  const IrisKernel& k_;
  const std::vector<RowDifference>& list_;
  const float* H_;
  const Picture<P> pic_;
  const SampleRows& samples_;
  const A_long srcW_, srcH_, period_;
  const ptrdiff_t sampleStep_;
  const std::vector<float> none_;
};

template <class P>
PF_Err UniformBand<P>::Run(Span rows) {
  PF_EffectWorld* dst = io_->dst;
  const A_long W = std::min(dst->width, srcW_);
  const int groupSize = VIZMIRA_FORM(4, 8);
  Row group[kMaxGroup];
  for (Row& r : group) r.entries.reserve(list_.size());
  const auto means = VIZMIRA_FORM(MeansPlain, MeansWide);

  for (A_long y0 = rows.first; y0 < rows.last; y0 += groupSize) {
    if (PF_Err err = io_->in_data->inter.abort(io_->in_data->effect_ref)) return err;
    const int n = int(std::min<A_long>(groupSize, rows.last - y0));
    bool full = n == groupSize;  // every row of the group has the whole list
    for (int g = 0; g < n; ++g) {
      Row& r = group[g];
      r.y = y0 + g;
      r.out = RowOf<P>(dst, r.y);  // rows and columns within both pictures: none folds
      r.under = pic_.at(0, r.y);
      r.entries.clear();
      for (const RowDifference& e : list_)
        if (r.y + e.y >= 0 && r.y + e.y < srcH_)
          r.entries.push_back(Entry<P>{e.x, e.weight, pic_.at(0, r.y + e.y),
                                       H_ + size_t(r.y + e.y) * size_t(srcW_),
                                       samples_.row(r.y + e.y)});
      full = full && r.entries.size() == list_.size();
      r.s = V4{0, 0, 0, 0};
      r.peak = 0;
      r.since = 0;
    }
    for (A_long x = 0; x < W; ++x) {
      // The group's rows run their differences side by side where each would take the
      // checked-free step; otherwise each row steps on its own.
      bool together = full && x - k_.rx - 1 >= 0 && x + k_.rx < srcW_;
      for (int g = 0; together && g < n; ++g) together = group[g].since < period_;
      if (!together) {
        // Where every row of the group starts over, their full sums run side by side.
        bool restartAll = full;
        for (int g = 0; restartAll && g < n; ++g) restartAll = x == 0 || group[g].since >= period_;
        if (!restartAll) {
          for (int g = 0; g < n; ++g) Step(group[g], x);
          continue;
        }
        A_long ys[kMaxGroup];
        V4 sums[kMaxGroup];
        for (int g = 0; g < n; ++g) ys[g] = group[g].y;
        if (n == 8) DirectSums<8>(samples_, srcH_, k_, x, ys, none_.data(), sums);
        else DirectSums<4>(samples_, srcH_, k_, x, ys, none_.data(), sums);
        for (int g = 0; g < n; ++g) {
          group[g].s = sums[g];
          Restart(group[g]);
          Write(group[g], x);
        }
        continue;
      }
      V4 acc[kMaxGroup];
      for (int g = 0; g < groupSize; ++g) acc[g] = group[g].s;
      AddDifferencesFor(group[0].entries.data(), list_.size(), x, sampleStep_, acc, groupSize);
      for (int g = 0; g < groupSize; ++g) {
        group[g].s = acc[g];
        AfterStep(group[g], x);
        acc[g] = group[g].s;  // a full sum may have replaced it
      }
      if constexpr (kIsFloat<P>) {
        for (int g = 0; g < groupSize; ++g) PutFloat(group[g], x, acc[g]);
      } else {
        int32_t mean[kMaxGroup][4];
        means(acc, groupSize, kMax, mean);
        for (int g = 0; g < groupSize; ++g) Put(group[g], x, mean[g]);
      }
    }
  }
  return PF_Err_NONE;
}

template <class P>
PF_Err UniformIrisRows(UniformJob* job, Span rows) {
  const IrisKernel& k = *job->k;
  const PF_EffectWorld* src = job->io->src;
  SampleRows own;
  if (!job->samples.samples) {
    const A_long top = std::max<A_long>(0, rows.first - k.rx);
    const A_long bottom = std::min<A_long>(src->height, rows.last + k.rx);
    if (!own.Allocate(top, bottom - top, src->width, true)) return PF_Err_OUT_OF_MEMORY;
    FillSampleRows<P>(src, job->H, top, bottom, &own);
  }
  return UniformBand<P>(job, job->samples.samples ? job->samples : own).Run(rows);
}

}  // namespace

template <class P>
PF_Err UniformIrisBlur(IO_Params* io, const IrisKernel& k, const float* H) {
  UniformJob job{io, &k, H, RowDifferences(k), {}};
  const A_long rows = std::min(io->dst->height, io->src->height);
  // A band of a small kernel makes the samples of its rows and of the 2r rows its kernels
  // reach beyond them: they stay in the cache, and the picture's tens of megabytes are
  // neither written nor fetched again. A large kernel's bands would make too many rows twice
  // over: they read the picture's samples, made first.
  constexpr A_long kOwnSamplesReach = 8;
  if (k.rx > kOwnSamplesReach) {
    if (!job.samples.Allocate(0, io->src->height, io->src->width, true)) return PF_Err_OUT_OF_MEMORY;
    if (PF_Err err = Samples<P>(io, io->src, H, &job.samples)) return err;
  }
  return ParallelRows(io, rows, [&job](Span band, A_long) { return UniformIrisRows<P>(&job, band); });
}

template PF_Err UniformIrisBlur<PF_Pixel>(IO_Params*, const IrisKernel&, const float*);
template PF_Err UniformIrisBlur<PF_Pixel16>(IO_Params*, const IrisKernel&, const float*);
template PF_Err UniformIrisBlur<PF_PixelFloat>(IO_Params*, const IrisKernel&, const float*);

}  // namespace iris
