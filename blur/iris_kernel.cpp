// The realistic blur's iris: the kernel's shape and weights, its row differences and its
// cells for the blur-map form.
#include "iris_blur.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/bands.h"
#include "core/lens_mask.h"
#include "core/pixel.h"
#include "core/vectors.h"
#include "params/numbers.h"

void IrisCells::Add(const Weight_Pt& c, const PF_EffectWorld* src, ptrdiff_t pixel) {
  if (!cells.empty() && (c.y < cells.back().y || (c.y == cells.back().y && c.x <= cells.back().x)))
    ordered = false;
  if (cells.empty() || c.y != cells.back().y) rows.emplace_back(c.y, cells.size());
  cells.push_back(c);
  byteOffsets.push_back(ptrdiff_t(c.y) * src->rowbytes + ptrdiff_t(c.x) * pixel);
  highlightOffsets.push_back(ptrdiff_t(c.y) * src->width + c.x);
  reach = std::max({reach, c.x < 0 ? -c.x : c.x, c.y < 0 ? -c.y : c.y});
}

A_long BlurMapRadius(double m, A_long R) { return A_long(std::pow(m, 1.5) * R + 0.5); }

IrisShape IrisShapeFrom(const KT_Info* info) {
  return IrisShape{int(info->irisSides) + 2, double(info->irisRoundness),
                   double(info->irisAspect), info->irisRotation};
}

IrisKernel BuildIrisGrid(const IrisShape& shape, A_long r) {
  IrisKernel k;
  k.rx = k.ry = r;
  const A_long side = 2 * r + 1;
  k.grid.assign(size_t(side) * size_t(side), 0.0f);
  const double A = 2 * kPi / shape.sides;
  const double a = shape.aspect, rho = shape.roundness;
  const double c = std::cos(-shape.rotation), s = std::sin(-shape.rotation);
  // The flat sides' distance, rounded to single precision as the straight-side formula has it.
  const float flat = float(r * std::cos((A - A * rho) * 0.5));
  for (A_long dy = -r; dy <= r; ++dy) {
    for (A_long dx = -r; dx <= r; ++dx) {
      float& g = k.grid[size_t(dy + r) * side + size_t(dx + r)];
      if (dx == 0 && dy == 0) {
        g = 1.0f;
        continue;
      }
      // An aspect of 0 squeezes the shape to nothing: only the centre weighs.
      if (!(a > 0)) continue;
      const double j = -dx, i = dy;
      const double u = (c * j + s * i) / a;
      const double v = s * j - c * i;
      double d = std::sqrt(u * u + v * v);
      if (float(a) > 1.0f) d *= a;
      double theta;
      if (u == 0) {
        theta = v > 0 ? kPi / 2 : 3 * kPi / 2;
      } else {
        theta = std::atan(v / u);
        if (u < 0) theta += kPi;
        if (theta < 0) theta += 2 * kPi;
      }
      double t = (theta + kPi / 2) / A;
      t -= std::trunc(t);
      double b;
      if (rho * 0.5 > t || t > 1 - rho * 0.5) b = r;  // near a corner: the circle
      else b = float(flat / std::cos((0.5 - t) * A));  // the straight side
      if (d < b + kNegligible) g = 1.0f;
      else if (d < b + kNegligible + 1) g = float(d - b - kNegligible);
    }
  }
  return k;
}

std::vector<RowDifference> RowDifferences(const IrisKernel& k) {
  const A_long r = k.rx;
  std::vector<RowDifference> list;
  for (A_long dy = -r; dy <= r; ++dy) {
    auto G = [&](A_long dx) { return dx < -r || dx > r ? 0.0 : double(k.at(dx, dy)); };
    for (A_long x = -(r + 1); x <= r; ++x) {
      const double w = G(x) - G(x + 1);
      if (w != 0) list.push_back(RowDifference{x, dy, w});
    }
  }
  return list;
}
