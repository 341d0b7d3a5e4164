// The smart path through our host: pre-render and smart render give the legacy render's
// pictures at 8 and 16 bits, parts of the frame, pre-render without a render, and float
// frames (light beyond white kept, not-a-number read as 0, the same at every thread count).
#include <cmath>
#include <cstring>
#include <thread>

#include "helpers.h"
#include "core/pixel.h"

namespace {

using vt::Host;
using vt::World;
using PF = PF_PixelFloat;

struct Setting {
  const char* key;
  const char* value;
};
// Settings that reach every stage between them.
const std::vector<std::vector<Setting>> kSettings = {
    {},
    {{"Feather", "60"}, {"Realistic Blur  [very slow]/Amount", "3"}, {"Lightness/Amount", "30"}, {"MODE", "Add"}},
    {{"Type", "Triangle"}, {"Optical Distortion/Amount", "70"}, {"Directional Blur/Amount", "5"},
     {"Red/Cyan", "40"}, {"Color/Opacity", "30"}, {"MODE", "Screen"}},
    {{"Fast Blur/Use Lens as Blur Map", "on"}, {"Feather", "120"}, {"INTENSITY", "70"}, {"MODE", "Multiply"}},
    {{"Fast Blur/Amount", "2"}, {"Trail/Amount", "60"}, {"Position", "30%,40%"}},
    {{"Fast Blur/Visible", "off"}, {"Trail/Amount", "45"}, {"Trail/Center of the Lens", "off"},
     {"Trail/Center", "-10%,120%"}},
};

std::unique_ptr<Host> HostWith(const std::vector<Setting>& settings, int threads = 2) {
  auto host = vt::LoadedHost();
  host->SetThreads(threads);
  for (const Setting& s : settings) vt::Set(*host, s.key, s.value);
  return host;
}

World FloatOf(const World& w) {
  World f = World::Float(w.width(), w.height(), 16);  // rows padded beyond the usual
  for (int y = 0; y < w.height(); ++y)
    for (int x = 0; x < w.width(); ++x)
      f.at<PF>(x, y) = w.deep() ? ConvertPixel<PF>(w.at<PF_Pixel16>(x, y)) : ConvertPixel<PF>(w.at<PF_Pixel>(x, y));
  return f;
}

TEST(Smart, DeclaredAndTheSameAsTheRenderCommandAtEightAndSixteenBits) {
  for (bool deep : {false, true})
    for (const auto& settings : kSettings) {
      auto host = HostWith(settings);
      ASSERT_TRUE(host->DeclaresSmartRender());
      const World input = vt::RandomWorld(57, 41, deep, 11);
      World legacy(57, 41, deep), smart(57, 41, deep);
      ASSERT_EQ(host->Render(input, legacy), PF_Err_NONE);
      ASSERT_EQ(host->SmartRender(input, smart), PF_Err_NONE);
      EXPECT_TRUE(vt::SameImage(smart, legacy)) << (deep ? "16" : "8") << "-bit, setting " << &settings - &kSettings[0];
      EXPECT_EQ(host->LiveWorlds(), 0);
      EXPECT_EQ(host->OutstandingCheckouts(), 0);
      EXPECT_EQ(host->OutstandingSuites(), 0);
    }
}

TEST(Smart, CustomLayerComesThroughItsCheckout) {
  auto host = HostWith({{"Type", "Custom"}, {"Placement", "Stretch Map to Fit"}, {"Color/Opacity", "80"}});
  const World input = vt::RandomWorld(40, 30, false, 2), custom = vt::RandomWorld(23, 17, false, 3);
  World legacy(40, 30, false), smart(40, 30, false);
  ASSERT_EQ(host->Render(input, legacy, &custom), PF_Err_NONE);
  ASSERT_EQ(host->SmartRender(input, smart, &custom), PF_Err_NONE);
  EXPECT_TRUE(vt::SameImage(smart, legacy));
}

// A part of the frame: the same pixels as the whole frame's there, whether the output's
// first pixel is placed by the world's origin or by the request's corner.
TEST(Smart, APartOfTheFrameIsThatPartOfTheWholeFrame) {
  auto host = HostWith(kSettings[2]);
  const World input = vt::RandomWorld(50, 36, true, 5);
  World whole(50, 36, true);
  ASSERT_EQ(host->SmartRender(input, whole), PF_Err_NONE);
  const PF_LRect request{7, 5, 31, 29};
  for (bool originSet : {false, true}) {
    World part(24, 24, true);
    if (originSet) part.def().origin_x = 7, part.def().origin_y = 5;
    ASSERT_EQ(host->SmartRender(input, part, nullptr, &request), PF_Err_NONE);
    for (int y = 0; y < 24; ++y)
      for (int x = 0; x < 24; ++x)
        ASSERT_EQ(part.Get(x, y), whole.Get(x + 7, y + 5)) << x << "," << y << " origin " << originSet;
  }
}

TEST(Smart, PreRenderAloneSaysWhatItFillsAndKeepsNothing) {
  auto host = HostWith({});
  const World input = vt::RandomWorld(30, 20, false, 1);
  PF_PreRenderOutput out{};
  ASSERT_EQ(host->SmartPreRenderOnly(input, nullptr, PF_LRect{-5, 10, 12, 40}, &out), PF_Err_NONE);
  EXPECT_EQ(out.result_rect.left, 0);
  EXPECT_EQ(out.result_rect.top, 10);
  EXPECT_EQ(out.result_rect.right, 12);
  EXPECT_EQ(out.result_rect.bottom, 20);
  EXPECT_EQ(out.max_result_rect.right, 30);
  EXPECT_EQ(out.max_result_rect.bottom, 20);
  EXPECT_FALSE(out.solid);
  EXPECT_EQ(host->LiveWorlds(), 0);
  EXPECT_EQ(host->OutstandingSuites(), 0);
  // Outside the layer: nothing to fill.
  ASSERT_EQ(host->SmartPreRenderOnly(input, nullptr, PF_LRect{40, 0, 50, 10}, &out), PF_Err_NONE);
  EXPECT_GE(out.result_rect.left, out.result_rect.right);
}

// Float frames of 16-bit levels are the 16-bit frames (whose formulas float follows) but
// for the levels' roundings, and the same on 1, 2 and 5 threads.
TEST(Smart, FloatFramesFollowTheIntegerFramesAndIgnoreThreads) {
  // Add stops at white at 16 bits and not at float (the one limit that differs here).
  std::vector<std::vector<Setting>> settings = kSettings;
  for (auto& list : settings)
    for (Setting& s : list)
      if (std::strcmp(s.value, "Add") == 0) s.value = "Screen";
  for (size_t s = 0; s < settings.size(); ++s) {
    const World input = vt::RandomWorld(45, 33, true, 21);
    World sixteen(45, 33, true);
    ASSERT_EQ(HostWith(settings[s])->Render(input, sixteen), PF_Err_NONE);
    const World floatIn = FloatOf(input);
    std::vector<World> outs;
    for (int threads : {1, 2, 5}) {
      auto host = HostWith(settings[s], threads);
      outs.push_back(World::Float(45, 33, 8));
      ASSERT_EQ(host->SmartRender(floatIn, outs.back()), PF_Err_NONE);
      EXPECT_EQ(host->LiveWorlds(), 0);
    }
    double worst = 0;
    for (int y = 0; y < 33; ++y)
      for (int x = 0; x < 45; ++x) {
        const PF& f = outs[0].at<PF>(x, y);
        for (size_t t = 1; t < outs.size(); ++t)
          ASSERT_EQ(std::memcmp(&f, &outs[t].at<PF>(x, y), sizeof f), 0) << "threads, setting " << s;
        const PF_Pixel16& e = sixteen.at<PF_Pixel16>(x, y);
        worst = std::max({worst, std::abs(f.alpha * 32768.0 - e.alpha), std::abs(f.red * 32768.0 - e.red),
                          std::abs(f.green * 32768.0 - e.green), std::abs(f.blue * 32768.0 - e.blue)});
      }
    // Each stage may round a level away; a few in a row stay within a few levels.
    EXPECT_LT(worst, 8.0) << "setting " << s;
  }
}

TEST(Smart, FloatKeepsHighlightsAndReadsNotANumberAsZero) {
  auto host = HostWith({{"Fast Blur/Visible", "off"}, {"Realistic Blur  [very slow]/Amount", "5"},
                        {"Scale", "400"}});
  World input = World::Float(31, 31);
  for (int y = 0; y < 31; ++y)
    for (int x = 0; x < 31; ++x) input.at<PF>(x, y) = PF{1, 0.1f, 0.1f, 0.1f};
  input.at<PF>(15, 15) = PF{1, 16, 16, 16};
  input.at<PF>(3, 3) = PF{1, std::nanf(""), INFINITY, 0.5f};
  World out = World::Float(31, 31);
  ASSERT_EQ(host->SmartRender(input, out), PF_Err_NONE);
  int brighter = 0;
  for (int y = 0; y < 31; ++y)
    for (int x = 0; x < 31; ++x) {
      const PF& p = out.at<PF>(x, y);
      ASSERT_TRUE(std::isfinite(p.red) && std::isfinite(p.green)) << x << "," << y;
      ASSERT_LE(p.alpha, 1.0f);
      brighter += p.red > 1.0f;
    }
  EXPECT_GT(brighter, 4);  // a disc, not a point
}

}  // namespace

namespace {

// Float frames of one module on several threads at once (as a host renders several frames
// at once): each is the frame rendered alone.
TEST(Smart, FloatFramesRenderAtOnce) {
  const World a = FloatOf(vt::RandomWorld(61, 37, true, 4)), b = FloatOf(vt::RandomWorld(61, 37, false, 9));
  auto alone = [](const std::vector<Setting>& settings, const World& in) {
    World out = World::Float(in.width(), in.height());
    EXPECT_EQ(HostWith(settings)->SmartRender(in, out), PF_Err_NONE);
    return out;
  };
  const World wantA = alone(kSettings[1], a), wantB = alone(kSettings[4], b);
  auto hostA = HostWith(kSettings[1]), hostB = HostWith(kSettings[4]);
  World outA = World::Float(61, 37), outB = World::Float(61, 37);
  PF_Err errA = PF_Err_NONE, errB = PF_Err_NONE;
  std::thread other([&] { errB = hostB->SmartRender(b, outB); });
  errA = hostA->SmartRender(a, outA);
  other.join();
  ASSERT_EQ(errA, PF_Err_NONE);
  ASSERT_EQ(errB, PF_Err_NONE);
  for (int y = 0; y < 37; ++y)
    for (int x = 0; x < 61; ++x) {
      ASSERT_EQ(std::memcmp(&outA.at<PF>(x, y), &wantA.at<PF>(x, y), sizeof(PF)), 0) << x << "," << y;
      ASSERT_EQ(std::memcmp(&outB.at<PF>(x, y), &wantB.at<PF>(x, y), sizeof(PF)), 0) << x << "," << y;
    }
}

// A host that sends the smart commands without their records gets an error, not a crash.
TEST(Smart, CommandsWithoutTheirRecordsAreRefused) {
  auto host = vt::LoadedHost();
  for (PF_Cmd cmd : {PF_Cmd_SMART_PRE_RENDER, PF_Cmd_SMART_RENDER}) {
    EXPECT_EQ(host->Command(cmd), PF_Err_BAD_CALLBACK_PARAM) << cmd;
    PF_SmartRenderInput in{};  // smart render without the data of a pre-render
    PF_SmartRenderExtra extra{&in, nullptr};
    EXPECT_EQ(host->Command(cmd, nullptr, nullptr, &extra), PF_Err_BAD_CALLBACK_PARAM) << cmd;
  }
}

}  // namespace
