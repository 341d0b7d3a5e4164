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

// sum + four floats as four doubles; written lane by lane because the compiler makes one
// 256-bit conversion of this where it splits __builtin_convertvector in halves.
[[gnu::always_inline]] inline void AddWidened(V4d& sum, const V4f& f) { sum += V4d{f[0], f[1], f[2], f[3]}; }

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

// Lanes that hold channel values (alpha, red, green, blue; each within its channel's type)
// as the pixel; SSE2's packs where there are such.
template <class P>
P PixelFromLanes(const V4i& lanes) {
  using C = typename PixelTraits<P>::Channel;
  P out;
#if defined(__SSE2__)
  const __m128i v = __m128i(lanes);
  if constexpr (sizeof(C) == 1) {
    const __m128i w = _mm_packs_epi32(v, v);
    const int packed = _mm_cvtsi128_si32(_mm_packus_epi16(w, w));
    std::memcpy(&out, &packed, sizeof out);
  } else {
    // Signed saturation would clip values above 32767: shifted down by 32768 and back.
    const __m128i w = _mm_sub_epi32(v, _mm_set1_epi32(32768));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(&out),
                     _mm_xor_si128(_mm_packs_epi32(w, w), _mm_set1_epi16(-32768)));
  }
#else
  typedef C V4c __attribute__((vector_size(4 * sizeof(C))));
  const V4c v = __builtin_convertvector(lanes, V4c);
  std::memcpy(&out, &v, sizeof out);
#endif
  return out;
}
