// Colour overlay, blend modes, lightness and chromatic aberration at both depths.
#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <type_traits>

#include "color/chromatic.h"
#include "color/composite.h"
#include "color/lightness.h"
#include "color/overlay.h"
#include "color/lens_composite.h"
#include "helpers.h"
#include "core/pixel.h"

namespace {

using vt::World;

// The host's maths callbacks, for routines that reach them through io->in_data.
struct TestInData {
  PF_UtilCallbacks utils{};
  PF_InData in{};
  IO_Params io{};
  TestInData() {
    utils.ansi.pow = [](double x, double y) { return std::pow(x, y); };
    in.utils = &utils;
    io.in_data = &in;
  }
};

template <class P>
P Px(int a, int r, int g, int b) {
  using C = typename PixelTraits<P>::Channel;
  return P{C(a), C(r), C(g), C(b)};
}

template <class P>
PF_Err Opacity(OpacityRefcon* rc, A_long x, A_long y, P* in, P* out) {
  if constexpr (PixelTraits<P>::kDeep) return OpacityWithMode16(rc, x, y, in, out);
  else return OpacityWithMode8(rc, x, y, in, out);
}

template <class P>
class ColorDepths : public ::testing::Test {};
using PixelTypes = ::testing::Types<PF_Pixel, PF_Pixel16>;
TYPED_TEST_SUITE(ColorDepths, PixelTypes);

TYPED_TEST(ColorDepths, OverlayMixesEveryChannelTowardTheColour) {
  constexpr bool deep = PixelTraits<TypeParam>::kDeep;
  ColorRefcon rc{1.0f, PF_Pixel{255, 255, 255, 255}};
  TypeParam in = Px<TypeParam>(0, 10, 20, 30), out{};
  if constexpr (deep) ColorEffect16(&rc, 0, 0, &in, &out);
  else ColorEffect8(&rc, 0, 0, &in, &out);
  const int full = deep ? 32767 : 255;
  EXPECT_EQ(out.alpha, full);
  EXPECT_EQ(out.red, full);
  EXPECT_EQ(out.blue, full);
  rc.opacity = 0;
  if constexpr (deep) ColorEffect16(&rc, 0, 0, &in, &out);
  else ColorEffect8(&rc, 0, 0, &in, &out);
  EXPECT_EQ(out.green, 20);
  rc = ColorRefcon{0.3f, PF_Pixel{0, 100, 0, 0}};
  if constexpr (!deep) {
    ColorEffect8(&rc, 0, 0, &in, &out);
    EXPECT_EQ(out.red, A_u_char((100.0f - 10.0f) * 0.3f + 10.0f));  // 37
    EXPECT_EQ(out.red, 37);
  }
}

TYPED_TEST(ColorDepths, OutsideTheLensEveryModeGivesTheProcessedPixel) {
  constexpr bool deep = PixelTraits<TypeParam>::kDeep;
  World input = vt::Uniform(1, 1, deep, 50, 50, 50, 50);
  vt::FakeMask mask(1, 1, 0.00009);
  IO_Params io{};
  io.mask = mask.get();
  for (int mode = 1; mode <= 4; ++mode) {
    OpacityRefcon rc{&input.def(), 1.0f, BlendMode(mode), &io, deep};
    TypeParam P = Px<TypeParam>(1, 2, 3, 4), out{};
    Opacity(&rc, 0, 0, &P, &out);
    EXPECT_EQ(out.red, 2) << mode;
    EXPECT_EQ(out.alpha, 1) << mode;
  }
}

TYPED_TEST(ColorDepths, MultiplyByFullLeavesTheInput) {
  constexpr bool deep = PixelTraits<TypeParam>::kDeep;
  constexpr int max = PixelTraits<TypeParam>::kMax;
  World input = vt::Uniform(1, 1, deep, 17, 200, 0, max);
  vt::FakeMask mask(1, 1, 1.0);
  IO_Params io{};
  io.mask = mask.get();
  OpacityRefcon rc{&input.def(), 1.0f, BlendMode(4), &io, deep};
  TypeParam P = Px<TypeParam>(max, max, max, max), out{};
  Opacity(&rc, 0, 0, &P, &out);
  EXPECT_EQ(out.alpha, 17);
  EXPECT_EQ(out.red, 200);
  EXPECT_EQ(out.green, 0);
  EXPECT_EQ(out.blue, max);
}

TEST(BlendModes8, NormalAddScreenMultiplyExamples) {
  World input = vt::Uniform(1, 1, false, 200, 200, 200, 200);
  vt::FakeMask mask(1, 1, 1.0);
  IO_Params io{};
  io.mask = mask.get();
  OpacityRefcon rc{&input.def(), 1.0f, BlendMode(2), &io, false};
  PF_Pixel P{100, 100, 100, 100}, out{};
  OpacityWithMode8(&rc, 0, 0, &P, &out);
  EXPECT_EQ(out.red, 255);  // Add, limited
  mask.at(0, 0) = 0.5;
  OpacityWithMode8(&rc, 0, 0, &P, &out);
  EXPECT_EQ(out.red, 250);
  rc.mode = BlendMode::kNormal;
  rc.intensity = 0;  // Normal at intensity 0: the input wherever the gate passes
  OpacityWithMode8(&rc, 0, 0, &P, &out);
  EXPECT_EQ(out.red, 200);
  rc.intensity = 0.5f;  // Normal ignores the mask in 8 bits
  OpacityWithMode8(&rc, 0, 0, &P, &out);
  EXPECT_EQ(out.red, 150);
  rc.mode = BlendMode(3);  // Screen: s = trunc((1 − (1 − 200/255)(1 − 50/255))·255) = 210
  rc.intensity = 1;
  OpacityWithMode8(&rc, 0, 0, &P, &out);
  EXPECT_EQ(out.red, 210);
  rc.mode = BlendMode(4);  // Multiply: q = 100·200/255 = 78, d = −122, out = 200 − 122·0.5 = 139
  OpacityWithMode8(&rc, 0, 0, &P, &out);
  EXPECT_EQ(out.red, 139);
}

// The 8-bit Normal composite runs four channels at once; every pair of channel values gives
// the scalar expression's byte, at intensities across the control's range.
TEST(BlendModes8, NormalEqualsTheScalarExpressionForEveryPair) {
  World input(1, 1, false);
  vt::FakeMask mask(1, 1, 1.0);
  IO_Params io{};
  io.mask = mask.get();
  int wrong = 0;
  for (float I : {0.0f, 0.01f, 0.3f, 0.5f, 0.7f, 0.99f, 1.0f}) {
    OpacityRefcon rc{&input.def(), I, BlendMode(1), &io, false};
    for (int o = 0; o < 256; ++o) {
      input.Set(0, 0, o, 255 - o, o / 2, 7);
      for (int p = 0; p < 256; ++p) {
        PF_Pixel P{A_u_char(p), A_u_char(255 - p), A_u_char(p / 3), A_u_char(200)}, out{};
        OpacityWithMode8(&rc, 0, 0, &P, &out);
        auto expect = [I](int a, int b) { return A_u_char(float(a) * I + float(b) * (1 - I)); };
        wrong += out.alpha != expect(p, o) || out.red != expect(255 - p, 255 - o) ||
                 out.green != expect(p / 3, o / 2) || out.blue != expect(200, 7);
      }
    }
  }
  EXPECT_EQ(wrong, 0);
}

TEST(BlendModes, GateDiffersAtTheThreshold) {
  World in8 = vt::Uniform(1, 1, false, 9, 9, 9, 9), in16 = vt::Uniform(1, 1, true, 9, 9, 9, 9);
  vt::FakeMask mask(1, 1, 0.0001);
  IO_Params io{};
  io.mask = mask.get();
  OpacityRefcon rc8{&in8.def(), 0.0f, BlendMode(1), &io, false}, rc16{&in16.def(), 0.0f, BlendMode(1), &io, true};
  PF_Pixel p8{1, 1, 1, 1}, o8{};
  PF_Pixel16 p16{1, 1, 1, 1}, o16{};
  OpacityWithMode8(&rc8, 0, 0, &p8, &o8);
  OpacityWithMode16(&rc16, 0, 0, &p16, &o16);
  EXPECT_EQ(o8.red, 9);   // 8 bits composites at m = 0.0001
  EXPECT_EQ(o16.red, 1);  // 16 bits keeps the processed pixel
}

TEST(BlendModes16, AddLimitsOnTheMaskedSumButAddsTheFullPixel) {
  World input = vt::Uniform(1, 1, true, 30000, 30000, 30000, 30000);
  vt::FakeMask mask(1, 1, 0.1);
  IO_Params io{};
  io.mask = mask.get();
  OpacityRefcon rc{&input.def(), 1.0f, BlendMode(2), &io, true};
  PF_Pixel16 P{10000, 10000, 10000, 10000}, out{};
  OpacityWithMode16(&rc, 0, 0, &P, &out);
  EXPECT_EQ(out.red, 31000);  // s = 40000 kept wide, final blend by 0.1
  mask.at(0, 0) = 1.0;
  OpacityWithMode16(&rc, 0, 0, &P, &out);
  EXPECT_EQ(out.red, 32768);
}

TEST(BlendModes16, NormalIsWeightedByTheMaskOnceMore) {
  World input = vt::Uniform(1, 1, true, 1000, 1000, 1000, 1000);
  vt::FakeMask mask(1, 1, 0.5);
  IO_Params io{};
  io.mask = mask.get();
  OpacityRefcon rc{&input.def(), 0.5f, BlendMode(1), &io, true};
  PF_Pixel16 P{3000, 3000, 3000, 3000}, out{};
  OpacityWithMode16(&rc, 0, 0, &P, &out);
  EXPECT_EQ(out.red, 1500);  // O + m·I·(P − O)
  rc.mode = BlendMode(3);
  rc.intensity = 1;
  P = PF_Pixel16{0, 0, 0, 0};
  mask.at(0, 0) = 1.0;
  OpacityWithMode16(&rc, 0, 0, &P, &out);
  EXPECT_EQ(out.red, 1000);  // Screen with black gives the input
}

TEST(BlendModes16, ReadsAnEightBitInputWidened) {
  World input = vt::Uniform(1, 1, false, 255, 255, 255, 255);
  vt::FakeMask mask(1, 1, 1.0);
  IO_Params io{};
  io.mask = mask.get();
  OpacityRefcon rc{&input.def(), 0.0f, BlendMode(1), &io, false};
  PF_Pixel16 P{0, 0, 0, 0}, out{};
  OpacityWithMode16(&rc, 0, 0, &P, &out);
  EXPECT_EQ(out.red, 32767);
}

// Settings of a lens at scale 1 (at the origin, no feather) and a composite.
KT_Info LensAndComposite(LensType lens, float intensity, A_long mode) {
  KT_Info info;
  std::memset(&info, 0, sizeof info);
  info.lensType = lens;
  info.scaleW = info.scaleH = 1;
  info.intensity = intensity;
  info.mode = BlendMode(mode);
  return info;
}

// The composite and the lens composite in one pass give the two stages' pixels, for every
// mode (5 composites as Normal), intensity, every depth, with and without the blur map's
// raised weight, over a mask with 0, 1, the gates' threshold and values between; at float
// over values of either sign, zeros of either sign among them.
TEST(CompositeThenLens, EqualsTheCompositeThenTheLensComposite) {
  auto host = vt::HostAfterARender(false);
  PF_InData in = host->in_data();
  const int w = 29, h = 7;
  vt::FakeMask mask(w, h, 0.0);
  std::mt19937 rng(12);
  const double special[] = {0.0, 1.0, 0.0001, 0.00005, 0.99999};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      mask.at(x, y) = rng() % 2 ? special[rng() % 5] : (rng() % 10000) / 10000.0;
  auto floats = [&](unsigned seed) {
    std::mt19937 values(seed);
    const float some[] = {0.0f, -0.0f, 1.0f, -0.25f, 0.5f, 2.5f};
    World p = World::Float(w, h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        float c[4];
        for (float& v : c) v = values() % 2 ? some[values() % 6] : float(values() % 2000) / 1000.0f - 0.5f;
        p.at<PF_PixelFloat>(x, y) = PF_PixelFloat{c[0], c[1], c[2], c[3]};
      }
    return p;
  };
  for (int depth : {8, 16, 32}) {
    const bool deep = depth == 16, float32 = depth == 32;
    World input = float32 ? floats(3) : vt::RandomWorld(w, h, deep, 3);
    World picture = float32 ? floats(4) : vt::RandomWorld(w, h, deep, 4);
    for (A_long mode : {1, 2, 3, 4, 5})
      for (float intensity : {0.0f, 0.3f, 1.0f})
        for (bool blurMap : {false, true}) {
          KT_Info info = LensAndComposite(LensType::kCircle, intensity, mode);
          info.fastBlurVisible = info.fastBlurLensMap = blurMap;
          info.fastBlurAmount = 150;  // strength 1.5 over a feather of 0
          DerivePlan(&info);
          World a = float32 ? World::Float(w, h) : World(w, h, deep);
          World expected = float32 ? World::Float(w, h) : World(w, h, deep);
          IO_Params io{&in, nullptr, &picture.def(), &a.def()};
          io.mask = mask.get();
          io.float32 = float32;
          OpacityRefcon composite{&input.def(), intensity, BlendMode(mode), &io, deep};
          LensRefcon lens;
          PF_Err err = PF_Err_NONE;
          host->RunAsCommand([&] { err = MakeLensRefcon(&io, &info, &input.def(), &lens); });
          ASSERT_EQ(err, PF_Err_NONE);
          ASSERT_EQ(lens.blurMap, blurMap);
          for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
              auto run = [&](auto* pixel) {
                using P = std::remove_pointer_t<decltype(pixel)>;
                P p = *GetPointerFromDataP<P>(&picture.def(), y, x, 1), c{};
                if constexpr (std::is_same_v<P, PF_Pixel>) {
                  OpacityWithMode8(&composite, x, y, &p, &c);
                  Lens8(&lens, x, y, &c, GetPointerFromDataP<P>(&expected.def(), y, x, 1));
                } else if constexpr (std::is_same_v<P, PF_Pixel16>) {
                  OpacityWithMode16(&composite, x, y, &p, &c);
                  Lens16(&lens, x, y, &c, GetPointerFromDataP<P>(&expected.def(), y, x, 1));
                } else {
                  OpacityWithMode32(&composite, x, y, &p, &c);
                  Lens32(&lens, x, y, &c, GetPointerFromDataP<P>(&expected.def(), y, x, 1));
                }
              };
              if (float32) run(static_cast<PF_PixelFloat*>(nullptr));
              else if (deep) run(static_cast<PF_Pixel16*>(nullptr));
              else run(static_cast<PF_Pixel*>(nullptr));
            }
          host->RunAsCommand([&] { err = RenderEffectThenLens(&io, &info, &input.def()); });
          ASSERT_EQ(err, PF_Err_NONE);
          ASSERT_EQ(io.dst, &a.def());
          EXPECT_TRUE(vt::SameImage(a, expected))
              << depth << " bits, mode " << mode << ", intensity " << intensity
              << (blurMap ? ", blur map" : "");
        }
  }
}

// At float the render lets the one-pass composite and lens composite write the picture it
// reads (the output holding its source): each pixel reads only its own, so in place gives
// the pixels of a separate output, for every mode, with and without a lens (the composite
// alone writes the output then), on 1 and 5 threads.
TEST(CompositeThenLens, InPlaceAtFloatGivesTheSamePixels) {
  auto host = vt::HostAfterARender(false);
  PF_InData in = host->in_data();
  const int w = 31, h = 40;
  vt::FakeMask mask(w, h, 0.0);
  std::mt19937 rng(14);
  std::uniform_real_distribution<float> value(-0.5f, 3.0f);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) mask.at(x, y) = rng() % 3 ? (rng() % 10000) / 10000.0 : double(rng() % 2);
  auto picture = [&] {
    World p = World::Float(w, h, 8);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        p.at<PF_PixelFloat>(x, y) = PF_PixelFloat{std::min(1.0f, std::fabs(value(rng))), value(rng), value(rng), value(rng)};
    return p;
  };
  const World input = picture(), source = picture();
  for (LensType lens : {LensType::kCircle, LensType::kNone})  // the composite alone where no lens
    for (A_long mode : {1, 2, 3, 4})
      for (int threads : {1, 5}) {
        host->SetThreads(threads);
        KT_Info info = LensAndComposite(lens, 0.7f, mode);
        DerivePlan(&info);
        World apart = World::Float(w, h), inPlace = World::Copy(source);
        PF_Err err = PF_Err_NONE;
        for (World* to : {&apart, &inPlace}) {
          PF_EffectWorld* from = to == &apart ? const_cast<PF_EffectWorld*>(&source.def()) : &inPlace.def();
          IO_Params io{&in, nullptr, from, &to->def()};
          io.mask = mask.get();
          io.float32 = true;
          host->RunAsCommand([&] { err = RenderEffectThenLens(&io, &info, const_cast<PF_EffectWorld*>(&input.def())); });
          ASSERT_EQ(err, PF_Err_NONE);
          ASSERT_EQ(io.dst, &to->def());
        }
        for (int y = 0; y < h; ++y)
          for (int x = 0; x < w; ++x)
            ASSERT_EQ(std::memcmp(&apart.at<PF_PixelFloat>(x, y), &inPlace.at<PF_PixelFloat>(x, y), sizeof(PF_PixelFloat)), 0)
                << "lens " << int(lens) << " mode " << mode << " threads " << threads << " at " << x << "," << y;
      }
}

// ---- lightness ----------------------------------------------------------------------------

int Light8(double amount, int c) {
  TestInData t;
  LightnessRefcon rc{std::pow(10.0, double(-float(amount))), &t.io, nullptr};
  PF_Pixel in{A_u_char(c), A_u_char(c), A_u_char(c), A_u_char(c)}, out{};
  Lightness8(&rc, 0, 0, &in, &out);
  EXPECT_EQ(out.alpha, out.red);  // alpha follows the same curve
  return out.red;
}
int Light16(double amount, int c) {
  TestInData t;
  LightnessRefcon rc{std::pow(10.0, double(-float(amount))), &t.io, nullptr};
  PF_Pixel16 in{A_u_short(c), A_u_short(c), A_u_short(c), A_u_short(c)}, out{};
  Lightness16(&rc, 0, 0, &in, &out);
  return out.blue;
}

TEST(Lightness, WorkedTable8Bit) {
  const int inputs[6] = {0, 1, 64, 128, 200, 255};
  const int plus100[6] = {0, 146, 222, 238, 248, 255};
  const int plus50[6] = {0, 44, 164, 205, 236, 255};
  const int minus100[6] = {0, 0, 0, 0, 22, 255};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(Light8(1.0, inputs[i]), plus100[i]) << inputs[i];
    EXPECT_EQ(Light8(0.5, inputs[i]), plus50[i]) << inputs[i];
    EXPECT_EQ(Light8(-1.0, inputs[i]), minus100[i]) << inputs[i];
  }
}

TEST(Lightness, WorkedValues16Bit) {
  EXPECT_EQ(Light16(1.0, 8192), 28526);
  EXPECT_EQ(Light16(1.0, 16384), 30573);
  EXPECT_EQ(Light16(-1.0, 16384), 32);
  for (double a : {-1.0, -0.3, 0.0, 0.7, 1.0}) {
    EXPECT_EQ(Light16(a, 0), 0);
    EXPECT_EQ(Light16(a, 32768), 32768);
  }
  // Above white, darkening raises the value (x^10 for x near 2): it stops at the top.
  EXPECT_EQ(Light16(-1.0, 40000), 65535);
  EXPECT_EQ(Light16(-1.0, 33000), int(std::pow(33000 / 32768.0, 10.0) * 32768.0));
}

TEST(Lightness, AmountZeroIsTheIdentityAtBothDepths) {
  for (int c = 0; c <= 255; ++c) ASSERT_EQ(Light8(0.0, c), c);
  for (int c = 0; c <= 32768; ++c) ASSERT_EQ(Light16(0.0, c), c);
}

// Amount 0 changes no pixel and hands the source on, no copy; unless the host's pow does not
// give x back for x^1, then the curve runs: at 16 bits for values above white, which are
// asked of pow only after the table passed.
TEST(Lightness, AmountZeroHandsTheSourceOnOnlyWhereEveryValueComesBack) {
  for (bool exactPow : {true, false}) {
    auto host = vt::HostAfterARender(true);
    PF_InData in = host->in_data();
    PF_UtilCallbacks utils = *in.utils;
    if (!exactPow)
      utils.ansi.pow = [](double x, double y) {
        return x > 1 && y == 1 ? x * 1.001 : std::pow(x, y);  // the factor, pow(10, -0), stays 1
      };
    in.utils = &utils;
    World src(2, 1, true), dst(2, 1, true);
    src.Set(0, 0, 32768, 100, 40000, 33000);
    src.Set(1, 0, 0, 1, 2, 3);
    IO_Params io{&in, nullptr, &src.def(), &dst.def()};
    KT_Info info;
    std::memset(&info, 0, sizeof info);
    info.lightnessVisible = 1;
    PF_Err err = PF_Err_NONE;
    host->RunAsCommand([&] { err = RenderLightnessEffect(&io, &info); });
    ASSERT_EQ(err, PF_Err_NONE);
    if (exactPow) {
      EXPECT_EQ(io.dst, &src.def());
      continue;
    }
    ASSERT_EQ(io.dst, &dst.def());
    const std::array<int, 4> above = {32768, 100, int(40000 / 32768.0 * 1.001 * 32768.0),
                                      int(33000 / 32768.0 * 1.001 * 32768.0)};
    EXPECT_EQ(dst.Get(0, 0), above);
    EXPECT_EQ(dst.Get(1, 0), (std::array<int, 4>{0, 1, 2, 3}));
  }
}

TEST(Lightness, WholeRenderFollowsTheCurveAtBothDepths) {
  for (bool deep : {false, true}) {
    auto host = vt::LoadedHost();
    vt::Set(*host, "Fast Blur/Visible", "off");
    vt::Set(*host, "Type", "None");
    vt::Set(*host, "Lightness/Amount", "100");
    World input(3, 2, deep);
    const int values[3] = {deep ? 8192 : 1, deep ? 16384 : 128, deep ? 40000 : 255};
    for (int x = 0; x < 3; ++x)
      for (int y = 0; y < 2; ++y) input.Set(x, y, values[x], values[x], values[x], values[x]);
    World out(3, 2, deep);
    ASSERT_EQ(host->Render(input, out), PF_Err_NONE);
    if (deep) {
      EXPECT_EQ(out.Get(0, 0)[1], 28526);
      EXPECT_EQ(out.Get(1, 1)[0], 30573);
      EXPECT_EQ(out.Get(2, 0)[3], int(std::pow(40000 / 32768.0, 0.1) * 32768.0));  // beyond white
    } else {
      EXPECT_EQ(out.Get(0, 0)[1], 146);
      EXPECT_EQ(out.Get(1, 1)[0], 238);
      EXPECT_EQ(out.Get(2, 0)[3], 255);
    }
  }
}

// ---- chromatic aberration -----------------------------------------------------------------

template <class P>
class Chromatic : public ::testing::Test {};
TYPED_TEST_SUITE(Chromatic, PixelTypes);

// Red = column, green = row, blue = column + row (wrapping at 8 bits).
World Coordinates(int w, int h, bool deep) {
  World world(w, h, deep);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const int wrap = deep ? 65536 : 256;
      world.Set(x, y, 9, x % wrap, y % wrap, (x + y) % wrap);
    }
  return world;
}

template <class P>
P Aberrate(ChromaticRefcon* rc, int x, int y) {
  P in = GetPointerFromData<P>(rc->io->src, y, x, 0), out{};
  ChromaticAberration<P, typename PixelTraits<P>::Channel>(rc, x, y, &in, &out);
  return out;
}

TYPED_TEST(Chromatic, RedReadsHalfwayToTheCentreAtFullAmount) {
  constexpr bool deep = PixelTraits<TypeParam>::kDeep;
  World src = Coordinates(400, 200, deep);
  vt::FakeMask mask(400, 200, 1.0);
  IO_Params io{nullptr, nullptr, &src.def(), nullptr};
  io.mask = mask.get();
  ChromaticRefcon rc{0.5f, 1.0f, 1.0f, 100, 100, &io};
  const TypeParam out = Aberrate<TypeParam>(&rc, 300, 100);
  EXPECT_EQ(out.red, src.Get(200, 100)[1]);
  EXPECT_EQ(out.green, src.Get(300, 100)[2]);
  EXPECT_EQ(out.blue, src.Get(300, 100)[3]);
  EXPECT_EQ(out.alpha, 9);
  const TypeParam centre = Aberrate<TypeParam>(&rc, 100, 100);
  EXPECT_EQ(centre.red, 100);
  EXPECT_EQ(Aberrate<TypeParam>(&rc, 97, 100).red, 99);   // −1.5 truncates to −1
  EXPECT_EQ(Aberrate<TypeParam>(&rc, 103, 100).red, 101);
  mask.at(300, 100) = 0.0001;                              // not inside the lens
  EXPECT_EQ(Aberrate<TypeParam>(&rc, 300, 100).red, src.Get(300, 100)[1]);
}

TYPED_TEST(Chromatic, CentreOffThePictureIsMirroredBack) {
  constexpr bool deep = PixelTraits<TypeParam>::kDeep;
  World src = Coordinates(50, 50, deep);
  vt::FakeMask mask(50, 50, 1.0);
  IO_Params io{nullptr, nullptr, &src.def(), nullptr};
  io.mask = mask.get();
  ChromaticRefcon rc{1.0f, 1.0f, 0.5f, -40, 10, &io};
  // Blue at (10, 10): column −40 + trunc(50·0.5) = −15, mirrored to 15; row stays 10.
  EXPECT_EQ(Aberrate<TypeParam>(&rc, 10, 10).blue, 25);
}

// The stage over bands of rows gives the per-pixel routine's pixels, with the centre inside
// and off the picture on either side (rows and columns then fold), over a mask with values
// at and around the gate.
TYPED_TEST(Chromatic, StageEqualsThePerPixelRoutine) {
  constexpr bool deep = PixelTraits<TypeParam>::kDeep;
  auto host = vt::HostAfterARender(deep);
  PF_InData in = host->in_data();
  const int w = 41, h = 23;
  World src = Coordinates(w, h, deep);
  vt::FakeMask mask(w, h, 1.0);
  std::mt19937 rng(8);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      if (rng() % 3 == 0) mask.at(x, y) = rng() % 2 ? 0.0001 : (rng() % 1000) / 1000.0;
  const std::pair<A_long, A_long> centres[] = {{20, 11}, {-40, 10}, {30, -35}, {90, 60}};
  for (const auto& [cx, cy] : centres) {
    KT_Info info;
    std::memset(&info, 0, sizeof info);
    info.chromaVisible = true;
    info.chromaRedCyan = 1.0f;
    info.chromaGreenMagenta = 0.37f;
    info.chromaBlueYellow = 0.8f;
    info.posX = cx;
    info.posY = cy;
    World out(w, h, deep), expected(w, h, deep);
    IO_Params io{&in, nullptr, &src.def(), &out.def()};
    io.mask = mask.get();
    ChromaticRefcon rc{1.0f - 0.5f * info.chromaRedCyan, 1.0f - 0.5f * info.chromaGreenMagenta,
                       1.0f - 0.5f * info.chromaBlueYellow, cx, cy, &io};
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        *GetPointerFromDataP<TypeParam>(&expected.def(), y, x, 0) = Aberrate<TypeParam>(&rc, x, y);
    PF_Err err = PF_Err_NONE;
    host->RunAsCommand([&] { err = RenderChromaticAberrationEffect(&io, &info); });
    ASSERT_EQ(err, PF_Err_NONE);
    EXPECT_TRUE(vt::SameImage(out, expected)) << "centre " << cx << ", " << cy;
  }
}

}  // namespace

// A stage that is off hands its source on before it asks the host anything: a lens composite
// without a lens does not query the input's pixel format, lightness off does not call pow.
TEST(StagesOff, AskTheHostNothing) {
  auto host = vt::HostAfterARender(false);
  host->faults.failPixelFormat = true;
  PF_InData in = host->in_data();
  in.utils = nullptr;  // any call through the host's utilities would crash
  World src = vt::RandomWorld(5, 4, false, 3), dst(5, 4, false), input = vt::RandomWorld(5, 4, false, 4);
  KT_Info info{};
  info.lensType = LensType::kNone;
  info.scaleW = info.scaleH = 1;
  DerivePlan(&info);
  IO_Params io{&in, nullptr, &src.def(), &dst.def()};
  PF_Err err = PF_Err_NONE;
  host->RunAsCommand([&] { err = RenderLensEffect(&io, &info, &input.def()); });
  EXPECT_EQ(err, PF_Err_NONE);
  EXPECT_EQ(io.dst, &src.def());  // handed on
  io = IO_Params{&in, nullptr, &src.def(), &dst.def()};
  host->RunAsCommand([&] { err = RenderLightnessEffect(&io, &info); });
  EXPECT_EQ(err, PF_Err_NONE);
  EXPECT_EQ(io.dst, &src.def());
  // With a lens, the failed query is the composite's error.
  info.lensType = LensType::kCircle;
  DerivePlan(&info);
  io = IO_Params{&in, nullptr, &src.def(), &dst.def()};
  host->RunAsCommand([&] { err = RenderLensEffect(&io, &info, &input.def()); });
  EXPECT_NE(err, PF_Err_NONE);
}
