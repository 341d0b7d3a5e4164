// The lens mask and the input layer along one row, their lookups resolved once for the row,
// and the stages' rows that read them.
#pragma once

#include "bands.h"
#include "lens_mask.h"

// The input layer's pixel at (y, x), mirrored, converted to P's depth (a float render's
// input is float).
template <class P>
P InputPixel(const PF_EffectWorld* input, bool inputIs16, A_long y, A_long x) {
  if constexpr (kIsFloat<P>) return GetPointerFromData<P>(input, y, x, 1);
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
    if ((kIsFloat<P> || inputIs16 == PixelTraits<P>::kDeep) && row >= 0 && row < input->height) {
      row_ = RowOf<P>(input, row) - input->extent_hint.left;
      rowLeft_ = input->extent_hint.left;
      rowRight_ = input->extent_hint.left + input->width;
    }
  }
  double mask(A_long x) const { return mask_(x); }
  [[gnu::always_inline]] P input(A_long x) const {
    return x >= rowLeft_ && x < rowRight_ ? row_[x] : Beyond(x);
  }

 private:
  [[gnu::noinline]] P Beyond(A_long x) const { return InputPixel<P>(input_, inputIs16_, y_, x); }
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

template <InputsPixelFn<PF_Pixel> Fn8, InputsPixelFn<PF_Pixel16> Fn16,
          InputsPixelFn<PF_PixelFloat> Fn32>
PF_Err IterateRowsWithInputs(IO_Params* io, const void* refcon, const PF_EffectWorld* input,
                             bool inputIs16) {
  return ByDepth(io, io->dst, [&](auto pixel) {
    using P = decltype(pixel);
    return ParallelRows(io, io->dst->height, [&](Span rows, A_long) {
      return ForEachPixel<P>(io->src, io->dst, rows, [&](A_long y) {
        return [row = RowInputs<P>(io, input, inputIs16, y), refcon](A_long x, P* in, P* out) {
          if constexpr (std::is_same_v<P, PF_Pixel>) Fn8(refcon, row, x, *in, out);
          else if constexpr (std::is_same_v<P, PF_Pixel16>) Fn16(refcon, row, x, *in, out);
          else Fn32(refcon, row, x, *in, out);
          return PF_Err_NONE;
        };
      });
    });
  });
}
