#include "preview.h"

#include <filesystem>

#include "files.h"
#include "image_io.h"
#include "preset.h"

namespace vzcli {

namespace fs = std::filesystem;
using minihost::Control;
using minihost::HostError;
using minihost::World;

namespace {

// A picture 1/k the size: each pixel the mean of its k × k block, rounded.
World Downscale(const World& full, int k) {
  const A_long w = std::max<A_long>(1, full.width() / k), h = std::max<A_long>(1, full.height() / k);
  if (full.isFloat()) {  // the mean of each k × k block
    World out = World::Float(w, h);
    for (A_long y = 0; y < h; ++y)
      for (A_long x = 0; x < w; ++x) {
        double sum[4] = {};
        long n = 0;
        for (A_long j = y * k; j < std::min<A_long>(full.height(), (y + 1) * k); ++j)
          for (A_long i = x * k; i < std::min<A_long>(full.width(), (x + 1) * k); ++i, ++n) {
            const PF_PixelFloat& p = full.at<PF_PixelFloat>(i, j);
            sum[0] += p.alpha, sum[1] += p.red, sum[2] += p.green, sum[3] += p.blue;
          }
        out.at<PF_PixelFloat>(x, y) = PF_PixelFloat{float(sum[0] / n), float(sum[1] / n),
                                                    float(sum[2] / n), float(sum[3] / n)};
      }
    return out;
  }
  World out(w, h, full.deep());
  for (A_long y = 0; y < h; ++y)
    for (A_long x = 0; x < w; ++x) {
      std::array<long, 4> sum{};
      long n = 0;
      for (A_long j = y * k; j < std::min<A_long>(full.height(), (y + 1) * k); ++j)
        for (A_long i = x * k; i < std::min<A_long>(full.width(), (x + 1) * k); ++i) {
          const auto p = full.Get(i, j);
          for (int c = 0; c < 4; ++c) sum[size_t(c)] += p[size_t(c)];
          ++n;
        }
      out.Set(x, y, int((sum[0] + n / 2) / n), int((sum[1] + n / 2) / n),
              int((sum[2] + n / 2) / n), int((sum[3] + n / 2) / n));
    }
  return out;
}

// A word for the shell: quoted unless it is plainly safe.
std::string ShellWord(const std::string& s) {
  const bool plain = !s.empty() && s.find_first_not_of(
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./%,#=:+-") ==
      std::string::npos;
  if (plain) return s;
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

}  // namespace

Preview::Preview(const std::string& module, const std::string& picture,
                 const std::optional<std::string>& custom_layer, const std::string& root,
                 int threads)
    : picture_(picture), root_(root), source_(ReadImage(picture, ReadAs::kStored, &file_depth_)) {
  host_.Load(module);
  if (threads) host_.SetThreads(threads);
  controls_ = minihost::DescribeControls(host_.params());
  if (custom_layer) {
    layer_ = ReadImage(*custom_layer, LayerReading());
    layer_path_ = *custom_layer;
  }
  host_.UserChangedParam(2);
}

std::string Preview::ControlsJson() {
  std::lock_guard<std::mutex> lock(host_mutex_);
  std::vector<std::string> layers(host_.params().size());
  for (const Control& c : controls_)
    if (c.type == PF_Param_LAYER) layers[size_t(c.index)] = layer_path_;
  return ListJson(host_, controls_, layers);
}

uint64_t Preview::Supersede(const std::string& client) {
  std::lock_guard<std::mutex> lock(tickets_mutex_);
  const uint64_t ticket = ++latest_[client];
  if (running_ && *running_ == client) host_.cancel = true;
  return ticket;
}

bool Preview::Rendering(const std::string& client) {
  std::lock_guard<std::mutex> lock(tickets_mutex_);
  return running_ && *running_ == client;
}

void Preview::StopRendering() {
  std::lock_guard<std::mutex> lock(tickets_mutex_);
  if (running_) host_.cancel = true;
}

bool Preview::Apply(const std::vector<std::pair<std::string, std::string>>& sets,
                    const std::string& client, std::string* error) {
  Supersede(client);
  std::lock_guard<std::mutex> lock(host_mutex_);
  const minihost::Host::ControlState before = host_.SaveControls();
  std::optional<World> layer;
  std::optional<std::string> layer_path;
  std::vector<int> changed;
  for (const auto& [key, value] : sets) {
    const int index = minihost::FindControl(controls_, key, error);
    bool ok = index > 0;
    if (ok && controls_[size_t(index - 1)].type == PF_Param_LAYER) {
      std::string path;
      layer_path = value;
      if (value.empty()) {
        layer.reset();
      } else if ((ok = Resolve(value, &path, error))) {
        try {
          layer = ReadImage(path, LayerReading());
        } catch (const HostError& e) {
          *error = e.what();
          ok = false;
        }
      }
    } else if (ok) {
      ok = minihost::SetValue(host_, controls_[size_t(index - 1)], value, error);
    }
    if (!ok) {
      host_.RestoreControls(before);
      return false;
    }
    changed.push_back(index);
  }
  if (layer_path) {
    layer_ = std::move(layer);
    layer_path_ = *layer_path;
    layer_proxies_.clear();
  }
  for (int index : changed) host_.UserChangedParam(index);
  return true;
}

const World& Preview::Scaled(const World& full, int proxy, std::map<int, World>& cache) {
  if (proxy <= 1) return full;
  auto it = cache.find(proxy);
  if (it == cache.end()) it = cache.emplace(proxy, Downscale(full, proxy)).first;
  return it->second;
}

Preview::Result Preview::Render(const std::string& client, int proxy) {
  const uint64_t ticket = Supersede(client);
  std::lock_guard<std::mutex> lock(host_mutex_);
  Result result;
  {
    // Cleared before the check: a newer request that comes after the check sets it again.
    std::lock_guard<std::mutex> tickets(tickets_mutex_);
    host_.cancel = false;
    if (latest_[client] != ticket) {
      result.outcome = Outcome::kSuperseded;
      return result;
    }
    running_ = client;
  }
  const World& input = Scaled(source_, proxy, source_proxies_);
  const World* custom = layer_ ? &Scaled(*layer_, proxy, layer_proxies_) : nullptr;
  const minihost::Host::ControlState before = host_.SaveControls();
  if (proxy > 1) {
    for (const Control& c : controls_) {
      if (c.type != PF_Param_POINT || !host_.PointInPixels(c.index)) continue;
      const PF_PointDef& p = host_.params()[size_t(c.index)].u.td;
      host_.SetPointPixels(c.index, p.x_value / 65536.0 / proxy, p.y_value / 65536.0 / proxy);
    }
  }
  // A float picture renders the smart way, the only one a host renders float by.
  World out = input.isFloat() ? World::Float(input.width(), input.height())
                              : World(input.width(), input.height(), input.deep());
  const auto start = std::chrono::steady_clock::now();
  const PF_Err err = input.isFloat() ? host_.SmartRender(input, out, custom) : host_.Render(input, out, custom);
  result.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  host_.RestoreControls(before);
  {
    std::lock_guard<std::mutex> tickets(tickets_mutex_);
    running_.reset();
  }
  if (err == PF_Interrupt_CANCEL) {
    result.outcome = Outcome::kSuperseded;
  } else if (err) {
    result.error = "the effect returned error " + std::to_string(err);
  } else {
    result.outcome = Outcome::kDone;
    result.picture = std::move(out);
  }
  return result;
}

std::string Preview::CommandLine(const std::string& output) {
  std::lock_guard<std::mutex> lock(host_mutex_);
  std::string line = "vizmira render " + ShellWord(picture_) + " " + ShellWord(output);
  for (const Control& c : controls_) {
    if (c.type == PF_Param_LAYER) {
      if (!layer_path_.empty()) line += " --custom-layer " + ShellWord(layer_path_);
      continue;
    }
    if (c.type == PF_Param_GROUP_START || c.type == PF_Param_GROUP_END) continue;
    const std::string value = minihost::FormatValue(host_, c);
    if (value != minihost::FormatValue(host_, c, true))
      line += " --set " + ShellWord(c.path + "=" + value);
  }
  return line;
}

bool Preview::Resolve(const std::string& name, std::string* path, std::string* error) const {
  const fs::path p(name);
  bool ok = !name.empty() && name.find('\0') == std::string::npos && p.is_relative() &&
            !p.has_root_name();
  for (const fs::path& part : p)
    if (part == "..") ok = false;
  if (ok) {
    // Links may not lead out either.
    std::error_code ec;
    const fs::path root = fs::weakly_canonical(root_, ec);
    const fs::path full = fs::weakly_canonical(root / p, ec);
    const auto [r, f] = std::mismatch(root.begin(), root.end(), full.begin(), full.end());
    ok = !ec && r == root.end() && full != root;
    if (ok) *path = full.string();
  }
  if (!ok)
    *error = "'" + name + "' is not a file name in the directory the preview started in";
  return ok;
}

bool Preview::IsInput(const std::string& path) {
  std::lock_guard<std::mutex> lock(host_mutex_);
  std::error_code ec;
  for (const std::string& input : {picture_, layer_path_})
    if (!input.empty() && fs::equivalent(path, fs::path(root_) / input, ec)) return true;
  return false;
}

}  // namespace vzcli
