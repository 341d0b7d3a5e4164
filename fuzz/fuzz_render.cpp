// Renders a picture the input chooses, with controls, a custom layer, a work depth and a
// fault it chooses, through the entry point in our host. A fault must end with its own
// error and leave nothing behind; without one, 1 and 3 threads must give the same pixels,
// and the same picture in float through the smart commands too, every value finite.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "core/pixel.h"
#include "fuzz_input.h"

extern "C" PF_Err EntryPointFunc(PF_Cmd, PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*,
                                 void*);

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz_render: %s\n", what);
    std::abort();
  }
}

bool Same(const minihost::World& a, const minihost::World& b) {
  for (int y = 0; y < a.height(); ++y)
    for (int x = 0; x < a.width(); ++x)
      if (a.isFloat() ? std::memcmp(&a.at<PF_PixelFloat>(x, y), &b.at<PF_PixelFloat>(x, y), sizeof(PF_PixelFloat)) != 0
                      : a.Get(x, y) != b.Get(x, y))
        return false;
  return true;
}

// The picture as float: c ÷ 255 or c ÷ 32768.
minihost::World FloatOf(const minihost::World& w) {
  minihost::World f = minihost::World::Float(w.width(), w.height());
  for (int y = 0; y < w.height(); ++y)
    for (int x = 0; x < w.width(); ++x)
      f.at<PF_PixelFloat>(x, y) = w.deep() ? ConvertPixel<PF_PixelFloat>(w.at<PF_Pixel16>(x, y))
                                           : ConvertPixel<PF_PixelFloat>(w.at<PF_Pixel>(x, y));
  return f;
}

bool Finite(const minihost::World& w) {
  for (int y = 0; y < w.height(); ++y)
    for (int x = 0; x < w.width(); ++x) {
      const PF_PixelFloat& p = w.at<PF_PixelFloat>(x, y);
      if (!std::isfinite(p.alpha) || !std::isfinite(p.red) || !std::isfinite(p.green) || !std::isfinite(p.blue))
        return false;
    }
  return true;
}

std::unique_ptr<minihost::Host> NewHost() {
  auto host = std::make_unique<minihost::Host>();
  host->Attach(EntryPointFunc);
  Check(host->GlobalSetup() == PF_Err_NONE && host->ParamsSetup() == PF_Err_NONE, "set-up failed");
  return host;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  auto host = NewHost();
  const bool deep = in.ConsumeBool();
  minihost::World input = vzfuzz::Picture(in, deep);
  // The extent hint: the whole picture or a part of it.
  if (in.ConsumeBool()) {
    PF_Rect& e = input.def().extent_hint;
    e.left = in.ConsumeIntegralInRange(0, input.width() - 1);
    e.top = in.ConsumeIntegralInRange(0, input.height() - 1);
    e.right = in.ConsumeIntegralInRange(e.left + 1, input.width());
    e.bottom = in.ConsumeIntegralInRange(e.top + 1, input.height());
  }
  std::optional<minihost::World> custom;
  if (in.ConsumeBool()) custom = vzfuzz::Picture(in, in.ConsumeBool());
  host->SetWorkDepth(in.PickValueInArray({0, 8, 16}));
  vzfuzz::Controls(in, *host);

  enum Fault { kNone, kNewWorld, kCopy, kIterate, kSuite, kAbort };
  const Fault fault = Fault(in.ConsumeIntegralInRange(0, 5));
  const int nth = in.ConsumeIntegralInRange(1, 40);
  switch (fault) {
    case kNewWorld: host->faults.failNewWorldAt = nth; break;
    case kCopy: host->faults.failCopyAt = nth; break;
    case kIterate: host->faults.failIterateAt = nth; break;
    case kSuite:
      host->faults.refuseSuite = in.PickValueInArray(
          {kPFIterate8Suite, kPFIterate16Suite, kPFWorldSuite, kPFANSISuite, kPFParamUtilsSuite});
      break;
    case kAbort: host->faults.abortAfterPolls = nth; break;
    case kNone: break;
  }

  minihost::World out(input.width(), input.height(), input.deep());
  host->SetThreads(1);
  const PF_Err err = host->Render(input, out, custom ? &*custom : nullptr);
  Check(host->LiveWorlds() == 0, "a world was left behind");
  Check(host->OutstandingSuites() == 0, "a suite was left acquired");
  Check(host->OutstandingCheckouts() == 0, "a control was left checked out");

  switch (fault) {
    case kNone: {
      Check(err == PF_Err_NONE, "a render without a fault failed");
      minihost::World again(input.width(), input.height(), input.deep());
      host->SetThreads(3);
      Check(host->Render(input, again, custom ? &*custom : nullptr) == PF_Err_NONE, "second render failed");
      Check(Same(out, again), "1 and 3 threads differ");
      const minihost::World floatIn = FloatOf(input);
      std::optional<minihost::World> floatCustom;
      if (custom) floatCustom = FloatOf(*custom);
      minihost::World f1 = minihost::World::Float(input.width(), input.height());
      minihost::World f3 = minihost::World::Float(input.width(), input.height());
      const minihost::World* fc = floatCustom ? &*floatCustom : nullptr;
      Check(host->SmartRender(floatIn, f3, fc) == PF_Err_NONE, "float render failed");
      host->SetThreads(1);
      Check(host->SmartRender(floatIn, f1, fc) == PF_Err_NONE, "second float render failed");
      Check(Same(f1, f3), "float: 1 and 3 threads differ");
      Check(Finite(f1), "float: a value not finite");
      Check(host->LiveWorlds() == 0, "float: a world was left behind");
      break;
    }
    case kNewWorld:
      Check(err == (host->NewWorldCalls() >= nth ? PF_Err_OUT_OF_MEMORY : PF_Err_NONE), "new_world fault");
      break;
    case kCopy:
      Check(err == (host->CopyCalls() >= nth ? PF_Err_INTERNAL_STRUCT_DAMAGED : PF_Err_NONE), "copy fault");
      break;
    case kIterate:
      // The fault counts iterations of both kinds.
      Check(err == (host->IterateCalls() + host->GenericIterateCalls() >= nth
                        ? PF_Err_INTERNAL_STRUCT_DAMAGED
                        : PF_Err_NONE),
            "iterate fault");
      break;
    case kSuite:
      Check(err == PF_Err_NONE || err == PF_Err_BAD_CALLBACK_PARAM, "refused suite");
      break;
    case kAbort:
      Check(err == (host->AbortPolls() > nth ? PF_Interrupt_CANCEL : PF_Err_NONE), "abort");
      break;
  }
  return 0;
}
