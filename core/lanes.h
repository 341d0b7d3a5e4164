// Lane helpers of the wide forms: the operations on four lanes that the compiler's vector
// extensions do not spell (or spell at a cost), each named for what it does and each the
// very IEEE operation of the scalar code in every lane. Arithmetic itself is written with
// the vector types' operators. Only where the target has wide forms (VIZMIRA_HAS_WIDE).
#pragma once

#include <cstdint>
#include <cstring>

#include "vectors.h"

#if VIZMIRA_HAS_WIDE
namespace lanes {

#define VIZMIRA_LANE VIZMIRA_WIDE [[gnu::always_inline]] inline

VIZMIRA_LANE V4d Splat(double v) { return V4d{v, v, v, v}; }

// Four floats from memory, each widened to a double.
VIZMIRA_LANE V4d WidenFloats(const float* p) { return V4d(_mm256_cvtps_pd(_mm_loadu_ps(p))); }
// Four floats, each widened to a double.
VIZMIRA_LANE V4d Widen(const V4f& v) { return V4d(_mm256_cvtps_pd(__m128(v))); }
// Four doubles, each rounded to a float (to nearest).
VIZMIRA_LANE V4f NarrowToFloats(const V4d& v) { return V4f(_mm256_cvtpd_ps(__m256d(v))); }
// Four whole numbers as doubles.
VIZMIRA_LANE V4d FromInts(const V4i& v) { return V4d(_mm256_cvtepi32_pd(__m128i(v))); }
// Four doubles truncated toward zero to whole numbers.
VIZMIRA_LANE V4i Truncate(const V4d& v) { return V4i(_mm256_cvttpd_epi32(__m256d(v))); }

VIZMIRA_LANE V4d Sqrt(const V4d& v) { return V4d(_mm256_sqrt_pd(__m256d(v))); }
// a < b ? a : b, lane by lane (b where either is not a number).
VIZMIRA_LANE V4d Min(const V4d& a, const V4d& b) {
  return V4d(_mm256_min_pd(__m256d(a), __m256d(b)));
}
// v where keep's lane is set (all ones), +0 elsewhere.
VIZMIRA_LANE V4d Keep(const V4d& v, const V4l& keep) {
  return V4d(_mm256_and_pd(__m256d(v), _mm256_castsi256_pd(__m256i(keep))));
}
VIZMIRA_LANE V4f Keep(const V4f& v, const V4i& keep) {
  return V4f(_mm_and_ps(__m128(v), _mm_castsi128_ps(__m128i(keep))));
}
// The lanes where v > 0 (ordered), as bits 0 … 3.
VIZMIRA_LANE int PositiveBits(const V4d& v) {
  return _mm256_movemask_pd(_mm256_cmp_pd(__m256d(v), _mm256_setzero_pd(), _CMP_GT_OQ));
}

// The first lane in every lane.
VIZMIRA_LANE V4d FirstEverywhere(const V4d& v) { return V4d(_mm256_permute4x64_pd(__m256d(v), 0)); }
// v with its first lane replaced by x.
VIZMIRA_LANE V4d WithFirst(const V4d& v, double x) {
  return V4d(_mm256_blend_pd(__m256d(v), _mm256_set1_pd(x), 1));
}

// Whole numbers of 64 bits: four 32-bit ones from memory, widened with their sign.
VIZMIRA_LANE V4l WidenInts(const int32_t* p) {
  return V4l(_mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
}
// The products of the low 32 bits of each lane, as unsigned numbers (exact in 64 bits).
VIZMIRA_LANE V4l MulLow32(const V4l& a, const V4l& b) {
  return V4l(_mm256_mul_epu32(__m256i(a), __m256i(b)));
}

// Channel c (0 alpha … 3 blue) of four neighbouring pixels as whole numbers.
VIZMIRA_LANE V4i ChannelOf4(const PF_Pixel* q, int c) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
  return V4i(_mm_shuffle_epi8(v, _mm_setr_epi8(char(c), -1, -1, -1, char(c + 4), -1, -1, -1,
                                               char(c + 8), -1, -1, -1, char(c + 12), -1, -1, -1)));
}
VIZMIRA_LANE V4i ChannelOf4(const PF_Pixel16* q, int c) {
  const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
  const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 2));
  const char b = char(2 * c);
  return V4i(_mm_or_si128(
      _mm_shuffle_epi8(lo, _mm_setr_epi8(b, char(b + 1), -1, -1, char(b + 8), char(b + 9), -1, -1,
                                         -1, -1, -1, -1, -1, -1, -1, -1)),
      _mm_shuffle_epi8(hi, _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, b, char(b + 1), -1, -1,
                                         char(b + 8), char(b + 9), -1, -1))));
}

#undef VIZMIRA_LANE

}  // namespace lanes
#endif
