// vizmira_soak [FRAMES]: renders many frames in one process with random controls from a
// fixed seed, 8 and 16 bits, with and without a custom layer, as a host renders a long shot.
// Every frame must succeed and leave no world, suite or checkout behind; resident memory
// after the last frame must be within 5 % of what it was after frame 100. Not part of the
// quick test set; CI runs it.
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "minihost/host.h"
#include "minihost/testcard.h"

namespace {

double ResidentMiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
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
    double at_checkpoint = 0;
    for (int frame = 1; frame <= frames; ++frame) {
      const int deep = frame % 2;
      const bool with_layer = frame % 3 == 0;
      RandomControls(host, rng, kWidth, kHeight);
      minihost::World out(kWidth, kHeight, deep != 0);
      const PF_Err err = host.Render(inputs[deep], out, with_layer ? &layers[deep] : nullptr);
      if (err) return Fail(frame, "the render returned " + std::to_string(err));
      if (host.LiveWorlds() || host.OutstandingSuites() || host.OutstandingCheckouts())
        return Fail(frame, "a world, suite or checkout was left behind");
      if (frame == checkpoint) at_checkpoint = ResidentMiB();
    }
    const double at_end = ResidentMiB();
    std::printf("vizmira_soak: %d frames; resident %.1f MiB after frame %d, %.1f MiB after frame %d\n",
                frames, at_checkpoint, checkpoint, at_end, frames);
    if (at_end > at_checkpoint * 1.05) {
      std::fprintf(stderr, "vizmira_soak: resident memory grew by more than 5 %%\n");
      return 1;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vizmira_soak: %s\n", e.what());
    return 1;
  }
  return 0;
}
