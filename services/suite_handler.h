// Acquires host suites on first use and releases every one it acquired when it ends.
// One handler belongs to one command or stage on one thread.
#pragma once

#include "AE_EffectSuites.h"
#include "SPBasic.h"

class AEGP_SuiteHandler {
 public:
  // A null basic suite throws PF_Err_BAD_CALLBACK_PARAM.
  explicit AEGP_SuiteHandler(const SPBasicSuite* basic);
  ~AEGP_SuiteHandler();
  AEGP_SuiteHandler(const AEGP_SuiteHandler&) = delete;
  AEGP_SuiteHandler& operator=(const AEGP_SuiteHandler&) = delete;

  const PF_ANSICallbacksSuite1* ANSICallbacksSuite1() {
    return Get<PF_ANSICallbacksSuite1>(kANSI1);
  }
  const PF_WorldSuite2* WorldSuite2() { return Get<PF_WorldSuite2>(kWorld2); }
  const PF_Iterate8Suite1* Iterate8Suite1() { return Get<PF_Iterate8Suite1>(kIterate8_1); }
  const PF_iterate16Suite1* Iterate16Suite1() { return Get<PF_iterate16Suite1>(kIterate16_1); }
  const PF_ParamUtilsSuite3* ParamUtilsSuite3() {
    return Get<PF_ParamUtilsSuite3>(kParamUtils3);
  }

  void ReleaseAllSuites();

  // Acquires a suite straight from the basic suite; throws on failure.
  const void* LoadSuite(const char* name, int version);
  void ReleaseSuite(const char* name, int version);
  [[noreturn]] static void MissingSuiteError();

 private:
  enum Slot { kANSI1, kWorld2, kIterate8_1, kIterate16_1, kParamUtils3, kSlotCount };
  struct SuiteId {
    const char* name;
    int version;
  };
  static const SuiteId kSuites[kSlotCount];

  template <class Suite>
  const Suite* Get(Slot s) {
    if (!slots_[s]) slots_[s] = LoadSuite(kSuites[s].name, kSuites[s].version);
    return static_cast<const Suite*>(slots_[s]);
  }

  const SPBasicSuite* basic_;
  const void* slots_[kSlotCount] = {};
};
