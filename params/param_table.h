// The 64 controls, in index order: the one table that parameter set-up declares from and
// that everything else names controls by.
#pragma once

#include "AE_Effect.h"
#include "strings.h"

enum ParamIndex : int {
  P_INPUT = 0,
  P_LENS_GROUP, P_LENS_TYPE, P_CUSTOM_LAYER, P_PLACEMENT, P_INVERT_ALPHA, P_FEATHER,
  P_POSITION, P_SCALE, P_SCALE_WIDTH, P_SCALE_HEIGHT, P_ROTATION, P_LENS_END,
  P_BLUR_GROUP,
  P_FAST_GROUP, P_FAST_VISIBLE, P_FAST_AMOUNT, P_FAST_LENS_MAP, P_FAST_END,
  P_IRIS_GROUP, P_IRIS_VISIBLE, P_IRIS_AMOUNT, P_IRIS_SIDES, P_IRIS_ROUNDNESS, P_IRIS_ASPECT,
  P_IRIS_ROTATION, P_IRIS_LENS_MAP, P_IRIS_END,
  P_DISTORT_GROUP, P_DISTORT_VISIBLE, P_DISTORT_AMOUNT, P_DISTORT_CENTER_OF_LENS,
  P_DISTORT_CENTER, P_DISTORT_END,
  P_TRAIL_GROUP, P_TRAIL_VISIBLE, P_TRAIL_AMOUNT, P_TRAIL_CENTER_OF_LENS, P_TRAIL_CENTER,
  P_TRAIL_END,
  P_DIR_GROUP, P_DIR_VISIBLE, P_DIR_AMOUNT, P_DIR_DIRECTION, P_DIR_END,
  P_BLUR_END,
  P_OTHER_GROUP,
  P_LIGHT_GROUP, P_LIGHT_VISIBLE, P_LIGHT_AMOUNT, P_LIGHT_END,
  P_COLOR_GROUP, P_COLOR_VISIBLE, P_COLOR, P_COLOR_OPACITY, P_COLOR_END,
  P_CHROMA_GROUP, P_CHROMA_VISIBLE, P_CHROMA_RED_CYAN, P_CHROMA_GREEN_MAGENTA,
  P_CHROMA_BLUE_YELLOW, P_CHROMA_END,
  P_OTHER_END,
  P_INTENSITY, P_MODE,
  P_NUM_PARAMS  // 65: the input layer and 64 declared controls
};

struct ParamRow {
  ParamIndex index;
  A_long id;            // persistent identifier saved in projects
  PF_ParamType type;
  StrID label;          // the name, or a checkbox's text (its name stays empty)
  PF_ParamFlags flags;  // supervise, collapse twirly
  PF_ParamUIFlags ui_flags;
  // Float slider: valid and slider ranges and default in the units the user types.
  float valid_min, valid_max, slider_min, slider_max, dflt;
  A_short precision;
  bool percent;
  // Popup: choice string and count; default in dflt (1-based). Checkbox: default in dflt.
  StrID choices;
  A_short num_choices;
  // Point: default in percent of the layer. Colour: default pixel.
  float point_x, point_y;
  PF_Pixel color;
};

namespace param_rows {

constexpr ParamRow Base(ParamIndex i, PF_ParamType t, StrID label) {
  return ParamRow{i, A_long(i), t, label, 0, 0, 0, 0, 0, 0, 0, 0, false,
                  StrID_NONE, 0, 0, 0, PF_Pixel{0, 0, 0, 0}};
}
constexpr ParamRow Group(ParamIndex i, StrID label, PF_ParamFlags flags = 0) {
  ParamRow r = Base(i, PF_Param_GROUP_START, label);
  r.flags = flags;
  return r;
}
constexpr ParamRow End(ParamIndex i) { return Base(i, PF_Param_GROUP_END, StrID_NONE); }
constexpr ParamRow Popup(ParamIndex i, StrID label, StrID choices, A_short n, A_short dflt,
                         PF_ParamFlags flags = 0, PF_ParamUIFlags ui = 0) {
  ParamRow r = Base(i, PF_Param_POPUP, label);
  r.choices = choices;
  r.num_choices = n;
  r.dflt = dflt;
  r.flags = flags;
  r.ui_flags = ui;
  return r;
}
constexpr ParamRow Checkbox(ParamIndex i, StrID text, bool dflt, PF_ParamFlags flags = 0) {
  ParamRow r = Base(i, PF_Param_CHECKBOX, text);
  r.dflt = dflt ? 1.0f : 0.0f;
  r.flags = flags;
  return r;
}
constexpr ParamRow Slider(ParamIndex i, StrID label, float vmin, float vmax, float smin,
                          float smax, float dflt, A_short precision, bool percent) {
  ParamRow r = Base(i, PF_Param_FLOAT_SLIDER, label);
  r.valid_min = vmin;
  r.valid_max = vmax;
  r.slider_min = smin;
  r.slider_max = smax;
  r.dflt = dflt;
  r.precision = precision;
  r.percent = percent;
  return r;
}
constexpr ParamRow Point(ParamIndex i, StrID label, float x_pct, float y_pct) {
  ParamRow r = Base(i, PF_Param_POINT, label);
  r.point_x = x_pct;
  r.point_y = y_pct;
  return r;
}
constexpr ParamRow Angle(ParamIndex i, StrID label, float dflt_degrees, A_long id) {
  ParamRow r = Base(i, PF_Param_ANGLE, label);
  r.dflt = dflt_degrees;
  r.id = id;
  return r;
}
constexpr ParamRow Angle(ParamIndex i, StrID label) { return Angle(i, label, 0, A_long(i)); }
constexpr ParamRow Color(ParamIndex i, StrID label, PF_Pixel dflt) {
  ParamRow r = Base(i, PF_Param_COLOR, label);
  r.color = dflt;
  return r;
}
constexpr ParamRow Layer(ParamIndex i, StrID label, PF_ParamUIFlags ui) {
  ParamRow r = Base(i, PF_Param_LAYER, label);
  r.ui_flags = ui;
  return r;
}

constexpr PF_ParamFlags kSupervise = PF_ParamFlag_SUPERVISE;
constexpr PF_ParamFlags kCollapsed = PF_ParamFlag_COLLAPSE_TWIRLY;
constexpr bool kPct = true;

}  // namespace param_rows

// Row 0 stands for the input layer, which the host supplies: it is never declared, and
// keeps row i at position i.
inline constexpr ParamRow kParamTable[] = {
    param_rows::Base(P_INPUT, PF_Param_LAYER, StrID_NONE),
    param_rows::Group(P_LENS_GROUP, StrID_Lens_Group),
    param_rows::Popup(P_LENS_TYPE, StrID_Type, StrID_Type_Choices, 6, 2, param_rows::kSupervise),
    param_rows::Layer(P_CUSTOM_LAYER, StrID_Custom_Layer, PF_PUI_DISABLED),
    param_rows::Popup(P_PLACEMENT, StrID_Placement, StrID_Placement_Choices, 2, 1, 0,
                      PF_PUI_DISABLED),
    param_rows::Checkbox(P_INVERT_ALPHA, StrID_Invert_Alpha, false),
    param_rows::Slider(P_FEATHER, StrID_Feather, 0, 1000, 0, 500, 0, 1, param_rows::kPct),
    param_rows::Point(P_POSITION, StrID_Position, 50, 50),
    param_rows::Slider(P_SCALE, StrID_Scale, 0, 400, 0, 400, 100, 1, param_rows::kPct),
    param_rows::Slider(P_SCALE_WIDTH, StrID_Scale_Width, 0, 400, 0, 400, 100, 1, param_rows::kPct),
    param_rows::Slider(P_SCALE_HEIGHT, StrID_Scale_Height, 0, 400, 0, 400, 100, 1,
                       param_rows::kPct),
    param_rows::Angle(P_ROTATION, StrID_Rotation),
    param_rows::End(P_LENS_END),
    param_rows::Group(P_BLUR_GROUP, StrID_Blur_Group),
    param_rows::Group(P_FAST_GROUP, StrID_Fast_Blur),
    param_rows::Checkbox(P_FAST_VISIBLE, StrID_Visible, true),
    param_rows::Slider(P_FAST_AMOUNT, StrID_Amount, 0, 32768, 0, 127, 20, 1, false),
    param_rows::Checkbox(P_FAST_LENS_MAP, StrID_Use_Lens_As_Blur_Map, false,
                         param_rows::kSupervise),
    param_rows::End(P_FAST_END),
    param_rows::Group(P_IRIS_GROUP, StrID_Realistic_Blur, param_rows::kCollapsed),
    param_rows::Checkbox(P_IRIS_VISIBLE, StrID_Visible, true),
    param_rows::Slider(P_IRIS_AMOUNT, StrID_Amount, 0, 500, 0, 100, 0, 1, false),
    param_rows::Popup(P_IRIS_SIDES, StrID_Iris_Sides, StrID_Iris_Sides_Choices, 8, 3),
    param_rows::Slider(P_IRIS_ROUNDNESS, StrID_Iris_Roundness, 0, 100, 0, 100, 0, 1,
                       param_rows::kPct),
    param_rows::Slider(P_IRIS_ASPECT, StrID_Iris_Aspect_Ratio, 0, 4, 0, 4, 1, 2, false),
    // Shares identifier 23 with "Iris Roundness"; saved projects rely on it.
    param_rows::Angle(P_IRIS_ROTATION, StrID_Iris_Rotation, 0, 23),
    param_rows::Checkbox(P_IRIS_LENS_MAP, StrID_Use_Lens_As_Blur_Map, false,
                         param_rows::kSupervise),
    param_rows::End(P_IRIS_END),
    param_rows::Group(P_DISTORT_GROUP, StrID_Optical_Distortion, param_rows::kCollapsed),
    param_rows::Checkbox(P_DISTORT_VISIBLE, StrID_Visible, true),
    param_rows::Slider(P_DISTORT_AMOUNT, StrID_Amount, 0, 180, 0, 180, 0, 1, false),
    param_rows::Checkbox(P_DISTORT_CENTER_OF_LENS, StrID_Center_Of_The_Lens, true),
    param_rows::Point(P_DISTORT_CENTER, StrID_Center, 50, 50),
    param_rows::End(P_DISTORT_END),
    param_rows::Group(P_TRAIL_GROUP, StrID_Trail, param_rows::kCollapsed),
    param_rows::Checkbox(P_TRAIL_VISIBLE, StrID_Visible, true),
    param_rows::Slider(P_TRAIL_AMOUNT, StrID_Amount, 0, 100, 0, 100, 0, 1, param_rows::kPct),
    param_rows::Checkbox(P_TRAIL_CENTER_OF_LENS, StrID_Center_Of_The_Lens, true),
    param_rows::Point(P_TRAIL_CENTER, StrID_Center, 50, 50),
    param_rows::End(P_TRAIL_END),
    param_rows::Group(P_DIR_GROUP, StrID_Directional_Blur, param_rows::kCollapsed),
    param_rows::Checkbox(P_DIR_VISIBLE, StrID_Visible, true),
    param_rows::Slider(P_DIR_AMOUNT, StrID_Amount, 0, 65536, 0, 20, 0, 1, false),
    param_rows::Angle(P_DIR_DIRECTION, StrID_Direction),
    param_rows::End(P_DIR_END),
    param_rows::End(P_BLUR_END),
    param_rows::Group(P_OTHER_GROUP, StrID_Other_Group),
    param_rows::Group(P_LIGHT_GROUP, StrID_Lightness, param_rows::kCollapsed),
    param_rows::Checkbox(P_LIGHT_VISIBLE, StrID_Visible, true),
    param_rows::Slider(P_LIGHT_AMOUNT, StrID_Amount, -100, 100, -100, 100, 0, 1,
                       param_rows::kPct),
    param_rows::End(P_LIGHT_END),
    param_rows::Group(P_COLOR_GROUP, StrID_Color, param_rows::kCollapsed),
    param_rows::Checkbox(P_COLOR_VISIBLE, StrID_Visible, true),
    param_rows::Color(P_COLOR, StrID_Color, PF_Pixel{255, 255, 255, 255}),
    param_rows::Slider(P_COLOR_OPACITY, StrID_Opacity, 0, 100, 0, 100, 0, 1, param_rows::kPct),
    param_rows::End(P_COLOR_END),
    param_rows::Group(P_CHROMA_GROUP, StrID_Chromatic_Aberration, param_rows::kCollapsed),
    param_rows::Checkbox(P_CHROMA_VISIBLE, StrID_Visible, true),
    param_rows::Slider(P_CHROMA_RED_CYAN, StrID_Red_Cyan, 0, 100, 0, 100, 0, 1, param_rows::kPct),
    param_rows::Slider(P_CHROMA_GREEN_MAGENTA, StrID_Green_Magenta, 0, 100, 0, 100, 0, 1,
                       param_rows::kPct),
    param_rows::Slider(P_CHROMA_BLUE_YELLOW, StrID_Blue_Yellow, 0, 100, 0, 100, 0, 1,
                       param_rows::kPct),
    param_rows::End(P_CHROMA_END),
    param_rows::End(P_OTHER_END),
    param_rows::Slider(P_INTENSITY, StrID_Intensity, 0, 100, 0, 100, 100, 1, param_rows::kPct),
    param_rows::Popup(P_MODE, StrID_Mode, StrID_Mode_Choices, 4, 1),
};

constexpr bool ParamRowsInIndexOrder() {
  for (int i = 0; i < P_NUM_PARAMS; ++i)
    if (kParamTable[i].index != i) return false;
  return true;
}
static_assert(sizeof(kParamTable) / sizeof(kParamTable[0]) == P_NUM_PARAMS, "65 rows");
static_assert(ParamRowsInIndexOrder(), "row i declares index i");
