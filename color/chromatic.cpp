#include "chromatic.h"

#include "core/bands.h"
#include "core/lens_mask.h"
#include "core/pixel.h"

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
  if (!(GetLensMask(x, y, rc->io) > 0.0001)) return PF_Err_NONE;
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

PF_Err RenderChromaticAberrationEffect(IO_Params* io, const KT_Info* info) {
  if (!ChromaticAberrationActive(info)) return HandOn(io);
  ChromaticRefcon rc{1.0f - 0.5f * info->chromaRedCyan, 1.0f - 0.5f * info->chromaGreenMagenta,
                     1.0f - 0.5f * info->chromaBlueYellow, info->posX, info->posY, io};
  return IterateRows<ChromaticAberration<PF_Pixel, A_u_char>,
                     ChromaticAberration<PF_Pixel16, A_u_short>>(io, &rc);
}
