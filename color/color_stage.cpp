#include "color_stage.h"

#include "chromatic.h"
#include "lightness.h"
#include "overlay.h"

// The colour group in its fixed order; a treatment that is off hands the picture on.
PF_Err RenderOtherEffect(IO_Params* io, const KT_Info* info) {
  return Chain(io, [&] { return RenderLightnessEffect(io, info); },
               [&] { return RenderColorEffect(io, info); },
               [&] { return RenderChromaticAberrationEffect(io, info); });
}
