#include "blur_stage.h"

#include "directional_blur.h"
#include "fast_blur.h"
#include "iris_blur.h"
#include "optical_distortion.h"
#include "trail.h"

// The picture bounces between the two images: A → B → A → B → A → B in the main pass, and
// the result always lies in the B the caller named as destination.
PF_Err RenderBlurEffect(IO_Params* io, const KT_Info* info, A_long pass) {
  PF_EffectWorld* A = io->src;
  PF_EffectWorld* B = io->dst;
  auto route = [io](PF_EffectWorld* from, PF_EffectWorld* to) {
    io->src = from;
    io->dst = to;
  };
  const bool irisOn = info->irisBlurVisible && info->irisBlurAmount > 0;
  const bool fastOn = info->fastBlurVisible && info->fastBlurAmount > 0;
  // A realistic blur runs in exactly one pass: the main one, or the blur-map one.
  const bool irisHere = irisOn && info->irisBlurLensMap == (pass == 1);
  const bool fastHere = fastOn && (pass == 0 || info->fastBlurLensMap);

  PF_Err err;
  route(A, B);
  if (irisHere) {
    if ((err = RenderReleasticBlurEffect(io, info))) return err;
  } else {
    err = CopyWorld(io, A, B);  // a failure is reported at the next step
  }
  if (fastHere) {
    route(B, A);
    if (err) return err;
    if ((err = RenderFastBlurEffect(io, info))) return err;
    if (pass == 1) return CopyWorld(io, A, B);
  } else {
    if (err) return err;
    if ((err = CopyWorld(io, B, A))) return err;
    if (pass == 1) return err;
  }
  route(A, B);
  if ((err = RenderOpticalDistortionEffect(io, info))) return err;
  route(B, A);
  if ((err = RenderTrailEffect(io, info))) return err;
  route(A, B);
  return RenderDirectionalBlurEffect(io, info);
}
