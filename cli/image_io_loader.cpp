// ReadImage and WriteImage for the command: through the image module, opened on first use.
#include <dlfcn.h>

#include <cstring>
#include <filesystem>
#include <mutex>

#include "image_io.h"
#include "image_io_module.h"

namespace vzcli {
namespace {

using minihost::HostError;

// The module lies beside the file this code was linked into: the command, or the Python
// module.
const ImageIOTable& Table() {
  static const ImageIOTable* table = nullptr;
  static std::string failure;
  static std::once_flag once;
  std::call_once(once, [] {
    // The shared object holding this code names its file; for a program the kernel does
    // (the name a program is given may be a bare word found on the PATH).
    std::error_code ec;
    std::filesystem::path here = std::filesystem::read_symlink("/proc/self/exe", ec);
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&Table), &self) && self.dli_fname &&
        std::strchr(self.dli_fname, '/') && std::filesystem::path(self.dli_fname).extension() == ".so")
      here = self.dli_fname;
    const std::string path = (here.has_parent_path() ? here.parent_path() / kImageIOModule
                                                     : std::filesystem::path(kImageIOModule)).string();
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
      failure = std::string("cannot load the image module: ") + dlerror();
      return;
    }
    auto entry = reinterpret_cast<const ImageIOTable* (*)()>(dlsym(module, kImageIOEntry));
    table = entry ? entry() : nullptr;
    if (!table || table->version != kImageIOVersion) {
      failure = "cannot load the image module: " + path + " is not the one built with this command";
      table = nullptr;
    }
  });
  if (!table) throw HostError(failure);
  return *table;
}

}  // namespace

minihost::World ReadImage(const std::string& path, ReadAs as, int* file_depth) {
  minihost::World world(1, 1, false);
  std::string error;
  int depth = 0;
  if (!Table().read(path.c_str(), int(as), &world, &depth, &error)) throw HostError(error);
  if (file_depth) *file_depth = depth;
  return world;
}

void WriteImage(const minihost::World& world, const std::string& path, int depth, bool quick,
                bool replace) {
  std::string error;
  switch (Table().write(world, path.c_str(), depth, quick, replace, &error)) {
    case WriteOutcome::kWritten: return;
    case WriteOutcome::kExists: throw FileExists(error);
    case WriteOutcome::kFailed: throw HostError(error);
  }
}

bool CanWrite(const std::string& path) { return Table().can_write(path.c_str()); }

std::string EncodeImage(const minihost::World& world, const std::string& format, int depth,
                        bool quick) {
  std::string bytes, error;
  if (!Table().encode(world, format.c_str(), depth, quick, &bytes, &error)) throw HostError(error);
  return bytes;
}

}  // namespace vzcli
