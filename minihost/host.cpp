#include "host.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "services/pipl_format.h"
#include "traps.h"

namespace minihost {
namespace {

thread_local Host* t_host = nullptr;  // the host whose command runs on this thread

Host* FromRef(PF_ProgPtr ref) { return reinterpret_cast<Host*>(ref); }

// Sets the current host for the suites, which are reached without an effect reference.
struct CurrentHost {
  Host* previous;
  explicit CurrentHost(Host* h) : previous(t_host) { t_host = h; }
  ~CurrentHost() { t_host = previous; }
};

size_t PixelSize(bool deep) { return deep ? sizeof(PF_Pixel16) : sizeof(PF_Pixel); }

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
  *format = (world->world_flags & PF_WorldFlag_DEEP) ? PF_PixelFormat_ARGB64
                                                     : PF_PixelFormat_ARGB32;
  return PF_Err_NONE;
}

PF_Err PuUpdateParamUI(PF_ProgPtr ref, PF_ParamIndex index, const PF_ParamDef* def) {
  return FromRef(ref)->UpdateParamUI(index, def);
}

// The basic suite and the suites it hands out, every slot filled: the operations the effect
// relies on are real, the rest are traps.
struct Suites {
  SPBasicSuite basic{};
  PF_ANSICallbacksSuite1 ansi{};
  PF_WorldSuite2 world{};
  PF_Iterate8Suite1 iterate8{};
  PF_iterate16Suite1 iterate16{};
  PF_ParamUtilsSuite3 param_utils{};

  Suites() {
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

    MINIHOST_TRAP(Table::WorldSuite, world, PF_NewWorld);
    MINIHOST_TRAP(Table::WorldSuite, world, PF_DisposeWorld);
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
};
Suites& TheSuites() {
  static Suites suites;
  return suites;
}

struct SuiteEntry {
  const char* name;
  int32_t version;
  const void* suite;
};
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

}  // namespace

// ---- worlds ------------------------------------------------------------------------------

A_long PaddedRowBytes(A_long width, bool deep) {
  return A_long(size_t(width) * PixelSize(deep) + 24);
}

World::World(A_long width, A_long height, bool deep, A_long extra_row_bytes) {
  if (width <= 0 || height <= 0) throw HostError("an image needs a positive size");
  if (extra_row_bytes < 0 || extra_row_bytes % 8) throw HostError("padding is a multiple of 8 bytes");
  def_.width = width;
  def_.height = height;
  def_.rowbytes = PaddedRowBytes(width, deep) + extra_row_bytes;
  def_.world_flags = (deep ? PF_WorldFlags(PF_WorldFlag_DEEP) : 0) | PF_WorldFlag_WRITEABLE;
  const size_t bytes = size_t(def_.rowbytes) * size_t(height);
  mem_.reset(new uint8_t[bytes]);
  std::memset(mem_.get(), 0xCD, bytes);  // padding keeps a visible pattern
  for (A_long y = 0; y < height; ++y)
    std::memset(mem_.get() + size_t(y) * def_.rowbytes, 0, size_t(width) * PixelSize(deep));
  def_.data = reinterpret_cast<PF_Pixel*>(mem_.get());
  def_.extent_hint = PF_Rect{0, 0, width, height};
  def_.pix_aspect_ratio.num = def_.pix_aspect_ratio.den = 1;
}
World::World(World&& o) noexcept : mem_(std::move(o.mem_)), def_(o.def_) { o.def_ = {}; }
World& World::operator=(World&& o) noexcept {
  mem_ = std::move(o.mem_);
  def_ = o.def_;
  o.def_ = {};
  return *this;
}
World::~World() = default;

World World::Copy(const World& from) {
  World w(from.width(), from.height(), from.deep(),
          from.def_.rowbytes - PaddedRowBytes(from.width(), from.deep()));
  const size_t bytes = size_t(w.def_.rowbytes) * size_t(w.height());
  std::memcpy(w.mem_.get(), from.mem_.get(), bytes);
  return w;
}

void World::Set(A_long x, A_long y, int a, int r, int g, int b) {
  if (deep()) at<PF_Pixel16>(x, y) = PF_Pixel16{A_u_short(a), A_u_short(r), A_u_short(g), A_u_short(b)};
  else at<PF_Pixel>(x, y) = PF_Pixel{A_u_char(a), A_u_char(r), A_u_char(g), A_u_char(b)};
}
std::array<int, 4> World::Get(A_long x, A_long y) const {
  if (deep()) {
    const PF_Pixel16& p = at<PF_Pixel16>(x, y);
    return {p.alpha, p.red, p.green, p.blue};
  }
  const PF_Pixel& p = at<PF_Pixel>(x, y);
  return {p.alpha, p.red, p.green, p.blue};
}

// ---- host --------------------------------------------------------------------------------

Host::Host()
    : threads_(std::max(1u, std::thread::hardware_concurrency())),
      pool_(std::make_unique<WorkerPool>()) {
  FillUtils(utils_);
  FillInteract(inter_);
}

Host::~Host() {
  // The end of the instance and of the module, as the host sends them.
  if (entry_ && sequence_open_) Command(PF_Cmd_SEQUENCE_SETDOWN, ParamPointers(params_).data());
  if (entry_ && global_open_) Command(PF_Cmd_GLOBAL_SETDOWN);
#if defined(_WIN32)
  if (module_) FreeLibrary(static_cast<HMODULE>(module_));
#else
  if (module_) dlclose(module_);
#endif
}

void Host::CheckPipl(const std::vector<uint8_t>& bytes, const std::string& where) {
  auto props = vz::pipl::Decode(bytes, vz::pipl::Platform::Windows);
  if (!props) throw HostError("malformed property list: " + where);
  pipl_.clear();
  for (auto& p : *props) pipl_[p.key] = p.value;
  auto get = [&](const char(&key)[5]) -> const vz::pipl::DecodedProperty {
    auto it = pipl_.find(vz::FourCC(key));
    if (it == pipl_.end()) throw HostError(std::string("property list lacks '") + key + "'");
    return vz::pipl::DecodedProperty{it->first, it->second};
  };
  if (get("kind").Number(vz::pipl::Endian::Little) != vz::FourCC("eFKT"))
    throw HostError("the module is not an effect (kind is not 'eFKT')");
  if (get("8664").CString() != "EntryPointFunc")
    throw HostError("the property list names another entry point");
}

void Host::CheckGlobalSetupAgainstPipl() {
  auto number = [&](const char(&key)[5]) {
    auto it = pipl_.find(vz::FourCC(key));
    if (it == pipl_.end()) throw HostError(std::string("property list lacks '") + key + "'");
    return vz::pipl::DecodedProperty{it->first, it->second}.Number(vz::pipl::Endian::Little);
  };
  if (out_data_.my_version != number("eVER") || uint32_t(out_data_.out_flags) != number("eGLO") ||
      uint32_t(out_data_.out_flags2) != number("eGL2"))
    throw HostError("global set-up reports a version or flags that differ from the property list");
}

void Host::Load(const std::string& module_path) {
#if defined(_WIN32)
  // The property list is the module's 'PiPL' resource.
  HMODULE module = LoadLibraryA(module_path.c_str());
  if (!module) throw HostError("cannot load module " + module_path);
  module_ = module;
  HRSRC res = FindResourceA(module, MAKEINTRESOURCEA(vz::pipl::kResourceId), "PiPL");
  HGLOBAL data = res ? LoadResource(module, res) : nullptr;
  const uint8_t* bytes = data ? static_cast<const uint8_t*>(LockResource(data)) : nullptr;
  if (!bytes) throw HostError("the module carries no property list");
  CheckPipl(std::vector<uint8_t>(bytes, bytes + SizeofResource(module, res)), module_path);
  entry_ = reinterpret_cast<PF_EntryPointFunc>(
      reinterpret_cast<void*>(GetProcAddress(module, "EntryPointFunc")));
#else
  // The property list lies beside the module, under the same name.
  const size_t dot = module_path.find_last_of('.');
  const size_t slash = module_path.find_last_of('/');
  const std::string stem = (dot != std::string::npos && (slash == std::string::npos || dot > slash))
                               ? module_path.substr(0, dot)
                               : module_path;
  const std::string pipl = stem + ".pipl";
  std::ifstream f(pipl, std::ios::binary);
  if (!f) throw HostError("no property list at " + pipl);
  CheckPipl(std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>()),
            pipl);
  module_ = dlopen(module_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module_) throw HostError(std::string("cannot load module: ") + dlerror());
  entry_ = reinterpret_cast<PF_EntryPointFunc>(dlsym(module_, "EntryPointFunc"));
#endif
  if (!entry_) throw HostError("the module exports no EntryPointFunc");
  if (PF_Err err = GlobalSetup()) throw HostError("global set-up failed: " + std::to_string(err));
  CheckGlobalSetupAgainstPipl();
  if (PF_Err err = ParamsSetup()) throw HostError("parameter set-up failed: " + std::to_string(err));
  if (PF_Err err = SequenceSetup())
    throw HostError("sequence set-up failed: " + std::to_string(err));
}

void Host::Attach(PF_EntryPointFunc entry) { entry_ = entry; }

std::vector<PF_ParamDef*> Host::ParamPointers(std::vector<PF_ParamDef>& defs) {
  std::vector<PF_ParamDef*> ptrs;
  for (auto& d : defs) ptrs.push_back(&d);
  return ptrs;
}

// Every field as a host fills it for one command: a 24 fps layer at full resolution, square
// pixels, the current frame's time, no handles, no audio.
void Host::FillInData() {
  std::memset(&in_data_, 0, sizeof in_data_);
  in_data_.inter = inter_;
  in_data_.utils = &utils_;
  in_data_.effect_ref = reinterpret_cast<PF_ProgPtr>(this);
  in_data_.quality = PF_Quality_HI;
  in_data_.version = PF_SpecVersion{PF_PLUG_IN_VERSION, PF_PLUG_IN_SUBVERS};
  in_data_.serial_num = 1;
  in_data_.appl_id = A_AppID(vz::FourCC("FXTC"));
  in_data_.num_params = A_long(params_.size());
  in_data_.time_step = 1;
  in_data_.local_time_step = 1;
  in_data_.time_scale = 24;
  in_data_.current_time = frame_ * in_data_.time_step;
  in_data_.total_time = (frame_ + 1) * in_data_.time_step;
  in_data_.field = PF_Field_FRAME;
  in_data_.shutter_angle = 180 << 16;
  in_data_.width = layer_width_;
  in_data_.height = layer_height_;
  in_data_.extent_hint = layer_extent_;
  in_data_.downsample_x = PF_RationalScale{1, 1};
  in_data_.downsample_y = PF_RationalScale{1, 1};
  in_data_.pixel_aspect_ratio = PF_RationalScale{1, 1};
  in_data_.in_flags = PF_InFlag_NONE;
  in_data_.pica_basicP = faults.nullBasicSuite ? nullptr : &TheSuites().basic;
}

PF_Err Host::Command(PF_Cmd cmd, PF_ParamDef* params[], PF_LayerDef* output) {
  if (!entry_) throw HostError("no module loaded");
  CurrentHost current(this);
  FillInData();
  updates.clear();
  if (beforeCommand) beforeCommand(cmd, params, output);
  return entry_(cmd, &in_data_, &out_data_, params, output, nullptr);
}

PF_Err Host::SequenceSetup() {
  PF_Err err = Command(PF_Cmd_SEQUENCE_SETUP, ParamPointers(params_).data());
  sequence_open_ = err == PF_Err_NONE;
  return err;
}

PF_Err Host::About(std::string* text) {
  std::memset(out_data_.return_msg, 0, sizeof out_data_.return_msg);
  PF_Err err = Command(PF_Cmd_ABOUT);
  if (!err && text) *text = out_data_.return_msg;
  return err;
}

PF_Err Host::GlobalSetup() {
  PF_Err err = Command(PF_Cmd_GLOBAL_SETUP);
  global_open_ = global_open_ || err == PF_Err_NONE;
  return err;
}

PF_Err Host::ParamsSetup() {
  params_.clear();
  point_pixels_.clear();
  PF_ParamDef input{};
  input.param_type = PF_Param_LAYER;
  params_.push_back(input);  // index 0: the input layer, supplied by the host
  return Command(PF_Cmd_PARAMS_SETUP);
}

PF_Err Host::UserChangedParam(int /*index*/, PF_Cmd cmd) {
  std::vector<PF_ParamDef> copies = params_;
  return Command(cmd, ParamPointers(copies).data(), nullptr);
}

void Host::SetPoint(int index, double x, double y, bool pixels) {
  PF_ParamDef& d = params_.at(size_t(index));
  d.u.td.x_value = PF_Fixed(std::lround(x * 65536.0));
  d.u.td.y_value = PF_Fixed(std::lround(y * 65536.0));
  if (pixels) point_pixels_[index] = true;
  else point_pixels_.erase(index);
}

std::vector<PF_ParamDef> Host::RenderParams(const World& input) const {
  std::vector<PF_ParamDef> defs = params_;
  defs[0].u.ld = input.def();
  for (size_t i = 1; i < defs.size(); ++i) {
    PF_ParamDef& d = defs[i];
    if (d.param_type == PF_Param_POINT && !point_pixels_.count(int(i))) {
      // Percent of the layer to layer pixels, 16.16.
      d.u.td.x_value = PF_Fixed(std::llround(double(d.u.td.x_value) * input.width() / 100.0));
      d.u.td.y_value = PF_Fixed(std::llround(double(d.u.td.y_value) * input.height() / 100.0));
    }
  }
  return defs;
}

// One frame as the host renders it: frame set-up, render, frame set-down.
PF_Err Host::Render(const World& input, World& output, const World* custom) {
  std::vector<PF_ParamDef> defs = RenderParams(input);
  std::vector<PF_ParamDef*> ptrs = ParamPointers(defs);
  custom_ = custom;
  current_depth_ = work_depth_ ? work_depth_ : (input.deep() ? 16 : 8);
  layer_width_ = input.width();
  layer_height_ = input.height();
  layer_extent_ = input.def().extent_hint;
  PF_Err err = Command(PF_Cmd_FRAME_SETUP, ptrs.data(), &output.def());
  if (!err) err = Command(PF_Cmd_RENDER, ptrs.data(), &output.def());
  const PF_Err setdown = Command(PF_Cmd_FRAME_SETDOWN, ptrs.data(), &output.def());
  if (!err) err = setdown;
  custom_ = nullptr;
  ++frame_;
  return err;
}

int Host::OutstandingSuites() const {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (auto& [name, count] : suites_) n += count;
  return n;
}

int Host::LiveWorlds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return int(live_.size());
}

PF_Err Host::NewWorld(A_long width, A_long height, PF_NewWorldFlags flags,
                      PF_EffectWorld* world) {
  if (!world || width <= 0 || height <= 0) return PF_Err_BAD_CALLBACK_PARAM;
  std::lock_guard<std::mutex> lock(mutex_);
  if (++new_world_calls_ == faults.failNewWorldAt) return PF_Err_OUT_OF_MEMORY;
  const bool deep = (flags & PF_NewWorldFlag_DEEP_PIXELS) || current_depth_ == 16;
  const A_long rowbytes = PaddedRowBytes(width, deep);
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
  if (flags & PF_NewWorldFlag_CLEAR_PIXELS) std::memset(mem.get(), 0, bytes);
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

PF_Err Host::DisposeWorld(PF_EffectWorld* world) {
  if (!world) return PF_Err_BAD_CALLBACK_PARAM;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = live_.find(world->data);
  if (it == live_.end()) return PF_Err_BAD_CALLBACK_PARAM;
  const size_t bytes = size_t(world->rowbytes) * size_t(world->height);
  free_.emplace(bytes, std::move(it->second));
  // A long run of frames of other sizes must not keep every size it ever saw.
  while (free_.size() > kKeptBuffers) free_.erase(free_.begin());
  live_.erase(it);
  std::memset(world, 0, sizeof *world);
  return PF_Err_NONE;
}

// Whole worlds of equal size; 8 → 16: (v·32768 + 127) / 255, 16 → 8:
// min(255, (v·255 + 16384) / 32768).
PF_Err Host::Copy(PF_EffectWorld* src, PF_EffectWorld* dst, PF_Rect* src_r, PF_Rect* dst_r) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (++copy_calls_ == faults.failCopyAt) return PF_Err_INTERNAL_STRUCT_DAMAGED;
  }
  if (!src || !dst || !src->data || !dst->data || src_r || dst_r) return PF_Err_BAD_CALLBACK_PARAM;
  if (src->width != dst->width || src->height != dst->height) return PF_Err_BAD_CALLBACK_PARAM;
  const bool sdeep = src->world_flags & PF_WorldFlag_DEEP;
  const bool ddeep = dst->world_flags & PF_WorldFlag_DEEP;
  for (A_long y = 0; y < src->height; ++y) {
    const char* s = reinterpret_cast<const char*>(src->data) + intptr_t(y) * src->rowbytes;
    char* d = reinterpret_cast<char*>(dst->data) + intptr_t(y) * dst->rowbytes;
    if (sdeep == ddeep) {
      std::memcpy(d, s, size_t(src->width) * PixelSize(sdeep));
    } else if (ddeep) {
      auto* in = reinterpret_cast<const A_u_char*>(s);
      auto* out = reinterpret_cast<A_u_short*>(d);
      for (A_long i = 0; i < src->width * 4; ++i) out[i] = A_u_short((in[i] * 32768 + 127) / 255);
    } else {
      auto* in = reinterpret_cast<const A_u_short*>(s);
      auto* out = reinterpret_cast<A_u_char*>(d);
      for (A_long i = 0; i < src->width * 4; ++i)
        out[i] = A_u_char(std::min(255, (in[i] * 255 + 16384) / 32768));
    }
  }
  return PF_Err_NONE;
}

PF_Err Host::PollAbort() {
  const int n = ++polls_;
  if (cancel.load() || (faults.abortAfterPolls >= 0 && n > faults.abortAfterPolls))
    return PF_Interrupt_CANCEL;
  return PF_Err_NONE;
}

PF_Err Host::Progress(A_long count, A_long total) {
  if (onProgress && total > 0) {
    std::lock_guard<std::mutex> lock(progress_mutex_);
    onProgress(std::clamp(double(count) / total, 0.0, 1.0));
  }
  return PollAbort();
}

SPErr Host::AcquireSuite(const char* name, int32_t version, const void** suite) {
  *suite = nullptr;
  if (!faults.refuseSuite.empty() && faults.refuseSuite == name) return kSPSuiteNotFoundError;
  for (const SuiteEntry& e : SuiteList()) {
    if (std::strcmp(e.name, name) == 0 && e.version == version) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++suites_[SuiteKey(name, version)];
      *suite = e.suite;
      return kSPNoError;
    }
  }
  return kSPSuiteNotFoundError;
}

SPErr Host::ReleaseSuite(const char* name, int32_t version) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = suites_.find(SuiteKey(name, version));
  if (it == suites_.end() || it->second == 0) return kSPSuiteNotFoundError;
  --it->second;
  return kSPNoError;
}

PF_Err Host::AddParam(PF_ParamIndex index, const PF_ParamDef* def) {
  if (!def) return PF_Err_BAD_CALLBACK_PARAM;
  if (params_.size() > kMaxParams) return PF_Err_INVALID_INDEX;
  if (index != -1 && index != PF_ParamIndex(params_.size())) return PF_Err_INVALID_INDEX;
  params_.push_back(*def);
  return PF_Err_NONE;
}

PF_Err Host::CheckoutParam(PF_ParamIndex index, PF_ParamDef* def) {
  if (!def) return PF_Err_BAD_CALLBACK_PARAM;
  if (index < 0 || size_t(index) >= params_.size()) return PF_Err_INVALID_INDEX;
  *def = params_[size_t(index)];
  if (def->param_type == PF_Param_LAYER) {
    std::memset(&def->u.ld, 0, sizeof def->u.ld);
    if (index != 0 && custom_) def->u.ld = custom_->def();
  }
  ++checkouts_;
  return PF_Err_NONE;
}

PF_Err Host::CheckinParam(PF_ParamDef* def) {
  if (!def || checkouts_ == 0) return PF_Err_BAD_CALLBACK_PARAM;
  --checkouts_;
  return PF_Err_NONE;
}

PF_Err Host::UpdateParamUI(PF_ParamIndex index, const PF_ParamDef* def) {
  if (!def) return PF_Err_BAD_CALLBACK_PARAM;
  updates.push_back(UpdateCall{index, def->ui_flags, def->flags});
  if (faults.failUpdateParamUI) return PF_Err_INTERNAL_STRUCT_DAMAGED;
  if (index < 0 || size_t(index) >= params_.size()) return PF_Err_INVALID_INDEX;
  params_[size_t(index)].ui_flags = def->ui_flags;
  params_[size_t(index)].flags = def->flags;
  return PF_Err_NONE;
}

// Calls fn once for every i below iterations, on the pool's threads, each with its thread's
// index; the first error stops the rest.
PF_Err Host::IterateGeneric(A_long iterations, void* refcon, PF_IterateGenericFunc fn) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++generic_calls_;
    if (++iterations_ == faults.failIterateAt) return PF_Err_INTERNAL_STRUCT_DAMAGED;
  }
  if (iterations <= 0) return PF_Err_NONE;
  std::atomic<A_long> next{0};
  std::atomic<PF_Err> first_err{PF_Err_NONE};
  auto work = [&](A_long thread_index) {
    for (A_long i; !first_err.load() && (i = next++) < iterations;) {
      if (PF_Err e = fn(refcon, thread_index, i, iterations)) {
        PF_Err none = PF_Err_NONE;
        first_err.compare_exchange_strong(none, e);
      }
    }
  };
  pool_->Run(int(std::min<A_long>(threads_, iterations)), [&](int w) { work(A_long(w)); });
  return first_err.load();
}

void Host::RunAsCommand(const std::function<void()>& fn) {
  CurrentHost current(this);
  fn();
}

// Rows are dealt out in chunks to a pool of threads; abort is polled before each chunk.
template <class P, class Fn>
PF_Err Host::Iterate(PF_InData*, A_long progress_base, A_long progress_final,
                     PF_EffectWorld* src, const PF_Rect* area, void* refcon, Fn fn,
                     PF_EffectWorld* dst) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++iterate_calls_;
    if (++iterations_ == faults.failIterateAt) return PF_Err_INTERNAL_STRUCT_DAMAGED;
  }
  constexpr bool kDeep = std::is_same_v<P, PF_Pixel16>;
  if (!dst || !dst->data || bool(dst->world_flags & PF_WorldFlag_DEEP) != kDeep)
    return PF_Err_BAD_CALLBACK_PARAM;
  if (src && (!src->data || bool(src->world_flags & PF_WorldFlag_DEEP) != kDeep))
    return PF_Err_BAD_CALLBACK_PARAM;
  PF_Rect r = area ? *area : PF_Rect{0, 0, dst->width, dst->height};
  r.left = std::max<A_long>(r.left, 0);
  r.top = std::max<A_long>(r.top, 0);
  r.right = std::min(r.right, dst->width);
  r.bottom = std::min(r.bottom, dst->height);
  if (r.right <= r.left || r.bottom <= r.top) return PF_Err_NONE;

  // Chunks of 8 to 64 rows, about four per thread: few enough to keep per-thread row
  // caches warm, many enough to balance the threads and to poll abort often.
  const A_long rows = r.bottom - r.top;
  const A_long kChunkRows = std::clamp<A_long>(rows / (4 * threads_), 8, 64);
  const A_long chunks = (rows + kChunkRows - 1) / kChunkRows;
  std::atomic<A_long> next{0}, rows_done{0};
  std::atomic<PF_Err> first_err{PF_Err_NONE};
  std::mutex progress_mutex;

  auto work = [&](int) {
    const P zero{0, 0, 0, 0};
    for (;;) {
      const A_long c = next++;
      if (c >= chunks || first_err.load()) return;
      if (PF_Err e = PollAbort()) {
        PF_Err none = PF_Err_NONE;
        first_err.compare_exchange_strong(none, e);
        return;
      }
      const A_long y0 = r.top + c * kChunkRows, y1 = std::min(r.bottom, y0 + kChunkRows);
      for (A_long y = y0; y < y1; ++y) {
        P* out = reinterpret_cast<P*>(reinterpret_cast<char*>(dst->data) + intptr_t(y) * dst->rowbytes);
        P* in_row = src && y < src->height
                        ? reinterpret_cast<P*>(reinterpret_cast<char*>(src->data) +
                                               intptr_t(y) * src->rowbytes)
                        : nullptr;
        for (A_long x = r.left; x < r.right; ++x) {
          P outside = zero;
          P* in = in_row && x < src->width ? in_row + x : &outside;
          if (PF_Err e = fn(refcon, x, y, in, out + x)) {
            PF_Err none = PF_Err_NONE;
            first_err.compare_exchange_strong(none, e);
            return;
          }
        }
      }
      const A_long done = rows_done += (y1 - y0);
      if (onProgress) {
        std::lock_guard<std::mutex> lock(progress_mutex);
        onProgress((progress_base + double(progress_final - progress_base) * done / rows) /
                   std::max<A_long>(1, progress_final));
      }
    }
  };
  pool_->Run(int(std::min<A_long>(threads_, chunks)), work);
  return first_err.load();
}

}  // namespace minihost
