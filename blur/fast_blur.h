// The fast blur: three separable box passes, plain or with the lens mask as blur map.
#pragma once

#include <cstdint>
#include <vector>

#include "core/bands.h"
#include "core/stage.h"
#include "core/vectors.h"

// The per-pixel passes, the definition the bands follow (tests compare the two).
struct FastBlurRefcon {
  IO_Params* io;                       // the callbacks read the picture from io->src
  A_long radius;                       // of the current direction
  bool useLensMap;
  const PF_EffectWorld* sourceCopy;    // the pass's source as it was before the horizontal pass
};

// The fast blur stage: three box passes of the plan's radius, by the lens map where it asks.
PF_Err RenderFastBlurEffect(IO_Params* io, const KT_Info* info);

// The plain window's mean C(s / (2r + 1) + 0.5) for a window sum s ≥ 0, the per-pixel
// routines' very expression: a table of every sum a window can hold where that is at most
// 256 Ki values (built once per blur; a larger one would fall out of the caches), else
// trunc((2s + w) · (1 / 2w)) with w = 2r + 1, without a division. The two agree: w is odd, so
// n / 2w = s / w + 0.5 (n = 2s + w, odd) is never a whole number but at least 1 / 2w from
// one, while the formula's two roundings in double precision move it by less than 1e-10 for
// any sum of 32-bit channels.
//
// Four sums at once, the same formula: in single precision where every sum the window can
// hold gives n < 2^23 (its two roundings then move n / 2w by at most (n / 2w) · (2^-23 +
// 2^-48), which is below 1 / 2w), else in double precision. Tests compare all forms with
// the expression at every radius class.
class PlainMeans {
 public:
  PlainMeans(A_long radius, bool deep);
  A_u_short operator()(int64_t s) const {
    return table_.empty() ? A_u_short((double(2 * s) + weight_) * halfInverse_)
                          : table_[size_t(s)];
  }
  struct Singles {
    V4i weight;
    float halfInverse;
    V4i operator()(V4i s) const {
      return __builtin_convertvector(__builtin_convertvector(s + s + weight, V4f) * halfInverse, V4i);
    }
  };
  struct Doubles {
    double weight, halfInverse;
    V4i operator()(V4i s) const { return Mean(__builtin_convertvector(s, V4d)); }
    // Sums of 64 bits: each below 2^53, so converted exactly.
    V4i operator()(const V4l& s) const { return Mean(__builtin_convertvector(s, V4d)); }
    V4i Mean(const V4d& d) const { return __builtin_convertvector((d + d + weight) * halfInverse, V4i); }
  };
  bool singles() const { return singles_; }
  Singles singlesView() const {
    const int32_t w = int32_t(weight_);
    return Singles{V4i{w, w, w, w}, 1.0f / float(2 * w)};
  }
  Doubles doublesView() const { return Doubles{weight_, halfInverse_}; }

 private:
  double weight_, halfInverse_;  // w, 1 / 2w
  bool singles_;
  std::vector<A_u_short> table_;
};

// Where the blur map (the lens mask) is exactly 1 along each row of a picture, the pixels the
// passes blur plainly, and where it is 0 (or not a number), the pixels they leave as they
// are: found once for all the passes of a blur.
class MapRuns {
 public:
  struct Run {
    A_long first, last;
    bool plain;  // the map is 1 there, else 0
  };
  MapRuns(const IO_Params* map, A_long width, A_long height);
  // Finds the runs, in bands of rows on the host's threads (ParallelRows over `run`).
  PF_Err Find(const IO_Params* run);
  bool Fits(const PF_EffectWorld* world) const {
    return world->width == width_ && world->height == height_;
  }
  // Row y's runs, in order along it.
  const Run* begin(A_long y) const { return rows_[size_t(y)].data(); }
  const Run* end(A_long y) const { return begin(y) + rows_[size_t(y)].size(); }

 private:
  void FindRows(Span rows);

  const IO_Params* map_;
  A_long width_, height_;
  std::vector<std::vector<Run>> rows_;
};

// Three box passes at the depth of io->dst; the result in io->dst, io->src used as scratch.
PF_Err FastBlur(IO_Params* io, A_long r, bool useLensMap);
// One horizontal and one vertical pass; the result in io->dst, io->src used as scratch.
PF_Err FastBlurA(IO_Params* io, A_long rh, A_long rv, bool useLensMap,
                 const PlainMeans* means = nullptr, const MapRuns* runs = nullptr);
template <class P>
PF_Err FastBlurH(void* refcon, A_long x, A_long y, P* in, P* out);
template <class P>
PF_Err FastBlurV(void* refcon, A_long x, A_long y, P* in, P* out);

// One pass over dst, in bands of whole rows or columns on the host's threads (ParallelRows
// over `run`); gives exactly what FastBlurH or FastBlurV gives per pixel. With `map`, the
// lens mask of map->mask is the blur map and the vertical pass fades toward sourceCopy.
PF_Err FastBlurBands(const IO_Params* run, const PF_EffectWorld* src, PF_EffectWorld* dst,
                     A_long radius, bool vertical, const IO_Params* map = nullptr,
                     const PF_EffectWorld* sourceCopy = nullptr,
                     const PlainMeans* means = nullptr, const MapRuns* runs = nullptr);
