// The host's utility callbacks, reached through in_data->utils: the whole table, slot for
// slot, so that every member the effect calls sits where the host put it.
#pragma once

#include "AE_Effect.h"

#ifdef __cplusplus
extern "C" {
#endif

// Records the effect never builds; only pointers to them cross the boundary.
struct PF_SampPB;
struct PF_CompositeMode;
struct PF_MaskWorld;
struct PF_FloatMatrix;
typedef void (*PF_CallbackFunc)(void);

// The 19 functions of both ANSI tables: the utility block's (which adds an A_long) and the
// "PF ANSI Suite"'s, in the host's order.
#define PF_ANSI_FUNCTION_MEMBERS                     \
  A_FpLong (*atan)(A_FpLong);                        \
  A_FpLong (*atan2)(A_FpLong y, A_FpLong x);         \
  A_FpLong (*ceil)(A_FpLong);                        \
  A_FpLong (*cos)(A_FpLong);                         \
  A_FpLong (*exp)(A_FpLong);                         \
  A_FpLong (*fabs)(A_FpLong);                        \
  A_FpLong (*floor)(A_FpLong);                       \
  A_FpLong (*fmod)(A_FpLong x, A_FpLong y);          \
  A_FpLong (*hypot)(A_FpLong x, A_FpLong y);         \
  A_FpLong (*log)(A_FpLong);                         \
  A_FpLong (*log10)(A_FpLong);                       \
  A_FpLong (*pow)(A_FpLong x, A_FpLong y);           \
  A_FpLong (*sin)(A_FpLong);                         \
  A_FpLong (*sqrt)(A_FpLong);                        \
  A_FpLong (*tan)(A_FpLong);                         \
  int (*sprintf)(A_char*, const A_char*, ...);       \
  A_char* (*strcpy)(A_char*, const A_char*);         \
  A_FpLong (*asin)(A_FpLong);                        \
  A_FpLong (*acos)(A_FpLong);

// The iteration entries, shared by the utility callbacks and the iterate suites.
typedef PF_Err PF_IterateEntry8(PF_InData* in_data, A_long progress_base, A_long progress_final,
                                PF_EffectWorld* src, const PF_Rect* area, void* refcon,
                                PF_IteratePixel8Func pix_fn, PF_EffectWorld* dst);
typedef PF_Err PF_IterateEntry16(PF_InData* in_data, A_long progress_base, A_long progress_final,
                                 PF_EffectWorld* src, const PF_Rect* area, void* refcon,
                                 PF_IteratePixel16Func pix_fn, PF_EffectWorld* dst);
typedef PF_Err PF_IterateOriginEntry8(PF_InData* in_data, A_long progress_base,
                                      A_long progress_final, PF_EffectWorld* src,
                                      const PF_Rect* area, const PF_Point* origin, void* refcon,
                                      PF_IteratePixel8Func pix_fn, PF_EffectWorld* dst);
typedef PF_Err PF_IterateOriginEntry16(PF_InData* in_data, A_long progress_base,
                                       A_long progress_final, PF_EffectWorld* src,
                                       const PF_Rect* area, const PF_Point* origin, void* refcon,
                                       PF_IteratePixel16Func pix_fn, PF_EffectWorld* dst);
typedef PF_Err PF_IterateEntryFloat(PF_InData* in_data, A_long progress_base,
                                    A_long progress_final, PF_EffectWorld* src,
                                    const PF_Rect* area, void* refcon,
                                    PF_IteratePixelFloatFunc pix_fn, PF_EffectWorld* dst);
typedef PF_Err PF_IterateOriginEntryFloat(PF_InData* in_data, A_long progress_base,
                                          A_long progress_final, PF_EffectWorld* src,
                                          const PF_Rect* area, const PF_Point* origin,
                                          void* refcon, PF_IteratePixelFloatFunc pix_fn,
                                          PF_EffectWorld* dst);
typedef PF_Err PF_IterateLutEntry(PF_InData* in_data, A_long progress_base, A_long progress_final,
                                  PF_EffectWorld* src, const PF_Rect* area, A_u_char* a_lut0,
                                  A_u_char* r_lut0, A_u_char* g_lut0, A_u_char* b_lut0,
                                  PF_EffectWorld* dst);
typedef PF_Err PF_IterateGenericEntry(A_long iterations, void* refcon, PF_IterateGenericFunc fn_func);

typedef struct PF_ANSICallbacksBlock {
  PF_ANSI_FUNCTION_MEMBERS
  A_long unused_longA[1];
} PF_ANSICallbacks;

typedef struct {
  PF_Err (*RGBtoHLS)(PF_ProgPtr effect_ref, PF_Pixel* rgb, PF_Fixed* hls);
  PF_Err (*HLStoRGB)(PF_ProgPtr effect_ref, PF_Fixed* hls, PF_Pixel* rgb);
  PF_Err (*RGBtoYIQ)(PF_ProgPtr effect_ref, PF_Pixel* rgb, PF_Fixed* yiq);
  PF_Err (*YIQtoRGB)(PF_ProgPtr effect_ref, PF_Fixed* yiq, PF_Pixel* rgb);
  PF_Err (*Luminance)(PF_ProgPtr effect_ref, PF_Pixel* rgb, A_long* lum100);
  PF_Err (*Hue)(PF_ProgPtr effect_ref, PF_Pixel* rgb, A_long* hue);
  PF_Err (*Lightness)(PF_ProgPtr effect_ref, PF_Pixel* rgb, A_long* lightness);
  PF_Err (*Saturation)(PF_ProgPtr effect_ref, PF_Pixel* rgb, A_long* saturation);
} PF_ColorCallbacks;

typedef struct _PF_UtilCallbacks {
  PF_Err (*begin_sampling)(PF_ProgPtr effect_ref, PF_Quality qual, PF_ModeFlags mf,
                           struct PF_SampPB* params);
  PF_Err (*subpixel_sample)(PF_ProgPtr effect_ref, PF_Fixed x, PF_Fixed y,
                            const struct PF_SampPB* params, PF_Pixel* dst_pixel);
  PF_Err (*area_sample)(PF_ProgPtr effect_ref, PF_Fixed x, PF_Fixed y,
                        const struct PF_SampPB* params, PF_Pixel* dst_pixel);
  void* get_batch_func_is_deprecated;
  PF_Err (*end_sampling)(PF_ProgPtr effect_ref, PF_Quality qual, PF_ModeFlags mf,
                         struct PF_SampPB* params);
  PF_Err (*composite_rect)(PF_ProgPtr effect_ref, PF_Rect* src_rect, A_long src_opacity,
                           PF_EffectWorld* source_wld, A_long dest_x, A_long dest_y,
                           PF_Field field_rdr, PF_XferMode xfer_mode, PF_EffectWorld* dest_wld);
  PF_Err (*blend)(PF_ProgPtr effect_ref, const PF_EffectWorld* src1, const PF_EffectWorld* src2,
                  PF_Fixed ratio, PF_EffectWorld* dst);
  PF_Err (*convolve)(PF_ProgPtr effect_ref, PF_EffectWorld* src, const PF_Rect* area,
                     PF_KernelFlags flags, A_long kernel_size, void* a_kernel, void* r_kernel,
                     void* g_kernel, void* b_kernel, PF_EffectWorld* dst);
  PF_Err (*copy)(PF_ProgPtr effect_ref, PF_EffectWorld* src, PF_EffectWorld* dst,
                 PF_Rect* src_r, PF_Rect* dst_r);
  PF_Err (*fill)(PF_ProgPtr effect_ref, const PF_Pixel* color, const PF_Rect* dst_rect,
                 PF_EffectWorld* world);
  PF_Err (*gaussian_kernel)(PF_ProgPtr effect_ref, A_FpLong kRadius, PF_KernelFlags flags,
                            A_FpLong multiplier, A_long* diameter, void* kernel);
  PF_IterateEntry8* iterate;
  PF_Err (*premultiply)(PF_ProgPtr effect_ref, A_long forward, PF_EffectWorld* dst);
  PF_Err (*premultiply_color)(PF_ProgPtr effect_ref, PF_EffectWorld* src,
                              const PF_Pixel* color, A_long forward, PF_EffectWorld* dst);
  PF_Err (*new_world)(PF_ProgPtr effect_ref, A_long width, A_long height,
                      PF_NewWorldFlags flags, PF_EffectWorld* world);
  PF_Err (*dispose_world)(PF_ProgPtr effect_ref, PF_EffectWorld* world);
  PF_IterateOriginEntry8* iterate_origin;
  PF_IterateLutEntry* iterate_lut;
  PF_Err (*transfer_rect)(PF_ProgPtr effect_ref, PF_Quality quality, PF_ModeFlags m_flags,
                          PF_Field field, const PF_Rect* src_rec,
                          const PF_EffectWorld* src_world,
                          const struct PF_CompositeMode* comp_mode,
                          const struct PF_MaskWorld* mask_world0, A_long dest_x, A_long dest_y,
                          PF_EffectWorld* dst_world);
  PF_Err (*transform_world)(PF_ProgPtr effect_ref, PF_Quality quality, PF_ModeFlags m_flags,
                            PF_Field field, const PF_EffectWorld* src_world,
                            const struct PF_CompositeMode* comp_mode,
                            const struct PF_MaskWorld* mask_world0,
                            const struct PF_FloatMatrix* matrices, A_long num_matrices,
                            PF_Boolean src2dst_matrix, const PF_Rect* dest_rect,
                            PF_EffectWorld* dst_world);
  PF_Handle (*host_new_handle)(A_u_longlong size);
  void* (*host_lock_handle)(PF_Handle pf_handle);
  void (*host_unlock_handle)(PF_Handle pf_handle);
  void (*host_dispose_handle)(PF_Handle pf_handle);
  PF_Err (*get_callback_addr)(PF_ProgPtr effect_ref, PF_Quality quality,
                              PF_ModeFlags mode_flags, PF_CallbackID which_callback,
                              PF_CallbackFunc* fn_ptr);
  PF_Err (*app)(PF_ProgPtr, A_long, ...);
  PF_ANSICallbacks ansi;
  PF_ColorCallbacks colorCB;
  PF_Err (*get_platform_data)(PF_ProgPtr effect_ref, PF_PlatDataID which, void* data);
  A_u_longlong (*host_get_handle_size)(PF_Handle pf_handle);
  PF_IterateOriginEntry8* iterate_origin_non_clip_src;
  PF_IterateGenericEntry* iterate_generic;
  PF_Err (*host_resize_handle)(A_u_longlong new_size, PF_Handle* handle);
  PF_Err (*subpixel_sample16)(PF_ProgPtr effect_ref, PF_Fixed x, PF_Fixed y,
                              const struct PF_SampPB* params, PF_Pixel16* dst_pixel);
  PF_Err (*area_sample16)(PF_ProgPtr effect_ref, PF_Fixed x, PF_Fixed y,
                          const struct PF_SampPB* params, PF_Pixel16* dst_pixel);
  PF_Err (*fill16)(PF_ProgPtr effect_ref, const PF_Pixel16* color, const PF_Rect* dst_rect,
                   PF_EffectWorld* world);
  PF_Err (*premultiply_color16)(PF_ProgPtr effect_ref, PF_EffectWorld* src,
                                const PF_Pixel16* color, A_long forward, PF_EffectWorld* dst);
  PF_IterateEntry16* iterate16;
  PF_IterateOriginEntry16* iterate_origin16;
  PF_IterateOriginEntry16* iterate_origin_non_clip_src16;
  PF_Err (*get_pixel_data8)(PF_EffectWorld* world, PF_PixelPtr pixels0, PF_Pixel8** pix);
  PF_Err (*get_pixel_data16)(PF_EffectWorld* world, PF_PixelPtr pixels0, PF_Pixel16** pix);
  A_long reserved[1];
} PF_UtilCallbacks;

#ifdef __cplusplus
}
#endif
