#include "tables.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "traps.h"

namespace minihost {

thread_local Host* t_host = nullptr;

namespace {


Host* FromRef(PF_ProgPtr ref) { return reinterpret_cast<Host*>(ref); }


// ---- callbacks handed to the effect ------------------------------------------------------

PF_Err CbAddParam(PF_ProgPtr ref, PF_ParamIndex index, PF_ParamDefPtr def) {
  return FromRef(ref)->AddParam(index, def);
}
PF_Err CbCheckout(PF_ProgPtr ref, PF_ParamIndex index, A_long, A_long, A_u_long,
                  PF_ParamDef* def) {
  return FromRef(ref)->CheckoutParam(index, def);
}
PF_Err CbCheckin(PF_ProgPtr ref, PF_ParamDef* def) { return FromRef(ref)->CheckinParam(def); }
PF_Err CbAbort(PF_ProgPtr ref) { return FromRef(ref)->PollAbort(); }
PF_Err CbProgress(PF_ProgPtr ref, A_long count, A_long total) {
  return FromRef(ref)->Progress(count, total);
}
PF_Err CbNewWorld(PF_ProgPtr ref, A_long w, A_long h, PF_NewWorldFlags flags,
                  PF_EffectWorld* world) {
  return FromRef(ref)->NewWorld(w, h, flags, world);
}
PF_Err CbDisposeWorld(PF_ProgPtr ref, PF_EffectWorld* world) {
  return FromRef(ref)->DisposeWorld(world);
}
PF_Err CbCopy(PF_ProgPtr ref, PF_EffectWorld* src, PF_EffectWorld* dst, PF_Rect* sr,
              PF_Rect* dr) {
  return FromRef(ref)->Copy(src, dst, sr, dr);
}

template <class P>
PF_Err FillWorld(const P& color, const PF_Rect* rect, PF_EffectWorld* world) {
  if (!world || !world->data) return PF_Err_BAD_CALLBACK_PARAM;
  PF_Rect r = rect ? *rect : PF_Rect{0, 0, world->width, world->height};
  r.left = std::max<A_long>(r.left, 0);
  r.top = std::max<A_long>(r.top, 0);
  r.right = std::min(r.right, world->width);
  r.bottom = std::min(r.bottom, world->height);
  const bool deep = (world->world_flags & PF_WorldFlag_DEEP) != 0;
  for (A_long y = r.top; y < r.bottom; ++y) {
    char* row = reinterpret_cast<char*>(world->data) + intptr_t(y) * world->rowbytes;
    for (A_long x = r.left; x < r.right; ++x) {
      if (deep) {
        PF_Pixel16 c16;
        if constexpr (std::is_same_v<P, PF_Pixel16>) c16 = color;
        else c16 = PF_Pixel16{A_u_short((color.alpha * 32768 + 127) / 255),
                              A_u_short((color.red * 32768 + 127) / 255),
                              A_u_short((color.green * 32768 + 127) / 255),
                              A_u_short((color.blue * 32768 + 127) / 255)};
        reinterpret_cast<PF_Pixel16*>(row)[x] = c16;
      } else {
        PF_Pixel c8;
        if constexpr (std::is_same_v<P, PF_Pixel>) c8 = color;
        else c8 = PF_Pixel{A_u_char(std::min(255, (color.alpha * 255 + 16384) / 32768)),
                           A_u_char(std::min(255, (color.red * 255 + 16384) / 32768)),
                           A_u_char(std::min(255, (color.green * 255 + 16384) / 32768)),
                           A_u_char(std::min(255, (color.blue * 255 + 16384) / 32768))};
        reinterpret_cast<PF_Pixel*>(row)[x] = c8;
      }
    }
  }
  return PF_Err_NONE;
}
PF_Err CbFill(PF_ProgPtr, const PF_Pixel* color, const PF_Rect* rect, PF_EffectWorld* world) {
  return FillWorld(color ? *color : PF_Pixel{0, 0, 0, 0}, rect, world);
}
PF_Err CbFill16(PF_ProgPtr, const PF_Pixel16* color, const PF_Rect* rect,
                PF_EffectWorld* world) {
  return FillWorld(color ? *color : PF_Pixel16{0, 0, 0, 0}, rect, world);
}

// The host's message buffers hold 256 bytes; nothing longer is ever written.
int HostSprintf(A_char* buffer, const A_char* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, PF_MAX_EFFECT_MSG_LEN + 1, format, args);
  va_end(args);
  return n;
}
A_char* HostStrcpy(A_char* dst, const A_char* src) { return std::strcpy(dst, src); }

// The utility block's ANSI functions: the maths the effect uses and strcpy are real, the
// rest are traps.
void FillUtilsAnsi(PF_ANSICallbacks& a) {
  a.atan = [](double v) { return std::atan(v); };
  MINIHOST_TRAP(Table::UtilsAnsi, a, atan2);
  MINIHOST_TRAP(Table::UtilsAnsi, a, ceil);
  a.cos = [](double v) { return std::cos(v); };
  MINIHOST_TRAP(Table::UtilsAnsi, a, exp);
  MINIHOST_TRAP(Table::UtilsAnsi, a, fabs);
  MINIHOST_TRAP(Table::UtilsAnsi, a, floor);
  MINIHOST_TRAP(Table::UtilsAnsi, a, fmod);
  MINIHOST_TRAP(Table::UtilsAnsi, a, hypot);
  MINIHOST_TRAP(Table::UtilsAnsi, a, log);
  MINIHOST_TRAP(Table::UtilsAnsi, a, log10);
  a.pow = [](double x, double y) { return std::pow(x, y); };
  a.sin = [](double v) { return std::sin(v); };
  a.sqrt = [](double v) { return std::sqrt(v); };
  a.tan = [](double v) { return std::tan(v); };
  MINIHOST_TRAP(Table::UtilsAnsi, a, sprintf);
  a.strcpy = HostStrcpy;
  MINIHOST_TRAP(Table::UtilsAnsi, a, asin);
  MINIHOST_TRAP(Table::UtilsAnsi, a, acos);
}

void FillUtilsColor(PF_ColorCallbacks& c) {
  MINIHOST_TRAP(Table::UtilsColor, c, RGBtoHLS);
  MINIHOST_TRAP(Table::UtilsColor, c, HLStoRGB);
  MINIHOST_TRAP(Table::UtilsColor, c, RGBtoYIQ);
  MINIHOST_TRAP(Table::UtilsColor, c, YIQtoRGB);
  MINIHOST_TRAP(Table::UtilsColor, c, Luminance);
  MINIHOST_TRAP(Table::UtilsColor, c, Hue);
  MINIHOST_TRAP(Table::UtilsColor, c, Lightness);
  MINIHOST_TRAP(Table::UtilsColor, c, Saturation);
}

// Every slot of the utility callbacks, in the host's order.


// ---- suites ------------------------------------------------------------------------------

SPErr SpAcquire(const char* name, int32_t version, const void** suite) {
  *suite = nullptr;
  return t_host ? t_host->AcquireSuite(name, version, suite) : kSPSuiteNotFoundError;
}
SPErr SpRelease(const char* name, int32_t version) {
  return t_host ? t_host->ReleaseSuite(name, version) : kSPSuiteNotFoundError;
}

template <class P, class Fn>
PF_Err IterateEntry(PF_InData* in_data, A_long base, A_long final, PF_EffectWorld* src,
                    const PF_Rect* area, void* refcon, Fn fn, PF_EffectWorld* dst) {
  return FromRef(in_data->effect_ref)
      ->Iterate<P>(in_data, base, final, src, area, refcon, fn, dst);
}

// The generic entry carries no effect reference: it runs for the host whose command is in
// flight on this thread (on the calling thread alone outside a command).
PF_Err IterateGenericEntry(A_long iterations, void* refcon, PF_IterateGenericFunc fn) {
  if (!fn) return PF_Err_BAD_CALLBACK_PARAM;
  if (t_host) return t_host->IterateGeneric(iterations, refcon, fn);
  for (A_long i = 0; i < iterations; ++i)
    if (PF_Err err = fn(refcon, 0, i, iterations)) return err;
  return PF_Err_NONE;
}

PF_Err WsGetPixelFormat(const PF_EffectWorld* world, PF_PixelFormat* format) {
  if (!world || !format) return PF_Err_BAD_CALLBACK_PARAM;
  if (t_host && t_host->faults.failPixelFormat) return PF_Err_INTERNAL_STRUCT_DAMAGED;
  if (t_host) *format = t_host->FormatOf(world);
  else *format = (world->world_flags & PF_WorldFlag_DEEP) ? PF_PixelFormat_ARGB64 : PF_PixelFormat_ARGB32;
  return PF_Err_NONE;
}
PF_Err WsNewWorld(PF_ProgPtr ref, A_long w, A_long h, PF_Boolean clear, PF_PixelFormat format,
                  PF_EffectWorld* world) {
  return FromRef(ref)->NewWorldOfFormat(w, h, clear != 0, format, world);
}
PF_Err WsDisposeWorld(PF_ProgPtr ref, PF_EffectWorld* world) {
  return FromRef(ref)->DisposeWorld(world);
}

PF_Err PuUpdateParamUI(PF_ProgPtr ref, PF_ParamIndex index, const PF_ParamDef* def) {
  return FromRef(ref)->UpdateParamUI(index, def);
}

}  // namespace

Suites::Suites() {
  basic.AcquireSuite = SpAcquire;
  basic.ReleaseSuite = SpRelease;
  MINIHOST_TRAP(Table::Basic, basic, IsEqual);
  MINIHOST_TRAP(Table::Basic, basic, AllocateBlock);
  MINIHOST_TRAP(Table::Basic, basic, FreeBlock);
  MINIHOST_TRAP(Table::Basic, basic, ReallocateBlock);
  MINIHOST_TRAP(Table::Basic, basic, Undefined);

  MINIHOST_TRAP(Table::AnsiSuite, ansi, atan);
  MINIHOST_TRAP(Table::AnsiSuite, ansi, atan2);
  MINIHOST_TRAP(Table::AnsiSuite, ansi, ceil);
  MINIHOST_TRAP(Table::AnsiSuite, ansi, cos);
  MINIHOST_TRAP(Table::AnsiSuite, ansi, exp);
  MINIHOST_TRAP(Table::AnsiSuite, ansi, fabs);
  MINIHOST_TRAP(Table::AnsiSuite, ansi, floor);
  MINIHOST_TRAP(Table::AnsiSuite, ansi, fmod);
  MINIHOST_TRAP(Table::AnsiSuite, ansi, hypot);
  MINIHOST_TRAP(Table::AnsiSuite, ansi, log);
  MINIHOST_TRAP(Table::AnsiSuite, ansi, log10);
  MINIHOST_TRAP(Table::AnsiSuite, ansi, pow);
  MINIHOST_TRAP(Table::AnsiSuite, ansi, sin);
  MINIHOST_TRAP(Table::AnsiSuite, ansi, sqrt);
  MINIHOST_TRAP(Table::AnsiSuite, ansi, tan);
  ansi.sprintf = HostSprintf;
  MINIHOST_TRAP(Table::AnsiSuite, ansi, strcpy);
  MINIHOST_TRAP(Table::AnsiSuite, ansi, asin);
  MINIHOST_TRAP(Table::AnsiSuite, ansi, acos);

  world.PF_NewWorld = WsNewWorld;
  world.PF_DisposeWorld = WsDisposeWorld;
  world.PF_GetPixelFormat = WsGetPixelFormat;

  iterate8.iterate = IterateEntry<PF_Pixel, PF_IteratePixel8Func>;
  MINIHOST_TRAP(Table::Iterate8Suite, iterate8, iterate_origin);
  MINIHOST_TRAP(Table::Iterate8Suite, iterate8, iterate_lut);
  MINIHOST_TRAP(Table::Iterate8Suite, iterate8, iterate_origin_non_clip_src);
  iterate8.iterate_generic = IterateGenericEntry;

  iterate16.iterate = IterateEntry<PF_Pixel16, PF_IteratePixel16Func>;
  MINIHOST_TRAP(Table::Iterate16Suite, iterate16, iterate_origin);
  MINIHOST_TRAP(Table::Iterate16Suite, iterate16, iterate_origin_non_clip_src);

  param_utils.PF_UpdateParamUI = PuUpdateParamUI;
  MINIHOST_TRAP(Table::ParamUtilsSuite, param_utils, PF_GetCurrentState);
  MINIHOST_TRAP(Table::ParamUtilsSuite, param_utils, PF_AreStatesIdentical);
  MINIHOST_TRAP(Table::ParamUtilsSuite, param_utils, PF_IsIdenticalCheckout);
  MINIHOST_TRAP(Table::ParamUtilsSuite, param_utils, PF_FindKeyframeTime);
  MINIHOST_TRAP(Table::ParamUtilsSuite, param_utils, PF_GetKeyframeCount);
  MINIHOST_TRAP(Table::ParamUtilsSuite, param_utils, PF_CheckoutKeyframe);
  MINIHOST_TRAP(Table::ParamUtilsSuite, param_utils, PF_CheckinKeyframe);
  MINIHOST_TRAP(Table::ParamUtilsSuite, param_utils, PF_KeyIndexToTime);
}

void FillUtils(PF_UtilCallbacks& u) {
  MINIHOST_TRAP(Table::Utils, u, begin_sampling);
  MINIHOST_TRAP(Table::Utils, u, subpixel_sample);
  MINIHOST_TRAP(Table::Utils, u, area_sample);
  u.get_batch_func_is_deprecated = nullptr;
  MINIHOST_TRAP(Table::Utils, u, end_sampling);
  MINIHOST_TRAP(Table::Utils, u, composite_rect);
  MINIHOST_TRAP(Table::Utils, u, blend);
  MINIHOST_TRAP(Table::Utils, u, convolve);
  u.copy = CbCopy;
  u.fill = CbFill;
  MINIHOST_TRAP(Table::Utils, u, gaussian_kernel);
  MINIHOST_TRAP(Table::Utils, u, iterate);
  MINIHOST_TRAP(Table::Utils, u, premultiply);
  MINIHOST_TRAP(Table::Utils, u, premultiply_color);
  u.new_world = CbNewWorld;
  u.dispose_world = CbDisposeWorld;
  MINIHOST_TRAP(Table::Utils, u, iterate_origin);
  MINIHOST_TRAP(Table::Utils, u, iterate_lut);
  MINIHOST_TRAP(Table::Utils, u, transfer_rect);
  MINIHOST_TRAP(Table::Utils, u, transform_world);
  MINIHOST_TRAP(Table::Utils, u, host_new_handle);
  MINIHOST_TRAP(Table::Utils, u, host_lock_handle);
  MINIHOST_TRAP(Table::Utils, u, host_unlock_handle);
  MINIHOST_TRAP(Table::Utils, u, host_dispose_handle);
  MINIHOST_TRAP(Table::Utils, u, get_callback_addr);
  MINIHOST_TRAP(Table::Utils, u, app);
  FillUtilsAnsi(u.ansi);
  FillUtilsColor(u.colorCB);
  MINIHOST_TRAP(Table::Utils, u, get_platform_data);
  MINIHOST_TRAP(Table::Utils, u, host_get_handle_size);
  MINIHOST_TRAP(Table::Utils, u, iterate_origin_non_clip_src);
  MINIHOST_TRAP(Table::Utils, u, iterate_generic);
  MINIHOST_TRAP(Table::Utils, u, host_resize_handle);
  MINIHOST_TRAP(Table::Utils, u, subpixel_sample16);
  MINIHOST_TRAP(Table::Utils, u, area_sample16);
  u.fill16 = CbFill16;
  MINIHOST_TRAP(Table::Utils, u, premultiply_color16);
  MINIHOST_TRAP(Table::Utils, u, iterate16);
  MINIHOST_TRAP(Table::Utils, u, iterate_origin16);
  MINIHOST_TRAP(Table::Utils, u, iterate_origin_non_clip_src16);
  MINIHOST_TRAP(Table::Utils, u, get_pixel_data8);
  MINIHOST_TRAP(Table::Utils, u, get_pixel_data16);
  u.reserved[0] = 0;
}

void FillInteract(PF_InteractCallbacks& i) {
  i.checkout_param = CbCheckout;
  i.checkin_param = CbCheckin;
  i.add_param = CbAddParam;
  i.abort = CbAbort;
  i.progress = CbProgress;
  MINIHOST_TRAP(Table::Interact, i, register_ui);
  MINIHOST_TRAP(Table::Interact, i, checkout_layer_audio);
  MINIHOST_TRAP(Table::Interact, i, checkin_layer_audio);
  MINIHOST_TRAP(Table::Interact, i, get_audio_data);
  for (void*& r : i.reserved_str) r = nullptr;
  for (void*& r : i.reserved) r = nullptr;
}

Suites& TheSuites() {
  static Suites suites;
  return suites;
}

std::vector<SuiteEntry> SuiteList() {
  Suites& s = TheSuites();
  return {{kPFANSISuite, kPFANSISuiteVersion1, &s.ansi},
          {kPFWorldSuite, kPFWorldSuiteVersion2, &s.world},
          {kPFIterate8Suite, kPFIterate8SuiteVersion1, &s.iterate8},
          {kPFIterate16Suite, kPFIterate16SuiteVersion1, &s.iterate16},
          {kPFParamUtilsSuite, kPFParamUtilsSuiteVersion3, &s.param_utils}};
}

std::string SuiteKey(const char* name, int32_t version) {
  return std::string(name) + " v" + std::to_string(version);
}

}  // namespace minihost
