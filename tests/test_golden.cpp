// Stored reference pictures: every folder of tests/golden holds the settings of a scenario
// and the pictures the command made of the stored inputs with them, at 8 and 16 bits
// (expected-8.tif, expected-16.tif; the custom layer is the other depth's input). Each render
// must equal its picture pixel for pixel; a difference is named by its first pixel.
// VIZMIRA_WRITE_GOLDENS=1 writes this build's pictures in their place instead.
#include <OpenImageIO/imageio.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <vector>

#include "cli_run.h"

namespace {

namespace fs = std::filesystem;

struct Picture {
  int width = 0, height = 0, channels = 0, bits = 0;
  std::vector<uint16_t> values;  // as stored, row by row
};

Picture Read(const fs::path& path) {
  Picture p;
  auto in = OIIO::ImageInput::create(path.string());
  OIIO::ImageSpec layout, config;
  config.attribute("oiio:UnassociatedAlpha", 1);  // the values as stored
  if (!in || !in->open(path.string(), layout, config)) return p;
  p.width = layout.width, p.height = layout.height, p.channels = layout.nchannels;
  p.bits = layout.format == OIIO::TypeDesc::UINT8 ? 8 : 16;
  p.values.resize(size_t(layout.width) * size_t(layout.height) * size_t(layout.nchannels));
  if (!in->read_image(0, 0, 0, layout.nchannels, OIIO::TypeDesc::UINT16, p.values.data()))
    p.values.clear();
  return p;
}

// Empty where the two are the same; else what differs first.
std::string FirstDifference(const Picture& want, const Picture& got) {
  std::ostringstream why;
  if (got.values.empty()) return "the render could not be read";
  if (want.width != got.width || want.height != got.height || want.channels != got.channels ||
      want.bits != got.bits) {
    why << want.width << "x" << want.height << "x" << want.channels << " at " << want.bits
        << " bits expected, " << got.width << "x" << got.height << "x" << got.channels << " at "
        << got.bits << " rendered";
    return why.str();
  }
  const char* names = "RGBA";
  for (size_t i = 0; i < want.values.size(); ++i) {
    if (want.values[i] == got.values[i]) continue;
    const size_t pixel = i / size_t(want.channels);
    // Read as 16 bits: an 8-bit value v reads as v * 257.
    const int scale = want.bits == 8 ? 257 : 1;
    why << "pixel (" << pixel % size_t(want.width) << ", " << pixel / size_t(want.width) << ") "
        << names[i % size_t(want.channels)] << ": " << want.values[i] / scale << " expected, "
        << got.values[i] / scale << " rendered";
    return why.str();
  }
  return "";
}

class Golden : public vt::CliTest {};

TEST_F(Golden, EveryScenarioRendersItsStoredPictures) {
  const fs::path root = fs::path(VIZMIRA_SOURCE_DIR) / "tests" / "golden";
  const bool write = std::getenv("VIZMIRA_WRITE_GOLDENS") != nullptr;
  int compared = 0;
  for (const auto& entry : fs::directory_iterator(root)) {
    const fs::path settings = entry.path() / "settings.json";
    if (!fs::exists(settings)) continue;
    const std::string name = entry.path().filename().string();
    for (const char* depth : {"8", "16"}) {
      const std::string other = std::string(depth) == "8" ? "16" : "8";
      const fs::path expected = entry.path() / ("expected-" + std::string(depth) + ".tif");
      const std::string out = P(name + "-" + depth + ".tif");
      const vt::CliRun run = vt::Vizmira(
          "render " + (root / ("input-" + std::string(depth) + ".png")).string() + " " + out +
          " --settings " + settings.string() + " --custom-layer " +
          (root / ("input-" + other + ".png")).string());
      ASSERT_EQ(run.status, 0) << name << " at " << depth << " bits: " << run.out;
      if (write) {
        fs::copy_file(out, expected, fs::copy_options::overwrite_existing);
        continue;
      }
      ASSERT_TRUE(fs::exists(expected)) << expected.string() << " is missing";
      EXPECT_EQ(FirstDifference(Read(expected), Read(out)), "") << name << " at " << depth << " bits";
      ++compared;
    }
  }
  if (!write) {
    EXPECT_GE(compared, 24);  // every folder, both depths
  }
}

}  // namespace
