// Written by scripts/layout_asserts.py from the host's layout facts; do not edit.
// Every record the module exchanges with the host, checked on every target that
// compiles it: a wrong offset here is a crash in the host.
#include <stddef.h>

#include "AE_Effect.h"
#include "AE_EffectSuites.h"
#include "SPBasic.h"

#define VZ_SIZE(T, n, a) \
  static_assert(sizeof(T) == n, #T " size"); \
  static_assert(alignof(T) == a, #T " alignment")
#define VZ_FIELD(T, f, off, n) \
  static_assert(offsetof(T, f) == off, #T "." #f " offset"); \
  static_assert(sizeof(((T*)nullptr)->f) == n, #T "." #f " size")

VZ_SIZE(A_AppID, 4, 4);
VZ_SIZE(A_Boolean, 1, 1);
VZ_SIZE(A_Err, 4, 4);
VZ_SIZE(A_Fixed, 4, 4);
VZ_SIZE(A_FpLong, 8, 8);
VZ_SIZE(A_FpShort, 4, 4);
VZ_SIZE(A_Handle, 8, 8);
VZ_SIZE(A_UFixed, 4, 4);
VZ_SIZE(A_char, 1, 1);
VZ_SIZE(A_intptr_t, 8, 8);
VZ_SIZE(A_long, 4, 4);
VZ_SIZE(A_short, 2, 2);
VZ_SIZE(A_u_char, 1, 1);
VZ_SIZE(A_u_long, 4, 4);
VZ_SIZE(A_u_longlong, 8, 8);
VZ_SIZE(A_u_short, 2, 2);
VZ_SIZE(PF_ArbitraryH, 8, 8);
VZ_SIZE(PF_Boolean, 1, 1);
VZ_SIZE(PF_CallbackID, 4, 4);
VZ_SIZE(PF_ChangeFlags, 4, 4);
VZ_SIZE(PF_ChannelMask, 4, 4);
VZ_SIZE(PF_Cmd, 4, 4);
VZ_SIZE(PF_ConstHandle, 8, 8);
VZ_SIZE(PF_DeletePreRenderDataFunc, 8, 8);
VZ_SIZE(PF_Err, 4, 4);
VZ_SIZE(PF_FSliderFlags, 4, 4);
VZ_SIZE(PF_Field, 4, 4);
VZ_SIZE(PF_Fixed, 4, 4);
VZ_SIZE(PF_FpLong, 8, 8);
VZ_SIZE(PF_FpShort, 4, 4);
VZ_SIZE(PF_GPU_Framework, 4, 4);
VZ_SIZE(PF_Handle, 8, 8);
VZ_SIZE(PF_InFlags, 4, 4);
VZ_SIZE(PF_IteratePixel16Func, 8, 8);
VZ_SIZE(PF_IteratePixel8Func, 8, 8);
VZ_SIZE(PF_IteratePixelFloatFunc, 8, 8);
VZ_SIZE(PF_KernelFlags, 4, 4);
VZ_SIZE(PF_LayerAudio, 8, 8);
VZ_SIZE(PF_ModeFlags, 4, 4);
VZ_SIZE(PF_NewWorldFlags, 4, 4);
VZ_SIZE(PF_OutFlags, 4, 4);
VZ_SIZE(PF_OutFlags2, 4, 4);
VZ_SIZE(PF_ParamDefPtr, 8, 8);
VZ_SIZE(PF_ParamFlags, 4, 4);
VZ_SIZE(PF_ParamIndex, 4, 4);
VZ_SIZE(PF_ParamList, 8, 8);
VZ_SIZE(PF_ParamType, 4, 4);
VZ_SIZE(PF_ParamUIFlags, 4, 4);
VZ_SIZE(PF_ParamValue, 4, 4);
VZ_SIZE(PF_PathID, 4, 4);
VZ_SIZE(PF_PixLong, 4, 4);
VZ_SIZE(PF_PixelFormat, 4, 4);
VZ_SIZE(PF_PixelPtr, 8, 8);
VZ_SIZE(PF_PlatDataID, 4, 4);
VZ_SIZE(PF_Precision, 2, 2);
VZ_SIZE(PF_ProgPtr, 8, 8);
VZ_SIZE(PF_Quality, 4, 4);
VZ_SIZE(PF_RenderOutputFlags, 2, 2);
VZ_SIZE(PF_SndSamplePtr, 8, 8);
VZ_SIZE(PF_SoundChannels, 2, 2);
VZ_SIZE(PF_SoundFormat, 2, 2);
VZ_SIZE(PF_SoundSampleSize, 2, 2);
VZ_SIZE(PF_TransferMode, 4, 4);
VZ_SIZE(PF_UFixed, 4, 4);
VZ_SIZE(PF_ValueDisplayFlags, 2, 2);
VZ_SIZE(PF_WorldFlags, 4, 4);
VZ_SIZE(PF_XferMode, 4, 4);
#if defined(_WIN32) || defined(_WINDOWS)
VZ_SIZE(SPBoolean, 4, 4);
#else
VZ_SIZE(SPBoolean, 1, 1);
#endif
VZ_SIZE(SPErr, 4, 4);

VZ_SIZE(PF_ANSICallbacks, 160, 8);
VZ_FIELD(PF_ANSICallbacks, atan, 0, 8);
VZ_FIELD(PF_ANSICallbacks, atan2, 8, 8);
VZ_FIELD(PF_ANSICallbacks, ceil, 16, 8);
VZ_FIELD(PF_ANSICallbacks, cos, 24, 8);
VZ_FIELD(PF_ANSICallbacks, exp, 32, 8);
VZ_FIELD(PF_ANSICallbacks, fabs, 40, 8);
VZ_FIELD(PF_ANSICallbacks, floor, 48, 8);
VZ_FIELD(PF_ANSICallbacks, fmod, 56, 8);
VZ_FIELD(PF_ANSICallbacks, hypot, 64, 8);
VZ_FIELD(PF_ANSICallbacks, log, 72, 8);
VZ_FIELD(PF_ANSICallbacks, log10, 80, 8);
VZ_FIELD(PF_ANSICallbacks, pow, 88, 8);
VZ_FIELD(PF_ANSICallbacks, sin, 96, 8);
VZ_FIELD(PF_ANSICallbacks, sqrt, 104, 8);
VZ_FIELD(PF_ANSICallbacks, tan, 112, 8);
VZ_FIELD(PF_ANSICallbacks, sprintf, 120, 8);
VZ_FIELD(PF_ANSICallbacks, strcpy, 128, 8);
VZ_FIELD(PF_ANSICallbacks, asin, 136, 8);
VZ_FIELD(PF_ANSICallbacks, acos, 144, 8);
VZ_FIELD(PF_ANSICallbacks, unused_longA, 152, 4);

VZ_SIZE(PF_ANSICallbacksSuite1, 152, 8);
VZ_FIELD(PF_ANSICallbacksSuite1, atan, 0, 8);
VZ_FIELD(PF_ANSICallbacksSuite1, atan2, 8, 8);
VZ_FIELD(PF_ANSICallbacksSuite1, ceil, 16, 8);
VZ_FIELD(PF_ANSICallbacksSuite1, cos, 24, 8);
VZ_FIELD(PF_ANSICallbacksSuite1, exp, 32, 8);
VZ_FIELD(PF_ANSICallbacksSuite1, fabs, 40, 8);
VZ_FIELD(PF_ANSICallbacksSuite1, floor, 48, 8);
VZ_FIELD(PF_ANSICallbacksSuite1, fmod, 56, 8);
VZ_FIELD(PF_ANSICallbacksSuite1, hypot, 64, 8);
VZ_FIELD(PF_ANSICallbacksSuite1, log, 72, 8);
VZ_FIELD(PF_ANSICallbacksSuite1, log10, 80, 8);
VZ_FIELD(PF_ANSICallbacksSuite1, pow, 88, 8);
VZ_FIELD(PF_ANSICallbacksSuite1, sin, 96, 8);
VZ_FIELD(PF_ANSICallbacksSuite1, sqrt, 104, 8);
VZ_FIELD(PF_ANSICallbacksSuite1, tan, 112, 8);
VZ_FIELD(PF_ANSICallbacksSuite1, sprintf, 120, 8);
VZ_FIELD(PF_ANSICallbacksSuite1, strcpy, 128, 8);
VZ_FIELD(PF_ANSICallbacksSuite1, asin, 136, 8);
VZ_FIELD(PF_ANSICallbacksSuite1, acos, 144, 8);

VZ_SIZE(PF_AngleDef, 16, 4);
VZ_FIELD(PF_AngleDef, value, 0, 4);
VZ_FIELD(PF_AngleDef, dephault, 4, 4);
VZ_FIELD(PF_AngleDef, valid_min, 8, 4);
VZ_FIELD(PF_AngleDef, valid_max, 12, 4);

VZ_SIZE(PF_ArbitraryDef, 32, 8);
VZ_FIELD(PF_ArbitraryDef, id, 0, 2);
VZ_FIELD(PF_ArbitraryDef, pad, 2, 2);
VZ_FIELD(PF_ArbitraryDef, dephault, 8, 8);
VZ_FIELD(PF_ArbitraryDef, value, 16, 8);
VZ_FIELD(PF_ArbitraryDef, refconPV, 24, 8);

VZ_SIZE(PF_ButtonDef, 16, 8);
VZ_FIELD(PF_ButtonDef, value, 0, 4);
VZ_FIELD(PF_ButtonDef, u, 8, 8);

VZ_SIZE(PF_CheckBoxDef, 16, 8);
VZ_FIELD(PF_CheckBoxDef, value, 0, 4);
VZ_FIELD(PF_CheckBoxDef, dephault, 4, 1);
VZ_FIELD(PF_CheckBoxDef, reserved, 5, 1);
VZ_FIELD(PF_CheckBoxDef, reserved1, 6, 2);
VZ_FIELD(PF_CheckBoxDef, u, 8, 8);

static_assert(sizeof(((PF_CheckBoxDef*)nullptr)->u) == 8, "PF_CheckBoxDef.u size");
static_assert(offsetof(PF_CheckBoxDef, u.nameptr) - offsetof(PF_CheckBoxDef, u) == 0, "PF_CheckBoxDef.u.nameptr offset");

VZ_SIZE(PF_CheckoutResult, 76, 4);
VZ_FIELD(PF_CheckoutResult, result_rect, 0, 16);
VZ_FIELD(PF_CheckoutResult, max_result_rect, 16, 16);
VZ_FIELD(PF_CheckoutResult, par, 32, 8);
VZ_FIELD(PF_CheckoutResult, solid, 40, 1);
VZ_FIELD(PF_CheckoutResult, reservedB, 41, 3);
VZ_FIELD(PF_CheckoutResult, ref_width, 44, 4);
VZ_FIELD(PF_CheckoutResult, ref_height, 48, 4);
VZ_FIELD(PF_CheckoutResult, reserved, 52, 24);

VZ_SIZE(PF_ColorCallbacks, 64, 8);
VZ_FIELD(PF_ColorCallbacks, RGBtoHLS, 0, 8);
VZ_FIELD(PF_ColorCallbacks, HLStoRGB, 8, 8);
VZ_FIELD(PF_ColorCallbacks, RGBtoYIQ, 16, 8);
VZ_FIELD(PF_ColorCallbacks, YIQtoRGB, 24, 8);
VZ_FIELD(PF_ColorCallbacks, Luminance, 32, 8);
VZ_FIELD(PF_ColorCallbacks, Hue, 40, 8);
VZ_FIELD(PF_ColorCallbacks, Lightness, 48, 8);
VZ_FIELD(PF_ColorCallbacks, Saturation, 56, 8);

VZ_SIZE(PF_ColorDef, 8, 1);
VZ_FIELD(PF_ColorDef, value, 0, 4);
VZ_FIELD(PF_ColorDef, dephault, 4, 4);

VZ_SIZE(PF_EffectSequenceDataSuite1, 8, 8);
VZ_FIELD(PF_EffectSequenceDataSuite1, PF_GetConstSequenceData, 0, 8);

VZ_SIZE(PF_FixedPoint, 8, 4);
VZ_FIELD(PF_FixedPoint, x, 0, 4);
VZ_FIELD(PF_FixedPoint, y, 4, 4);

VZ_SIZE(PF_FixedSliderDef, 92, 4);
VZ_FIELD(PF_FixedSliderDef, value, 0, 4);
VZ_FIELD(PF_FixedSliderDef, value_str, 4, 32);
VZ_FIELD(PF_FixedSliderDef, value_desc, 36, 32);
VZ_FIELD(PF_FixedSliderDef, valid_min, 68, 4);
VZ_FIELD(PF_FixedSliderDef, valid_max, 72, 4);
VZ_FIELD(PF_FixedSliderDef, slider_min, 76, 4);
VZ_FIELD(PF_FixedSliderDef, slider_max, 80, 4);
VZ_FIELD(PF_FixedSliderDef, dephault, 84, 4);
VZ_FIELD(PF_FixedSliderDef, precision, 88, 2);
VZ_FIELD(PF_FixedSliderDef, display_flags, 90, 2);

VZ_SIZE(PF_FloatSliderDef, 88, 8);
VZ_FIELD(PF_FloatSliderDef, value, 0, 8);
VZ_FIELD(PF_FloatSliderDef, phase, 8, 8);
VZ_FIELD(PF_FloatSliderDef, value_desc, 16, 32);
VZ_FIELD(PF_FloatSliderDef, valid_min, 48, 4);
VZ_FIELD(PF_FloatSliderDef, valid_max, 52, 4);
VZ_FIELD(PF_FloatSliderDef, slider_min, 56, 4);
VZ_FIELD(PF_FloatSliderDef, slider_max, 60, 4);
VZ_FIELD(PF_FloatSliderDef, dephault, 64, 4);
VZ_FIELD(PF_FloatSliderDef, precision, 68, 2);
VZ_FIELD(PF_FloatSliderDef, display_flags, 70, 2);
VZ_FIELD(PF_FloatSliderDef, fs_flags, 72, 4);
VZ_FIELD(PF_FloatSliderDef, curve_tolerance, 76, 4);
VZ_FIELD(PF_FloatSliderDef, useExponent, 80, 1);
VZ_FIELD(PF_FloatSliderDef, exponent, 84, 4);

VZ_SIZE(PF_InData, 408, 8);
VZ_FIELD(PF_InData, inter, 0, 176);
VZ_FIELD(PF_InData, utils, 176, 8);
VZ_FIELD(PF_InData, effect_ref, 184, 8);
VZ_FIELD(PF_InData, quality, 192, 4);
VZ_FIELD(PF_InData, version, 196, 4);
VZ_FIELD(PF_InData, serial_num, 200, 4);
VZ_FIELD(PF_InData, appl_id, 204, 4);
VZ_FIELD(PF_InData, num_params, 208, 4);
VZ_FIELD(PF_InData, reserved, 212, 4);
VZ_FIELD(PF_InData, what_cpu, 216, 4);
VZ_FIELD(PF_InData, what_fpu, 220, 4);
VZ_FIELD(PF_InData, current_time, 224, 4);
VZ_FIELD(PF_InData, time_step, 228, 4);
VZ_FIELD(PF_InData, total_time, 232, 4);
VZ_FIELD(PF_InData, local_time_step, 236, 4);
VZ_FIELD(PF_InData, time_scale, 240, 4);
VZ_FIELD(PF_InData, field, 244, 4);
VZ_FIELD(PF_InData, shutter_angle, 248, 4);
VZ_FIELD(PF_InData, width, 252, 4);
VZ_FIELD(PF_InData, height, 256, 4);
VZ_FIELD(PF_InData, extent_hint, 260, 16);
VZ_FIELD(PF_InData, output_origin_x, 276, 4);
VZ_FIELD(PF_InData, output_origin_y, 280, 4);
VZ_FIELD(PF_InData, downsample_x, 284, 8);
VZ_FIELD(PF_InData, downsample_y, 292, 8);
VZ_FIELD(PF_InData, pixel_aspect_ratio, 300, 8);
VZ_FIELD(PF_InData, in_flags, 308, 4);
VZ_FIELD(PF_InData, global_data, 312, 8);
VZ_FIELD(PF_InData, sequence_data, 320, 8);
VZ_FIELD(PF_InData, frame_data, 328, 8);
VZ_FIELD(PF_InData, start_sampL, 336, 4);
VZ_FIELD(PF_InData, dur_sampL, 340, 4);
VZ_FIELD(PF_InData, total_sampL, 344, 4);
VZ_FIELD(PF_InData, src_snd, 352, 32);
VZ_FIELD(PF_InData, pica_basicP, 384, 8);
VZ_FIELD(PF_InData, pre_effect_source_origin_x, 392, 4);
VZ_FIELD(PF_InData, pre_effect_source_origin_y, 396, 4);
VZ_FIELD(PF_InData, shutter_phase, 400, 4);

VZ_SIZE(PF_InteractCallbacks, 176, 8);
VZ_FIELD(PF_InteractCallbacks, checkout_param, 0, 8);
VZ_FIELD(PF_InteractCallbacks, checkin_param, 8, 8);
VZ_FIELD(PF_InteractCallbacks, add_param, 16, 8);
VZ_FIELD(PF_InteractCallbacks, abort, 24, 8);
VZ_FIELD(PF_InteractCallbacks, progress, 32, 8);
VZ_FIELD(PF_InteractCallbacks, register_ui, 40, 8);
VZ_FIELD(PF_InteractCallbacks, checkout_layer_audio, 48, 8);
VZ_FIELD(PF_InteractCallbacks, checkin_layer_audio, 56, 8);
VZ_FIELD(PF_InteractCallbacks, get_audio_data, 64, 8);
VZ_FIELD(PF_InteractCallbacks, reserved_str, 72, 24);
VZ_FIELD(PF_InteractCallbacks, reserved, 96, 80);

VZ_SIZE(PF_Iterate8Suite1, 40, 8);
VZ_FIELD(PF_Iterate8Suite1, iterate, 0, 8);
VZ_FIELD(PF_Iterate8Suite1, iterate_origin, 8, 8);
VZ_FIELD(PF_Iterate8Suite1, iterate_lut, 16, 8);
VZ_FIELD(PF_Iterate8Suite1, iterate_origin_non_clip_src, 24, 8);
VZ_FIELD(PF_Iterate8Suite1, iterate_generic, 32, 8);

VZ_SIZE(PF_Iterate8Suite2, 40, 8);
VZ_FIELD(PF_Iterate8Suite2, iterate, 0, 8);
VZ_FIELD(PF_Iterate8Suite2, iterate_origin, 8, 8);
VZ_FIELD(PF_Iterate8Suite2, iterate_lut, 16, 8);
VZ_FIELD(PF_Iterate8Suite2, iterate_origin_non_clip_src, 24, 8);
VZ_FIELD(PF_Iterate8Suite2, iterate_generic, 32, 8);

VZ_SIZE(PF_LRect, 16, 4);
VZ_FIELD(PF_LRect, left, 0, 4);
VZ_FIELD(PF_LRect, top, 4, 4);
VZ_FIELD(PF_LRect, right, 8, 4);
VZ_FIELD(PF_LRect, bottom, 12, 4);

VZ_SIZE(PF_LayerDef, 120, 8);
VZ_FIELD(PF_LayerDef, reserved0, 0, 8);
VZ_FIELD(PF_LayerDef, reserved1, 8, 8);
VZ_FIELD(PF_LayerDef, world_flags, 16, 4);
VZ_FIELD(PF_LayerDef, data, 24, 8);
VZ_FIELD(PF_LayerDef, rowbytes, 32, 4);
VZ_FIELD(PF_LayerDef, width, 36, 4);
VZ_FIELD(PF_LayerDef, height, 40, 4);
VZ_FIELD(PF_LayerDef, extent_hint, 44, 16);
VZ_FIELD(PF_LayerDef, platform_ref, 64, 8);
VZ_FIELD(PF_LayerDef, reserved_long1, 72, 4);
VZ_FIELD(PF_LayerDef, reserved_long4, 80, 8);
VZ_FIELD(PF_LayerDef, pix_aspect_ratio, 88, 8);
VZ_FIELD(PF_LayerDef, reserved_long2, 96, 8);
VZ_FIELD(PF_LayerDef, origin_x, 104, 4);
VZ_FIELD(PF_LayerDef, origin_y, 108, 4);
VZ_FIELD(PF_LayerDef, reserved_long3, 112, 4);
VZ_FIELD(PF_LayerDef, dephault, 116, 4);

VZ_SIZE(PF_OutData, 408, 8);
VZ_FIELD(PF_OutData, my_version, 0, 4);
VZ_FIELD(PF_OutData, name, 4, 32);
VZ_FIELD(PF_OutData, global_data, 40, 8);
VZ_FIELD(PF_OutData, num_params, 48, 4);
VZ_FIELD(PF_OutData, sequence_data, 56, 8);
VZ_FIELD(PF_OutData, flat_sdata_size, 64, 4);
VZ_FIELD(PF_OutData, frame_data, 72, 8);
VZ_FIELD(PF_OutData, width, 80, 4);
VZ_FIELD(PF_OutData, height, 84, 4);
VZ_FIELD(PF_OutData, origin, 88, 8);
VZ_FIELD(PF_OutData, out_flags, 96, 4);
VZ_FIELD(PF_OutData, return_msg, 100, 256);
VZ_FIELD(PF_OutData, start_sampL, 356, 4);
VZ_FIELD(PF_OutData, dur_sampL, 360, 4);
VZ_FIELD(PF_OutData, dest_snd, 368, 32);
VZ_FIELD(PF_OutData, out_flags2, 400, 4);

VZ_SIZE(PF_ParamDef, 176, 8);
VZ_FIELD(PF_ParamDef, uu, 0, 4);
VZ_FIELD(PF_ParamDef, ui_flags, 4, 4);
VZ_FIELD(PF_ParamDef, ui_width, 8, 2);
VZ_FIELD(PF_ParamDef, ui_height, 10, 2);
VZ_FIELD(PF_ParamDef, param_type, 12, 4);
VZ_FIELD(PF_ParamDef, name, 16, 32);
VZ_FIELD(PF_ParamDef, flags, 48, 4);
VZ_FIELD(PF_ParamDef, unused, 52, 4);
VZ_FIELD(PF_ParamDef, u, 56, 120);

static_assert(sizeof(((PF_ParamDef*)nullptr)->uu) == 4, "PF_ParamDef.uu size");
static_assert(offsetof(PF_ParamDef, uu.id) - offsetof(PF_ParamDef, uu) == 0, "PF_ParamDef.uu.id offset");
static_assert(offsetof(PF_ParamDef, uu.change_flags) - offsetof(PF_ParamDef, uu) == 0, "PF_ParamDef.uu.change_flags offset");

VZ_SIZE(PF_ParamDefUnion, 120, 8);
VZ_FIELD(PF_ParamDefUnion, ld, 0, 120);
VZ_FIELD(PF_ParamDefUnion, sd, 0, 88);
VZ_FIELD(PF_ParamDefUnion, fd, 0, 92);
VZ_FIELD(PF_ParamDefUnion, ad, 0, 16);
VZ_FIELD(PF_ParamDefUnion, bd, 0, 16);
VZ_FIELD(PF_ParamDefUnion, cd, 0, 8);
VZ_FIELD(PF_ParamDefUnion, td, 0, 20);
VZ_FIELD(PF_ParamDefUnion, pd, 0, 16);
VZ_FIELD(PF_ParamDefUnion, fs_d, 0, 88);
VZ_FIELD(PF_ParamDefUnion, arb_d, 0, 32);
VZ_FIELD(PF_ParamDefUnion, path_d, 0, 12);
VZ_FIELD(PF_ParamDefUnion, button_d, 0, 16);
VZ_FIELD(PF_ParamDefUnion, point3d_d, 0, 64);

VZ_SIZE(PF_ParamUtilsSuite3, 72, 8);
VZ_FIELD(PF_ParamUtilsSuite3, PF_UpdateParamUI, 0, 8);
VZ_FIELD(PF_ParamUtilsSuite3, PF_GetCurrentState, 8, 8);
VZ_FIELD(PF_ParamUtilsSuite3, PF_AreStatesIdentical, 16, 8);
VZ_FIELD(PF_ParamUtilsSuite3, PF_IsIdenticalCheckout, 24, 8);
VZ_FIELD(PF_ParamUtilsSuite3, PF_FindKeyframeTime, 32, 8);
VZ_FIELD(PF_ParamUtilsSuite3, PF_GetKeyframeCount, 40, 8);
VZ_FIELD(PF_ParamUtilsSuite3, PF_CheckoutKeyframe, 48, 8);
VZ_FIELD(PF_ParamUtilsSuite3, PF_CheckinKeyframe, 56, 8);
VZ_FIELD(PF_ParamUtilsSuite3, PF_KeyIndexToTime, 64, 8);

VZ_SIZE(PF_PathDef, 12, 4);
VZ_FIELD(PF_PathDef, path_id, 0, 4);
VZ_FIELD(PF_PathDef, reserved0, 4, 4);
VZ_FIELD(PF_PathDef, dephault, 8, 4);

VZ_SIZE(PF_Pixel, 4, 1);
VZ_FIELD(PF_Pixel, alpha, 0, 1);
VZ_FIELD(PF_Pixel, red, 1, 1);
VZ_FIELD(PF_Pixel, green, 2, 1);
VZ_FIELD(PF_Pixel, blue, 3, 1);

VZ_SIZE(PF_Pixel16, 8, 2);
VZ_FIELD(PF_Pixel16, alpha, 0, 2);
VZ_FIELD(PF_Pixel16, red, 2, 2);
VZ_FIELD(PF_Pixel16, green, 4, 2);
VZ_FIELD(PF_Pixel16, blue, 6, 2);

VZ_SIZE(PF_PixelFloat, 16, 4);
VZ_FIELD(PF_PixelFloat, alpha, 0, 4);
VZ_FIELD(PF_PixelFloat, red, 4, 4);
VZ_FIELD(PF_PixelFloat, green, 8, 4);
VZ_FIELD(PF_PixelFloat, blue, 12, 4);

VZ_SIZE(PF_PixelFormatSuite2, 16, 8);
VZ_FIELD(PF_PixelFormatSuite2, PF_AddSupportedPixelFormat, 0, 8);
VZ_FIELD(PF_PixelFormatSuite2, PF_ClearSupportedPixelFormats, 8, 8);

VZ_SIZE(PF_Point, 8, 4);
VZ_FIELD(PF_Point, h, 0, 4);
VZ_FIELD(PF_Point, v, 4, 4);

VZ_SIZE(PF_Point3DDef, 64, 8);
VZ_FIELD(PF_Point3DDef, x_value, 0, 8);
VZ_FIELD(PF_Point3DDef, y_value, 8, 8);
VZ_FIELD(PF_Point3DDef, z_value, 16, 8);
VZ_FIELD(PF_Point3DDef, x_dephault, 24, 8);
VZ_FIELD(PF_Point3DDef, y_dephault, 32, 8);
VZ_FIELD(PF_Point3DDef, z_dephault, 40, 8);
VZ_FIELD(PF_Point3DDef, reserved, 48, 16);

VZ_SIZE(PF_PointDef, 20, 4);
VZ_FIELD(PF_PointDef, x_value, 0, 4);
VZ_FIELD(PF_PointDef, y_value, 4, 4);
VZ_FIELD(PF_PointDef, reserved, 8, 3);
VZ_FIELD(PF_PointDef, restrict_bounds, 11, 1);
VZ_FIELD(PF_PointDef, x_dephault, 12, 4);
VZ_FIELD(PF_PointDef, y_dephault, 16, 4);

VZ_SIZE(PF_PopupDef, 16, 8);
VZ_FIELD(PF_PopupDef, value, 0, 4);
VZ_FIELD(PF_PopupDef, num_choices, 4, 2);
VZ_FIELD(PF_PopupDef, dephault, 6, 2);
VZ_FIELD(PF_PopupDef, u, 8, 8);

static_assert(sizeof(((PF_PopupDef*)nullptr)->u) == 8, "PF_PopupDef.u size");
static_assert(offsetof(PF_PopupDef, u.namesptr) - offsetof(PF_PopupDef, u) == 0, "PF_PopupDef.u.namesptr offset");

VZ_SIZE(PF_PreRenderCallbacks, 16, 8);
VZ_FIELD(PF_PreRenderCallbacks, checkout_layer, 0, 8);
VZ_FIELD(PF_PreRenderCallbacks, GuidMixInPtr, 8, 8);

VZ_SIZE(PF_PreRenderExtra, 24, 8);
VZ_FIELD(PF_PreRenderExtra, input, 0, 8);
VZ_FIELD(PF_PreRenderExtra, output, 8, 8);
VZ_FIELD(PF_PreRenderExtra, cb, 16, 8);

VZ_SIZE(PF_PreRenderInput, 64, 8);
VZ_FIELD(PF_PreRenderInput, output_request, 0, 44);
VZ_FIELD(PF_PreRenderInput, bitdepth, 44, 2);
VZ_FIELD(PF_PreRenderInput, gpu_data, 48, 8);
VZ_FIELD(PF_PreRenderInput, what_gpu, 56, 4);
VZ_FIELD(PF_PreRenderInput, device_index, 60, 4);

VZ_SIZE(PF_PreRenderOutput, 56, 8);
VZ_FIELD(PF_PreRenderOutput, result_rect, 0, 16);
VZ_FIELD(PF_PreRenderOutput, max_result_rect, 16, 16);
VZ_FIELD(PF_PreRenderOutput, solid, 32, 1);
VZ_FIELD(PF_PreRenderOutput, reserved, 33, 1);
VZ_FIELD(PF_PreRenderOutput, flags, 34, 2);
VZ_FIELD(PF_PreRenderOutput, pre_render_data, 40, 8);
VZ_FIELD(PF_PreRenderOutput, delete_pre_render_data_func, 48, 8);

VZ_SIZE(PF_RationalScale, 8, 4);
VZ_FIELD(PF_RationalScale, num, 0, 4);
VZ_FIELD(PF_RationalScale, den, 4, 4);

VZ_SIZE(PF_RenderRequest, 44, 4);
VZ_FIELD(PF_RenderRequest, rect, 0, 16);
VZ_FIELD(PF_RenderRequest, field, 16, 4);
VZ_FIELD(PF_RenderRequest, channel_mask, 20, 4);
VZ_FIELD(PF_RenderRequest, preserve_rgb_of_zero_alpha, 24, 1);
VZ_FIELD(PF_RenderRequest, unused, 25, 3);
VZ_FIELD(PF_RenderRequest, reserved, 28, 16);

VZ_SIZE(PF_SliderDef, 88, 4);
VZ_FIELD(PF_SliderDef, value, 0, 4);
VZ_FIELD(PF_SliderDef, value_str, 4, 32);
VZ_FIELD(PF_SliderDef, value_desc, 36, 32);
VZ_FIELD(PF_SliderDef, valid_min, 68, 4);
VZ_FIELD(PF_SliderDef, valid_max, 72, 4);
VZ_FIELD(PF_SliderDef, slider_min, 76, 4);
VZ_FIELD(PF_SliderDef, slider_max, 80, 4);
VZ_FIELD(PF_SliderDef, dephault, 84, 4);

VZ_SIZE(PF_SmartRenderCallbacks, 24, 8);
VZ_FIELD(PF_SmartRenderCallbacks, checkout_layer_pixels, 0, 8);
VZ_FIELD(PF_SmartRenderCallbacks, checkin_layer_pixels, 8, 8);
VZ_FIELD(PF_SmartRenderCallbacks, checkout_output, 16, 8);

VZ_SIZE(PF_SmartRenderExtra, 16, 8);
VZ_FIELD(PF_SmartRenderExtra, input, 0, 8);
VZ_FIELD(PF_SmartRenderExtra, cb, 8, 8);

VZ_SIZE(PF_SmartRenderInput, 72, 8);
VZ_FIELD(PF_SmartRenderInput, output_request, 0, 44);
VZ_FIELD(PF_SmartRenderInput, bitdepth, 44, 2);
VZ_FIELD(PF_SmartRenderInput, pre_render_data, 48, 8);
VZ_FIELD(PF_SmartRenderInput, gpu_data, 56, 8);
VZ_FIELD(PF_SmartRenderInput, what_gpu, 64, 4);
VZ_FIELD(PF_SmartRenderInput, device_index, 68, 4);

VZ_SIZE(PF_SoundFormatInfo, 16, 8);
VZ_FIELD(PF_SoundFormatInfo, rateF, 0, 8);
VZ_FIELD(PF_SoundFormatInfo, num_channels, 8, 2);
VZ_FIELD(PF_SoundFormatInfo, format, 10, 2);
VZ_FIELD(PF_SoundFormatInfo, sample_size, 12, 2);

VZ_SIZE(PF_SoundWorld, 32, 8);
VZ_FIELD(PF_SoundWorld, fi, 0, 16);
VZ_FIELD(PF_SoundWorld, num_samples, 16, 4);
VZ_FIELD(PF_SoundWorld, dataP, 24, 8);

VZ_SIZE(PF_SpecVersion, 4, 2);
VZ_FIELD(PF_SpecVersion, major, 0, 2);
VZ_FIELD(PF_SpecVersion, minor, 2, 2);

VZ_SIZE(PF_WorldSuite2, 24, 8);
VZ_FIELD(PF_WorldSuite2, PF_NewWorld, 0, 8);
VZ_FIELD(PF_WorldSuite2, PF_DisposeWorld, 8, 8);
VZ_FIELD(PF_WorldSuite2, PF_GetPixelFormat, 16, 8);

VZ_SIZE(PF_iterate16Suite1, 24, 8);
VZ_FIELD(PF_iterate16Suite1, iterate, 0, 8);
VZ_FIELD(PF_iterate16Suite1, iterate_origin, 8, 8);
VZ_FIELD(PF_iterate16Suite1, iterate_origin_non_clip_src, 16, 8);

VZ_SIZE(PF_iterate16Suite2, 24, 8);
VZ_FIELD(PF_iterate16Suite2, iterate, 0, 8);
VZ_FIELD(PF_iterate16Suite2, iterate_origin, 8, 8);
VZ_FIELD(PF_iterate16Suite2, iterate_origin_non_clip_src, 16, 8);

VZ_SIZE(PF_iterateFloatSuite1, 24, 8);
VZ_FIELD(PF_iterateFloatSuite1, iterate, 0, 8);
VZ_FIELD(PF_iterateFloatSuite1, iterate_origin, 8, 8);
VZ_FIELD(PF_iterateFloatSuite1, iterate_origin_non_clip_src, 16, 8);

VZ_SIZE(PF_iterateFloatSuite2, 24, 8);
VZ_FIELD(PF_iterateFloatSuite2, iterate, 0, 8);
VZ_FIELD(PF_iterateFloatSuite2, iterate_origin, 8, 8);
VZ_FIELD(PF_iterateFloatSuite2, iterate_origin_non_clip_src, 16, 8);

VZ_SIZE(SPBasicSuite, 56, 8);
VZ_FIELD(SPBasicSuite, AcquireSuite, 0, 8);
VZ_FIELD(SPBasicSuite, ReleaseSuite, 8, 8);
VZ_FIELD(SPBasicSuite, IsEqual, 16, 8);
VZ_FIELD(SPBasicSuite, AllocateBlock, 24, 8);
VZ_FIELD(SPBasicSuite, FreeBlock, 32, 8);
VZ_FIELD(SPBasicSuite, ReallocateBlock, 40, 8);
VZ_FIELD(SPBasicSuite, Undefined, 48, 8);

VZ_SIZE(_PF_UtilCallbacks, 552, 8);
VZ_FIELD(_PF_UtilCallbacks, begin_sampling, 0, 8);
VZ_FIELD(_PF_UtilCallbacks, subpixel_sample, 8, 8);
VZ_FIELD(_PF_UtilCallbacks, area_sample, 16, 8);
VZ_FIELD(_PF_UtilCallbacks, get_batch_func_is_deprecated, 24, 8);
VZ_FIELD(_PF_UtilCallbacks, end_sampling, 32, 8);
VZ_FIELD(_PF_UtilCallbacks, composite_rect, 40, 8);
VZ_FIELD(_PF_UtilCallbacks, blend, 48, 8);
VZ_FIELD(_PF_UtilCallbacks, convolve, 56, 8);
VZ_FIELD(_PF_UtilCallbacks, copy, 64, 8);
VZ_FIELD(_PF_UtilCallbacks, fill, 72, 8);
VZ_FIELD(_PF_UtilCallbacks, gaussian_kernel, 80, 8);
VZ_FIELD(_PF_UtilCallbacks, iterate, 88, 8);
VZ_FIELD(_PF_UtilCallbacks, premultiply, 96, 8);
VZ_FIELD(_PF_UtilCallbacks, premultiply_color, 104, 8);
VZ_FIELD(_PF_UtilCallbacks, new_world, 112, 8);
VZ_FIELD(_PF_UtilCallbacks, dispose_world, 120, 8);
VZ_FIELD(_PF_UtilCallbacks, iterate_origin, 128, 8);
VZ_FIELD(_PF_UtilCallbacks, iterate_lut, 136, 8);
VZ_FIELD(_PF_UtilCallbacks, transfer_rect, 144, 8);
VZ_FIELD(_PF_UtilCallbacks, transform_world, 152, 8);
VZ_FIELD(_PF_UtilCallbacks, host_new_handle, 160, 8);
VZ_FIELD(_PF_UtilCallbacks, host_lock_handle, 168, 8);
VZ_FIELD(_PF_UtilCallbacks, host_unlock_handle, 176, 8);
VZ_FIELD(_PF_UtilCallbacks, host_dispose_handle, 184, 8);
VZ_FIELD(_PF_UtilCallbacks, get_callback_addr, 192, 8);
VZ_FIELD(_PF_UtilCallbacks, app, 200, 8);
VZ_FIELD(_PF_UtilCallbacks, ansi, 208, 160);
VZ_FIELD(_PF_UtilCallbacks, colorCB, 368, 64);
VZ_FIELD(_PF_UtilCallbacks, get_platform_data, 432, 8);
VZ_FIELD(_PF_UtilCallbacks, host_get_handle_size, 440, 8);
VZ_FIELD(_PF_UtilCallbacks, iterate_origin_non_clip_src, 448, 8);
VZ_FIELD(_PF_UtilCallbacks, iterate_generic, 456, 8);
VZ_FIELD(_PF_UtilCallbacks, host_resize_handle, 464, 8);
VZ_FIELD(_PF_UtilCallbacks, subpixel_sample16, 472, 8);
VZ_FIELD(_PF_UtilCallbacks, area_sample16, 480, 8);
VZ_FIELD(_PF_UtilCallbacks, fill16, 488, 8);
VZ_FIELD(_PF_UtilCallbacks, premultiply_color16, 496, 8);
VZ_FIELD(_PF_UtilCallbacks, iterate16, 504, 8);
VZ_FIELD(_PF_UtilCallbacks, iterate_origin16, 512, 8);
VZ_FIELD(_PF_UtilCallbacks, iterate_origin_non_clip_src16, 520, 8);
VZ_FIELD(_PF_UtilCallbacks, get_pixel_data8, 528, 8);
VZ_FIELD(_PF_UtilCallbacks, get_pixel_data16, 536, 8);
VZ_FIELD(_PF_UtilCallbacks, reserved, 544, 4);

