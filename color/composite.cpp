#include "composite.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/bands.h"
#include "core/mask_rows.h"
#include "lens_composite.h"
#include "core/pixel.h"
#include "core/vectors.h"
#include "params/numbers.h"

namespace {

// v / 255.0 for every 8-bit channel value: the very doubles the division gives, read instead
// of divided where the operand is a whole channel value.
const std::array<double, 256> kOver255 = [] {
  std::array<double, 256> t{};
  for (int v = 0; v < 256; ++v) t[size_t(v)] = v / double(kWhite8);
  return t;
}();

// One channel of the 8-bit composite: the result is written as is. The mode is a template
// argument so that a render's rows run without a choice per channel.
template <BlendMode kMode>
A_u_char Composite8(A_long P, A_long O, float I, double m) {
  if constexpr (kMode == BlendMode::kAdd) {
    A_long s = A_long(P * m + O);
    if (s > kWhite8) s = kWhite8;
    return A_u_char(float(s - O) * I + float(O));
  } else if constexpr (kMode == BlendMode::kScreen) {
    // O / 255.0, and P·m / 255.0 where m is 1 (P·1 is P), from the table.
    const double o = kOver255[size_t(O)], p = m == 1.0 ? kOver255[size_t(P)] : P * m / double(kWhite8);
    const A_long s = A_long((1 - (1 - o) * (1 - p)) * double(kWhite8));
    return A_u_char(float(s - O) * I + float(O));
  } else if constexpr (kMode == BlendMode::kMultiply) {
    const A_long d = P * O / kWhite8 - O;
    return A_u_char(O + double(float(d) * I) * m);
  } else {  // Normal: the mask does not enter
    return A_u_char(float(P) * I + float(O) * (1 - I));
  }
}

// One channel of the 16-bit composite, before its final blend by the mask. The Add sum
// reaches 65536, so it is kept in 32 bits.
template <BlendMode kMode>
double Composite16(A_long P, A_long O, float I, double m) {
  if constexpr (kMode == BlendMode::kAdd) {
    const A_long s = A_long(P * m + O) > kWhite16 ? kWhite16 : O + P;
    return float(s - O) * I + float(O);
  } else if constexpr (kMode == BlendMode::kScreen) {
    const A_long s = A_long((1 - (1 - O / double(kWhite16)) * (1 - P * m / double(kWhite16))) * double(kWhite16));
    return float(s - O) * I + float(O);
  } else if constexpr (kMode == BlendMode::kMultiply) {
    const A_long d = P * O / kWhite16 - O;
    return O + double(float(d) * I) * m;
  } else {
    return float(P) * I + float(O) * (1 - I);
  }
}

// One channel of the float composite: the 16-bit formulas with white at 1.0, nothing
// rounded to levels; Add's limit at white holds for alpha only.
template <BlendMode kMode>
double Composite32(double P, double O, float I, double m, bool alpha) {
  if constexpr (kMode == BlendMode::kAdd) {
    const double s = alpha && P * m + O > 1.0 ? 1.0 : O + P;
    return float(s - O) * I + float(O);
  } else if constexpr (kMode == BlendMode::kScreen) {
    const double s = 1 - (1 - O) * (1 - P * m);
    return float(s - O) * I + float(O);
  } else if constexpr (kMode == BlendMode::kMultiply) {
    const double d = P * O - O;
    return O + double(float(d) * I) * m;
  } else {
    return float(P) * I + float(O) * (1 - I);
  }
}

// The 8-bit Normal composite of all four channels at once: A_u_char(float(P)·I + float(O)·(1 − I))
// per lane, the same single-precision products and sum, truncated (an intensity in 0 … 1
// keeps the values in 0 … 255).
inline PF_Pixel NormalComposite8(const PF_Pixel& p, const PF_Pixel& o, float I) {
  const V4f v = __builtin_convertvector(Lanes(p), V4f) * I + __builtin_convertvector(Lanes(o), V4f) * (1 - I);
  return PixelFromLanes<PF_Pixel>(__builtin_convertvector(v, V4i));
}

template <class P, BlendMode kMode>
void OpacityWithMode(const void* refcon, const RowInputs<P>& row, A_long x, const P& in,
                     P* out) {
  const OpacityRefcon* rc = static_cast<const OpacityRefcon*>(refcon);
  const double m = row.mask(x);
  constexpr bool kDeep = PixelTraits<P>::kDeep;
  // The two depths gate differently at the threshold itself.
  if (kDeep ? !(m > kNegligible) : !(m >= kNegligible)) {
    *out = in;
    return;
  }
  const float I = rc->intensity;
  if constexpr (kIsFloat<P> && kMode == BlendMode::kNormal) {
    // P·1 + O·0 is P, and blended by m = 1 P again, where P holds no −0 (O is finite).
    if (I == 1.0f && m == 1.0 && !HasNegativeZero(in)) {
      if (out != &in) *out = in;
      return;
    }
  }
  const P O = row.input(x);
  using C = typename PixelTraits<P>::Channel;
  if constexpr (!kDeep && kMode == BlendMode::kNormal) {
    *out = NormalComposite8(in, O, I);
    return;
  }
  if constexpr (kIsFloat<P>) {
    auto channel = [I, m](bool alpha) {
      return [I, m, alpha](C p, C o) {
        return C(Composite32<kMode>(p, o, I, m, alpha) * m + o * (1 - m));
      };
    };
    out->alpha = channel(true)(in.alpha, O.alpha);
    out->red = channel(false)(in.red, O.red);
    out->green = channel(false)(in.green, O.green);
    out->blue = channel(false)(in.blue, O.blue);
    return;
  }
  auto channel = [I, m](C p, C o) -> C {
    if constexpr (kDeep) {
      const double v = Composite16<kMode>(p, o, I, m);
      return C(v * m + o * (1 - m));  // final lens blend, truncated, no 0.5
    } else {
      return Composite8<kMode>(p, o, I, m);
    }
  };
  ZipChannels(in, O, out, channel);
}

// The composite's rows for one mode (any other number composites as Normal). 8-bit Normal at
// 100 % gives every pixel back (float(P)·1 + float(O)·0 is P, and P where the mask gates it
// off): the picture is handed on.
template <BlendMode kMode>
PF_Err CompositeRows(IO_Params* io, OpacityRefcon* rc) {
  if (!io->float32 && !IsDeep(io->dst) && kMode == BlendMode::kNormal && rc->intensity == 1.0f)
    return HandOn(io);
  return IterateRowsWithInputs<OpacityWithMode<PF_Pixel, kMode>, OpacityWithMode<PF_Pixel16, kMode>,
                               OpacityWithMode<PF_PixelFloat, kMode>>(io, rc, rc->input, rc->inputIs16);
}

// The composite and then the lens composite, in one pass over the rows: the same pixels as
// the two stages one after the other, without the picture in between. Where the lens takes
// the input layer's pixel the composite is not computed; where the mask is 1 the 8-bit
// composite of a channel depends only on the two channel values, so it is read from a
// table of every pair, built once per render with the very same routine.
struct CompositeThenLensRefcon {
  OpacityRefcon composite;
  LensRefcon lens;
  const A_u_char* full = nullptr;  // 8 bits: [O · 256 + P], the composite where m is 1
};

template <class P, BlendMode kMode>
void CompositeThenLens(const void* refcon, const RowInputs<P>& row, A_long x, const P& in,
                       P* out) {
  const auto* rc = static_cast<const CompositeThenLensRefcon*>(refcon);
  const double m = row.mask(x);
  const double w = LensWeight(&rc->lens, m);
  if (LensTakesInput(w)) {
    *out = row.input(x);
    return;
  }
  P composited;
  if constexpr (!PixelTraits<P>::kDeep) {
    if (m == 1.0 && rc->full) {
      const A_u_char* full = rc->full;
      ZipChannels(row.input(x), in, &composited,
                  [full](A_u_char o, A_u_char p) { return full[size_t(o) << 8 | p]; });
    } else {
      OpacityWithMode<P, kMode>(&rc->composite, row, x, in, &composited);
    }
  } else if (kMode == BlendMode::kNormal && m == 1.0 && rc->composite.intensity == 1.0f &&
             !HasNegativeZero(in)) {
    composited = in;  // P·1 + O·0 is P (where P is −0 it is O·0, of O's sign)
    if (w == 1.0) {  // blended by 1: P, which in place is there already (and left unwritten)
      if (out != &in) *out = in;
      return;
    }
  } else {
    OpacityWithMode<P, kMode>(&rc->composite, row, x, in, &composited);
  }
  LensBlend(w, row, x, composited, out);
}

template <BlendMode kMode>
PF_Err CompositeThenLensRows(IO_Params* io, CompositeThenLensRefcon* rc) {
  std::vector<A_u_char> full;
  // 8-bit Normal at 100 %: float(P)·1 + float(O)·0 is P, the composite changes nothing and
  // the lens composite runs alone.
  const bool eight = !io->float32 && !IsDeep(io->dst);
  if (eight && kMode == BlendMode::kNormal && rc->composite.intensity == 1.0f)
    return IterateRowsWithInputs<LensAt<PF_Pixel>, LensAt<PF_Pixel16>, LensAt<PF_PixelFloat>>(
        io, &rc->lens, rc->lens.input, rc->lens.inputIs16);
  // Normal blends four channels in one vector; a table would not be quicker.
  if (eight && kMode != BlendMode::kNormal) {
    full.resize(size_t(1) << 16);
    const float I = rc->composite.intensity;
    for (A_long o = 0; o < 256; ++o)
      for (A_long p = 0; p < 256; ++p) full[size_t(o << 8 | p)] = Composite8<kMode>(p, o, I, 1.0);
    rc->full = full.data();
  }
  return IterateRowsWithInputs<CompositeThenLens<PF_Pixel, kMode>,
                               CompositeThenLens<PF_Pixel16, kMode>,
                               CompositeThenLens<PF_PixelFloat, kMode>>(
      io, rc, rc->composite.input, rc->composite.inputIs16);
}

template <class P>
PF_Err OpacityWithModeOf(void* refcon, A_long x, A_long y, P* in, P* out) {
  const OpacityRefcon* rc = static_cast<const OpacityRefcon*>(refcon);
  const RowInputs<P> row(rc->io, rc->input, rc->inputIs16, y);
  switch (rc->mode) {
    case BlendMode::kAdd: OpacityWithMode<P, BlendMode::kAdd>(refcon, row, x, *in, out); break;
    case BlendMode::kScreen: OpacityWithMode<P, BlendMode::kScreen>(refcon, row, x, *in, out); break;
    case BlendMode::kMultiply: OpacityWithMode<P, BlendMode::kMultiply>(refcon, row, x, *in, out); break;
    default: OpacityWithMode<P, BlendMode::kNormal>(refcon, row, x, *in, out); break;
  }
  return PF_Err_NONE;
}

}  // namespace

PF_Err OpacityWithMode8(void* refcon, A_long x, A_long y, PF_Pixel* in, PF_Pixel* out) {
  return OpacityWithModeOf<PF_Pixel>(refcon, x, y, in, out);
}
PF_Err OpacityWithMode16(void* refcon, A_long x, A_long y, PF_Pixel16* in, PF_Pixel16* out) {
  return OpacityWithModeOf<PF_Pixel16>(refcon, x, y, in, out);
}

PF_Err OpacityWithMode32(void* refcon, A_long x, A_long y, PF_PixelFloat* in, PF_PixelFloat* out) {
  return OpacityWithModeOf<PF_PixelFloat>(refcon, x, y, in, out);
}

PF_Err RenderEffectThenLens(IO_Params* io, const KT_Info* info, PF_EffectWorld* input) {
  if (!LensCompositeRuns(info)) return Chain(io, [&] { return RenderEffect(io, info, input); },
                                             [&] { return HandOn(io); });
  bool is16 = false;
  if (PF_Err err = InputIs16Bit(io->in_data, input, &is16)) return err;
  CompositeThenLensRefcon rc{{input, info->intensity, info->mode, io, is16}, {}};
  if (PF_Err err = MakeLensRefcon(io, info, input, &rc.lens)) return err;
  switch (rc.composite.mode) {
    case BlendMode::kAdd: return CompositeThenLensRows<BlendMode::kAdd>(io, &rc);
    case BlendMode::kScreen: return CompositeThenLensRows<BlendMode::kScreen>(io, &rc);
    case BlendMode::kMultiply: return CompositeThenLensRows<BlendMode::kMultiply>(io, &rc);
    default: return CompositeThenLensRows<BlendMode::kNormal>(io, &rc);
  }
}

PF_Err RenderEffect(IO_Params* io, const KT_Info* info, PF_EffectWorld* input) {
  bool is16 = false;
  if (PF_Err err = InputIs16Bit(io->in_data, input, &is16)) return err;
  OpacityRefcon rc{input, info->intensity, info->mode, io, is16};
  switch (rc.mode) {
    case BlendMode::kAdd: return CompositeRows<BlendMode::kAdd>(io, &rc);
    case BlendMode::kScreen: return CompositeRows<BlendMode::kScreen>(io, &rc);
    case BlendMode::kMultiply: return CompositeRows<BlendMode::kMultiply>(io, &rc);
    default: return CompositeRows<BlendMode::kNormal>(io, &rc);
  }
}
