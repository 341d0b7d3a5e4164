// Writes the effect's property list for one target from the property table in host/.
//   vizmira_pipl_gen linux OUT.pipl   raw list, little-endian, x86-64 entry key
//   vizmira_pipl_gen rc OUT.rc        Windows resource script: type PiPL, id 16000
//   vizmira_pipl_gen mac OUT.rsrc     macOS resource file, big-endian, both Mac entry keys
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "host/pipl_format.h"

namespace {

bool Write(const char* path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return out.good();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vz::pipl;
  const std::string kind = argc == 3 ? argv[1] : "";
  if (kind == "linux") return Write(argv[2], Encode({kKeyWindowsX64}, Endian::Little)) ? 0 : 1;
  if (kind == "rc") {
    const std::string rc = ResourceScript(Encode({kKeyWindowsX64}, Endian::Little));
    return Write(argv[2], std::vector<uint8_t>(rc.begin(), rc.end())) ? 0 : 1;
  }
  if (kind == "mac")
    return Write(argv[2], ResourceFile(Encode({kKeyMacIntel64, kKeyMacArm64}, Endian::Big))) ? 0 : 1;
  std::fprintf(stderr, "usage: vizmira_pipl_gen linux|rc|mac OUT\n");
  return 2;
}
