// The host interface as our host fills it: every slot of every table, the records of each
// command, the commands of an instance's life, and traps for the slots the effect must not
// call.
#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "helpers.h"
#include "services/pipl_table.h"
#include "minihost/traps.h"

namespace {

using vt::Host;
using vt::World;

// Pointer-sized slots of a table that must all be filled.
template <class Table>
std::vector<size_t> EmptySlots(const Table& table, std::vector<size_t> skip = {}) {
  std::vector<size_t> empty;
  for (size_t at = 0; at + sizeof(void*) <= sizeof(Table); at += sizeof(void*)) {
    if (std::find(skip.begin(), skip.end(), at) != skip.end()) continue;
    void* p = nullptr;
    std::memcpy(&p, reinterpret_cast<const char*>(&table) + at, sizeof p);
    if (!p) empty.push_back(at);
  }
  return empty;
}

TEST(HostInterface, InDataIsFilledAsAHostFillsIt) {
  auto host = vt::LoadedHost();
  PF_InData seen{};
  host->beforeCommand = [&](PF_Cmd cmd, PF_ParamDef**, PF_LayerDef*) {
    if (cmd == PF_Cmd_RENDER) seen = host->in_data();
  };
  World in = vt::RandomWorld(40, 30, false, 3), out(40, 30, false);
  ASSERT_EQ(host->Render(in, out), PF_Err_NONE);
  ASSERT_EQ(host->Render(in, out), PF_Err_NONE);  // the second frame

  EXPECT_EQ(seen.version.major, 13);
  EXPECT_EQ(seen.version.minor, 29);
  EXPECT_EQ(seen.quality, PF_Quality_HI);
  EXPECT_EQ(seen.appl_id, A_AppID(vz::FourCC("FXTC")));
  EXPECT_EQ(seen.num_params, 65);
  EXPECT_EQ(seen.time_scale, 24u);
  EXPECT_EQ(seen.time_step, 1);
  EXPECT_EQ(seen.local_time_step, 1);
  EXPECT_EQ(seen.current_time, 1);
  EXPECT_EQ(seen.field, PF_Field_FRAME);
  EXPECT_EQ(seen.width, 40);
  EXPECT_EQ(seen.height, 30);
  EXPECT_EQ(seen.extent_hint.right, 40);
  EXPECT_EQ(seen.extent_hint.bottom, 30);
  for (const PF_RationalScale& r : {seen.downsample_x, seen.downsample_y, seen.pixel_aspect_ratio}) {
    EXPECT_EQ(r.num, 1);
    EXPECT_EQ(r.den, 1u);
  }
  EXPECT_EQ(seen.output_origin_x, 0);
  EXPECT_EQ(seen.global_data, nullptr);
  EXPECT_EQ(seen.sequence_data, nullptr);
  ASSERT_NE(seen.pica_basicP, nullptr);
  ASSERT_NE(seen.utils, nullptr);
  EXPECT_NE(seen.effect_ref, nullptr);

  // Every function slot of every table holds something; the reserved ones hold nothing.
  EXPECT_EQ(EmptySlots(seen.inter), std::vector<size_t>({72, 80, 88, 96, 104, 112, 120, 128, 136,
                                                          144, 152, 160, 168}));
  EXPECT_EQ(EmptySlots(*seen.utils, {offsetof(PF_UtilCallbacks, ansi.unused_longA),
                                     offsetof(PF_UtilCallbacks, reserved)}),
            std::vector<size_t>({offsetof(PF_UtilCallbacks, get_batch_func_is_deprecated)}));
  EXPECT_TRUE(EmptySlots(*seen.pica_basicP).empty());
}

// Suites are acquired while a command runs, as the effect acquires them.
void DuringACommand(Host& host, const std::function<void(const SPBasicSuite*)>& fn) {
  host.beforeCommand = [&](PF_Cmd, PF_ParamDef**, PF_LayerDef*) { fn(host.in_data().pica_basicP); };
  std::string about;
  host.About(&about);
  host.beforeCommand = nullptr;
}

TEST(HostInterface, EverySuiteIsCompleteAndNamedAsTheHostNamesIt) {
  auto host = vt::LoadedHost();
  DuringACommand(*host, [&](const SPBasicSuite* basic) {
  auto check = [&](const char* name, int version, size_t size) {
    const void* suite = nullptr;
    ASSERT_EQ(basic->AcquireSuite(name, version, &suite), kSPNoError) << name;
    for (size_t at = 0; at < size; at += sizeof(void*)) {
      void* p = nullptr;
      std::memcpy(&p, static_cast<const char*>(suite) + at, sizeof p);
      EXPECT_NE(p, nullptr) << name << " slot at " << at;
    }
    EXPECT_EQ(basic->ReleaseSuite(name, version), kSPNoError);
  };
  check("PF ANSI Suite", 1, sizeof(PF_ANSICallbacksSuite1));
  check("PF World Suite", 2, sizeof(PF_WorldSuite2));
  check("PF Iterate8 Suite", 1, sizeof(PF_Iterate8Suite1));
  check("PF iterate16 Suite", 1, sizeof(PF_iterate16Suite1));
  check("PF Param Utils Suite", 3, sizeof(PF_ParamUtilsSuite3));
  const void* none = nullptr;
  EXPECT_EQ(basic->AcquireSuite("PF Iterate16 Suite", 1, &none), kSPSuiteNotFoundError);
  });
  EXPECT_EQ(host->OutstandingSuites(), 0);
}

// The traps themselves: a call is recorded by slot name and fails as the host's code would.
TEST(HostInterface, TrapsRecordTheSlotAndFail) {
  auto host = vt::LoadedHost();
  const PF_InData& in = host->in_data();
  minihost::ClearTrappedCalls();
  World w(4, 4, false);
  EXPECT_EQ(in.utils->blend(in.effect_ref, &w.def(), &w.def(), 0, &w.def()),
            PF_Err_INVALID_CALLBACK);
  char buffer[8] = "x";
  EXPECT_EQ(in.utils->ansi.sprintf(buffer, "%d", 7), PF_Err_INVALID_CALLBACK);
  EXPECT_STREQ(buffer, "x");
  EXPECT_EQ(in.utils->host_new_handle(16), nullptr);
  EXPECT_EQ(in.pica_basicP->IsEqual("a", "a"), 0);
  EXPECT_EQ(in.pica_basicP->Undefined(), kSPUnimplementedError);
  EXPECT_EQ(in.inter.register_ui(in.effect_ref, nullptr), PF_Err_INVALID_CALLBACK);
  EXPECT_EQ(minihost::TrappedCalls(),
            std::vector<std::string>({"Utils.blend", "UtilsAnsi.sprintf", "Utils.host_new_handle",
                                      "Basic.IsEqual", "Basic.Undefined", "Interact.register_ui"}));
}

// Everything the effect does, at both depths, with every treatment and a custom layer: it
// calls only the services it relies on, so no trap fires.
TEST(HostInterface, NoCommandCallsASlotTheEffectHasNoBusinessWith) {
  minihost::ClearTrappedCalls();
  auto host = vt::LoadedHost();
  std::string about;
  ASSERT_EQ(host->About(&about), PF_Err_NONE);
  for (int i = 1; i < int(host->params().size()); ++i) {
    ASSERT_EQ(host->UserChangedParam(i), PF_Err_NONE);
    ASSERT_EQ(host->UserChangedParam(i, PF_Cmd_UPDATE_PARAMS_UI), PF_Err_NONE);
  }
  const std::vector<std::pair<std::string, std::string>> settings = {
      {"Type", "Custom"},          {"Feather", "30"},
      {"Fast Blur/Amount", "3"},   {"Realistic Blur  [very slow]/Amount", "3"},
      {"Optical Distortion/Amount", "40"}, {"Trail/Amount", "30"},
      {"Directional Blur/Amount", "3"},    {"Lightness/Amount", "20"},
      {"Color/Opacity", "10"},     {"Red/Cyan", "30"},
      {"MODE", "Add"}};
  for (const auto& [key, value] : settings) vt::Set(*host, key, value);
  for (bool deep : {false, true}) {
    World in = vt::RandomWorld(24, 20, deep, 9), custom = vt::RandomWorld(24, 20, deep, 10);
    World out(24, 20, deep);
    ASSERT_EQ(host->Render(in, out, &custom), PF_Err_NONE);
  }
  host.reset();  // sequence and global set-down
  EXPECT_EQ(minihost::TrappedCalls(), std::vector<std::string>());
}

TEST(HostInterface, AnInstanceGetsTheHostsCommandsInOrder) {
  std::vector<PF_Cmd> sent;
  {
    auto host = std::make_unique<Host>();
    host->beforeCommand = [&](PF_Cmd cmd, PF_ParamDef**, PF_LayerDef*) { sent.push_back(cmd); };
    host->Load(VIZMIRA_MODULE);
    World in = vt::RandomWorld(8, 8, false, 1), out(8, 8, false);
    ASSERT_EQ(host->Render(in, out), PF_Err_NONE);
    ASSERT_EQ(host->Render(in, out), PF_Err_NONE);
    ASSERT_EQ(host->UserChangedParam(2), PF_Err_NONE);
    ASSERT_EQ(host->UserChangedParam(2, PF_Cmd_UPDATE_PARAMS_UI), PF_Err_NONE);
    std::string about;
    ASSERT_EQ(host->About(&about), PF_Err_NONE);
  }
  EXPECT_EQ(sent, std::vector<PF_Cmd>({PF_Cmd_GLOBAL_SETUP, PF_Cmd_PARAMS_SETUP,
                                       PF_Cmd_SEQUENCE_SETUP, PF_Cmd_FRAME_SETUP, PF_Cmd_RENDER,
                                       PF_Cmd_FRAME_SETDOWN, PF_Cmd_FRAME_SETUP, PF_Cmd_RENDER,
                                       PF_Cmd_FRAME_SETDOWN, PF_Cmd_USER_CHANGED_PARAM,
                                       PF_Cmd_UPDATE_PARAMS_UI, PF_Cmd_ABOUT,
                                       PF_Cmd_SEQUENCE_SETDOWN, PF_Cmd_GLOBAL_SETDOWN}));
}

// Commands the effect does not act on return 0 and leave every record as it was, byte for byte.
TEST(HostInterface, CommandsTheEffectIgnoresTouchNothing) {
  auto host = vt::LoadedHost();
  std::vector<PF_ParamDef> defs = host->params();
  std::vector<PF_ParamDef*> ptrs;
  for (auto& d : defs) ptrs.push_back(&d);
  World out = vt::RandomWorld(6, 5, true, 4);
  const World pixels = vt::RandomWorld(6, 5, true, 4);
  PF_InData in_before{};
  PF_OutData out_before{};
  host->beforeCommand = [&](PF_Cmd, PF_ParamDef**, PF_LayerDef*) {
    in_before = host->in_data();
    out_before = host->out_data();
  };
  std::memset(host->out_data().return_msg, 'm', 40);
  for (PF_Cmd cmd : std::vector<PF_Cmd>{PF_Cmd_UNUSED_0, PF_Cmd_GLOBAL_SETDOWN, PF_Cmd_SEQUENCE_SETUP,
                     PF_Cmd_SEQUENCE_RESETUP, PF_Cmd_SEQUENCE_FLATTEN, PF_Cmd_SEQUENCE_SETDOWN,
                     PF_Cmd_DO_DIALOG, PF_Cmd_FRAME_SETUP, PF_Cmd_FRAME_SETDOWN, PF_Cmd_EVENT,
                     PF_Cmd_GET_EXTERNAL_DEPENDENCIES, PF_Cmd_GPU_DEVICE_SETUP, 99}) {
    const PF_LayerDef world_before = out.def();
    EXPECT_EQ(host->Command(cmd, ptrs.data(), &out.def()), PF_Err_NONE) << "selector " << cmd;
    EXPECT_EQ(std::memcmp(&in_before, &host->in_data(), sizeof in_before), 0) << "selector " << cmd;
    EXPECT_EQ(std::memcmp(&out_before, &host->out_data(), sizeof out_before), 0)
        << "selector " << cmd;
    for (size_t i = 0; i < defs.size(); ++i)
      EXPECT_EQ(std::memcmp(&defs[i], &host->params()[i], sizeof defs[i]), 0)
          << "selector " << cmd << " control " << i;
    EXPECT_EQ(std::memcmp(&world_before, &out.def(), sizeof world_before), 0);
    EXPECT_TRUE(vt::SameImage(out, pixels)) << "selector " << cmd;
  }
}

TEST(HostInterface, NumbersAreTheHostsOwn) {
  EXPECT_EQ(PF_PixelFormat_ARGB32, 0x62677261);  // "argb", first character lowest
  EXPECT_EQ(PF_PixelFormat_ARGB64, 0x36316561);  // "ae16"
  EXPECT_EQ(PF_PixelFormat_ARGB128, 0x32336561);
  EXPECT_EQ(kSPSuiteNotFoundError, 0x53214664);  // 'S!Fd'
  World deep(2, 2, true), shallow(2, 2, false);
  auto host = vt::LoadedHost();
  DuringACommand(*host, [&](const SPBasicSuite* basic) {
    const void* suite = nullptr;
    ASSERT_EQ(basic->AcquireSuite(kPFWorldSuite, 2, &suite), kSPNoError);
    PF_PixelFormat format = 0;
    auto world_suite = static_cast<const PF_WorldSuite2*>(suite);
    EXPECT_EQ(world_suite->PF_GetPixelFormat(&deep.def(), &format), PF_Err_NONE);
    EXPECT_EQ(format, PF_PixelFormat_ARGB64);
    EXPECT_EQ(world_suite->PF_GetPixelFormat(&shallow.def(), &format), PF_Err_NONE);
    EXPECT_EQ(format, PF_PixelFormat_ARGB32);
    basic->ReleaseSuite(kPFWorldSuite, 2);
  });
}

}  // namespace
