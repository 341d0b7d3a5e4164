// The numbers the stages share, each defined once.
#pragma once

constexpr double kPi = 3.141592653589793;

// Below this a mask value, a weight or an amount counts as nothing: the pixel is left as it
// is (the single-precision routines compare with kNegligibleF, the same value as a float).
constexpr double kNegligible = 0.0001;
constexpr float kNegligibleF = float(kNegligible);
static_assert(kNegligibleF == 0.0001f, "the float threshold is the float nearest 0.0001");

// The lens's radius (circle, triangle; a rectangle's short half side) as a fraction of the
// output's width (its height for the wide rectangle's).
constexpr double kLensRadius = 0.35;

// Luma of red, green and blue.
constexpr double kLumaRed = 0.299, kLumaGreen = 0.587, kLumaBlue = 0.114;
