// Renders a picture the input chooses, with controls, a custom layer, a work depth and a
// fault it chooses, through the entry point in our host. A fault must end with its own
// error and leave nothing behind; without one, 1 and 3 threads must give the same pixels.
#include <cstdio>
#include <cstdlib>
#include <optional>

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
      if (a.Get(x, y) != b.Get(x, y)) return false;
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
