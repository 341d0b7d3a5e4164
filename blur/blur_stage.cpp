#include "blur_stage.h"

#include "directional_blur.h"
#include "fast_blur.h"
#include "fast_blur_lines.h"
#include "iris_blur.h"
#include "optical_distortion.h"
#include "trail.h"

// The main pass runs every blur in order; the blur-map pass only the blurs that read the
// lens as their map. Blurs that do not run hand the picture on.
PF_Err RenderBlurEffect(IO_Params* io, const KT_Info* info, A_long pass) {
  const KT_Plan& plan = info->plan;
  // A realistic blur runs in exactly one pass: the main one, or the blur-map one.
  const bool irisHere = plan.irisRuns && plan.irisInMapPass == (pass == 1);
  const bool fastHere = pass == 0 ? plan.fastBlurRuns : plan.fastBlurInMapPass;

  auto iris = [&] { return irisHere ? RenderReleasticBlurEffect(io, info) : HandOn(io); };
  auto fast = [&] { return fastHere ? RenderFastBlurEffect(io, info) : HandOn(io); };
  if (pass == 1) return Chain(io, iris, fast);
  return Chain(io, iris, fast, [&] { return RenderOpticalDistortionEffect(io, info); },
               [&] { return RenderTrailEffect(io, info); },
               [&] { return RenderDirectionalBlurEffect(io, info); });
}

bool MainBlursOnlyReadTheirSource(const KT_Info* info, const PF_EffectWorld* src,
                                  const PF_EffectWorld* dst, bool float32) {
  const KT_Plan& plan = info->plan;
  const bool irisFirst = plan.irisRuns && !plan.irisInMapPass;
  return float32 && !irisFirst && plan.fastBlurRuns && !plan.fastBlurUsesMap &&
         fast_blur::FloatPassesAtOnce(src, dst, plan.fastBlurRadius);
}
