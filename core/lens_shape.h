// The lens's shape: the mask value of a pixel for each lens type, from the lens's geometry
// (computed once per render) and the distances that make its falloff.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "lens_mask.h"
#include "params/numbers.h"
#include "pixel.h"

double GetDistanceKWithRectMode(double u, double v, double f, double hv, double hu,
                                const PF_InData* in_data);
double GetDistanceKWithTriangleMode(double u, double w, double f, double R,
                                    const PF_InData* in_data);
// The same K as GetDistanceKWithTriangleMode, without its trigonometry where the point lies
// clearly inside one side's angle and clearly off that side's line.
double TriangleLensK(double u, double w, double f, double R, const PF_InData* in_data);
double GetDistanceFromPtToSegLine(double px, double py, double x1, double y1, double x2,
                                  double y2, const PF_InData* in_data);
double GetAngleFromVector(double a, double b, const PF_InData* in_data);

namespace lens {

// 1.5 / (scaleW · Rref) in double, plus the feather in single precision.
inline double FeatherFraction(const KT_Info* info, double rref) {
  return double(float(1.5 / (double(info->scaleW) * rref)) + info->feather);
}

// What the per-pixel value needs, computed once per render.
struct LensGeometry {
  const KT_Info* info;
  const IO_Params* io;
  double cosR, sinR;
  double W, H;         // output world size
  double featherW;     // the feather fraction against kLensRadius · W (circle, triangle,
  double featherH;     // tall rectangle) and against kLensRadius · H (wide rectangle)
};

inline LensGeometry MakeGeometry(const KT_Info* info, const IO_Params* io) {
  const double W = io->dst->width, H = io->dst->height;
  return LensGeometry{info, io, std::cos(info->rotation), std::sin(info->rotation), W, H,
                      FeatherFraction(info, kLensRadius * W), FeatherFraction(info, kLensRadius * H)};
}

// (1 + cos πK) / 2; inside the lens (K = 0) and beyond it (K = 1) without calling cos, whose
// values there are exactly 1 and −1.
inline double Falloff(double K) {
  if (K == 0.0) return 1.0;
  if (K == 1.0) return 0.0;
  return (1 + std::cos(kPi * K)) / 2;
}

inline double CustomMapValue(const LensGeometry& g, A_long x, A_long y) {
  const KT_Info* info = g.info;
  const PF_EffectWorld* custom = info->customLayer;
  if (!custom || !custom->data) return 0.0;
  const double a = info->scaleW > kNegligibleF ? (x - info->posX) / double(info->scaleW) : 0.0;
  const double b = info->scaleH > kNegligibleF ? (info->posY - y) / double(info->scaleH) : 0.0;
  const double X = a * g.cosR - b * g.sinR;
  const double Y = -a * g.sinR - b * g.cosR;
  const PF_Rect& e = g.io->src->extent_hint;
  const double cx = (e.left + e.right) / 2.0, cy = (e.top + e.bottom) / 2.0;
  const double rw = double(custom->width) / g.W, rh = double(custom->height) / g.H;
  double col, row;
  if (info->placement == Placement::kStretchToFit) {
    col = (cx + X) * rw - 1;
    row = (cy + Y) * rh - 1;
  } else {                     // Center Map
    col = cx * rw + X - 1;
    row = cy * rh + Y - 1;
  }
  double luma, alpha, max2;
  if (info->customFloat) {
    PF_PixelFloat p = {0, 0, 0, 0};
    GetPointerFromDataDP<PF_PixelFloat>(custom, row, col, &p, 0);
    luma = kLumaRed * p.red + kLumaGreen * p.green + kLumaBlue * p.blue;
    alpha = p.alpha;
    max2 = 1.0;
  } else if (IsDeep(custom)) {
    PF_Pixel16 p = {0, 0, 0, 0};
    GetPointerFromDataDP<PF_Pixel16>(custom, row, col, &p, 0);
    luma = kLumaRed * p.red + kLumaGreen * p.green + kLumaBlue * p.blue;
    alpha = p.alpha;
    max2 = 1073741824.0;  // 32768²
  } else {
    PF_Pixel p = {0, 0, 0, 0};
    GetPointerFromDataDP<PF_Pixel>(custom, row, col, &p, 0);
    luma = kLumaRed * p.red + kLumaGreen * p.green + kLumaBlue * p.blue;
    alpha = p.alpha;
    max2 = 65025.0;  // 255²
  }
  return luma * alpha / max2;
}

// The lens coordinates (u, w) of pixel (x, y): turned by the rotation, divided by the scale.
inline void LensCoordinates(const LensGeometry& g, A_long x, A_long y, double* u, double* w) {
  const KT_Info* info = g.info;
  const double dx = x - info->posX, dy = y - info->posY;
  *u = (dx * g.cosR + dy * g.sinR) / info->scaleW;
  *w = (dy * g.cosR - dx * g.sinR) / info->scaleH;
}

// The falloff K at lens coordinates (u, w) for one lens type other than the custom map.
template <LensType kType>
double KAt(const LensGeometry& g, double u, double w) {
  const PF_InData* in_data = g.io->in_data;
  if constexpr (kType == LensType::kCircle) {
    const double R = kLensRadius * g.W;
    const double F = g.featherW * R;
    const double r = std::sqrt(u * u + w * w);
    const double Ri = R - F / 2;
    return r < Ri ? 0.0 : std::min(1.0, (r - Ri) / F);
  } else if constexpr (kType == LensType::kRectWide) {
    return GetDistanceKWithRectMode(u, w, g.featherH, kLensRadius * g.H, 0.75 * g.W, in_data);
  } else if constexpr (kType == LensType::kRectTall) {
    return GetDistanceKWithRectMode(u, w, g.featherW, 0.75 * g.H, kLensRadius * g.W, in_data);
  } else if constexpr (kType == LensType::kTriangle) {
    return TriangleLensK(u, w, g.featherW, kLensRadius * g.W, in_data);
  } else {  // None
    (void)u, (void)w, (void)in_data;
    return 0.0;
  }
}

// The value for one lens type; the type is a template argument so that a row of the mask is
// filled without a choice per pixel.
template <LensType kType>
double MaskValueOf(const LensGeometry& g, A_long x, A_long y) {
  const KT_Info* info = g.info;
  double value = 0.0;
  if (info->scaleW > 0 && info->scaleH > 0) {
    if constexpr (kType == LensType::kCustom) {
      value = CustomMapValue(g, x, y);
    } else {
      double u, w;
      LensCoordinates(g, x, y, &u, &w);
      value = Falloff(KAt<kType>(g, u, w));
    }
  }
  return info->invertAlpha ? 1 - value : value;
}

inline double MaskValue(const LensGeometry& g, A_long x, A_long y) {
  switch (g.info->lensType) {
    case LensType::kCircle: return MaskValueOf<LensType::kCircle>(g, x, y);
    case LensType::kRectWide: return MaskValueOf<LensType::kRectWide>(g, x, y);
    case LensType::kRectTall: return MaskValueOf<LensType::kRectTall>(g, x, y);
    case LensType::kTriangle: return MaskValueOf<LensType::kTriangle>(g, x, y);
    case LensType::kCustom: return MaskValueOf<LensType::kCustom>(g, x, y);
    default: return MaskValueOf<LensType::kNone>(g, x, y);
  }
}

}  // namespace lens
