// The host's scalar types. Every size here is the same on Windows x64 and macOS 64-bit
// (A_long is 32 bits under both LLP64 and LP64). Only C headers are included, so these
// declarations also compile freestanding, for a target without its system headers.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t A_long;
typedef uint32_t A_u_long;
typedef int16_t A_short;
typedef uint16_t A_u_short;
typedef char A_char;
typedef unsigned char A_u_char;
typedef unsigned char A_Boolean;
typedef double A_FpLong;
typedef float A_FpShort;
typedef int64_t A_intptr_t;
typedef uint64_t A_u_longlong;
typedef A_long A_Err;
typedef void* A_Handle;
typedef A_long A_Fixed;
typedef A_u_long A_UFixed;

typedef struct {
  A_long value;
  A_u_long scale;
} A_Time;

#ifdef __cplusplus
}
#endif
