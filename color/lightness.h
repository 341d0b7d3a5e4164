#pragma once

#include "core/stage.h"

struct LightnessRefcon {
  double factor;  // exponent of the power curve, 10^-amount: 0.1 … 10
  IO_Params* io;  // for the host's pow
  // The curve for every channel value of the destination's depth, filled with the host's
  // pow before the iteration: the same calls a pixel would make, made once per value.
  const A_u_short* curve;
};

// Applies the power curve to every channel, alpha included.
PF_Err RenderLightnessEffect(IO_Params* io, const KT_Info* info);
PF_Err Lightness8(void* refcon, A_long x, A_long y, PF_Pixel* in, PF_Pixel* out);
PF_Err Lightness16(void* refcon, A_long x, A_long y, PF_Pixel16* in, PF_Pixel16* out);
PF_Err Lightness32(void* refcon, A_long x, A_long y, PF_PixelFloat* in, PF_PixelFloat* out);

// One channel through the curve: trunc(pow(c / max, factor) · max), the 8-bit form dividing
// by 255.0, the 16-bit one scaling by 2^-15.
A_u_short LightnessCurve8(const LightnessRefcon* rc, A_u_char c);
A_u_short LightnessCurve16(const LightnessRefcon* rc, A_u_short c);
// Float: pow(c, factor) in double, kept (no limit); below 0 the curve mirrors,
// −pow(−c, factor), so light below black keeps its sign instead of becoming not a number.
PF_FpShort LightnessCurve32(const LightnessRefcon* rc, PF_FpShort c);
