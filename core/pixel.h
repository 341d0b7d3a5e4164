// Pixel access shared by every per-pixel routine: typed pointers with edge folding, values,
// bilinear samples, the 8/16-bit channel conversion and integer line points. Positions are
// (row, column) in the frame whose origin is the image's extent-hint left and top.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "AE_Effect.h"

template <class P>
struct PixelTraits;
template <>
struct PixelTraits<PF_Pixel> {
  using Channel = A_u_char;
  static constexpr A_long kMax = 255;
  static constexpr bool kDeep = false;
  static constexpr bool kFloat = false;
};
template <>
struct PixelTraits<PF_Pixel16> {
  using Channel = A_u_short;
  static constexpr A_long kMax = 32768;  // the host's 16-bit white is 2^15, not 65535
  static constexpr bool kDeep = true;
  static constexpr bool kFloat = false;
};
// Float follows the 16-bit formulas with white at 1.0, keeping what they round or limit
// (colour beyond white included); kDeep says which formulas a depth follows.
template <>
struct PixelTraits<PF_PixelFloat> {
  using Channel = PF_FpShort;
  static constexpr A_long kMax = 1;
  static constexpr bool kDeep = true;
  static constexpr bool kFloat = true;
};
template <class P>
constexpr bool kIsFloat = PixelTraits<P>::kFloat;

// Whether a channel is −0 (whole-number channels never are): where a formula adds a zero
// product to P, P itself stands for the result only where it is not −0.
template <class P>
bool HasNegativeZero(const P& p) {
  if constexpr (!kIsFloat<P>) {
    return false;
  } else {
    uint32_t bits[4];
    std::memcpy(bits, &p, sizeof bits);
    return ((bits[0] == 0x80000000u) | (bits[1] == 0x80000000u) | (bits[2] == 0x80000000u) |
            (bits[3] == 0x80000000u)) != 0;
  }
}

// A float channel read from a picture: not a number or infinite reads as 0.
inline PF_FpShort Finite(PF_FpShort v) { return v - v == 0.0f ? v : 0.0f; }

// White at each depth, for the formulas written for one depth.
constexpr A_long kWhite8 = PixelTraits<PF_Pixel>::kMax;
constexpr A_long kWhite16 = PixelTraits<PF_Pixel16>::kMax;

inline bool IsDeep(const PF_EffectWorld* w) { return (w->world_flags & PF_WorldFlag_DEEP) != 0; }

// out's four channels, alpha included, from f(channel of a, channel of b).
template <class P, class F>
inline void ZipChannels(const P& a, const P& b, P* out, F f) {
  out->alpha = f(a.alpha, b.alpha);
  out->red = f(a.red, b.red);
  out->green = f(a.green, b.green);
  out->blue = f(a.blue, b.blue);
}

// Channel conversion between depths, single precision, truncated toward zero.
// 255 widens to 32767, not 32768; 32768 narrows to 255 (limited).
inline A_u_short WidenChannel(A_u_char v) { return A_u_short(float(v) / 255.0f * 32767.0f); }
inline A_u_char NarrowChannel(A_u_short v) {
  float f = float(v) / 32767.0f * 255.0f;
  return f > 255.0f ? A_u_char(255) : A_u_char(f);
}

// To float: c ÷ 255 or c ÷ 32768, white to 1.0.
template <class To, class From>
inline To ConvertPixel(const From& p) {
  if constexpr (std::is_same_v<To, From>) {
    return p;
  } else if constexpr (kIsFloat<To>) {
    static_assert(!kIsFloat<From>, "no float to integer conversion in a render");
    constexpr float white = float(PixelTraits<From>::kMax);
    return To{p.alpha / white, p.red / white, p.green / white, p.blue / white};
  } else if constexpr (std::is_same_v<To, PF_Pixel16>) {
    return To{WidenChannel(p.alpha), WidenChannel(p.red), WidenChannel(p.green),
              WidenChannel(p.blue)};
  } else {
    return To{NarrowChannel(p.alpha), NarrowChannel(p.red), NarrowChannel(p.green),
              NarrowChannel(p.blue)};
  }
}

template <class P>
P* RowOf(const PF_EffectWorld* w, A_long y) {
  return reinterpret_cast<P*>(reinterpret_cast<char*>(w->data) + intptr_t(y) * w->rowbytes);
}

// Folds v into 0 … n-1: the low end mirrors without repeating the edge (-1 → 1), the high
// end with (n → n-1). The two reflections repeat with period 2n-1, so the fold is taken
// modulo that period instead of looping, with the same result.
inline void FoldInto(A_long& v, A_long n) {
  if (v >= 0 && v < n) return;
  const int64_t period = 2 * int64_t(n) - 1;
  int64_t m = int64_t(v) % period;
  if (m < 0) m += period;
  if (m >= n) m = period - m;
  v = A_long(m);
}

inline void RecomputePosition(const PF_EffectWorld* world, A_long& row, A_long& col) {
  FoldInto(row, world->height);
  FoldInto(col, world->width);
}

// The pixel at (y, x); outside the image, the folded pixel when mirror is 1, else null.
template <class T>
inline T* GetPointerFromDataP(const PF_EffectWorld* world, A_long y, A_long x, char mirror) {
  A_long row = y - world->extent_hint.top;
  A_long col = x - world->extent_hint.left;
  if (row < 0 || row >= world->height || col < 0 || col >= world->width) {
    if (mirror != 1) return nullptr;
    RecomputePosition(world, row, col);
  }
  return reinterpret_cast<T*>(reinterpret_cast<char*>(world->data) +
                              intptr_t(row) * world->rowbytes) + col;
}

// The pixel at (y, x) by value; transparent black where the pointer accessor gives null.
template <class T, class C = typename PixelTraits<T>::Channel>
inline T GetPointerFromData(const PF_EffectWorld* world, A_long y, A_long x, char mirror) {
  const T* p = GetPointerFromDataP<T>(world, y, x, mirror);
  return p ? *p : T{0, 0, 0, 0};
}

// Bilinear sample at a fractional (y, x) into *result. On the first row or column the base
// pixel is copied unblended; where a neighbour is missing *result is left as it was.
template <class T, class C = typename PixelTraits<T>::Channel>
inline void GetPointerFromDataDP(const PF_EffectWorld* world, double y, double x, T* result,
                                 char mirror) {
  A_long y0 = A_long(y), x0 = A_long(x);
  if (y0 < 0) y0 -= 1;  // trunc(-1.0) - 1 = -2, trunc(-0.5) = 0 stays
  if (x0 < 0) x0 -= 1;
  const T* p00 = GetPointerFromDataP<T>(world, y0, x0, mirror);
  const T* p01 = GetPointerFromDataP<T>(world, y0, x0 + 1, mirror);
  const T* p10 = GetPointerFromDataP<T>(world, y0 + 1, x0, mirror);
  const T* p11 = GetPointerFromDataP<T>(world, y0 + 1, x0 + 1, mirror);
  if ((y0 == 0 || x0 == 0) && p00) {
    *result = *p00;
    return;
  }
  if (!p00 || !p01 || !p10 || !p11) return;
  const double fy = y - y0, fx = x - x0;
  auto blend = [&](C T::*c) {
    return C(double(p00->*c) * (1 - fy) * (1 - fx) + double(p01->*c) * (1 - fy) * fx +
             double(p10->*c) * fy * (1 - fx) + double(p11->*c) * fy * fx);  // truncated
  };
  result->alpha = blend(&T::alpha);
  result->red = blend(&T::red);
  result->green = blend(&T::green);
  result->blue = blend(&T::blue);
}

// Bresenham points from (x0, y0) to (x1, y1), both included, into pts (room for
// max(|dx|, |dy|) + 1 points, as plain integer pixels). Returns the number written.
inline int ComputeLinePTs(A_long x0, A_long y0, A_long x1, A_long y1, PF_FixedPoint* pts) {
  pts[0] = PF_FixedPoint{x0, y0};
  if (x0 == x1 && y0 == y1) return 1;
  const A_long dx = x1 > x0 ? x1 - x0 : x0 - x1, dy = y1 > y0 ? y1 - y0 : y0 - y1;
  const A_long sx = x1 > x0 ? 1 : -1, sy = y1 > y0 ? 1 : -1;
  A_long err = (dx > dy ? dx : -dy) / 2;
  A_long x = x0, y = y0;
  int n = 1;
  while (x != x1 || y != y1) {
    const A_long e = err;
    if (e > -dx) { err -= dy; x += sx; }
    if (e < dy) { err += dx; y += sy; }
    pts[n++] = PF_FixedPoint{x, y};
  }
  return n;
}
