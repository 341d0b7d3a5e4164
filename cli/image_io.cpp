#include "image_io.h"
#include "files.h"
#include "pixels.h"
#include "image_io_module.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>
#include <Imath/half.h>

#include <fcntl.h>
#include <unistd.h>
#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <memory>
#include <random>
#include <type_traits>
#include <vector>

namespace vzcli {

using minihost::HostError;
using minihost::World;
namespace fs = std::filesystem;

namespace {

// The image library and the format libraries below it print some errors themselves; while
// one of our calls runs, their output goes nowhere and their messages come back through
// geterror(), so that a failure is reported once, by us.
// (The fuzz build keeps stderr: a sanitizer's report must not go to /dev/null.)
// Silences standard error while the library runs; reads and writes on several threads share
// one silence, which ends with the last of them. The command's own messages do not go
// through descriptor 2 (cli/messages.h), so they are never lost to it.
class QuietStderr {
 public:
#ifdef VIZMIRA_KEEP_STDERR
  QuietStderr() {}
  ~QuietStderr() {}
#else
  QuietStderr() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (users_++ > 0) return;
    std::fflush(stderr);
    saved_ = ::dup(STDERR_FILENO);
    const int null = ::open("/dev/null", O_WRONLY);
    if (saved_ >= 0 && null >= 0) ::dup2(null, STDERR_FILENO);
    if (null >= 0) ::close(null);
  }
  ~QuietStderr() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--users_ > 0) return;
    std::fflush(stderr);
    if (saved_ >= 0) {
      ::dup2(saved_, STDERR_FILENO);
      ::close(saved_);
      saved_ = -1;
    }
  }
#endif
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;

 private:
  static inline std::mutex mutex_;
  static inline int users_ = 0;
  static inline int saved_ = -1;
};

// The first line of what the library says, with the temporary file's name replaced by the
// name the user gave.
std::string Reason(std::string text, const std::string& temp = {}, const std::string& path = {}) {
  if (!temp.empty())
    for (size_t at; (at = text.find(temp)) != std::string::npos;) text.replace(at, temp.size(), path);
  text = text.substr(0, text.find('\n'));
  OIIO::geterror();  // nothing left pending to be printed later
  return text.empty() ? "unknown error" : text;
}

// A PNG ends with its IEND chunk; without it the file was cut short, even when every row
// happens to be there.
bool PngComplete(const std::string& path) {
  static const unsigned char kIend[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  if (!f || f.tellg() < 12) return false;
  f.seekg(-12, std::ios::end);
  unsigned char tail[12];
  return bool(f.read(reinterpret_cast<char*>(tail), 12)) && std::memcmp(tail, kIend, 12) == 0;
}

// Every half value, by its bits, as the float the library makes of it.
std::vector<float> FloatsOfEveryHalf() {
  std::vector<uint16_t> bits(65536);
  for (size_t v = 0; v < bits.size(); ++v) bits[v] = uint16_t(v);
  std::vector<float> floats(bits.size());
  OIIO::convert_pixel_values(OIIO::TypeDesc::HALF, bits.data(), OIIO::TypeDesc::FLOAT, floats.data(),
                             int(bits.size()));
  return floats;
}

// Every half value on the host's scale, as a half file read as floats gives.
const std::array<uint16_t, 65536>& TableHalf() {
  static const auto table = [] {
    const std::vector<float> floats = FloatsOfEveryHalf();
    std::array<uint16_t, 65536> t{};
    for (size_t v = 0; v < t.size(); ++v) t[v] = uint16_t(HostOfFloat(floats[v]));
    return t;
  }();
  return table;
}

float Finite(float v) { return std::isfinite(v) ? v : 0.0f; }

// Every half value as a float layer holds it (0 for what is not a finite number), as a half
// file read as floats gives, without the library converting every value.
const std::array<float, 65536>& FloatOfHalf() {
  static const auto table = [] {
    const std::vector<float> floats = FloatsOfEveryHalf();
    std::array<float, 65536> t{};
    for (size_t v = 0; v < t.size(); ++v) t[v] = Finite(floats[v]);
    return t;
  }();
  return table;
}

}  // namespace

World ReadImage(const std::string& path, ReadAs as, int* file_depth) {
  QuietStderr quiet;
  auto in = OIIO::ImageInput::create(path);
  OIIO::ImageSpec layout, config;
  // Channel values pass straight: no multiplying colour by alpha on the way in.
  config.attribute("oiio:UnassociatedAlpha", 1);
  if (!in || !in->open(path, layout, config))
    throw HostError("cannot read " + path + ": " + Reason(in ? in->geterror() : OIIO::geterror()));
  const int w = layout.width, h = layout.height, nc = layout.nchannels;
  if (w <= 0 || h <= 0 || nc <= 0) throw HostError("cannot read " + path + ": empty image");
  // The host holds nothing larger; a file that says otherwise is refused before anything is
  // allocated for it.
  if (w > PF_MAX_WORLD_WIDTH || h > PF_MAX_WORLD_HEIGHT)
    throw HostError("cannot read " + path + ": " + std::to_string(w) + "x" + std::to_string(h) +
                    " is larger than " + std::to_string(PF_MAX_WORLD_WIDTH) + "x" +
                    std::to_string(PF_MAX_WORLD_HEIGHT));
  if (nc > 16) throw HostError("cannot read " + path + ": " + std::to_string(nc) + " channels");
  const OIIO::TypeDesc::BASETYPE base = OIIO::TypeDesc::BASETYPE(layout.format.basetype);
  const bool is8 = base == OIIO::TypeDesc::UINT8 || base == OIIO::TypeDesc::INT8;
  const bool is16 = base == OIIO::TypeDesc::UINT16 || base == OIIO::TypeDesc::INT16;
  const bool half = base == OIIO::TypeDesc::HALF;
  const size_t n = size_t(w) * h * nc;
  if (file_depth) *file_depth = is8 ? 8 : is16 || half ? 16 : 32;
  const bool floats = as == ReadAs::kFloat || (as == ReadAs::kStored && !is8 && !is16);
  // Half files are read as they are and mapped through a table of every half value.
  const OIIO::TypeDesc read_as = is8 ? OIIO::TypeDesc::UINT8
                                 : is16 ? OIIO::TypeDesc::UINT16
                                 : half ? OIIO::TypeDesc::HALF
                                        : OIIO::TypeDesc::FLOAT;
  World world = floats ? World::Float(w, h, 0, World::Pixels::kUnset) : World(w, h, !is8, 0, World::Pixels::kUnset);
  const int alpha = layout.alpha_channel >= 0 ? layout.alpha_channel : (nc == 2 ? 1 : nc >= 4 ? 3 : -1);
  const Interleaved from{w, h, nc, alpha};
  // The values read into a buffer of their type (not zeroed: every value is read into),
  // then onto the layer's scale through `host`.
  auto read = [&](auto* values, auto host) {
    if (!in->read_image(0, 0, 0, nc, read_as, values))
      throw HostError("cannot read " + path + ": " + Reason(in->geterror()));
    const bool png = std::strcmp(in->format_name(), "png") == 0;
    in->close();
    if (png && !PngComplete(path)) throw HostError("cannot read " + path + ": the file is cut short");
    using P = std::remove_pointer_t<decltype(values)>;
    if constexpr (std::is_same_v<decltype(host(values[0])), float>) Fill<PF_PixelFloat>(world, from, values, host);
    else if constexpr (std::is_same_v<P, uint8_t>) Fill<PF_Pixel>(world, from, values, host);
    else Fill<PF_Pixel16>(world, from, values, host);
  };
  if (floats) {
    // 8 bits ÷ 255, 16 bits on the host's scale ÷ 32768, half and float as stored.
    if (is8) {
      read(std::unique_ptr<uint8_t[]>(new uint8_t[n]).get(), [](uint8_t v) { return v / 255.0f; });
    } else if (is16) {
      const auto& table = HostOf16();
      read(std::unique_ptr<uint16_t[]>(new uint16_t[n]).get(), [&](uint16_t v) { return table[v] / 32768.0f; });
    } else if (half) {
      const auto& table = FloatOfHalf();
      read(std::unique_ptr<uint16_t[]>(new uint16_t[n]).get(), [&](uint16_t v) { return table[v]; });
    } else {
      read(std::unique_ptr<float[]>(new float[n]).get(), Finite);
    }
  } else if (is8) {
    read(std::unique_ptr<uint8_t[]>(new uint8_t[n]).get(), [](uint8_t v) { return int(v); });
  } else if (is16 || half) {
    const auto& table = is16 ? HostOf16() : TableHalf();
    read(std::unique_ptr<uint16_t[]>(new uint16_t[n]).get(), [&](uint16_t v) { return int(table[v]); });
  } else {
    read(std::unique_ptr<float[]>(new float[n]).get(), HostOfFloat);
  }
  return world;
}

namespace {

// The half, by its bits, that the library makes of every 16-bit value.
const std::array<uint16_t, 65536>& HalfOf16() {
  static const auto table = [] {
    std::array<uint16_t, 65536> all{}, t{};
    for (size_t v = 0; v < all.size(); ++v) all[v] = uint16_t(v);
    OIIO::convert_pixel_values(OIIO::TypeDesc::UINT16, all.data(), OIIO::TypeDesc::HALF, t.data(),
                               int(all.size()));
    return t;
  }();
  return table;
}

// The halves of n floats as the library makes them: rounded to the nearest, ties to even,
// by the processor's conversion where it has one (not a number through the library's own,
// whose bits may differ).
#if defined(__x86_64__)
[[gnu::target("f16c,avx")]] void HalvesFast(const float* in, uint16_t* out, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 v = _mm256_loadu_ps(in + i);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                     _mm256_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
    if (_mm256_movemask_ps(_mm256_cmp_ps(v, v, _CMP_UNORD_Q)))
      for (size_t k = i; k < i + 8; ++k)
        if (std::isnan(in[k])) out[k] = imath_float_to_half(in[k]);
  }
  for (; i < n; ++i) out[i] = imath_float_to_half(in[i]);
}

bool HasHalfConversion() {
  static const bool has = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __builtin_cpu_supports("avx") && __get_cpuid(1, &a, &b, &c, &d) && (c & bit_F16C) != 0;
  }();
  return has;
}
#endif

void Halves(const float* in, uint16_t* out, size_t n) {
#if defined(__x86_64__)
  if (HasHalfConversion()) return HalvesFast(in, out, n);
#endif
  for (size_t i = 0; i < n; ++i) out[i] = imath_float_to_half(in[i]);
}

// A float layer through `out`: as it is in float (32) or half (16 in EXR) files, else
// clamped to 0–1 and rounded to the file's whole numbers.
bool EmitFloat(OIIO::ImageOutput& out, const std::string& name, const World& world, int depth,
               OIIO::ImageSpec layout) {
  const bool exr = std::strcmp(out.format_name(), "openexr") == 0;
  const bool holdsFloat = exr || std::strcmp(out.format_name(), "tiff") == 0;
  if (depth == 32 && !holdsFloat) depth = 16;
  const OIIO::TypeDesc type = depth == 32       ? OIIO::TypeDesc::FLOAT
                              : depth == 16 && exr ? OIIO::TypeDesc::HALF
                              : depth == 16        ? OIIO::TypeDesc::UINT16
                                                   : OIIO::TypeDesc::UINT8;
  layout.set_format(type);
  if (!out.open(name, layout)) return false;
  const int w = world.width(), h = world.height(), nc = layout.nchannels;
  const size_t n = size_t(w) * size_t(h) * size_t(nc);
  // Every row of the picture interleaved as floats, then through `row_to` (row, values,
  // count) into the file's values.
  auto write = [&](auto* values, OIIO::TypeDesc as, auto row_to) {
    std::vector<float> row(size_t(w) * size_t(nc));
    for (int y = 0; y < h; ++y) {
      float* at = row.data();
      for (int x = 0; x < w; ++x, at += nc) {
        const PF_PixelFloat& p = world.at<PF_PixelFloat>(x, y);
        at[0] = p.red;
        at[1] = p.green;
        at[2] = p.blue;
        if (nc == 4) at[3] = p.alpha;
      }
      row_to(row.data(), values + size_t(y) * row.size(), row.size());
    }
    return out.write_image(as, values) && out.close();
  };
  // Each value of a row through `value`.
  auto each = [](auto value) {
    return [value](const float* row, auto* values, size_t count) {
      for (size_t i = 0; i < count; ++i) values[i] = value(row[i]);
    };
  };
  if (type == OIIO::TypeDesc::FLOAT)
    return write(std::unique_ptr<float[]>(new float[n]).get(), OIIO::TypeDesc::FLOAT,
                 each([](float v) { return v; }));
  if (type == OIIO::TypeDesc::HALF)  // made halves here, as the library would make them
    return write(std::unique_ptr<uint16_t[]>(new uint16_t[n]).get(), OIIO::TypeDesc::HALF, Halves);
  auto whole = [](float top) {
    return [top](float v) { return std::floor(std::clamp(v, 0.0f, 1.0f) * top + 0.5f); };
  };
  if (type == OIIO::TypeDesc::UINT16)
    return write(std::unique_ptr<uint16_t[]>(new uint16_t[n]).get(), OIIO::TypeDesc::UINT16,
                 each([&](float v) { return uint16_t(whole(65535.0f)(v)); }));
  return write(std::unique_ptr<uint8_t[]>(new uint8_t[n]).get(), OIIO::TypeDesc::UINT8,
               each([&](float v) { return uint8_t(whole(255.0f)(v)); }));
}

// Writes the picture through `out`, opened as `name`, at `depth` bits. False with the
// library's error left in `out`.
bool Emit(OIIO::ImageOutput& out, const std::string& name, const World& world, int depth,
          bool quick) {
  const int w = world.width(), h = world.height();
  const int nc = out.supports("alpha") ? 4 : 3;
  const bool deep_out = depth == 16;
  OIIO::ImageSpec layout(w, h, nc, deep_out ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8);
  if (nc == 4) layout.alpha_channel = 3;
  layout.attribute("oiio:UnassociatedAlpha", 1);  // and no dividing by it on the way out
  if (quick) {
    layout.attribute("compression", "zip:1");
    layout.attribute("png:compressionLevel", 1);
  }
  if (world.isFloat()) return EmitFloat(out, name, world, depth, layout);
  if (!out.open(name, layout)) return false;
  // EXR stores 16-bit values as half: the values go through a table of the library's own
  // conversion of each of them, folded into the table of file values, instead of through
  // floats per pixel.
  const bool half = deep_out && std::strcmp(out.format_name(), "openexr") == 0;
  std::vector<uint16_t> table = FileValues(world.deep(), depth);
  if (half)
    for (uint16_t& v : table) v = HalfOf16()[v];
  // Not zeroed: every value is written.
  const size_t n = size_t(w) * size_t(h) * size_t(nc);
  auto write = [&](auto* values, OIIO::TypeDesc type) {
    if (world.deep()) Interleave<PF_Pixel16>(world, nc, table, values);
    else Interleave<PF_Pixel>(world, nc, table, values);
    return out.write_image(type, values);
  };
  bool ok = deep_out ? write(std::unique_ptr<uint16_t[]>(new uint16_t[n]).get(),
                             half ? OIIO::TypeDesc::HALF : OIIO::TypeDesc::UINT16)
                     : write(std::unique_ptr<uint8_t[]>(new uint8_t[n]).get(), OIIO::TypeDesc::UINT8);
  if (ok) ok = out.close();
  return ok;
}

}  // namespace

void WriteImage(const World& world, const std::string& path, int depth, bool quick,
                bool replace) {
  QuietStderr quiet;
  const fs::path target(path);
  const fs::path temp = TemporaryBeside(target);
  auto out = OIIO::ImageOutput::create(path);
  if (!out) throw HostError("cannot write " + path + ": " + Reason(OIIO::geterror()));
  const bool ok = Emit(*out, temp.string(), world, depth, quick);
  std::error_code ec;
  if (ok) ec = MoveIntoPlace(temp, target, replace);
  if (!ok || ec) {
    const std::string why = !ok ? Reason(out->geterror(), temp.string(), path) : ec.message();
    const bool exists = ok && ec == std::errc::file_exists;
    fs::remove(temp, ec);
    if (exists) throw FileExists(path + " exists");
    throw HostError("cannot write " + path + ": " + why);
  }
}

std::string EncodeImage(const World& world, const std::string& format, int depth, bool quick) {
  QuietStderr quiet;
  const std::string name = "picture." + format;
  std::vector<unsigned char> bytes;
  OIIO::Filesystem::IOVecOutput memory(bytes);
  auto out = OIIO::ImageOutput::create(name, &memory);
  if (!out || !out->supports("ioproxy"))
    throw HostError("cannot encode " + format + " in memory");
  if (!Emit(*out, name, world, depth, quick))
    throw HostError("cannot encode " + format + ": " + Reason(out->geterror()));
  return std::string(bytes.begin(), bytes.end());
}

bool CanWrite(const std::string& path) {
  QuietStderr quiet;
  return OIIO::ImageOutput::create(path) != nullptr;
}

namespace {

bool TableRead(const char* path, int as, World* out, int* file_depth, std::string* error) {
  try {
    *out = ReadImage(path, ReadAs(as), file_depth);
    return true;
  } catch (const std::exception& e) {
    *error = e.what();
    return false;
  }
}

WriteOutcome TableWrite(const World& world, const char* path, int depth, bool quick, bool replace,
                        std::string* error) {
  try {
    WriteImage(world, path, depth, quick, replace);
    return WriteOutcome::kWritten;
  } catch (const FileExists& e) {
    *error = e.what();
    return WriteOutcome::kExists;
  } catch (const std::exception& e) {
    *error = e.what();
    return WriteOutcome::kFailed;
  }
}

bool TableCanWrite(const char* path) { return CanWrite(path); }

bool TableEncode(const World& world, const char* format, int depth, bool quick, std::string* bytes,
                 std::string* error) {
  try {
    *bytes = EncodeImage(world, format, depth, quick);
    return true;
  } catch (const std::exception& e) {
    *error = e.what();
    return false;
  }
}

}  // namespace
}  // namespace vzcli

extern "C" __attribute__((visibility("default"))) const vzcli::ImageIOTable* VizmiraImageIO() {
  static const vzcli::ImageIOTable table = {vzcli::kImageIOVersion, vzcli::TableRead,
                                            vzcli::TableWrite, vzcli::TableCanWrite,
                                            vzcli::TableEncode};
  return &table;
}
