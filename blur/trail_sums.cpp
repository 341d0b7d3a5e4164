#include "trail_sums.h"

#include <algorithm>
#include <cstring>

#include "core/lanes.h"
#include "core/vectors.h"

namespace trail {
namespace {

// The weighted sums of the means in whole numbers, exactly: for every point i of the line's
// n, A(i) = Σ over k = 0 … N − 1 of channel[i + k] · (N − k)², which is N² times the sum
// the definition takes with the weights ((N − k) / N)². Slid along the line with
// B(i) = Σ channel[i + k] · (N − k) and C(i) = Σ channel[i + k]:
//   C(i + 1) = C(i) − ch[i] + ch[i + N],  B(i + 1) = B(i) − N·ch[i] + C(i + 1),
//   A(i + 1) = A(i) − N²·ch[i] + 2·(B(i) − N·ch[i]) + C(i + 1).
// Every value stays below 65535 · N³ / 3 + 2^48, within 64 bits while N ≤ kExactMaxN, and
// each product is of two numbers below 2^32 (N² ≤ 3.6 · 10^9). The four channels slide
// side by side.
void ExactSumsPlain(const LineScratch& s, int n, A_long N) {
  int64_t A[4] = {}, B[4] = {}, C[4] = {};
  const int64_t NN = int64_t(N) * N;
  for (A_long k = 0; k < N && k < n; ++k) {
    const int64_t d = N - k;
    for (int c = 0; c < 4; ++c) {
      const int64_t v = s.value(c, k);
      A[c] += v * d * d;
      B[c] += v * d;
      C[c] += v;
    }
  }
  for (int i = 0; i < n; ++i) {
    int64_t* out = s.exactSums(i);
    for (int c = 0; c < 4; ++c) {
      out[c] = A[c];
      const int64_t leave = s.value(c, i);
      const int64_t enter = i + N < n ? s.value(c, i + N) : 0;
      const int64_t B0 = B[c] - N * leave;
      C[c] += enter - leave;
      A[c] += 2 * B0 - NN * leave + C[c];
      B[c] = B0 + C[c];
    }
  }
}

#if VIZMIRA_HAS_WIDE
// The same with the four channels as the lanes of 64-bit whole-number vectors; every
// product is of two numbers below 2^32.
VIZMIRA_WIDE void ExactSumsWide(const LineScratch& s, int n, A_long N) {
  V4l A = {}, B = {}, C = {};
  for (A_long k = 0; k < N && k < n; ++k) {
    const V4l v = lanes::WidenInts(s.sample(k));
    const int64_t dk = N - k;
    const V4l d = {dk, dk, dk, dk};
    A += lanes::MulLow32(v, lanes::MulLow32(d, d));
    B += lanes::MulLow32(v, d);
    C += v;
  }
  const int64_t NN = int64_t(N) * N;
  const V4l vN = {N, N, N, N}, vNN = {NN, NN, NN, NN}, zero = {};
  for (int i = 0; i < n; ++i) {
    std::memcpy(s.exactSums(i), &A, sizeof A);
    const V4l leave = lanes::WidenInts(s.sample(i));
    const V4l enter = i + N < n ? lanes::WidenInts(s.sample(i + N)) : zero;
    const V4l B0 = B - lanes::MulLow32(vN, leave);
    C += enter - leave;
    const V4l twice = B0 + B0;
    A += twice - lanes::MulLow32(vNN, leave) + C;
    B = B0 + C;
  }
}
#endif

}  // namespace

void ExactSums(const LineScratch& s, int n, A_long N) {
  VIZMIRA_FORM(ExactSumsPlain, ExactSumsWide)(s, n, N);
}

namespace {

// The sums of points i … i + kTrailLanes − 1 (lanes) over k = 0 … N − 1 of
// channel[i + lane + k] · weight[k], each lane adding its terms in that order, for the first
// kChannels channels at once. A lane of a vector operation is the very IEEE operation the scalar one
// is, so every width gives the same sums; where the processor has 256-bit vectors, eight
// lanes run at once (eight independent chains of additions), else four.
template <int kGroups, int kChannels>
[[gnu::always_inline]] inline void Sums(const double* const* channels, int i, A_long N,
                                        const double* weight, double (*sums)[kTrailLanes]) {
  V4d acc[kChannels][kGroups] = {};
  for (A_long k = 0; k < N; ++k) {
    const V4d w = {weight[k], weight[k], weight[k], weight[k]};
    for (int c = 0; c < kChannels; ++c)
      for (int g = 0; g < kGroups; ++g) {
        V4d v;
        std::memcpy(&v, channels[c] + i + 4 * g + k, sizeof v);
        acc[c][g] += v * w;
      }
  }
  for (int c = 0; c < kChannels; ++c) std::memcpy(sums[c], acc[c], sizeof acc[c]);
}

template <int kGroups>
[[gnu::always_inline]] inline void SumsOf(bool colours, const double* const* channels, int i, A_long N,
                                          const double* weight, double (*sums)[kTrailLanes]) {
  if (colours) Sums<kGroups, 3>(channels, i, N, weight, sums);
  else Sums<kGroups, 4>(channels, i, N, weight, sums);
}

#if VIZMIRA_HAS_WIDE
VIZMIRA_WIDE void SumsWide(bool colours, const double* const* channels, int i, A_long N,
                           const double* weight, double (*sums)[kTrailLanes]) {
  SumsOf<2>(colours, channels, i, N, weight, sums);
}
#endif

}  // namespace

}  // namespace trail

void TrailLaneSums(bool wide, const double* const* channels, int i, A_long N,
                   const double* weight, double (*sums)[kTrailLanes], bool colours) {
#if VIZMIRA_HAS_WIDE
  if (wide && WideVectors()) return trail::SumsWide(colours, channels, i, N, weight, sums);
#else
  (void)wide;
#endif
  double high[4][kTrailLanes];
  trail::SumsOf<1>(colours, channels, i, N, weight, sums);
  trail::SumsOf<1>(colours, channels, i + 4, N, weight, high);
  for (int c = 0; c < (colours ? 3 : 4); ++c) std::copy(high[c], high[c] + 4, sums[c] + 4);
}
