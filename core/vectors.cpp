#include "vectors.h"

#include <cstdlib>

bool WideVectors() {
  static const bool wide = [] {
    if (std::getenv("VIZMIRA_PLAIN_VECTORS")) return false;
#if VIZMIRA_HAS_WIDE
    return bool(__builtin_cpu_supports("avx2"));
#else
    return false;
#endif
  }();
  return wide;
}
