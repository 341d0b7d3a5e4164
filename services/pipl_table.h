// The effect's property list: the one table that the build turns into the host's binary
// property list for each platform, and whose numbers global set-up reports.
#pragma once

#include <cstdint>

#include "AE_Effect.h"

namespace vz {

inline constexpr const char* kEffectName = "Vizmira";
inline constexpr const char* kEntryPointName = "EntryPointFunc";

// The host's packed plug-in version; major versions from 8 on spill into the high bits.
inline constexpr uint32_t PackVersion(uint32_t vers, uint32_t subvers, uint32_t bugfix,
                                      uint32_t stage, uint32_t build) {
  return ((vers >> PF_Vers_VERS_LOW_SHIFT) & PF_Vers_VERS_HIGH_BITS) << PF_Vers_VERS_HIGH_SHIFT |
         (vers & PF_Vers_VERS_BITS) << PF_Vers_VERS_SHIFT |
         (subvers & PF_Vers_SUBVERS_BITS) << PF_Vers_SUBVERS_SHIFT |
         (bugfix & PF_Vers_BUGFIX_BITS) << PF_Vers_BUGFIX_SHIFT |
         (stage & PF_Vers_STAGE_BITS) << PF_Vers_STAGE_SHIFT | (build & PF_Vers_BUILD_BITS);
}
// 1.0.5, development stage, build 1.
inline constexpr uint32_t kVersion = PackVersion(1, 0, 5, PF_Stage_DEVELOP, 1);
static_assert(kVersion == 0x00082801, "packed version");

// Not PF_OutFlag_PIX_INDEPENDENT: every blur reads the pixels around the one it writes, and
// a host told otherwise may fill the pixels it does not need with anything.
inline constexpr uint32_t kOutFlags = PF_OutFlag_DEEP_COLOR_AWARE;
inline constexpr uint32_t kOutFlags2 = PF_OutFlag2_SUPPORTS_THREADED_RENDERING |
                                       PF_OutFlag2_PARAM_GROUP_START_COLLAPSED_FLAG |
                                       PF_OutFlag2_SUPPORTS_SMART_RENDER |
                                       PF_OutFlag2_FLOAT_COLOR_AWARE;
static_assert(kOutFlags2 == 0x08001408, "threaded, collapsed groups, smart render, float");

inline constexpr uint32_t FourCC(const char (&s)[5]) {
  return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) |
         (uint32_t(uint8_t(s[2])) << 8) | uint32_t(uint8_t(s[3]));
}

namespace pipl {

// How a property's value is laid out in the binary list.
enum class Kind : uint8_t {
  FourCC,      // 4 bytes, a four-character code
  Long,        // 4 bytes
  Short,       // 2 bytes
  Version,     // two 2-byte halves, major then minor (number holds major << 16 | minor)
  PString,     // length byte, then the characters
  EntryPoint,  // the entry point's name: a C string on Windows, a Pascal string on macOS
};

struct Property {
  uint32_t key;
  Kind kind;
  uint32_t number;   // FourCC, Long, Short, Version
  const char* text;  // PString, EntryPoint
};

inline constexpr Property kProperties[] = {
    {FourCC("kind"), Kind::FourCC, FourCC("eFKT"), nullptr},
    {FourCC("name"), Kind::PString, 0, kEffectName},
    {FourCC("catg"), Kind::PString, 0, "KT"},
    {0, Kind::EntryPoint, 0, kEntryPointName},  // once per entry key of the platform
    {FourCC("ePVR"), Kind::Version, (2u << 16) | 0u, nullptr},  // property-list version 2.0
    {FourCC("eSVR"), Kind::Version,                             // effect API 13.27
     uint32_t(PF_AE220_PLUG_IN_VERSION) << 16 | PF_AE220_PLUG_IN_SUBVERS, nullptr},
    {FourCC("eVER"), Kind::Long, kVersion, nullptr},
    {FourCC("eINF"), Kind::Short, 0, nullptr},
    {FourCC("eGLO"), Kind::Long, kOutFlags, nullptr},
    {FourCC("eGL2"), Kind::Long, kOutFlags2, nullptr},
    {FourCC("eMNA"), Kind::PString, 0, "ADBE KT Plug-in"},
    {FourCC("aeFL"), Kind::Long, 0, nullptr},
};

// Entry-point keys of the platforms we build for.
inline constexpr uint32_t kKeyWindowsX64 = FourCC("8664");
inline constexpr uint32_t kKeyMacIntel64 = FourCC("mi64");
inline constexpr uint32_t kKeyMacArm64 = FourCC("ma64");

}  // namespace pipl
}  // namespace vz
