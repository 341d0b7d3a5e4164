// The lens mask of every lens type and the lens composite.
#include <cmath>
#include <cstring>
#include <random>

#include "helpers.h"
#include "color/lens_composite.h"
#include "core/lens_shape.h"
#include "core/pixel.h"

namespace {

using vt::Host;
using vt::World;

class LensMask : public ::testing::Test {
 protected:
  LensMask() : input(1000, 1000, false), output(1000, 1000, false) {
    std::memset(&info, 0, sizeof info);
    info.lensType = LensType::kCircle;
    info.placement = Placement::kCenterMap;
    info.scaleW = info.scaleH = 1;
    info.posX = info.posY = 500;
    io = IO_Params{nullptr, nullptr, &input.def(), &output.def()};
  }
  double At(double x, double y) { return ComputeLensMask(A_long(x), A_long(y), &info, &io); }
  World input, output;
  KT_Info info;
  IO_Params io;
};

TEST_F(LensMask, NoneIsOneEverywhereAndZeroInverted) {
  info.lensType = LensType::kNone;
  EXPECT_EQ(At(0, 0), 1.0);
  EXPECT_EQ(At(999, 3), 1.0);
  info.invertAlpha = true;
  EXPECT_EQ(At(10, 10), 0.0);
}

TEST_F(LensMask, CircleBandIsCentredOnTheRadius) {
  EXPECT_NEAR(At(850, 500), 0.5, 1e-6);  // distance 350
  EXPECT_EQ(At(849, 500), 1.0);
  EXPECT_EQ(At(851, 500), 0.0);
  EXPECT_EQ(At(500, 500), 1.0);
}

TEST_F(LensMask, CircleFeatherWidensTheBand) {
  info.feather = 1;
  // F = (1.5 / 350 + 1) · 350 = 351.5: from 1 at radius 174.25 to 0 at 525.75.
  EXPECT_EQ(At(500 + 174, 500), 1.0);
  EXPECT_GT(At(500 + 175, 500), 0.9999);
  EXPECT_LT(At(500 + 175, 500), 1.0);
  EXPECT_NEAR(At(500 + 350, 500), 0.5, 1e-6);
  EXPECT_GT(At(500, 500 + 525), 0.0);
  EXPECT_EQ(At(500, 500 + 526), 0.0);
}

TEST_F(LensMask, ScaleAndRotationMoveTheBand) {
  info.scaleW = 2;  // the circle doubles along u
  EXPECT_EQ(At(500 + 690, 500), 1.0);
  EXPECT_EQ(At(500, 500 + 360), 0.0);
  info.scaleW = 1;
  info.scaleH = 2;
  info.rotation = 3.141592653589793 / 2;  // u now runs down the picture, w to the left
  EXPECT_EQ(At(500 + 690, 500), 1.0);
  EXPECT_EQ(At(500, 500 + 360), 0.0);
}

TEST_F(LensMask, ZeroScaleIsZeroOrOneInverted) {
  info.scaleW = 0;
  EXPECT_EQ(At(500, 500), 0.0);
  info.invertAlpha = true;
  EXPECT_EQ(At(500, 500), 1.0);
}

TEST(RectDistance, FeatherFractionAboveTwoCollapsesTheInnerRectangle) {
  // hu = 750, hv = 350, f = 3: d = 1050, inner half-extents 400 and 0.
  EXPECT_EQ(GetDistanceKWithRectMode(0, 0, 3, 350, 750, nullptr), 0.0);
  EXPECT_EQ(GetDistanceKWithRectMode(390, 0, 3, 350, 750, nullptr), 0.0);
  EXPECT_DOUBLE_EQ(GetDistanceKWithRectMode(0, -105, 3, 350, 750, nullptr), 0.1);
  EXPECT_DOUBLE_EQ(GetDistanceKWithRectMode(500, 0, 3, 350, 750, nullptr), 100.0 / 1050);
  EXPECT_DOUBLE_EQ(GetDistanceKWithRectMode(100, 210, 3, 350, 750, nullptr), 0.2);  // top edge
}

TEST(RectDistance, SmallFeatherCentresTheBandAndRoundsCorners) {
  // hu = 100, hv = 50, f = 0.2: d = 10, inner 95 by 45.
  EXPECT_EQ(GetDistanceKWithRectMode(95, 45, 0.2, 50, 100, nullptr), 0.0);
  EXPECT_DOUBLE_EQ(GetDistanceKWithRectMode(0, 50, 0.2, 50, 100, nullptr), 0.5);
  EXPECT_DOUBLE_EQ(GetDistanceKWithRectMode(100, 0, 0.2, 50, 100, nullptr), 0.5);
  EXPECT_DOUBLE_EQ(GetDistanceKWithRectMode(98, 49, 0.2, 50, 100, nullptr), 0.5);  // corner arc
  EXPECT_EQ(GetDistanceKWithRectMode(120, 0, 0.2, 50, 100, nullptr), 1.0);
}

TEST_F(LensMask, TriangleHasCornerUpAndFlatSideBelow) {
  info.lensType = LensType::kTriangle;
  EXPECT_EQ(At(500, 500), 1.0);
  EXPECT_EQ(At(500, 500 + 175), 1.0);  // midpoint of the bottom edge
  EXPECT_EQ(At(500, 500 - 340), 1.0);  // toward the upper corner, inside
  EXPECT_EQ(At(500, 500 + 180), 0.0);  // just below the flat side, band 1.5 wide
  // Beyond the upper vertex the band follows the distance to it.
  const double F = double(float(1.5 / 350.0)) * 350;
  EXPECT_NEAR(At(500, 500 - 351), (1 + std::cos(3.141592653589793 * (1 / F))) / 2, 1e-9);
}

// The triangle's K without trigonometry equals the definition's bit for bit: at random, on
// and beside the rays through the corners, on and beside the three sides' lines (where the
// choices are closest), at the centre and on the axes.
TEST(TriangleK, EqualsTheDefinitionEverywhere) {
  const double pi = 3.141592653589793, h = std::sqrt(3.0) / 2;
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  int checked = 0, differ = 0;
  auto check = [&](double u, double w, double f, double R) {
    const double want = GetDistanceKWithTriangleMode(u, w, f, R, nullptr);
    const double got = TriangleLensK(u, w, f, R, nullptr);
    ++checked;
    if (std::memcmp(&want, &got, sizeof want) != 0) {
      if (++differ < 5) ADD_FAILURE() << "u " << u << " w " << w << " f " << f << " R " << R
                                      << ": " << got << " instead of " << want;
    }
  };
  for (double R : {1.0, 7.3, 350.0, 672.0, 1e5}) {
    for (double f : {0.0043, 0.4, 3.0}) {
      for (int i = 0; i < 4000; ++i) check(unit(rng) * 3 * R, unit(rng) * 3 * R, f, R);
      // Beside the rays at π/6, 5π/6 and 3π/2, from the centre outward, by a few units of
      // rounding to either side.
      for (double angle : {pi / 6, 5 * pi / 6, 3 * pi / 2}) {
        for (int i = 1; i <= 400; ++i) {
          const double t = R * 0.01 * i;
          for (double e : {0.0, 1e-15, -1e-15, 1e-12, -1e-12, 1e-9, -1e-9, 1e-7, -1e-7})
            check(t * std::cos(angle + e), t * std::sin(angle + e), f, R);
        }
      }
      // On and beside the sides' lines: the bottom at w = R / 2, the others through the
      // upper corner (0, -R).
      for (int i = -400; i <= 400; ++i) {
        const double s = R * 0.004 * i;
        for (double e : {0.0, 1e-14, -1e-14, 1e-10, -1e-10, 1e-8, -1e-8}) {
          const double off = R * e;
          check(s, R / 2 + off, f, R);
          check(-h * R / 2 * (1 + s / R) + off, -R + 1.5 * R / 2 * (1 + s / R), f, R);
          check(h * R / 2 * (1 + s / R) + off, -R + 1.5 * R / 2 * (1 + s / R), f, R);
        }
      }
      // Where the feather ends: f·R beyond each side's line, along it and past its corners.
      for (int i = -600; i <= 600; ++i) {
        const double s = R * 0.004 * i;
        for (double e : {0.0, 1e-15, -1e-15, 1e-12, -1e-12, 1e-9, -1e-9, 1e-6, -1e-6}) {
          const double out = R / 2 + f * R * (1 + e);  // the normal coordinate
          check(s, out, f, R);
          for (double psi : {7 * pi / 6, 11 * pi / 6})
            check(out * std::cos(psi) - s * std::sin(psi), out * std::sin(psi) + s * std::cos(psi), f, R);
        }
      }
      for (double v : {0.0, 1e-300, -1e-300, 0.25 * R, -0.25 * R, R, -R, 4 * R, -4 * R}) {
        check(0.0, v, f, R);
        check(v, 0.0, f, R);
        check(-0.0, v, f, R);
      }
    }
  }
  EXPECT_EQ(differ, 0) << "of " << checked;
}

TEST(AngleFromVector, CoversTheFullTurn) {
  const double pi = 3.141592653589793;
  EXPECT_DOUBLE_EQ(GetAngleFromVector(0, 1, nullptr), pi / 2);
  EXPECT_DOUBLE_EQ(GetAngleFromVector(0, -1, nullptr), 3 * pi / 2);
  EXPECT_DOUBLE_EQ(GetAngleFromVector(0, 0, nullptr), 3 * pi / 2);
  EXPECT_DOUBLE_EQ(GetAngleFromVector(-1, 0, nullptr), pi);
  EXPECT_DOUBLE_EQ(GetAngleFromVector(1, -1, nullptr), 7 * pi / 4);
}

TEST(SegmentDistance, EndsAndInterior) {
  EXPECT_DOUBLE_EQ(GetDistanceFromPtToSegLine(3, 4, 0, 0, 0, 0, nullptr), 5);
  EXPECT_DOUBLE_EQ(GetDistanceFromPtToSegLine(-3, 4, 0, 0, 10, 0, nullptr), 5);
  EXPECT_DOUBLE_EQ(GetDistanceFromPtToSegLine(13, 4, 0, 0, 10, 0, nullptr), 5);
  EXPECT_DOUBLE_EQ(GetDistanceFromPtToSegLine(5, 4, 0, 0, 10, 0, nullptr), 4);
}

template <class P>
class CustomMap : public ::testing::Test {};
using PixelTypes = ::testing::Types<PF_Pixel, PF_Pixel16>;
TYPED_TEST_SUITE(CustomMap, PixelTypes);

TYPED_TEST(CustomMap, CenterMapReadsOneUpAndLeftAndWhiteIsOne) {
  constexpr bool deep = PixelTraits<TypeParam>::kDeep;
  constexpr int max = PixelTraits<TypeParam>::kMax;
  World input(40, 30, false), output(40, 30, false), custom(40, 30, deep);
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x) custom.Set(x, y, max, (x * 7 + y) % (max + 1), 0, 0);
  custom.Set(9, 4, max, max, max, max);
  KT_Info info;
  std::memset(&info, 0, sizeof info);
  info.lensType = LensType::kCustom;
  info.placement = Placement::kCenterMap;
  info.scaleW = info.scaleH = 1;
  info.posX = 20;
  info.posY = 15;
  info.customLayer = &custom.def();
  IO_Params io{nullptr, nullptr, &input.def(), &output.def()};
  const double m2 = double(max) * max;
  for (int y = 1; y < 30; ++y)
    for (int x = 1; x < 40; ++x) {
      if (x == 10 && y == 5) continue;  // the white pixel, below
      const auto p = custom.Get(x - 1, y - 1);
      ASSERT_DOUBLE_EQ(ComputeLensMask(x, y, &info, &io), 0.299 * p[1] * p[0] / m2) << x << "," << y;
    }
  EXPECT_EQ(ComputeLensMask(0, 5, &info, &io), 0.0);
  EXPECT_EQ(ComputeLensMask(5, 0, &info, &io), 0.0);
  EXPECT_NEAR(ComputeLensMask(10, 5, &info, &io), 1.0, 1e-12);
  info.invertAlpha = true;
  EXPECT_NEAR(ComputeLensMask(10, 5, &info, &io), 0.0, 1e-12);
  custom.def().data = nullptr;  // no layer chosen
  EXPECT_EQ(ComputeLensMask(10, 5, &info, &io), 1.0);
}

TEST(CustomMapStretch, ScalesTheLayerOverThePicture) {
  World input(40, 40, false), output(40, 40, false), custom(20, 20, false);
  custom.Set(9, 4, 255, 255, 255, 255);
  KT_Info info;
  std::memset(&info, 0, sizeof info);
  info.lensType = LensType::kCustom;
  info.placement = Placement::kStretchToFit;
  info.scaleW = info.scaleH = 1;
  info.posX = info.posY = 20;
  info.customLayer = &custom.def();
  IO_Params io{nullptr, nullptr, &input.def(), &output.def()};
  // column = (20 + x − 20)·0.5 − 1: x = 20 reads column 9; row likewise y = 10 reads row 4.
  EXPECT_NEAR(ComputeLensMask(20, 10, &info, &io), 1.0, 1e-12);
  EXPECT_EQ(ComputeLensMask(24, 10, &info, &io), 0.0);
}

// The falloff takes (1 + cos πK) / 2 as exactly 1 inside the lens and 0 beyond it without
// calling cos: what the maths library gives there.
TEST(LensFalloff, CosineIsExactAtItsEnds) {
  EXPECT_EQ(std::cos(0.0), 1.0);
  EXPECT_EQ(std::cos(3.141592653589793 * 1.0), -1.0);
  EXPECT_EQ((1 + std::cos(3.141592653589793)) / 2, 0.0);
}

TEST(LensMaskCache, LookupsOutsideTheRectangleAreZero) {
  World input(10, 10, false), output(10, 10, false);
  KT_Info info;
  std::memset(&info, 0, sizeof info);
  info.lensType = LensType::kNone;
  info.scaleW = info.scaleH = 1;
  IO_Params io{nullptr, nullptr, &input.def(), &output.def()};
  {
    LensMaskScope scope;
    ASSERT_EQ(scope.Fill(PF_Rect{2, 3, 6, 8}, &info, &io), PF_Err_NONE);
    io.mask = scope.get();
    EXPECT_EQ(GetLensMask(2, 3, &io), 1.0);
    EXPECT_EQ(GetLensMask(5, 7, &io), 1.0);
    EXPECT_EQ(GetLensMask(1, 3, &io), 0.0);
    EXPECT_EQ(GetLensMask(2, 2, &io), 0.0);
    EXPECT_EQ(GetLensMask(6, 3, &io), 0.0);
    EXPECT_EQ(GetLensMask(2, 8, &io), 0.0);
  }
}

// The filled mask equals the per-pixel value everywhere, bit for bit, for every lens type:
// shapes placed and turned at random, feathers from none to wide, inverted or not, centres
// off the picture. The circle's fill decides most pixels by thresholds; a wrong threshold
// shows on the ring where the edge falls off.
TEST(LensMaskFill, EqualsThePerPixelValueForEveryShape) {
  std::mt19937 rng(2026);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  World input(97, 61, false), output(97, 61, false);
  Host host;
  const void* suite = nullptr;
  ASSERT_EQ(host.AcquireSuite(kPFIterate8Suite, 1, &suite), kSPNoError);
  for (int trial = 0; trial < 60; ++trial) {
    KT_Info info;
    std::memset(&info, 0, sizeof info);
    info.lensType = LensType(1 + trial % 5);  // None, Circle, the rectangles, Triangle
    info.invertAlpha = trial % 3 == 0;
    info.feather = trial % 7 == 0 ? 0.0f : float(unit(rng) * (trial % 2 ? 0.3 : 3.0));
    info.posX = A_long(unit(rng) * 140) - 20;
    info.posY = A_long(unit(rng) * 100) - 20;
    info.scaleW = trial % 11 == 0 ? 0.0f : float(0.05 + unit(rng) * 1.5);
    info.scaleH = float(0.05 + unit(rng) * 1.5);
    // Half the trials unturned: the circle's mirror images (its centre also off the picture).
    info.rotation = trial % 2 ? 0.0 : unit(rng) * 7 - 0.5;
    IO_Params io{nullptr, nullptr, &input.def(), &output.def()};
    io.iterate = static_cast<const PF_Iterate8Suite1*>(suite);
    LensMaskScope scope;
    PF_Err err = PF_Err_NONE;
    host.RunAsCommand([&] { err = scope.Fill(PF_Rect{0, 0, 97, 61}, &info, &io); });
    ASSERT_EQ(err, PF_Err_NONE);
    io.mask = scope.get();
    int differ = 0;
    for (A_long y = 0; y < 61; ++y)
      for (A_long x = 0; x < 97; ++x)
        differ += GetLensMask(x, y, &io) != ComputeLensMask(x, y, &info, &io);
    EXPECT_EQ(differ, 0) << "trial " << trial << ", type " << A_long(info.lensType);
  }
  host.ReleaseSuite(kPFIterate8Suite, 1);
}

template <class P>
class LensComposite : public ::testing::Test {};
TYPED_TEST_SUITE(LensComposite, PixelTypes);

TYPED_TEST(LensComposite, BlendsByTheMaskWithHalfAdded) {
  constexpr bool deep = PixelTraits<TypeParam>::kDeep;
  World input(4, 1, deep);
  input.Set(0, 0, 100, 100, 100, 100);
  input.Set(1, 0, 100, 100, 100, 100);
  input.Set(2, 0, 100, 100, 100, 100);
  vt::FakeMask mask(4, 1, 0.0);
  mask.at(0, 0) = 0.0001;
  mask.at(1, 0) = 0.25;
  mask.at(2, 0) = 0.25;
  IO_Params io{};
  io.mask = mask.get();
  LensRefcon rc{&input.def(), &io, 0, 0.0, char(deep)};
  TypeParam P{200, 201, 0, 255}, out{};
  auto lens = [](void* r, A_long x, A_long y, TypeParam* in, TypeParam* o) {
    if constexpr (PixelTraits<TypeParam>::kDeep) return Lens16(r, x, y, in, o);
    else return Lens8(r, x, y, in, o);
  };
  lens(&rc, 0, 0, &P, &out);
  EXPECT_EQ(out.alpha, 100);  // at the threshold: the input
  lens(&rc, 1, 0, &P, &out);
  EXPECT_EQ(out.alpha, 125);  // 100·0.75 + 200·0.25 + 0.5
  EXPECT_EQ(out.red, 125);    // 125.25 + 0.5
  EXPECT_EQ(out.green, 75);
  EXPECT_EQ(out.blue, 139);   // 75 + 63.75 + 0.5
  rc.blurMap = 1;
  rc.strength = 1.0;          // m = min(1, 0.25 + 0.25)
  lens(&rc, 2, 0, &P, &out);
  EXPECT_EQ(out.alpha, 150);
}

TEST(LensComposite16, ReadsAnEightBitInputConverted) {
  World input(1, 1, false);
  input.Set(0, 0, 255, 255, 0, 128);
  vt::FakeMask mask(1, 1, 0.0);
  IO_Params io{};
  io.mask = mask.get();
  LensRefcon rc{&input.def(), &io, 0, 0.0, 0};
  PF_Pixel16 P{1, 1, 1, 1}, out{};
  Lens16(&rc, 0, 0, &P, &out);
  EXPECT_EQ(out.alpha, 32767);
  EXPECT_EQ(out.blue, WidenChannel(128));
}

}  // namespace
