// Shared by the test files: module loading, worlds with known content, comparisons.
#pragma once

#include <cstring>
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "minihost/controls.h"
#include "minihost/host.h"
#include "core/lens_mask.h"

namespace vt {

using minihost::Host;
using minihost::World;

// A host with the built module loaded (global and parameter set-up done).
inline std::unique_ptr<Host> LoadedHost() {
  auto host = std::make_unique<Host>();
  host->Load(VIZMIRA_MODULE);
  return host;
}

// A loaded host that has rendered one pixel: its in_data is then a command's (callbacks and
// suites at hand), for calling a stage directly.
inline std::unique_ptr<Host> HostAfterARender(bool deep) {
  auto host = LoadedHost();
  World one(1, 1, deep);
  EXPECT_EQ(host->Render(one, one), PF_Err_NONE);
  return host;
}

inline void Set(Host& host, const std::string& key, const std::string& value) {
  std::string error;
  ASSERT_TRUE(minihost::SetByKey(host, key, value, &error)) << error;
}

// Random opaque-and-translucent content, reproducible by seed.
inline World RandomWorld(int w, int h, bool deep, uint32_t seed) {
  World world(w, h, deep);
  std::mt19937 rng(seed);
  const int max = deep ? 32768 : 255;
  std::uniform_int_distribution<int> d(0, max);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) world.Set(x, y, d(rng), d(rng), d(rng), d(rng));
  return world;
}

inline World Uniform(int w, int h, bool deep, int a, int r, int g, int b) {
  World world(w, h, deep);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) world.Set(x, y, a, r, g, b);
  return world;
}

// Equal pixel for pixel (float pixels bit for bit: a zero's sign too); on failure names the
// first differing pixel and both values.
inline ::testing::AssertionResult SameImage(const World& a, const World& b) {
  if (a.width() != b.width() || a.height() != b.height() || a.deep() != b.deep() ||
      a.isFloat() != b.isFloat())
    return ::testing::AssertionFailure() << "size or depth differs";
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x) {
      if (a.isFloat()) {
        const PF_PixelFloat &p = a.at<PF_PixelFloat>(x, y), &q = b.at<PF_PixelFloat>(x, y);
        if (std::memcmp(&p, &q, sizeof p) != 0)
          return ::testing::AssertionFailure()
                 << "first difference at (" << x << ", " << y << "): " << p.alpha << "," << p.red
                 << "," << p.green << "," << p.blue << " vs " << q.alpha << "," << q.red << ","
                 << q.green << "," << q.blue;
        continue;
      }
      const auto p = a.Get(x, y), q = b.Get(x, y);
      if (p != q)
        return ::testing::AssertionFailure()
               << "first difference at (" << x << ", " << y << "): " << p[0] << "," << p[1]
               << "," << p[2] << "," << p[3] << " vs " << q[0] << "," << q[1] << "," << q[2]
               << "," << q[3];
    }
  }
  return ::testing::AssertionSuccess();
}

// A lens mask of known values for routine-level tests: set io.mask = mask.get().
class FakeMask {
 public:
  FakeMask(int w, int h, double value) : values_(size_t(w) * h, value) {
    mask_ = LensMask{values_.data(), PF_Rect{0, 0, w, h}};
  }
  const LensMask* get() const { return &mask_; }
  double& at(int x, int y) { return values_[size_t(y) * size_t(mask_.rect.right) + x]; }

 private:
  std::vector<double> values_;
  LensMask mask_;
};

}  // namespace vt
