// The declared controls, the render settings built from them, and the supervision pass.
#include <cmath>
#include <cstring>

#include "helpers.h"
#include "params/kt_info.h"
#include "params/param_setup.h"
#include "params/param_table.h"

namespace {

using minihost::UpdateCall;

struct Expected {
  int index;
  const char* name;  // or the checkbox text
  int type;
  int id;
};

TEST(Controls, DeclaredInTableOrderWithLabelsTypesAndIdentifiers) {
  auto host = vt::LoadedHost();
  auto& defs = host->params();
  ASSERT_EQ(defs.size(), 65u);
  EXPECT_EQ(host->out_data().num_params, 65);
  const Expected spot[] = {
      {1, "I. LENS", PF_Param_GROUP_START, 1},
      {2, "Type", PF_Param_POPUP, 2},
      {3, "Custom Layer", PF_Param_LAYER, 3},
      {5, "invert Alpha", PF_Param_CHECKBOX, 5},
      {7, "Position", PF_Param_POINT, 7},
      {11, "Rotation", PF_Param_ANGLE, 11},
      {12, "", PF_Param_GROUP_END, 12},
      {19, "Realistic Blur  [very slow]", PF_Param_GROUP_START, 19},
      {23, "Iris Roundness", PF_Param_FLOAT_SLIDER, 23},
      {25, "Iris Rotation", PF_Param_ANGLE, 23},
      {26, "Use Lens as Blur Map", PF_Param_CHECKBOX, 26},
      {53, "Color", PF_Param_COLOR, 53},
      {63, "INTENSITY", PF_Param_FLOAT_SLIDER, 63},
      {64, "MODE", PF_Param_POPUP, 64},
  };
  for (const Expected& e : spot) {
    const PF_ParamDef& d = defs[size_t(e.index)];
    EXPECT_EQ(d.param_type, e.type) << e.index;
    EXPECT_EQ(d.uu.id, e.id) << e.index;
    if (e.type == PF_Param_CHECKBOX) {
      EXPECT_STREQ(d.name, "") << e.index;
      EXPECT_STREQ(d.u.bd.u.nameptr, e.name) << e.index;
    } else {
      EXPECT_STREQ(d.name, e.name) << e.index;
    }
  }
  // Identifiers run 1 to 24, 23 again at index 25, then 26 to 64.
  for (int i = 1; i <= 64; ++i) EXPECT_EQ(defs[size_t(i)].uu.id, i == 25 ? 23 : i) << i;
}

TEST(Controls, FlagsGroupsAndDisabledControls) {
  auto host = vt::LoadedHost();
  auto& defs = host->params();
  std::vector<int> supervised, collapsed, disabled;
  for (int i = 1; i <= 64; ++i) {
    if (defs[size_t(i)].flags & PF_ParamFlag_SUPERVISE) supervised.push_back(i);
    if (defs[size_t(i)].flags & PF_ParamFlag_COLLAPSE_TWIRLY) collapsed.push_back(i);
    if (defs[size_t(i)].ui_flags & PF_PUI_DISABLED) disabled.push_back(i);
    EXPECT_EQ(defs[size_t(i)].ui_flags & ~PF_PUI_DISABLED, 0) << i;
  }
  EXPECT_EQ(supervised, (std::vector<int>{2, 17, 26}));
  EXPECT_EQ(collapsed, (std::vector<int>{19, 28, 34, 40, 47, 51, 56}));
  EXPECT_EQ(disabled, (std::vector<int>{3, 4}));
}

TEST(Controls, SlidersCarryRangesDefaultsPrecisionAndDisplay) {
  auto host = vt::LoadedHost();
  auto& defs = host->params();
  struct S { int index; float vmin, vmax, smin, smax, dflt; int prec; bool pct; };
  const S sliders[] = {
      {6, 0, 1000, 0, 500, 0, 1, true},     {8, 0, 400, 0, 400, 100, 1, true},
      {16, 0, 32768, 0, 127, 20, 1, false}, {21, 0, 500, 0, 100, 0, 1, false},
      {24, 0, 4, 0, 4, 1, 2, false},        {30, 0, 180, 0, 180, 0, 1, false},
      {36, 0, 100, 0, 100, 0, 1, true},     {42, 0, 65536, 0, 20, 0, 1, false},
      {49, -100, 100, -100, 100, 0, 1, true}, {58, 0, 100, 0, 100, 0, 1, true},
      {63, 0, 100, 0, 100, 100, 1, true},
  };
  for (const S& s : sliders) {
    const PF_FloatSliderDef& f = defs[size_t(s.index)].u.fs_d;
    EXPECT_EQ(f.valid_min, s.vmin) << s.index;
    EXPECT_EQ(f.valid_max, s.vmax) << s.index;
    EXPECT_EQ(f.slider_min, s.smin) << s.index;
    EXPECT_EQ(f.slider_max, s.smax) << s.index;
    EXPECT_EQ(f.dephault, s.dflt) << s.index;
    EXPECT_EQ(f.value, s.dflt) << s.index;
    EXPECT_EQ(f.precision, s.prec) << s.index;
    EXPECT_EQ(f.display_flags, s.pct ? 1 : 0) << s.index;
    EXPECT_EQ(f.fs_flags, PF_FSliderFlag_WANT_PHASE) << s.index;
    EXPECT_EQ(f.curve_tolerance, 0.05f) << s.index;
  }
  EXPECT_STREQ(defs[2].u.pd.u.namesptr, "None|Circle|Rectangle  --|Rectangle  l|Triangle|Custom");
  EXPECT_EQ(defs[2].u.pd.num_choices, 6);
  EXPECT_EQ(defs[2].u.pd.dephault, 2);
  EXPECT_EQ(defs[22].u.pd.dephault, 3);
  EXPECT_EQ(defs[64].u.pd.num_choices, 4);
  EXPECT_EQ(defs[7].u.td.x_dephault, 3276800);
  EXPECT_EQ(defs[15].u.bd.value, 1);
  EXPECT_EQ(defs[17].u.bd.value, 0);
  const PF_Pixel white = defs[53].u.cd.dephault;
  EXPECT_EQ(white.alpha + white.red + white.green + white.blue, 4 * 255);
}

TEST(Controls, AddParamErrorStopsTheDeclaration) {
  // A host that refuses the fifth definition: later rows are not declared, no count set.
  static int calls;
  calls = 0;
  PF_InData in{};
  PF_OutData out{};
  PF_UtilCallbacks utils{};
  utils.ansi.strcpy = [](A_char* d, const A_char* s) { return std::strcpy(d, s); };
  in.utils = &utils;
  in.inter.add_param = [](PF_ProgPtr, PF_ParamIndex, PF_ParamDefPtr) -> PF_Err {
    return ++calls == 5 ? PF_Err_OUT_OF_MEMORY : PF_Err_NONE;
  };
  EXPECT_EQ(ParamsSetup(&in, &out), PF_Err_OUT_OF_MEMORY);
  EXPECT_EQ(calls, 5);
  EXPECT_EQ(out.num_params, 0);
}

// ---- render settings ----------------------------------------------------------------------

class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    host = vt::LoadedHost();
    defs = host->params();
    for (auto& d : defs) ptrs.push_back(&d);
  }
  KT_Info Info() {
    KT_Info info;
    std::memset(&info, 0, sizeof info);
    EXPECT_EQ(SetInfoFromParam(nullptr, &info, ptrs.data()), PF_Err_NONE);
    return info;
  }
  std::unique_ptr<vt::Host> host;
  std::vector<PF_ParamDef> defs;
  std::vector<PF_ParamDef*> ptrs;
};

TEST_F(Settings, DefaultsConvert) {
  const KT_Info i = Info();
  EXPECT_EQ(i.lensType, LensType::kCircle);
  EXPECT_EQ(i.placement, Placement::kCenterMap);
  EXPECT_FALSE(i.invertAlpha);
  EXPECT_EQ(i.scaleW, 1.0f);
  EXPECT_EQ(i.scaleH, 1.0f);
  EXPECT_TRUE(i.fastBlurVisible);
  EXPECT_EQ(i.fastBlurAmount, 20.0f);
  EXPECT_EQ(i.irisSides, 3);
  EXPECT_EQ(i.irisAspect, 1.0f);
  EXPECT_EQ(i.intensity, 1.0f);
  EXPECT_EQ(i.mode, BlendMode::kNormal);
  EXPECT_EQ(i.color.alpha, 255);
  EXPECT_EQ(i.customLayer, nullptr);  // the render command sets it
}

TEST_F(Settings, PointsTruncateTowardZero) {
  defs[P_POSITION].u.td.x_value = 62914560;  // 960.0
  defs[P_POSITION].u.td.y_value = 35389440;  // 540.0
  defs[P_DISTORT_CENTER].u.td.x_value = PF_Fixed(960.75 * 65536);
  defs[P_TRAIL_CENTER].u.td.x_value = PF_Fixed(-10.5 * 65536);
  defs[P_TRAIL_CENTER].u.td.y_value = PF_Fixed(-0.25 * 65536);
  const KT_Info i = Info();
  EXPECT_EQ(i.posX, 960);
  EXPECT_EQ(i.posY, 540);
  EXPECT_EQ(i.distortCenterX, 960);
  EXPECT_EQ(i.trailCenterX, -10);
  EXPECT_EQ(i.trailCenterY, 0);
}

TEST_F(Settings, ScalesMultiplyInSinglePrecision) {
  defs[P_SCALE].u.fs_d.value = 200;
  defs[P_SCALE_WIDTH].u.fs_d.value = 50;
  defs[P_SCALE_HEIGHT].u.fs_d.value = 33.3;
  KT_Info i = Info();
  EXPECT_EQ(i.scaleW, 1.0f);
  EXPECT_EQ(i.scaleH, 200.0f * (float(33.3) / 100.0f) / 100.0f);
  defs[P_SCALE].u.fs_d.value = 0;
  i = Info();
  EXPECT_EQ(i.scaleW, 0.0f);
  EXPECT_EQ(i.scaleH, 0.0f);
}

TEST_F(Settings, AnglesBecomeRadiansUnwrapped) {
  defs[P_ROTATION].u.ad.value = 90 << 16;
  defs[P_IRIS_ROTATION].u.ad.value = -45 * 65536;
  defs[P_DIR_DIRECTION].u.ad.value = 720 << 16;
  const KT_Info i = Info();
  EXPECT_DOUBLE_EQ(i.rotation, 3.141592653589793 / 2);
  EXPECT_DOUBLE_EQ(i.irisRotation, -3.141592653589793 / 4);
  EXPECT_DOUBLE_EQ(i.dirBlurDirection, 4 * 3.141592653589793);
}

TEST_F(Settings, PercentagesBecomeFractionsInTheirPrecision) {
  defs[P_LIGHT_AMOUNT].u.fs_d.value = -100;
  defs[P_FEATHER].u.fs_d.value = 1000;
  defs[P_IRIS_AMOUNT].u.fs_d.value = 33.3;
  defs[P_CHROMA_RED_CYAN].u.fs_d.value = 33.3;
  defs[P_COLOR_OPACITY].u.fs_d.value = 12.7;
  const KT_Info i = Info();
  EXPECT_EQ(i.lightnessAmount, -1.0f);
  EXPECT_EQ(i.feather, 10.0f);
  EXPECT_EQ(i.irisBlurAmount, float(33.3) / 100.0f);        // narrowed, then divided
  EXPECT_EQ(i.chromaRedCyan, float(33.3 / 100.0));          // divided, then narrowed
  EXPECT_EQ(i.colorOpacity, float(12.7) / 100.0f);
}

TEST_F(Settings, CheckboxIsOnOnlyWhenItsLowByteIsOne) {
  defs[P_FAST_VISIBLE].u.bd.value = 2;
  defs[P_TRAIL_VISIBLE].u.bd.value = 257;
  const KT_Info i = Info();
  EXPECT_FALSE(i.fastBlurVisible);
  EXPECT_TRUE(i.trailVisible);
}

// ---- supervision --------------------------------------------------------------------------

std::vector<int> Indices(const std::vector<UpdateCall>& calls) {
  std::vector<int> out;
  for (auto& c : calls) out.push_back(c.index);
  return out;
}

const std::vector<int> kOrder = {5, 11, 8, 3, 4, 6, 6, 8, 10, 9, 11, 32, 38};

TEST(Supervision, SendsUpdatesInTheFixedOrderForEveryLensType) {
  for (int type = 1; type <= 6; ++type) {
    auto host = vt::LoadedHost();
    host->params()[2].u.pd.value = type;
    ASSERT_EQ(host->UserChangedParam(2), PF_Err_NONE);
    const auto& u = host->updates;
    ASSERT_EQ(Indices(u), kOrder) << "type " << type;
    const int off = PF_PUI_DISABLED;
    const bool none = type == 1, custom = type == 6;
    EXPECT_EQ(u[0].ui_flags, none ? off : 0);   // invert Alpha
    EXPECT_EQ(u[1].ui_flags, none ? off : 0);   // Rotation
    EXPECT_EQ(u[2].ui_flags, none ? off : 0);   // Scale
    EXPECT_EQ(u[3].ui_flags, custom ? 0 : off);  // Custom Layer
    EXPECT_EQ(u[4].ui_flags, custom ? 0 : off);  // Placement
    EXPECT_EQ(u[5].ui_flags, none || custom ? off : 0);  // Feather
    // First sends of 6, 8 and 11 are not yet folded; the second round is.
    EXPECT_FALSE(u[5].flags & PF_ParamFlag_COLLAPSE_TWIRLY);
    EXPECT_FALSE(u[0].flags & PF_ParamFlag_COLLAPSE_TWIRLY);
    for (size_t k = 6; k <= 10; ++k) EXPECT_TRUE(u[k].flags & PF_ParamFlag_COLLAPSE_TWIRLY) << k;
    EXPECT_EQ(u[8].ui_flags, none ? off : 0);  // Scale Height reaches the host here
    EXPECT_EQ(u[9].ui_flags, none ? off : 0);  // Scale Width
    EXPECT_EQ(u[11].ui_flags, off);            // both centres greyed: centred on the lens
    EXPECT_EQ(u[12].ui_flags, off);
  }
}

TEST(Supervision, UpdateParamsUiRunsTheSamePass) {
  auto host = vt::LoadedHost();
  ASSERT_EQ(host->UserChangedParam(2, PF_Cmd_UPDATE_PARAMS_UI), PF_Err_NONE);
  EXPECT_EQ(Indices(host->updates), kOrder);
}

TEST(Supervision, CentreControlsFollowTheirCheckboxes) {
  auto host = vt::LoadedHost();
  EXPECT_FALSE(host->params()[32].ui_flags & PF_PUI_DISABLED);  // enabled right after set-up
  host->params()[31].u.bd.value = 0;
  ASSERT_EQ(host->UserChangedParam(17), PF_Err_NONE);
  EXPECT_FALSE(host->params()[32].ui_flags & PF_PUI_DISABLED);
  EXPECT_TRUE(host->params()[38].ui_flags & PF_PUI_DISABLED);
}

TEST(Supervision, FailedUpdatesDoNotStopThePass) {
  auto host = vt::LoadedHost();
  host->faults.failUpdateParamUI = true;
  EXPECT_EQ(host->UserChangedParam(2), PF_Err_NONE);
  EXPECT_EQ(Indices(host->updates), kOrder);
  EXPECT_EQ(host->OutstandingSuites(), 0);
}

TEST(Supervision, MissingSuiteSendsNoUpdate) {
  auto host = vt::LoadedHost();
  host->faults.refuseSuite = kPFParamUtilsSuite;
  EXPECT_EQ(host->UserChangedParam(2), PF_Err_BAD_CALLBACK_PARAM);
  EXPECT_TRUE(host->updates.empty());
  EXPECT_EQ(host->UserChangedParam(2, PF_Cmd_UPDATE_PARAMS_UI), PF_Err_BAD_CALLBACK_PARAM);
}

}  // namespace
