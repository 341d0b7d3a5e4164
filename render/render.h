// The render command: custom layer, settings, lens-mask cache, the stage chain between two
// intermediate images, and the output copy.
#pragma once

#include "core/stage.h"

PF_Err Render(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
              PF_LayerDef* output);
// The stages from input into output (the same size); float32: the worlds hold PF_PixelFloat,
// the input's all finite (the caller reads not a number as 0).
PF_Err RenderPipeline(PF_InData* in_data, PF_OutData* out_data, KT_Info* info,
                      PF_EffectWorld* input, PF_EffectWorld* output, bool float32 = false);
