#pragma once

#include "core/stage.h"

struct ChromaticRefcon {
  float kR, kG, kB;  // per-channel sampling factors, 0.5 … 1
  A_long cx, cy;     // centre: the lens position
  IO_Params* io;
};

// Scales red, green and blue apart about the lens centre inside the lens.
PF_Err RenderChromaticAberrationEffect(IO_Params* io, const KT_Info* info);
bool ChromaticAberrationActive(const KT_Info* info);

template <class P, class C>
PF_Err ChromaticAberration(void* refcon, A_long x, A_long y, P* in, P* out);
