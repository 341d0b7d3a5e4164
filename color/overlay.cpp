#include "overlay.h"

#include "core/bands.h"
#include "core/pixel.h"

namespace {

// out = (K − in)·opacity + in per channel, alpha included, single precision, truncated.
template <class P>
PF_Err ColorEffect(void* refcon, A_long, A_long, P* in, P* out) {
  const ColorRefcon* rc = static_cast<const ColorRefcon*>(refcon);
  using C = typename PixelTraits<P>::Channel;
  const P K = ConvertPixel<P>(rc->color);
  ZipChannels(K, *in, out, [rc](C k, C v) { return C((float(k) - float(v)) * rc->opacity + float(v)); });
  return PF_Err_NONE;
}

}  // namespace

PF_Err ColorEffect8(void* refcon, A_long x, A_long y, PF_Pixel* in, PF_Pixel* out) {
  return ColorEffect<PF_Pixel>(refcon, x, y, in, out);
}
PF_Err ColorEffect16(void* refcon, A_long x, A_long y, PF_Pixel16* in, PF_Pixel16* out) {
  return ColorEffect<PF_Pixel16>(refcon, x, y, in, out);
}

PF_Err ColorEffect32(void* refcon, A_long x, A_long y, PF_PixelFloat* in, PF_PixelFloat* out) {
  return ColorEffect<PF_PixelFloat>(refcon, x, y, in, out);
}

PF_Err RenderColorEffect(IO_Params* io, const KT_Info* info) {
  if (!info->colorVisible || !(info->colorOpacity > 0)) return HandOn(io);
  ColorRefcon rc{info->colorOpacity, info->color};
  return IterateRows<ColorEffect8, ColorEffect16, ColorEffect32>(io, &rc);
}
