#include "iris_blur.h"

// Placeholder until the iris blur lands: the picture passes through unchanged.
PF_Err RenderReleasticBlurEffect(IO_Params* io, const KT_Info* /*info*/) {
  return CopySrcToDst(io);
}
