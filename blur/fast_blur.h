// The fast blur: three separable box passes, plain or with the lens mask as blur map.
#pragma once

#include <cstdint>

#include "core/stage.h"

struct FastBlurRefcon {
  IO_Params* io;               // the callbacks read the picture from io->src
  char mirror;                 // always 1: positions outside fold back
  A_long radius;               // of the current direction
  char useLensMap;
  PF_EffectWorld sourceCopy;   // the pass's source as it was before the horizontal pass
  uint64_t iteration;          // unique per iterate call: tells the window caches apart
};

PF_Err RenderFastBlurEffect(IO_Params* io, const KT_Info* info);

// Three box passes at the depth of io->dst; the result in io->dst, io->src used as scratch.
PF_Err FastBlur(IO_Params* io, A_long r, bool useLensMap);
// One horizontal and one vertical pass; the result in io->dst, io->src used as scratch.
PF_Err FastBlurA(IO_Params* io, A_long rh, A_long rv, bool useLensMap);
template <class P>
PF_Err FastBlurH(void* refcon, A_long x, A_long y, P* in, P* out);
template <class P>
PF_Err FastBlurV(void* refcon, A_long x, A_long y, P* in, P* out);

// One plain pass (no blur map) over dst, in bands of whole rows or columns through the
// suite's generic iteration; gives exactly what FastBlurH or FastBlurV gives per pixel.
PF_Err FastBlurBands(const PF_Iterate8Suite1* suite, PF_InData* in_data,
                     const PF_EffectWorld* src, PF_EffectWorld* dst, A_long radius,
                     bool vertical);
