#pragma once

#include "AE_Effect.h"

// Greys controls out and folds the lens shape controls after a supervised change.
// Uses only in_data and params.
PF_Err UserChangedParam(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                        PF_LayerDef* output);
