#include "lens_composite.h"

namespace {

template <class P>
PF_Err LensPixel(void* refcon, A_long x, A_long y, P* in, P* out) {
  const LensRefcon* rc = static_cast<const LensRefcon*>(refcon);
  LensAt<P>(refcon, RowInputs<P>(rc->io, rc->input, rc->inputIs16, y), x, *in, out);
  return PF_Err_NONE;
}

}  // namespace

PF_Err Lens8(void* refcon, A_long x, A_long y, PF_Pixel* in, PF_Pixel* out) {
  return LensPixel<PF_Pixel>(refcon, x, y, in, out);
}
PF_Err Lens16(void* refcon, A_long x, A_long y, PF_Pixel16* in, PF_Pixel16* out) {
  return LensPixel<PF_Pixel16>(refcon, x, y, in, out);
}

PF_Err Lens32(void* refcon, A_long x, A_long y, PF_PixelFloat* in, PF_PixelFloat* out) {
  return LensPixel<PF_PixelFloat>(refcon, x, y, in, out);
}

bool LensCompositeRuns(const KT_Info* info) { return info->plan.lensComposite; }

PF_Err MakeLensRefcon(IO_Params* io, const KT_Info* info, PF_EffectWorld* input, LensRefcon* rc) {
  *rc = LensRefcon{input, io, info->plan.lensBlurMap, info->plan.lensStrength, false};
  bool is16 = false;
  if (PF_Err err = InputIs16Bit(io->in_data, input, &is16)) return err;
  rc->inputIs16 = is16;
  return PF_Err_NONE;
}

PF_Err RenderLensEffect(IO_Params* io, const KT_Info* info, PF_EffectWorld* input) {
  if (!LensCompositeRuns(info)) return HandOn(io);
  LensRefcon rc;
  if (PF_Err err = MakeLensRefcon(io, info, input, &rc)) return err;
  return IterateRowsWithInputs<LensAt<PF_Pixel>, LensAt<PF_Pixel16>, LensAt<PF_PixelFloat>>(io, &rc, input, rc.inputIs16);
}
