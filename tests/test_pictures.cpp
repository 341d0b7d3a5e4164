// Pictures through the vizmira command: values kept exactly, the work depth written out,
// damaged files refused with one message and no output.
#include <OpenImageIO/imageio.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cli/image_io.h"
#include "cli_run.h"
#include "helpers.h"

namespace {

namespace fs = std::filesystem;
using vt::CliTest;
using vt::Vizmira;

using Pictures = CliTest;

// Channel values exactly as stored: 8 or 16 bits, RGBA, no association either way.
struct Raw {
  int width = 0, height = 0, channels = 0;
  std::vector<uint16_t> values;
};

bool WriteRaw(const std::string& path, const Raw& raw, OIIO::TypeDesc type) {
  auto out = OIIO::ImageOutput::create(path);
  if (!out) return false;
  OIIO::ImageSpec layout(raw.width, raw.height, raw.channels, type);
  layout.alpha_channel = raw.channels == 4 ? 3 : -1;
  layout.attribute("oiio:UnassociatedAlpha", 1);
  return out->open(path, layout) && out->write_image(OIIO::TypeDesc::UINT16, raw.values.data()) &&
         out->close();
}

Raw ReadRaw(const std::string& path, OIIO::TypeDesc as = OIIO::TypeDesc::UINT16) {
  Raw raw;
  auto in = OIIO::ImageInput::create(path);
  OIIO::ImageSpec layout, config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  if (!in || !in->open(path, layout, config)) return raw;
  raw.width = layout.width;
  raw.height = layout.height;
  raw.channels = layout.nchannels;
  raw.values.resize(size_t(raw.width) * raw.height * raw.channels);
  if (!in->read_image(0, 0, 0, raw.channels, as, raw.values.data())) raw.values.clear();
  return raw;
}

// Every alpha a straight-alpha round trip gets wrong, with colour in every pixel.
Raw AlphaCard(bool deep) {
  Raw raw{16, 10, 4, {}};
  std::mt19937 rng(5);
  const int alphas[] = {0, 1, 128, 254, 255};
  // 16-bit files hold the 32769 host levels as the tool writes them.
  auto level = [&](int v8) -> uint16_t {
    if (!deep) return uint16_t(v8 * 257);  // UINT16 data for an 8-bit file: v·257 is v
    const int host = (v8 * 32768 + 127) / 255 + int(rng() % 64);
    const int h = std::min(host, 32768);
    return uint16_t(std::min(65535, (h * 65535 + 16384) / 32768));
  };
  for (int y = 0; y < raw.height; ++y)
    for (int x = 0; x < raw.width; ++x) {
      const int colour[3] = {x == 0 ? 200 : int(rng() % 256), x == 0 ? 100 : int(rng() % 256),
                             x == 0 ? 50 : int(rng() % 256)};
      for (int c = 0; c < 3; ++c) raw.values.push_back(level(colour[c]));
      raw.values.push_back(level(alphas[(x + y) % 5]));
    }
  return raw;
}

TEST_F(Pictures, IdentityRenderKeepsEveryChannelOfEveryPixel) {
  const std::string identity = " --set Type=None --set 'Fast Blur/Visible=off'";
  for (const char* ext : {"png", "tif"}) {
    for (bool deep : {false, true}) {
      const std::string in = P(std::string("in") + (deep ? "16." : "8.") + ext);
      const std::string out = P(std::string("out") + (deep ? "16." : "8.") + ext);
      const Raw card = AlphaCard(deep);
      ASSERT_TRUE(WriteRaw(in, card, deep ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8));
      const vt::CliRun r = Vizmira("render " + in + " " + out + identity);
      ASSERT_EQ(r.status, 0) << r.out;
      const Raw back = ReadRaw(out);
      EXPECT_EQ(back.channels, 4) << out;
      EXPECT_TRUE(back.values == ReadRaw(in).values) << out;
      EXPECT_TRUE(back.values == card.values) << out;
    }
  }
}

TEST_F(Pictures, CustomLayerColoursSurviveUnderZeroAlpha) {
  // A custom layer whose alpha is 0 where its colour is bright: read straight, the lens
  // weights the colour; premultiplied on read, the colour would be lost and so the lens.
  Raw mask{8, 8, 4, {}};
  for (int i = 0; i < 64; ++i) mask.values.insert(mask.values.end(), {65535, 65535, 65535, 0});
  ASSERT_TRUE(WriteRaw(P("mask.png"), mask, OIIO::TypeDesc::UINT8));
  const Raw back = ReadRaw(P("mask.png"));
  ASSERT_EQ(back.values.size(), mask.values.size());
  EXPECT_EQ(back.values[0], 65535);  // our reader of the test agrees with what was written
  ASSERT_EQ(Vizmira("testcard " + P("card.png") + " --size 8x8").status, 0);
  const vt::CliRun r = Vizmira("render " + P("card.png") + " " + P("out.png") +
                               " --set Type=Custom --custom-layer " + P("mask.png"));
  EXPECT_EQ(r.status, 0) << r.out;
}

TEST_F(Pictures, ExrValuesPassStraightToo) {
  Raw exr{4, 2, 4, {}};
  for (int i = 0; i < 8; ++i) exr.values.insert(exr.values.end(), {32768, 16384, 65535, 0});
  ASSERT_TRUE(WriteRaw(P("in.exr"), exr, OIIO::TypeDesc::HALF));
  ASSERT_EQ(Vizmira("render " + P("in.exr") + " " + P("out.exr") +
                    " --set Type=None --set 'Fast Blur/Visible=off'").status, 0);
  const Raw back = ReadRaw(P("out.exr"));
  ASSERT_EQ(back.values.size(), exr.values.size());
  for (size_t i = 0; i < back.values.size(); ++i)
    EXPECT_NEAR(back.values[i], exr.values[i], 40) << i;  // half precision, no association
}

TEST_F(Pictures, SixteenBitWorkIsWrittenAtSixteenBits) {
  ASSERT_EQ(Vizmira("testcard " + P("card.png") + " --size 64x48").status, 0);
  ASSERT_EQ(Vizmira("render " + P("card.png") + " " + P("out.png") +
                    " --work-depth 16 --output-depth 16").status, 0);
  std::set<uint16_t> widened;  // the 16-bit values an 8-bit level becomes
  for (int v = 0; v < 256; ++v)
    widened.insert(uint16_t(std::min(65535, (((v * 32768 + 127) / 255) * 65535 + 16384) / 32768)));
  const Raw out = ReadRaw(P("out.png"));
  ASSERT_FALSE(out.values.empty());
  size_t finer = 0;
  for (uint16_t v : out.values) finer += widened.count(v) == 0;
  EXPECT_GT(finer, out.values.size() / 4);
}

// Float values of an RGBA file, as stored.
std::vector<float> ReadFloats(const std::string& path, OIIO::TypeDesc* stored = nullptr) {
  auto in = OIIO::ImageInput::create(path);
  OIIO::ImageSpec layout, config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  if (!in || !in->open(path, layout, config)) return {};
  if (stored) *stored = layout.format;
  std::vector<float> v(size_t(layout.width) * layout.height * layout.nchannels);
  if (!in->read_image(0, 0, 0, layout.nchannels, OIIO::TypeDesc::FLOAT, v.data())) v.clear();
  return v;
}

// Half and float files work at float unless told otherwise: light beyond white and below
// black comes back as it went in (not a number as 0), as float, as half, or clamped and
// rounded in an integer file.
TEST_F(Pictures, FloatFilesWorkAtFloatAndKeepTheirRange) {
  const std::vector<float> in = {2.5f, -0.5f, NAN, 1.0f, 0.25f, 1000.0f, INFINITY, 0.5f};
  OIIO::ImageSpec layout(2, 1, 4, OIIO::TypeDesc::FLOAT);
  layout.alpha_channel = 3;
  layout.attribute("oiio:UnassociatedAlpha", 1);
  auto out = OIIO::ImageOutput::create(P("in.exr"));
  ASSERT_TRUE(out && out->open(P("in.exr"), layout) && out->write_image(OIIO::TypeDesc::FLOAT, in.data()) &&
              out->close());
  const std::string identity = " --set Type=None --set 'Fast Blur/Visible=off'";
  ASSERT_EQ(Vizmira("render " + P("in.exr") + " " + P("out.exr") + identity).status, 0);
  OIIO::TypeDesc stored;
  const std::vector<float> back = ReadFloats(P("out.exr"), &stored);
  EXPECT_EQ(stored, OIIO::TypeDesc::FLOAT);
  const std::vector<float> finite = {2.5f, -0.5f, 0.0f, 1.0f, 0.25f, 1000.0f, 0.0f, 0.5f};
  EXPECT_EQ(back, finite);
  ASSERT_EQ(Vizmira("render " + P("in.exr") + " " + P("half.exr") + " --output-depth 16" + identity).status, 0);
  EXPECT_EQ(ReadFloats(P("half.exr"), &stored), finite);  // each value a half exactly
  EXPECT_EQ(stored, OIIO::TypeDesc::HALF);
  ASSERT_EQ(Vizmira("render " + P("in.exr") + " " + P("out.png") + identity).status, 0);
  const Raw png = ReadRaw(P("out.png"));
  EXPECT_EQ(png.values, (std::vector<uint16_t>{65535, 0, 0, 65535, 16384, 65535, 0, 32768}));
  // Told 16 bits, the file is read as before: clamped to white.
  ASSERT_EQ(Vizmira("render " + P("in.exr") + " " + P("work16.exr") + " --work-depth 16" + identity).status, 0);
  EXPECT_EQ(ReadFloats(P("work16.exr"))[0], 1.0f);
}

// 8- and 16-bit files worked at float come back as they were.
TEST_F(Pictures, IntegerFilesRoundTripThroughFloatWork) {
  const std::string identity = " --set Type=None --set 'Fast Blur/Visible=off' --work-depth 32";
  for (bool deep : {false, true}) {
    const std::string in = P(deep ? "in16.png" : "in8.png"), out = P(deep ? "out16.png" : "out8.png");
    ASSERT_TRUE(WriteRaw(in, AlphaCard(deep), deep ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8));
    const vt::CliRun r = Vizmira("render " + in + " " + out + identity);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(ReadRaw(out).values == ReadRaw(in).values) << out;
  }
}

// The float card's highlights lie above white, and a realistic blur opens them into discs
// that stay above white.
TEST_F(Pictures, FloatCardMakesBokehBrighterThanWhite) {
  ASSERT_EQ(Vizmira("testcard " + P("card.exr") + " --depth 32 --size 160x90").status, 0);
  auto brighter = [](const std::vector<float>& v) {
    size_t n = 0;
    for (size_t i = 0; i < v.size(); i += 4) n += v[i] > 1.0f;
    return n;
  };
  const size_t highlights = brighter(ReadFloats(P("card.exr")));
  EXPECT_GT(highlights, 0u);
  ASSERT_EQ(Vizmira("render " + P("card.exr") + " " + P("bokeh.exr") +
                    " --set 'Fast Blur/Visible=off' --set 'Realistic Blur  [very slow]/Amount=4' --set Scale=400")
                .status, 0);
  EXPECT_GT(brighter(ReadFloats(P("bokeh.exr"))), 2 * highlights);
}

// A 16.0 highlight on black, through the realistic blur: a disc above white in the EXR.
TEST_F(Pictures, HighlightOfSixteenOpensIntoADiscAboveWhite) {
  constexpr int W = 41;
  std::vector<float> in(size_t(W) * W * 4, 0.0f);
  for (size_t i = 3; i < in.size(); i += 4) in[i] = 1.0f;  // opaque black
  for (int c = 0; c < 3; ++c) in[(size_t(20) * W + 20) * 4 + size_t(c)] = 16.0f;
  OIIO::ImageSpec layout(W, W, 4, OIIO::TypeDesc::FLOAT);
  layout.alpha_channel = 3;
  auto out = OIIO::ImageOutput::create(P("dot.exr"));
  ASSERT_TRUE(out && out->open(P("dot.exr"), layout) && out->write_image(OIIO::TypeDesc::FLOAT, in.data()) &&
              out->close());
  ASSERT_EQ(Vizmira("render " + P("dot.exr") + " " + P("disc.exr") + " --set 'Fast Blur/Visible=off'" +
                    " --set 'Realistic Blur  [very slow]/Amount=6' --set Scale=400").status, 0);
  const std::vector<float> disc = ReadFloats(P("disc.exr"));
  ASSERT_EQ(disc.size(), in.size());
  int above = 0;
  for (size_t i = 0; i < disc.size(); i += 4) above += disc[i] > 1.0f;
  EXPECT_GT(above, 50);                       // a disc of radius 6, not a dot
  EXPECT_EQ(disc[(size_t(20) * W + 20) * 4], 16.0f);  // lit by the highlight alone
  EXPECT_EQ(disc[0], 0.0f);                   // beyond the disc, black stays black
}

TEST_F(Pictures, CutFilesEndWithOneMessageAndNoOutput) {
  for (const char* ext : {"png", "tif", "exr"}) {
    const std::string card = P(std::string("card.") + ext);
    ASSERT_EQ(Vizmira("testcard " + card + " --size 64x48").status, 0);
    std::ifstream f(card, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    for (int percent : {10, 50, 99}) {
      const std::string cut = P("cut" + std::to_string(percent) + "." + ext);
      std::ofstream(cut, std::ios::binary) << bytes.substr(0, bytes.size() * size_t(percent) / 100);
      for (bool as_layer : {false, true}) {
        const std::string args = as_layer ? "render " + card + " " + P("out.png") +
                                                " --set Type=Custom --custom-layer " + cut
                                          : "render " + cut + " " + P("out.png");
        const vt::CliRun r = Vizmira(args);
        EXPECT_EQ(r.status, 3) << args << "\n" << r.out;
        EXPECT_FALSE(fs::exists(P("out.png"))) << args;
        EXPECT_EQ(r.out.rfind("vizmira: cannot read " + cut + ": ", 0), 0u) << r.out;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
      }
    }
  }
}

TEST_F(Pictures, PicturesLargerThanTheHostHoldsAreRefused) {
  Raw wide{30001, 1, 3, std::vector<uint16_t>(30001 * 3, 0)};
  ASSERT_TRUE(WriteRaw(P("wide.png"), wide, OIIO::TypeDesc::UINT8));
  const vt::CliRun r = Vizmira("render " + P("wide.png") + " " + P("out.png"));
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.out.find("30001x1 is larger than 30000x30000"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(P("out.png")));
}

// The preview's pictures are encoded in memory: the very file the writer would write.
TEST_F(Pictures, EncodedInMemoryAsWrittenToAFile) {
  for (const bool deep : {false, true}) {
    const vt::World w = vt::RandomWorld(33, 21, deep, 5);
    for (const bool quick : {false, true}) {
      vzcli::WriteImage(w, P("file.png"), deep ? 16 : 8, quick);
      EXPECT_EQ(vzcli::EncodeImage(w, "png", deep ? 16 : 8, quick), Bytes("file.png")) << deep << quick;
    }
  }
  EXPECT_THROW(vzcli::EncodeImage(vt::RandomWorld(2, 2, false, 1), "nonesuch", 8), minihost::HostError);
}

// 16-bit values bound for a half file are converted through a table: the halves are the
// ones the image library makes of the same values, for every host value.
TEST_F(Pictures, HalfFilesHoldTheLibrarysHalves) {
  vt::World w(256, 129, true);  // 33024 pixels: every host value 0..32768 in red
  for (int i = 0; i < 256 * 129; ++i)
    w.Set(i % 256, i / 256, 32768 - std::min(i, 32768), std::min(i, 32768), i % 7, 0);
  vzcli::WriteImage(w, P("ours.exr"), 16);
  std::vector<uint16_t> values(size_t(256) * 129 * 4);
  for (int i = 0; i < 256 * 129; ++i) {
    const auto argb = w.Get(i % 256, i / 256);
    for (int c = 0; c < 4; ++c)
      values[size_t(i) * 4 + size_t(c)] =
          uint16_t(std::min<int64_t>(65535, (int64_t(argb[size_t((c + 1) % 4)]) * 65535 + 16384) / 32768));
  }
  OIIO::ImageSpec header(256, 129, 4, OIIO::TypeDesc::UINT16);
  header.alpha_channel = 3;
  header.attribute("oiio:UnassociatedAlpha", 1);
  auto out = OIIO::ImageOutput::create(P("library.exr"));
  ASSERT_TRUE(out && out->open(P("library.exr"), header) &&
              out->write_image(OIIO::TypeDesc::UINT16, values.data()) && out->close());
  auto halves = [](const std::string& path) {
    auto in = OIIO::ImageInput::open(path);
    std::vector<uint16_t> bits(size_t(256) * 129 * 4);
    EXPECT_TRUE(in && in->read_image(0, 0, 0, 4, OIIO::TypeDesc::HALF, bits.data()));
    return bits;
  };
  EXPECT_TRUE(halves(P("ours.exr")) == halves(P("library.exr")));
}

// A float layer written as half holds the halves the library makes of its floats, bit for bit:
// floats spread over every exponent and sign, halfway cases between halves, not-a-numbers
// and infinities among them.
TEST_F(Pictures, FloatsWrittenAsHalvesAreTheLibrarysHalves) {
  constexpr int W = 1024, H = 512;
  std::vector<float> values;  // red, green, blue, alpha
  for (uint32_t i = 0; values.size() < size_t(W) * H * 4; ++i) {
    const uint32_t bits = i * 2654435761u;  // every sign and exponent
    float f;
    std::memcpy(&f, &bits, sizeof f);
    values.push_back(f);
    const uint32_t tie = (uint32_t(i % 65536) << 13) | 0x1000u;  // halfway between two halves
    std::memcpy(&f, &tie, sizeof f);
    values.push_back(i % 2 ? f : -f);
  }
  values[0] = NAN;
  values[1] = INFINITY;
  values[2] = -65520.0f;
  values[3] = 65519.0f;
  minihost::World w = minihost::World::Float(W, H);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const float* v = &values[(size_t(y) * W + x) * 4];
      w.at<PF_PixelFloat>(x, y) = PF_PixelFloat{v[3], v[0], v[1], v[2]};
    }
  vzcli::WriteImage(w, P("ours.exr"), 16);
  OIIO::ImageSpec header(W, H, 4, OIIO::TypeDesc::HALF);
  header.alpha_channel = 3;
  header.attribute("oiio:UnassociatedAlpha", 1);
  auto out = OIIO::ImageOutput::create(P("library.exr"));
  ASSERT_TRUE(out && out->open(P("library.exr"), header) &&
              out->write_image(OIIO::TypeDesc::FLOAT, values.data()) && out->close());
  const Raw ours = ReadRaw(P("ours.exr"), OIIO::TypeDesc::HALF), library = ReadRaw(P("library.exr"), OIIO::TypeDesc::HALF);
  ASSERT_EQ(ours.values.size(), values.size());
  EXPECT_TRUE(ours.values == library.values);
}

// A half file read at float gives each half as the float the library makes of it, and 0 for
// what is not a finite number: every half value.
TEST_F(Pictures, HalvesReadAtFloatAreTheLibrarysFloats) {
  Raw raw{256, 64, 4, {}};
  for (uint32_t v = 0; v < 65536; ++v) raw.values.push_back(uint16_t(v));
  OIIO::ImageSpec header(raw.width, raw.height, 4, OIIO::TypeDesc::HALF);
  header.alpha_channel = 3;
  header.attribute("oiio:UnassociatedAlpha", 1);
  auto out = OIIO::ImageOutput::create(P("every.exr"));
  ASSERT_TRUE(out && out->open(P("every.exr"), header) &&
              out->write_image(OIIO::TypeDesc::HALF, raw.values.data()) && out->close());
  const std::vector<float> library = ReadFloats(P("every.exr"));
  const minihost::World w = vzcli::ReadImage(P("every.exr"), vzcli::ReadAs::kFloat);
  ASSERT_TRUE(w.isFloat());
  for (int i = 0; i < 65536 / 4; ++i) {
    const PF_PixelFloat& p = w.at<PF_PixelFloat>(i % 256, i / 256);
    const float got[4] = {p.red, p.green, p.blue, p.alpha};
    for (int c = 0; c < 4; ++c) {
      const float want = std::isfinite(library[size_t(i) * 4 + c]) ? library[size_t(i) * 4 + c] : 0.0f;
      ASSERT_EQ(std::memcmp(&got[c], &want, sizeof want), 0) << "half " << i * 4 + c;
    }
  }
}

TEST_F(Pictures, WriteFailuresNameTheUsersPath) {
  ASSERT_EQ(Vizmira("testcard " + P("card.png") + " --size 8x8").status, 0);
  const vt::CliRun r = Vizmira("render " + P("card.png") + " " + P("nodir/out.png"));
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out.rfind("vizmira: cannot write " + P("nodir/out.png") + ": ", 0), 0u) << r.out;
  EXPECT_EQ(r.out.find(".vizmira-"), std::string::npos) << r.out;
}

}  // namespace
