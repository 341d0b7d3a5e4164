// Loading the module: its property list checked, its entry point found, its global,
// parameter and sequence set-up run as the host runs them.
#include "host.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <fstream>
#include <iterator>

#include "services/pipl_format.h"

namespace minihost {

void Host::CheckPipl(const std::vector<uint8_t>& bytes, const std::string& where) {
  auto props = vz::pipl::Decode(bytes, vz::pipl::Platform::Windows);
  if (!props) throw HostError("malformed property list: " + where);
  pipl_.clear();
  for (auto& p : *props) pipl_[p.key] = p.value;
  auto get = [&](const char(&key)[5]) -> const vz::pipl::DecodedProperty {
    auto it = pipl_.find(vz::FourCC(key));
    if (it == pipl_.end()) throw HostError(std::string("property list lacks '") + key + "'");
    return vz::pipl::DecodedProperty{it->first, it->second};
  };
  if (get("kind").Number(vz::pipl::Endian::Little) != vz::FourCC("eFKT"))
    throw HostError("the module is not an effect (kind is not 'eFKT')");
  if (get("8664").CString() != "EntryPointFunc")
    throw HostError("the property list names another entry point");
}

void Host::CheckGlobalSetupAgainstPipl() {
  auto number = [&](const char(&key)[5]) {
    auto it = pipl_.find(vz::FourCC(key));
    if (it == pipl_.end()) throw HostError(std::string("property list lacks '") + key + "'");
    return vz::pipl::DecodedProperty{it->first, it->second}.Number(vz::pipl::Endian::Little);
  };
  if (out_data_.my_version != number("eVER") || uint32_t(out_data_.out_flags) != number("eGLO") ||
      uint32_t(out_data_.out_flags2) != number("eGL2"))
    throw HostError("global set-up reports a version or flags that differ from the property list");
}

void Host::Load(const std::string& module_path) {
#if defined(_WIN32)
  // The property list is the module's 'PiPL' resource.
  HMODULE module = LoadLibraryA(module_path.c_str());
  if (!module) throw HostError("cannot load module " + module_path);
  module_ = module;
  HRSRC res = FindResourceA(module, MAKEINTRESOURCEA(vz::pipl::kResourceId), "PiPL");
  HGLOBAL data = res ? LoadResource(module, res) : nullptr;
  const uint8_t* bytes = data ? static_cast<const uint8_t*>(LockResource(data)) : nullptr;
  if (!bytes) throw HostError("the module carries no property list");
  CheckPipl(std::vector<uint8_t>(bytes, bytes + SizeofResource(module, res)), module_path);
  entry_ = reinterpret_cast<PF_EntryPointFunc>(
      reinterpret_cast<void*>(GetProcAddress(module, "EntryPointFunc")));
#else
  // The property list lies beside the module, under the same name.
  const size_t dot = module_path.find_last_of('.');
  const size_t slash = module_path.find_last_of('/');
  const std::string stem = (dot != std::string::npos && (slash == std::string::npos || dot > slash))
                               ? module_path.substr(0, dot)
                               : module_path;
  const std::string pipl = stem + ".pipl";
  std::ifstream f(pipl, std::ios::binary);
  if (!f) throw HostError("no property list at " + pipl);
  CheckPipl(std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>()),
            pipl);
  module_ = dlopen(module_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module_) throw HostError(std::string("cannot load module: ") + dlerror());
  entry_ = reinterpret_cast<PF_EntryPointFunc>(dlsym(module_, "EntryPointFunc"));
#endif
  if (!entry_) throw HostError("the module exports no EntryPointFunc");
  if (PF_Err err = GlobalSetup()) throw HostError("global set-up failed: " + std::to_string(err));
  CheckGlobalSetupAgainstPipl();
  if (PF_Err err = ParamsSetup()) throw HostError("parameter set-up failed: " + std::to_string(err));
  if (PF_Err err = SequenceSetup())
    throw HostError("sequence set-up failed: " + std::to_string(err));
}

void Host::Attach(PF_EntryPointFunc entry) { entry_ = entry; }

}  // namespace minihost
