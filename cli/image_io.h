// Reading and writing pictures as host layers, with OpenImageIO.
#pragma once

#include <string>

#include "minihost/host.h"

namespace vzcli {

// 8-bit files give an 8-bit layer; 16-bit files a 16-bit layer with
// host = (v·32768 + 32767) / 65535; float files round(clamp(v, 0, 1)·32768). RGB gets full
// alpha, grey gets R = G = B. Throws minihost::HostError with the reason.
minihost::World ReadImage(const std::string& path);

// Writes at `depth` bits (8 or 16), whole or not at all: a temporary file is renamed into
// place. 16-bit host values are written as min(65535, (v·65535 + 16384) / 32768). `quick`
// compresses as fast as the format allows: the same pixels in a larger file, for previews.
// Without `replace` an existing file is kept and FileExists thrown.
void WriteImage(const minihost::World& world, const std::string& path, int depth,
                bool quick = false, bool replace = true);

struct FileExists : minihost::HostError {
  using HostError::HostError;
};

// The file WriteImage would write for `format` ("png"), as bytes in memory.
std::string EncodeImage(const minihost::World& world, const std::string& format, int depth,
                        bool quick = false);

// Whether the writer knows the format that the name's extension asks for.
bool CanWrite(const std::string& path);

}  // namespace vzcli
