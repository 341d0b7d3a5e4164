// The live preview's session: the picture, the controls, and renders of the two, for the
// HTTP interface of serve.cpp.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "image_io.h"
#include "minihost/controls.h"
#include "minihost/host.h"

namespace vzcli {

class Preview {
 public:
  // Loads the module and reads the picture and the custom layer (paths as given, the layer's
  // relative to `root`). Throws minihost::HostError with the reason.
  Preview(const std::string& module, const std::string& picture,
          const std::optional<std::string>& custom_layer, const std::string& root, int threads);

  // The controls with their values and greyed and folded states: what `vizmira params
  // --json` prints for the same settings.
  std::string ControlsJson();

  // KEY: VALUE pairs as --set takes them, applied in order, each followed by the supervision
  // the host sends when a control changes. False with the message --set would print, and
  // nothing applied. A render that `client` has running stops first.
  bool Apply(const std::vector<std::pair<std::string, std::string>>& sets,
             const std::string& client, std::string* error);

  enum class Outcome { kDone, kSuperseded, kFailed };
  struct Result {
    Outcome outcome = Outcome::kFailed;
    std::optional<minihost::World> picture;
    double ms = 0;  // the render alone
    std::string error;
  };
  // The current settings on the picture scaled down by `proxy` (1, 2 or 4): points set in
  // pixels scale with it, sizes in pixels do not. A newer render or change from the same
  // client stops this one, which then ends kSuperseded.
  Result Render(const std::string& client, int proxy);

  const minihost::World& source() const { return source_; }
  // The depth the picture is saved at: its file's (a half or float picture renders at
  // float and is saved as half or float).
  int depth() const { return file_depth_; }
  bool isFloat() const { return source_.isFloat(); }
  const std::string& picture() const { return picture_; }

  // The `vizmira render` command that gives the same picture (controls away from their
  // defaults, in index order, by full path).
  std::string CommandLine(const std::string& output);

  // A name for a file in the start directory: relative, without "..": false with why.
  bool Resolve(const std::string& name, std::string* path, std::string* error) const;
  // Whether `path` is the picture or the custom layer, which the preview never writes over.
  bool IsInput(const std::string& path);

  const std::vector<minihost::Control>& controls() const { return controls_; }
  // Whether a render of `client` is running now.
  bool Rendering(const std::string& client);
  // Stops the running render, whoever asked for it (the server is ending).
  void StopRendering();

 private:
  uint64_t Supersede(const std::string& client);
  const minihost::World& Scaled(const minihost::World& full, int proxy,
                                std::map<int, minihost::World>& cache);
  // A custom layer is read at the picture's kind: float under a float picture.
  ReadAs LayerReading() const { return source_.isFloat() ? ReadAs::kFloat : ReadAs::kInteger; }

  minihost::Host host_;
  std::vector<minihost::Control> controls_;
  std::string picture_, root_;
  int file_depth_ = 8;
  minihost::World source_;
  std::optional<minihost::World> layer_;
  std::string layer_path_;
  std::map<int, minihost::World> source_proxies_, layer_proxies_;

  std::mutex host_mutex_;  // one render or change at a time
  std::mutex tickets_mutex_;
  std::map<std::string, uint64_t> latest_;  // per client: its newest request
  std::optional<std::string> running_;      // the client whose render runs
};

}  // namespace vzcli
