// vizmira: applies the lens effect to pictures outside the compositing host.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "image_io.h"
#include "minihost/controls.h"
#include "minihost/host.h"
#include "minihost/testcard.h"

namespace {

namespace fs = std::filesystem;
using minihost::Control;
using minihost::Host;
using minihost::HostError;
using minihost::World;

enum Exit { kOk = 0, kBadArgs = 2, kImageError = 3, kEffectError = 4, kInterrupted = 130 };

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// A bad key or value: exit 2 like a usage error, without the usage text.
struct ValueError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct EffectError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

const char* kUsage =
    "usage:\n"
    "  vizmira about\n"
    "  vizmira params [--set KEY=VALUE]... [--json]\n"
    "  vizmira render INPUT OUTPUT [--set KEY=VALUE]... [--custom-layer IMAGE]\n"
    "                 [--work-depth 8|16] [--output-depth 8|16] [--threads N] [--module PATH]\n"
    "  vizmira testcard OUTPUT [--size WxH] [--depth 8|16]\n"
    "\n"
    "KEY is a control index (1-64) or a unique end of its path, such as Type, MODE,\n"
    "Fast Blur/Amount or Fast Blur/Visible. 'vizmira params' lists them all.\n";

std::atomic<bool>* g_cancel = nullptr;
void OnInterrupt(int) {
  if (g_cancel) g_cancel->store(true);
}

std::string DefaultModulePath() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ((ec ? fs::path(".") : self.parent_path()) / "Vizmira.so").string();
}

struct Options {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> sets;
  std::optional<std::string> custom_layer, module;
  int work_depth = 0, output_depth = 0, depth = 8, threads = 0, width = 1920, height = 1080;
  bool json = false;
};

int ParseInt(const std::string& flag, const std::string& v, int lo, int hi) {
  char* end = nullptr;
  const long n = std::strtol(v.c_str(), &end, 10);
  if (v.empty() || *end || n < lo || n > hi)
    throw UsageError(flag + " takes a whole number from " + std::to_string(lo) + " to " +
                     std::to_string(hi) + ", not '" + v + "'");
  return int(n);
}

int ParseDepth(const std::string& flag, const std::string& v) {
  if (v != "8" && v != "16") throw UsageError(flag + " takes 8 or 16, not '" + v + "'");
  return std::stoi(v);
}

Options ParseOptions(int argc, char** argv, int first) {
  Options o;
  for (int i = first; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) throw UsageError(a + " needs a value");
      return argv[++i];
    };
    if (a == "--set") {
      const std::string kv = next();
      const size_t eq = kv.find('=');
      if (eq == std::string::npos || eq == 0) throw UsageError("--set takes KEY=VALUE, not '" + kv + "'");
      o.sets.emplace_back(kv.substr(0, eq), kv.substr(eq + 1));
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--custom-layer") {
      o.custom_layer = next();
    } else if (a == "--module") {
      o.module = next();
    } else if (a == "--work-depth") {
      o.work_depth = ParseDepth(a, next());
    } else if (a == "--output-depth") {
      o.output_depth = ParseDepth(a, next());
    } else if (a == "--depth") {
      o.depth = ParseDepth(a, next());
    } else if (a == "--threads") {
      o.threads = ParseInt(a, next(), 1, 1024);
    } else if (a == "--size") {
      const std::string v = next();
      const size_t x = v.find_first_of("xX");
      if (x == std::string::npos) throw UsageError("--size takes WxH, not '" + v + "'");
      o.width = ParseInt("--size width", v.substr(0, x), 1, 16384);
      o.height = ParseInt("--size height", v.substr(x + 1), 1, 16384);
    } else if (a.size() > 1 && a[0] == '-') {
      throw UsageError("unknown option " + a);
    } else {
      o.positional.push_back(a);
    }
  }
  return o;
}

void Expect(const Options& o, size_t n, const char* what) {
  if (o.positional.size() != n) throw UsageError(std::string("expected ") + what);
}

void LoadModule(Host& host, const Options& o) {
  try {
    host.Load(o.module ? *o.module : DefaultModulePath());
  } catch (const HostError& e) {
    throw EffectError(e.what());
  }
}

// Loads the module and applies every --set; the layer control takes an image path.
std::vector<Control> Prepare(Host& host, const Options& o, std::optional<std::string>* layer_path) {
  LoadModule(host, o);
  std::vector<Control> controls = minihost::DescribeControls(host.params());
  for (const auto& [key, value] : o.sets) {
    std::string error;
    const int index = minihost::FindControl(controls, key, &error);
    if (index < 0) throw ValueError(error);
    const Control& c = controls[size_t(index - 1)];
    if (c.type == "layer") {
      *layer_path = value;
    } else if (!minihost::SetValue(host, c, value, &error)) {
      throw ValueError(error);
    }
  }
  if (o.custom_layer) *layer_path = o.custom_layer;
  return controls;
}

int CmdAbout(const Options& o) {
  Expect(o, 0, "no arguments");
  Host host;
  LoadModule(host, o);
  std::string text;
  if (PF_Err err = host.About(&text)) throw EffectError("About returned error " + std::to_string(err));
  for (char& c : text)
    if (c == '\r') c = '\n';
  std::cout << text << "\n";
  return kOk;
}

int CmdParams(const Options& o) {
  Expect(o, 0, "no arguments besides options");
  Host host;
  std::optional<std::string> layer;
  const auto controls = Prepare(host, o, &layer);
  if (PF_Err err = host.UserChangedParam(2))
    throw EffectError("supervision returned error " + std::to_string(err));
  std::vector<std::string> layers(host.params().size());
  if (layer) layers[3] = *layer;
  std::cout << (o.json ? minihost::ListJson(host, controls, layers)
                       : minihost::ListText(host, controls, layers));
  return kOk;
}

int CmdRender(const Options& o) {
  Expect(o, 2, "INPUT and OUTPUT");
  Host host;
  std::optional<std::string> layer;
  Prepare(host, o, &layer);
  if (o.threads) host.SetThreads(o.threads);
  host.SetWorkDepth(o.work_depth);

  World input = vzcli::ReadImage(o.positional[0]);
  std::optional<World> custom;
  if (layer) custom = vzcli::ReadImage(*layer);
  // The output has the work depth, as a host renders into a layer of its project's depth.
  const bool deep_work = o.work_depth ? o.work_depth == 16 : input.deep();
  World output(input.width(), input.height(), deep_work);

  g_cancel = &host.cancel;
  std::signal(SIGINT, OnInterrupt);
  const bool tty = isatty(STDERR_FILENO);
  int pass = 0;
  double last = 1.0;
  if (tty) {
    host.onProgress = [&](double f) {
      if (f < last) ++pass;
      last = f;
      std::fprintf(stderr, "\rrendering: pass %d %3d%%", pass, int(f * 100));
    };
  }
  const PF_Err err = host.Render(input, output, custom ? &*custom : nullptr);
  if (tty) std::fprintf(stderr, "\r%40s\r", "");
  if (err == PF_Interrupt_CANCEL && host.cancel.load()) return kInterrupted;
  if (err) throw EffectError("the effect returned error " + std::to_string(err));
  vzcli::WriteImage(output, o.positional[1], o.output_depth ? o.output_depth : (input.deep() ? 16 : 8));
  return kOk;
}

int CmdTestcard(const Options& o) {
  Expect(o, 1, "OUTPUT");
  World card = minihost::TestCard(o.width, o.height, o.depth == 16);
  vzcli::WriteImage(card, o.positional[0], o.depth);
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
    (argc < 2 ? std::cerr : std::cout) << kUsage;
    return argc < 2 ? kBadArgs : kOk;
  }
  const std::string cmd = argv[1];
  try {
    const Options o = ParseOptions(argc, argv, 2);
    if (cmd == "about") return CmdAbout(o);
    if (cmd == "params") return CmdParams(o);
    if (cmd == "render") return CmdRender(o);
    if (cmd == "testcard") return CmdTestcard(o);
    throw UsageError("unknown command '" + cmd + "'");
  } catch (const UsageError& e) {
    std::cerr << "vizmira: " << e.what() << "\n\n" << kUsage;
    return kBadArgs;
  } catch (const ValueError& e) {
    std::cerr << "vizmira: " << e.what() << "\n";
    return kBadArgs;
  } catch (const EffectError& e) {
    std::cerr << "vizmira: " << e.what() << "\n";
    return kEffectError;
  } catch (const HostError& e) {
    std::cerr << "vizmira: " << e.what() << "\n";
    return kImageError;
  } catch (const std::exception& e) {
    std::cerr << "vizmira: " << e.what() << "\n";
    return kImageError;
  }
}
