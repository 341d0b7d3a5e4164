// Writes the effect's property list for one target from the property table in host/.
//   vizmira_pipl_gen linux OUT.pipl   binary list, little-endian, x86-64 entry key
#include <cstdio>
#include <cstring>
#include <fstream>

#include "host/pipl_format.h"

int main(int argc, char** argv) {
  if (argc != 3 || std::strcmp(argv[1], "linux") != 0) {
    std::fprintf(stderr, "usage: vizmira_pipl_gen linux OUT.pipl\n");
    return 2;
  }
  const auto bytes = vz::pipl::Encode(vz::pipl::kKeyWindowsX64, vz::pipl::Endian::Little);
  std::ofstream out(argv[2], std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return out.good() ? 0 : 1;
}
