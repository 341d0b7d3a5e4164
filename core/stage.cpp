#include "stage.h"

PF_Err InputIs16Bit(PF_InData* in_data, const PF_EffectWorld* input, bool* is16) {
  // Acquired straight from the basic suite for this one call, not through a handler.
  const SPBasicSuite* basic = in_data->pica_basicP;
  if (!basic) AEGP_SuiteHandler::MissingSuiteError();
  // A refusal is reported as the missing-suite error: the basic suite's own codes are not
  // host error codes.
  const void* suite = nullptr;
  if (basic->AcquireSuite(kPFWorldSuite, kPFWorldSuiteVersion2, &suite) != kSPNoError || !suite)
    return PF_Err_BAD_CALLBACK_PARAM;
  PF_PixelFormat format = PF_PixelFormat_ARGB32;
  const PF_Err err = static_cast<const PF_WorldSuite2*>(suite)->PF_GetPixelFormat(input, &format);
  basic->ReleaseSuite(kPFWorldSuite, kPFWorldSuiteVersion2);
  *is16 = format == PF_PixelFormat_ARGB64;
  return err;
}
