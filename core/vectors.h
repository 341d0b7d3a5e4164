// Vectors of four doubles for the routines whose sums run side by side, and the choice of
// their 256-bit form. A lane of a vector operation is the very IEEE operation the scalar one
// is (and nothing is contracted: the build keeps a·b + c as two roundings), so either form
// gives the same pictures.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "pixel.h"

typedef double V4d __attribute__((vector_size(32)));
typedef int32_t V4i __attribute__((vector_size(16)));
typedef float V4f __attribute__((vector_size(16)));
typedef int64_t V4l __attribute__((vector_size(32)));  // what comparing two V4d gives
typedef uint32_t V4u __attribute__((vector_size(16)));

// The vector policy. A routine that runs side by side has a plain form, written with the
// compiler's vector extensions (any target), and may have a wide form with 256-bit lanes
// beside it (the lane-for-lane review compares the two). Wide forms are compiled only where
// the target has them (VIZMIRA_HAS_WIDE), marked VIZMIRA_WIDE, and chosen in one way:
// VIZMIRA_FORM(plain, wide), which gives the wide form where it is compiled and the
// processor runs it. Either form gives the same pictures.
#if defined(__x86_64__) || defined(__i386__)
#define VIZMIRA_HAS_WIDE 1
#define VIZMIRA_WIDE [[gnu::target("avx2")]]
#else
#define VIZMIRA_HAS_WIDE 0
#endif

// Whether the 256-bit forms run: where the processor has them, unless VIZMIRA_PLAIN_VECTORS
// is set in the environment (the tests render both ways).
bool WideVectors();

// A macro, since the wide form does not exist where it is not compiled.
#if VIZMIRA_HAS_WIDE
#define VIZMIRA_FORM(plain, wide) (WideVectors() ? (wide) : (plain))
#else
#define VIZMIRA_FORM(plain, wide) (plain)
#endif

// A pixel's four channels as whole-number lanes (alpha, red, green, blue); SSE2's unpacks
// where there are such.
template <class P>
V4i Lanes(const P& p) {
  using C = typename PixelTraits<P>::Channel;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  if constexpr (sizeof(C) == 1) {
    uint32_t v;
    std::memcpy(&v, &p, sizeof v);
    return V4i(_mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(int(v)), zero), zero));
  } else {
    return V4i(_mm_unpacklo_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&p)), zero));
  }
#else
  typedef C V4c __attribute__((vector_size(4 * sizeof(C))));
  V4c v;
  std::memcpy(&v, &p, sizeof v);
  return __builtin_convertvector(v, V4i);
#endif
}
