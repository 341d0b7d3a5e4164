#include "suite_handler.h"

const AEGP_SuiteHandler::SuiteId AEGP_SuiteHandler::kSuites[kSlotCount] = {
    {kPFANSISuite, kPFANSISuiteVersion1},
    {kPFWorldSuite, kPFWorldSuiteVersion2},
    {kPFIterate8Suite, kPFIterate8SuiteVersion1},
    {kPFIterate16Suite, kPFIterate16SuiteVersion1},
    {kPFParamUtilsSuite, kPFParamUtilsSuiteVersion3},
};

AEGP_SuiteHandler::AEGP_SuiteHandler(const SPBasicSuite* basic) : basic_(basic) {
  if (!basic_) MissingSuiteError();
}

AEGP_SuiteHandler::~AEGP_SuiteHandler() { ReleaseAllSuites(); }

void AEGP_SuiteHandler::MissingSuiteError() {
  throw PF_Err(PF_Err_BAD_CALLBACK_PARAM);
}

const void* AEGP_SuiteHandler::LoadSuite(const char* name, int version) {
  const void* suite = nullptr;
  if (basic_->AcquireSuite(name, version, &suite) != kSPNoError || !suite) MissingSuiteError();
  return suite;
}

void AEGP_SuiteHandler::ReleaseSuite(const char* name, int version) {
  basic_->ReleaseSuite(name, version);
}

void AEGP_SuiteHandler::ReleaseAllSuites() {
  for (int s = 0; s < kSlotCount; ++s) {
    if (slots_[s]) {
      ReleaseSuite(kSuites[s].name, kSuites[s].version);
      slots_[s] = nullptr;
    }
  }
}
