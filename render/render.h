// The render command: custom layer, settings, lens-mask cache, the stage chain between two
// intermediate images, and the output copy.
#pragma once

#include "stage.h"

PF_Err Render(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
              PF_LayerDef* output);
PF_Err RenderPipeline(PF_InData* in_data, PF_OutData* out_data, KT_Info* info,
                      PF_EffectWorld* input, PF_EffectWorld* output);

// Stage drivers without a file of their own.
PF_Err RenderOtherEffect(IO_Params* io, const KT_Info* info);
PF_Err RenderEffect(IO_Params* io, const KT_Info* info, PF_EffectWorld* input);
PF_Err RenderLensEffect(IO_Params* io, const KT_Info* info, PF_EffectWorld* input);

// Whether the chain ends with the blur stage's blur-map pass.
bool BlurMapPassNeeded(const KT_Info* info);
