// vizmira_pe_check MODULE.aex: checks a built Windows module from its bytes. It must export
// exactly EntryPointFunc, import only Windows system DLLs, and carry the property list of
// services/pipl_table.h as its 'PiPL' 16000 resource. Prints what it finds; exit 1 on a fault.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "services/pipl_format.h"

namespace {

struct Pe {
  std::vector<uint8_t> b;
  struct Section { uint32_t va, vsize, raw, rawsize; };
  std::vector<Section> sections;

  uint32_t u16(size_t at) const { return at + 2 <= b.size() ? b[at] | b[at + 1] << 8 : 0; }
  uint32_t u32(size_t at) const { return at + 4 <= b.size() ? u16(at) | u16(at + 2) << 16 : 0; }
  // File offset of a relative virtual address; 0 when it lies in no section.
  size_t At(uint32_t rva) const {
    for (const Section& s : sections)
      if (rva >= s.va && rva < s.va + std::max(s.vsize, s.rawsize)) return s.raw + (rva - s.va);
    return 0;
  }
  std::string Str(uint32_t rva) const {
    std::string s;
    for (size_t at = At(rva); at && at < b.size() && b[at]; ++at) s += char(b[at]);
    return s;
  }
};

bool SystemDll(std::string name) {
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  static const char* kAllowed[] = {"kernel32.dll", "msvcrt.dll", "ucrtbase.dll", "user32.dll",
                                   "advapi32.dll", "ntdll.dll"};
  return std::find(std::begin(kAllowed), std::end(kAllowed), name) != std::end(kAllowed) ||
         name.rfind("api-ms-win-", 0) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: vizmira_pe_check MODULE.aex\n");
    return 2;
  }
  std::ifstream f(argv[1], std::ios::binary);
  Pe pe{std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>()), {}};
  const size_t nt = pe.u32(0x3C);
  if (pe.b.size() < 0x40 || pe.u32(nt) != 0x4550 || pe.u16(nt + 24) != 0x20B) {
    std::fprintf(stderr, "%s: not a 64-bit PE module\n", argv[1]);
    return 1;
  }
  const uint32_t nsections = pe.u16(nt + 6), optsize = pe.u16(nt + 20);
  const size_t opt = nt + 24, table = opt + optsize;
  for (uint32_t i = 0; i < nsections; ++i) {
    const size_t s = table + 40 * i;
    pe.sections.push_back({pe.u32(s + 12), pe.u32(s + 8), pe.u32(s + 20), pe.u32(s + 16)});
  }
  auto dir = [&](int i) { return pe.u32(opt + 112 + 8 * size_t(i)); };
  bool ok = true;

  std::vector<std::string> exports;
  if (const size_t ed = pe.At(dir(0))) {
    const uint32_t names = pe.u32(ed + 24), table_rva = pe.u32(ed + 32);
    for (uint32_t i = 0; i < names; ++i) exports.push_back(pe.Str(pe.u32(pe.At(table_rva) + 4 * i)));
  }
  for (auto& e : exports) std::printf("export %s\n", e.c_str());
  if (exports != std::vector<std::string>{"EntryPointFunc"}) {
    std::printf("FAULT: the module must export exactly EntryPointFunc\n");
    ok = false;
  }

  if (size_t id = pe.At(dir(1))) {
    for (; pe.u32(id + 12); id += 20) {
      const std::string dll = pe.Str(pe.u32(id + 12));
      std::printf("import %s%s\n", dll.c_str(), SystemDll(dll) ? "" : "  (not a system DLL)");
      ok = ok && SystemDll(dll);
    }
  }

  // Resources: type 'PIPL' (by name), id 16000, first language.
  std::vector<uint8_t> pipl;
  const size_t rsrc = pe.At(dir(2));
  auto entries = [&](size_t d) { return pe.u16(d + 12) + pe.u16(d + 14); };
  for (uint32_t i = 0; rsrc && i < entries(rsrc); ++i) {
    const size_t e = rsrc + 16 + 8 * i;
    const uint32_t name = pe.u32(e), off = pe.u32(e + 4);
    if (!(name & 0x80000000u) || !(off & 0x80000000u)) continue;
    std::string type;
    const size_t str = rsrc + (name & 0x7FFFFFFFu);
    for (uint32_t c = 0; c < pe.u16(str); ++c) type += char(std::toupper(pe.u16(str + 2 + 2 * c)));
    if (type != "PIPL") continue;
    const size_t ids = rsrc + (off & 0x7FFFFFFFu);
    for (uint32_t j = 0; j < entries(ids); ++j) {
      const size_t e2 = ids + 16 + 8 * j;
      if (pe.u32(e2) != uint32_t(vz::pipl::kResourceId) || !(pe.u32(e2 + 4) & 0x80000000u)) continue;
      const size_t langs = rsrc + (pe.u32(e2 + 4) & 0x7FFFFFFFu);
      const size_t data = rsrc + pe.u32(langs + 16 + 4);
      const size_t at = pe.At(pe.u32(data));
      const uint32_t size = pe.u32(data + 4);
      if (at && at + size <= pe.b.size()) pipl.assign(pe.b.begin() + long(at), pe.b.begin() + long(at + size));
    }
  }
  const auto expected = vz::pipl::Encode(vz::pipl::Platform::Windows);
  const auto props = vz::pipl::Decode(pipl, vz::pipl::Platform::Windows);
  if (!props || pipl != expected) {
    std::printf("FAULT: no 'PiPL' %d resource matching the property table\n", vz::pipl::kResourceId);
    ok = false;
  } else {
    for (const auto& p : *props) {
      const char key[5] = {char(p.key >> 24), char(p.key >> 16), char(p.key >> 8), char(p.key), 0};
      std::printf("PiPL '%s' %zu bytes\n", key, p.value.size());
    }
  }
  std::printf("%s\n", ok ? "module ok" : "module FAULTY");
  return ok ? 0 : 1;
}
