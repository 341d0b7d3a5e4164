#include "testcard.h"

#include <algorithm>
#include <cmath>

namespace minihost {

namespace {

// Whether (x, y) is one of the highlights of the dark field: discs of a few pixels.
bool Highlight(int x, int y, int width) {
  const int cell = std::max(8, width / 24);
  const double dx = x % cell - cell / 2, dy = y % cell - cell / 2;
  const double radius = std::max(0.5, cell * 0.12);
  return dx * dx + dy * dy <= radius * radius;
}

}  // namespace

World TestCard(int width, int height, bool deep) {
  World world(width, height, deep);
  const int full = deep ? 32768 : 255;
  static const int kBars[8][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0},
                                  {1, 0, 1}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0}};
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double fx = (x + 0.5) / width, fy = (y + 0.5) / height;
      int a = full, r, g, b;
      if (fy < 0.5) {  // colour bars at 75 %
        const int* bar = kBars[std::min(7, int(fx * 8))];
        r = bar[0] * full * 3 / 4; g = bar[1] * full * 3 / 4; b = bar[2] * full * 3 / 4;
      } else if (fy < 0.65) {  // grey ramp
        r = g = b = int(fx * full);
      } else if (fy < 0.9) {  // dark field with small bright highlights and a hue ramp
        // The highlights are what a lens turns into bokeh: discs of a few pixels, white,
        // warm and cool.
        const int cell = std::max(8, width / 24);
        const bool dot = Highlight(x, y, width);
        static const double kTints[3][3] = {{1, 1, 1}, {1, 0.8, 0.5}, {0.6, 0.8, 1}};
        const double* tint = kTints[(x / cell + 2 * (y / cell)) % 3];
        r = dot ? int(full * tint[0]) : int(full * 0.1 * (1 + std::sin(fx * 6.2832)));
        g = dot ? int(full * tint[1]) : int(full * 0.1 * (1 + std::sin(fx * 6.2832 + 2.094)));
        b = dot ? int(full * tint[2]) : int(full * 0.1 * (1 + std::sin(fx * 6.2832 + 4.189)));
      } else {  // checker with an alpha ramp
        const int cell = std::max(4, width / 32);
        const int v = ((x / cell + y / cell) % 2) ? full : full / 4;
        r = g = b = v;
        a = int(fx * full);
      }
      world.Set(x, y, a, r, g, b);
    }
  }
  return world;
}

World TestCardFloat(int width, int height) {
  const World card = TestCard(width, height, true);
  World world = World::Float(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const PF_Pixel16& p = card.at<PF_Pixel16>(x, y);
      const double fy = (y + 0.5) / height;
      const float gain = fy >= 0.65 && fy < 0.9 && Highlight(x, y, width) ? 8.0f : 1.0f;
      world.at<PF_PixelFloat>(x, y) = PF_PixelFloat{p.alpha / 32768.0f, p.red / 32768.0f * gain,
                                                     p.green / 32768.0f * gain, p.blue / 32768.0f * gain};
    }
  return world;
}

}  // namespace minihost
