// The blend-mode composite of the processed picture with the input layer.
#pragma once

#include "core/stage.h"

struct OpacityRefcon {
  PF_EffectWorld* input;  // the unprocessed input layer, not a copy
  float intensity;        // fraction
  BlendMode mode;
  IO_Params* io;
  bool inputIs16;
};

PF_Err OpacityWithMode8(void* refcon, A_long x, A_long y, PF_Pixel* in, PF_Pixel* out);
PF_Err OpacityWithMode16(void* refcon, A_long x, A_long y, PF_Pixel16* in, PF_Pixel16* out);
PF_Err OpacityWithMode32(void* refcon, A_long x, A_long y, PF_PixelFloat* in, PF_PixelFloat* out);

// The composite stage: the processed picture over the input layer by intensity and mode.
PF_Err RenderEffect(IO_Params* io, const KT_Info* info, PF_EffectWorld* input);
// The composite and then the lens composite, the same pixels in one pass.
PF_Err RenderEffectThenLens(IO_Params* io, const KT_Info* info, PF_EffectWorld* input);
