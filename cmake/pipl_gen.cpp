// Writes the effect's property list for one target from the property table in host/.
//   vizmira_pipl_gen linux OUT.pipl   the Windows list as a raw file, for our own host
//   vizmira_pipl_gen rc OUT.rc        Windows resource script: type PiPL, id 16000
//   vizmira_pipl_gen mac OUT.rsrc     macOS resource file, both Mac entry keys
//   vizmira_pipl_gen verify-mac FILE  exit 0 when FILE holds exactly that resource
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "services/pipl_format.h"

namespace {

std::vector<uint8_t> Read(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool Write(const char* path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return out.good();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vz::pipl;
  const std::string kind = argc == 3 ? argv[1] : "";
  if (kind == "linux") return Write(argv[2], Encode(Platform::Windows)) ? 0 : 1;
  if (kind == "rc") {
    const std::string rc = ResourceScript(Encode(Platform::Windows));
    return Write(argv[2], std::vector<uint8_t>(rc.begin(), rc.end())) ? 0 : 1;
  }
  if (kind == "mac") return Write(argv[2], ResourceFile(Encode(Platform::Mac))) ? 0 : 1;
  if (kind == "verify-mac") {
    const auto list = ParseResourceFile(Read(argv[2]));
    const bool ok = list && *list == Encode(Platform::Mac) && Decode(*list, Platform::Mac);
    std::printf("%s: %s\n", argv[2], ok ? "property list ok" : "not the property table's list");
    return ok ? 0 : 1;
  }
  std::fprintf(stderr, "usage: vizmira_pipl_gen linux|rc|mac|verify-mac FILE\n");
  return 2;
}
