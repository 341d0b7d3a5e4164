#include "lens_shape.h"

#include "exact.h"

#include <algorithm>
#include <cmath>

using namespace lens;

double ComputeLensMask(A_long x, A_long y, const KT_Info* info, const IO_Params* io) {
  return MaskValue(MakeGeometry(info, io), x, y);
}

double GetDistanceFromPtToSegLine(double px, double py, double x1, double y1, double x2,
                                  double y2, const PF_InData*) {
  const double ex = x2 - x1, ey = y2 - y1;
  double qx = x1, qy = y1;
  if (ex != 0 || ey != 0) {
    const double t = ((px - x1) * ex + (py - y1) * ey) / (ex * ex + ey * ey);
    if (t >= 1) {
      qx = x2;
      qy = y2;
    } else if (t > 0) {
      qx = x1 + t * ex;
      qy = y1 + t * ey;
    }
  }
  return std::sqrt((px - qx) * (px - qx) + (py - qy) * (py - qy));
}

double GetAngleFromVector(double a, double b, const PF_InData*) {
  if (a == 0) return b > 0 ? kPi / 2 : 3 * kPi / 2;
  double angle = std::atan(b / a);
  if (a < 0) angle += kPi;
  if (angle < 0) angle += 2 * kPi;
  return angle;
}

double GetDistanceKWithRectMode(double u, double v, double f, double hv, double hu,
                                const PF_InData* in_data) {
  const double d = std::min(hu, hv) * f;
  double iu, iv;
  if (f > 2) {
    iu = hu - d / f;
    iv = hv - d / f;
  } else {
    iu = std::max(hu - d / 2, 0.0);
    iv = std::max(hv - d / 2, 0.0);
  }
  const double au = std::fabs(u), av = std::fabs(v);
  if (au <= iu && av <= iv) return 0.0;
  if (u == 0) return std::min(1.0, (av - iv) / d);
  // A collapsed inner rectangle makes iv / iu infinite or NaN; both pick the side edge.
  const double dist = av / au > iv / iu
                          ? GetDistanceFromPtToSegLine(au, av, 0, iv, iu, iv, in_data)
                          : GetDistanceFromPtToSegLine(au, av, iu, 0, iu, iv, in_data);
  return std::min(1.0, dist / d);
}

namespace {

// The triangle's sides: the bottom, the left and the right one, each with the direction ψ of
// its normal and its two corners.
enum TriangleSide { kBottom, kLeft, kRight };
struct TriangleEdge {
  double psi, x1, y1, x2, y2;
};
TriangleEdge EdgeOf(TriangleSide side, double R) {
  const double hx = std::sqrt(3.0) * R / 2;
  switch (side) {
    case kBottom: return {kPi / 2, -hx, R / 2, hx, R / 2};
    case kLeft: return {7 * kPi / 6, -hx, R / 2, 0, -R};
    default: return {11 * kPi / 6, 0, -R, hx, R / 2};
  }
}

// K of a point beyond the side's line.
double BeyondEdgeK(double u, double w, double f, double R, const TriangleEdge& e,
                   const PF_InData* in_data) {
  return std::min(1.0, GetDistanceFromPtToSegLine(u, w, e.x1, e.y1, e.x2, e.y2, in_data) / (f * R));
}

}  // namespace

double GetDistanceKWithTriangleMode(double u, double w, double f, double R,
                                    const PF_InData* in_data) {
  const double r = std::sqrt(u * u + w * w);
  const double phi = GetAngleFromVector(u, w, in_data);
  const TriangleSide side = phi >= kPi / 6 && phi < 5 * kPi / 6   ? kBottom
                            : phi >= 5 * kPi / 6 && phi < 3 * kPi / 2 ? kLeft
                                                                      : kRight;
  const TriangleEdge e = EdgeOf(side, R);
  if (2 * r * std::cos(phi - e.psi) / R < 1) return 0.0;
  return BeyondEdgeK(u, w, f, R, e, in_data);
}

double TriangleLensK(double u, double w, double f, double R, const PF_InData* in_data) {
  // The side is the one whose corners' rays enclose the point, r·cos(φ − ψ) the point's
  // distance along that side's normal. Both come without the angle from cross and dot
  // products, within a few units of rounding of |u| + |w|, where the angle and cosine the
  // definition takes are within about 1e-14 of theirs: a margin of 1e-9 makes the same
  // choices. Points nearer than that to a ray or to the line take the definition's way.
  constexpr double kH = 0.86602540378443865;  // √3 / 2
  const double size = std::abs(u) + std::abs(w), margin = kGeometryMargin * size;
  const double c1 = kH * w - 0.5 * u;   // > 0: counter-clockwise of the ray at π / 6
  const double c2 = -kH * w - 0.5 * u;  // > 0: counter-clockwise of the ray at 5π / 6
  TriangleSide side;
  double d;
  if (c1 > margin && c2 < -margin) {
    side = kBottom, d = w;
  } else if (c2 > margin && u < -margin) {
    side = kLeft, d = -kH * u - 0.5 * w;
  } else if (u > margin && c1 < -margin) {
    side = kRight, d = kH * u - 0.5 * w;
  } else {
    return GetDistanceKWithTriangleMode(u, w, f, R, in_data);
  }
  const double t = 2 * d / R, tMargin = kGeometryMargin * (2 * size / R + 1);
  if (t < 1 - tMargin) return 0.0;
  if (!(t > 1 + tMargin)) return GetDistanceKWithTriangleMode(u, w, f, R, in_data);
  // The side's segment lies on its line, d = R / 2: a point farther than f·R from the line
  // (by the margin) is farther from the segment, and its K is 1 without the distance.
  if (d - R / 2 > f * R * (1 + kGeometryMargin) + margin) return 1.0;
  return BeyondEdgeK(u, w, f, R, EdgeOf(side, R), in_data);
}
