// Our host's tables: the callbacks and suites it hands the effect, every slot filled (the
// operations the effect relies on are real, the rest are traps), and the host whose command
// runs on this thread, through which the suites, reached without an effect reference, act.
#pragma once

#include <string>
#include <vector>

#include "host.h"

namespace minihost {

extern thread_local Host* t_host;  // the host whose command runs on this thread

// Sets the current host for the suites while it lives.
struct CurrentHost {
  Host* previous;
  explicit CurrentHost(Host* h) : previous(t_host) { t_host = h; }
  ~CurrentHost() { t_host = previous; }
};

inline size_t PixelSize(bool deep) { return deep ? sizeof(PF_Pixel16) : sizeof(PF_Pixel); }

// The basic suite and the suites it hands out, every slot filled: the operations the effect
// relies on are real, the rest are traps.
struct Suites {
  SPBasicSuite basic{};
  PF_ANSICallbacksSuite1 ansi{};
  PF_WorldSuite2 world{};
  PF_Iterate8Suite1 iterate8{};
  PF_iterate16Suite1 iterate16{};
  PF_ParamUtilsSuite3 param_utils{};

  Suites();

};


struct SuiteEntry {
  const char* name;
  int32_t version;
  const void* suite;
};

Suites& TheSuites();
std::vector<SuiteEntry> SuiteList();
std::string SuiteKey(const char* name, int32_t version);
void FillUtils(PF_UtilCallbacks& u);
void FillInteract(PF_InteractCallbacks& i);

}  // namespace minihost
