// The host's basic suite: named, versioned function tables acquired and released by name.
#pragma once

#include "A.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t SPErr;
// The one scalar whose size differs between the platforms.
#if defined(_WIN32) || defined(_WINDOWS)
typedef int SPBoolean;
#else
typedef unsigned char SPBoolean;
#endif

// Multi-character codes with the first character in the high byte.
enum {
  kSPNoError = 0,
  kSPSuiteNotFoundError = 0x53214664,  // 'S!Fd'
  kSPUnimplementedError = 0x21494D50,  // '!IMP'
  kSPBadParameterError = 0x5061726D    // 'Parm'
};

#define kSPBasicSuite "SP Basic Suite"
#define kSPBasicSuiteVersion 4

typedef struct SPBasicSuite {
  SPErr (*AcquireSuite)(const char* name, int32_t version, const void** suite);
  SPErr (*ReleaseSuite)(const char* name, int32_t version);
  SPBoolean (*IsEqual)(const char* token1, const char* token2);
  SPErr (*AllocateBlock)(size_t size, void** block);
  SPErr (*FreeBlock)(void* block);
  SPErr (*ReallocateBlock)(void* block, size_t new_size, void** new_block);
  SPErr (*Undefined)(void);
} SPBasicSuite;

#ifdef __cplusplus
}
#endif
