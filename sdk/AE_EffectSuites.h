// Stand-in for the host's effect suites: only the suites and entries this effect calls.
#pragma once

#include "AE_Effect.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef A_u_long PF_PixelFormat;
#define PF_FOURCC(a, b, c, d) \
  ((A_u_long(a) << 24) | (A_u_long(b) << 16) | (A_u_long(c) << 8) | A_u_long(d))
enum {
  PF_PixelFormat_ARGB32 = PF_FOURCC('a', 'r', 'g', 'b'),
  PF_PixelFormat_ARGB64 = PF_FOURCC('w', 'r', 'g', 'b'),
  PF_PixelFormat_ARGB128 = PF_FOURCC('f', 'r', 'g', 'b')
};

#define kPFANSISuite "PF ANSI Suite"
#define kPFANSISuiteVersion1 1
// The suite offers the same table as the utility callbacks' ansi member.
typedef PF_ANSICallbacks PF_ANSISuite1;

#define kPFWorldSuite "PF World Suite"
#define kPFWorldSuiteVersion2 2
typedef struct PF_WorldSuite2 {
  PF_Err (*PF_NewWorld)(PF_ProgPtr effect_ref, A_long width, A_long height,
                        PF_Boolean clear_pix, PF_PixelFormat pixel_format,
                        PF_EffectWorld* world);
  PF_Err (*PF_DisposeWorld)(PF_ProgPtr effect_ref, PF_EffectWorld* world);
  PF_Err (*PF_GetPixelFormat)(const PF_EffectWorld* world, PF_PixelFormat* pixel_format);
} PF_WorldSuite2;

#define kPFIterate8Suite "PF Iterate8 Suite"
#define kPFIterate8SuiteVersion1 1
typedef struct PF_Iterate8Suite1 {
  PF_Err (*iterate)(PF_InData* in_data, A_long progress_base, A_long progress_final,
                    PF_EffectWorld* src, const PF_Rect* area, void* refcon,
                    PF_IteratePixel8Func pix_fn, PF_EffectWorld* dst);
} PF_Iterate8Suite1;

// The host spells this one with a lower-case i.
#define kPFIterate16Suite "PF iterate16 Suite"
#define kPFIterate16SuiteVersion1 1
typedef struct PF_iterate16Suite1 {
  PF_Err (*iterate)(PF_InData* in_data, A_long progress_base, A_long progress_final,
                    PF_EffectWorld* src, const PF_Rect* area, void* refcon,
                    PF_IteratePixel16Func pix_fn, PF_EffectWorld* dst);
} PF_iterate16Suite1;

#define kPFParamUtilsSuite "PF Param Utils Suite"
#define kPFParamUtilsSuiteVersion3 3
typedef struct PF_ParamUtilsSuite3 {
  PF_Err (*PF_UpdateParamUI)(PF_ProgPtr effect_ref, PF_ParamIndex param_index,
                             const PF_ParamDef* param);
} PF_ParamUtilsSuite3;

#ifdef __cplusplus
}
#endif
