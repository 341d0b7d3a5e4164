#include "serve.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "image_io.h"
#include "preset.h"

namespace vzcli {

namespace fs = std::filesystem;
using minihost::Control;
using minihost::HostError;
using minihost::World;

extern const char* const kPreviewPage;  // serve_page.cpp, made from serve_page.html

namespace {

// A picture 1/k the size: each pixel the mean of its k × k block, rounded.
World Downscale(const World& full, int k) {
  const A_long w = std::max<A_long>(1, full.width() / k), h = std::max<A_long>(1, full.height() / k);
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
    : picture_(picture), root_(root), source_(ReadImage(picture)) {
  host_.Load(module);
  if (threads) host_.SetThreads(threads);
  controls_ = minihost::DescribeControls(host_.params());
  if (custom_layer) {
    layer_ = ReadImage(*custom_layer);
    layer_path_ = *custom_layer;
  }
  host_.UserChangedParam(2);
}

std::string Preview::ControlsJson() {
  std::lock_guard<std::mutex> lock(host_mutex_);
  std::vector<std::string> layers(host_.params().size());
  for (const Control& c : controls_)
    if (c.type == "layer") layers[size_t(c.index)] = layer_path_;
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
    if (ok && controls_[size_t(index - 1)].type == "layer") {
      std::string path;
      layer_path = value;
      if (value.empty()) {
        layer.reset();
      } else if ((ok = Resolve(value, &path, error))) {
        try {
          layer = ReadImage(path);
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
      if (c.type != "point" || !host_.PointInPixels(c.index)) continue;
      const PF_PointDef& p = host_.params()[size_t(c.index)].u.td;
      host_.SetPointPixels(c.index, p.x_value / 65536.0 / proxy, p.y_value / 65536.0 / proxy);
    }
  }
  World out(input.width(), input.height(), input.deep());
  const auto start = std::chrono::steady_clock::now();
  const PF_Err err = host_.Render(input, out, custom);
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
    if (c.type == "layer") {
      if (!layer_path_.empty()) line += " --custom-layer " + ShellWord(layer_path_);
      continue;
    }
    if (c.type == "group_start" || c.type == "group_end") continue;
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

namespace {

// A picture as PNG bytes at `depth`: the pixels `vizmira render` writes, compressed for speed
// (at 1920×1080 the default compression takes longer than the render).
class PngEncoder {
 public:
  PngEncoder() {
    std::string pattern = (fs::temp_directory_path() / "vizmira-serve-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw HostError("cannot make a temporary directory");
    dir_ = pattern;
  }
  ~PngEncoder() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Encode(const World& world, int depth) {
    const fs::path file = dir_ / ("picture-" + std::to_string(++count_) + ".png");
    WriteImage(world, file.string(), depth, true);
    std::ifstream f(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::error_code ec;
    fs::remove(file, ec);
    return bytes;
  }

 private:
  fs::path dir_;
  std::atomic<uint64_t> count_{0};
};

using Json = nlohmann::ordered_json;

// The body's {"KEY": "VALUE", ...} in order; numbers and true/false are taken as their text.
bool ReadSets(const std::string& body, std::vector<std::pair<std::string, std::string>>* sets,
              std::string* error) {
  Json doc;
  try {
    doc = Json::parse(body);
  } catch (const nlohmann::json::parse_error&) {
    *error = "the body is not JSON";
    return false;
  }
  if (!doc.is_object()) {
    *error = "the body is an object of \"KEY\": \"VALUE\" as --set takes them";
    return false;
  }
  for (const auto& [key, value] : doc.items()) {
    if (value.is_string()) sets->emplace_back(key, value.get<std::string>());
    else if (value.is_boolean()) sets->emplace_back(key, value.get<bool>() ? "on" : "off");
    else if (value.is_number()) sets->emplace_back(key, value.dump());
    else {
      *error = "the value of \"" + key + "\" is a string as --set takes it";
      return false;
    }
  }
  return true;
}

// The "name" of a {"name": "..."} body.
bool ReadName(const std::string& body, std::string* name, std::string* error) {
  try {
    const Json doc = Json::parse(body);
    if (doc.is_object() && doc.contains("name") && doc["name"].is_string()) {
      *name = doc["name"].get<std::string>();
      return true;
    }
  } catch (const nlohmann::json::parse_error&) {
  }
  *error = "the body is {\"name\": \"FILE\"}";
  return false;
}

void Fail(httplib::Response& res, int status, const std::string& message) {
  res.status = status;
  res.set_content(message + "\n", "text/plain; charset=utf-8");
}

}  // namespace

int Serve(const ServeOptions& o, const std::atomic<bool>& stop) {
  const std::string root = fs::current_path().string();
  Preview preview(o.module, o.picture, o.custom_layer, root, o.threads);
  PngEncoder png;
  std::mutex source_mutex;
  std::string source_png;

  httplib::Server server;
  // The library's default also shares the port with any other listener (SO_REUSEPORT): a
  // second preview on a busy port would silently take half its requests.
  server.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server.set_payload_max_length(64 * 1024);
  server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
    try {
      std::rethrow_exception(ep);
    } catch (const std::exception& e) {
      Fail(res, 500, e.what());
    } catch (...) {
      Fail(res, 500, "internal error");
    }
  });
  auto json = [](httplib::Response& res, const std::string& body) {
    res.set_header("Cache-Control", "no-store");
    res.set_content(body, "application/json");
  };
  auto client_of = [](const httplib::Request& req) {
    return req.has_param("client") ? req.get_param_value("client") : std::string();
  };

  server.Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(kPreviewPage, "text/html; charset=utf-8");
  });
  server.Get("/api/info", [&](const httplib::Request&, httplib::Response& res) {
    Json info;
    info["picture"] = preview.picture();
    info["width"] = preview.source().width();
    info["height"] = preview.source().height();
    info["depth"] = preview.depth();
    json(res, info.dump());
  });
  server.Get("/api/controls", [&](const httplib::Request&, httplib::Response& res) {
    json(res, preview.ControlsJson());
  });
  server.Post("/api/controls", [&](const httplib::Request& req, httplib::Response& res) {
    std::vector<std::pair<std::string, std::string>> sets;
    std::string error;
    if (!ReadSets(req.body, &sets, &error) || !preview.Apply(sets, client_of(req), &error))
      return Fail(res, 400, error);
    json(res, preview.ControlsJson());
  });
  server.Get("/api/render", [&](const httplib::Request& req, httplib::Response& res) {
    const std::string p = req.has_param("proxy") ? req.get_param_value("proxy") : "1";
    if (p != "1" && p != "2" && p != "4") return Fail(res, 400, "proxy is 1, 2 or 4");
    Preview::Result r = preview.Render(client_of(req), std::stoi(p));
    if (r.outcome == Preview::Outcome::kSuperseded)
      return Fail(res, 409, "superseded by a newer request");
    if (r.outcome == Preview::Outcome::kFailed) return Fail(res, 500, r.error);
    res.set_header("Cache-Control", "no-store");
    char ms[32];
    std::snprintf(ms, sizeof ms, "%.1f", r.ms);
    res.set_header("X-Render-Ms", ms);
    res.set_content(png.Encode(*r.picture, preview.depth()), "image/png");
  });
  server.Get("/api/source", [&](const httplib::Request&, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(source_mutex);
    if (source_png.empty()) source_png = png.Encode(preview.source(), preview.depth());
    res.set_content(source_png, "image/png");
  });
  server.Get("/api/command", [&](const httplib::Request& req, httplib::Response& res) {
    const std::string out = req.has_param("output") ? req.get_param_value("output") : "result.png";
    res.set_content(preview.CommandLine(out) + "\n", "text/plain; charset=utf-8");
  });
  server.Post("/api/save", [&](const httplib::Request& req, httplib::Response& res) {
    std::string name, path, error;
    if (!ReadName(req.body, &name, &error) || !preview.Resolve(name, &path, &error))
      return Fail(res, 400, error);
    // Its own client: a save is not stopped by the tab's next preview.
    Preview::Result r = preview.Render("save " + client_of(req), 1);
    if (r.outcome != Preview::Outcome::kDone)
      return Fail(res, r.outcome == Preview::Outcome::kSuperseded ? 409 : 500,
                  r.error.empty() ? "superseded by a newer request" : r.error);
    try {
      WriteImage(*r.picture, path, preview.depth());
    } catch (const HostError& e) {
      return Fail(res, 400, e.what());
    }
    json(res, Json{{"saved", name}}.dump());
  });
  server.Post("/api/settings/save", [&](const httplib::Request& req, httplib::Response& res) {
    std::string name, path, error;
    if (!ReadName(req.body, &name, &error) || !preview.Resolve(name, &path, &error))
      return Fail(res, 400, error);
    // Whole or not at all, as pictures are written.
    const std::string temporary = path + ".part";
    {
      std::ofstream f(temporary, std::ios::binary);
      f << preview.ControlsJson();
      if (!f.flush()) {
        std::error_code ec;
        fs::remove(temporary, ec);
        return Fail(res, 400, "cannot write " + name);
      }
    }
    std::error_code ec;
    fs::rename(temporary, path, ec);
    if (ec) {
      fs::remove(temporary, ec);
      return Fail(res, 400, "cannot write " + name);
    }
    json(res, Json{{"saved", name}}.dump());
  });
  server.Post("/api/settings/load", [&](const httplib::Request& req, httplib::Response& res) {
    std::string name, path, error;
    if (!ReadName(req.body, &name, &error) || !preview.Resolve(name, &path, &error))
      return Fail(res, 400, error);
    std::vector<std::pair<std::string, std::string>> sets;
    try {
      sets = ReadSettings(path, preview.controls());
    } catch (const SettingsError& e) {
      return Fail(res, 400, e.what());
    }
    if (!preview.Apply(sets, client_of(req), &error)) return Fail(res, 400, name + ": " + error);
    json(res, preview.ControlsJson());
  });

  int port = o.port;
  const bool bound = port == 0 ? (port = server.bind_to_any_port(o.listen)) > 0
                               : server.bind_to_port(o.listen, port);
  if (!bound) {
    std::fprintf(stderr, "vizmira: cannot listen on %s:%d; is another program there? (--port)\n",
                 o.listen.c_str(), o.port);
    return 2;
  }
  if (o.listen != "127.0.0.1" && o.listen != "localhost" && o.listen != "::1")
    std::fprintf(stderr,
                 "vizmira: warning: listening on %s: anyone who can reach this machine can "
                 "change the controls and write files in %s\n",
                 o.listen.c_str(), root.c_str());
  const std::string host = o.listen.find(':') != std::string::npos ? "[" + o.listen + "]" : o.listen;
  std::printf("vizmira: previewing %s at http://%s:%d/ (Ctrl-C stops)\n", o.picture.c_str(),
              host.c_str(), port);
  std::fflush(stdout);
  if (o.listening) o.listening(port);

  std::atomic<bool> ended{false};  // the server stopped on its own
  std::thread watcher([&] {
    while (!stop.load() && !ended.load()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    preview.StopRendering();
    server.stop();
  });
  server.listen_after_bind();
  ended = true;
  watcher.join();
  return 0;
}

}  // namespace vzcli
