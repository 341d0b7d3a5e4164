// The smart path: pre-render and smart render with their callbacks, layer checkouts, the
// output checkout, and worlds of any of the three pixel formats.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "host.h"
#include "tables.h"
#include "traps.h"

namespace minihost {

namespace {

Host* FromRef(PF_ProgPtr ref) { return reinterpret_cast<Host*>(ref); }

PF_Err CbCheckoutLayer(PF_ProgPtr ref, PF_ParamIndex index, A_long id, const PF_RenderRequest* req,
                       A_long, A_long, A_u_long, PF_CheckoutResult* result) {
  return FromRef(ref)->CheckoutLayer(index, id, req, result);
}
PF_Err CbCheckoutLayerPixels(PF_ProgPtr ref, A_long id, PF_EffectWorld** pixels) {
  return FromRef(ref)->CheckoutLayerPixels(id, pixels);
}
PF_Err CbCheckinLayerPixels(PF_ProgPtr ref, A_long id) { return FromRef(ref)->CheckinLayerPixels(id); }
PF_Err CbCheckoutOutput(PF_ProgPtr ref, PF_EffectWorld** output) {
  return FromRef(ref)->CheckoutOutput(output);
}

PF_LRect Clip(const PF_LRect& r, A_long w, A_long h) {
  PF_LRect c{std::max<A_long>(r.left, 0), std::max<A_long>(r.top, 0), std::min(r.right, w),
             std::min(r.bottom, h)};
  if (c.left >= c.right || c.top >= c.bottom) c = PF_LRect{0, 0, 0, 0};
  return c;
}

size_t BytesOf(const World& w) {
  return w.isFloat() ? sizeof(PF_PixelFloat) : w.deep() ? sizeof(PF_Pixel16) : sizeof(PF_Pixel);
}

// `rect` of a world as a world of its own.
PF_EffectWorld View(const World& w, const PF_LRect& rect) {
  PF_EffectWorld v = w.def();
  v.data = reinterpret_cast<PF_PixelPtr>(reinterpret_cast<char*>(v.data) + intptr_t(rect.top) * v.rowbytes +
                                         intptr_t(rect.left) * intptr_t(BytesOf(w)));
  v.width = rect.right - rect.left;
  v.height = rect.bottom - rect.top;
  v.extent_hint = PF_Rect{0, 0, v.width, v.height};
  return v;
}

// The host owns pre-render data and disposes of it: by the effect's function, else free.
void DisposeOf(PF_PreRenderOutput& pre) {
  if (!pre.pre_render_data) return;
  if (pre.delete_pre_render_data_func) pre.delete_pre_render_data_func(pre.pre_render_data);
  else std::free(pre.pre_render_data);
  pre.pre_render_data = nullptr;
}

}  // namespace

PF_Err Host::AllocateWorld(A_long width, A_long height, size_t pixel_bytes, bool deep, bool clear,
                           PF_EffectWorld* world) {
  const A_long rowbytes = A_long(size_t(width) * pixel_bytes + 24);
  const size_t bytes = size_t(rowbytes) * size_t(height);
  // Freshly mapped pages are slow to touch; buffers of disposed worlds are handed out again.
  std::unique_ptr<uint8_t[]> mem;
  auto it = free_.find(bytes);
  if (it != free_.end()) {
    mem = std::move(it->second);
    free_.erase(it);
  } else {
    mem.reset(new (std::nothrow) uint8_t[bytes]);
    if (!mem) return PF_Err_OUT_OF_MEMORY;
  }
  if (clear) std::memset(mem.get(), 0, bytes);
  std::memset(world, 0, sizeof *world);
  world->width = width;
  world->height = height;
  world->rowbytes = rowbytes;
  world->world_flags = (deep ? PF_WorldFlags(PF_WorldFlag_DEEP) : 0) | PF_WorldFlag_WRITEABLE;
  world->data = reinterpret_cast<PF_Pixel*>(mem.get());
  world->extent_hint = PF_Rect{0, 0, width, height};
  world->pix_aspect_ratio.num = world->pix_aspect_ratio.den = 1;
  live_[mem.get()] = std::move(mem);
  return PF_Err_NONE;
}

PF_Err Host::NewWorldOfFormat(A_long width, A_long height, bool clear, PF_PixelFormat format,
                              PF_EffectWorld* world) {
  if (!world || width <= 0 || height <= 0) return PF_Err_BAD_CALLBACK_PARAM;
  size_t bytes;
  switch (format) {
    case PF_PixelFormat_ARGB32: bytes = sizeof(PF_Pixel); break;
    case PF_PixelFormat_ARGB64: bytes = sizeof(PF_Pixel16); break;
    case PF_PixelFormat_ARGB128: bytes = sizeof(PF_PixelFloat); break;
    default: return PF_Err_BAD_CALLBACK_PARAM;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (++new_world_calls_ == faults.failNewWorldAt) return PF_Err_OUT_OF_MEMORY;
  if (PF_Err err = AllocateWorld(width, height, bytes, format == PF_PixelFormat_ARGB64, clear, world))
    return err;
  if (format == PF_PixelFormat_ARGB128) float_data_.insert(world->data);
  return PF_Err_NONE;
}

PF_PixelFormat Host::FormatOf(const PF_EffectWorld* world) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (float_data_.count(world->data)) return PF_PixelFormat_ARGB128;
  return (world->world_flags & PF_WorldFlag_DEEP) ? PF_PixelFormat_ARGB64 : PF_PixelFormat_ARGB32;
}

void Host::BeginFrame(const World& input, const World* custom) {
  input_ = &input;
  custom_ = custom;
  current_depth_ = input.isFloat() ? 32 : input.deep() ? 16 : 8;
  layer_width_ = input.width();
  layer_height_ = input.height();
  layer_extent_ = input.def().extent_hint;
  render_params_ = RenderParams(input);
  layer_checkouts_.clear();
}

PF_Err Host::CheckoutLayer(PF_ParamIndex index, A_long id, const PF_RenderRequest* req,
                           PF_CheckoutResult* result) {
  if (!req || !result || id < 0 || !input_) return PF_Err_BAD_CALLBACK_PARAM;
  if (index != 0 && (index < 0 || size_t(index) >= params_.size() ||
                     params_[size_t(index)].param_type != PF_Param_LAYER))
    return PF_Err_BAD_CALLBACK_PARAM;
  for (const LayerCheckout& c : layer_checkouts_)
    if (c.id == id) return PF_Err_BAD_CALLBACK_PARAM;  // ids are unique
  const World* layer = index == 0 ? input_ : custom_;
  std::memset(result, 0, sizeof *result);
  LayerCheckout c{id, layer, PF_LRect{0, 0, 0, 0}, {}, false};
  if (layer) {
    c.rect = Clip(req->rect, layer->width(), layer->height());
    result->result_rect = c.rect;
    result->max_result_rect = PF_LRect{0, 0, layer->width(), layer->height()};
    result->ref_width = layer->width();
    result->ref_height = layer->height();
  }
  result->par = PF_RationalScale{1, 1};
  layer_checkouts_.push_back(c);
  return PF_Err_NONE;
}

PF_Err Host::CheckoutLayerPixels(A_long id, PF_EffectWorld** pixels) {
  if (!pixels) return PF_Err_BAD_CALLBACK_PARAM;
  *pixels = nullptr;
  for (LayerCheckout& c : layer_checkouts_) {
    if (c.id != id) continue;
    if (c.pixels_out) return PF_Err_BAD_CALLBACK_PARAM;  // once per checkout
    c.pixels_out = true;
    if (!c.layer || c.rect.left >= c.rect.right) return PF_Err_NONE;  // no pixels
    c.view = View(*c.layer, c.rect);
    if (c.layer->isFloat()) {
      std::lock_guard<std::mutex> lock(mutex_);
      float_data_.insert(c.view.data);
    }
    *pixels = &c.view;
    return PF_Err_NONE;
  }
  return PF_Err_BAD_CALLBACK_PARAM;  // not checked out in pre-render
}

PF_Err Host::CheckinLayerPixels(A_long id) {
  for (LayerCheckout& c : layer_checkouts_)
    if (c.id == id && c.pixels_out) {
      c.pixels_out = false;
      c.id = -1;  // redeemed
      return PF_Err_NONE;
    }
  return PF_Err_BAD_CALLBACK_PARAM;
}

PF_Err Host::CheckoutOutput(PF_EffectWorld** output) {
  if (!output || !smart_output_) return PF_Err_BAD_CALLBACK_PARAM;
  // The output only once an input was checked out.
  const bool anyInput = std::any_of(layer_checkouts_.begin(), layer_checkouts_.end(),
                                    [](const LayerCheckout& c) { return c.pixels_out || c.id < 0; });
  if (!anyInput) return PF_Err_BAD_CALLBACK_PARAM;
  output_view_ = smart_output_->def();
  *output = &output_view_;
  return PF_Err_NONE;
}

PF_Err Host::PreRender(const PF_LRect& request, PF_PreRenderOutput* result) {
  PF_RenderRequest req{};
  req.rect = request;
  req.field = PF_Field_FRAME;
  req.channel_mask = PF_ChannelMask_ARGB;
  PF_PreRenderInput in{};
  in.output_request = req;
  in.bitdepth = short(current_depth_);
  PF_PreRenderCallbacks cb{};
  cb.checkout_layer = CbCheckoutLayer;
  MINIHOST_TRAP(Table::PreRenderCallbacks, cb, GuidMixInPtr);
  std::memset(result, 0, sizeof *result);
  PF_PreRenderExtra extra{&in, result, &cb};
  return Command(PF_Cmd_SMART_PRE_RENDER, nullptr, nullptr, &extra);
}

PF_Err Host::SmartPreRenderOnly(const World& input, const World* custom, const PF_LRect& request,
                                PF_PreRenderOutput* result) {
  BeginFrame(input, custom);
  const PF_Err err = PreRender(request, result);
  DisposeOf(*result);
  input_ = nullptr;
  custom_ = nullptr;
  render_params_.clear();
  return err;
}

PF_Err Host::SmartRender(const World& input, World& output, const World* custom,
                         const PF_LRect* request) {
  if (output.isFloat() != input.isFloat() || output.deep() != input.deep())
    throw HostError("the output is of another depth than the input");
  const PF_LRect asked = request ? *request : PF_LRect{0, 0, input.width(), input.height()};
  BeginFrame(input, custom);
  std::vector<const void*> registered;
  for (const World* w : {&input, custom, const_cast<const World*>(&output)})
    if (w && w->isFloat()) registered.push_back(w->def().data);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    float_data_.insert(registered.begin(), registered.end());
  }
  PF_PreRenderOutput pre{};
  PF_Err err = Command(PF_Cmd_FRAME_SETUP, nullptr, nullptr);
  if (!err) err = PreRender(asked, &pre);
  if (!err) {
    PF_SmartRenderInput in{};
    in.output_request.rect = asked;
    in.output_request.field = PF_Field_FRAME;
    in.output_request.channel_mask = PF_ChannelMask_ARGB;
    in.bitdepth = short(current_depth_);
    in.pre_render_data = pre.pre_render_data;
    PF_SmartRenderCallbacks cb{CbCheckoutLayerPixels, CbCheckinLayerPixels, CbCheckoutOutput};
    PF_SmartRenderExtra extra{&in, &cb};
    smart_output_ = &output;
    smart_result_ = pre.result_rect;
    err = Command(PF_Cmd_SMART_RENDER, nullptr, nullptr, &extra);
    smart_output_ = nullptr;
  }
  DisposeOf(pre);
  const PF_Err setdown = Command(PF_Cmd_FRAME_SETDOWN, nullptr, nullptr);
  if (!err) err = setdown;
  layer_pixels_left_out_ = int(std::count_if(layer_checkouts_.begin(), layer_checkouts_.end(),
                                             [](const LayerCheckout& c) { return c.pixels_out; }));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const void* p : registered) float_data_.erase(p);
    for (const LayerCheckout& c : layer_checkouts_)
      if (c.view.data) float_data_.erase(c.view.data);
  }
  layer_checkouts_.clear();
  input_ = nullptr;
  custom_ = nullptr;
  render_params_.clear();
  ++frame_;
  return err;
}

}  // namespace minihost
