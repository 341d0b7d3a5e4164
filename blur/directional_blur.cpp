#include "directional_blur.h"

#include <cmath>
#include <cstdlib>

#include "core/bands.h"
#include "core/lens_mask.h"
#include "core/pixel.h"

std::vector<DirectionalEntry> DirectionalKernelEntries(float amount, double direction) {
  const A_long n = A_long(amount);
  const double a = direction + 3.141592653589793 / 2;
  const A_long x0 = -A_long(std::cos(a) * n), y0 = -A_long(std::sin(a) * n);
  // Squares summed in 64 bits: in 32 they overflow from an amount of 46341.
  const double half = std::sqrt(double(int64_t(x0) * x0 + int64_t(y0) * y0));
  std::vector<PF_FixedPoint> pts(size_t(std::max(std::abs(x0), std::abs(y0))) * 2 + 1);
  const int count = ComputeLinePTs(x0, y0, -x0, -y0, pts.data());
  std::vector<DirectionalEntry> entries(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const double dx = pts[size_t(i)].x, dy = pts[size_t(i)].y;
    entries[size_t(i)] = {pts[size_t(i)].x, pts[size_t(i)].y,
                          count > 1 ? 1 - std::sqrt(dx * dx + dy * dy) / half : 1.0};
  }
  return entries;
}

// Colour sums are single precision, each term narrowed from double; the weight sum double.
template <class P>
PF_Err DirectionalBlur(void* refcon, A_long x, A_long y, P* in, P* out) {
  const DirectionalKernel* k = static_cast<const DirectionalKernel*>(refcon);
  *out = *in;
  if (!(GetLensMask(x, y, k->io) > 0.0001) || k->count == 0) return PF_Err_NONE;
  float r = 0, g = 0, b = 0;
  double weight = 0;
  for (A_u_long i = 0; i < k->count; ++i) {
    const DirectionalEntry& e = k->entries[i];
    const P q = GetPointerFromData<P>(k->io->src, y + e.dy, x + e.dx, 1);
    if (q.alpha == 0) continue;
    r += float(q.red * e.weight);
    g += float(q.green * e.weight);
    b += float(q.blue * e.weight);
    weight += e.weight;
  }
  if (weight == 0) return PF_Err_NONE;
  using C = typename PixelTraits<P>::Channel;
  out->red = C(r / weight);
  out->green = C(g / weight);
  out->blue = C(b / weight);
  return PF_Err_NONE;
}
template PF_Err DirectionalBlur<PF_Pixel>(void*, A_long, A_long, PF_Pixel*, PF_Pixel*);
template PF_Err DirectionalBlur<PF_Pixel16>(void*, A_long, A_long, PF_Pixel16*, PF_Pixel16*);

PF_Err RenderDirectionalBlurEffect(IO_Params* io, const KT_Info* info) {
  const std::vector<DirectionalEntry> entries =
      DirectionalKernelEntries(info->dirBlurAmount, info->dirBlurDirection);
  if (!info->dirBlurVisible || entries.size() <= 1) return HandOn(io);
  DirectionalKernel k{io, entries.data(), A_u_long(entries.size())};
  return IterateRows<DirectionalBlur<PF_Pixel>, DirectionalBlur<PF_Pixel16>>(io, &k);
}
