// Values a host sends outside the declared ranges (old projects, expressions, scripts): the
// render finishes and gives the picture of the value brought into range.
#include <cmath>
#include <limits>

#include "helpers.h"

namespace {

using vt::Host;
using vt::World;

struct Rendered {
  PF_Err err;
  World out;
};

// Renders with the lens and every treatment on, after `edit` changed the host's values.
template <class Edit>
Rendered RenderWith(bool deep, Edit edit) {
  auto host = vt::LoadedHost();
  for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
           {"Type", "Triangle"}, {"Feather", "30"}, {"Realistic Blur  [very slow]/Amount", "3"},
           {"Optical Distortion/Amount", "30"}, {"Trail/Amount", "20"},
           {"Directional Blur/Amount", "3"}, {"Lightness/Amount", "10"}, {"Color/Opacity", "10"},
           {"Red/Cyan", "20"}, {"MODE", "Screen"}})
    vt::Set(*host, key, value);
  edit(*host);
  World in = vt::RandomWorld(24, 16, deep, 21);
  Rendered r{PF_Err_NONE, World(24, 16, deep)};
  r.err = host->Render(in, r.out);
  EXPECT_EQ(host->LiveWorlds(), 0);
  return r;
}

std::vector<int> FloatSliders() {
  std::vector<int> out;
  auto host = vt::LoadedHost();
  for (size_t i = 1; i < host->params().size(); ++i)
    if (host->params()[i].param_type == PF_Param_FLOAT_SLIDER) out.push_back(int(i));
  return out;
}

class HostValues : public ::testing::TestWithParam<bool> {};

TEST_P(HostValues, SlidersBeyondTheirRangeRenderAsTheirEnds) {
  const bool deep = GetParam();
  const double inf = std::numeric_limits<double>::infinity();
  for (int i : FloatSliders()) {
    for (double wild : {inf, 1e30, -1e30, -inf, -5.0}) {
      const Rendered got = RenderWith(deep, [&](Host& h) { h.params()[size_t(i)].u.fs_d.value = wild; });
      const Rendered want = RenderWith(deep, [&](Host& h) {
        PF_FloatSliderDef& fs = h.params()[size_t(i)].u.fs_d;
        fs.value = std::clamp(wild, double(fs.valid_min), double(fs.valid_max));
      });
      ASSERT_EQ(got.err, PF_Err_NONE) << "control " << i << " = " << wild;
      EXPECT_TRUE(vt::SameImage(got.out, want.out)) << "control " << i << " = " << wild;
    }
  }
}

TEST_P(HostValues, NotANumberRendersAsTheDefault) {
  const bool deep = GetParam();
  for (int i : FloatSliders()) {
    const Rendered got = RenderWith(deep, [&](Host& h) {
      h.params()[size_t(i)].u.fs_d.value = std::numeric_limits<double>::quiet_NaN();
    });
    const Rendered want = RenderWith(deep, [&](Host& h) {
      PF_FloatSliderDef& fs = h.params()[size_t(i)].u.fs_d;
      fs.value = fs.dephault;
    });
    ASSERT_EQ(got.err, PF_Err_NONE) << "control " << i;
    EXPECT_TRUE(vt::SameImage(got.out, want.out)) << "control " << i;
  }
}

TEST_P(HostValues, PopupsBeyondTheirChoicesRenderAsTheNearestChoice) {
  const bool deep = GetParam();
  auto host = vt::LoadedHost();
  for (size_t i = 1; i < host->params().size(); ++i) {
    if (host->params()[i].param_type != PF_Param_POPUP) continue;
    const A_long choices = host->params()[i].u.pd.num_choices;
    for (A_long wild : {0, -7, 99}) {
      const Rendered got = RenderWith(deep, [&](Host& h) { h.params()[i].u.pd.value = wild; });
      const Rendered want = RenderWith(deep, [&](Host& h) {
        h.params()[i].u.pd.value = wild < 1 ? 1 : choices;
      });
      ASSERT_EQ(got.err, PF_Err_NONE) << "control " << i << " = " << wild;
      EXPECT_TRUE(vt::SameImage(got.out, want.out)) << "control " << i << " = " << wild;
    }
  }
}

TEST_P(HostValues, PointsAnglesAndCheckboxesAtTheirExtremesRenderTheSameEveryTime) {
  const bool deep = GetParam();
  auto host = vt::LoadedHost();
  const A_long extremes[] = {std::numeric_limits<A_long>::min(), std::numeric_limits<A_long>::max()};
  for (size_t i = 1; i < host->params().size(); ++i) {
    const PF_ParamType type = host->params()[i].param_type;
    if (type != PF_Param_POINT && type != PF_Param_ANGLE && type != PF_Param_CHECKBOX) continue;
    for (A_long wild : extremes) {
      auto edit = [&](Host& h) {
        PF_ParamDef& d = h.params()[i];
        if (type == PF_Param_POINT) h.SetPoint(int(i), wild / 65536.0, -(wild / 65536.0), true);
        else if (type == PF_Param_ANGLE) d.u.ad.value = wild;
        else d.u.bd.value = wild;
      };
      const Rendered first = RenderWith(deep, edit), second = RenderWith(deep, edit);
      ASSERT_EQ(first.err, PF_Err_NONE) << "control " << i << " = " << wild;
      EXPECT_TRUE(vt::SameImage(first.out, second.out)) << "control " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Depths, HostValues, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "16bit" : "8bit"; });

}  // namespace
