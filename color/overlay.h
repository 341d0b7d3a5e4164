// The colour overlay: the picture toward one colour by an opacity.
#pragma once

#include "core/stage.h"

struct ColorRefcon {
  float opacity;   // fraction
  PF_Pixel color;  // 8-bit; widened for 16-bit and float pictures
};

PF_Err ColorEffect8(void* refcon, A_long x, A_long y, PF_Pixel* in, PF_Pixel* out);
PF_Err ColorEffect16(void* refcon, A_long x, A_long y, PF_Pixel16* in, PF_Pixel16* out);
PF_Err ColorEffect32(void* refcon, A_long x, A_long y, PF_PixelFloat* in, PF_PixelFloat* out);

// io->src toward the colour into io->dst; off (or at opacity 0) it hands the picture on.
PF_Err RenderColorEffect(IO_Params* io, const KT_Info* info);
