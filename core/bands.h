// Whole rows instead of single pixels: a stage's per-pixel routine runs over bands of rows
// on the host's threads through the generic iteration (a member of the 8-bit iterate suite
// that is independent of depth), each band calling the routine directly, so the compiler
// inlines it. Every pixel gets the very arguments the host's iterate would give it: its
// position, the source pixel there (transparent black beyond the source) and its output
// pixel. Each band polls abort first; bands finished on the calling thread report progress.
#pragma once

#include <algorithm>
#include <atomic>

#include "core/pixel.h"
#include "core/stage.h"

template <class P>
using PixelFn = PF_Err (*)(void*, A_long, A_long, P*, P*);

// Band `band` of `bands` over 0 … n-1: [first, last).
struct Span {
  A_long first, last;
};
inline Span BandSpan(A_long n, A_long band, A_long bands) {
  return Span{A_long(int64_t(n) * band / bands), A_long(int64_t(n) * (band + 1) / bands)};
}

// About 16 rows a band: enough bands to keep every thread busy and abort prompt.
inline A_long BandsFor(A_long rows) { return std::max<A_long>(1, rows / 16); }

// Counts the rows that bands finished; the bands finished on the calling thread (index 0)
// tell the host, so progress is reported from the thread the host called the effect on.
// The end is told once, by IterateBands, when every band is done.
class BandProgress {
 public:
  PF_Err Done(PF_InData* in_data, A_long thread, A_long rows, A_long total) {
    const A_long done = done_ += rows;
    if (thread != 0 || done >= total) return PF_Err_NONE;
    return in_data->inter.progress(in_data->effect_ref, done, total);
  }
  // Counts from nothing again, for a second pass over the same rows.
  void Reset() { done_ = 0; }

 private:
  std::atomic<A_long> done_{0};
};

// fn over `bands` bands through the host's generic iteration; then progress reaches `total`.
inline PF_Err IterateBands(const PF_Iterate8Suite1* suite, PF_InData* in_data, A_long bands,
                           void* job, PF_IterateGenericFunc fn, A_long total) {
  if (PF_Err err = suite->iterate_generic(bands, job, fn)) return err;
  return in_data->inter.progress(in_data->effect_ref, total, total);
}

struct RowsJob {
  PF_InData* in_data;
  const PF_EffectWorld* src;  // may be null: every pixel then reads transparent black
  PF_EffectWorld* dst;
  void* refcon;
  BandProgress progress;
};

// A band of rows: rowFn(y) gives the row's pixel routine, pixel(x, in, out), which is
// called for every pixel of the row.
template <class P, class RowFn>
PF_Err RowsBandWith(RowsJob* job, A_long thread, A_long band, A_long bands, RowFn rowFn) {
  PF_InData* in_data = job->in_data;
  if (PF_Err err = in_data->inter.abort(in_data->effect_ref)) return err;
  const PF_EffectWorld* src = job->src;
  PF_EffectWorld* dst = job->dst;
  const Span rows = BandSpan(dst->height, band, bands);
  for (A_long y = rows.first; y < rows.last; ++y) {
    const auto pixel = rowFn(y);
    P* out = RowOf<P>(dst, y);
    const bool inRows = src && y < src->height;
    P* in = inRows ? RowOf<P>(src, y) : nullptr;
    const A_long inside = inRows ? std::min(src->width, dst->width) : 0;
    A_long x = 0;
    for (; x < inside; ++x)
      if (PF_Err err = pixel(x, in + x, out + x)) return err;
    for (; x < dst->width; ++x) {
      P outside{0, 0, 0, 0};
      if (PF_Err err = pixel(x, &outside, out + x)) return err;
    }
  }
  return job->progress.Done(in_data, thread, rows.last - rows.first, dst->height);
}

template <class P, PixelFn<P> Fn>
PF_Err RowsBand(void* job_, A_long thread, A_long band, A_long bands) {
  RowsJob* job = static_cast<RowsJob*>(job_);
  void* refcon = job->refcon;
  return RowsBandWith<P>(job, thread, band, bands, [refcon](A_long y) {
    return [refcon, y](A_long x, P* in, P* out) { return Fn(refcon, x, y, in, out); };
  });
}

// Runs Fn8 or Fn16 (by dst's depth) over all of dst, reading src.
template <PixelFn<PF_Pixel> Fn8, PixelFn<PF_Pixel16> Fn16>
PF_Err IterateRows(PF_InData* in_data, const PF_EffectWorld* src, void* refcon,
                   PF_EffectWorld* dst) {
  AEGP_SuiteHandler suites(in_data->pica_basicP);
  RowsJob job{in_data, src, dst, refcon, {}};
  return IterateBands(suites.Iterate8Suite1(), in_data, BandsFor(dst->height), &job,
                      IsDeep(dst) ? RowsBand<PF_Pixel16, Fn16> : RowsBand<PF_Pixel, Fn8>,
                      dst->height);
}

// The usual stage: io->src into io->dst.
template <PixelFn<PF_Pixel> Fn8, PixelFn<PF_Pixel16> Fn16>
PF_Err IterateRows(IO_Params* io, void* refcon) {
  return IterateRows<Fn8, Fn16>(io->in_data, io->src, refcon, io->dst);
}
