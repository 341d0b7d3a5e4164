// The iterate suites: every band and pixel on the host's persistent worker pool.
#include "host.h"

#include <algorithm>

#include "tables.h"

namespace minihost {

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
  if (!dst || !dst->data || bool(dst->world_flags & PF_WorldFlag_DEEP) != kDeep ||
      FormatOf(dst) == PF_PixelFormat_ARGB128)
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

// The two the iterate suites hand the effect.
template PF_Err Host::Iterate<PF_Pixel, PF_Err (*)(void*, A_long, A_long, PF_Pixel*, PF_Pixel*)>(
    PF_InData*, A_long, A_long, PF_EffectWorld*, const PF_Rect*, void*,
    PF_Err (*)(void*, A_long, A_long, PF_Pixel*, PF_Pixel*), PF_EffectWorld*);
template PF_Err Host::Iterate<PF_Pixel16, PF_Err (*)(void*, A_long, A_long, PF_Pixel16*, PF_Pixel16*)>(
    PF_InData*, A_long, A_long, PF_EffectWorld*, const PF_Rect*, void*,
    PF_Err (*)(void*, A_long, A_long, PF_Pixel16*, PF_Pixel16*), PF_EffectWorld*);

}  // namespace minihost
