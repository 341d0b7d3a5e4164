// Worlds: the pictures of our own, and the ones the host lends the effect (new_world,
// dispose_world, copy), from a pool of buffers kept between renders.
#include "host.h"

#include <algorithm>
#include <cstring>

#include "tables.h"

namespace minihost {

// ---- worlds ------------------------------------------------------------------------------

A_long PaddedRowBytes(A_long width, bool deep) {
  return A_long(size_t(width) * PixelSize(deep) + 24);
}

World::World(A_long width, A_long height, bool deep, A_long extra_row_bytes, Pixels pixels) {
  if (width <= 0 || height <= 0) throw HostError("an image needs a positive size");
  if (extra_row_bytes < 0 || extra_row_bytes % 8) throw HostError("padding is a multiple of 8 bytes");
  def_.width = width;
  def_.height = height;
  def_.rowbytes = PaddedRowBytes(width, deep) + extra_row_bytes;
  def_.world_flags = (deep ? PF_WorldFlags(PF_WorldFlag_DEEP) : 0) | PF_WorldFlag_WRITEABLE;
  const size_t bytes = size_t(def_.rowbytes) * size_t(height);
  mem_.reset(new uint8_t[bytes]);
  const size_t pixelBytes = size_t(width) * PixelSize(deep);
  for (A_long y = 0; y < height; ++y) {
    uint8_t* row = mem_.get() + size_t(y) * def_.rowbytes;
    if (pixels == Pixels::kZero) std::memset(row, 0, pixelBytes);
    std::memset(row + pixelBytes, 0xCD, size_t(def_.rowbytes) - pixelBytes);  // a visible pattern
  }
  def_.data = reinterpret_cast<PF_Pixel*>(mem_.get());
  def_.extent_hint = PF_Rect{0, 0, width, height};
  def_.pix_aspect_ratio.num = def_.pix_aspect_ratio.den = 1;
}
World World::Float(A_long width, A_long height, A_long extra_row_bytes, Pixels pixels) {
  // Built as a 16-bit world of twice the width: the same rows, padding and pattern.
  World w(2 * width, height, true, extra_row_bytes, pixels);
  w.def_.width = width;
  w.def_.extent_hint = PF_Rect{0, 0, width, height};
  w.def_.world_flags = PF_WorldFlag_WRITEABLE;
  w.float_ = true;
  return w;
}

World::World(World&& o) noexcept : mem_(std::move(o.mem_)), def_(o.def_), float_(o.float_) {
  o.def_ = {};
}
World& World::operator=(World&& o) noexcept {
  mem_ = std::move(o.mem_);
  def_ = o.def_;
  float_ = o.float_;
  o.def_ = {};
  return *this;
}
World::~World() = default;

World World::Copy(const World& from) {
  World w = from.float_ ? Float(from.width(), from.height(),
                                from.def_.rowbytes - PaddedRowBytes(2 * from.width(), true), Pixels::kUnset)
                        : World(from.width(), from.height(), from.deep(),
                                from.def_.rowbytes - PaddedRowBytes(from.width(), from.deep()), Pixels::kUnset);
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

PF_Err Host::NewWorld(A_long width, A_long height, PF_NewWorldFlags flags,
                      PF_EffectWorld* world) {
  if (!world || width <= 0 || height <= 0) return PF_Err_BAD_CALLBACK_PARAM;
  std::lock_guard<std::mutex> lock(mutex_);
  if (++new_world_calls_ == faults.failNewWorldAt) return PF_Err_OUT_OF_MEMORY;
  const bool deep = (flags & PF_NewWorldFlag_DEEP_PIXELS) || current_depth_ == 16;
  return AllocateWorld(width, height, PixelSize(deep), deep,
                       (flags & PF_NewWorldFlag_CLEAR_PIXELS) != 0, world);
}

PF_Err Host::DisposeWorld(PF_EffectWorld* world) {
  if (!world) return PF_Err_BAD_CALLBACK_PARAM;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = live_.find(world->data);
  if (it == live_.end()) return PF_Err_BAD_CALLBACK_PARAM;
  const size_t bytes = size_t(world->rowbytes) * size_t(world->height);
  float_data_.erase(world->data);
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
  // The copy converts 8 and 16 bits only.
  if (FormatOf(src) == PF_PixelFormat_ARGB128 || FormatOf(dst) == PF_PixelFormat_ARGB128)
    return PF_Err_BAD_CALLBACK_PARAM;
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

}  // namespace minihost
