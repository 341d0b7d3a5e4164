#include "strings.h"

#include "services/pipl_table.h"

namespace {

struct TableString {
  int32_t index;
  char str[256];
};

// The effect name comes from the property table, so it is stored once.
constexpr TableString kStrings[] = {
    {StrID_NONE, ""},
    {StrID_Name, ""},
    {StrID_Description,
     "Version 1.0.5\n(c) 2019-2026 the Vizmira developers\n\n"
     "support@vizmira.example\nhttps://vizmira.example"},
    {StrID_Lens_Group, "I. LENS"},
    {StrID_Type, "Type"},
    {StrID_Type_Choices, "None|Circle|Rectangle  --|Rectangle  l|Triangle|Custom"},
    {StrID_Custom_Layer, "Custom Layer"},
    {StrID_Placement, "Placement"},
    {StrID_Placement_Choices, "Center Map|Stretch Map to Fit"},
    {StrID_Invert_Alpha, "invert Alpha"},
    {StrID_Feather, "Feather"},
    {StrID_Position, "Position"},
    {StrID_Scale, "Scale"},
    {StrID_Scale_Width, "Scale Width"},
    {StrID_Scale_Height, "Scale Height"},
    {StrID_Rotation, "Rotation"},
    {StrID_Blur_Group, "II. BLUR"},
    {StrID_Fast_Blur, "Fast Blur"},
    {StrID_Visible, "Visible"},
    {StrID_Amount, "Amount"},
    {StrID_Use_Lens_As_Blur_Map, "Use Lens as Blur Map"},
    {StrID_Realistic_Blur, "Realistic Blur  [very slow]"},
    {StrID_Iris_Sides, "Iris Sides"},
    {StrID_Iris_Sides_Choices, "Triangle|Square|Pentagon|Hexagon|Heptagon|Octagon|Nonagon|Decagon"},
    {StrID_Iris_Roundness, "Iris Roundness"},
    {StrID_Iris_Aspect_Ratio, "Iris Aspect Ratio"},
    {StrID_Iris_Rotation, "Iris Rotation"},
    {StrID_Optical_Distortion, "Optical Distortion"},
    {StrID_Center_Of_The_Lens, "Center of the Lens"},
    {StrID_Center, "Center"},
    {StrID_Trail, "Trail"},
    {StrID_Directional_Blur, "Directional Blur"},
    {StrID_Direction, "Direction"},
    {StrID_Other_Group, "III. OTHER"},
    {StrID_Lightness, "Lightness"},
    {StrID_Color, "Color"},
    {StrID_Opacity, "Opacity"},
    {StrID_Chromatic_Aberration, "Chromatic Aberration"},
    {StrID_Red_Cyan, "Red/Cyan"},
    {StrID_Green_Magenta, "Green/Magenta"},
    {StrID_Blue_Yellow, "Blue/Yellow"},
    {StrID_Intensity, "INTENSITY"},
    {StrID_Mode, "MODE"},
    {StrID_Mode_Choices, "Normal|Add|Screen|Multiply"},
};
constexpr bool IndexedInOrder() {
  for (int32_t i = 0; i < StrID_NUMTYPES; ++i)
    if (kStrings[i].index != i) return false;
  return true;
}
static_assert(sizeof(kStrings) / sizeof(kStrings[0]) == StrID_NUMTYPES,
              "one entry per string identifier");
static_assert(IndexedInOrder(), "entry i has identifier i");

}  // namespace

const char* GetStringPtr(int32_t strNum) {
  if (strNum == StrID_Name) return vz::kEffectName;
  if (strNum < 0 || strNum >= StrID_NUMTYPES) return "";
  return kStrings[strNum].str;
}
