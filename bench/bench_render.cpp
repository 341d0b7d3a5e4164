// Time per frame of whole renders through the entry point, on a 1920 × 1080 test card, and
// the process's peak memory. Where OpenCV is installed (scripts/deps.sh --bench), the same
// process times the same elementary work with it on the same frame, and a table at the end
// gives each scenario as a multiple of its anchor:
//   A     cv::blur three times, radius 20, 8-bit RGBA, BORDER_REFLECT_101, one thread
//   A32   the same on the frame as 32-bit float RGBA: the anchor of the float scenarios
//   K(R)  the highlight-weighted bokeh a user would write: filter2D of colour × weight and
//         of weight with a regular pentagon of radius R, divided (32-bit float), one thread
// Run: build/bin/vizmira_bench [--benchmark_filter=...] [--benchmark_repetitions=3]
// (VIZMIRA_BENCH_MODULE=path/Vizmira.so times another build of the module.)
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "minihost/controls.h"
#include "minihost/host.h"
#include "minihost/testcard.h"

#ifdef VIZMIRA_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

using minihost::Host;
using minihost::World;

using Settings = std::vector<std::pair<std::string, std::string>>;

const Settings kDefaults = {};
const Settings kEverything = {
    {"Type", "Triangle"},         {"Feather", "40"},
    {"Fast Blur/Amount", "8"},    {"Realistic Blur  [very slow]/Amount", "6"},
    {"Optical Distortion/Amount", "60"}, {"Trail/Amount", "40"},
    {"Directional Blur/Amount", "6"},    {"Lightness/Amount", "25"},
    {"Color/Opacity", "20"},      {"Red/Cyan", "30"},
    {"Blue/Yellow", "15"},        {"MODE", "Screen"},
};
// One treatment at a time: the fast blur off unless it is the one.
Settings Alone(Settings s) {
  s.insert(s.begin(), {"Fast Blur/Visible", "off"});
  return s;
}
const Settings kFastBlur2000 = {{"Fast Blur/Amount", "2000"}};
const Settings kFastBlur20 = {{"Fast Blur/Amount", "20"}};
const Settings kFastBlurMap = {{"Fast Blur/Use Lens as Blur Map", "on"}, {"Feather", "40"}};
const Settings kIris30 = Alone({{"Realistic Blur  [very slow]/Amount", "30"}});
const Settings kIris100 = Alone({{"Realistic Blur  [very slow]/Amount", "100"}});
const Settings kIris30Map = Alone({{"Realistic Blur  [very slow]/Amount", "30"},
                                   {"Realistic Blur  [very slow]/Use Lens as Blur Map", "on"},
                                   {"Feather", "40"}});
const Settings kTrail40 = Alone({{"Trail/Amount", "40"}});
const Settings kLightness = Alone({{"Lightness/Amount", "25"}});
const Settings kColour = Alone({{"Color/Opacity", "30"}});
const Settings kChromatic = Alone({{"Red/Cyan", "30"}, {"Blue/Yellow", "15"}});
const Settings kComposite = Alone({{"MODE", "Screen"}, {"INTENSITY", "70"}});

// The module to time: the one built with the bench, or VIZMIRA_BENCH_MODULE (to time an
// older build against the same anchors).
std::string ModulePath() {
  const char* other = std::getenv("VIZMIRA_BENCH_MODULE");
  return other && *other ? other : VIZMIRA_MODULE;
}

bool Apply(Host& host, const Settings& settings, benchmark::State& state) {
  for (const auto& [key, value] : settings) {
    std::string error;
    if (!minihost::SetByKey(host, key, value, &error)) {
      state.SkipWithError(error.c_str());
      return false;
    }
  }
  return true;
}

// A frame at 8 or 16 bits through the render command, or at float (32) through the smart
// commands, as a host renders float.
void Render(benchmark::State& state, const Settings& settings, int depth) {
  Host host;
  host.Load(ModulePath());
  if (!Apply(host, settings, state)) return;
  const World input = depth == 32 ? minihost::TestCardFloat(1920, 1080)
                                  : minihost::TestCard(1920, 1080, depth == 16);
  World output = depth == 32 ? World::Float(1920, 1080) : World(1920, 1080, depth == 16);
  for (auto _ : state) {
    if (PF_Err err = depth == 32 ? host.SmartRender(input, output) : host.Render(input, output)) {
      state.SkipWithError(("render error " + std::to_string(err)).c_str());
      return;
    }
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_MiB"] = double(usage.ru_maxrss) / 1024.0;
  state.counters["threads"] = host.threads();
}

// Two default 8-bit frames, each on a host with one iteration thread: at the same time on
// two threads, or one after the other.
void TwoRenders(benchmark::State& state, bool at_once) {
  Host hosts[2];
  for (Host& h : hosts) {
    h.Load(ModulePath());
    h.SetThreads(1);
  }
  const World input = minihost::TestCard(1920, 1080, false);
  World outputs[2] = {World(1920, 1080, false), World(1920, 1080, false)};
  for (auto _ : state) {
    PF_Err errs[2] = {PF_Err_NONE, PF_Err_NONE};
    if (at_once) {
      std::thread second([&] { errs[1] = hosts[1].Render(input, outputs[1]); });
      errs[0] = hosts[0].Render(input, outputs[0]);
      second.join();
    } else {
      for (int i = 0; i < 2; ++i) errs[i] = hosts[i].Render(input, outputs[i]);
    }
    if (errs[0] || errs[1]) {
      state.SkipWithError("render error");
      return;
    }
  }
}

#define VZ_SCENARIO(name, settings, depth) \
  BENCHMARK_CAPTURE(Render, name, settings, depth)->Unit(benchmark::kMillisecond)->UseRealTime()

VZ_SCENARIO(defaults_8bit, kDefaults, 8);
VZ_SCENARIO(defaults_16bit, kDefaults, 16);
VZ_SCENARIO(everything_8bit, kEverything, 8);
VZ_SCENARIO(everything_16bit, kEverything, 16);
VZ_SCENARIO(fastblur_r20_8bit, kFastBlur20, 8);
VZ_SCENARIO(fastblur_r2000_8bit, kFastBlur2000, 8);
VZ_SCENARIO(fastblur_map_feather40_8bit, kFastBlurMap, 8);
VZ_SCENARIO(iris_r30_8bit, kIris30, 8);
VZ_SCENARIO(iris_r100_8bit, kIris100, 8)->Iterations(1);
VZ_SCENARIO(iris_r30_map_feather40_8bit, kIris30Map, 8)->Iterations(1);
VZ_SCENARIO(trail40_8bit, kTrail40, 8);
VZ_SCENARIO(lightness_8bit, kLightness, 8);
VZ_SCENARIO(colour_8bit, kColour, 8);
VZ_SCENARIO(chromatic_8bit, kChromatic, 8);
VZ_SCENARIO(composite_8bit, kComposite, 8);
VZ_SCENARIO(defaults_float, kDefaults, 32);
VZ_SCENARIO(everything_float, kEverything, 32);
VZ_SCENARIO(iris_r30_float, kIris30, 32);
BENCHMARK_CAPTURE(TwoRenders, two_at_once, true)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(TwoRenders, two_one_after_another, false)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef VIZMIRA_OPENCV
cv::Mat CardMat() {
  const World card = minihost::TestCard(1920, 1080, false);
  cv::Mat m(1080, 1920, CV_8UC4);
  for (int y = 0; y < 1080; ++y)
    for (int x = 0; x < 1920; ++x) {
      const auto argb = card.Get(x, y);
      m.at<cv::Vec4b>(y, x) = cv::Vec4b(uchar(argb[1]), uchar(argb[2]), uchar(argb[3]), uchar(argb[0]));
    }
  return m;
}

void AnchorA(benchmark::State& state) {
  cv::setNumThreads(1);
  const cv::Mat card = CardMat();
  cv::Mat a, b;
  for (auto _ : state) {
    cv::blur(card, a, cv::Size(41, 41), cv::Point(-1, -1), cv::BORDER_REFLECT_101);
    cv::blur(a, b, cv::Size(41, 41), cv::Point(-1, -1), cv::BORDER_REFLECT_101);
    cv::blur(b, a, cv::Size(41, 41), cv::Point(-1, -1), cv::BORDER_REFLECT_101);
    benchmark::DoNotOptimize(a.data);
  }
}

void AnchorA32(benchmark::State& state) {
  cv::setNumThreads(1);
  cv::Mat card, a, b;
  CardMat().convertTo(card, CV_32FC4, 1.0 / 255);
  for (auto _ : state) {
    cv::blur(card, a, cv::Size(41, 41), cv::Point(-1, -1), cv::BORDER_REFLECT_101);
    cv::blur(a, b, cv::Size(41, 41), cv::Point(-1, -1), cv::BORDER_REFLECT_101);
    cv::blur(b, a, cv::Size(41, 41), cv::Point(-1, -1), cv::BORDER_REFLECT_101);
    benchmark::DoNotOptimize(a.data);
  }
}

void AnchorK(benchmark::State& state) {
  cv::setNumThreads(1);
  const int R = int(state.range(0));
  const cv::Mat card = CardMat();
  // The pentagon kernel, and the highlight weight: brighter pixels weigh more.
  cv::Mat kernel = cv::Mat::zeros(2 * R + 1, 2 * R + 1, CV_32F);
  std::vector<cv::Point> corners;
  for (int i = 0; i < 5; ++i) {
    const double a = -M_PI / 2 + i * 2 * M_PI / 5;
    corners.emplace_back(R + int(std::lround(R * std::cos(a))), R + int(std::lround(R * std::sin(a))));
  }
  cv::fillConvexPoly(kernel, corners, cv::Scalar(1.0));
  cv::Mat colour, grey, weight, weighted, sum, wsum, out;
  card.convertTo(colour, CV_32FC4, 1.0 / 255);
  for (auto _ : state) {
    cv::cvtColor(colour, grey, cv::COLOR_RGBA2GRAY);
    cv::pow(grey, 4.0, weight);
    weight += 0.05;
    cv::Mat channels[4];
    cv::split(colour, channels);
    for (int c = 0; c < 3; ++c) channels[c] = channels[c].mul(weight);
    cv::merge(channels, 3, weighted);
    cv::filter2D(weighted, sum, -1, kernel, cv::Point(-1, -1), 0, cv::BORDER_REFLECT_101);
    cv::filter2D(weight, wsum, -1, kernel, cv::Point(-1, -1), 0, cv::BORDER_REFLECT_101);
    cv::Mat w3;
    cv::Mat ws[3] = {wsum, wsum, wsum};
    cv::merge(ws, 3, w3);
    cv::divide(sum, w3, out);
    benchmark::DoNotOptimize(out.data);
  }
}

BENCHMARK(AnchorA)->Name("anchor_A")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(AnchorA32)->Name("anchor_A32")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(AnchorK)->Name("anchor_K")->Arg(30)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

// Collects each run's time (the median where repetitions ran) for the table of ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const std::string name = run.benchmark_name();
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      std::string key = name.substr(0, name.find("/repeats"));
      key = key.substr(0, key.find("/iterations"));
      key = key.substr(0, key.find("/real_time"));
      if (run.run_type == Run::RT_Aggregate || !times_.count(key)) times_[key] = run.GetAdjustedRealTime();
    }
  }
  void Table() const {
    auto time = [&](const std::string& k) { auto it = times_.find(k); return it == times_.end() ? -1.0 : it->second; };
    const double a = time("anchor_A"), a32 = time("anchor_A32");
    const double k30 = time("anchor_K/30"), k100 = time("anchor_K/100");
    std::printf("\n%-44s %10s %8s %8s\n", "scenario", "ms", "x A", "x K(R)");
    std::printf("%-44s\n", "(float scenarios: x A32)");
    for (const auto& [name, ms] : times_) {
      if (name.rfind("anchor_", 0) == 0) continue;
      const double k = name.find("iris_r100") != std::string::npos ? k100
                       : name.find("iris_r30") != std::string::npos ? k30 : -1;
      std::printf("%-44s %10.1f", name.c_str(), ms);
      const double anchor = name.find("_float") != std::string::npos ? a32 : a;
      if (anchor > 0) std::printf(" %8.2f", ms / anchor); else std::printf(" %8s", "-");
      if (k > 0) std::printf(" %8.2f", ms / k);
      std::printf("\n");
    }
    const double once = time("TwoRenders/two_at_once"), after = time("TwoRenders/two_one_after_another");
    if (once > 0 && after > 0) std::printf("two renders at once / one after another: %.2f\n", once / after);
    const double r2000 = time("Render/fastblur_r2000_8bit"), r20 = time("Render/fastblur_r20_8bit");
    if (r2000 > 0 && r20 > 0) std::printf("fast blur radius 2000 / radius 20: %.2f\n", r2000 / r20);
    if (a > 0) std::printf("anchor A %.1f ms, A32 %.1f ms, K(30) %.1f ms, K(100) %.1f ms\n", a, a32, k30, k100);
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.Table();
  benchmark::Shutdown();
  return 0;
}
