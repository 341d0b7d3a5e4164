#include "lightness.h"

#include "render/pixel.h"

namespace {

// out = trunc(pow(c / max, factor) · max); 8-bit divides by 255.0, 16-bit scales by 2^-15.
template <class P>
PF_Err Lightness(void* refcon, A_long, A_long, P* in, P* out) {
  const LightnessRefcon* rc = static_cast<const LightnessRefcon*>(refcon);
  auto pow = rc->io->in_data->utils->ansi.pow;
  using C = typename PixelTraits<P>::Channel;
  auto curve = [&](C c) {
    if constexpr (PixelTraits<P>::kDeep)
      return C(pow(c * (1.0 / 32768.0), rc->factor) * 32768.0);
    else
      return C(pow(c / 255.0, rc->factor) * 255.0);
  };
  out->alpha = curve(in->alpha);
  out->red = curve(in->red);
  out->green = curve(in->green);
  out->blue = curve(in->blue);
  return PF_Err_NONE;
}

}  // namespace

PF_Err Lightness8(void* refcon, A_long x, A_long y, PF_Pixel* in, PF_Pixel* out) {
  return Lightness<PF_Pixel>(refcon, x, y, in, out);
}
PF_Err Lightness16(void* refcon, A_long x, A_long y, PF_Pixel16* in, PF_Pixel16* out) {
  return Lightness<PF_Pixel16>(refcon, x, y, in, out);
}

PF_Err RenderLightnessEffect(IO_Params* io, const KT_Info* info) {
  LightnessRefcon rc{io->in_data->utils->ansi.pow(10.0, double(-info->lightnessAmount)), io};
  if (!info->lightnessVisible) return CopySrcToDst(io);
  return IterateStage(io, &rc, Lightness8, Lightness16);
}
