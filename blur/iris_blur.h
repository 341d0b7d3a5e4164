// The realistic blur: a polygonal-iris kernel whose samples are weighted by brightness.
#pragma once

#include "render/stage.h"

PF_Err RenderReleasticBlurEffect(IO_Params* io, const KT_Info* info);
