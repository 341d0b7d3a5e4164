// The colour group: lightness, colour overlay, chromatic aberration.
#pragma once

#include "core/stage.h"

// Reads io->src, leaves the result in io->dst.
PF_Err RenderOtherEffect(IO_Params* io, const KT_Info* info);
