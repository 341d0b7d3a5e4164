#pragma once

#include "core/stage.h"

// The blur treatments in their fixed order. pass 0: every blur that is on, except a
// realistic blur in blur-map mode; pass 1: only the blurs that use the lens as blur map.
// Reads io->src, leaves the result in the io->dst it was given.
PF_Err RenderBlurEffect(IO_Params* io, const KT_Info* info, A_long pass);

// Whether the main pass begins with a blur that reads its source and never writes it (the
// plain float fast blur, from src into a dst of src's size), so that its source may be a
// world the render must not write.
bool MainBlursOnlyReadTheirSource(const KT_Info* info, const PF_EffectWorld* src,
                                  const PF_EffectWorld* dst, bool float32);
