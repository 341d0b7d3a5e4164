// The blur engines: fast blur windows and blur-map weights, the distortion's geometry, the
// trail's lines and the directional kernel; whole renders for the stage's passes.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include "blur/directional_blur.h"
#include "blur/fast_blur.h"
#include "blur/optical_distortion.h"
#include "blur/trail.h"
#include "helpers.h"
#include "core/pixel.h"
#include "core/vectors.h"

namespace {

using vt::Host;
using vt::World;

template <class P>
class BlurDepths : public ::testing::Test {
 protected:
  static constexpr bool kDeep = PixelTraits<P>::kDeep;
};
using PixelTypes = ::testing::Types<PF_Pixel, PF_Pixel16>;
TYPED_TEST_SUITE(BlurDepths, PixelTypes);

template <class P>
P Run(PF_Err (*fn)(void*, A_long, A_long, P*, P*), FastBlurRefcon& rc, int x, int y) {
  P in = *GetPointerFromDataP<P>(rc.io->src, y, x, 1), out{};
  fn(&rc, x, y, &in, &out);
  return out;
}

TYPED_TEST(BlurDepths, WindowMirrorsAtTheLeftAndRepeatsAtTheRight) {
  World row(10, 1, TestFixture::kDeep);
  const int v[10] = {0, 10, 20, 30, 40, 50, 60, 70, 80, 91};
  for (int x = 0; x < 10; ++x) row.Set(x, 0, 77, v[x], 0, 0);
  IO_Params io{nullptr, nullptr, &row.def(), nullptr};
  FastBlurRefcon rc{&io, 2, false, nullptr};
  // Columns -2..2 read 2, 1, 0, 1, 2: (20 + 10 + 0 + 10 + 20) / 5 = 12.
  EXPECT_EQ(Run<TypeParam>(FastBlurH<TypeParam>, rc, 0, 0).red, 12);
  // Columns 7..11 read 7, 8, 9, 9, 8: (70 + 80 + 91 + 91 + 80) / 5 = 82.4 → 82.
  EXPECT_EQ(Run<TypeParam>(FastBlurH<TypeParam>, rc, 9, 0).red, 82);
  // The mean is rounded: 252 / 5 = 50.4 gives 50, 253 / 5 = 50.6 gives 51.
  row.Set(6, 0, 77, 62, 0, 0);
  EXPECT_EQ(Run<TypeParam>(FastBlurH<TypeParam>, rc, 5, 0).red, 50);
  row.Set(6, 0, 77, 63, 0, 0);
  EXPECT_EQ(Run<TypeParam>(FastBlurH<TypeParam>, rc, 5, 0).red, 51);
  EXPECT_EQ(Run<TypeParam>(FastBlurH<TypeParam>, rc, 5, 0).alpha, 77);
}

TYPED_TEST(BlurDepths, RadiusBeyondThePictureFoldsRepeatedly) {
  World column(1, 3, TestFixture::kDeep);
  column.Set(0, 0, 1, 30, 0, 0);
  column.Set(0, 1, 1, 60, 0, 0);
  column.Set(0, 2, 1, 90, 0, 0);
  IO_Params io{nullptr, nullptr, &column.def(), nullptr};
  FastBlurRefcon rc{&io, 7, false, nullptr};
  // A one-pixel-wide picture blurs horizontally to itself.
  EXPECT_EQ(Run<TypeParam>(FastBlurH<TypeParam>, rc, 0, 1).red, 60);
  // Rows -5..9 fold with period 5 into 0 1 2 2 1 three times: row 0 thrice, rows 1 and 2
  // six times each: (90 + 360 + 540) / 15 = 66.
  EXPECT_EQ(Run<TypeParam>(FastBlurV<TypeParam>, rc, 0, 2).red, 66);
  column.Set(0, 0, 1, 32, 0, 0);  // 996 / 15 = 66.4
  EXPECT_EQ(Run<TypeParam>(FastBlurV<TypeParam>, rc, 0, 2).red, 66);
  column.Set(0, 0, 1, 33, 0, 0);  // 999 / 15 = 66.6
  EXPECT_EQ(Run<TypeParam>(FastBlurV<TypeParam>, rc, 0, 2).red, 67);
}

TYPED_TEST(BlurDepths, BlurMapWindowShrinksWithTheMaskAndFades) {
  World row(60, 60, TestFixture::kDeep);
  for (int y = 0; y < 60; ++y)
    for (int x = 0; x < 60; ++x) row.Set(x, y, 5, x * 3, y, 0);
  World source = vt::Uniform(60, 60, TestFixture::kDeep, 5, 10, 10, 10);
  vt::FakeMask mask(60, 60, 0.1);
  IO_Params io{nullptr, nullptr, &row.def(), nullptr};
  io.mask = mask.get();
  FastBlurRefcon rc{&io, 20, true, &source.def()};
  // k = trunc(20 · 0.1) = 2; equal weights: the mean of columns 28..32 of red = 3x.
  EXPECT_EQ(Run<TypeParam>(FastBlurH<TypeParam>, rc, 30, 30).red, 90);
  // Vertical: mean of rows 28..32 of green is 30, faded by t = (2 − 1) · 0.25 toward the
  // source's 10: 10 · 0.75 + 30 · 0.25 + 0.5 = 15.5 → 15.
  EXPECT_EQ(Run<TypeParam>(FastBlurV<TypeParam>, rc, 30, 30).green, 15);
  // Neighbours weigh their own mask values.
  mask.at(31, 30) = 0.0;
  mask.at(32, 30) = 0.0;
  EXPECT_EQ(Run<TypeParam>(FastBlurH<TypeParam>, rc, 30, 30).red, int((28 + 29 + 30) * 3 / 3.0 + 0.5));
  // Mask 0 leaves the pixel; mask 1 takes the plain window.
  mask.at(10, 10) = 0.0;
  const TypeParam kept = Run<TypeParam>(FastBlurV<TypeParam>, rc, 10, 10);
  EXPECT_EQ(kept.red, 30);
  EXPECT_EQ(kept.green, 10);
  // Mask 1: the plain window, rows -10..30 folded: (55 + 465) / 41 = 12.7 → 13.
  mask.at(40, 10) = 1.0;
  EXPECT_EQ(Run<TypeParam>(FastBlurV<TypeParam>, rc, 40, 10).green, 13);
}

// The passes over whole rows and columns, plain and with a blur map that mixes plain,
// untouched and shrunken windows, give exactly the per-pixel routines' result, at any size
// (one pixel, one row, one column, odd sizes, radii beyond the picture) and on any number
// of the host's threads.
TYPED_TEST(BlurDepths, BandsEqualThePerPixelRoutines) {
  constexpr bool deep = TestFixture::kDeep;
  const std::pair<int, int> sizes[] = {{1, 1}, {1, 7}, {7, 1}, {12, 9}, {37, 23}, {60, 41}};
  // An extent hint that starts inside the world folds the first positions: the bands then
  // read columns that are not contiguous.
  for (const auto& [w, h] : sizes)
  for (A_long shift : {0, 5}) {
    World src = vt::RandomWorld(w, h, deep, uint32_t(w * 100 + h));
    // 16-bit channels may lie above the host's white: some at the type's top.
    if (deep)
      for (int i = 0; i < w * h; i += 3) src.Set(i % w, i / w, 65535, 65535, 40000, 65535);
    src.def().extent_hint = PF_Rect{shift, shift, w + shift, h + shift};
    World source = vt::RandomWorld(w, h, deep, uint32_t(w * 7 + h));
    vt::FakeMask mask(w, h, 1.0);
    std::mt19937 rng(uint32_t(w + h));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        if (rng() % 3 == 0) mask.at(x, y) = (rng() % 1000) / 1000.0;
    // Stretches the map leaves as they are, among the others: 0, and one not a number.
    for (int y = h / 2; y < h; ++y)
      for (int x = w / 4; x < w / 2 + 1; ++x) mask.at(x, y) = (x + y) % 5 ? 0.0 : 0.5;
    mask.at(w - 1, h / 3) = std::nan("");
    for (bool useLensMap : {false, true})
      for (A_long radius : {1, 3, 20, 33, 100, 16384})
        for (bool vertical : {false, true}) {
          // Radius 16384: 16-bit sums leave 32 bits (the passes' 64-bit sums); on the small
          // pictures only, the per-pixel reference being slow.
          if (radius == 16384 && w * h > 108) continue;
          IO_Params io{nullptr, nullptr, &src.def(), nullptr};
          io.mask = mask.get();
          FastBlurRefcon direct{&io, radius, useLensMap, &source.def()};
          auto fn = vertical ? FastBlurV<TypeParam> : FastBlurH<TypeParam>;
          World expected(w, h, deep);
          for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
              TypeParam in = *GetPointerFromDataP<TypeParam>(&src.def(), y + shift, x + shift, 1);
              fn(&direct, x, y, &in, GetPointerFromDataP<TypeParam>(&expected.def(), y, x, 1));
            }
          for (int threads : {1, 2, 5}) {
            Host host;
            host.SetThreads(threads);
            PF_InData in{};
            in.effect_ref = reinterpret_cast<PF_ProgPtr>(&host);
            in.inter.abort = [](PF_ProgPtr ref) { return reinterpret_cast<Host*>(ref)->PollAbort(); };
            in.inter.progress = [](PF_ProgPtr ref, A_long done, A_long total) {
              return reinterpret_cast<Host*>(ref)->Progress(done, total);
            };
            World out(w, h, deep);
            const void* suite = nullptr;
            ASSERT_EQ(host.AcquireSuite(kPFIterate8Suite, 1, &suite), kSPNoError);
            PF_Err err = PF_Err_NONE;
            IO_Params run{&in, nullptr, nullptr, nullptr};
            run.iterate = static_cast<const PF_Iterate8Suite1*>(suite);
            host.RunAsCommand([&] {
              err = FastBlurBands(&run, &src.def(), &out.def(), radius, vertical,
                                  useLensMap ? &io : nullptr, &source.def());
            });
            ASSERT_EQ(err, PF_Err_NONE);
            EXPECT_TRUE(vt::SameImage(out, expected))
                << w << "x" << h << " shifted " << shift << ", radius " << radius
                << (vertical ? " vertical" : " horizontal")
                << ", map " << int(useLensMap) << ", " << threads << " threads";
            host.ReleaseSuite(kPFIterate8Suite, 1);
          }
        }
  }
}

TYPED_TEST(BlurDepths, UniformPictureStaysUnchangedInEveryMode) {
  const int full = PixelTraits<TypeParam>::kMax;
  World src = vt::Uniform(30, 30, TestFixture::kDeep, full, 120, 60, full);
  World source = vt::Uniform(30, 30, TestFixture::kDeep, full, 120, 60, full);
  vt::FakeMask mask(30, 30, 0.0);
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> d(0.0, 1.0);
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 30; ++x) mask.at(x, y) = d(rng);
  IO_Params io{nullptr, nullptr, &src.def(), nullptr};
  io.mask = mask.get();
  for (bool useLensMap : {false, true}) {
    for (A_long radius : {1, 7, 40}) {
      FastBlurRefcon rc{&io, radius, useLensMap, &source.def()};
      for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 30; ++x)
          for (auto fn : {FastBlurH<TypeParam>, FastBlurV<TypeParam>}) {
            const TypeParam out = Run<TypeParam>(fn, rc, x, y);
            ASSERT_EQ(out.red, 120);
            ASSERT_EQ(out.green, 60);
            ASSERT_EQ(out.blue, full);
          }
    }
  }
}

TYPED_TEST(BlurDepths, DirectionalKeepsAlphaAndSkipsTransparentSamples) {
  World src(5, 9, TestFixture::kDeep);
  for (int y = 0; y < 9; ++y) src.Set(2, y, 100, 0, y * 10, 0);
  src.Set(2, 5, 0, 0, 200, 0);  // transparent: not sampled
  vt::FakeMask mask(5, 9, 1.0);
  IO_Params io{nullptr, nullptr, &src.def(), nullptr};
  io.mask = mask.get();
  const auto entries = DirectionalKernelEntries(3, 0.0);
  DirectionalKernel k{&io, entries.data(), A_u_long(entries.size())};
  TypeParam in = *GetPointerFromDataP<TypeParam>(&src.def(), 4, 2, 1), out{};
  DirectionalBlur<TypeParam>(&k, 2, 4, &in, &out);
  // Rows 1..7 weigh 0, 1/3, 2/3, 1, (transparent), 1/3, 0 over green = 10·row:
  // (20/3 + 20 + 40 + 20) / (7/3) = 37.1.
  EXPECT_EQ(out.green, 37);
  EXPECT_EQ(out.alpha, 100);
  mask.at(2, 4) = 0.0001;
  DirectionalBlur<TypeParam>(&k, 2, 4, &in, &out);
  EXPECT_EQ(out.green, 40);
}

// A stage over bands of rows against its per-pixel routine, on a 61 × 37 picture with
// transparent pixels and a mask with values at and around the gate: run(io, info) renders
// the stage, pixel(io, x, y, in, out) the routine.
template <class P, class Run, class Pixel>
void ExpectStageEqualsRoutine(const KT_Info& info, Run run, Pixel pixel, const std::string& what) {
  constexpr bool deep = PixelTraits<P>::kDeep;
  auto host = vt::HostAfterARender(deep);
  PF_InData in = host->in_data();
  const int w = 61, h = 37;
  World src = vt::RandomWorld(w, h, deep, 12);
  vt::FakeMask mask(w, h, 1.0);
  std::mt19937 rng(9);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      if (rng() % 4 == 0) src.Set(x, y, 0, int(rng() % 200), 7, 9);
      if (rng() % 3 == 0) mask.at(x, y) = rng() % 2 ? 0.0001 : (rng() % 1000) / 1000.0;
    }
  World out(w, h, deep), expected(w, h, deep);
  IO_Params io{&in, nullptr, &src.def(), &out.def()};
  io.mask = mask.get();
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      P own = *GetPointerFromDataP<P>(&src.def(), y, x, 0);
      pixel(&io, x, y, &own, GetPointerFromDataP<P>(&expected.def(), y, x, 0));
    }
  PF_Err err = PF_Err_NONE;
  host->RunAsCommand([&] { err = run(&io, &info); });
  ASSERT_EQ(err, PF_Err_NONE) << what;
  EXPECT_TRUE(vt::SameImage(out, expected)) << what;
}

// Segments of several lengths and directions, reaching past every edge.
TYPED_TEST(BlurDepths, DirectionalStageEqualsThePerPixelRoutine) {
  for (float amount : {2.0f, 6.0f, 13.5f, 45.0f})
    for (double direction : {0.0, 0.3, 1.2, 2.7, -0.8}) {
      KT_Info info;
      std::memset(&info, 0, sizeof info);
      info.dirBlurVisible = true;
      info.dirBlurAmount = amount;
      info.dirBlurDirection = direction;
      const auto entries = DirectionalKernelEntries(amount, direction);
      ExpectStageEqualsRoutine<TypeParam>(
          info, RenderDirectionalBlurEffect,
          [&](IO_Params* io, A_long x, A_long y, TypeParam* in, TypeParam* out) {
            DirectionalKernel k{io, entries.data(), A_u_long(entries.size())};
            DirectionalBlur<TypeParam>(&k, x, y, in, out);
          },
          "amount " + std::to_string(amount) + ", direction " + std::to_string(direction));
    }
}

// Centres inside, on the edge and off the picture, angles from slight to nearly flat (the
// whole lens one pixel at 179.99°).
TYPED_TEST(BlurDepths, DistortionStageEqualsThePerPixelRoutine) {
  const std::pair<A_long, A_long> centres[] = {{30, 18}, {0, 0}, {60, 36}, {-25, 50}, {7, 29}};
  for (const auto& [cx, cy] : centres)
    for (float amount : {20.0f, 90.0f, 160.0f, 179.99f}) {
      KT_Info info;
      std::memset(&info, 0, sizeof info);
      info.distortVisible = true;
      info.distortAmount = amount;
      info.distortCenterX = cx;
      info.distortCenterY = cy;
      ExpectStageEqualsRoutine<TypeParam>(
          info, RenderOpticalDistortionEffect,
          [&](IO_Params* io, A_long x, A_long y, TypeParam* in, TypeParam* out) {
            DistortionRefcon rc{cx, cy, DistortionFocalLength(61, 37, amount), io};
            OpticalDistortion<TypeParam>(&rc, x, y, in, out);
          },
          "centre " + std::to_string(cx) + ", " + std::to_string(cy) + ", amount " + std::to_string(amount));
    }
}

TEST(DirectionalKernel, AmountThreeAtZeroDegreesIsAVerticalRun) {
  const auto e = DirectionalKernelEntries(3, 0.0);
  ASSERT_EQ(e.size(), 7u);
  const double w[7] = {0, 1 / 3.0, 2 / 3.0, 1, 2 / 3.0, 1 / 3.0, 0};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(e[size_t(i)].dx, 0);
    EXPECT_EQ(e[size_t(i)].dy, i - 3);
    EXPECT_DOUBLE_EQ(e[size_t(i)].weight, w[i]);
  }
  EXPECT_EQ(DirectionalKernelEntries(0.9f, 0.0).size(), 1u);  // degenerates into a copy
}

TEST(DirectionalKernel, HugeAmountsKeepTheirWeights) {
  // From 46341 the squares overflow 32 bits; the ends must still weigh 0, the centre 1.
  const auto e = DirectionalKernelEntries(50000, 0.7);
  ASSERT_GT(e.size(), 50000u);
  EXPECT_NEAR(e.front().weight, 0.0, 1e-9);
  EXPECT_NEAR(e.back().weight, 0.0, 1e-9);
  double top = 0;
  for (const auto& entry : e) {
    ASSERT_GE(entry.weight, -1e-9);
    top = std::max(top, entry.weight);
  }
  EXPECT_EQ(top, 1.0);
}

TEST(Distortion, NinetyDegreesFromTheCornerOfA300By400Picture) {
  const double f = DistortionFocalLength(300, 400, 90);
  EXPECT_NEAR(f, 500, 1e-9);
  DistortionRefcon rc{0, 0, f, nullptr};
  double row, col;
  ASSERT_TRUE(DistortionSamplePosition(&rc, 300, 400, &row, &col));
  EXPECT_NEAR(col, 212.13, 0.005);
  EXPECT_NEAR(row, 282.84, 0.005);
  EXPECT_FALSE(DistortionSamplePosition(&rc, 0, 0, &row, &col));  // the centre stays
  ASSERT_TRUE(DistortionSamplePosition(&rc, 1000000, 0, &row, &col));
  EXPECT_NEAR(col, f, 0.01);  // far from the centre the sample radius approaches f
  EXPECT_LT(DistortionFocalLength(300, 400, 180), 0.0001);  // the lens shows one colour
}

template <class P>
PF_Err DistortAt(DistortionRefcon* rc, World& src, int x, int y, P* out) {
  P in = *GetPointerFromDataP<P>(&src.def(), y, x, 1);
  return OpticalDistortion<P>(rc, x, y, &in, out);
}

TYPED_TEST(BlurDepths, DistortionKeepsCentreAndOutsideAndFlattensAtTinyFocus) {
  World src = vt::RandomWorld(20, 20, TestFixture::kDeep, 21);
  vt::FakeMask mask(20, 20, 1.0);
  mask.at(3, 3) = 0.0;
  IO_Params io{nullptr, nullptr, &src.def(), nullptr};
  io.mask = mask.get();
  DistortionRefcon rc{10, 10, 5.0, &io};
  TypeParam out{};
  DistortAt(&rc, src, 10, 10, &out);
  EXPECT_EQ(out.red, src.Get(10, 10)[1]);
  DistortAt(&rc, src, 3, 3, &out);
  EXPECT_EQ(out.green, src.Get(3, 3)[2]);
  DistortAt(&rc, src, 15, 12, &out);
  EXPECT_EQ(out.alpha, src.Get(15, 12)[0]);  // alpha stays
  rc.focal = 0.00005;
  DistortAt(&rc, src, 17, 2, &out);
  EXPECT_EQ(out.blue, src.Get(10, 10)[3]);
  EXPECT_EQ(out.alpha, src.Get(10, 10)[0]);
}

TEST(TrailGeometry, WorkedValues) {
  const PF_Rect e{0, 0, 100, 100};
  TrailGeometry g = ComputeTrailGeometry(e, 50, 50, 1.0f);
  EXPECT_EQ(g.cx, 50);
  EXPECT_EQ(g.distance, 70);  // to (0, 0): trunc(√5000)
  EXPECT_EQ(g.length, 70);
  EXPECT_EQ(g.radius, 3);
  g = ComputeTrailGeometry(e, 50, 50, 0.01f);
  EXPECT_EQ(g.length, 0);
  EXPECT_EQ(g.radius, 0);
  g = ComputeTrailGeometry(e, -30, 500, 0.5f);  // moved one pixel inside
  EXPECT_EQ(g.cx, 1);
  EXPECT_EQ(g.cy, 98);
  g = ComputeTrailGeometry(e, 10, 80, 0.5f);    // farthest corner (100, 0)
  EXPECT_EQ(g.distance, A_long(std::sqrt(90.0 * 90 + 80 * 80)));
}

// The window means without a division equal the definition's C(s / w + 0.5) for the sums a
// window can hold (16-bit channels up to 65535): all of them where they are few; where they
// are many, every sum within 3 of each rounding boundary (where s / w + 0.5 passes a whole
// number) and 200000 others. The scalar form, the double-precision vectors and, where they
// are chosen, the single-precision ones; the radii include the last ones single precision
// takes (31 at 16 bits, 8207 at 8 bits) and the first ones it leaves. The vector forms
// serve sums of 32 bits only.
TEST(PlainMeans, EqualTheDefinitionAtEveryRadius) {
  std::mt19937_64 rng(9);
  for (bool deep : {false, true})
    for (A_long r : {0, 1, 2, 20, 31, 32, 255, 2000, 8207, 8208, 32767}) {
      const PlainMeans means(r, deep);
      EXPECT_EQ(means.singles(), r <= (deep ? 31 : 8207)) << r;
      const PlainMeans::Singles singles = means.singlesView();
      const PlainMeans::Doubles doubles = means.doublesView();
      const int64_t w = 2 * int64_t(r) + 1, kMax = deep ? 65535 : 255, top = kMax * w;
      int wrong = 0;
      auto check = [&](int64_t s) {
        if (s < 0 || s > top) return;
        const A_u_short expected = A_u_short(double(s) / double(w) + 0.5);
        const V4i lanes = {int32_t(s), 0, int32_t(s), int32_t(s)};
        wrong += means(s) != expected;
        if (s > INT32_MAX) return;  // the vector forms serve sums of 32 bits
        wrong += doubles(lanes)[0] != expected || doubles(lanes)[3] != expected;
        if (means.singles()) wrong += singles(lanes)[0] != expected || singles(lanes)[2] != expected;
      };
      if (top <= (int64_t(1) << 22)) {
        for (int64_t s = 0; s <= top; ++s) check(s);
      } else {
        for (int64_t k = 0; k <= kMax; ++k)
          for (int64_t d = -3; d <= 3; ++d) check(k * w + (w - 1) / 2 + d);
        for (int i = 0; i < 200000; ++i) check(int64_t(rng() % uint64_t(top + 1)));
      }
      EXPECT_EQ(wrong, 0) << "radius " << r << (deep ? ", 16 bits" : ", 8 bits");
    }
}

// Both vector widths give, lane by lane, the scalar sum in the definition's order; values
// that round differently in another order (a wide spread of magnitudes) make a reordering
// show.
TEST(TrailSums, EveryWidthAddsEachLaneInOrder) {
  std::mt19937 rng(77);
  for (A_long N : {1, 3, 17, 200}) {
    const int count = 40;
    std::vector<double> weight(static_cast<size_t>(N));
    for (A_long k = 0; k < N; ++k) weight[size_t(k)] = std::ldexp(1.0 + rng() % 1000, -int(rng() % 40));
    std::vector<std::vector<double>> ch(4, std::vector<double>(size_t(count + N + kTrailLanes)));
    for (auto& c : ch)
      for (auto& v : c) v = rng() % 3 ? double(rng() % 65536) : 0.0;
    const double* channels[4] = {ch[0].data(), ch[1].data(), ch[2].data(), ch[3].data()};
    for (int i : {0, 5, count - 1})
      for (bool colours : {false, true}) {  // the colours alone leave the counts' row untouched
        double plain[4][kTrailLanes], wide[4][kTrailLanes];
        std::fill(plain[3], plain[3] + kTrailLanes, -1.0);
        std::fill(wide[3], wide[3] + kTrailLanes, -1.0);
        TrailLaneSums(false, channels, i, N, weight.data(), plain, colours);
        TrailLaneSums(true, channels, i, N, weight.data(), wide, colours);
        for (int c = 0; c < 4; ++c)
          for (int lane = 0; lane < kTrailLanes; ++lane) {
            double expected = 0;
            for (A_long k = 0; k < N; ++k) expected += ch[size_t(c)][size_t(i + lane + k)] * weight[size_t(k)];
            if (colours && c == 3) expected = -1.0;
            EXPECT_EQ(plain[c][lane], expected) << "N " << N << " i " << i << " channel " << c;
            EXPECT_EQ(wide[c][lane], expected) << "N " << N << " i " << i << " channel " << c;
          }
      }
  }
  std::printf("trail sums: 256-bit vectors %s\n", WideVectors() ? "compared" : "not run here");
}

// The literal walk: edge pixels in row-major order, each line writing the pixels that are
// still transparent black.
template <class P>
World SequentialTrail(const World& src, A_long cx, A_long cy, A_long N) {
  World dst(src.width(), src.height(), PixelTraits<P>::kDeep);
  std::vector<PF_FixedPoint> pts(size_t(std::max(src.width(), src.height())) * 2 + 2);
  for (int y = 0; y < src.height(); ++y) {
    for (int x = 0; x < src.width(); ++x) {
      if (x != 0 && y != 0 && x != src.width() - 1 && y != src.height() - 1) continue;
      const int n = ComputeLinePTs(x, y, cx, cy, pts.data());
      for (int i = 0; i < n; ++i) {
        P* d = GetPointerFromDataP<P>(&dst.def(), pts[size_t(i)].y, pts[size_t(i)].x, 1);
        if (d->alpha || d->red || d->green || d->blue) continue;
        const P own = GetPointerFromData<P>(&src.def(), pts[size_t(i)].y, pts[size_t(i)].x, 1);
        if (N == 0) {
          *d = own;
          continue;
        }
        double r = 0, g = 0, b = 0, w = 0;
        for (int k = 0; k < N && i + k < n; ++k) {
          const P q = GetPointerFromData<P>(&src.def(), pts[size_t(i + k)].y, pts[size_t(i + k)].x, 0);
          if (!q.alpha) continue;
          const double f = double(N - k) / N, fw = f * f;
          r += q.red * fw;
          g += q.green * fw;
          b += q.blue * fw;
          w += fw;
        }
        using C = typename PixelTraits<P>::Channel;
        *d = w == 0 ? P{own.alpha, 0, 0, 0} : P{own.alpha, C(r / w), C(g / w), C(b / w)};
      }
    }
  }
  return dst;
}

// Pictures for the trail: random (the means come from the exact sums), and flat patches with
// stripes, a gradient, 16-bit values above white and transparent holes (flat windows take
// their value's mean, windows with holes or at a line's end sum in order). The flat half
// lies across the lines of the 160 x 50 case (N = 38).
World TrailPicture(int kind, int w, int h, bool deep) {
  if (kind == 0) {
    World src = vt::RandomWorld(w, h, deep, 31);
    for (int y = 0; y < h; ++y)  // transparent and black patches make lines cross twice
      for (int x = 0; x < w; x += 3) src.Set(x, y, y % 2 ? 0 : src.Get(x, y)[0], 0, 0, 0);
    return src;
  }
  World src(w, h, deep);
  const int top = deep ? 65535 : 255;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      // Flat values whose mean of N equal samples, summed in order, truncates below them
      // (13, 42, 57 and 32791 at N = 38), next to ones where it does not.
      if (x < w / 2) src.Set(x, y, top, deep ? 32791 : 42, y % 2 ? 13 : 57, 255);
      else if (y < h / 2) src.Set(x, y, top, x * top / w, y % 7 == 0 ? 3 : 5, 77);
      else if ((x + y) % 11 == 0) src.Set(x, y, 0, 0, 0, 0);
      else src.Set(x, y, top, 82, top, 1);
    }
  return src;
}

TYPED_TEST(BlurDepths, TrailClaimsEqualTheSequentialWalkForAnyThreadCount) {
  constexpr bool deep = TestFixture::kDeep;
  struct Case { int kind, w, h; A_long cx, cy; float amount; };
  const Case cases[] = {{0, 37, 29, 11, 9, 0.6f},    {0, 1, 29, 11, 9, 0.6f},
                        {1, 160, 50, 150, 25, 0.5f}, {1, 61, 43, 5, 40, 1.0f},
                        {0, 40, 31, 1, 1, 0.7f},     {0, 33, 2, 20, 1, 0.9f},
                        {1, 48, 48, 24, 24, 0.05f}};
  for (const Case& c : cases) {
    const World src = TrailPicture(c.kind, c.w, c.h, deep);
    const TrailGeometry g = ComputeTrailGeometry(PF_Rect{0, 0, c.w, c.h}, c.cx, c.cy, c.amount);
    const World expected = SequentialTrail<TypeParam>(src, g.cx, g.cy, g.length);
    for (int threads : {1, 3, 8}) {
      Host host;
      host.SetThreads(threads);
      PF_InData in{};
      in.effect_ref = reinterpret_cast<PF_ProgPtr>(&host);
      in.inter.abort = [](PF_ProgPtr ref) { return reinterpret_cast<Host*>(ref)->PollAbort(); };
      in.inter.progress = [](PF_ProgPtr ref, A_long done, A_long total) {
        return reinterpret_cast<Host*>(ref)->Progress(done, total);
      };
      IO_Params io{&in, nullptr, const_cast<PF_EffectWorld*>(&src.def()), nullptr};
      const TrailRefcon rc{g.cx, g.cy, &io, c.amount, g.distance};
      const void* suite = nullptr;
      ASSERT_EQ(host.AcquireSuite(kPFIterate8Suite, 1, &suite), kSPNoError);
      for (bool anyMethod : {false, true}) {
        World dst(c.w, c.h, deep);
        io.dst = &dst.def();
        PF_Err err = PF_Err_NONE;
        io.iterate = static_cast<const PF_Iterate8Suite1*>(suite);
        host.RunAsCommand([&] { err = TrailDraw(&rc, anyMethod); });
        ASSERT_EQ(err, PF_Err_NONE);
        EXPECT_TRUE(vt::SameImage(dst, expected))
            << "picture " << c.kind << ", " << c.w << "x" << c.h << ", " << threads << " threads"
            << (anyMethod ? ", quickest method" : ", claims");
      }
      host.ReleaseSuite(kPFIterate8Suite, 1);
    }
  }
}

// ---- whole renders ------------------------------------------------------------------------

std::unique_ptr<Host> HostWith(std::initializer_list<std::pair<const char*, const char*>> sets) {
  auto host = vt::LoadedHost();
  vt::Set(*host, "Fast Blur/Visible", "off");
  for (auto& [k, v] : sets) vt::Set(*host, k, v);
  return host;
}

World RenderWith(Host& host, const World& input) {
  World out(input.width(), input.height(), input.deep());
  EXPECT_EQ(host.Render(input, out), PF_Err_NONE);
  EXPECT_EQ(host.LiveWorlds(), 0);
  EXPECT_EQ(host.OutstandingSuites(), 0);
  return out;
}

TEST(BlurStage, OffAmountsAndZeroScaleCopy) {
  const World input = vt::RandomWorld(30, 20, false, 41);
  auto plain = HostWith({{"Type", "None"}});
  const World expected = RenderWith(*plain, input);
  EXPECT_TRUE(vt::SameImage(expected, input));
  for (auto sets : {std::initializer_list<std::pair<const char*, const char*>>{
                        {"Type", "None"}, {"Fast Blur/Visible", "on"}, {"Fast Blur/Amount", "0.9"}},
                    {{"Type", "None"}, {"Fast Blur/Visible", "on"}, {"Scale", "0"}},
                    {{"Type", "None"}, {"Optical Distortion/Amount", "0"}},
                    {{"Type", "None"}, {"Trail/Visible", "off"}, {"Trail/Amount", "50"}},
                    {{"Type", "None"}, {"Directional Blur/Amount", "0.5"}}}) {
    auto host = HostWith(sets);
    EXPECT_TRUE(vt::SameImage(RenderWith(*host, input), expected));
  }
}

TEST(BlurStage, FastBlurNeverChangesAlpha) {
  const World input = vt::RandomWorld(33, 21, false, 42);
  auto host = HostWith({{"Type", "None"}, {"Fast Blur/Visible", "on"}, {"Fast Blur/Amount", "4"}});
  const World out = RenderWith(*host, input);
  for (int y = 0; y < 21; ++y)
    for (int x = 0; x < 33; ++x) ASSERT_EQ(out.Get(x, y)[0], input.Get(x, y)[0]);
}

TEST(BlurStage, FailingTrailStopsTheChain) {
  const World input = vt::RandomWorld(24, 24, false, 43);
  auto host = HostWith({{"Trail/Amount", "50"}, {"Directional Blur/Amount", "4"}});
  host->faults.failIterateAt = 2;  // the trail's first iteration, after the lens mask's
  World out(24, 24, false);
  EXPECT_EQ(host->Render(input, out), PF_Err_INTERNAL_STRUCT_DAMAGED);
  EXPECT_EQ(host->IterateCalls() + host->GenericIterateCalls(), 2);
  EXPECT_EQ(host->LiveWorlds(), 0);
}

TEST(BlurStage, FailingHighlightMapStopsTheChain) {
  const World input = vt::RandomWorld(24, 24, false, 44);
  auto host = HostWith({{"Fast Blur/Visible", "off"}, {"Realistic Blur  [very slow]/Amount", "5"}});
  host->faults.failIterateAt = 2;  // the highlight map's, after the lens mask's
  World out(24, 24, false);
  EXPECT_EQ(host->Render(input, out), PF_Err_INTERNAL_STRUCT_DAMAGED);
  EXPECT_EQ(host->IterateCalls() + host->GenericIterateCalls(), 2);
  EXPECT_EQ(host->LiveWorlds(), 0);
}

// Which blurs run in which pass, seen in the host's iterate calls: a fast blur is six
// iterations (three horizontal and vertical pairs).
TEST(BlurStage, PassesRunTheBlursTheyShould) {
  const World input = vt::RandomWorld(30, 30, false, 47);
  auto count = [&](std::initializer_list<std::pair<const char*, const char*>> sets) {
    auto host = HostWith(sets);
    RenderWith(*host, input);
    return host->IterateCalls() + host->GenericIterateCalls();
  };
  // The lens mask, fast blur (six), and the composite with the lens composite (one pass
  // where the composite comes right before the lens composite); lightness at amount 0 hands
  // its source on.
  const int plain = count({{"Fast Blur/Visible", "on"}});
  EXPECT_EQ(plain, 8);
  // In blur-map mode with a wide feather the fast blur runs again in the blur-map pass, and
  // the composite moves after it: the lens composite runs on its own. A fast blur with the
  // map first finds where the map is 1, in one more (both times). The composite itself, 8-bit
  // Normal at 100 %, gives every pixel back and hands the picture on; at 70 % it runs.
  EXPECT_EQ(count({{"Fast Blur/Visible", "on"}, {"Fast Blur/Use Lens as Blur Map", "on"},
                   {"Feather", "30"}}),
            plain + 1 + 6 + 1);
  EXPECT_EQ(count({{"Fast Blur/Visible", "on"}, {"Fast Blur/Use Lens as Blur Map", "on"},
                   {"Feather", "30"}, {"INTENSITY", "70"}}),
            plain + 1 + 6 + 2);
  // With chromatic aberration on, the composite runs in both places (the first with the
  // lens composite), after the aberration.
  EXPECT_EQ(count({{"Fast Blur/Visible", "on"}, {"Fast Blur/Use Lens as Blur Map", "on"},
                   {"Feather", "30"}, {"Red/Cyan", "10"}, {"MODE", "Screen"}}),
            plain + 1 + 6 + 2 + 1);
  // A realistic blur in blur-map mode skips the main pass and runs in the blur-map pass, as
  // one iteration per batch of kernels (the composite then moves after it); without the map
  // it runs in the main pass, as one iteration over bands of rows. Either first makes its
  // highlight map and prepares its samples in two more, but for a small kernel without the
  // map, whose bands make their own samples.
  const int base = count({});
  EXPECT_EQ(base, 2);  // the mask, the composite with the lens composite
  EXPECT_EQ(count({{"Lightness/Amount", "10"}}), base + 1);
  EXPECT_EQ(count({{"Realistic Blur  [very slow]/Amount", "3"}}), base + 2);
  EXPECT_EQ(count({{"Realistic Blur  [very slow]/Amount", "9"}}), base + 3);
  EXPECT_EQ(count({{"Realistic Blur  [very slow]/Amount", "3"},
                   {"Realistic Blur  [very slow]/Use Lens as Blur Map", "on"}}),
            base + 3);
}

TEST(BlurStage, EveryBlurIdenticalForEveryThreadCount) {
  for (bool deep : {false, true}) {
    const World input = vt::RandomWorld(48, 36, deep, 44);
    std::optional<World> first;
    for (int threads : {1, 4}) {
      auto host = HostWith({{"Feather", "60"}, {"Fast Blur/Visible", "on"}, {"Fast Blur/Amount", "3"},
                            {"Fast Blur/Use Lens as Blur Map", "on"},
                            {"Optical Distortion/Amount", "70"}, {"Trail/Amount", "60"},
                            {"Trail/Center of the Lens", "off"}, {"Trail/Center", "5,30"},
                            {"Directional Blur/Amount", "4"}, {"Direction", "20"}});
      host->SetThreads(threads);
      World out = RenderWith(*host, input);
      if (!first) first = std::move(out);
      else EXPECT_TRUE(vt::SameImage(out, *first)) << threads << " threads";
    }
  }
}

TEST(BlurStage, HugeAmountsOnTinyPicturesStayInside) {
  const World input = vt::RandomWorld(3, 2, true, 45);
  auto host = HostWith({{"Type", "None"}, {"Fast Blur/Visible", "on"}, {"Fast Blur/Amount", "32768"},
                        {"Directional Blur/Amount", "65536"}, {"Trail/Amount", "100"},
                        {"Optical Distortion/Amount", "179"}});
  RenderWith(*host, input);
  const World line = vt::RandomWorld(1, 9, false, 46);
  auto trail = HostWith({{"Trail/Amount", "100"}});
  RenderWith(*trail, line);
}

}  // namespace
