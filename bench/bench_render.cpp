// Time per frame of whole renders through the entry point, on a 1920 × 1080 test card, and
// the process's peak memory. Run: build/bin/vizmira_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <string>
#include <utility>
#include <vector>

#include "minihost/controls.h"
#include "minihost/host.h"
#include "minihost/testcard.h"

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

void Render(benchmark::State& state, const Settings& settings, bool deep) {
  Host host;
  host.Load(VIZMIRA_MODULE);
  for (const auto& [key, value] : settings) {
    std::string error;
    if (!minihost::SetByKey(host, key, value, &error)) {
      state.SkipWithError(error.c_str());
      return;
    }
  }
  const World input = minihost::TestCard(1920, 1080, deep);
  World output(1920, 1080, deep);
  for (auto _ : state) {
    if (PF_Err err = host.Render(input, output)) {
      state.SkipWithError(("render error " + std::to_string(err)).c_str());
      return;
    }
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_MiB"] = double(usage.ru_maxrss) / 1024.0;
  state.counters["threads"] = host.threads();
}

BENCHMARK_CAPTURE(Render, defaults_8bit, kDefaults, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Render, defaults_16bit, kDefaults, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Render, everything_8bit, kEverything, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Render, everything_16bit, kEverything, true)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
