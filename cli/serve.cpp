#include "serve.h"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "files.h"
#include "image_io.h"
#include "preset.h"
#include "preview.h"
#include "serve_guard.h"

namespace vzcli {

namespace fs = std::filesystem;
using minihost::Control;
using minihost::HostError;
using minihost::World;

extern const char* const kPreviewPage;  // serve_page.cpp, made from serve_page.html

namespace {

// A picture as PNG bytes at `depth`: the pixels `vizmira render` writes, compressed for speed
// (at 1920×1080 the default compression takes longer than the render).
std::string Png(const World& world, int depth) { return EncodeImage(world, "png", depth, true); }

// A picture as the page shows it: integer pictures as they are; a float one's colours times
// 2^exposure, then clamped to 8 bits (the exposure is the display's alone: saved pictures
// keep the render's values).
std::string Shown(const World& world, int depth, double exposure) {
  if (!world.isFloat()) return Png(world, depth);
  World shown = World::Copy(world);
  const float gain = float(std::exp2(exposure));
  for (A_long y = 0; y < shown.height(); ++y)
    for (A_long x = 0; x < shown.width(); ++x) {
      PF_PixelFloat& p = shown.at<PF_PixelFloat>(x, y);
      p.red *= gain, p.green *= gain, p.blue *= gain;
    }
  return Png(shown, 8);
}

// The request's exposure, in stops: 0 where it gives none; false for anything but a number
// from −20 to 20.
bool ExposureOf(const httplib::Request& req, double* stops) {
  *stops = 0;
  if (!req.has_param("exposure")) return true;
  const std::string v = req.get_param_value("exposure");
  char* end = nullptr;
  *stops = std::strtod(v.c_str(), &end);
  return !v.empty() && *end == 0 && *stops >= -20 && *stops <= 20;
}

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

// A {"name": "...", "overwrite": true|false} body; overwrite is false unless given.
struct FileRequest {
  std::string name;
  bool overwrite = false;
};
bool ReadFileRequest(const std::string& body, FileRequest* request, std::string* error) {
  try {
    const Json doc = Json::parse(body);
    if (doc.is_object() && doc.contains("name") && doc["name"].is_string() &&
        (!doc.contains("overwrite") || doc["overwrite"].is_boolean())) {
      request->name = doc["name"].get<std::string>();
      request->overwrite = doc.value("overwrite", false);
      return true;
    }
  } catch (const nlohmann::json::parse_error&) {
  }
  *error = "the body is {\"name\": \"FILE\"}, with \"overwrite\": true to replace a file";
  return false;
}

void Fail(httplib::Response& res, int status, const std::string& message) {
  res.status = status;
  res.set_content(message + "\n", "text/plain; charset=utf-8");
}

bool IsJsonName(const std::string& name) {
  const std::string lower = minihost::Lower(name);
  return lower.size() >= 5 && lower.compare(lower.size() - 5, 5, ".json") == 0;
}

// 409 for a file that is there and may be replaced if the user says so; the page asks.
void Exists(httplib::Response& res, const std::string& name) {
  res.set_header("X-Vizmira-Exists", name);
  Fail(res, 409, name + " exists; send \"overwrite\": true to replace it");
}

// Where a save may write: a name in the start directory that is not an input, and not an
// existing file unless the request says to replace it. False once `res` holds the refusal.
bool Writable(Preview& preview, const FileRequest& request, std::string* path,
              httplib::Response& res) {
  std::string error;
  if (!preview.Resolve(request.name, path, &error)) {
    Fail(res, 400, error);
    return false;
  }
  if (preview.IsInput(*path)) {
    Fail(res, 403, request.name + " is an input of the preview; it is never written over");
    return false;
  }
  std::error_code ec;
  if (!request.overwrite && fs::exists(fs::symlink_status(*path, ec))) {
    Exists(res, request.name);
    return false;
  }
  return true;
}

}  // namespace

int Serve(const ServeOptions& o, const std::atomic<bool>& stop) {
  const std::string root = fs::current_path().string();
  Preview preview(o.module, o.picture, o.custom_layer, root, o.threads);
  std::optional<RequestGuard> guard;  // made once the port is known
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
  // Before any route: a refused request changes nothing and reads nothing.
  server.set_pre_routing_handler([&](const httplib::Request& req, httplib::Response& res) {
    const std::optional<RequestGuard::Refusal> refusal = guard->Check(req);
    if (!refusal) return httplib::Server::HandlerResponse::Unhandled;
    Fail(res, refusal->status, refusal->reason);
    return httplib::Server::HandlerResponse::Handled;
  });
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

  server.Get("/", [&](const httplib::Request& req, httplib::Response& res) {
    // The page's own requests carry the token in a cookie once it came in the address.
    if (req.has_param("token") && !guard->Cookie().empty())
      res.set_header("Set-Cookie", guard->Cookie());
    res.set_header("Cache-Control", "no-store");
    res.set_content(kPreviewPage, "text/html; charset=utf-8");
  });
  server.Get("/api/info", [&](const httplib::Request&, httplib::Response& res) {
    Json info;
    info["picture"] = preview.picture();
    info["width"] = preview.source().width();
    info["height"] = preview.source().height();
    info["depth"] = preview.depth();
    info["float"] = preview.isFloat();
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
    double exposure = 0;
    if (!ExposureOf(req, &exposure)) return Fail(res, 400, "exposure is a number of stops from -20 to 20");
    Preview::Result r = preview.Render(client_of(req), std::stoi(p));
    if (r.outcome == Preview::Outcome::kSuperseded)
      return Fail(res, 409, "superseded by a newer request");
    if (r.outcome == Preview::Outcome::kFailed) return Fail(res, 500, r.error);
    res.set_header("Cache-Control", "no-store");
    char ms[32];
    std::snprintf(ms, sizeof ms, "%.1f", r.ms);
    res.set_header("X-Render-Ms", ms);
    res.set_content(Shown(*r.picture, preview.depth(), exposure), "image/png");
  });
  server.Get("/api/source", [&](const httplib::Request& req, httplib::Response& res) {
    double exposure = 0;
    if (!ExposureOf(req, &exposure)) return Fail(res, 400, "exposure is a number of stops from -20 to 20");
    if (exposure != 0) return res.set_content(Shown(preview.source(), preview.depth(), exposure), "image/png");
    std::lock_guard<std::mutex> lock(source_mutex);
    if (source_png.empty()) source_png = Shown(preview.source(), preview.depth(), 0);
    res.set_content(source_png, "image/png");
  });
  server.Get("/api/command", [&](const httplib::Request& req, httplib::Response& res) {
    const std::string out = req.has_param("output") ? req.get_param_value("output") : "result.png";
    res.set_content(preview.CommandLine(out) + "\n", "text/plain; charset=utf-8");
  });
  server.Post("/api/save", [&](const httplib::Request& req, httplib::Response& res) {
    FileRequest request;
    std::string path, error;
    if (!ReadFileRequest(req.body, &request, &error)) return Fail(res, 400, error);
    if (!Writable(preview, request, &path, res)) return;
    if (!CanWrite(path))
      return Fail(res, 400, request.name + " is not a picture format the writer knows "
                            "(PNG, TIFF, EXR, ...)");
    // Its own client: a save is not stopped by the tab's next preview.
    Preview::Result r = preview.Render("save " + client_of(req), 1);
    if (r.outcome != Preview::Outcome::kDone)
      return Fail(res, r.outcome == Preview::Outcome::kSuperseded ? 409 : 500,
                  r.error.empty() ? "superseded by a newer request" : r.error);
    try {
      WriteImage(*r.picture, path, preview.depth(), false, request.overwrite);
    } catch (const FileExists&) {
      return Exists(res, request.name);  // it appeared while the picture rendered
    } catch (const HostError& e) {
      return Fail(res, 400, e.what());
    }
    json(res, Json{{"saved", request.name}}.dump());
  });
  server.Post("/api/settings/save", [&](const httplib::Request& req, httplib::Response& res) {
    FileRequest request;
    std::string path, error;
    if (!ReadFileRequest(req.body, &request, &error)) return Fail(res, 400, error);
    if (!IsJsonName(request.name))
      return Fail(res, 400, "settings are saved as a .json file, not as " + request.name);
    if (!Writable(preview, request, &path, res)) return;
    // Whole or not at all, as pictures are written.
    const fs::path temporary = TemporaryBeside(path);
    std::error_code ec;
    {
      std::ofstream f(temporary, std::ios::binary);
      f << preview.ControlsJson();
      if (!f.flush()) ec = std::make_error_code(std::errc::io_error);
    }
    if (!ec) ec = MoveIntoPlace(temporary, path, request.overwrite);
    if (ec) {
      const bool exists = ec == std::errc::file_exists;
      fs::remove(temporary, ec);
      return exists ? Exists(res, request.name) : Fail(res, 400, "cannot write " + request.name);
    }
    json(res, Json{{"saved", request.name}}.dump());
  });
  server.Post("/api/settings/load", [&](const httplib::Request& req, httplib::Response& res) {
    FileRequest request;
    std::string path, error;
    if (!ReadFileRequest(req.body, &request, &error) ||
        !preview.Resolve(request.name, &path, &error))
      return Fail(res, 400, error);
    const std::string& name = request.name;
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
  guard.emplace(o.listen, port);
  if (!IsLoopback(o.listen))
    std::fprintf(stderr,
                 "vizmira: warning: listening on %s: anyone who can reach this machine and has "
                 "the address below can change the controls and write files in %s\n",
                 o.listen.c_str(), root.c_str());
  std::printf("vizmira: previewing %s at %s (Ctrl-C stops)\n", o.picture.c_str(),
              guard->Url().c_str());
  std::fflush(stdout);
  if (o.listening) o.listening(port, guard->Url());

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
