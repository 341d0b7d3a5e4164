// vizmira_smoke MODULE: loads the module, renders a small synthetic picture at 8 and 16 bits
// (the render command) and at float (the smart commands) with a few treatments on, and
// prints a checksum of each result. Builds for Linux and
// Windows alike, so the two platforms' modules can be compared pixel for pixel.
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "minihost/controls.h"
#include "minihost/host.h"
#include "minihost/testcard.h"

namespace {

uint64_t Checksum(const minihost::World& w) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a over every channel value (a float's bits)
  auto add = [&h](uint64_t v) {
    h ^= v;
    h *= 1099511628211ull;
  };
  for (int y = 0; y < w.height(); ++y)
    for (int x = 0; x < w.width(); ++x) {
      if (!w.isFloat()) {
        for (int v : w.Get(x, y)) add(uint64_t(v));
        continue;
      }
      const PF_PixelFloat& p = w.at<PF_PixelFloat>(x, y);
      for (float v : {p.alpha, p.red, p.green, p.blue}) {
        uint32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        add(bits);
      }
    }
  return h;
}

const std::pair<const char*, const char*> kSettings[] = {
    {"Type", "Triangle"},          {"Feather", "30"},
    {"Fast Blur/Amount", "3"},     {"Realistic Blur  [very slow]/Amount", "3"},
    {"Optical Distortion/Amount", "40"}, {"Trail/Amount", "30"},
    {"Directional Blur/Amount", "3"},    {"Direction", "25"},
    {"Lightness/Amount", "20"},    {"Color/Opacity", "10"},
    {"Red/Cyan", "30"},            {"MODE", "Screen"},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: vizmira_smoke MODULE\n");
    return 2;
  }
  try {
    minihost::Host host;
    host.Load(argv[1]);
    for (const auto& [key, value] : kSettings) {
      std::string error;
      if (!minihost::SetByKey(host, key, value, &error)) {
        std::fprintf(stderr, "vizmira_smoke: %s\n", error.c_str());
        return 2;
      }
    }
    for (bool deep : {false, true}) {
      const minihost::World input = minihost::TestCard(96, 64, deep);
      minihost::World output(96, 64, deep);
      if (PF_Err err = host.Render(input, output)) {
        std::fprintf(stderr, "vizmira_smoke: render error %d\n", int(err));
        return 4;
      }
      std::printf("%d-bit %016llx\n", deep ? 16 : 8, (unsigned long long)Checksum(output));
    }
    const minihost::World input = minihost::TestCardFloat(96, 64);
    minihost::World output = minihost::World::Float(96, 64);
    if (PF_Err err = host.SmartRender(input, output)) {
      std::fprintf(stderr, "vizmira_smoke: smart render error %d\n", int(err));
      return 4;
    }
    std::printf("float %016llx\n", (unsigned long long)Checksum(output));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vizmira_smoke: %s\n", e.what());
    return 3;
  }
  return 0;
}
