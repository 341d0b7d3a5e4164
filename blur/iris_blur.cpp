#include "iris_blur.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/bands.h"
#include "core/mask_rows.h"
#include "core/pixel.h"
#include "core/vectors.h"
#include "params/numbers.h"

#include "iris_samples.h"

using namespace iris;

namespace {

// A colour mean: truncated and limited at white at the integer depths, kept at float.
template <class P>
typename PixelTraits<P>::Channel LimitedMean(float v) {
  using C = typename PixelTraits<P>::Channel;
  if constexpr (kIsFloat<P>) return v;
  else return C(std::min(float(PixelTraits<P>::kMax), v));
}

// The last row repeats the row above it, then the last column the column before it.
template <class P>
void RepairBorder(PF_EffectWorld* dst) {
  const A_long L = dst->extent_hint.left, T = dst->extent_hint.top;
  const A_long W = dst->width, H = dst->height;
  for (A_long x = 0; x < W; ++x)
    *GetPointerFromDataP<P>(dst, T + H - 1, L + x, 1) = *GetPointerFromDataP<P>(dst, T + H - 2, L + x, 1);
  for (A_long y = 0; y < H; ++y)
    *GetPointerFromDataP<P>(dst, T + y, L + W - 1, 1) = *GetPointerFromDataP<P>(dst, T + y, L + W - 2, 1);
}

// The blur-map form's rows. Where a pixel's whole kernel lies in the picture its sums
// {weight, red, green, blue} run as one vector of floats over the samples (a lane of a vector
// operation is the scalar operation; a transparent sample, skipped by the per-pixel routine,
// has h = 0 and adds +0), two neighbouring pixels side by side when they have the same
// kernel; elsewhere the per-pixel routine runs.

template <int kPixels>
void KernelSums(const IrisCells& k, const float* at, V4f* acc) {
  for (size_t i = 0; i < k.cells.size(); ++i) {
    const float* q = at + 4 * k.highlightOffsets[i];
    const float weight = k.cells[i].weight;
    for (int p = 0; p < kPixels; ++p) {
      V4f v;
      std::memcpy(&v, q + 4 * p, sizeof v);
      const float w = v[0] * weight;
      v[0] = 1.0f;  // the weight's own sum adds w · 1
      acc[p] += V4f{w, w, w, w} * v;
    }
  }
}

template <class P>
void WriteKernelMean(const V4f& s, const P& in, P* out) {
  if (s[0] < kNegligibleF) {
    *out = in;
    return;
  }
  out->alpha = in.alpha;
  out->red = LimitedMean<P>(s[1] / s[0]);
  out->green = LimitedMean<P>(s[2] / s[0]);
  out->blue = LimitedMean<P>(s[3] / s[0]);
}

template <class P>
PF_Err MapRows(const IrisRefcon* rc, const SampleRows* samples, Span rows) {
  return ForEachPixel<P>(rc->io->src, rc->io->dst, rows, [samples, rc](A_long y) {
    const PF_EffectWorld* src = rc->io->src;
    const float* row = samples->row(y);
    return [=](A_long x, P* in, P* out) -> PF_Err {
      const IrisCells* k = rc->kernels[BlurMapRadius(GetLensMask(x, y, rc->io), rc->R)];
      if (!k) return PF_Err_NONE;  // another batch's radius
      const bool inside = y < src->height && x - k->reach >= 0 && y - k->reach >= 0 &&
                          x + k->reach < src->width && y + k->reach < src->height;
      if (!inside)
        return IrisBlur<P>(const_cast<IrisRefcon*>(rc), x, y, in, out);
      V4f acc[1] = {};
      KernelSums<1>(*k, row + 4 * size_t(x), acc);
      WriteKernelMean(acc[0], *in, out);
      return PF_Err_NONE;
    };
  });
}

// The blur-map form builds only the kernels its mask asks for, a batch at a time, so that
// memory grows with R² rather than R³; each pass writes the pixels of its batch's radii.
template <class P>
PF_Err BlurMapIrisBlur(IO_Params* io, const IrisShape& shape, A_long R, const float* H) {
  PF_EffectWorld* dst = io->dst;
  std::vector<char> needed(size_t(R) + 1, 0);
  for (A_long y = 0; y < dst->height; ++y)
    for (A_long x = 0; x < dst->width; ++x) needed[size_t(BlurMapRadius(GetLensMask(x, y, io), R))] = 1;

  const size_t budget = std::max<size_t>(size_t(1) << 20, 4 * size_t(2 * R + 1) * size_t(2 * R + 1));
  std::vector<IrisCells> kernels(size_t(R) + 1);
  std::vector<const IrisCells*> table(size_t(R) + 1, nullptr);
  IrisRefcon rc{table.data(), io, H, R};
  SampleRows samples;
  if (PF_Err err = Samples<P>(io, io->src, H, &samples)) return err;

  A_long next = 0;
  while (next <= R) {
    size_t cells = 0;
    A_long first = next;
    for (; next <= R && (cells == 0 || cells < budget); ++next) {
      if (!needed[size_t(next)]) continue;
      const IrisKernel grid = BuildIrisGrid(shape, next);
      IrisCells& sparse = kernels[size_t(next)];
      for (A_long dy = -next; dy <= next; ++dy)
        for (A_long dx = -next; dx <= next; ++dx) {
          const float g = grid.at(dx, dy);
          if (double(g) > kNegligible) sparse.Add(Weight_Pt{dx, dy, g}, io->src, sizeof(P));
        }
      cells += sparse.cells.size();
      table[size_t(next)] = &sparse;
    }
    if (cells == 0) continue;
    if (PF_Err err = ParallelRows(io, dst->height, [&](Span band, A_long) {
          return MapRows<P>(&rc, &samples, band);
        }))
      return err;
    for (A_long r = first; r < next; ++r) {
      table[size_t(r)] = nullptr;
      kernels[size_t(r)] = IrisCells{};
    }
  }
  return PF_Err_NONE;
}

}  // namespace

// Blur-map form at one pixel: kernel radius from the mask, opaque samples weighted by their
// brightness, sums in single precision.
template <class P>
PF_Err IrisBlur(void* refcon, A_long x, A_long y, P* in, P* out) {
  const IrisRefcon* rc = static_cast<const IrisRefcon*>(refcon);
  const IrisCells* k = rc->kernels[BlurMapRadius(GetLensMask(x, y, rc->io), rc->R)];
  if (!k) return PF_Err_NONE;  // another batch's radius
  const Picture<P> pic{rc->io->src, rc->highlights};
  float total = 0, r = 0, g = 0, b = 0;
  const PF_EffectWorld* src = rc->io->src;
  if (x - k->reach >= 0 && y - k->reach >= 0 && x + k->reach < src->width &&
      y + k->reach < src->height) {
    // The whole kernel inside: the same sums, in the same order, without the checks.
    const char* at = reinterpret_cast<const char*>(pic.at(x, y));
    const float* h = rc->highlights + size_t(y) * size_t(src->width) + size_t(x);
    for (size_t i = 0; i < k->cells.size(); ++i) {
      const P* s = reinterpret_cast<const P*>(at + k->byteOffsets[i]);
      if (s->alpha == 0) continue;
      const float w = h[k->highlightOffsets[i]] * k->cells[i].weight;
      total += w;
      r += w * s->red;
      g += w * s->green;
      b += w * s->blue;
    }
  } else {
    auto add = [&](const Weight_Pt& c) {
      const P* s = pic.at(x + c.x, y + c.y);
      if (s->alpha == 0) return;
      const float w = pic.h(x + c.x, y + c.y) * c.weight;
      total += w;
      r += w * s->red;
      g += w * s->green;
      b += w * s->blue;
    };
    if (k->ordered) {
      // Only the cells over the picture, found by row and column: the same cells, in the
      // same order, as the check of every cell below keeps.
      const auto& rows = k->rows;
      auto row = std::lower_bound(rows.begin(), rows.end(), -y,
                                  [](const std::pair<A_long, size_t>& a, A_long v) { return a.first < v; });
      for (; row != rows.end() && y + row->first < src->height; ++row) {
        const auto first = k->cells.begin() + ptrdiff_t(row->second);
        const auto last = row + 1 == rows.end() ? k->cells.end()
                                                : k->cells.begin() + ptrdiff_t((row + 1)->second);
        auto c = std::lower_bound(first, last, -x,
                                  [](const Weight_Pt& a, A_long v) { return a.x < v; });
        for (; c != last && x + c->x < src->width; ++c) add(*c);
      }
    } else {
      for (const Weight_Pt& c : k->cells)
        if (pic.inside(x + c.x, y + c.y)) add(c);
    }
  }
  if (total < kNegligibleF) {
    *out = *in;
    return PF_Err_NONE;
  }
  out->alpha = in->alpha;
  out->red = LimitedMean<P>(r / total);
  out->green = LimitedMean<P>(g / total);
  out->blue = LimitedMean<P>(b / total);
  return PF_Err_NONE;
}
template PF_Err IrisBlur<PF_Pixel>(void*, A_long, A_long, PF_Pixel*, PF_Pixel*);
template PF_Err IrisBlur<PF_Pixel16>(void*, A_long, A_long, PF_Pixel16*, PF_Pixel16*);
template PF_Err IrisBlur<PF_PixelFloat>(void*, A_long, A_long, PF_PixelFloat*, PF_PixelFloat*);

PF_Err RenderReleasticBlurEffect(IO_Params* io, const KT_Info* info) {
  if (!info->plan.irisRuns) return HandOn(io);
  const A_long R = A_long(info->irisBlurAmount * 100.0f);
  const IrisShape shape = IrisShapeFrom(info);
  PF_Err mapErr = PF_Err_NONE;
  const std::unique_ptr<float[]> H = HighlightMap(io->src, io, &mapErr);
  if (mapErr) return mapErr;
  if (!H) return PF_Err_OUT_OF_MEMORY;
  return ByDepth(io, io->dst, [&](auto pixel) {
    using P = decltype(pixel);
    const PF_Err err = info->plan.irisInMapPass ? BlurMapIrisBlur<P>(io, shape, R, H.get())
                                                : UniformIrisBlur<P>(io, BuildIrisGrid(shape, R), H.get());
    if (!err) RepairBorder<P>(io->dst);
    return err;
  });
}
