// The host's suites that this effect and our own host use, complete to their last member.
#pragma once

#include "AE_Effect.h"
#include "AE_EffectPixelFormat.h"
#include "SPBasic.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct PF_State PF_State;  // opaque: only pointers to it cross the boundary

#define kPFANSISuite "PF ANSI Suite"
#define kPFANSISuiteVersion1 1
// Its own table: the utility block's ANSI functions without the trailing A_long.
typedef struct PF_ANSICallbacksSuite1 {
  PF_ANSI_FUNCTION_MEMBERS
} PF_ANSICallbacksSuite1;

#define kPFWorldSuite "PF World Suite"
#define kPFWorldSuiteVersion1 1
#define kPFWorldSuiteVersion2 2
typedef struct PF_WorldSuite2 {
  PF_Err (*PF_NewWorld)(PF_ProgPtr effect_ref, A_long width, A_long height,
                        PF_Boolean clear_pix, PF_PixelFormat pixel_format,
                        PF_EffectWorld* world);
  PF_Err (*PF_DisposeWorld)(PF_ProgPtr effect_ref, PF_EffectWorld* world);
  PF_Err (*PF_GetPixelFormat)(const PF_EffectWorld* world, PF_PixelFormat* pixel_format);
} PF_WorldSuite2;

// The pixel formats an effect asks the host for (32-bit float among them).
#define kPFPixelFormatSuite "PF Pixel Format Suite"
#define kPFPixelFormatSuiteVersion1 1
#define kPFPixelFormatSuiteVersion2 2
typedef struct PF_PixelFormatSuite2 {
  PF_Err (*PF_AddSupportedPixelFormat)(PF_ProgPtr effect_ref, PF_PixelFormat pixel_format);
  PF_Err (*PF_ClearSupportedPixelFormats)(PF_ProgPtr effect_ref);
} PF_PixelFormatSuite2;

// Read-only sequence data while renders run on several threads at once.
typedef const void* PF_ConstPtr;
typedef const PF_ConstPtr* PF_ConstHandle;
#define kPFEffectSequenceDataSuite "PF Effect Sequence Data Suite"
#define kPFEffectSequenceDataSuiteVersion1 1
typedef struct PF_EffectSequenceDataSuite1 {
  PF_Err (*PF_GetConstSequenceData)(PF_ProgPtr effect_ref, PF_ConstHandle* sequence_data);
} PF_EffectSequenceDataSuite1;

#define kPFIterate8Suite "PF Iterate8 Suite"
#define kPFIterate8SuiteVersion1 1
#define kPFIterate8SuiteVersion2 2
typedef struct PF_Iterate8Suite1 {
  PF_IterateEntry8* iterate;
  PF_IterateOriginEntry8* iterate_origin;
  PF_IterateLutEntry* iterate_lut;
  PF_IterateOriginEntry8* iterate_origin_non_clip_src;
  PF_IterateGenericEntry* iterate_generic;
} PF_Iterate8Suite1, PF_Iterate8Suite2;

// The host spells this one with a lower-case i.
#define kPFIterate16Suite "PF iterate16 Suite"
#define kPFIterate16SuiteVersion1 1
#define kPFIterate16SuiteVersion2 2
typedef struct PF_iterate16Suite1 {
  PF_IterateEntry16* iterate;
  PF_IterateOriginEntry16* iterate_origin;
  PF_IterateOriginEntry16* iterate_origin_non_clip_src;
} PF_iterate16Suite1, PF_iterate16Suite2;

// Iteration over 32-bit float worlds (which only the smart render hands the effect).
#define kPFIterateFloatSuite "PF iterateFloat Suite"
#define kPFIterateFloatSuiteVersion1 1
#define kPFIterateFloatSuiteVersion2 2
typedef struct PF_iterateFloatSuite1 {
  PF_IterateEntryFloat* iterate;
  PF_IterateOriginEntryFloat* iterate_origin;
  PF_IterateOriginEntryFloat* iterate_origin_non_clip_src;
} PF_iterateFloatSuite1, PF_iterateFloatSuite2;

#define kPFParamUtilsSuite "PF Param Utils Suite"
#define kPFParamUtilsSuiteVersion1 2
#define kPFParamUtilsSuiteVersion3 3
typedef struct PF_ParamUtilsSuite3 {
  PF_Err (*PF_UpdateParamUI)(PF_ProgPtr effect_ref, PF_ParamIndex param_index,
                             const PF_ParamDef* param);
  PF_Err (*PF_GetCurrentState)(PF_ProgPtr effect_ref, PF_ParamIndex param_index,
                               const A_Time* start0, const A_Time* duration0, PF_State* state);
  PF_Err (*PF_AreStatesIdentical)(PF_ProgPtr effect_ref, const PF_State* state1,
                                  const PF_State* state2, A_Boolean* same);
  PF_Err (*PF_IsIdenticalCheckout)(PF_ProgPtr effect_ref, PF_ParamIndex param_index,
                                   A_long what_time1, A_long time_step1, A_u_long time_scale1,
                                   A_long what_time2, A_long time_step2, A_u_long time_scale2,
                                   PF_Boolean* identical);
  PF_Err (*PF_FindKeyframeTime)(PF_ProgPtr effect_ref, PF_ParamIndex param_index,
                                A_long what_time, A_u_long time_scale, PF_TimeDir time_dir,
                                PF_Boolean* found, PF_KeyIndex* key_index0, A_long* key_time0,
                                A_u_long* key_timescale0);
  PF_Err (*PF_GetKeyframeCount)(PF_ProgPtr effect_ref, PF_ParamIndex param_index,
                                PF_KeyIndex* key_count);
  PF_Err (*PF_CheckoutKeyframe)(PF_ProgPtr effect_ref, PF_ParamIndex param_index,
                                PF_KeyIndex key_index, A_long* key_time0,
                                A_u_long* key_timescale0, PF_ParamDef* param0);
  PF_Err (*PF_CheckinKeyframe)(PF_ProgPtr effect_ref, PF_ParamDef* param);
  PF_Err (*PF_KeyIndexToTime)(PF_ProgPtr effect_ref, PF_ParamIndex param_index,
                              PF_KeyIndex key_index, A_long* key_time,
                              A_u_long* key_timescale);
} PF_ParamUtilsSuite3;

#ifdef __cplusplus
}
#endif
