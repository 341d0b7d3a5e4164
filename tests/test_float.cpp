// The stages at 32-bit float: worked values (light beyond white and below black kept, alpha
// within its limits), the same picture as the integer depths on pictures of integer levels,
// and the same picture at every thread count.
#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "blur/directional_blur.h"
#include "blur/fast_blur.h"
#include "blur/iris_blur.h"
#include "blur/iris_samples.h"
#include "blur/optical_distortion.h"
#include "color/chromatic.h"
#include "color/composite.h"
#include "color/lens_composite.h"
#include "color/lightness.h"
#include "color/overlay.h"
#include "core/pixel.h"
#include "helpers.h"

namespace {

using vt::World;
using PF = PF_PixelFloat;

PF& At(World& w, int x, int y) { return w.at<PF>(x, y); }

// Colour values over a wide range of magnitudes (2^-20 … 2^22), so that sums in double round
// and their order shows in the result.
float Scattered(std::mt19937& rng) {
  std::uniform_real_distribution<float> value(-0.5f, 4.0f);
  return std::ldexp(value(rng), int(rng() % 41) - 20);
}

// The generic iteration on `threads` threads, bands dealt out in turn, as a host's may.
int g_threads = 1;
PF_Err ThreadedGeneric(A_long iterations, void* refcon,
                       PF_Err (*fn)(void*, A_long, A_long, A_long)) {
  std::vector<std::thread> pool;
  std::vector<PF_Err> errs(size_t(g_threads), PF_Err_NONE);
  for (int t = 0; t < g_threads; ++t)
    pool.emplace_back([&, t] {
      for (A_long i = t; i < iterations; i += g_threads)
        if (PF_Err e = fn(refcon, t, i, iterations)) errs[size_t(t)] = e;
    });
  for (auto& th : pool) th.join();
  for (PF_Err e : errs)
    if (e) return e;
  return PF_Err_NONE;
}

// A float render's context without a host: the host's pow, abort and progress, and (with
// threads) the generic iteration.
struct FloatRender {
  PF_UtilCallbacks utils{};
  PF_InData in{};
  PF_Iterate8Suite1 iterate{};
  IO_Params io{};
  explicit FloatRender(int threads = 1) {
    utils.ansi.pow = [](double x, double y) { return std::pow(x, y); };
    in.utils = &utils;
    in.inter.abort = [](PF_ProgPtr) -> PF_Err { return PF_Err_NONE; };
    in.inter.progress = [](PF_ProgPtr, A_long, A_long) -> PF_Err { return PF_Err_NONE; };
    iterate.iterate_generic = ThreadedGeneric;
    g_threads = threads;
    io.in_data = &in;
    io.iterate = &iterate;
    io.float32 = true;
  }
};

// A picture of random 8-bit levels, and the same as float (c ÷ 255).
struct LevelPictures {
  World eight, floats;
  LevelPictures(int w, int h, unsigned seed) : eight(w, h, false), floats(World::Float(w, h)) {
    std::mt19937 rng(seed);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const int a = rng() % 4 == 0 ? 0 : 255, r = rng() % 256, g = rng() % 256, b = rng() % 256;
        eight.Set(x, y, a, r, g, b);
        At(floats, x, y) = ConvertPixel<PF>(eight.at<PF_Pixel>(x, y));
      }
  }
};

TEST(Float, CompositeKeepsLightBeyondWhiteAndAlphaWithinOne) {
  World input = World::Float(1, 1);
  vt::FakeMask mask(1, 1, 1.0);
  FloatRender r;
  r.io.mask = mask.get();
  OpacityRefcon rc{&input.def(), 1.0f, BlendMode::kAdd, &r.io, false};
  auto composite = [&](PF O, PF P) {
    At(input, 0, 0) = O;
    PF out{};
    OpacityWithMode32(&rc, 0, 0, &P, &out);
    return out;
  };
  // Add of two 0.8s: 1.6, where 8 and 16 bits stop at white; alpha stops at 1.
  PF out = composite({0.8f, 0.8f, 0.8f, 0.8f}, {0.8f, 0.8f, 0.8f, 0.8f});
  EXPECT_FLOAT_EQ(out.red, 1.6f);
  EXPECT_EQ(out.alpha, 1.0f);
  // Half the lens: (0.5 + 0.5)·0.5 + 0.5·0.5, nothing rounded to levels.
  mask.at(0, 0) = 0.5;
  out = composite({1, 0.5f, 0.25f, 0}, {1, 0.5f, 0.5f, 0.5f});
  EXPECT_EQ(out.red, 0.75f);    // s = 1: 1·0.5 + 0.5·0.5
  EXPECT_EQ(out.green, 0.5f);   // s = 0.75: 0.75·0.5 + 0.25·0.5
  EXPECT_EQ(out.blue, 0.25f);   // s = 0.5: 0.5·0.5 + 0
  mask.at(0, 0) = 1.0;
  rc.mode = BlendMode::kScreen;  // 1 − (1 − 2)(1 − 0.5) = 1.5; 1 − 0.5·0.5 = 0.75
  out = composite({1, 2.0f, 0.5f, 0}, {1, 0.5f, 0.5f, 0});
  EXPECT_EQ(out.red, 1.5f);
  EXPECT_EQ(out.green, 0.75f);
  rc.mode = BlendMode::kMultiply;  // 0.5 + (4·0.5 − 0.5) = 2; 0.25 + (0.5·0.25 − 0.25) = 0.125
  out = composite({1, 0.5f, 0.25f, 0}, {1, 4.0f, 0.5f, 0});
  EXPECT_EQ(out.red, 2.0f);
  EXPECT_EQ(out.green, 0.125f);
  rc.mode = BlendMode::kNormal;  // 2·0.25 + 0·0.75, and below black: −1·0.25 + 1·0.75
  rc.intensity = 0.25f;
  out = composite({1, 0, 1, 0}, {1, 2, -1, 0});
  EXPECT_EQ(out.red, 0.5f);
  EXPECT_EQ(out.green, 0.5f);
  // Normal at 100 %: P·1 + O·0, then ·1 + O·0 again: P, but for −0, which takes O's sign.
  rc.intensity = 1.0f;
  auto bits = [](float v) {
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
  };
  out = composite({-1, 0.5f, -0.0f, 2}, {-0.0f, -0.0f, -0.0f, 3});
  EXPECT_EQ(bits(out.alpha), bits(-0.0f));  // O = −1
  EXPECT_EQ(bits(out.red), bits(0.0f));     // O = 0.5
  EXPECT_EQ(bits(out.green), bits(-0.0f));  // O = −0
  EXPECT_EQ(out.blue, 3.0f);
  out = composite({-1, 0.5f, -0.0f, 2}, {0.0f, -2.5f, 1e-30f, 3});
  EXPECT_EQ(bits(out.alpha), bits(0.0f));
  EXPECT_EQ(out.red, -2.5f);
  EXPECT_EQ(out.green, 1e-30f);
}

TEST(Float, LensBlendAddsNoHalf) {
  World input = World::Float(1, 1);
  At(input, 0, 0) = PF{1, 1, 1, 1};
  vt::FakeMask mask(1, 1, 0.25);
  FloatRender r;
  r.io.mask = mask.get();
  LensRefcon rc{&input.def(), &r.io, false, 0, false};
  PF in{1, 3, 0.5f, -4}, out{};
  Lens32(&rc, 0, 0, &in, &out);
  EXPECT_EQ(out.red, 1.5f);     // 1·0.75 + 3·0.25
  EXPECT_EQ(out.green, 0.875f);  // 0.75 + 0.125
  EXPECT_EQ(out.blue, -0.25f);   // 0.75 − 1
  EXPECT_EQ(out.alpha, 1.0f);

  // Inside the lens (w = 1) the pixel is P, but for −0: O·0 + (−0)·1 + 0 is +0, whatever O.
  auto bits = [](float v) {
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
  };
  mask.at(0, 0) = 1.0;
  At(input, 0, 0) = PF{2, -1, 0.5f, -0.0f};
  in = PF{-0.0f, -0.0f, -0.0f, -0.0f};
  Lens32(&rc, 0, 0, &in, &out);
  for (float v : {out.alpha, out.red, out.green, out.blue}) EXPECT_EQ(bits(v), bits(0.0f));
  in = PF{-0.0f, 7, 0.25f, 1};
  Lens32(&rc, 0, 0, &in, &out);
  EXPECT_EQ(bits(out.alpha), bits(0.0f));
  EXPECT_EQ(out.red, 7.0f);
}

TEST(Float, OverlayAndLightnessKeepTheRange) {
  ColorRefcon color{0.5f, PF_Pixel{255, 255, 0, 0}};  // toward (1, 1, 0, 0)
  PF in{0.5f, 3, 0.25f, -1}, out{};
  ColorEffect32(&color, 0, 0, &in, &out);
  EXPECT_EQ(out.alpha, 0.75f);
  EXPECT_EQ(out.red, 2.0f);     // (1 − 3)·0.5 + 3
  EXPECT_EQ(out.green, 0.125f);
  EXPECT_EQ(out.blue, -0.5f);   // (0 + 1)·0.5 − 1

  FloatRender r;
  LightnessRefcon curve{2.0, &r.io, nullptr};
  EXPECT_EQ(LightnessCurve32(&curve, 3.0f), 9.0f);    // no limit at white
  EXPECT_EQ(LightnessCurve32(&curve, 0.5f), 0.25f);
  EXPECT_EQ(LightnessCurve32(&curve, -3.0f), -9.0f);  // mirrored below black, not a NaN
  in = PF{1, 2, 0.5f, -0.5f};
  Lightness32(&curve, 0, 0, &in, &out);
  EXPECT_EQ(out.alpha, 1.0f);
  EXPECT_EQ(out.red, 4.0f);
  EXPECT_EQ(out.blue, -0.25f);
}

TEST(Float, FastBlurMeansAreNotRounded) {
  World row = World::Float(5, 1);
  for (int x = 0; x < 5; ++x) At(row, x, 0) = PF{0.5f, 0, 0, 0};
  At(row, 2, 0).red = 16.0f;
  At(row, 3, 0).green = -3.0f;
  FloatRender r;
  r.io.src = &row.def();
  FastBlurRefcon rc{&r.io, 1, false, nullptr};
  PF in = At(row, 1, 0), out{};
  FastBlurH<PF>(&rc, 1, 0, &in, &out);
  EXPECT_EQ(out.red, float(16.0 / 3));  // 8 and 16 bits would add 0.5 and truncate
  EXPECT_EQ(out.alpha, 0.5f);
  in = At(row, 3, 0);
  FastBlurH<PF>(&rc, 3, 0, &in, &out);
  EXPECT_EQ(out.red, float(16.0 / 3));
  EXPECT_EQ(out.green, -1.0f);

  // The whole stage: a level picture stays level, bright beyond white.
  World flat = World::Float(9, 7), scratch = World::Float(9, 7);
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 9; ++x) At(flat, x, y) = PF{1, 2.5f, 0.25f, 0};
  r.io.src = &flat.def();
  r.io.dst = &scratch.def();
  ASSERT_EQ(FastBlur(&r.io, 3, false), PF_Err_NONE);
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 9; ++x) {
      const PF& p = r.io.dst->data ? *GetPointerFromDataP<PF>(r.io.dst, y, x, 0) : PF{};
      ASSERT_EQ(p.red, 2.5f) << x << "," << y;
      ASSERT_EQ(p.green, 0.25f);
    }
}

// The float passes give the per-pixel routines' very values, bit for bit: radii within and
// beyond the picture, with and without the blur map, on 1 and 5 threads.
TEST(Float, FastBlurPassesAreTheirDefinition) {
  constexpr int W = 23, H = 17;
  std::mt19937 rng(3);
  auto picture = [&] {
    World w = World::Float(W, H, 8);
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) At(w, x, y) = PF{rng() % 3 ? 1.0f : 0.5f, Scattered(rng), Scattered(rng), Scattered(rng)};
    return w;
  };
  const World src = picture(), before = picture();
  vt::FakeMask mask(W, H, 1.0);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) mask.at(x, y) = (x + 2 * y) % 4 == 0 ? 0.0 : (x + y) % 3 == 0 ? 0.37 : 1.0;
  int compared = 0;
  for (A_long r : {1, 2, 7, 30, 70})
    for (bool map : {false, true})
      for (bool vertical : {false, true})
        for (int threads : {1, 5}) {
          FloatRender fr(threads);
          fr.io.mask = map ? mask.get() : nullptr;
          World dst = World::Float(W, H);
          const PF_EffectWorld* copy = vertical && map ? &before.def() : nullptr;
          ASSERT_EQ(FastBlurBands(&fr.io, &src.def(), &dst.def(), r, vertical, map ? &fr.io : nullptr, copy),
                    PF_Err_NONE);
          IO_Params io = fr.io;
          io.src = const_cast<PF_EffectWorld*>(&src.def());
          FastBlurRefcon rc{&io, r, map, copy};
          for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
              PF in = At(const_cast<World&>(src), x, y), want{};
              if (vertical) FastBlurV<PF>(&rc, x, y, &in, &want);
              else FastBlurH<PF>(&rc, x, y, &in, &want);
              ASSERT_EQ(std::memcmp(&want, &At(dst, x, y), sizeof want), 0)
                  << "r " << r << " map " << map << " vertical " << vertical << " threads " << threads
                  << " at " << x << "," << y;
              ++compared;
            }
        }
  EXPECT_EQ(compared, 5 * 2 * 2 * 2 * W * H);
}

// A plain blur's two float passes made at once leave the values of the passes made in turn,
// bit for bit: one band of columns and several (each adding the samples left of it), radii
// within and beyond the picture, unequal radii, padded rows, on 1 and 5 threads.
TEST(Float, FastBlurPassesAtOnceAreThePassesInTurn) {
  std::mt19937 rng(5);
  int compared = 0;
  for (auto [W, H] : {std::pair{23, 17}, std::pair{2100, 7}})
    for (auto [rh, rv] : {std::pair<A_long, A_long>{1, 1}, {2, 7}, {30, 30}, {9, 64}, {70, 40}})
      for (int threads : {1, 5}) {
        World src = World::Float(W, H, 8), once = World::Float(W, H);
        std::vector<PF> original;
        for (int y = 0; y < H; ++y)
          for (int x = 0; x < W; ++x)
            original.push_back(At(src, x, y) = PF{rng() % 3 ? 1.0f : 0.25f, Scattered(rng), Scattered(rng), Scattered(rng)});
        FloatRender fr(threads);
        World across = World::Float(W, H), turn = World::Float(W, H);
        ASSERT_EQ(FastBlurBands(&fr.io, &src.def(), &across.def(), rh, false, nullptr, nullptr), PF_Err_NONE);
        ASSERT_EQ(FastBlurBands(&fr.io, &across.def(), &turn.def(), rv, true, nullptr, nullptr), PF_Err_NONE);
        fr.io.src = &src.def();
        fr.io.dst = &once.def();
        ASSERT_EQ(FastBlurA(&fr.io, rh, rv, false), PF_Err_NONE);
        ASSERT_EQ(fr.io.dst, &once.def()) << "made at once, src kept";
        for (int y = 0; y < H; ++y)
          for (int x = 0; x < W; ++x) {
            ASSERT_EQ(std::memcmp(&At(once, x, y), &At(turn, x, y), sizeof(PF)), 0)
                << W << "x" << H << " r " << rh << "," << rv << " threads " << threads << " at " << x << "," << y;
            ASSERT_EQ(std::memcmp(&At(src, x, y), &original[size_t(y * W + x)], sizeof(PF)), 0);
            ++compared;
          }
      }
  EXPECT_EQ(compared, 2 * 5 * (23 * 17 + 2100 * 7));
}

// A 16.0 highlight on black opens into a disc of 16.0: brighter than white, where the
// integer depths stop at white.
TEST(Float, RealisticBlurMakesDiscsBrighterThanWhite) {
  World src = World::Float(15, 15), dst = World::Float(15, 15);
  for (int y = 0; y < 15; ++y)
    for (int x = 0; x < 15; ++x) At(src, x, y) = PF{1, 0, 0, 0};
  At(src, 7, 7) = PF{1, 16, 16, 16};
  FloatRender r;
  r.io.src = &src.def();
  r.io.dst = &dst.def();
  const auto H = HighlightMap(&src.def(), &r.io);
  ASSERT_TRUE(H);
  EXPECT_EQ(H[7 * 15 + 7], 4.0f);  // √(luma 16 · alpha 1): more than white's 1
  EXPECT_EQ(H[0], 0.0f);
  const IrisKernel k = BuildIrisGrid(IrisShape{6, 1.0, 1.0, 0.0}, 3);
  ASSERT_EQ(iris::UniformIrisBlur<PF>(&r.io, k, H.get()), PF_Err_NONE);
  EXPECT_EQ(At(dst, 7, 7).red, 16.0f);
  EXPECT_EQ(At(dst, 8, 7).green, 16.0f);
  EXPECT_EQ(At(dst, 7, 5).blue, 16.0f);
  EXPECT_EQ(At(dst, 0, 0).red, 0.0f);
  EXPECT_EQ(At(dst, 8, 7).alpha, 1.0f);
}

// The uniform form's running sums come within rounding of the direct kernel sum, light
// beyond white and below black included, and do not depend on the thread count.
TEST(Float, RealisticBlurRunningSumsFollowTheDirectSum) {
  constexpr int W = 45, H = 23;
  std::mt19937 rng(8);
  std::uniform_real_distribution<float> value(-0.2f, 6.0f);
  World src = World::Float(W, H);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      At(src, x, y) = PF{(x / 9 + y) % 5 ? 1.0f : 0.0f, value(rng), value(rng), value(rng)};
  for (int x = 20; x < 30; ++x)  // a black patch: its pixels light nothing
    for (int y = 0; y < H; ++y) At(src, x, y) = PF{1, 0, 0, 0};
  const IrisKernel k = BuildIrisGrid(IrisShape{5, 0.0, 1.0, 0.3}, 6);
  std::vector<World> outs;
  for (int threads : {1, 5}) {
    FloatRender r(threads);
    outs.push_back(World::Float(W, H));
    r.io.src = &src.def();
    r.io.dst = &outs.back().def();
    const auto Hmap = HighlightMap(&src.def(), &r.io);
    ASSERT_EQ(iris::UniformIrisBlur<PF>(&r.io, k, Hmap.get()), PF_Err_NONE);
  }
  FloatRender plain;
  const auto Hmap = HighlightMap(&src.def(), &plain.io);
  double worst = 0;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      ASSERT_EQ(std::memcmp(&At(outs[0], x, y), &At(outs[1], x, y), sizeof(PF)), 0) << x << "," << y;
      double s[4] = {};
      for (int dy = -6; dy <= 6; ++dy)
        for (int dx = -6; dx <= 6; ++dx) {
          const int sx = x + dx, sy = y + dy;
          if (sx < 0 || sy < 0 || sx >= W || sy >= H) continue;
          const double w = double(float(k.at(dx, dy) * Hmap[size_t(sy * W + sx)]));
          const PF& p = At(src, sx, sy);
          s[0] += w, s[1] += w * p.red, s[2] += w * p.green, s[3] += w * p.blue;
        }
      const PF& got = At(outs[0], x, y);
      const float want[3] = {s[0] > 0 ? float(s[1] / s[0]) : 0, s[0] > 0 ? float(s[2] / s[0]) : 0,
                             s[0] > 0 ? float(s[3] / s[0]) : 0};
      const float have[3] = {got.red, got.green, got.blue};
      for (int c = 0; c < 3; ++c) worst = std::max(worst, double(std::abs(have[c] - want[c])));
    }
  EXPECT_LT(worst, 1e-4);
}

// Every stage's float render of a picture of 8-bit levels is the 8-bit render but for the
// truncation to levels; and each gives the same picture on 1 and 5 threads.
TEST(Float, StagesFollowTheIntegerRenderAndIgnoreThreads) {
  constexpr int W = 48, H = 32;
  LevelPictures pictures(W, H, 7);
  vt::FakeMask mask(W, H, 1.0);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) mask.at(x, y) = x < 6 ? 0.0 : x < 12 ? 0.5 : 1.0;
  KT_Info info{};
  info.posX = 20, info.posY = 15;
  info.distortVisible = true, info.distortAmount = 90, info.distortCenterOfLens = true;
  info.dirBlurVisible = true, info.dirBlurAmount = 6, info.dirBlurDirection = 0.7;
  info.chromaVisible = true, info.chromaRedCyan = 0.4f, info.chromaBlueYellow = 0.2f;
  struct Stage {
    const char* name;
    PF_Err (*run)(IO_Params*, const KT_Info*);
    int slack;  // levels the integer render's truncation may take off
  };
  const Stage stages[] = {{"distortion", RenderOpticalDistortionEffect, 1},
                          {"directional", RenderDirectionalBlurEffect, 1},
                          {"chromatic", RenderChromaticAberrationEffect, 0}};
  for (const Stage& stage : stages) {
    World eightOut(W, H, false), floatOut = World::Float(W, H), floatOut5 = World::Float(W, H);
    World eightIn = World::Copy(pictures.eight), floatIn = World::Copy(pictures.floats);
    IO_Params eight{};
    eight.src = &eightIn.def(), eight.dst = &eightOut.def(), eight.mask = mask.get();
    ASSERT_EQ(stage.run(&eight, &info), PF_Err_NONE);
    FloatRender one(1), five(5);
    one.io.src = &floatIn.def(), one.io.dst = &floatOut.def(), one.io.mask = mask.get();
    five.io.src = &floatIn.def(), five.io.dst = &floatOut5.def(), five.io.mask = mask.get();
    ASSERT_EQ(stage.run(&one.io, &info), PF_Err_NONE);
    ASSERT_EQ(stage.run(&five.io, &info), PF_Err_NONE);
    int worst = 0, changed = 0;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const PF& f = *GetPointerFromDataP<PF>(one.io.dst, y, x, 0);
        const PF& f5 = *GetPointerFromDataP<PF>(five.io.dst, y, x, 0);
        ASSERT_EQ(std::memcmp(&f, &f5, sizeof f), 0) << stage.name << " at " << x << "," << y;
        changed += std::memcmp(&f, &At(pictures.floats, x, y), sizeof f) != 0;
        const PF_Pixel& e = *GetPointerFromDataP<PF_Pixel>(eight.dst, y, x, 0);
        const float fc[4] = {f.alpha, f.red, f.green, f.blue};
        const int ec[4] = {e.alpha, e.red, e.green, e.blue};
        for (int c = 0; c < 4; ++c) {
          // The integer render truncates: it lies at or just below the float value.
          const double d = double(fc[c]) * 255 - ec[c];
          ASSERT_GT(d, -1e-3) << stage.name << " at " << x << "," << y << " channel " << c;
          worst = std::max(worst, int(std::ceil(d - 1e-3)));
        }
      }
    EXPECT_LE(worst, stage.slack) << stage.name;
    EXPECT_GT(changed, W * H / 4) << stage.name << " changed too little to tell";
  }
}

}  // namespace
