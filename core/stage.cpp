#include "stage.h"

#include <algorithm>

#include "pixel.h"

PF_Err PixelFormatOf(PF_InData* in_data, const PF_EffectWorld* world, PF_PixelFormat* format) {
  // Acquired straight from the basic suite for this one call, not through a handler.
  const SPBasicSuite* basic = in_data->pica_basicP;
  if (!basic) AEGP_SuiteHandler::MissingSuiteError();
  // A refusal is reported as the missing-suite error: the basic suite's own codes are not
  // host error codes.
  const void* suite = nullptr;
  if (basic->AcquireSuite(kPFWorldSuite, kPFWorldSuiteVersion2, &suite) != kSPNoError || !suite)
    return PF_Err_BAD_CALLBACK_PARAM;
  *format = PF_PixelFormat_ARGB32;
  const PF_Err err = static_cast<const PF_WorldSuite2*>(suite)->PF_GetPixelFormat(world, format);
  basic->ReleaseSuite(kPFWorldSuite, kPFWorldSuiteVersion2);
  return err;
}

PF_Err InputIs16Bit(PF_InData* in_data, const PF_EffectWorld* input, bool* is16) {
  PF_PixelFormat format = PF_PixelFormat_ARGB32;
  const PF_Err err = PixelFormatOf(in_data, input, &format);
  *is16 = format == PF_PixelFormat_ARGB64;
  return err;
}

PF_Err HostWorld::CreateFloat(A_long width, A_long height, bool clear) {
  Dispose();
  const SPBasicSuite* basic = in_data_->pica_basicP;
  if (!basic) AEGP_SuiteHandler::MissingSuiteError();
  const void* suite = nullptr;
  if (basic->AcquireSuite(kPFWorldSuite, kPFWorldSuiteVersion2, &suite) != kSPNoError || !suite)
    return PF_Err_BAD_CALLBACK_PARAM;
  suite_ = static_cast<const PF_WorldSuite2*>(suite);
  const PF_Err err = suite_->PF_NewWorld(in_data_->effect_ref, width, height, clear,
                                         PF_PixelFormat_ARGB128, &w_);
  created_ = err == PF_Err_NONE;
  if (!created_) Dispose();
  return err;
}

void HostWorld::Dispose() {
  if (created_) {
    if (suite_) suite_->PF_DisposeWorld(in_data_->effect_ref, &w_);
    else in_data_->utils->dispose_world(in_data_->effect_ref, &w_);
  }
  if (suite_) in_data_->pica_basicP->ReleaseSuite(kPFWorldSuite, kPFWorldSuiteVersion2);
  suite_ = nullptr;
  created_ = false;
  std::memset(&w_, 0, sizeof w_);
}

void CopyPixelsAt(const PF_EffectWorld* from, PF_EffectWorld* to, A_long left, A_long top,
                  size_t bytes, bool finite) {
  const A_long x0 = std::max<A_long>(0, -left), y0 = std::max<A_long>(0, -top);
  const A_long x1 = std::min<A_long>(from->width, to->width - left);
  const A_long y1 = std::min<A_long>(from->height, to->height - top);
  if (x1 <= x0) return;
  for (A_long y = y0; y < y1; ++y) {
    const char* in = reinterpret_cast<const char*>(from->data) + intptr_t(y) * from->rowbytes +
                     intptr_t(x0) * intptr_t(bytes);
    char* out = reinterpret_cast<char*>(to->data) + intptr_t(y + top) * to->rowbytes +
                intptr_t(x0 + left) * intptr_t(bytes);
    if (!finite) {
      std::memcpy(out, in, size_t(x1 - x0) * bytes);
      continue;
    }
    const auto* p = reinterpret_cast<const PF_PixelFloat*>(in);
    auto* q = reinterpret_cast<PF_PixelFloat*>(out);
    for (A_long x = 0; x < x1 - x0; ++x)
      q[x] = PF_PixelFloat{Finite(p[x].alpha), Finite(p[x].red), Finite(p[x].green), Finite(p[x].blue)};
  }
}
