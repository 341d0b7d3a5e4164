// The realistic blur: iris shapes, brightness weighting, both forms, border repair.
#include <cmath>
#include <memory>
#include <optional>

#include "blur/iris_blur.h"
#include "helpers.h"
#include "core/pixel.h"

namespace {

using vt::Host;
using vt::World;

IrisShape Shape(int sides, double roundness = 0, double aspect = 1, double rotation = 0) {
  return IrisShape{sides, roundness, aspect, rotation};
}

TEST(IrisKernel, CentreWeighsOneAndWeightsStayInRange) {
  for (int sides = 3; sides <= 10; ++sides) {
    const IrisKernel k = BuildIrisGrid(Shape(sides, 0.3, 1.4, 0.5), 9);
    EXPECT_EQ(k.at(0, 0), 1.0f);
    for (float g : k.grid) ASSERT_TRUE(g >= 0 && g <= 1) << g;
  }
}

TEST(IrisKernel, FullRoundnessIsTheSameDiscForEverySideCount) {
  const IrisKernel disc = BuildIrisGrid(Shape(3, 1.0), 12);
  for (int sides = 4; sides <= 10; ++sides)
    EXPECT_EQ(BuildIrisGrid(Shape(sides, 1.0), 12).grid, disc.grid) << sides;
  EXPECT_EQ(disc.at(12, 0), 1.0f);
  EXPECT_EQ(disc.at(10, 10), 0.0f);  // 14.1 from the centre, beyond the band
  EXPECT_EQ(disc.at(8, 8), 1.0f);  // 11.3
}

TEST(IrisKernel, FourSidesWithoutRoundnessIsADiamond) {
  const A_long r = 10;
  const IrisKernel k = BuildIrisGrid(Shape(4), r);
  for (A_long dy = -r; dy <= r; ++dy)
    for (A_long dx = -r; dx <= r; ++dx) {
      const A_long l1 = std::abs(dx) + std::abs(dy);
      if (l1 <= r - 1) {
        EXPECT_EQ(k.at(dx, dy), 1.0f) << dx << "," << dy;
      } else if (l1 >= r + 2) {
        EXPECT_EQ(k.at(dx, dy), 0.0f) << dx << "," << dy;
      }
    }
  EXPECT_EQ(k.at(0, r), 1.0f);
  EXPECT_EQ(k.at(-r, 0), 1.0f);
}

TEST(IrisKernel, TriangleGridHasItsFlatSideOnTop) {
  const A_long r = 12;
  const IrisKernel k = BuildIrisGrid(Shape(3), r);
  auto width = [&](A_long dy) {
    int n = 0;
    for (A_long dx = -r; dx <= r; ++dx) n += k.at(dx, dy) == 1.0f;
    return n;
  };
  EXPECT_EQ(k.at(0, r), 1.0f);   // a corner straight below the centre
  EXPECT_GT(width(-r / 2), width(r / 2) * 2);
  EXPECT_EQ(width(-r / 2 - 1), 0);  // the flat side lies at r/2 above
}

TEST(IrisKernel, AspectNarrowsOrShortens) {
  const A_long r = 10;
  const IrisKernel narrow = BuildIrisGrid(Shape(10, 1.0, 0.5), r);
  EXPECT_EQ(narrow.at(0, r), 1.0f);
  EXPECT_EQ(narrow.at(r, 0), 0.0f);
  EXPECT_EQ(narrow.at(r / 2 - 1, 0), 1.0f);
  const IrisKernel flat = BuildIrisGrid(Shape(10, 1.0, 2.0), r);
  EXPECT_EQ(flat.at(r, 0), 1.0f);
  EXPECT_EQ(flat.at(0, r), 0.0f);
  EXPECT_EQ(flat.at(0, r / 2 - 1), 1.0f);
  const IrisKernel none = BuildIrisGrid(Shape(5, 0.2, 0.0), r);
  for (size_t i = 0; i < none.grid.size(); ++i)
    EXPECT_EQ(none.grid[i], i == none.grid.size() / 2 ? 1.0f : 0.0f);
}

TEST(IrisKernel, RowDifferencesRebuildTheGrid) {
  const IrisKernel k = BuildIrisGrid(Shape(7, 0.4, 0.8, 1.1), 9);
  std::vector<double> rebuilt(k.grid.size(), 0.0);
  // Summing the differences from the right end leftward gives back each row.
  for (const RowDifference& d : RowDifferences(k))
    for (A_long dx = -9; dx <= d.x && dx <= 9; ++dx) rebuilt[size_t(d.y + 9) * 19 + size_t(dx + 9)] += d.weight;
  for (size_t i = 0; i < k.grid.size(); ++i) ASSERT_EQ(rebuilt[i], double(k.grid[i])) << i;
}

TEST(Highlights, WeightIsRootOfLumaTimesAlpha) {
  World w(3, 1, false), d(2, 1, true);
  w.Set(0, 0, 255, 255, 255, 255);
  w.Set(1, 0, 0, 255, 255, 255);
  w.Set(2, 0, 255, 0, 0, 255);
  d.Set(0, 0, 32768, 32768, 32768, 32768);
  d.Set(1, 0, 32768, 0, 0, 0);
  const auto h = HighlightMap(&w.def());
  EXPECT_NEAR(h[0], 1.0f, 1e-6);
  EXPECT_EQ(h[1], 0.0f);
  EXPECT_EQ(h[2], float(std::sqrt(0.114 * 255 * 255 / 65025.0)));
  const auto h16 = HighlightMap(&d.def());
  EXPECT_NEAR(h16[0], 1.0f, 1e-6);
  EXPECT_EQ(h16[1], 0.0f);
}

// ---- whole renders through the module -----------------------------------------------------

std::unique_ptr<Host> IrisHost(const std::string& amount, bool blurMap = false) {
  auto host = vt::LoadedHost();
  vt::Set(*host, "Fast Blur/Visible", "off");
  vt::Set(*host, "Realistic Blur  [very slow]/Amount", amount);
  if (blurMap) {
    vt::Set(*host, "Realistic Blur  [very slow]/Use Lens as Blur Map", "on");
  } else {
    vt::Set(*host, "Type", "None");
  }
  return host;
}

World RenderWith(Host& host, const World& input) {
  World out(input.width(), input.height(), input.deep());
  EXPECT_EQ(host.Render(input, out), PF_Err_NONE);
  EXPECT_EQ(host.LiveWorlds(), 0);
  return out;
}

// The direct sum at every pixel: g·H in single precision, sums in double, then the border.
World DirectIris(const World& src, const IrisKernel& k) {
  const auto H = HighlightMap(&src.def());
  World out(src.width(), src.height(), src.deep());
  const double max = src.deep() ? 32768 : 255;
  for (int y = 0; y < src.height(); ++y)
    for (int x = 0; x < src.width(); ++x) {
      double w = 0, c[3] = {0, 0, 0};
      for (A_long dy = -k.ry; dy <= k.ry; ++dy)
        for (A_long dx = -k.rx; dx <= k.rx; ++dx) {
          const int sx = x + dx, sy = y + dy;
          if (sx < 0 || sy < 0 || sx >= src.width() || sy >= src.height() || k.at(dx, dy) == 0) continue;
          const double g = float(k.at(dx, dy) * H[size_t(sy) * src.width() + sx]);
          const auto p = src.Get(sx, sy);
          w += g;
          for (int i = 0; i < 3; ++i) c[i] += g * p[size_t(i + 1)];
        }
      auto q = [&](double v) { return w > 0 ? int(std::min(max, std::trunc(v / w))) : 0; };
      out.Set(x, y, src.Get(x, y)[0], q(c[0]), q(c[1]), q(c[2]));
    }
  const int W = src.width(), Ht = src.height();
  for (int x = 0; x < W; ++x) {
    const auto p = out.Get(x, std::max(0, Ht - 2));
    out.Set(x, Ht - 1, p[0], p[1], p[2], p[3]);
  }
  for (int y = 0; y < Ht; ++y) {
    const auto p = out.Get(std::max(0, W - 2), y);
    out.Set(W - 1, y, p[0], p[1], p[2], p[3]);
  }
  return out;
}

::testing::AssertionResult WithinOneLevel(const World& a, const World& b) {
  for (int y = 0; y < a.height(); ++y)
    for (int x = 0; x < a.width(); ++x) {
      const auto p = a.Get(x, y), q = b.Get(x, y);
      for (int i = 0; i < 4; ++i)
        if (std::abs(p[size_t(i)] - q[size_t(i)]) > 1)
          return ::testing::AssertionFailure() << "(" << x << ", " << y << ") channel " << i << ": "
                                               << p[size_t(i)] << " vs " << q[size_t(i)];
    }
  return ::testing::AssertionSuccess();
}

class IrisDepths : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Iris, IrisDepths, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "16bit" : "8bit"; });

TEST_P(IrisDepths, UniformFormMatchesTheDirectSumOnRandomPictures) {
  World input = vt::RandomWorld(45, 23, GetParam(), 51);
  for (int x = 10; x < 20; ++x)  // a transparent and a black patch
    for (int y = 0; y < 23; ++y) input.Set(x, y, y < 12 ? 0 : input.Get(x, y)[0], 0, 0, y < 12 ? 90 : 0);
  auto host = IrisHost("6");
  EXPECT_TRUE(WithinOneLevel(RenderWith(*host, input), DirectIris(input, BuildIrisGrid(Shape(5), 6))));
}

TEST_P(IrisDepths, BrightDotsOnOpaqueBlackLeaveNoStreaks) {
  const bool deep = GetParam();
  const int full = deep ? 32768 : 255;
  World input = vt::Uniform(300, 21, deep, full, 0, 0, 0);
  for (int x = 5; x < 60; x += 7) input.Set(x, 10, full, full, full, full);
  input.Set(62, 3, full, full / 3, full, 7);
  for (int sides : {1, 2, 3, 4, 5, 6, 7, 8}) {
    auto host = IrisHost("9");
    vt::Set(*host, "Iris Sides", std::to_string(sides));
    vt::Set(*host, "Iris Rotation", "17");
    const World out = RenderWith(*host, input);
    const IrisKernel k = BuildIrisGrid(Shape(sides + 2, 0, 1, 17 * 3.141592653589793 / 180), 9);
    EXPECT_TRUE(WithinOneLevel(out, DirectIris(input, k))) << sides;
    for (int y = 0; y < 21; ++y)
      for (int x = 80; x < 300; ++x) ASSERT_EQ(out.Get(x, y)[1], 0) << sides << ": " << x << "," << y;
  }
}

TEST_P(IrisDepths, SingleWhitePixelOpensIntoTheShapeTurnedHalfATurn) {
  const bool deep = GetParam();
  const int full = deep ? 32768 : 255;
  World input = vt::Uniform(41, 41, deep, full, 0, 0, 0);
  input.Set(20, 20, full, full, full, full);
  auto host = IrisHost("10");
  vt::Set(*host, "Iris Sides", "Triangle");
  const World out = RenderWith(*host, input);
  const IrisKernel k = BuildIrisGrid(Shape(3), 10);
  for (int y = 5; y < 36; ++y)
    for (int x = 5; x < 36; ++x) {
      const bool lit = std::abs(20 - x) <= 10 && std::abs(20 - y) <= 10 && k.at(20 - x, 20 - y) != 0;
      EXPECT_EQ(out.Get(x, y)[1] >= full - 1, lit) << x << "," << y;
    }
  EXPECT_GE(out.Get(20, 10)[1], full - 1);  // the corner on top
  EXPECT_EQ(out.Get(20, 31)[1], 0);
}

TEST_P(IrisDepths, SmallAmountsCopyOrKeepEachPixel) {
  const bool deep = GetParam();
  World input = vt::RandomWorld(20, 12, deep, 52);
  input.Set(3, 3, 0, 10, 20, 30);                       // transparent
  input.Set(4, 3, deep ? 32768 : 255, 0, 0, 0);         // black
  auto copy = IrisHost("0.009");
  EXPECT_TRUE(vt::SameImage(RenderWith(*copy, input), input));
  auto keep = IrisHost("0.5");
  const World kept = RenderWith(*keep, input);
  // Each pixel keeps its colour within a level; clear or black ones get colour 0. The last
  // row and column repeat their neighbours.
  for (int y = 0; y < 11; ++y)
    for (int x = 0; x < 19; ++x) {
      const auto p = input.Get(x, y), q = kept.Get(x, y);
      const bool weightless = p[0] == 0 || (p[1] | p[2] | p[3]) == 0;
      EXPECT_EQ(q[0], p[0]);
      for (size_t c = 1; c < 4; ++c)
        ASSERT_LE(std::abs(q[c] - (weightless ? 0 : p[c])), 1) << x << "," << y;
    }
  EXPECT_EQ(kept.Get(3, 3), (std::array<int, 4>{0, 0, 0, 0}));  // clear pixels lose colour
  auto black = IrisHost("7");
  const World dark = vt::Uniform(20, 12, deep, 1000, 0, 0, 0);
  EXPECT_TRUE(vt::SameImage(RenderWith(*black, dark), dark));
}

TEST_P(IrisDepths, LastRowAndColumnRepeatTheirNeighbours) {
  auto host = IrisHost("3");
  const World out = RenderWith(*host, vt::RandomWorld(17, 13, GetParam(), 53));
  for (int x = 0; x < 17; ++x) EXPECT_EQ(out.Get(x, 12), out.Get(x, 11));
  for (int y = 0; y < 13; ++y) EXPECT_EQ(out.Get(16, y), out.Get(15, y));
}

TEST_P(IrisDepths, BlurMapFormIdenticalForEveryThreadCount) {
  const World input = vt::RandomWorld(50, 40, GetParam(), 54);
  std::optional<World> first;
  for (int threads : {1, 3}) {
    auto host = IrisHost("12", true);
    vt::Set(*host, "Feather", "80");
    host->SetThreads(threads);
    World out = RenderWith(*host, input);
    if (!first) first = std::move(out);
    else EXPECT_TRUE(vt::SameImage(out, *first));
  }
}

// The blur-map routine on its own: radius from the mask, opaque samples only.
TEST(IrisBlurMap, RadiusComesFromTheMaskToTheThreeHalves) {
  EXPECT_EQ(BlurMapRadius(0.5, 40), 14);  // trunc(14.64)
  EXPECT_EQ(BlurMapRadius(0.0, 40), 0);
  EXPECT_EQ(BlurMapRadius(1.0, 40), 40);
  World src = vt::Uniform(9, 9, false, 255, 200, 200, 200);
  const auto H = HighlightMap(&src.def());
  vt::FakeMask mask(9, 9, 0.5);
  IO_Params io{nullptr, nullptr, &src.def(), nullptr};
  io.mask = mask.get();
  // Only radius 14 is in this batch; any other radius leaves the output unwritten.
  IrisCells centre;
  centre.Add(Weight_Pt{0, 0, 1.0f}, &src.def(), sizeof(PF_Pixel));
  std::vector<const IrisCells*> table(41, nullptr);
  table[14] = &centre;
  IrisRefcon rc{table.data(), &io, H.get(), 40};
  PF_Pixel in{255, 200, 200, 200}, out{1, 1, 1, 1};
  IrisBlur<PF_Pixel>(&rc, 4, 4, &in, &out);
  EXPECT_EQ(out.red, 200);
  mask.at(4, 4) = 0.52;
  out = PF_Pixel{1, 1, 1, 1};
  IrisBlur<PF_Pixel>(&rc, 4, 4, &in, &out);
  EXPECT_EQ(out.red, 1);
}

TEST(IrisBlurMap, TransparentNeighbourhoodsKeepThePixel) {
  World src = vt::Uniform(5, 5, true, 0, 900, 800, 700);
  const auto H = HighlightMap(&src.def());
  vt::FakeMask mask(5, 5, 1.0);
  IO_Params io{nullptr, nullptr, &src.def(), nullptr};
  io.mask = mask.get();
  IrisCells square;
  for (A_long dy = -1; dy <= 1; ++dy)
    for (A_long dx = -1; dx <= 1; ++dx) square.Add(Weight_Pt{dx, dy, 1.0f}, &src.def(), sizeof(PF_Pixel16));
  std::vector<const IrisCells*> table{nullptr, &square};
  IrisRefcon rc{table.data(), &io, H.get(), 1};
  PF_Pixel16 in{0, 900, 800, 700}, out{};
  IrisBlur<PF_Pixel16>(&rc, 2, 2, &in, &out);
  EXPECT_EQ(out.red, 900);
  EXPECT_EQ(out.alpha, 0);
}

}  // namespace
