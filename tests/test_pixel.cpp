// Pixel access: folding, values, bilinear samples, depth conversion and line points.
#include "helpers.h"
#include "core/pixel.h"

namespace {

using vt::World;

template <class P>
class PixelAccess : public ::testing::Test {
 protected:
  static constexpr bool kDeep = PixelTraits<P>::kDeep;
  // Pixel (x, y) holds red = x, green = y, blue = x + y, alpha = 7.
  static World Ramp(int w, int h) {
    World world(w, h, kDeep);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) world.Set(x, y, 7, x, y, x + y);
    return world;
  }
};
using PixelTypes = ::testing::Types<PF_Pixel, PF_Pixel16>;
TYPED_TEST_SUITE(PixelAccess, PixelTypes);

TYPED_TEST(PixelAccess, FoldingMirrorsLowEndWithoutAndHighEndWithRepeat) {
  World w = TestFixture::Ramp(5, 2);
  const PF_EffectWorld* d = &w.def();
  auto row = [&](int y) { return GetPointerFromData<TypeParam>(d, y, 0, 1).green; };
  auto col = [&](int x) { return GetPointerFromData<TypeParam>(d, 0, x, 1).red; };
  EXPECT_EQ(row(-1), 1);
  EXPECT_EQ(row(2), 1);   // height reads height - 1
  EXPECT_EQ(row(-3), 0);  // -3 → 3 → 0 with height 2
  EXPECT_EQ(col(-1), 1);
  EXPECT_EQ(col(-2), 2);
  EXPECT_EQ(col(5), 4);
  EXPECT_EQ(col(6), 3);
  A_long r = -3, c = 13;
  RecomputePosition(d, r, c);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(c, 4);  // 13 → -4 → 4
}

TEST(Folding, MatchesTheRepeatedReflectionForAnyDistance) {
  auto reference = [](long v, long n) {
    while (v < 0 || v >= n) v = v < 0 ? -v : 2 * n - 1 - v;
    return v;
  };
  for (A_long n = 1; n <= 6; ++n) {
    for (A_long v = -200; v <= 200; ++v) {
      A_long folded = v;
      FoldInto(folded, n);
      ASSERT_EQ(folded, reference(v, n)) << "v " << v << " n " << n;
    }
  }
}

TYPED_TEST(PixelAccess, SinglePixelImageGivesItsPixelEverywhere) {
  World w = TestFixture::Ramp(1, 1);
  w.Set(0, 0, 1, 2, 3, 4);
  for (int v : {-1000, -1, 0, 1, 2, 99999}) {
    const TypeParam p = GetPointerFromData<TypeParam>(&w.def(), v, -v, 1);
    EXPECT_EQ(p.blue, 4);
  }
}

TYPED_TEST(PixelAccess, OutsideWithoutMirrorIsNullOrTransparentBlack) {
  World w = TestFixture::Ramp(4, 4);
  EXPECT_EQ(GetPointerFromDataP<TypeParam>(&w.def(), -1, 0, 0), nullptr);
  const TypeParam p = GetPointerFromData<TypeParam>(&w.def(), 0, 4, 0);
  EXPECT_EQ(p.alpha + p.red + p.green + p.blue, 0);
}

TYPED_TEST(PixelAccess, ExtentOriginIsSubtracted) {
  World w = TestFixture::Ramp(4, 4);
  w.def().extent_hint = PF_Rect{1, 2, 5, 6};
  EXPECT_EQ(GetPointerFromData<TypeParam>(&w.def(), 2, 1, 0).red, 0);
  EXPECT_EQ(GetPointerFromData<TypeParam>(&w.def(), 3, 3, 0).green, 1);
}

TYPED_TEST(PixelAccess, BilinearFirstRowAndColumnAreCopiedUnblended) {
  World w = TestFixture::Ramp(20, 20);
  TypeParam out{};
  GetPointerFromDataDP<TypeParam>(&w.def(), 0.5, 10.5, &out, 0);
  EXPECT_EQ(out.red, 10);
  EXPECT_EQ(out.green, 0);
  GetPointerFromDataDP<TypeParam>(&w.def(), 7.9, 0.9, &out, 0);
  EXPECT_EQ(out.green, 7);
  EXPECT_EQ(out.red, 0);
}

TYPED_TEST(PixelAccess, BilinearInteriorTruncatesTheWeightedMean) {
  World w = TestFixture::Ramp(20, 20);
  w.Set(10, 10, 0, 0, 0, 0);
  w.Set(11, 10, 1, 0, 0, 0);
  w.Set(10, 11, 1, 0, 0, 0);
  w.Set(11, 11, 1, 0, 0, 0);
  TypeParam out{};
  GetPointerFromDataDP<TypeParam>(&w.def(), 10.5, 10.5, &out, 0);
  EXPECT_EQ(out.alpha, 0);  // 0.75 truncates to 0, no 0.5 added
  GetPointerFromDataDP<TypeParam>(&w.def(), 12.25, 13.5, &out, 0);
  EXPECT_EQ(out.red, 13);   // 13.5 truncated
  EXPECT_EQ(out.green, 12);
  EXPECT_EQ(out.blue, 25);  // 25.75 truncated
}

TYPED_TEST(PixelAccess, BilinearWithoutRightNeighbourLeavesResultUnlessMirrored) {
  World w = TestFixture::Ramp(20, 20);
  TypeParam out{99, 99, 99, 99};
  GetPointerFromDataDP<TypeParam>(&w.def(), 10, 19.5, &out, 0);
  EXPECT_EQ(out.red, 99);
  GetPointerFromDataDP<TypeParam>(&w.def(), 10, 19.5, &out, 1);
  EXPECT_EQ(out.red, 19);  // the right neighbour is the last column again
  out = TypeParam{5, 5, 5, 5};
  GetPointerFromDataDP<TypeParam>(&w.def(), -1.0, 3, &out, 0);  // base row -2: nothing
  EXPECT_EQ(out.red, 5);
  GetPointerFromDataDP<TypeParam>(&w.def(), -0.5, 3, &out, 0);  // base row 0: copied
  EXPECT_EQ(out.red, 3);
}

TEST(DepthConversion, WidenAndNarrow) {
  EXPECT_EQ(WidenChannel(255), 32767);
  EXPECT_EQ(WidenChannel(0), 0);
  EXPECT_EQ(WidenChannel(128), A_u_short(128.0f / 255.0f * 32767.0f));
  EXPECT_EQ(NarrowChannel(32768), 255);
  EXPECT_EQ(NarrowChannel(32767), 255);
  EXPECT_EQ(NarrowChannel(128), 0);
  EXPECT_EQ(NarrowChannel(129), 1);
  const PF_Pixel16 p = ConvertPixel<PF_Pixel16>(PF_Pixel{255, 0, 1, 2});
  EXPECT_EQ(p.alpha, 32767);
  EXPECT_EQ(p.green, 128);
}

TEST(LinePoints, BresenhamWalkIncludesBothEnds) {
  PF_FixedPoint pts[16];
  ASSERT_EQ(ComputeLinePTs(0, 0, 3, 1, pts), 4);
  const int expect[4][2] = {{0, 0}, {1, 0}, {2, 1}, {3, 1}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(pts[i].x, expect[i][0]);
    EXPECT_EQ(pts[i].y, expect[i][1]);
  }
  EXPECT_EQ(ComputeLinePTs(2, 2, 2, 2, pts), 1);
  ASSERT_EQ(ComputeLinePTs(5, 9, 1, 1, pts), 9);  // max(dx, dy) + 1
  EXPECT_EQ(pts[8].x, 1);
  EXPECT_EQ(pts[8].y, 1);
  for (int i = 1; i < 9; ++i) EXPECT_EQ(pts[i].y, 9 - i);
}

}  // namespace
