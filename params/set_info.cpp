#include <algorithm>
#include <cmath>
#include <tuple>

#include "kt_info.h"
#include "numbers.h"
#include "param_table.h"

namespace {

// Hosts send values outside the declared ranges from old projects, expressions and
// scripts. They are brought into range here, once, so that every stage sees only values it
// was built for: a slider is clamped to its valid range (NaN takes the default), a popup to
// its choices. Values in range pass unchanged.
double SliderValue(const PF_ParamDef* p, ParamIndex i) {
  const ParamRow& row = kParamTable[i];
  const double v = p->u.fs_d.value;
  if (std::isnan(v)) return row.dflt;
  return std::clamp(v, double(row.valid_min), double(row.valid_max));
}
A_long PopupValue(const PF_ParamDef* p, ParamIndex i) {
  return std::clamp<A_long>(p->u.pd.value, 1, kParamTable[i].num_choices);
}

// Percent slider to fraction: narrowed to single precision first, then divided.
float Fraction(const PF_ParamDef* p, ParamIndex i) { return float(SliderValue(p, i)) / 100.0f; }
float Plain(const PF_ParamDef* p, ParamIndex i) { return float(SliderValue(p, i)); }
// The low byte of the value; on only when it is exactly 1.
bool Checked(const PF_ParamDef* p) { return A_u_char(p->u.bd.value) == 1; }

// 16.16 pixels to whole pixels, truncated toward zero (-10.5 gives -10).
A_long Pixels(PF_Fixed v) { return A_long(float(v) / 65536.0f); }

double Radians(PF_Fixed degrees_fixed) {
  double degrees = double(float(degrees_fixed) * 1.52587890625e-05f);
  return degrees * kPi / 180.0;
}

// Scale × (Scale Width or Height ÷ 100) ÷ 100, in single precision in that order.
float Scale(const PF_ParamDef* scale, const PF_ParamDef* side, ParamIndex side_index) {
  return float(SliderValue(scale, P_SCALE)) * (float(SliderValue(side, side_index)) / 100.0f) /
         100.0f;
}

}  // namespace

PF_Err SetInfoFromParam(PF_InData* /*in_data*/, KT_Info* info, PF_ParamDef* params[]) {
  auto p = [params](ParamIndex i) { return params[i]; };
  info->lensType = LensType(PopupValue(p(P_LENS_TYPE), P_LENS_TYPE));
  info->placement = Placement(PopupValue(p(P_PLACEMENT), P_PLACEMENT));
  info->invertAlpha = Checked(p(P_INVERT_ALPHA));
  info->feather = Fraction(p(P_FEATHER), P_FEATHER);
  info->posX = Pixels(p(P_POSITION)->u.td.x_value);
  info->posY = Pixels(p(P_POSITION)->u.td.y_value);
  info->scaleW = Scale(p(P_SCALE), p(P_SCALE_WIDTH), P_SCALE_WIDTH);
  info->scaleH = Scale(p(P_SCALE), p(P_SCALE_HEIGHT), P_SCALE_HEIGHT);
  info->rotation = Radians(p(P_ROTATION)->u.ad.value);

  info->fastBlurVisible = Checked(p(P_FAST_VISIBLE));
  info->fastBlurAmount = Plain(p(P_FAST_AMOUNT), P_FAST_AMOUNT);
  info->fastBlurLensMap = Checked(p(P_FAST_LENS_MAP));

  info->irisBlurVisible = Checked(p(P_IRIS_VISIBLE));
  info->irisBlurAmount = Fraction(p(P_IRIS_AMOUNT), P_IRIS_AMOUNT);
  info->irisSides = PopupValue(p(P_IRIS_SIDES), P_IRIS_SIDES);
  info->irisRoundness = Fraction(p(P_IRIS_ROUNDNESS), P_IRIS_ROUNDNESS);
  info->irisAspect = Plain(p(P_IRIS_ASPECT), P_IRIS_ASPECT);
  info->irisRotation = Radians(p(P_IRIS_ROTATION)->u.ad.value);
  info->irisBlurLensMap = Checked(p(P_IRIS_LENS_MAP));

  info->distortVisible = Checked(p(P_DISTORT_VISIBLE));
  info->distortAmount = Plain(p(P_DISTORT_AMOUNT), P_DISTORT_AMOUNT);
  info->distortCenterOfLens = Checked(p(P_DISTORT_CENTER_OF_LENS));
  info->distortCenterX = Pixels(p(P_DISTORT_CENTER)->u.td.x_value);
  info->distortCenterY = Pixels(p(P_DISTORT_CENTER)->u.td.y_value);

  info->trailVisible = Checked(p(P_TRAIL_VISIBLE));
  info->trailAmount = Fraction(p(P_TRAIL_AMOUNT), P_TRAIL_AMOUNT);
  info->trailCenterOfLens = Checked(p(P_TRAIL_CENTER_OF_LENS));
  info->trailCenterX = Pixels(p(P_TRAIL_CENTER)->u.td.x_value);
  info->trailCenterY = Pixels(p(P_TRAIL_CENTER)->u.td.y_value);

  info->dirBlurVisible = Checked(p(P_DIR_VISIBLE));
  info->dirBlurAmount = Plain(p(P_DIR_AMOUNT), P_DIR_AMOUNT);
  info->dirBlurDirection = Radians(p(P_DIR_DIRECTION)->u.ad.value);

  info->lightnessVisible = Checked(p(P_LIGHT_VISIBLE));
  info->lightnessAmount = Fraction(p(P_LIGHT_AMOUNT), P_LIGHT_AMOUNT);

  info->colorVisible = Checked(p(P_COLOR_VISIBLE));
  info->colorOpacity = Fraction(p(P_COLOR_OPACITY), P_COLOR_OPACITY);
  info->color = p(P_COLOR)->u.cd.value;

  // These three divide in double precision before narrowing, unlike the other percentages.
  info->chromaVisible = Checked(p(P_CHROMA_VISIBLE));
  info->chromaRedCyan = float(SliderValue(p(P_CHROMA_RED_CYAN), P_CHROMA_RED_CYAN) / 100.0);
  info->chromaGreenMagenta =
      float(SliderValue(p(P_CHROMA_GREEN_MAGENTA), P_CHROMA_GREEN_MAGENTA) / 100.0);
  info->chromaBlueYellow = float(SliderValue(p(P_CHROMA_BLUE_YELLOW), P_CHROMA_BLUE_YELLOW) / 100.0);

  info->intensity = Fraction(p(P_INTENSITY), P_INTENSITY);
  info->mode = BlendMode(PopupValue(p(P_MODE), P_MODE));
  DerivePlan(info);
  return PF_Err_NONE;
}

void DerivePlan(KT_Info* info) {
  KT_Plan& plan = info->plan;
  plan = KT_Plan{};
  const bool scaled = info->scaleW != 0 && info->scaleH != 0;
  plan.fastBlurRadius = A_long(info->fastBlurAmount);
  plan.fastBlurRuns = info->fastBlurVisible && plan.fastBlurRadius != 0 && scaled;
  // The map is used where the feather's band is wider than the blur's share of it.
  const bool fastMapWins = 2 * info->feather > info->fastBlurAmount / 100;
  plan.fastBlurUsesMap = info->fastBlurLensMap && fastMapWins;
  plan.fastBlurInMapPass = plan.fastBlurRuns && info->fastBlurLensMap;
  plan.irisRuns = info->irisBlurVisible && double(info->irisBlurAmount) > kNegligible;
  plan.irisInMapPass = info->irisBlurLensMap;
  // Any amount above 0 asks for the blur-map pass, even one too small to blur.
  plan.blurMapPass =
      (info->fastBlurVisible && info->fastBlurLensMap && info->fastBlurAmount > 0 && fastMapWins) ||
      (info->irisBlurVisible && info->irisBlurLensMap && info->irisBlurAmount > 0);
  plan.lensComposite = info->lensType != LensType::kNone && info->scaleW > 0 && info->scaleH > 0;
  // A blur that does not use the lens as its map (its share is the wider) raises the lens
  // composite's weight by its strength; the realistic blur's, when both, wins.
  for (const auto& [visible, lensMap, strength] :
       {std::tuple{info->fastBlurVisible, info->fastBlurLensMap, info->fastBlurAmount / 100},
        std::tuple{info->irisBlurVisible, info->irisBlurLensMap, info->irisBlurAmount / 100}}) {
    if (visible && lensMap && strength >= 2 * info->feather) {
      plan.lensBlurMap = true;
      plan.lensStrength = strength;
    }
  }
}
