// The realistic blur: a polygonal-iris kernel whose samples are weighted by brightness, so
// that highlights open into iris-shaped discs.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include "core/stage.h"

struct Weight_Pt {
  A_long x, y;   // offset from the output pixel
  float weight;
};

// One kernel of radius r: (2r + 1)² weights, row-major, centre weight 1.
struct IrisKernel {
  std::vector<float> grid;
  A_long rx, ry;  // half width and height, both r
  float at(A_long dx, A_long dy) const { return grid[size_t(dy + ry) * (2 * rx + 1) + size_t(dx + rx)]; }
};

// The change of the kernel's sums when the output pixel moves one column right: every
// non-zero difference of neighbouring grid weights in a row, exact in double precision.
struct RowDifference {
  A_long x, y;
  double weight;
};

struct IrisShape {
  int sides;         // 3 … 10
  double roundness;  // 0 polygon … 1 circle
  double aspect;     // as entered; 0 keeps only the centre
  double rotation;   // radians
};

IrisShape IrisShapeFrom(const KT_Info* info);
IrisKernel BuildIrisGrid(const IrisShape& shape, A_long r);
std::vector<RowDifference> RowDifferences(const IrisKernel& kernel);

// Brightness weight of every source pixel: √(luma · alpha / max²), 0 for black or clear.
// Rows are made in bands on the host's threads (ParallelRows over io; without io on this
// thread); null where the memory cannot be had, or where the host's iteration failed (its
// error in *err).
std::unique_ptr<float[]> HighlightMap(const PF_EffectWorld* src, const IO_Params* io = nullptr,
                                      PF_Err* err = nullptr);

// The cells of a kernel above the blur-map threshold, in row-major order.
// A kernel's cells for the blur-map form, with where each lies from the output pixel in the
// source's bytes and in the highlight map's values (for pixels whose whole kernel lies in
// the picture).
struct IrisCells {
  std::vector<Weight_Pt> cells;
  std::vector<ptrdiff_t> byteOffsets, highlightOffsets;
  A_long reach = 0;  // the largest |x| or |y| of a cell
  // Cells added row by row (y, then x, ascending), as the kernels are: each row's y and its
  // first cell, so that a pixel near the edge visits only the cells over the picture.
  std::vector<std::pair<A_long, size_t>> rows;
  bool ordered = true;
  // pixelBytes: the size of src's pixels (the world does not tell float from 16 bits).
  void Add(const Weight_Pt& c, const PF_EffectWorld* src, ptrdiff_t pixelBytes);
};

struct IrisRefcon {
  const IrisCells* const* kernels;  // by radius; null where the current batch has none
  IO_Params* io;
  const float* highlights;
  A_long R;
};

// The blur-map form's kernel radius for a mask value: trunc(m^1.5 · R + 0.5).
A_long BlurMapRadius(double m, A_long R);

// The realistic blur stage (the name as the definition spells it): the iris kernel over the
// highlight-weighted picture, uniform or by the lens map.
PF_Err RenderReleasticBlurEffect(IO_Params* io, const KT_Info* info);

template <class P>
PF_Err IrisBlur(void* refcon, A_long x, A_long y, P* in, P* out);
