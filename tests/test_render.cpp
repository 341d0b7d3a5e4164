// Whole frames through the module's entry point: identities, the chain's choices, depths,
// extent hints, threads, and every failure path ending cleanly.
#include <thread>

#include "helpers.h"
#include "params/kt_info.h"
#include "core/pixel.h"
#include "render/render.h"

namespace {

using vt::Host;
using vt::World;

// Every treatment off: the fast blur is the only one on by default.
std::unique_ptr<Host> QuietHost() {
  auto host = vt::LoadedHost();
  vt::Set(*host, "Fast Blur/Visible", "off");
  return host;
}

World Rendered(Host& host, const World& input, const World* custom = nullptr) {
  World out(input.width(), input.height(), input.deep());
  EXPECT_EQ(host.Render(input, out, custom), PF_Err_NONE);
  EXPECT_EQ(host.LiveWorlds(), 0);
  EXPECT_EQ(host.OutstandingSuites(), 0);
  EXPECT_EQ(host.OutstandingCheckouts(), 0);
  return out;
}

class Depths : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Render, Depths, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "16bit" : "8bit"; });

TEST_P(Depths, EverythingOffWithNoLensGivesTheInput) {
  auto host = QuietHost();
  vt::Set(*host, "Type", "None");
  const World input = vt::RandomWorld(31, 17, GetParam(), 3);
  EXPECT_TRUE(vt::SameImage(Rendered(*host, input), input));
}

TEST_P(Depths, EverythingOffInsideACircleGivesTheInput) {
  auto host = QuietHost();
  vt::Set(*host, "Feather", "40");
  const World input = vt::RandomWorld(40, 30, GetParam(), 4);
  EXPECT_TRUE(vt::SameImage(Rendered(*host, input), input));
}

TEST_P(Depths, NoLensOrZeroScaleLetsTheTreatmentCoverTheFrame) {
  const bool deep = GetParam();
  const int red = deep ? 32767 : 255;
  for (const char* setting : {"Type=None", "Scale Width=0"}) {
    auto host = QuietHost();
    const std::string s = setting;
    vt::Set(*host, s.substr(0, s.find('=')), s.substr(s.find('=') + 1));
    vt::Set(*host, "Color/Opacity", "100");
    vt::Set(*host, "Color/Color", "#FF0000");
    const World out = Rendered(*host, vt::RandomWorld(12, 9, deep, 5));
    for (int y = 0; y < 9; ++y)
      for (int x = 0; x < 12; ++x)
        ASSERT_EQ(out.Get(x, y), (std::array<int, 4>{red, red, 0, 0})) << setting;
  }
}

TEST_P(Depths, TreatmentShowsInsideTheLensOnly) {
  const bool deep = GetParam();
  auto host = QuietHost();
  vt::Set(*host, "Color/Opacity", "100");
  vt::Set(*host, "Color/Color", "0,0,0,255");
  const World input = vt::Uniform(100, 100, deep, deep ? 32768 : 255, 1000 % 256, 77, 5);
  const World out = Rendered(*host, input);
  EXPECT_EQ(out.Get(50, 50)[1], 0);             // centre: black overlay
  EXPECT_EQ(out.Get(2, 2), input.Get(2, 2));    // corner: outside the circle of radius 35
}

TEST(Render, SixteenBitInputWithEightBitWorkWorlds) {
  auto host = QuietHost();
  host->SetWorkDepth(8);
  const World input = vt::RandomWorld(100, 100, true, 6);
  const World out = Rendered(*host, input);
  auto host8 = [](int v) { return std::min(255, (v * 255 + 16384) / 32768); };
  auto host16 = [](int v) { return (v * 32768 + 127) / 255; };
  // Inside the lens the picture went through the 8-bit worlds; outside, the lens composite
  // read the 16-bit input and narrowed it by the effect's own rule.
  const auto in = input.Get(50, 50);
  EXPECT_EQ(out.Get(50, 50)[1], host16(host8(in[1])));
  const auto corner = input.Get(1, 1);
  EXPECT_EQ(out.Get(1, 1)[2], host16(NarrowChannel(A_u_short(corner[2]))));
}

TEST(Render, OutputExtentSmallerThanTheFrameConfinesTheLens) {
  auto host = QuietHost();
  vt::Set(*host, "Scale", "400");
  vt::Set(*host, "Color/Opacity", "100");
  vt::Set(*host, "Color/Color", "#000000");
  const World input = vt::Uniform(20, 20, false, 255, 200, 200, 200);
  World out(20, 20, false);
  out.def().extent_hint = PF_Rect{5, 5, 10, 10};
  ASSERT_EQ(host->Render(input, out), PF_Err_NONE);
  EXPECT_EQ(out.Get(7, 7)[1], 0);
  EXPECT_EQ(out.Get(4, 7)[1], 200);
  EXPECT_EQ(out.Get(7, 10)[1], 200);
}

TEST(Render, MaskCacheThatCannotBeHadEndsWithOutOfMemory) {
  auto host = QuietHost();
  const World input = vt::RandomWorld(8, 8, false, 13);
  World out(8, 8, false);
  out.def().extent_hint = PF_Rect{0, 0, 2000000000, 2000000000};  // 4·10^18 mask values
  EXPECT_EQ(host->Render(input, out), PF_Err_OUT_OF_MEMORY);
  EXPECT_EQ(host->LiveWorlds(), 0);
  EXPECT_EQ(host->OutstandingSuites(), 0);
  World again(8, 8, false);
  EXPECT_EQ(host->Render(input, again), PF_Err_NONE);
}

TEST(Render, CustomLayerLuminanceIsTheLens) {
  auto host = QuietHost();
  vt::Set(*host, "Type", "Custom");
  vt::Set(*host, "Color/Opacity", "100");
  vt::Set(*host, "Color/Color", "#000000");
  const World input = vt::Uniform(10, 10, false, 255, 200, 200, 200);
  World custom(10, 10, true);  // a 16-bit layer on an 8-bit picture
  custom.Set(4, 4, 32768, 32768, 32768, 32768);
  const World out = Rendered(*host, input, &custom);
  EXPECT_EQ(out.Get(5, 5)[1], 0);    // reads one up and one left
  EXPECT_EQ(out.Get(4, 4)[1], 200);
  EXPECT_TRUE(vt::SameImage(Rendered(*host, input), input));  // no layer: an empty lens
}

TEST(Render, BlurMapPassConditions) {
  KT_Info info{};
  info.scaleW = info.scaleH = 1;
  info.fastBlurVisible = info.fastBlurLensMap = true;
  info.fastBlurAmount = 50;
  info.feather = 0.10f;
  auto plan = [&] {
    DerivePlan(&info);
    return info.plan;
  };
  EXPECT_FALSE(plan().blurMapPass);  // 0.2 is not above 0.5
  EXPECT_FALSE(plan().fastBlurUsesMap);
  EXPECT_TRUE(plan().lensBlurMap);   // the blur raises the lens composite instead
  EXPECT_EQ(plan().lensStrength, 0.5);
  info.feather = 0.30f;
  EXPECT_TRUE(plan().blurMapPass);   // 0.6 > 0.5
  EXPECT_TRUE(plan().fastBlurUsesMap && plan().fastBlurInMapPass);
  EXPECT_FALSE(plan().lensBlurMap);
  info.fastBlurLensMap = false;
  EXPECT_FALSE(plan().blurMapPass);
  EXPECT_FALSE(plan().fastBlurInMapPass);
  info.irisBlurVisible = info.irisBlurLensMap = true;
  info.irisBlurAmount = 0.0001f;
  EXPECT_TRUE(plan().blurMapPass);   // any realistic amount in blur-map mode …
  EXPECT_FALSE(plan().irisRuns);     // … though one this small does not blur
  info.irisBlurAmount = 0.3f;
  EXPECT_TRUE(plan().irisRuns && plan().irisInMapPass);
  info.fastBlurAmount = 0.9f;        // less than a whole pixel
  EXPECT_FALSE(plan().fastBlurRuns);
  info.fastBlurAmount = 50;
  info.scaleW = 0;                   // a lens scaled to nothing
  EXPECT_FALSE(plan().fastBlurRuns || plan().lensComposite);
}

TEST(Render, IdenticalForEveryThreadCount) {
  const World input = vt::RandomWorld(64, 48, false, 8);
  std::optional<World> first;
  for (int threads : {1, 2, 5}) {
    auto host = vt::LoadedHost();
    host->SetThreads(threads);
    vt::Set(*host, "Type", "Triangle");
    vt::Set(*host, "Feather", "40");
    vt::Set(*host, "MODE", "Screen");
    vt::Set(*host, "Lightness/Amount", "30");
    vt::Set(*host, "Red/Cyan", "40");
    vt::Set(*host, "Color/Opacity", "20");
    World out = Rendered(*host, input);
    if (!first) first = std::move(out);
    else EXPECT_TRUE(vt::SameImage(out, *first)) << threads << " threads";
  }
}

// Bands report the rows done as they finish: each stage's fractions rise to 1.
TEST(Render, ProgressRisesToTheEndOfEveryStage) {
  for (int threads : {1, 3}) {
    auto host = vt::LoadedHost();
    host->SetThreads(threads);
    vt::Set(*host, "Realistic Blur  [very slow]/Amount", "2");
    std::vector<double> seen;
    host->onProgress = [&](double f) { seen.push_back(f); };
    Rendered(*host, vt::RandomWorld(40, 70, false, 5));
    ASSERT_FALSE(seen.empty());
    int ends = 0;
    for (size_t i = 0; i < seen.size(); ++i) {
      EXPECT_GT(seen[i], 0.0);
      EXPECT_LE(seen[i], 1.0);
      if (seen[i] == 1.0) {
        ++ends;
      } else if (i + 1 < seen.size()) {
        EXPECT_GT(seen[i + 1], seen[i]) << i;
      }
    }
    // The realistic blur, six fast-blur passes, and the composite with the lens composite in
    // one pass (lightness at amount 0 hands its source on).
    EXPECT_EQ(ends, 8) << threads << " threads";
  }
}

TEST(Render, TwoRendersAtOnceGiveTheirOwnImages) {
  const World a = vt::RandomWorld(80, 60, false, 9), b = vt::RandomWorld(80, 60, true, 10);
  auto setup = [](Host& h, const char* type) {
    vt::Set(h, "Type", type);
    vt::Set(h, "Lightness/Amount", "-40");
  };
  auto h1 = vt::LoadedHost(), h2 = vt::LoadedHost();
  setup(*h1, "Circle");
  setup(*h2, "Rectangle  l");
  const World alone1 = Rendered(*h1, a), alone2 = Rendered(*h2, b);
  World out1(80, 60, false), out2(80, 60, true);
  PF_Err e1 = -1, e2 = -1;
  for (int round = 0; round < 3; ++round) {
    std::thread t1([&] { e1 = h1->Render(a, out1); });
    std::thread t2([&] { e2 = h2->Render(b, out2); });
    t1.join();
    t2.join();
    ASSERT_EQ(e1, PF_Err_NONE);
    ASSERT_EQ(e2, PF_Err_NONE);
    EXPECT_TRUE(vt::SameImage(out1, alone1));
    EXPECT_TRUE(vt::SameImage(out2, alone2));
  }
}

// Every fault ends the render with its error, leaves nothing behind, and the next render
// works normally.
TEST(RenderFaults, EveryFailureEndsCleanly) {
  const World input = vt::RandomWorld(16, 16, false, 11);
  World custom = vt::RandomWorld(16, 16, false, 12);
  int copies = 0;  // the last copy of a render is the output copy
  auto expected = [&] {
    auto h = vt::LoadedHost();
    vt::Set(*h, "Lightness/Amount", "25");
    World out = Rendered(*h, input, &custom);
    copies = h->CopyCalls();
    return out;
  }();
  static int outputCopy;
  outputCopy = copies;
  struct Case {
    const char* name;
    void (*inject)(minihost::Faults&);
    PF_Err err;
  };
  const Case cases[] = {
      {"custom copy world", [](minihost::Faults& f) { f.failNewWorldAt = 1; }, PF_Err_OUT_OF_MEMORY},
      {"custom copy", [](minihost::Faults& f) { f.failCopyAt = 1; }, PF_Err_INTERNAL_STRUCT_DAMAGED},
      {"world A", [](minihost::Faults& f) { f.failNewWorldAt = 2; }, PF_Err_OUT_OF_MEMORY},
      {"world B", [](minihost::Faults& f) { f.failNewWorldAt = 3; }, PF_Err_OUT_OF_MEMORY},
      {"input copy", [](minihost::Faults& f) { f.failCopyAt = 2; }, PF_Err_INTERNAL_STRUCT_DAMAGED},
      {"a stage copy", [](minihost::Faults& f) { f.failCopyAt = 3; }, PF_Err_INTERNAL_STRUCT_DAMAGED},
      {"output copy", [](minihost::Faults& f) { f.failCopyAt = outputCopy; },
       PF_Err_INTERNAL_STRUCT_DAMAGED},
      {"iterate", [](minihost::Faults& f) { f.failIterateAt = 1; }, PF_Err_INTERNAL_STRUCT_DAMAGED},
      {"iterate8 suite", [](minihost::Faults& f) { f.refuseSuite = kPFIterate8Suite; },
       PF_Err_BAD_CALLBACK_PARAM},
      {"world suite", [](minihost::Faults& f) { f.refuseSuite = kPFWorldSuite; },
       PF_Err_BAD_CALLBACK_PARAM},
      {"pixel format", [](minihost::Faults& f) { f.failPixelFormat = true; },
       PF_Err_INTERNAL_STRUCT_DAMAGED},
      {"abort at once", [](minihost::Faults& f) { f.abortAfterPolls = 0; }, PF_Interrupt_CANCEL},
      {"abort midway", [](minihost::Faults& f) { f.abortAfterPolls = 3; }, PF_Interrupt_CANCEL},
  };
  for (const Case& c : cases) {
    auto host = vt::LoadedHost();
    vt::Set(*host, "Lightness/Amount", "25");
    c.inject(host->faults);
    World out(16, 16, false);
    EXPECT_EQ(host->Render(input, out, &custom), c.err) << c.name;
    EXPECT_EQ(host->LiveWorlds(), 0) << c.name;
    EXPECT_EQ(host->OutstandingSuites(), 0) << c.name;
    EXPECT_EQ(host->OutstandingCheckouts(), 0) << c.name;
    host->faults = minihost::Faults{};
    World again(16, 16, false);
    ASSERT_EQ(host->Render(input, again, &custom), PF_Err_NONE) << c.name;
    EXPECT_TRUE(vt::SameImage(again, expected)) << c.name;
  }
}

}  // namespace
