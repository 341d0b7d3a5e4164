// The module's string table: effect name, About text, control labels and popup choices.
#pragma once

#include <cstdint>

enum StrID : int32_t {
  StrID_NONE = 0,
  StrID_Name,
  StrID_Description,
  StrID_Lens_Group,
  StrID_Type,
  StrID_Type_Choices,
  StrID_Custom_Layer,
  StrID_Placement,
  StrID_Placement_Choices,
  StrID_Invert_Alpha,
  StrID_Feather,
  StrID_Position,
  StrID_Scale,
  StrID_Scale_Width,
  StrID_Scale_Height,
  StrID_Rotation,
  StrID_Blur_Group,
  StrID_Fast_Blur,
  StrID_Visible,
  StrID_Amount,
  StrID_Use_Lens_As_Blur_Map,
  StrID_Realistic_Blur,
  StrID_Iris_Sides,
  StrID_Iris_Sides_Choices,
  StrID_Iris_Roundness,
  StrID_Iris_Aspect_Ratio,
  StrID_Iris_Rotation,
  StrID_Optical_Distortion,
  StrID_Center_Of_The_Lens,
  StrID_Center,
  StrID_Trail,
  StrID_Directional_Blur,
  StrID_Direction,
  StrID_Other_Group,
  StrID_Lightness,
  StrID_Color,
  StrID_Opacity,
  StrID_Chromatic_Aberration,
  StrID_Red_Cyan,
  StrID_Green_Magenta,
  StrID_Blue_Yellow,
  StrID_Intensity,
  StrID_Mode,
  StrID_Mode_Choices,
  StrID_NUMTYPES
};

// The text of a string; "" for an unknown identifier.
const char* GetStringPtr(int32_t strNum);
