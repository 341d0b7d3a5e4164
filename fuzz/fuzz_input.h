// What the fuzz targets make from their input bytes: pictures and control values.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>

#include "minihost/host.h"

namespace vzfuzz {

// A picture of 1×1 up to 96×64 at the given depth, with extra row padding and content that
// is random, flat, a ramp or an alpha edge.
inline minihost::World Picture(FuzzedDataProvider& in, bool deep) {
  const int w = in.ConsumeIntegralInRange(1, 96), h = in.ConsumeIntegralInRange(1, 64);
  minihost::World world(w, h, deep, 8 * in.ConsumeIntegralInRange(0, 4));
  const int max = deep ? 32768 : 255;
  const int kind = in.ConsumeIntegralInRange(0, 3);
  const int seed = in.ConsumeIntegral<uint16_t>();
  uint32_t state = uint32_t(seed) * 2654435761u + 1;
  auto next = [&] {
    state = state * 1664525u + 1013904223u;
    return int((state >> 8) % uint32_t(max + 1));
  };
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      switch (kind) {
        case 0: world.Set(x, y, next(), next(), next(), next()); break;
        case 1: world.Set(x, y, max, seed % (max + 1), max / 2, 0); break;
        case 2: world.Set(x, y, max, x * max / w, y * max / h, (x + y) * max / (w + h)); break;
        default: world.Set(x, y, x < w / 2 ? 0 : max, max, max, max); break;
      }
    }
  }
  return world;
}

// Every control gets a value within its declared range, the range's ends included.
inline void Controls(FuzzedDataProvider& in, minihost::Host& host) {
  for (size_t i = 1; i < host.params().size(); ++i) {
    PF_ParamDef& d = host.params()[i];
    switch (d.param_type) {
      case PF_Param_FLOAT_SLIDER: {
        PF_FloatSliderDef& fs = d.u.fs_d;
        switch (in.ConsumeIntegralInRange(0, 15)) {
          case 0: fs.value = fs.valid_min; break;
          case 1: fs.value = fs.valid_max; break;
          case 2: fs.value = fs.dephault; break;
          default: {
            // Mostly within the slider's range: the valid ends of some blurs are very slow.
            const double t = in.ConsumeProbability<double>();
            fs.value = fs.slider_min + (fs.slider_max - fs.slider_min) * t;
          }
        }
        break;
      }
      case PF_Param_POPUP:
        d.u.pd.value = in.ConsumeIntegralInRange<A_long>(1, d.u.pd.num_choices);
        break;
      case PF_Param_CHECKBOX: d.u.bd.value = in.ConsumeBool() ? 1 : 0; break;
      case PF_Param_ANGLE: d.u.ad.value = in.ConsumeIntegralInRange<A_long>(-720 * 65536, 720 * 65536); break;
      case PF_Param_POINT:
        host.SetPoint(int(i), in.ConsumeIntegralInRange(-200, 300), in.ConsumeIntegralInRange(-200, 300),
                      true);
        break;
      case PF_Param_COLOR:
        d.u.cd.value = PF_Pixel{in.ConsumeIntegral<A_u_char>(), in.ConsumeIntegral<A_u_char>(),
                                in.ConsumeIntegral<A_u_char>(), in.ConsumeIntegral<A_u_char>()};
        break;
      default: break;
    }
  }
}

}  // namespace vzfuzz
