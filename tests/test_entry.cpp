// The entry point's dispatch, results and error guard; the suite handler; the property list.
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <vector>
#include <string>

#include "helpers.h"
#include "services/suite_handler.h"

namespace {

using vt::Host;

TEST(Dispatch, GlobalSetupReportsVersionAndFlags) {
  auto host = vt::LoadedHost();
  EXPECT_EQ(host->GlobalSetup(), PF_Err_NONE);
  EXPECT_EQ(host->out_data().my_version, 534529u);
  EXPECT_EQ(host->out_data().out_flags, 0x02000000);  // deep colour aware only
  // Threaded, collapsed groups, smart render, float.
  EXPECT_EQ(host->out_data().out_flags2, 0x08001408);
}

TEST(Dispatch, AboutTextIsNameCarriageReturnAndFiveLines) {
  auto host = vt::LoadedHost();
  std::string text;
  ASSERT_EQ(host->About(&text), PF_Err_NONE);
  ASSERT_LT(text.size(), 256u);
  const size_t cr = text.find('\r');
  ASSERT_NE(cr, std::string::npos);
  EXPECT_EQ(text.substr(0, cr), "Vizmira");
  const std::string version = text.substr(cr + 1);
  EXPECT_EQ(version.find('\r'), std::string::npos);
  EXPECT_EQ(version.rfind("Version 1.0.5\n", 0), 0u);
  EXPECT_EQ(std::count(version.begin(), version.end(), '\n'), 4);  // five lines
  EXPECT_NE(version.find("\n\n"), std::string::npos);             // the empty third line
}

TEST(Dispatch, NullBasicSuiteFailsSuiteUsersButNotGlobalSetup) {
  auto host = vt::LoadedHost();
  host->faults.nullBasicSuite = true;
  std::strcpy(host->out_data().return_msg, "untouched");
  std::string text;
  EXPECT_EQ(host->About(&text), PF_Err_BAD_CALLBACK_PARAM);
  EXPECT_EQ(host->GlobalSetup(), PF_Err_NONE);
  vt::World in = vt::RandomWorld(8, 8, false, 1), out(8, 8, false);
  EXPECT_EQ(host->Render(in, out), PF_Err_BAD_CALLBACK_PARAM);
  EXPECT_EQ(host->UserChangedParam(2), PF_Err_BAD_CALLBACK_PARAM);
  EXPECT_EQ(host->LiveWorlds(), 0);
}

TEST(Dispatch, MissingRecordsAreRefusedNotRead) {
  auto host = vt::LoadedHost();
  EXPECT_EQ(host->Command(PF_Cmd_USER_CHANGED_PARAM, nullptr), PF_Err_BAD_CALLBACK_PARAM);
  EXPECT_EQ(host->Command(PF_Cmd_UPDATE_PARAMS_UI, nullptr), PF_Err_BAD_CALLBACK_PARAM);
  EXPECT_EQ(host->Command(PF_Cmd_RENDER, nullptr, nullptr), PF_Err_BAD_CALLBACK_PARAM);
  EXPECT_EQ(host->LiveWorlds(), 0);
}

TEST(Dispatch, RefusedAnsiSuiteLeavesAboutMessageUntouched) {
  auto host = vt::LoadedHost();
  host->faults.refuseSuite = kPFANSISuite;
  std::strcpy(host->out_data().return_msg, "before");
  EXPECT_EQ(host->Command(PF_Cmd_ABOUT), PF_Err_BAD_CALLBACK_PARAM);
  EXPECT_STREQ(host->out_data().return_msg, "before");
  EXPECT_EQ(host->OutstandingSuites(), 0);
}

// A basic suite that counts, for the handler on its own.
struct CountingSuite {
  static inline std::map<std::string, int> acquired, released;
  static inline std::string refuse;
  static SPErr Acquire(const char* name, int32_t, const void** suite) {
    static const int dummy = 0;
    if (refuse == name) {
      *suite = nullptr;
      return kSPSuiteNotFoundError;
    }
    ++acquired[name];
    *suite = &dummy;
    return kSPNoError;
  }
  static SPErr Release(const char* name, int32_t) {
    ++released[name];
    return kSPNoError;
  }
  static void Reset() {
    acquired.clear();
    released.clear();
    refuse.clear();
  }
};
SPBasicSuite MakeCounting() {
  SPBasicSuite s{};
  s.AcquireSuite = CountingSuite::Acquire;
  s.ReleaseSuite = CountingSuite::Release;
  return s;
}
const SPBasicSuite kCounting = MakeCounting();

TEST(SuiteHandler, AcquiresOnceReleasesOnce) {
  CountingSuite::Reset();
  {
    AEGP_SuiteHandler suites(&kCounting);
    const void* a = suites.Iterate8Suite1();
    const void* b = suites.Iterate8Suite1();
    EXPECT_EQ(a, b);
    EXPECT_EQ(CountingSuite::released.size(), 0u);
  }
  EXPECT_EQ(CountingSuite::acquired[kPFIterate8Suite], 1);
  EXPECT_EQ(CountingSuite::released[kPFIterate8Suite], 1);
}

TEST(SuiteHandler, NothingAcquiredNothingReleased) {
  CountingSuite::Reset();
  { AEGP_SuiteHandler suites(&kCounting); }
  EXPECT_TRUE(CountingSuite::released.empty());
}

TEST(SuiteHandler, ReleasesWhatItHadWhenAnotherSuiteIsMissing) {
  CountingSuite::Reset();
  CountingSuite::refuse = kPFIterate16Suite;
  try {
    AEGP_SuiteHandler suites(&kCounting);
    suites.ANSICallbacksSuite1();
    suites.Iterate16Suite1();
    FAIL() << "a missing suite must throw";
  } catch (PF_Err err) {
    EXPECT_EQ(err, PF_Err_BAD_CALLBACK_PARAM);
  }
  EXPECT_EQ(CountingSuite::acquired[kPFANSISuite], 1);
  EXPECT_EQ(CountingSuite::released[kPFANSISuite], 1);
  EXPECT_EQ(CountingSuite::released.count(kPFIterate16Suite), 0u);
}

TEST(SuiteHandler, NullBasicSuiteThrows516) {
  try {
    AEGP_SuiteHandler suites(nullptr);
    FAIL();
  } catch (PF_Err err) {
    EXPECT_EQ(err, PF_Err_BAD_CALLBACK_PARAM);
  }
}

TEST(PropertyList, HostRefusesAModuleWithoutOne) {
  Host host;
  EXPECT_THROW(host.Load("/nonexistent/Vizmira.so"), minihost::HostError);
}

}  // namespace
