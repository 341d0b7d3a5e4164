// The live preview: the effect's controls and its picture in a browser. Preview (preview.h)
// holds the state; Serve puts it behind a small HTTP interface and the page that uses it.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>

namespace vzcli {

struct ServeOptions {
  std::string module, picture;
  std::optional<std::string> custom_layer;
  std::string listen = "127.0.0.1";
  int port = 8642;  // 0: any free port
  int threads = 0;
  // Told the port and the address to open (with its token) once the server listens.
  std::function<void(int port, const std::string& url)> listening;
};

// Serves until `stop` turns true (Ctrl-C), printing the address first. Returns the exit
// status; throws minihost::HostError when the picture cannot be read.
int Serve(const ServeOptions& options, const std::atomic<bool>& stop);

}  // namespace vzcli
