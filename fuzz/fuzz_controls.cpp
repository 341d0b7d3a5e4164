// Sequences of control changes through the supervision commands, as a user edits: after
// every change the greyed and folded states must equal those a fresh instance reaches from
// the same values in one pass.
#include <cstdio>
#include <cstdlib>

#include "fuzz_input.h"

extern "C" PF_Err EntryPointFunc(PF_Cmd, PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*,
                                 void*);

namespace {

void Check(bool ok, const char* what, size_t index) {
  if (!ok) {
    std::fprintf(stderr, "fuzz_controls: %s (control %zu)\n", what, index);
    std::abort();
  }
}

std::unique_ptr<minihost::Host> NewHost() {
  auto host = std::make_unique<minihost::Host>();
  host->Attach(EntryPointFunc);
  Check(host->GlobalSetup() == PF_Err_NONE && host->ParamsSetup() == PF_Err_NONE, "set-up failed", 0);
  return host;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  auto host = NewHost();
  const size_t count = host->params().size();
  for (int step = 0; step < 16 && in.remaining_bytes() > 0; ++step) {
    // One control takes a new value, or all of them do.
    const size_t index = in.ConsumeIntegralInRange<size_t>(1, count - 1);
    auto scratch = NewHost();
    vzfuzz::Controls(in, *scratch);
    if (in.ConsumeBool()) {
      for (size_t i = 1; i < count; ++i) host->params()[i].u = scratch->params()[i].u;
    } else {
      host->params()[index].u = scratch->params()[index].u;
    }
    const PF_Cmd cmd = in.ConsumeBool() ? PF_Cmd_USER_CHANGED_PARAM : PF_Cmd_UPDATE_PARAMS_UI;
    Check(host->UserChangedParam(int(index), cmd) == PF_Err_NONE, "supervision failed", index);

    auto fresh = NewHost();
    for (size_t i = 1; i < count; ++i) fresh->params()[i].u = host->params()[i].u;
    Check(fresh->UserChangedParam(int(index)) == PF_Err_NONE, "supervision failed", index);
    for (size_t i = 1; i < count; ++i) {
      const PF_ParamDef& a = host->params()[i];
      const PF_ParamDef& b = fresh->params()[i];
      Check((a.ui_flags & PF_PUI_DISABLED) == (b.ui_flags & PF_PUI_DISABLED), "greyed state differs", i);
      Check((a.flags & PF_ParamFlag_COLLAPSE_TWIRLY) == (b.flags & PF_ParamFlag_COLLAPSE_TWIRLY),
            "folded state differs", i);
    }
    Check(host->OutstandingSuites() == 0, "a suite was left acquired", index);
  }
  return 0;
}
