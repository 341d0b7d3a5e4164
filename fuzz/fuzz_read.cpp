// Arbitrary bytes as a PNG, TIFF or EXR file through the command's picture reader (the
// reader of the input and of the custom layer): a picture or a clean error, never a crash.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "cli/image_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const char* kExtensions[] = {".png", ".tif", ".exr"};
  static const std::string dir = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "vizmira-fuzz-read-XXXXXX").string();
    const char* made = mkdtemp(pattern.data());
    return made ? std::string(made) : std::filesystem::temp_directory_path().string();
  }();
  const std::string path = dir + "/input" + kExtensions[data[0] % 3];
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data + 1, 1, size - 1, f);
  std::fclose(f);
  try {
    const minihost::World w = vzcli::ReadImage(path, vzcli::ReadAs((data[0] / 3) % 3));
    if (w.width() <= 0 || w.height() <= 0) std::abort();
  } catch (const minihost::HostError&) {
    // refused cleanly
  }
  std::remove(path.c_str());
  return 0;
}
