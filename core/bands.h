// Whole rows instead of single pixels: a stage's work runs over bands of rows (or columns)
// on the host's threads through the generic iteration (a member of the 8-bit iterate suite
// that is independent of depth). ParallelRows is the one way in: it hands each band its
// span, polls abort first and reports progress; the stages never see the host's callback.
// ForEachPixel then calls a per-pixel routine directly, so the compiler inlines it, with the
// very arguments the host's iterate would give it: its position, the source pixel there
// (transparent black beyond the source) and its output pixel.
#pragma once

#include <algorithm>
#include <atomic>
#include <optional>
#include <type_traits>

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

struct RowsOptions {
  A_long bands = 0;     // 0: BandsFor(the rows)
  bool progress = true;  // false for the preparations that precede a stage's own pass
};

namespace bands_detail {

// Counts the lines that bands finished; the bands finished on the calling thread (index 0)
// tell the host, so progress is reported from the thread the host called the effect on.
// The end is told once, when every band is done.
template <class Fn>
struct Task {
  PF_InData* in_data;
  A_long lines;
  bool progress;
  Fn* fn;
  std::atomic<A_long> done{0};

  static PF_Err Band(void* refcon, A_long thread, A_long band, A_long bands) {
    Task* t = static_cast<Task*>(refcon);
    PF_InData* in_data = t->in_data;
    if (in_data)
      if (PF_Err err = in_data->inter.abort(in_data->effect_ref)) return err;
    const Span span = BandSpan(t->lines, band, bands);
    if constexpr (std::is_void_v<decltype((*t->fn)(span, thread))>) {
      (*t->fn)(span, thread);
    } else {
      if (PF_Err err = (*t->fn)(span, thread)) return err;
    }
    if (!t->progress || !in_data) return PF_Err_NONE;
    const A_long done = t->done += span.last - span.first;
    if (thread != 0 || done >= t->lines) return PF_Err_NONE;
    return in_data->inter.progress(in_data->effect_ref, done, t->lines);
  }
};

}  // namespace bands_detail

// The render's iterate suite: the one acquired for the render, or (for a stage called on its
// own) one acquired now; null without a host, where the bands then run on this thread.
class IterateSuite {
 public:
  explicit IterateSuite(const IO_Params* io) : suite_(io ? io->iterate : nullptr) {
    if (!suite_ && io && io->in_data) suite_ = own_.emplace(io->in_data->pica_basicP).Iterate8Suite1();
  }
  const PF_Iterate8Suite1* get() const { return suite_; }

 private:
  const PF_Iterate8Suite1* suite_;
  std::optional<AEGP_SuiteHandler> own_;
};

// fn(Span lines, A_long thread) over bands of lines 0 … lines − 1 through the host's generic
// iteration (any order, any thread); fn returns PF_Err or nothing. Then progress reaches
// `lines`. The first error a band returns is the result.
template <class Fn>
PF_Err ParallelRows(const IO_Params* io, A_long lines, Fn&& fn, RowsOptions options = {}) {
  using F = std::remove_reference_t<Fn>;
  PF_InData* in_data = io ? io->in_data : nullptr;
  bands_detail::Task<F> task{in_data, lines, options.progress, &fn};
  const A_long bands = options.bands > 0 ? options.bands : BandsFor(lines);
  const IterateSuite suite(io);
  if (suite.get()) {
    if (PF_Err err = suite.get()->iterate_generic(bands, &task, bands_detail::Task<F>::Band)) return err;
  } else {
    for (A_long band = 0; band < bands; ++band)
      if (PF_Err err = bands_detail::Task<F>::Band(&task, 0, band, bands)) return err;
  }
  if (!options.progress || !in_data) return PF_Err_NONE;
  return in_data->inter.progress(in_data->effect_ref, lines, lines);
}

// Rows `rows` of dst: rowFn(y) gives the row's pixel routine, pixel(x, in, out), which is
// called for every pixel of the row with `in` read from src (may be null: transparent black).
template <class P, class RowFn>
PF_Err ForEachPixel(const PF_EffectWorld* src, PF_EffectWorld* dst, Span rows, RowFn&& rowFn) {
  for (A_long y = rows.first; y < rows.last; ++y) {
    auto&& pixel = rowFn(y);
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
  return PF_Err_NONE;
}

// body(P{}) with P the pixel type of `world` in the render of io.
template <class Body>
PF_Err ByDepth(const IO_Params* io, const PF_EffectWorld* world, Body&& body) {
  if (io && io->float32) return body(PF_PixelFloat{});
  return IsDeep(world) ? body(PF_Pixel16{}) : body(PF_Pixel{});
}

// Runs Fn8, Fn16 or Fn32 (by the render's depth) over all of dst, reading src.
template <PixelFn<PF_Pixel> Fn8, PixelFn<PF_Pixel16> Fn16, PixelFn<PF_PixelFloat> Fn32>
PF_Err IterateRows(const IO_Params* io, const PF_EffectWorld* src, void* refcon,
                   PF_EffectWorld* dst) {
  return ByDepth(io, dst, [&](auto pixel) {
    using P = decltype(pixel);
    return ParallelRows(io, dst->height, [&](Span rows, A_long) {
      return ForEachPixel<P>(src, dst, rows, [refcon](A_long y) {
        return [refcon, y](A_long x, P* in, P* out) {
          if constexpr (std::is_same_v<P, PF_Pixel>) return Fn8(refcon, x, y, in, out);
          else if constexpr (std::is_same_v<P, PF_Pixel16>) return Fn16(refcon, x, y, in, out);
          else return Fn32(refcon, x, y, in, out);
        };
      });
    });
  });
}

// The usual stage: io->src into io->dst.
template <PixelFn<PF_Pixel> Fn8, PixelFn<PF_Pixel16> Fn16, PixelFn<PF_PixelFloat> Fn32>
PF_Err IterateRows(IO_Params* io, void* refcon) {
  return IterateRows<Fn8, Fn16, Fn32>(io, io->src, refcon, io->dst);
}
