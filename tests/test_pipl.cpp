// The property lists the build writes, read back with a reader of this file's own made from
// the host's published layout (not the encoder's decoder), and the macOS bundle's files.
#include <fstream>
#include <iterator>
#include <regex>
#include <map>
#include <string>
#include <vector>

#include "helpers.h"
#include "services/pipl_format.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(std::initializer_list<int> v) { return Bytes(v.begin(), v.end()); }
Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

struct RawProperty {
  std::string key;
  Bytes data;  // exactly `length` bytes
};

// The host's list: on Windows a 16-bit 1, then version and count; on macOS version and count
// alone. Numbers in platform order, codes as 32-bit numbers; each value padded with zeros to
// a multiple of 4 from the first property.
std::vector<RawProperty> ReadList(const Bytes& b, bool windows) {
  size_t pos = 0;
  auto u32 = [&] {
    EXPECT_LE(pos + 4, b.size());
    if (pos + 4 > b.size()) return 0u;
    const uint32_t v = windows ? uint32_t(b[pos]) | uint32_t(b[pos + 1]) << 8 |
                                     uint32_t(b[pos + 2]) << 16 | uint32_t(b[pos + 3]) << 24
                               : uint32_t(b[pos]) << 24 | uint32_t(b[pos + 1]) << 16 |
                                     uint32_t(b[pos + 2]) << 8 | uint32_t(b[pos + 3]);
    pos += 4;
    return v;
  };
  auto code = [&] {
    const uint32_t v = u32();
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
  };
  if (windows) {
    EXPECT_GE(b.size(), 2u);
    EXPECT_EQ(b[0], 1);
    EXPECT_EQ(b[1], 0);
    pos = 2;
  }
  EXPECT_EQ(u32(), 0u) << "list version";
  const uint32_t count = u32();
  const size_t first = pos;
  std::vector<RawProperty> out;
  for (uint32_t i = 0; i < count && pos < b.size(); ++i) {
    EXPECT_EQ(code(), "8BIM");
    RawProperty p;
    p.key = code();
    EXPECT_EQ(u32(), 0u) << p.key << " id";
    const uint32_t length = u32();
    if (pos + length > b.size()) {
      ADD_FAILURE() << p.key << " runs past the end";
      return out;
    }
    p.data.assign(b.begin() + long(pos), b.begin() + long(pos + length));
    pos += length;
    for (; (pos - first) % 4 != 0; ++pos) {
      if (pos >= b.size()) break;
      EXPECT_EQ(b[pos], 0) << p.key << " padding";
    }
    out.push_back(std::move(p));
  }
  EXPECT_EQ(out.size(), count);
  EXPECT_EQ(pos, b.size()) << "bytes after the last property";
  return out;
}

// What each property must hold, byte for byte, on each platform.
const std::vector<std::pair<std::string, Bytes>> kWindowsExpected = {
    {"kind", Str("TKFe")},  // 'eFKT' as a little-endian number
    {"name", Cat(B({7}), Str("Vizmira"))},
    {"catg", Cat(B({2}), Str(std::string("KT\0", 3)))},                  // padding counted
    {"8664", Str(std::string("EntryPointFunc\0\0", 16))},                // C string, padded
    {"ePVR", B({2, 0, 0, 0})},                                           // 2.0
    {"eSVR", B({13, 0, 27, 0})},                                         // 13.27
    {"eVER", B({0x01, 0x28, 0x08, 0x00})},
    {"eINF", B({0, 0})},
    {"eGLO", B({0x00, 0x00, 0x00, 0x02})},
    {"eGL2", B({0x08, 0x14, 0x00, 0x08})},
    {"eMNA", Cat(B({15}), Str("ADBE KT Plug-in"))},
    {"aeFL", B({0, 0, 0, 0})},
};
const std::vector<std::pair<std::string, Bytes>> kMacExpected = {
    {"kind", Str("eFKT")},
    {"name", Cat(B({7}), Str("Vizmira"))},
    {"catg", Cat(B({2}), Str("KT"))},                // unpadded length 3
    {"mi64", Cat(B({14}), Str("EntryPointFunc"))},  // Pascal strings
    {"ma64", Cat(B({14}), Str("EntryPointFunc"))},
    {"ePVR", B({0, 2, 0, 0})},
    {"eSVR", B({0, 13, 0, 27})},
    {"eVER", B({0x00, 0x08, 0x28, 0x01})},
    {"eINF", B({0, 0})},
    {"eGLO", B({0x02, 0x00, 0x00, 0x00})},
    {"eGL2", B({0x08, 0x00, 0x14, 0x08})},
    {"eMNA", Cat(B({15}), Str("ADBE KT Plug-in"))},
    {"aeFL", B({0, 0, 0, 0})},
};

void ExpectList(const Bytes& list, bool windows) {
  const auto& expected = windows ? kWindowsExpected : kMacExpected;
  const std::vector<RawProperty> props = ReadList(list, windows);
  ASSERT_EQ(props.size(), expected.size());
  for (size_t i = 0; i < props.size(); ++i) {
    EXPECT_EQ(props[i].key, expected[i].first) << "property " << i;
    EXPECT_EQ(props[i].data, expected[i].second) << props[i].key;
  }
}

// The Windows resource as the host's own resource tool lays it out, written out by hand.
Bytes WindowsImage() {
  Bytes image = B({0x01, 0x00, 0, 0, 0, 0, 12, 0, 0, 0});
  auto prop = [&](const char* key_bytes, std::initializer_list<int> length, const Bytes& data) {
    image = Cat(image, Str("MIB8"));
    image = Cat(image, Str(key_bytes));
    image = Cat(image, B({0, 0, 0, 0}));
    image = Cat(image, B(length));
    image = Cat(image, data);
  };
  prop("dnik", {4, 0, 0, 0}, B({0x54, 0x4B, 0x46, 0x65}));
  prop("eman", {8, 0, 0, 0}, B({7, 'V', 'i', 'z', 'm', 'i', 'r', 'a'}));
  prop("gtac", {4, 0, 0, 0}, B({2, 'K', 'T', 0}));
  prop("4668", {16, 0, 0, 0}, B({'E', 'n', 't', 'r', 'y', 'P', 'o', 'i', 'n', 't', 'F', 'u', 'n',
                                 'c', 0, 0}));
  prop("RVPe", {4, 0, 0, 0}, B({0x02, 0x00, 0x00, 0x00}));
  prop("RVSe", {4, 0, 0, 0}, B({0x0D, 0x00, 0x1B, 0x00}));
  prop("REVe", {4, 0, 0, 0}, B({0x01, 0x28, 0x08, 0x00}));
  prop("FNIe", {2, 0, 0, 0}, B({0x00, 0x00, 0x00, 0x00}));
  prop("OLGe", {4, 0, 0, 0}, B({0x00, 0x00, 0x00, 0x02}));
  prop("2LGe", {4, 0, 0, 0}, B({0x08, 0x14, 0x00, 0x08}));
  prop("ANMe", {16, 0, 0, 0}, B({15, 'A', 'D', 'B', 'E', ' ', 'K', 'T', ' ', 'P', 'l', 'u', 'g',
                                 '-', 'i', 'n'}));
  prop("LFea", {4, 0, 0, 0}, B({0, 0, 0, 0}));
  return image;
}

TEST(PropertyList, WindowsListIsByteForByteTheResourceToolsLayout) {
  const Bytes list = vz::pipl::Encode(vz::pipl::Platform::Windows);
  EXPECT_EQ(list, WindowsImage());
  ExpectList(list, true);
}

TEST(PropertyList, WindowsResourceScriptAndLinuxFileHoldTheSameList) {
  using namespace vz::pipl;
  const std::string rc = ResourceScript(Encode(Platform::Windows));
  EXPECT_EQ(rc.find("16000 PiPL\nBEGIN\n"), rc.find("16000"));
  auto from_rc = ParseResourceScript(rc);
  ASSERT_TRUE(from_rc);
  EXPECT_EQ(*from_rc, WindowsImage());

  std::string path = VIZMIRA_MODULE;
  path = path.substr(0, path.rfind('.')) + ".pipl";
  EXPECT_EQ(ReadFile(path), WindowsImage()) << path;
}

TEST(PropertyList, MacListIsBigEndianWithoutLeadingWordAndPascalEntryPoints) {
  const Bytes list = vz::pipl::Encode(vz::pipl::Platform::Mac);
  ASSERT_GE(list.size(), 8u);
  EXPECT_EQ(Bytes(list.begin(), list.begin() + 8), B({0, 0, 0, 0, 0, 0, 0, 13}));
  ExpectList(list, false);
}

TEST(PropertyList, MacResourceFileHoldsTheListAsPiPL16000) {
  const Bytes list = vz::pipl::Encode(vz::pipl::Platform::Mac);
  const Bytes file = vz::pipl::ResourceFile(list);
  auto be32 = [&](size_t at) {
    return uint32_t(file[at]) << 24 | uint32_t(file[at + 1]) << 16 | uint32_t(file[at + 2]) << 8 |
           file[at + 3];
  };
  auto be16 = [&](size_t at) { return uint32_t(file[at]) << 8 | file[at + 1]; };
  ASSERT_GE(file.size(), 256u + 4 + list.size() + 50);
  const uint32_t data = be32(0), map = be32(4);
  EXPECT_EQ(data, 256u);
  EXPECT_EQ(be32(8), 4 + list.size());
  EXPECT_EQ(be32(data), list.size());
  EXPECT_EQ(Bytes(file.begin() + data + 4, file.begin() + long(data + 4 + list.size())), list);
  ASSERT_EQ(map, data + 4 + list.size());
  const size_t types = map + be16(map + 24);
  EXPECT_EQ(be16(map + 24), 28u);
  EXPECT_EQ(be16(types), 0u);  // one type
  EXPECT_EQ(be32(types + 2), vz::FourCC("PiPL"));
  const size_t refs = types + be16(types + 8);
  EXPECT_EQ(be16(refs), 16000u);
  EXPECT_EQ(be16(refs + 2), 0xFFFFu);  // no name
  EXPECT_EQ(be32(refs + 4) & 0xFFFFFF, 0u);
}

TEST(PropertyList, OurDecoderAgreesAndRefusesDamage) {
  using namespace vz::pipl;
  for (Platform p : {Platform::Windows, Platform::Mac}) {
    Bytes list = Encode(p);
    auto props = Decode(list, p);
    ASSERT_TRUE(props);
    ASSERT_EQ(props->size(), p == Platform::Windows ? 12u : 13u);
    EXPECT_EQ((*props)[0].Number(EndianOf(p)), vz::FourCC("eFKT"));
    list.resize(list.size() - 3);
    EXPECT_FALSE(Decode(list, p));
  }
  // Read with the other platform's rules, neither list makes sense.
  EXPECT_FALSE(Decode(Encode(Platform::Windows), Platform::Mac));
  EXPECT_FALSE(Decode(Encode(Platform::Mac), Platform::Windows));
}

TEST(PropertyList, VersionsPackAsTheHostPacksThem) {
  EXPECT_EQ(vz::kVersion, 0x00082801u);
  // From major version 8 on the high bits take the rest of the major version.
  EXPECT_EQ(vz::PackVersion(13, 2, 1, PF_Stage_RELEASE, 5),
            (1u << 26) | (5u << 19) | (2u << 15) | (1u << 11) | (3u << 9) | 5u);
  EXPECT_EQ(vz::PackVersion(1, 0, 0, 0, 600), vz::PackVersion(1, 0, 0, 0, 600 & 0x1FF));
}

// The macOS bundle's Info.plist and PkgInfo, as the Mac build copies them in.
TEST(MacBundle, InfoPlistAndPkgInfoNameAnEffect) {
  const std::string source = VIZMIRA_SOURCE_DIR;
  const Bytes plist_bytes = ReadFile(source + "/cmake/Info.plist.in");
  const std::string plist(plist_bytes.begin(), plist_bytes.end());
  std::map<std::string, std::string> keys;
  const std::regex pair(R"(<key>([^<]+)</key>\s*<string>([^<]*)</string>)");
  for (std::sregex_iterator it(plist.begin(), plist.end(), pair), end; it != end; ++it)
    keys[(*it)[1]] = (*it)[2];
  EXPECT_EQ(keys["CFBundlePackageType"], "eFKT");
  EXPECT_EQ(keys["CFBundleSignature"], "FXTC");
  EXPECT_EQ(keys["CFBundleExecutable"], "${MACOSX_BUNDLE_EXECUTABLE_NAME}");
  EXPECT_EQ(keys["CFBundleIdentifier"], "org.vizmira.Vizmira");
  // Versions come from the project, not typed twice.
  EXPECT_EQ(keys["CFBundleShortVersionString"], "${MACOSX_BUNDLE_SHORT_VERSION_STRING}");
  EXPECT_EQ(keys["CFBundleVersion"], "${MACOSX_BUNDLE_BUNDLE_VERSION}");

  EXPECT_EQ(ReadFile(source + "/cmake/PkgInfo"), Str("eFKTFXTC"));
}

}  // namespace
