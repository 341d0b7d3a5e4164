// Reading and writing pictures as host layers, with OpenImageIO.
#pragma once

#include <string>

#include "minihost/host.h"

namespace vzcli {

// What a file becomes. kInteger: 8-bit files an 8-bit layer; 16-bit files a 16-bit layer
// with host = (v·32768 + 32767) / 65535; half and float files a 16-bit layer of
// round(clamp(v, 0, 1)·32768). kFloat: a float layer of v ÷ 255, host ÷ 32768 (the 16-bit
// layer's values), or half and float values as stored, light beyond white kept. kStored:
// 8- and 16-bit files as kInteger, half and float files as kFloat. Not a number reads as
// 0. RGB gets full alpha, grey gets R = G = B.
enum class ReadAs { kStored, kInteger, kFloat };

// The file's picture as a layer; its own depth in *file_depth where asked (8, 16, 16 for
// half, 32 for float). Throws minihost::HostError with the reason.
minihost::World ReadImage(const std::string& path, ReadAs as = ReadAs::kInteger,
                          int* file_depth = nullptr);

// Writes at `depth` bits (8, 16 or 32 for float), whole or not at all: a temporary file is
// renamed into place. 16-bit host values are written as min(65535, (v·65535 + 16384) /
// 32768). A float layer is written as it is at 32 bits (float where the format holds
// float, else 16 bits), as half at 16 bits in EXR files, and elsewhere clamped to 0–1
// and rounded: round(v·65535) or round(v·255). `quick`
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
