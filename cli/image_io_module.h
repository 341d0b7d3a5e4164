// The boundary between the command and its image input/output module: the module, built
// with the image library, is opened only when a picture is read or written, so that the
// commands that read none start without loading the library and everything below it.
#pragma once

#include <string>

#include "minihost/host.h"

namespace vzcli {

enum class WriteOutcome { kWritten, kFailed, kExists };

struct ImageIOTable {
  int version;  // kImageIOVersion
  // False or kFailed with the reason; nothing thrown across the boundary.
  bool (*read)(const char* path, int as, minihost::World* out, int* file_depth, std::string* error);
  WriteOutcome (*write)(const minihost::World& world, const char* path, int depth, bool quick,
                        bool replace, std::string* error);
  bool (*can_write)(const char* path);
  bool (*encode)(const minihost::World& world, const char* format, int depth, bool quick,
                 std::string* bytes, std::string* error);
};
inline constexpr int kImageIOVersion = 5;
inline constexpr const char* kImageIOModule = "vizmira_io.so";
inline constexpr const char* kImageIOEntry = "VizmiraImageIO";

}  // namespace vzcli

extern "C" const vzcli::ImageIOTable* VizmiraImageIO();
