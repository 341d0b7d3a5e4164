// Vectors of four doubles for the routines whose sums run side by side, and the choice of
// their 256-bit form. A lane of a vector operation is the very IEEE operation the scalar one
// is (and nothing is contracted: the build keeps a·b + c as two roundings), so either form
// gives the same pictures.
#pragma once

#include <cstdint>

typedef double V4d __attribute__((vector_size(32)));
typedef int32_t V4i __attribute__((vector_size(16)));
typedef float V4f __attribute__((vector_size(16)));

// Marks the 256-bit form of a routine: compiled for processors with AVX2 and called only
// where WideVectors() says so.
#if defined(__x86_64__) || defined(__i386__)
#define VIZMIRA_WIDE [[gnu::target("avx2")]]
#else
#define VIZMIRA_WIDE
#endif

// Whether the 256-bit forms run: where the processor has them, unless VIZMIRA_PLAIN_VECTORS
// is set in the environment (the tests render both ways).
bool WideVectors();
