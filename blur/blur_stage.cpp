#include "blur_stage.h"

#include "directional_blur.h"
#include "fast_blur.h"
#include "iris_blur.h"
#include "optical_distortion.h"
#include "trail.h"

// The main pass runs every blur in order; the blur-map pass only the blurs that read the
// lens as their map. Blurs that do not run hand the picture on.
PF_Err RenderBlurEffect(IO_Params* io, const KT_Info* info, A_long pass) {
  const bool irisOn = info->irisBlurVisible && info->irisBlurAmount > 0;
  const bool fastOn = info->fastBlurVisible && info->fastBlurAmount > 0;
  // A realistic blur runs in exactly one pass: the main one, or the blur-map one.
  const bool irisHere = irisOn && info->irisBlurLensMap == (pass == 1);
  const bool fastHere = fastOn && (pass == 0 || info->fastBlurLensMap);

  auto iris = [&] { return irisHere ? RenderReleasticBlurEffect(io, info) : HandOn(io); };
  auto fast = [&] { return fastHere ? RenderFastBlurEffect(io, info) : HandOn(io); };
  if (pass == 1) return Chain(io, iris, fast);
  return Chain(io, iris, fast, [&] { return RenderOpticalDistortionEffect(io, info); },
               [&] { return RenderTrailEffect(io, info); },
               [&] { return RenderDirectionalBlurEffect(io, info); });
}
