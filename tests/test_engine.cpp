// Whole renders of a fixed set of scenarios — every treatment, both depths, blur maps, a
// custom layer, pictures of one pixel, one row, one column, an odd size and one tall enough
// for several bands of rows — compared with the pictures of the plain per-pixel engine, at
// 1, 2 and 5 threads. The reference digests
// were recorded from the module as it stood before any stage ran in bands (commit db6ce63,
// every stage through the host's per-pixel iterate); set VIZMIRA_PRINT_DIGESTS=1 to print
// this build's digests in the table's form.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "helpers.h"

namespace {

using vt::World;
using Settings = std::vector<std::pair<std::string, std::string>>;

struct Scenario {
  const char* name;
  Settings settings;
  bool custom = false;
};

const Scenario kScenarios[] = {
    {"defaults", {}},
    {"fastblur_map", {{"Fast Blur/Amount", "3"}, {"Fast Blur/Use Lens as Blur Map", "on"},
                      {"Feather", "40"}}},
    {"iris", {{"Fast Blur/Visible", "off"}, {"Type", "Triangle"},
              {"Realistic Blur  [very slow]/Amount", "6"}}},
    {"iris_whole", {{"Fast Blur/Visible", "off"}, {"Type", "None"},
                    {"Realistic Blur  [very slow]/Amount", "5"}}},
    {"iris_wide", {{"Fast Blur/Visible", "off"}, {"Type", "None"},
                   {"Realistic Blur  [very slow]/Amount", "12"}, {"Iris Sides", "Triangle"}}},
    {"iris_map", {{"Fast Blur/Visible", "off"}, {"Realistic Blur  [very slow]/Amount", "4"},
                  {"Realistic Blur  [very slow]/Use Lens as Blur Map", "on"}, {"Feather", "40"}}},
    {"distortion", {{"Fast Blur/Visible", "off"}, {"Optical Distortion/Amount", "60"}}},
    {"trail", {{"Fast Blur/Visible", "off"}, {"Trail/Amount", "40"}, {"Feather", "20"}}},
    {"directional", {{"Fast Blur/Visible", "off"}, {"Directional Blur/Amount", "6"},
                     {"Type", "Rectangle  l"}}},
    {"colour", {{"Fast Blur/Visible", "off"}, {"Lightness/Amount", "25"},
                {"Color/Opacity", "20"}, {"Red/Cyan", "30"}, {"Blue/Yellow", "15"},
                {"MODE", "Screen"}, {"INTENSITY", "70"}}},
    {"everything", {{"Type", "Triangle"}, {"Feather", "40"}, {"Fast Blur/Amount", "8"},
                    {"Realistic Blur  [very slow]/Amount", "6"},
                    {"Optical Distortion/Amount", "60"}, {"Trail/Amount", "40"},
                    {"Directional Blur/Amount", "6"}, {"Lightness/Amount", "25"},
                    {"Color/Opacity", "20"}, {"Red/Cyan", "30"}, {"Blue/Yellow", "15"},
                    {"MODE", "Screen"}}},
    {"custom", {{"Type", "Custom"}, {"Fast Blur/Amount", "2"}, {"Lightness/Amount", "-40"},
                {"MODE", "Multiply"}}, true},
    {"whole", {{"Type", "None"}, {"Fast Blur/Amount", "5"}}},
};

const std::pair<int, int> kSizes[] = {{1, 1}, {1, 9}, {9, 1}, {37, 23}, {23, 70}};

// FNV-1a over every channel of every pixel, in reading order.
uint64_t Digest(const World& w) {
  uint64_t h = 1469598103934665603ull;
  for (int y = 0; y < w.height(); ++y)
    for (int x = 0; x < w.width(); ++x)
      for (int c : w.Get(x, y)) {
        for (int b = 0; b < 2; ++b) {
          h ^= uint64_t((c >> (8 * b)) & 0xff);
          h *= 1099511628211ull;
        }
      }
  return h;
}

// Recorded from the per-pixel engine (see the top of the file).
const std::map<std::string, uint64_t> kReference = {
    {"defaults/8/1x1", 0xe344fdd33e69d0e1ull},
    {"defaults/8/1x9", 0xa51ae81a651720aaull},
    {"defaults/8/9x1", 0x3d1490df6ccd63e2ull},
    {"defaults/8/37x23", 0x08f3ed9d97e68ea4ull},
    {"defaults/8/23x70", 0xd3064a0e4553dd69ull},
    {"defaults/16/1x1", 0xfa94cd9e66554718ull},
    {"defaults/16/1x9", 0xf367c560ab33ed6eull},
    {"defaults/16/9x1", 0x67cbeed9d687b204ull},
    {"defaults/16/37x23", 0xecf7554807b2b1faull},
    {"defaults/16/23x70", 0xe5e637683288ae41ull},
    {"fastblur_map/8/1x1", 0xe344fdd33e69d0e1ull},
    {"fastblur_map/8/1x9", 0x17dcf4ae154671efull},
    {"fastblur_map/8/9x1", 0x38db7110576e0c2eull},
    {"fastblur_map/8/37x23", 0xd1c74acade94d039ull},
    {"fastblur_map/8/23x70", 0x086ac51066da5d1eull},
    {"fastblur_map/16/1x1", 0xfa94cd9e66554718ull},
    {"fastblur_map/16/1x9", 0x8e38c96ac2e593a9ull},
    {"fastblur_map/16/9x1", 0x48dec7c908a5be24ull},
    {"fastblur_map/16/37x23", 0x782a1dadfefe5bd2ull},
    {"fastblur_map/16/23x70", 0x47ce23fbf33cf5d8ull},
    {"iris/8/1x1", 0xe344fdd33e69d0e1ull},
    {"iris/8/1x9", 0x4fce67f36e9161b6ull},
    {"iris/8/9x1", 0xafb6668955a07c33ull},
    {"iris/8/37x23", 0xcad657ea9d70ff9cull},
    {"iris/8/23x70", 0x9f904bd66c85039full},
    {"iris/16/1x1", 0xfa94cd9e66554718ull},
    {"iris/16/1x9", 0xe2557595ae56a79dull},
    {"iris/16/9x1", 0xa5bed29f173c2b63ull},
    {"iris/16/37x23", 0x713bbd8d5af91829ull},
    {"iris/16/23x70", 0xfd5def5a3be8f8f1ull},
    {"iris_whole/8/1x1", 0xe344fdd33e69d0e1ull},
    {"iris_whole/8/1x9", 0x3c73ed0635dca5fdull},
    {"iris_whole/8/9x1", 0x36843d0d2cd2120dull},
    {"iris_whole/8/37x23", 0xe9f38c4526afdd2full},
    {"iris_whole/8/23x70", 0x4ea86e5e56a8cb57ull},
    {"iris_whole/16/1x1", 0xfa94cd9e66554718ull},
    {"iris_whole/16/1x9", 0x75d957b1e48dfeeaull},
    {"iris_whole/16/9x1", 0x8667d5a8b2b85b73ull},
    {"iris_whole/16/37x23", 0x01ece38756bc3708ull},
    {"iris_whole/16/23x70", 0x42ee311ebc05bb51ull},
    {"iris_wide/8/1x1", 0xe344fdd33e69d0e1ull},
    {"iris_wide/8/1x9", 0x0bec30f841b69ff6ull},
    {"iris_wide/8/9x1", 0x0f323661e8cff601ull},
    {"iris_wide/8/37x23", 0xe579a7680b632478ull},
    {"iris_wide/8/23x70", 0x2481b9ff45f88a57ull},
    {"iris_wide/16/1x1", 0xfa94cd9e66554718ull},
    {"iris_wide/16/1x9", 0x200c99b9194e28baull},
    {"iris_wide/16/9x1", 0x3a4395e5ce766fd6ull},
    {"iris_wide/16/37x23", 0x902e117e1ecef86dull},
    {"iris_wide/16/23x70", 0x78b745316a53a73bull},
    {"iris_map/8/1x1", 0xe344fdd33e69d0e1ull},
    {"iris_map/8/1x9", 0x1d63a32e6dfdcab7ull},
    {"iris_map/8/9x1", 0x8e74228703d38ddfull},
    {"iris_map/8/37x23", 0x0059ed3fee6b602cull},
    {"iris_map/8/23x70", 0xca2fe110ee26945full},
    {"iris_map/16/1x1", 0xeedf69d657c14515ull},
    {"iris_map/16/1x9", 0x290c6578bff6c33bull},
    {"iris_map/16/9x1", 0x2ac1a6791137de17ull},
    {"iris_map/16/37x23", 0x3e0694eca23030c4ull},
    {"iris_map/16/23x70", 0x10d6b5b86c924dadull},
    {"distortion/8/1x1", 0xe344fdd33e69d0e1ull},
    {"distortion/8/1x9", 0xbe078a4d4a0435afull},
    {"distortion/8/9x1", 0x446b9f6a424e7497ull},
    {"distortion/8/37x23", 0xe5aa3f2f223b304full},
    {"distortion/8/23x70", 0x6f066fab68cb0e2bull},
    {"distortion/16/1x1", 0xfa94cd9e66554718ull},
    {"distortion/16/1x9", 0xb11e486913974c6cull},
    {"distortion/16/9x1", 0x6403a23520973f8aull},
    {"distortion/16/37x23", 0x33a718f22be39b9aull},
    {"distortion/16/23x70", 0xa90ea7ca7e30d255ull},
    {"trail/8/1x1", 0xe344fdd33e69d0e1ull},
    {"trail/8/1x9", 0x511286cbc73a0869ull},
    {"trail/8/9x1", 0x5d4e4200b20dbb55ull},
    {"trail/8/37x23", 0x0360cf89a3cf79e8ull},
    {"trail/8/23x70", 0x0f4b032046227709ull},
    {"trail/16/1x1", 0xfa94cd9e66554718ull},
    {"trail/16/1x9", 0x674dca46605f28abull},
    {"trail/16/9x1", 0x4a943ae693b58080ull},
    {"trail/16/37x23", 0x3489084522119611ull},
    {"trail/16/23x70", 0xe57dedd6998a5b9bull},
    {"directional/8/1x1", 0xe344fdd33e69d0e1ull},
    {"directional/8/1x9", 0x4474c16a5cf9b693ull},
    {"directional/8/9x1", 0x44aa18a1d03f6fe5ull},
    {"directional/8/37x23", 0x7b0cccf8381b0d3dull},
    {"directional/8/23x70", 0x97b40de81e544b40ull},
    {"directional/16/1x1", 0xfa94cd9e66554718ull},
    {"directional/16/1x9", 0x85719f0b3db286c9ull},
    {"directional/16/9x1", 0xa338b3ba4cc6379cull},
    {"directional/16/37x23", 0x0e6172b43434ab04ull},
    {"directional/16/23x70", 0x3c201c60e1513d1dull},
    {"colour/8/1x1", 0x8e347f33ed6137c6ull},
    {"colour/8/1x9", 0xbcf915ffbad38acdull},
    {"colour/8/9x1", 0x577cfd9adbfb0a0dull},
    {"colour/8/37x23", 0x1bbd2408a3c1e1b3ull},
    {"colour/8/23x70", 0x1efd3eda531a999cull},
    {"colour/16/1x1", 0x5d2c6a33ccdd4a59ull},
    {"colour/16/1x9", 0x9fbb109580db4f2aull},
    {"colour/16/9x1", 0x4247f8c1232fb4bdull},
    {"colour/16/37x23", 0xe18dd212ef9231bcull},
    {"colour/16/23x70", 0x42b9cd2a1bd87433ull},
    {"everything/8/1x1", 0xc24ffe8eed61f4deull},
    {"everything/8/1x9", 0xdcf0eaf76e2084e9ull},
    {"everything/8/9x1", 0xdb858250f0b22ca8ull},
    {"everything/8/37x23", 0x49e23c4fdd965965ull},
    {"everything/8/23x70", 0xba3ccc113b01450dull},
    {"everything/16/1x1", 0x00e902966ef2c7abull},
    {"everything/16/1x9", 0x1a6ecbd6750ba3c6ull},
    {"everything/16/9x1", 0x7781255a6aed3abbull},
    {"everything/16/37x23", 0xbf8063e72c0f3ddaull},
    {"everything/16/23x70", 0x4471fdd7bcf97e51ull},
    {"custom/8/1x1", 0xfa496ef8a155b800ull},
    {"custom/8/1x9", 0x37f6294853930ef4ull},
    {"custom/8/9x1", 0xbd2ab92fcdece3d2ull},
    {"custom/8/37x23", 0x01726807cbcf8744ull},
    {"custom/8/23x70", 0x8ef18c24a7aba45eull},
    {"custom/16/1x1", 0xac29a351c922b43dull},
    {"custom/16/1x9", 0xf4a8ee571507014dull},
    {"custom/16/9x1", 0xd57ad7cb7bcde78dull},
    {"custom/16/37x23", 0x21c183fe1523b474ull},
    {"custom/16/23x70", 0xe68ca1a51b37c654ull},
    {"whole/8/1x1", 0xe344fdd33e69d0e1ull},
    {"whole/8/1x9", 0x8fa02423fcb760a5ull},
    {"whole/8/9x1", 0xd604b3afe679c711ull},
    {"whole/8/37x23", 0xfd04ab65d73d9c05ull},
    {"whole/8/23x70", 0x20f8f361e9f11e64ull},
    {"whole/16/1x1", 0xfa94cd9e66554718ull},
    {"whole/16/1x9", 0x7224e80c07f811a4ull},
    {"whole/16/9x1", 0x42df2ce98f22c2efull},
    {"whole/16/37x23", 0xbe0a54313038ac4cull},
    {"whole/16/23x70", 0x4ebf7f24ecc1d237ull},
};

TEST(Engine, EveryScenarioEqualsThePerPixelEngineAtEveryThreadCount) {
  const bool print = std::getenv("VIZMIRA_PRINT_DIGESTS") != nullptr;
  for (const Scenario& s : kScenarios)
    for (bool deep : {false, true})
      for (const auto& [w, h] : kSizes) {
        const std::string key = std::string(s.name) + "/" + (deep ? "16" : "8") + "/" +
                                std::to_string(w) + "x" + std::to_string(h);
        const World input = vt::RandomWorld(w, h, deep, uint32_t(w * 131 + h));
        const World custom = vt::RandomWorld(w, h, !deep, uint32_t(w + h * 7));
        uint64_t first = 0;
        for (int threads : {1, 2, 5}) {
          auto host = vt::LoadedHost();
          host->SetThreads(threads);
          for (const auto& [k, v] : s.settings) vt::Set(*host, k, v);
          World out(w, h, deep);
          ASSERT_EQ(host->Render(input, out, s.custom ? &custom : nullptr), PF_Err_NONE) << key;
          const uint64_t d = Digest(out);
          if (threads == 1) first = d;
          EXPECT_EQ(d, first) << key << " at " << threads << " threads";
        }
        if (print) {
          std::printf("    {\"%s\", 0x%016llxull},\n", key.c_str(), (unsigned long long)first);
          continue;
        }
        const auto it = kReference.find(key);
        ASSERT_NE(it, kReference.end()) << key << " has no reference digest";
        EXPECT_EQ(first, it->second) << key;
      }
}

}  // namespace
