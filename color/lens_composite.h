// The lens composite: the treated picture over the input layer by the lens mask, raised by a
// blur's strength where the blur does not use the lens as its map.
#pragma once

#include "core/mask_rows.h"
#include "params/numbers.h"

// The lens composite: the treated picture over the input layer by the mask.
PF_Err RenderLensEffect(IO_Params* io, const KT_Info* info, PF_EffectWorld* input);

struct LensRefcon {
  PF_EffectWorld* input;  // the unprocessed input layer
  IO_Params* io;
  bool blurMap;
  double strength;
  bool inputIs16;
};

// The lens composite's weight for mask value m: the mask itself, or raised by the blur map.
inline double LensWeight(const LensRefcon* rc, double m) {
  return rc->blurMap ? std::min(1.0, m + rc->strength * m) : m;
}
// Where the weight gives the input layer's pixel itself, the processed one being not needed.
inline bool LensTakesInput(double w) { return w != 1.0 && w <= kNegligible; }

// Blends the processed pixel over the input layer by the weight w:
// out = trunc(O·(1 − w) + P·w + 0.5) per channel, alpha included; LensAt by the mask.
template <class P>
void LensBlend(double w, const RowInputs<P>& row, A_long x, const P& in, P* out) {
  if (w == 1.0 && !HasNegativeZero(in)) {  // O·0 + P·1 + 0.5, truncated, is P: the input is not needed
    *out = in;
    return;
  }
  const P O = row.input(x);
  if (w <= kNegligible) {
    *out = O;
    return;
  }
  using C = typename PixelTraits<P>::Channel;
  constexpr double half = kIsFloat<P> ? 0.0 : 0.5;  // float keeps the value
  ZipChannels(O, in, out, [w](C o, C p) { return C(double(o) * (1 - w) + double(p) * w + half); });
}
template <class P>
void LensAt(const void* refcon, const RowInputs<P>& row, A_long x, const P& in, P* out) {
  LensBlend(LensWeight(static_cast<const LensRefcon*>(refcon), row.mask(x)), row, x, in, out);
}

// The lens composite's settings for a render; whether it runs at all (with no lens shape,
// or one scaled to nothing, it hands the picture on).
PF_Err MakeLensRefcon(IO_Params* io, const KT_Info* info, PF_EffectWorld* input, LensRefcon* rc);
bool LensCompositeRuns(const KT_Info* info);

// Blends the processed pixel over the input layer by the mask.
PF_Err Lens8(void* refcon, A_long x, A_long y, PF_Pixel* in, PF_Pixel* out);
PF_Err Lens16(void* refcon, A_long x, A_long y, PF_Pixel16* in, PF_Pixel16* out);
PF_Err Lens32(void* refcon, A_long x, A_long y, PF_PixelFloat* in, PF_PixelFloat* out);
