// The smart render commands: pre-render asks the host for the whole layer (the blurs, the
// distortion and the chromatic aberration read far from the pixel they write) and says
// which part of the request the effect fills; smart render then renders at the depth of
// the worlds the host hands over, 8, 16 or 32 bits.
#pragma once

#include "AE_Effect.h"

PF_Err SmartPreRender(PF_InData* in_data, PF_OutData* out_data, PF_PreRenderExtra* extra);
PF_Err SmartRender(PF_InData* in_data, PF_OutData* out_data, PF_SmartRenderExtra* extra);

// The layer position of an output world's first pixel, for a frame of frame_w × frame_h:
// a world of the frame's size is the frame; else the world's own origin where it gives
// one; else the corner of the result rectangle the effect said it fills.
PF_Point OutputWorldOrigin(const PF_EffectWorld* output, A_long frame_w, A_long frame_h,
                           const PF_LRect& result);
