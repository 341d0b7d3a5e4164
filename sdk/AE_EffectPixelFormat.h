// The host's pixel-format codes: four characters with the first in the lowest byte (not
// what a multi-character literal gives).
#pragma once

#include "A.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef A_long PF_PixelFormat;

#define PF_PIXEL_FORMAT_CODE(c0, c1, c2, c3)                                        \
  ((A_long)((A_u_long)(A_u_char)(c0) | (A_u_long)(A_u_char)(c1) << 8 |              \
            (A_u_long)(A_u_char)(c2) << 16 | (A_u_long)(A_u_char)(c3) << 24))

enum {
  PF_PixelFormat_ARGB32 = PF_PIXEL_FORMAT_CODE('a', 'r', 'g', 'b'),
  PF_PixelFormat_ARGB64 = PF_PIXEL_FORMAT_CODE('a', 'e', '1', '6'),
  PF_PixelFormat_ARGB128 = PF_PIXEL_FORMAT_CODE('a', 'e', '3', '2'),
  PF_PixelFormat_GPU_BGRA128 = PF_PIXEL_FORMAT_CODE('@', 'C', 'D', 'A'),
  PF_PixelFormat_RESERVED = PF_PIXEL_FORMAT_CODE('@', 'C', 'D', 'a'),
  PF_PixelFormat_BGRA32 = PF_PIXEL_FORMAT_CODE('b', 'g', 'r', 'a'),
  PF_PixelFormat_VUYA32 = PF_PIXEL_FORMAT_CODE('v', 'u', 'y', 'a'),
  PF_PixelFormat_NTSCDV25 = PF_PIXEL_FORMAT_CODE('d', 'v', 'n', '2'),
  PF_PixelFormat_PALDV25 = PF_PIXEL_FORMAT_CODE('d', 'v', 'p', '2'),
  PF_PixelFormat_INVALID = PF_PIXEL_FORMAT_CODE('b', 'a', 'd', 'f'),
  PF_PixelFormat_FORCE_LONG_INT = -1
};

#ifdef __cplusplus
}
#endif
