// The lens mask: one value in 0 … 1 per pixel of the output's extent hint, computed once per
// render and read, through the render's context, by every stage that weighs its work by the
// lens. Each render has its own, so renders can run at the same time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>

#include "bands.h"
#include "params/kt_info.h"
#include "params/numbers.h"
#include "pixel.h"
#include "stage.h"

// Lookups outside the rectangle give 0.
struct LensMask {
  const double* values = nullptr;
  PF_Rect rect{0, 0, 0, 0};
};

// Mask value of pixel (x, y). io->src is the input layer, io->dst the output world.
double ComputeLensMask(A_long x, A_long y, const KT_Info* info, const IO_Params* io);

inline double GetLensMask(A_long x, A_long y, const IO_Params* io) {
  if (!io->mask) return 0.0;
  const PF_Rect& r = io->mask->rect;
  if (x < r.left || x >= r.right || y < r.top || y >= r.bottom) return 0.0;
  return io->mask->values[size_t(y - r.top) * size_t(r.right - r.left) + size_t(x - r.left)];
}

// Owns one render's mask: allocates and fills it over `rect`, frees it when it goes out of
// scope.
class LensMaskScope {
 public:
  LensMaskScope() = default;
  LensMaskScope(const LensMaskScope&) = delete;
  LensMaskScope& operator=(const LensMaskScope&) = delete;
  // PF_Err_OUT_OF_MEMORY when the array cannot be had; nothing is filled then. Rows are
  // filled in bands on the host's threads (ParallelRows).
  PF_Err Fill(const PF_Rect& rect, const KT_Info* info, const IO_Params* io);
  const LensMask* get() const { return &mask_; }

 private:
  std::unique_ptr<double[]> values_;
  LensMask mask_;
};

double GetDistanceKWithRectMode(double u, double v, double f, double hv, double hu,
                                const PF_InData* in_data);
double GetDistanceKWithTriangleMode(double u, double w, double f, double R,
                                    const PF_InData* in_data);
// The same K as GetDistanceKWithTriangleMode, without its trigonometry where the point lies
// clearly inside one side's angle and clearly off that side's line.
double TriangleLensK(double u, double w, double f, double R, const PF_InData* in_data);
double GetDistanceFromPtToSegLine(double px, double py, double x1, double y1, double x2,
                                  double y2, const PF_InData* in_data);
double GetAngleFromVector(double a, double b, const PF_InData* in_data);

// The input layer's pixel at (y, x), mirrored, converted to P's depth.
template <class P>
P InputPixel(const PF_EffectWorld* input, bool inputIs16, A_long y, A_long x) {
  if (inputIs16) return ConvertPixel<P>(GetPointerFromData<PF_Pixel16>(input, y, x, 1));
  return ConvertPixel<P>(GetPointerFromData<PF_Pixel>(input, y, x, 1));
}

// GetLensMask along one row, the lookup resolved once for the row: the same values.
class MaskRow {
 public:
  MaskRow(const IO_Params* io, A_long y) {
    if (const LensMask* m = io->mask; m && y >= m->rect.top && y < m->rect.bottom) {
      const A_long w = m->rect.right - m->rect.left;
      mask_ = m->values + size_t(y - m->rect.top) * size_t(w) - m->rect.left;
      left_ = m->rect.left;
      right_ = m->rect.right;
    }
  }
  double operator()(A_long x) const { return x >= left_ && x < right_ ? mask_[x] : 0.0; }

 private:
  const double* mask_ = nullptr;  // indexed by x
  A_long left_ = 0, right_ = 0;
};

// GetLensMask and InputPixel along one row, their lookups resolved once for the row: the
// same values, for the stages that weigh by the mask and blend with the input layer.
template <class P>
class RowInputs {
 public:
  RowInputs(const IO_Params* io, const PF_EffectWorld* input, bool inputIs16, A_long y)
      : mask_(io, y), input_(input), inputIs16_(inputIs16), y_(y) {
    const A_long row = y - input->extent_hint.top;
    if (inputIs16 == PixelTraits<P>::kDeep && row >= 0 && row < input->height) {
      row_ = RowOf<P>(input, row) - input->extent_hint.left;
      rowLeft_ = input->extent_hint.left;
      rowRight_ = input->extent_hint.left + input->width;
    }
  }
  double mask(A_long x) const { return mask_(x); }
  P input(A_long x) const {
    return x >= rowLeft_ && x < rowRight_ ? row_[x] : InputPixel<P>(input_, inputIs16_, y_, x);
  }

 private:
  MaskRow mask_;
  const P* row_ = nullptr;        // indexed by x
  A_long rowLeft_ = 0, rowRight_ = 0;
  const PF_EffectWorld* input_;
  bool inputIs16_;
  A_long y_;
};

// Per-pixel routines that read the mask and the input layer through their row's lookups,
// run over dst in bands of rows like IterateRows.
template <class P>
using InputsPixelFn = void (*)(const void* refcon, const RowInputs<P>& row, A_long x,
                               const P& in, P* out);

template <InputsPixelFn<PF_Pixel> Fn8, InputsPixelFn<PF_Pixel16> Fn16>
PF_Err IterateRowsWithInputs(IO_Params* io, const void* refcon, const PF_EffectWorld* input,
                             bool inputIs16) {
  return ByDepth(io->dst, [&](auto pixel) {
    using P = decltype(pixel);
    return ParallelRows(io, io->dst->height, [&](Span rows, A_long) {
      return ForEachPixel<P>(io->src, io->dst, rows, [&](A_long y) {
        return [row = RowInputs<P>(io, input, inputIs16, y), refcon](A_long x, P* in, P* out) {
          if constexpr (std::is_same_v<P, PF_Pixel>) Fn8(refcon, row, x, *in, out);
          else Fn16(refcon, row, x, *in, out);
          return PF_Err_NONE;
        };
      });
    });
  });
}

// The lens composite: the treated picture over the input layer by the mask.
PF_Err RenderLensEffect(IO_Params* io, const KT_Info* info, PF_EffectWorld* input);

struct LensRefcon {
  PF_EffectWorld* input;  // the unprocessed input layer
  IO_Params* io;
  bool blurMap;
  double strength;
  bool inputIs16;
};

// The lens composite's weight for mask value m: the mask itself, or raised by the blur map.
inline double LensWeight(const LensRefcon* rc, double m) {
  return rc->blurMap ? std::min(1.0, m + rc->strength * m) : m;
}
// Where the weight gives the input layer's pixel itself, the processed one being not needed.
inline bool LensTakesInput(double w) { return w != 1.0 && w <= kNegligible; }

// Blends the processed pixel over the input layer by the weight w:
// out = trunc(O·(1 − w) + P·w + 0.5) per channel, alpha included; LensAt by the mask.
template <class P>
void LensBlend(double w, const RowInputs<P>& row, A_long x, const P& in, P* out) {
  if (w == 1.0) {  // O·0 + P·1 + 0.5, truncated, is P: the input is not needed
    *out = in;
    return;
  }
  const P O = row.input(x);
  if (w <= kNegligible) {
    *out = O;
    return;
  }
  using C = typename PixelTraits<P>::Channel;
  ZipChannels(O, in, out, [w](C o, C p) { return C(double(o) * (1 - w) + double(p) * w + 0.5); });
}
template <class P>
void LensAt(const void* refcon, const RowInputs<P>& row, A_long x, const P& in, P* out) {
  LensBlend(LensWeight(static_cast<const LensRefcon*>(refcon), row.mask(x)), row, x, in, out);
}

// The lens composite's settings for a render; whether it runs at all (with no lens shape,
// or one scaled to nothing, it hands the picture on).
PF_Err MakeLensRefcon(IO_Params* io, const KT_Info* info, PF_EffectWorld* input, LensRefcon* rc);
bool LensCompositeRuns(const KT_Info* info);

// Blends the processed pixel over the input layer by the mask.
PF_Err Lens8(void* refcon, A_long x, A_long y, PF_Pixel* in, PF_Pixel* out);
PF_Err Lens16(void* refcon, A_long x, A_long y, PF_Pixel16* in, PF_Pixel16* out);
