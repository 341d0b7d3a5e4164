// The per-render context and the contract every stage follows:
// - a stage reads io->src and leaves its result in io->dst; it may exchange the two (and use
//   the source as scratch), so whoever runs it takes the result from io->dst afterwards;
// - switched off, it hands its source on as the result (HandOn) rather than copying it;
// - it runs its float routine in a float render, else its 16-bit routine when dst has the
//   deep-world bit, else its 8-bit routine;
// - per-pixel routines run on host threads in any order, read only their record, the
//   images and the lens-mask cache, and write only their own output pixel (the trail is
//   the one exception and settles it itself);
// - errors are host codes returned at once; only a missing suite throws (516).
#pragma once

#include <cstring>
#include <utility>

#include "AE_Effect.h"
#include "services/suite_handler.h"
#include "params/kt_info.h"

struct LensMask;

struct IO_Params {
  PF_InData* in_data;
  PF_OutData* out_data;
  PF_EffectWorld* src;  // read by the current stage
  PF_EffectWorld* dst;  // written by the current stage
  const LensMask* mask = nullptr;  // this render's lens mask; none: 0 everywhere
  // The iterate suite, acquired once for the render; null: each parallel run acquires it.
  const PF_Iterate8Suite1* iterate = nullptr;
  // The worlds hold PF_PixelFloat; else their deep-world bit tells 16 bits from 8 (the bit's
  // meaning on a float world is not settled, so float is told apart here).
  bool float32 = false;
  // A world the stages read but never write (the input layer, where the first stage reads
  // it itself), and the working world written in its stead when a chain hands it on as dst.
  const PF_EffectWorld* readOnly = nullptr;
  PF_EffectWorld* spare = nullptr;
};

// The whole of `from` into `to` with the host's copy (converting depth if they differ).
inline PF_Err CopyWorld(const IO_Params* io, PF_EffectWorld* from, PF_EffectWorld* to) {
  return io->in_data->utils->copy(io->in_data->effect_ref, from, to, nullptr, nullptr);
}
inline PF_Err CopySrcToDst(const IO_Params* io) { return CopyWorld(io, io->src, io->dst); }

// A stage that changes nothing: its source is its result, with no copy.
inline PF_Err HandOn(IO_Params* io) {
  std::swap(io->src, io->dst);
  return PF_Err_NONE;
}

// Runs the stages in order, each on the result of the one before; the last result is left
// in io->dst. The first error ends the chain.
template <class... Stages>
PF_Err Chain(IO_Params* io, Stages&&... stages) {
  PF_Err err = PF_Err_NONE;
  bool first = true;
  auto run = [&](auto& stage) {
    if (err) return;
    if (!first) {
      std::swap(io->src, io->dst);
      if (io->dst == io->readOnly) io->dst = io->spare;
    }
    first = false;
    err = stage();
  };
  (run(stages), ...);
  return err;
}

// A world from the host, disposed of on every way out: 8 and 16 bits from new_world, float
// from the World suite (new_world cannot ask for float pixels).
class HostWorld {
 public:
  explicit HostWorld(PF_InData* in_data) : in_data_(in_data) { std::memset(&w_, 0, sizeof w_); }
  ~HostWorld() { Dispose(); }
  HostWorld(const HostWorld&) = delete;
  HostWorld& operator=(const HostWorld&) = delete;

  PF_Err Create(A_long width, A_long height, PF_NewWorldFlags flags) {
    PF_Err err = in_data_->utils->new_world(in_data_->effect_ref, width, height, flags, &w_);
    created_ = err == PF_Err_NONE;
    if (!created_) std::memset(&w_, 0, sizeof w_);
    return err;
  }
  PF_Err CreateFloat(A_long width, A_long height, bool clear = true);
  // A world like those of a render of the given depth; `clear`: all pixels 0, else as the
  // host hands it over (for a world that is written whole).
  PF_Err CreateAt(bool float32, bool deep, A_long width, A_long height, bool clear = true) {
    if (float32) return CreateFloat(width, height, clear);
    return Create(width, height, (deep ? PF_NewWorldFlag_DEEP_PIXELS : PF_NewWorldFlag_NONE) |
                                     (clear ? PF_NewWorldFlag_CLEAR_PIXELS : PF_NewWorldFlag_NONE));
  }
  void Dispose();
  PF_EffectWorld* get() { return &w_; }

 private:
  PF_InData* in_data_;
  PF_EffectWorld w_;
  bool created_ = false;
  const PF_WorldSuite2* suite_ = nullptr;  // the float world's, held while it lives
};

// Rows of `from` into `to` at (left, top) of `to`, as far as both reach, pixels of `bytes`
// bytes as they are; `finite`: float pixels, a not-a-number or infinite channel made 0 (what
// a float render reads it as).
void CopyPixelsAt(const PF_EffectWorld* from, PF_EffectWorld* to, A_long left, A_long top,
                  size_t bytes, bool finite);

// Whether the input layer is 16-bit, asked of the host's World suite.
PF_Err InputIs16Bit(PF_InData* in_data, const PF_EffectWorld* input, bool* is16);
// A world's pixel format, asked of the host's World suite.
PF_Err PixelFormatOf(PF_InData* in_data, const PF_EffectWorld* world, PF_PixelFormat* format);
