// Pictures between the host's layers and interleaved channel values, as files hold them:
// the one mapping of values that the image reader and writer and the Python binding share.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "minihost/host.h"

namespace vzcli {

// A float's value on the host's 16-bit scale: NaN as 0, clamped to 0–1, rounded (the value
// is exact in double and not negative, so adding 0.5 and truncating rounds it).
inline int HostOfFloat(float v) {
  const float c = std::clamp(std::isnan(v) ? 0.0f : v, 0.0f, 1.0f);
  return int(double(c) * 32768.0 + 0.5);
}

// Every 16-bit value on the host's scale: (v·32768 + 32767) / 65535.
inline const std::array<uint16_t, 65536>& HostOf16() {
  static const auto table = [] {
    std::array<uint16_t, 65536> t{};
    for (uint32_t v = 0; v < 65536; ++v) t[v] = uint16_t((v * 32768u + 32767u) / 65535u);
    return t;
  }();
  return table;
}

// The value at `depth` bits (8 or 16) of every value of a layer: 16-bit host values as
// min(65535, (v·65535 + 16384) / 32768) or min(255, (v·255 + 16384) / 32768); 8-bit ones
// widened to the host's 16 bits first where 16 bits are asked for.
inline std::vector<uint16_t> FileValues(bool deep_layer, int depth) {
  std::vector<uint16_t> table(deep_layer ? 65536 : 256);
  for (size_t i = 0; i < table.size(); ++i) {
    const int64_t v = int64_t(i), v16 = deep_layer ? v : (v * 32768 + 127) / 255;
    table[i] = uint16_t(depth == 16  ? std::min<int64_t>(65535, (v16 * 65535 + 16384) / 32768)
                        : deep_layer ? std::min<int64_t>(255, (v * 255 + 16384) / 32768)
                                     : v);
  }
  return table;
}

struct Interleaved {
  int width, height, channels, alpha;  // alpha: its channel, or -1
};

// Interleaved channels into a layer's ARGB pixels, each value through `host` (whole
// numbers, or floats for a float layer): RGB gets full alpha, grey gets R = G = B.
template <class P, class T, class Fn>
void Fill(minihost::World& world, const Interleaved& from, const T* values, Fn host) {
  using V = decltype(host(values[0]));
  const V full = std::is_same_v<P, PF_Pixel> ? V(255) : std::is_same_v<P, PF_PixelFloat> ? V(1) : V(32768);
  const int nc = from.channels;
  for (int y = 0; y < from.height; ++y) {
    P* out = &world.at<P>(0, y);
    const T* row = values + size_t(y) * size_t(from.width) * size_t(nc);
    for (int x = 0; x < from.width; ++x, row += nc) {
      const V r = host(row[0]);
      const V g = nc < 3 ? r : host(row[1]);
      const V b = nc < 3 ? r : host(row[2]);
      const V a = from.alpha >= 0 ? host(row[from.alpha]) : full;
      using C = decltype(out->red);
      out[x] = P{C(a), C(r), C(g), C(b)};
    }
  }
}

// A layer's ARGB pixels as interleaved RGB or RGBA (`nc` 3 or 4), each value through
// `table` (FileValues).
template <class P, class T>
void Interleave(const minihost::World& world, int nc, const std::vector<uint16_t>& table, T* values) {
  for (int y = 0; y < world.height(); ++y) {
    const P* in = &world.at<P>(0, y);
    T* row = values + size_t(y) * size_t(world.width()) * size_t(nc);
    for (int x = 0; x < world.width(); ++x, row += nc) {
      row[0] = T(table[in[x].red]);
      row[1] = T(table[in[x].green]);
      row[2] = T(table[in[x].blue]);
      if (nc == 4) row[3] = T(table[in[x].alpha]);
    }
  }
}

}  // namespace vzcli
