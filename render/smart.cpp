#include "smart.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/stage.h"
#include "params/param_table.h"
#include "render.h"

namespace {

// The checkouts pre-render makes and smart render redeems, one each.
enum : A_long { kInputCheckout = 1, kCustomCheckout = 2 };

// A request for the custom layer reaches past any layer the host makes (it clips the
// request to the layer): the lens maps the whole of it onto the frame.
constexpr A_long kAnyLayer = 1 << 16;

PF_LRect Intersection(const PF_LRect& a, const PF_LRect& b) {
  PF_LRect r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
             std::min(a.bottom, b.bottom)};
  if (r.left >= r.right || r.top >= r.bottom) r = PF_LRect{0, 0, 0, 0};
  return r;
}
bool IsEmpty(const PF_LRect& r) { return r.left >= r.right || r.top >= r.bottom; }
PF_LRect Union(const PF_LRect& a, const PF_LRect& b) {
  if (IsEmpty(a)) return b;
  if (IsEmpty(b)) return a;
  return PF_LRect{std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
                  std::max(a.bottom, b.bottom)};
}

// What pre-render learnt, handed to smart render: where the checked-out pixels lie in
// their layers, and the frame the effect renders (the layer from its corner to the far
// edge of its pixels).
struct FrameData {
  PF_LRect input;   // the input checkout's pixels, in layer coordinates
  PF_LRect layer;   // where the input layer can have pixels
  PF_LRect custom;  // the custom layer checkout's pixels; empty: none chosen
};
void DeleteFrameData(void* data) { delete static_cast<FrameData*>(data); }

// The controls of a smart render, each checked out and checked back in on every way out.
// Layers are not controls: their pixels come through the checkouts.
class Controls {
 public:
  explicit Controls(PF_InData* in_data) : in_data_(in_data) {
    std::memset(defs_, 0, sizeof defs_);
    for (int i = 0; i < P_NUM_PARAMS; ++i) ptrs_[i] = &defs_[i];
  }
  ~Controls() {
    for (int i = 0; i < P_NUM_PARAMS; ++i)
      if (out_[i]) in_data_->inter.checkin_param(in_data_->effect_ref, &defs_[i]);
  }
  Controls(const Controls&) = delete;
  Controls& operator=(const Controls&) = delete;

  PF_Err CheckOut() {
    for (int i = 1; i < P_NUM_PARAMS; ++i) {
      if (kParamTable[i].type == PF_Param_LAYER) {
        defs_[i].param_type = PF_Param_LAYER;
        continue;
      }
      if (PF_Err err = in_data_->inter.checkout_param(in_data_->effect_ref, i, in_data_->current_time,
                                                      in_data_->time_step, in_data_->time_scale,
                                                      &defs_[i]))
        return err;
      out_[i] = true;
    }
    return PF_Err_NONE;
  }
  PF_ParamDef** get() { return ptrs_; }

 private:
  PF_InData* in_data_;
  PF_ParamDef defs_[P_NUM_PARAMS];
  PF_ParamDef* ptrs_[P_NUM_PARAMS];
  bool out_[P_NUM_PARAMS] = {};
};

// `rect` of `world` (whose first pixel lies at `at`) as a world of its own.
PF_EffectWorld Part(const PF_EffectWorld* world, PF_Point at, const PF_LRect& rect, size_t bytes) {
  PF_EffectWorld part = *world;
  part.data = reinterpret_cast<PF_PixelPtr>(reinterpret_cast<char*>(world->data) +
                                            intptr_t(rect.top - at.v) * world->rowbytes +
                                            intptr_t(rect.left - at.h) * intptr_t(bytes));
  part.width = rect.right - rect.left;
  part.height = rect.bottom - rect.top;
  part.extent_hint = PF_Rect{0, 0, part.width, part.height};
  return part;
}

}  // namespace

PF_Point OutputWorldOrigin(const PF_EffectWorld* output, A_long frame_w, A_long frame_h,
                           const PF_LRect& result) {
  if (output->width == frame_w && output->height == frame_h) return PF_Point{0, 0};
  if (output->origin_x || output->origin_y) return PF_Point{output->origin_x, output->origin_y};
  return PF_Point{result.left, result.top};
}

PF_Err SmartPreRender(PF_InData* in_data, PF_OutData* /*out_data*/, PF_PreRenderExtra* extra) {
  if (!extra || !extra->input || !extra->output || !extra->cb || !extra->cb->checkout_layer)
    return PF_Err_BAD_CALLBACK_PARAM;
  const PF_RenderRequest& asked = extra->input->output_request;
  // The request's field, channels and zero-alpha flag are passed on; its rectangle grows
  // to the whole layer.
  PF_RenderRequest req = asked;
  req.rect = Union(asked.rect, PF_LRect{0, 0, in_data->width, in_data->height});
  PF_CheckoutResult input{};
  if (PF_Err err = extra->cb->checkout_layer(in_data->effect_ref, P_INPUT, kInputCheckout, &req,
                                             in_data->current_time, in_data->time_step,
                                             in_data->time_scale, &input))
    return err;
  PF_RenderRequest customReq = req;
  customReq.rect = Union(req.rect, PF_LRect{0, 0, kAnyLayer, kAnyLayer});
  PF_CheckoutResult custom{};
  if (PF_Err err = extra->cb->checkout_layer(in_data->effect_ref, P_CUSTOM_LAYER, kCustomCheckout,
                                             &customReq, in_data->current_time, in_data->time_step,
                                             in_data->time_scale, &custom))
    return err;

  // The output has pixels where the input layer does (the lens blends over the input).
  PF_PreRenderOutput* out = extra->output;
  out->max_result_rect = input.max_result_rect;
  out->result_rect = Intersection(asked.rect, input.max_result_rect);
  out->solid = false;
  out->flags = 0;
  out->pre_render_data = new FrameData{input.result_rect, input.max_result_rect, custom.result_rect};
  out->delete_pre_render_data_func = DeleteFrameData;
  return PF_Err_NONE;
}

PF_Err SmartRender(PF_InData* in_data, PF_OutData* out_data, PF_SmartRenderExtra* extra) {
  if (!extra || !extra->input || !extra->cb || !extra->input->pre_render_data)
    return PF_Err_BAD_CALLBACK_PARAM;
  const FrameData& f = *static_cast<const FrameData*>(extra->input->pre_render_data);
  PF_SmartRenderCallbacks* cb = extra->cb;
  PF_EffectWorld* input = nullptr;
  if (PF_Err err = cb->checkout_layer_pixels(in_data->effect_ref, kInputCheckout, &input)) return err;
  PF_EffectWorld* customLayer = nullptr;
  if (PF_Err err = cb->checkout_layer_pixels(in_data->effect_ref, kCustomCheckout, &customLayer))
    return err;
  Controls controls(in_data);
  if (PF_Err err = controls.CheckOut()) return err;
  PF_EffectWorld* output = nullptr;
  if (PF_Err err = cb->checkout_output(in_data->effect_ref, &output)) return err;
  if (!input || !input->data || !output || !output->data) return PF_Err_BAD_CALLBACK_PARAM;

  PF_PixelFormat format = PF_PixelFormat_ARGB32;
  if (PF_Err err = PixelFormatOf(in_data, output, &format)) return err;
  const bool float32 = format == PF_PixelFormat_ARGB128, deep = format == PF_PixelFormat_ARGB64;
  const size_t bytes = float32 ? sizeof(PF_PixelFloat) : deep ? sizeof(PF_Pixel16) : sizeof(PF_Pixel);

  // The frame: the layer from its corner, its checked-out pixels in place, 0 elsewhere.
  const A_long W = std::max<A_long>(f.layer.right, 0), H = std::max<A_long>(f.layer.bottom, 0);
  const PF_LRect result = Intersection(extra->input->output_request.rect, PF_LRect{0, 0, W, H});
  if (IsEmpty(result)) return PF_Err_NONE;
  // The output world itself where it is the frame, else a frame to copy the part from.
  const PF_Point at = OutputWorldOrigin(output, W, H, result);
  const PF_Rect& e = output->extent_hint;
  const bool whole = output->width == W && output->height == H && at.h == 0 && at.v == 0 &&
                     e.left == 0 && e.top == 0 && e.right == W && e.bottom == H;
  HostWorld frameIn(in_data), frameOut(in_data), customCopy(in_data);
  const bool covered = f.input.left <= 0 && f.input.top <= 0 && f.input.right >= W && f.input.bottom >= H;
  if (PF_Err err = frameIn.CreateAt(float32, deep, W, H, !covered)) return err;
  if (!whole)
    if (PF_Err err = frameOut.CreateAt(float32, deep, W, H, false)) return err;
  PF_EffectWorld* target = whole ? output : frameOut.get();
  CopyPixelsAt(input, frameIn.get(), f.input.left, f.input.top, bytes, float32);
  if (customLayer && customLayer->data && !IsEmpty(f.custom)) {
    if (PF_Err err = customCopy.CreateAt(float32, deep, f.custom.right, f.custom.bottom)) return err;
    CopyPixelsAt(customLayer, customCopy.get(), f.custom.left, f.custom.top, bytes, float32);
  }

  KT_Info info{};
  info.customLayer = customCopy.get();
  info.customFloat = float32;
  if (PF_Err err = SetInfoFromParam(in_data, &info, controls.get())) return err;
  if (PF_Err err = RenderPipeline(in_data, out_data, &info, frameIn.get(), target, float32))
    return err;
  if (!whole) {
    const PF_EffectWorld part = Part(frameOut.get(), PF_Point{0, 0}, result, bytes);
    CopyPixelsAt(&part, output, result.left - at.h, result.top - at.v, bytes, false);
  }
  cb->checkin_layer_pixels(in_data->effect_ref, kInputCheckout);
  cb->checkin_layer_pixels(in_data->effect_ref, kCustomCheckout);
  return PF_Err_NONE;
}
