// Stand-in for the host's basic suite: named, versioned function tables.
#pragma once

#include <cstdint>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t SPErr;
enum { kSPNoError = 0, kSPSuiteNotFoundError = 0x53214e46 /* 'S!NF' */ };

typedef struct SPBasicSuite {
  SPErr (*AcquireSuite)(const char* name, int32_t version, const void** suite);
  SPErr (*ReleaseSuite)(const char* name, int32_t version);
} SPBasicSuite;

#ifdef __cplusplus
}
#endif
