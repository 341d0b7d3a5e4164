// vizmira_soak [FRAMES]: renders many frames in one process with random controls from a
// fixed seed, 8 and 16 bits, with and without a custom layer, as a host renders a long shot.
// Every frame must succeed and leave no world, suite or checkout behind, and the heap must
// hold no more blocks and bytes after the last frame than after frame 100: the module's
// memory is the host's worlds and the C++ heap, and this program counts every block the
// heap hands out (its operator new replaces the library's for the module too). Resident
// memory is printed, not judged: how many free pages the allocator and the thread library
// keep cached depends on how the threads met, which differs from machine to machine. Not
// part of the quick test set; CI runs it.
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <new>
#include <random>
#include <string>

#include "minihost/host.h"
#include "minihost/testcard.h"

namespace {

std::atomic<long> live_blocks{0}, live_bytes{0};

void* Allocate(std::size_t n, std::size_t alignment) {
  void* p = alignment <= alignof(std::max_align_t) ? std::malloc(n ? n : 1)
                                                   : std::aligned_alloc(alignment, (n + alignment - 1) / alignment * alignment);
  if (!p) throw std::bad_alloc();
  live_blocks.fetch_add(1, std::memory_order_relaxed);
  live_bytes.fetch_add(long(malloc_usable_size(p)), std::memory_order_relaxed);
  return p;
}

void Release(void* p) {
  if (!p) return;
  live_blocks.fetch_sub(1, std::memory_order_relaxed);
  live_bytes.fetch_sub(long(malloc_usable_size(p)), std::memory_order_relaxed);
  std::free(p);
}

struct Memory {
  long blocks, bytes;
  double resident_mib;  // after the allocator hands its free pages back
};

Memory Measure() {
  malloc_trim(0);
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return Memory{live_blocks.load(), live_bytes.load(),
                double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0)};
}

// Every control at a random value within its slider's range.
void RandomControls(minihost::Host& host, std::mt19937& rng, int width, int height) {
  auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
  for (size_t i = 1; i < host.params().size(); ++i) {
    PF_ParamDef& d = host.params()[i];
    switch (d.param_type) {
      case PF_Param_FLOAT_SLIDER:
        d.u.fs_d.value = uniform(d.u.fs_d.slider_min, d.u.fs_d.slider_max);
        break;
      case PF_Param_POPUP:
        d.u.pd.value = std::uniform_int_distribution<A_long>(1, d.u.pd.num_choices)(rng);
        break;
      case PF_Param_CHECKBOX: d.u.bd.value = rng() % 2; break;
      case PF_Param_ANGLE: d.u.ad.value = A_long(uniform(-360, 360) * 65536); break;
      case PF_Param_POINT:
        host.SetPoint(int(i), uniform(-10, width + 10), uniform(-10, height + 10), true);
        break;
      case PF_Param_COLOR:
        d.u.cd.value = PF_Pixel{A_u_char(rng()), A_u_char(rng()), A_u_char(rng()), A_u_char(rng())};
        break;
      default: break;
    }
  }
}

int Fail(int frame, const std::string& why) {
  std::fprintf(stderr, "vizmira_soak: frame %d: %s\n", frame, why.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int checkpoint = std::min(100, frames);
  constexpr int kWidth = 64, kHeight = 48;
  try {
    minihost::Host host;
    host.Load(VIZMIRA_MODULE);
    const minihost::World inputs[2] = {minihost::TestCard(kWidth, kHeight, false),
                                       minihost::TestCard(kWidth, kHeight, true)};
    const minihost::World layers[2] = {minihost::TestCard(kHeight, kWidth, false),
                                       minihost::TestCard(kHeight, kWidth, true)};
    std::mt19937 rng(20261208);
    Memory at_checkpoint{};
    for (int frame = 1; frame <= frames; ++frame) {
      const int deep = frame % 2;
      const bool with_layer = frame % 3 == 0;
      RandomControls(host, rng, kWidth, kHeight);
      minihost::World out(kWidth, kHeight, deep != 0);
      const PF_Err err = host.Render(inputs[deep], out, with_layer ? &layers[deep] : nullptr);
      if (err) return Fail(frame, "the render returned " + std::to_string(err));
      if (host.LiveWorlds() || host.OutstandingSuites() || host.OutstandingCheckouts())
        return Fail(frame, "a world, suite or checkout was left behind");
      if (frame == checkpoint) at_checkpoint = Measure();
    }
    const Memory at_end = Measure();
    std::printf("vizmira_soak: %d frames; heap %ld blocks, %ld bytes after frame %d, %ld blocks, "
                "%ld bytes after frame %d; resident %.1f MiB, %.1f MiB\n",
                frames, at_checkpoint.blocks, at_checkpoint.bytes, checkpoint, at_end.blocks,
                at_end.bytes, frames, at_checkpoint.resident_mib, at_end.resident_mib);
    if (at_end.blocks > at_checkpoint.blocks || at_end.bytes > at_checkpoint.bytes) {
      std::fprintf(stderr, "vizmira_soak: the frames left memory on the heap\n");
      return 1;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vizmira_soak: %s\n", e.what());
    return 1;
  }
  return 0;
}

// Every C++ allocation of this process, the module's included, goes through these.
void* operator new(std::size_t n) { return Allocate(n, 0); }
void* operator new[](std::size_t n) { return Allocate(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) { return Allocate(n, std::size_t(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return Allocate(n, std::size_t(a)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try { return Allocate(n, 0); } catch (const std::bad_alloc&) { return nullptr; }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  try { return Allocate(n, 0); } catch (const std::bad_alloc&) { return nullptr; }
}
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { Release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }
