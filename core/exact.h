// The fast forms' one rule: a fast form may give a pixel only where it can prove the value
// the definition's own arithmetic gives. It bounds the definition's result, whatever the order
// of its roundings, from its own exact (or nearly exact) sums; where the pixel's formula gives
// one value at both bounds, that is the value, and elsewhere the definition's sums run in the
// definition's order. The bounds are stated with these numbers.
#pragma once

// u: one rounding of a double moves a value by at most u of it. A sum of n non-negative terms
// in any order lies within γ_n ≈ n·u of the exact sum.
constexpr double kUnitRoundoff = 0x1p-53;
// Every bound is widened by a hundredth for the roundings of the bound itself.
constexpr double kBoundSlack = 1.01;
// A lens shape's quick tests keep this relative margin from every threshold they decide by:
// the definition's trigonometry and divisions are within about 1e-14 of theirs.
constexpr double kGeometryMargin = 1e-9;
