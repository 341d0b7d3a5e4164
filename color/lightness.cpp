#include "lightness.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/bands.h"
#include "core/pixel.h"

A_u_short LightnessCurve8(const LightnessRefcon* rc, A_u_char c) {
  return A_u_char(rc->io->in_data->utils->ansi.pow(c / double(kWhite8), rc->factor) * double(kWhite8));
}
A_u_short LightnessCurve16(const LightnessRefcon* rc, A_u_short c) {
  // Above white the curve can pass the channel's top (2^10 at factor 10): it stops there.
  const double v = rc->io->in_data->utils->ansi.pow(c * (1.0 / double(kWhite16)), rc->factor) * double(kWhite16);
  return A_u_short(std::min(v, double(std::numeric_limits<A_u_short>::max())));
}

PF_FpShort LightnessCurve32(const LightnessRefcon* rc, PF_FpShort c) {
  // pow(+1, y) is 1 for every y, and pow(+0, y) is +0 for every y > 0 (an opaque alpha, a
  // black channel): the answer is known without asking.
  if (c == 1.0f) return c;
  if (c == 0.0f && !std::signbit(c) && rc->factor > 0) return c;
  const auto pow = rc->io->in_data->utils->ansi.pow;
  return c < 0 ? PF_FpShort(-pow(-double(c), rc->factor)) : PF_FpShort(pow(double(c), rc->factor));
}

namespace {

template <class P>
PF_Err Lightness(void* refcon, A_long, A_long, P* in, P* out) {
  const LightnessRefcon* rc = static_cast<const LightnessRefcon*>(refcon);
  using C = typename PixelTraits<P>::Channel;
  auto curve = [rc](C c) -> C {
    if constexpr (kIsFloat<P>) {
      return LightnessCurve32(rc, c);
    } else {
      // 16-bit channels above 32768 lie outside the table; the curve is computed for them.
      if (rc->curve && c <= PixelTraits<P>::kMax) return C(rc->curve[c]);
      if constexpr (PixelTraits<P>::kDeep) return LightnessCurve16(rc, c);
      else return C(LightnessCurve8(rc, c));
    }
  };
  ZipChannels(*in, *in, out, [&](C c, C) { return curve(c); });
  return PF_Err_NONE;
}

// Whether the curve maps every channel value to itself (amount 0 does, where pow(x, 1) is
// x): the stage then changes no pixel and hands its source on. At 16 bits the values above
// white, which pixels compute one by one, are asked too, only once the table passed.
bool GivesEveryValueBack(const LightnessRefcon& rc, const std::vector<A_u_short>& curve, bool deep) {
  for (size_t c = 0; c < curve.size(); ++c)
    if (curve[c] != c) return false;
  if (deep)
    for (A_long c = kWhite16 + 1; c <= std::numeric_limits<A_u_short>::max(); ++c)
      if (LightnessCurve16(&rc, A_u_short(c)) != c) return false;
  return true;
}

}  // namespace

PF_Err Lightness8(void* refcon, A_long x, A_long y, PF_Pixel* in, PF_Pixel* out) {
  return Lightness<PF_Pixel>(refcon, x, y, in, out);
}
PF_Err Lightness16(void* refcon, A_long x, A_long y, PF_Pixel16* in, PF_Pixel16* out) {
  return Lightness<PF_Pixel16>(refcon, x, y, in, out);
}

PF_Err Lightness32(void* refcon, A_long x, A_long y, PF_PixelFloat* in, PF_PixelFloat* out) {
  return Lightness<PF_PixelFloat>(refcon, x, y, in, out);
}

PF_Err RenderLightnessEffect(IO_Params* io, const KT_Info* info) {
  if (!info->lightnessVisible) return HandOn(io);
  LightnessRefcon rc{io->in_data->utils->ansi.pow(10.0, double(-info->lightnessAmount)), io,
                     nullptr};
  // pow(c, 1) is c for every float: factor 1 changes nothing.
  if (io->float32) return rc.factor == 1.0 ? HandOn(io) : IterateRows<Lightness8, Lightness16, Lightness32>(io, &rc);
  const bool deep = IsDeep(io->dst);
  std::vector<A_u_short> curve(deep ? 32769 : 256);
  for (size_t c = 0; c < curve.size(); ++c)
    curve[c] = deep ? LightnessCurve16(&rc, A_u_short(c)) : LightnessCurve8(&rc, A_u_char(c));
  rc.curve = curve.data();
  if (GivesEveryValueBack(rc, curve, deep)) return HandOn(io);
  return IterateRows<Lightness8, Lightness16, Lightness32>(io, &rc);
}
