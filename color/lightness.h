#pragma once

#include "render/stage.h"

struct LightnessRefcon {
  double factor;  // exponent of the power curve, 10^-amount: 0.1 … 10
  IO_Params* io;  // for the host's pow
};

// Applies the power curve to every channel, alpha included.
PF_Err RenderLightnessEffect(IO_Params* io, const KT_Info* info);
PF_Err Lightness8(void* refcon, A_long x, A_long y, PF_Pixel* in, PF_Pixel* out);
PF_Err Lightness16(void* refcon, A_long x, A_long y, PF_Pixel16* in, PF_Pixel16* out);
