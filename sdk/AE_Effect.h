// Stand-in for the host's effect plug-in interface: the records, selectors, codes and
// callbacks this effect and our own host use, with the host's names and numbers.
#pragma once

#include <cstdint>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t A_long;
typedef uint32_t A_u_long;
typedef int16_t A_short;
typedef uint16_t A_u_short;
typedef char A_char;
typedef unsigned char A_u_char;
typedef unsigned char PF_Boolean;
typedef int32_t PF_Fixed;  // 16.16 fixed point
typedef double PF_FpLong;
typedef float PF_FpShort;
typedef A_long PF_Err;
typedef A_long PF_Cmd;
typedef A_long PF_ParamIndex;
typedef A_long PF_ParamType;
typedef A_long PF_ParamFlags;
typedef A_long PF_ParamUIFlags;
typedef A_long PF_NewWorldFlags;
typedef A_long PF_WorldFlags;
typedef A_long PF_OutFlags;
typedef A_long PF_OutFlags2;
typedef struct _PF_ProgressInfo* PF_ProgPtr;  // opaque to the effect

#define PF_MAX_EFFECT_MSG_LEN 255
#define PF_MAX_EFFECT_NAME_LEN 31
#define PF_MAX_EFFECT_PARAMS 128

enum {
  PF_Cmd_ABOUT = 0,
  PF_Cmd_GLOBAL_SETUP = 1,
  PF_Cmd_UNUSED_0 = 2,
  PF_Cmd_GLOBAL_SETDOWN = 3,
  PF_Cmd_PARAMS_SETUP = 4,
  PF_Cmd_SEQUENCE_SETUP = 5,
  PF_Cmd_SEQUENCE_RESETUP = 6,
  PF_Cmd_SEQUENCE_FLATTEN = 7,
  PF_Cmd_SEQUENCE_SETDOWN = 8,
  PF_Cmd_DO_DIALOG = 9,
  PF_Cmd_FRAME_SETUP = 10,
  PF_Cmd_RENDER = 11,
  PF_Cmd_FRAME_SETDOWN = 12,
  PF_Cmd_USER_CHANGED_PARAM = 13,
  PF_Cmd_UPDATE_PARAMS_UI = 14,
  PF_Cmd_EVENT = 15,
  PF_Cmd_SMART_PRE_RENDER = 23,
  PF_Cmd_SMART_RENDER = 24
};

enum {
  PF_Err_NONE = 0,
  PF_Err_OUT_OF_MEMORY = 4,
  PF_Err_INTERNAL_STRUCT_DAMAGED = 512,
  PF_Err_INVALID_INDEX = 513,
  PF_Err_UNRECOGNIZED_PARAM_TYPE = 514,
  PF_Err_INVALID_CALLBACK = 515,
  PF_Err_BAD_CALLBACK_PARAM = 516,
  PF_Interrupt_CANCEL = 517
};

enum {
  PF_OutFlag_PIX_INDEPENDENT = 1L << 10,
  PF_OutFlag_DEEP_COLOR_AWARE = 1L << 25
};
enum {
  PF_OutFlag2_PARAM_GROUP_START_COLLAPSED_FLAG = 1L << 3,
  PF_OutFlag2_SUPPORTS_THREADED_RENDERING = 1L << 27
};

enum { PF_WorldFlag_DEEP = 1L << 0, PF_WorldFlag_WRITEABLE = 1L << 1 };
enum {
  PF_NewWorldFlag_NONE = 0,
  PF_NewWorldFlag_CLEAR_PIXELS = 1L << 0,
  PF_NewWorldFlag_DEEP_PIXELS = 1L << 1
};

enum {
  PF_Param_LAYER = 0,
  PF_Param_SLIDER = 1,
  PF_Param_FIX_SLIDER = 2,
  PF_Param_ANGLE = 3,
  PF_Param_CHECKBOX = 4,
  PF_Param_COLOR = 5,
  PF_Param_POINT = 6,
  PF_Param_POPUP = 7,
  PF_Param_FLOAT_SLIDER = 10,
  PF_Param_GROUP_START = 13,
  PF_Param_GROUP_END = 14
};

enum { PF_ParamFlag_COLLAPSE_TWIRLY = 1L << 5, PF_ParamFlag_SUPERVISE = 1L << 6 };
enum { PF_PUI_DISABLED = 1L << 5 };
enum { PF_ValueDisplayFlag_NONE = 0, PF_ValueDisplayFlag_PERCENT = 1 };
enum { PF_FSliderFlag_NONE = 0, PF_FSliderFlag_WANT_PHASE = 1L << 0 };

typedef struct { A_long left, top, right, bottom; } PF_Rect, PF_LRect;
typedef struct { A_long x, y; } PF_Point;
typedef struct { PF_Fixed x, y; } PF_FixedPoint;

typedef struct { A_u_char alpha, red, green, blue; } PF_Pixel, PF_Pixel8;
typedef struct { A_u_short alpha, red, green, blue; } PF_Pixel16;

typedef struct PF_LayerDef {
  void* reserved0;
  void* reserved1;
  PF_WorldFlags world_flags;
  PF_Pixel* data;
  A_long rowbytes;  // signed byte distance between rows
  A_long width;
  A_long height;
  PF_Rect extent_hint;
  void* platform_ref;
  A_long reserved_long1;
  void* reserved_long4;
  struct { A_long num, den; } pix_aspect_ratio;
  void* reserved_long2;
  A_long origin_x;
  A_long origin_y;
  A_long reserved_long3;
  A_long dephault;  // layer parameter default: 0 = none
} PF_LayerDef, PF_EffectWorld;

typedef struct {
  PF_FpLong value;
  PF_FpLong phase;
  PF_FpShort valid_min, valid_max;
  PF_FpShort slider_min, slider_max;
  PF_FpShort dephault;
  A_short precision;
  A_short display_flags;
  A_long fs_flags;
  PF_FpShort curve_tolerance;
} PF_FloatSliderDef;

typedef struct {
  A_long value;
  A_short num_choices;
  A_short dephault;
  union { const A_char* namesptr; } u;
} PF_PopupDef;

typedef struct {
  A_long value;
  PF_Boolean dephault;
  A_char reserved;
  A_short reserved1;
  union { const A_char* nameptr; } u;
} PF_CheckBoxDef;

typedef struct {
  PF_Fixed x_value, y_value;
  A_char reserved[3];
  PF_Boolean restrict_bounds;
  PF_Fixed x_dephault, y_dephault;  // percent of the layer, 16.16
} PF_PointDef;

typedef struct { PF_Fixed value, dephault, valid_min, valid_max; } PF_AngleDef;
typedef struct { PF_Pixel value, dephault; } PF_ColorDef;

typedef union {
  PF_LayerDef ld;
  PF_AngleDef ad;
  PF_CheckBoxDef bd;
  PF_ColorDef cd;
  PF_PointDef td;
  PF_PopupDef pd;
  PF_FloatSliderDef fs_d;
} PF_ParamDefUnion;

typedef struct PF_ParamDef {
  union { A_long id; A_long change_flags; } uu;
  PF_ParamUIFlags ui_flags;
  A_short ui_width;
  A_short ui_height;
  PF_ParamType param_type;
  A_char name[PF_MAX_EFFECT_NAME_LEN + 1];
  PF_ParamFlags flags;
  A_long unused;
  PF_ParamDefUnion u;
} PF_ParamDef, *PF_ParamDefPtr, **PF_ParamDefH;

typedef PF_ParamDef** PF_ParamList;

typedef struct {
  PF_FpLong (*atan)(PF_FpLong);
  PF_FpLong (*atan2)(PF_FpLong, PF_FpLong);
  PF_FpLong (*ceil)(PF_FpLong);
  PF_FpLong (*cos)(PF_FpLong);
  PF_FpLong (*exp)(PF_FpLong);
  PF_FpLong (*fabs)(PF_FpLong);
  PF_FpLong (*floor)(PF_FpLong);
  PF_FpLong (*fmod)(PF_FpLong, PF_FpLong);
  PF_FpLong (*hypot)(PF_FpLong, PF_FpLong);
  PF_FpLong (*log)(PF_FpLong);
  PF_FpLong (*log10)(PF_FpLong);
  PF_FpLong (*pow)(PF_FpLong, PF_FpLong);
  PF_FpLong (*sin)(PF_FpLong);
  PF_FpLong (*sinh)(PF_FpLong);
  PF_FpLong (*sqrt)(PF_FpLong);
  PF_FpLong (*tan)(PF_FpLong);
  A_long (*sprintf)(A_char*, const A_char*, ...);
  A_char* (*strcpy)(A_char*, const A_char*);
  PF_FpLong (*asin)(PF_FpLong);
  PF_FpLong (*acos)(PF_FpLong);
} PF_ANSICallbacks;

typedef struct _PF_UtilCallbacks {
  PF_Err (*copy)(PF_ProgPtr effect_ref, PF_EffectWorld* src, PF_EffectWorld* dst,
                 PF_Rect* src_r, PF_Rect* dst_r);
  PF_Err (*fill)(PF_ProgPtr effect_ref, const PF_Pixel* color, const PF_Rect* dst_rect,
                 PF_EffectWorld* world);
  PF_Err (*new_world)(PF_ProgPtr effect_ref, A_long width, A_long height,
                      PF_NewWorldFlags flags, PF_EffectWorld* world);
  PF_Err (*dispose_world)(PF_ProgPtr effect_ref, PF_EffectWorld* world);
  PF_ANSICallbacks ansi;
  PF_Err (*fill16)(PF_ProgPtr effect_ref, const PF_Pixel16* color, const PF_Rect* dst_rect,
                   PF_EffectWorld* world);
} PF_UtilCallbacks;

typedef struct {
  PF_Err (*checkout_param)(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long what_time,
                           A_long time_step, A_u_long time_scale, PF_ParamDef* param);
  PF_Err (*checkin_param)(PF_ProgPtr effect_ref, PF_ParamDef* param);
  PF_Err (*add_param)(PF_ProgPtr effect_ref, PF_ParamIndex index, PF_ParamDefPtr def);
  PF_Err (*abort)(PF_ProgPtr effect_ref);
  PF_Err (*progress)(PF_ProgPtr effect_ref, A_long current, A_long total);
} PF_InteractCallbacks;

struct SPBasicSuite;

typedef struct PF_InData {
  PF_InteractCallbacks inter;
  struct _PF_UtilCallbacks* utils;
  PF_ProgPtr effect_ref;
  A_long version_major, version_minor;  // interface version the host speaks
  A_long num_params;
  A_long current_time;
  A_long time_step;
  A_long total_time;
  A_u_long time_scale;
  A_long width, height;
  PF_Rect extent_hint;
  struct { A_long num, den; } downsample_x, downsample_y;
  const struct SPBasicSuite* pica_basicP;
} PF_InData;

typedef struct PF_OutData {
  A_u_long my_version;
  A_char name[PF_MAX_EFFECT_NAME_LEN + 1];
  A_long num_params;
  A_long width, height;
  PF_OutFlags out_flags;
  A_char return_msg[PF_MAX_EFFECT_MSG_LEN + 1];
  PF_OutFlags2 out_flags2;
} PF_OutData;

typedef PF_Err (*PF_IteratePixel8Func)(void* refcon, A_long x, A_long y, PF_Pixel* in,
                                       PF_Pixel* out);
typedef PF_Err (*PF_IteratePixel16Func)(void* refcon, A_long x, A_long y, PF_Pixel16* in,
                                        PF_Pixel16* out);

// The module's one export.
typedef PF_Err (*PF_EntryPointFunc)(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data,
                                    PF_ParamDef* params[], PF_LayerDef* output, void* extra);

#ifdef __cplusplus
}
#endif
