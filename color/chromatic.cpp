#include "chromatic.h"

#include "core/bands.h"
#include "core/mask_rows.h"
#include "core/pixel.h"
#include "params/numbers.h"

bool ChromaticAberrationActive(const KT_Info* info) {
  return info->chromaVisible &&
         (info->chromaBlueYellow > 0 || info->chromaGreenMagenta > 0 || info->chromaRedCyan > 0);
}

// Each colour takes the source pixel at the fraction k of the way from the centre, the
// offset truncated toward zero; alpha stays.
template <class P, class C>
PF_Err ChromaticAberration(void* refcon, A_long x, A_long y, P* in, P* out) {
  const ChromaticRefcon* rc = static_cast<const ChromaticRefcon*>(refcon);
  *out = *in;
  if (!(GetLensMask(x, y, rc->io) > kNegligible)) return PF_Err_NONE;
  auto sample = [&](float k) {
    const A_long sx = A_long(float(x - rc->cx) * k) + rc->cx;
    const A_long sy = A_long(float(y - rc->cy) * k) + rc->cy;
    return GetPointerFromData<P, C>(rc->io->src, sy, sx, 1);
  };
  out->red = sample(rc->kR).red;
  out->green = sample(rc->kG).green;
  out->blue = sample(rc->kB).blue;
  return PF_Err_NONE;
}
template PF_Err ChromaticAberration<PF_Pixel, A_u_char>(void*, A_long, A_long, PF_Pixel*,
                                                        PF_Pixel*);
template PF_Err ChromaticAberration<PF_Pixel16, A_u_short>(void*, A_long, A_long, PF_Pixel16*,
                                                           PF_Pixel16*);
template PF_Err ChromaticAberration<PF_PixelFloat, PF_FpShort>(void*, A_long, A_long, PF_PixelFloat*,
                                                               PF_PixelFloat*);

namespace {

// The rows of ChromaticAberration: a colour's source row is the same along a row, folded
// once; only its column is computed (and folded where it falls outside) per pixel.
template <class P>
PF_Err ChromaticRows(const ChromaticRefcon* rc, Span rows) {
  const PF_EffectWorld* src = rc->io->src;
  return ForEachPixel<P>(src, rc->io->dst, rows, [rc, src](A_long y) {
    struct Colour {
      const P* row;
      float k;
    };
    auto colour = [&](float k) {
      A_long row = A_long(float(y - rc->cy) * k) + rc->cy - src->extent_hint.top;
      FoldInto(row, src->height);
      return Colour{RowOf<P>(src, row), k};
    };
    const Colour r = colour(rc->kR), g = colour(rc->kG), b = colour(rc->kB);
    return [mask = MaskRow(rc->io, y), r, g, b, rc, src](A_long x, P* in, P* out) {
      *out = *in;
      if (!(mask(x) > kNegligible)) return PF_Err_NONE;
      auto sample = [&](const Colour& c) -> const P& {
        A_long col = A_long(float(x - rc->cx) * c.k) + rc->cx - src->extent_hint.left;
        FoldInto(col, src->width);
        return c.row[col];
      };
      out->red = sample(r).red;
      out->green = sample(g).green;
      out->blue = sample(b).blue;
      return PF_Err_NONE;
    };
  });
}

}  // namespace

PF_Err RenderChromaticAberrationEffect(IO_Params* io, const KT_Info* info) {
  if (!ChromaticAberrationActive(info)) return HandOn(io);
  ChromaticRefcon rc{1.0f - 0.5f * info->chromaRedCyan, 1.0f - 0.5f * info->chromaGreenMagenta,
                     1.0f - 0.5f * info->chromaBlueYellow, info->posX, info->posY, io};
  return ByDepth(io, io->dst, [&](auto pixel) {
    return ParallelRows(io, io->dst->height,
                        [&rc](Span rows, A_long) { return ChromaticRows<decltype(pixel)>(&rc, rows); });
  });
}
