#include "render.h"

#include <cstring>

#include "blur/blur_stage.h"
#include "color/chromatic.h"
#include "color/color_stage.h"
#include "color/composite.h"
#include "color/lightness.h"
#include "color/lens_composite.h"
#include "core/lens_mask.h"
#include "params/param_table.h"

namespace {

bool SameShape(const PF_EffectWorld& a, const PF_EffectWorld& b) {
  const PF_Rect &e = a.extent_hint, &f = b.extent_hint;
  return a.width == b.width && a.height == b.height && e.left == f.left && e.top == f.top &&
         e.right == f.right && e.bottom == f.bottom;
}

// `output`, where not null, is a working world the result may be written into directly.
PF_Err RunChain(IO_Params& io, const KT_Info* info, PF_EffectWorld* input, PF_EffectWorld* output) {
  const bool blurMapPass = info->plan.blurMapPass;
  auto composite = [&] { return RenderEffect(&io, info, input); };
  auto blurs = [&](A_long pass) { return [&io, info, pass] { return RenderBlurEffect(&io, info, pass); }; };
  // Where the composite comes right before the lens composite, the two run as one pass. Where
  // nothing but hand-ons follow, that pass writes the output itself, sparing a copy: in place
  // where the output holds its source (each pixel reads only its own pixel there).
  auto lens = [&] {
    if (output && !blurMapPass) io.dst = output;
    return RenderEffectThenLens(&io, info, input);
  };
  if (!blurMapPass || ChromaticAberrationActive(info))
    return Chain(&io, blurs(0), [&] { return RenderOtherEffect(&io, info); }, lens,
                 [&] { return blurMapPass ? blurs(1)() : HandOn(&io); },
                 [&] { return blurMapPass ? composite() : HandOn(&io); });
  return Chain(&io, blurs(0), [&] { return RenderOtherEffect(&io, info); },
               [&] { return RenderLensEffect(&io, info, input); }, blurs(1), composite);
}

}  // namespace

PF_Err Render(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
              PF_LayerDef* output) {
  AEGP_SuiteHandler suites(in_data->pica_basicP);

  PF_ParamDef checkout;
  std::memset(&checkout, 0, sizeof checkout);
  const PF_Err checkoutErr =
      in_data->inter.checkout_param(in_data->effect_ref, P_CUSTOM_LAYER, in_data->current_time,
                                    in_data->time_step, in_data->time_scale, &checkout);
  // A cancel asked for before any work stops the render here rather than after it.
  const PF_Err abortErr = checkoutErr ? PF_Err_NONE : in_data->inter.abort(in_data->effect_ref);

  HostWorld customCopy(in_data);
  PF_Err copyErr = PF_Err_NONE;
  if (!checkoutErr && !abortErr && checkout.u.ld.data) {
    PF_LayerDef& layer = checkout.u.ld;
    const PF_NewWorldFlags flags = (layer.world_flags & PF_WorldFlag_DEEP)
                                       ? PF_NewWorldFlag_DEEP_PIXELS
                                       : PF_NewWorldFlag_NONE;
    const IO_Params io{in_data, out_data, &layer, customCopy.get()};
    // A copy that fails ends the render with the host's error, as every other step does:
    // rendering on without the layer would hand back a picture without the chosen lens.
    copyErr = customCopy.Create(layer.width, layer.height, flags);
    if (!copyErr) copyErr = CopySrcToDst(&io);
  }
  if (!checkoutErr) in_data->inter.checkin_param(in_data->effect_ref, &checkout);
  if (abortErr) return abortErr;
  if (copyErr) return copyErr;

  KT_Info info{};
  info.customLayer = customCopy.get();
  SetInfoFromParam(in_data, &info, params);
  return RenderPipeline(in_data, out_data, &info, &params[P_INPUT]->u.ld, output);
}

PF_Err RenderPipeline(PF_InData* in_data, PF_OutData* out_data, KT_Info* info,
                      PF_EffectWorld* input, PF_EffectWorld* output, bool float32) {
  AEGP_SuiteHandler suites(in_data->pica_basicP);
  IO_Params io{in_data, out_data, input, output};
  io.iterate = suites.Iterate8Suite1();
  io.float32 = float32;

  LensMaskScope mask;
  if (PF_Err err = mask.Fill(output->extent_hint, info, &io)) return err;
  io.mask = mask.get();

  HostWorld A(in_data), B(in_data);
  bool outputWorks = false;
  if (float32) {  // both written whole before they are read
    if (PF_Err err = A.CreateFloat(input->width, input->height, false)) return err;
    // The output itself is the second working world where it has the first one's shape: no
    // world to make, and no copy where the result ends there.
    outputWorks = SameShape(*output, *A.get());
    if (!outputWorks)
      if (PF_Err err = B.CreateFloat(input->width, input->height, false)) return err;
  } else {
    if (PF_Err err = A.Create(input->width, input->height, PF_NewWorldFlag_NONE)) return err;
    if (PF_Err err = B.Create(input->width, input->height, PF_NewWorldFlag_NONE)) return err;
  }

  // Whole-pixel reads of the input subtract the extent-hint origin; from here on they
  // address the input from its first pixel.
  input->extent_hint.left = 0;
  input->extent_hint.top = 0;

  auto copy = [&](PF_EffectWorld* from, PF_EffectWorld* to) -> PF_Err {
    if (!float32) return CopyWorld(&io, from, to);
    CopyPixelsAt(from, to, 0, 0, sizeof(PF_PixelFloat), false);  // the input is finite
    return PF_Err_NONE;
  };
  io.dst = outputWorks ? output : B.get();
  // Where the first stage only reads its source, it reads the input itself, sparing a copy;
  // the chain then writes the first working world where it would write the input.
  if (MainBlursOnlyReadTheirSource(info, input, io.dst, float32)) {
    io.src = input;
    io.readOnly = input;
    io.spare = A.get();
  } else {
    if (PF_Err err = copy(input, A.get())) return err;
    io.src = A.get();
  }
  if (PF_Err err = RunChain(io, info, input, outputWorks ? output : nullptr)) return err;
  return io.dst == output ? PF_Err_NONE : copy(io.dst, output);
}
