// The entry point's dispatch, results and error guard; the suite handler; the property list.
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <vector>
#include <string>

#include "helpers.h"
#include "host/pipl_format.h"
#include "host/suite_handler.h"

namespace {

using vt::Host;

TEST(Dispatch, GlobalSetupReportsVersionAndFlags) {
  auto host = vt::LoadedHost();
  EXPECT_EQ(host->GlobalSetup(), PF_Err_NONE);
  EXPECT_EQ(host->out_data().my_version, 534529u);
  EXPECT_EQ(host->out_data().out_flags, 33555456);
  EXPECT_EQ(host->out_data().out_flags2, 134217736);
}

TEST(Dispatch, UnhandledSelectorsReturnZeroAndLeaveOutDataAlone) {
  auto host = vt::LoadedHost();
  for (PF_Cmd cmd : {2, 3, 5, 6, 7, 8, 9, 10, 12, 15, 16, 23, 24, 99}) {
    const PF_OutData before = host->out_data();
    EXPECT_EQ(host->Command(cmd), PF_Err_NONE) << "selector " << cmd;
    EXPECT_EQ(std::memcmp(&before, &host->out_data(), sizeof before), 0) << "selector " << cmd;
  }
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
const SPBasicSuite kCounting = {CountingSuite::Acquire, CountingSuite::Release};

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

// Every property of a decoded list, in order, with the given entry-point keys.
void ExpectProperties(const std::vector<uint8_t>& bytes, vz::pipl::Endian e,
                      std::vector<std::string> entry_keys) {
  using vz::pipl::DecodedProperty;
  auto props = vz::pipl::Decode(bytes, e);
  ASSERT_TRUE(props);
  std::vector<std::string> keys = {"kind", "name", "catg"};
  keys.insert(keys.end(), entry_keys.begin(), entry_keys.end());
  for (const char* k : {"ePVR", "eSVR", "eVER", "eINF", "eGLO", "eGL2", "eMNA", "aeFL"}) keys.push_back(k);
  ASSERT_EQ(props->size(), keys.size());
  std::map<std::string, DecodedProperty> by_key;
  for (size_t i = 0; i < keys.size(); ++i) {
    const uint32_t k = (*props)[i].key;
    const std::string name = {char(k >> 24), char(k >> 16), char(k >> 8), char(k)};
    EXPECT_EQ(name, keys[i]);
    by_key[name] = (*props)[i];
  }
  EXPECT_EQ(by_key["kind"].Number(e), vz::FourCC("eFKT"));
  EXPECT_EQ(by_key["name"].PString(), "Vizmira");
  EXPECT_EQ(by_key["catg"].PString(), "KT");
  for (const auto& k : entry_keys) EXPECT_EQ(by_key[k].CString(), "EntryPointFunc");
  EXPECT_EQ(by_key["ePVR"].Number(e), 0x00020000u);
  EXPECT_EQ(by_key["eSVR"].Number(e), (13u << 16) | 27u);
  EXPECT_EQ(by_key["eVER"].Number(e), 0x00082801u);
  EXPECT_EQ(by_key["eINF"].value.size(), 2u);
  EXPECT_EQ(by_key["eINF"].Number(e), 0u);
  EXPECT_EQ(by_key["eGLO"].Number(e), 0x02000400u);
  EXPECT_EQ(by_key["eGL2"].Number(e), 0x08000008u);
  EXPECT_EQ(by_key["eMNA"].PString(), "ADBE KT Plug-in");
  EXPECT_EQ(by_key["aeFL"].Number(e), 0u);
}

TEST(PropertyList, FileBesideModuleHoldsEveryPropertyInOrder) {
  std::string path = VIZMIRA_MODULE;
  path = path.substr(0, path.rfind('.')) + ".pipl";
  std::ifstream f(path, std::ios::binary);
  ASSERT_TRUE(f) << path;
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  ExpectProperties(bytes, vz::pipl::Endian::Little, {"8664"});
}

TEST(PropertyList, WindowsResourceScriptParsesBack) {
  using namespace vz::pipl;
  const std::string rc = ResourceScript(Encode({kKeyWindowsX64}, Endian::Little));
  EXPECT_EQ(rc.find("16000 PiPL\nBEGIN\n"), rc.find("16000"));
  auto bytes = ParseResourceScript(rc);
  ASSERT_TRUE(bytes);
  ExpectProperties(*bytes, Endian::Little, {"8664"});
}

TEST(PropertyList, MacResourceFileParsesBackBigEndianWithBothProcessors) {
  using namespace vz::pipl;
  const auto file = ResourceFile(Encode({kKeyMacIntel64, kKeyMacArm64}, Endian::Big));
  auto bytes = ParseResourceFile(file);
  ASSERT_TRUE(bytes);
  ExpectProperties(*bytes, Endian::Big, {"mi64", "ma64"});
  EXPECT_EQ(bytes->at(1), 1);  // the reserved word, big-endian
}

TEST(PropertyList, TruncatedListIsRejected) {
  auto bytes = vz::pipl::Encode({vz::pipl::kKeyWindowsX64}, vz::pipl::Endian::Little);
  bytes.resize(bytes.size() - 3);
  EXPECT_FALSE(vz::pipl::Decode(bytes, vz::pipl::Endian::Little));
}

TEST(PropertyList, HostRefusesAModuleWithoutOne) {
  Host host;
  EXPECT_THROW(host.Load("/nonexistent/Vizmira.so"), minihost::HostError);
}

}  // namespace
