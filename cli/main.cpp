// vizmira: applies the lens effect to pictures outside the compositing host.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "image_io.h"
#include "preset.h"
#include "sequence.h"
#include "serve.h"
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
    "  vizmira params [--settings FILE] [--set KEY=VALUE]... [--frame N] [--json]\n"
    "  vizmira render INPUT OUTPUT [--settings FILE] [--set KEY=VALUE]... [--custom-layer IMAGE]\n"
    "                 [--frames A-B[:STEP] | --frame N] [--keep-going]\n"
    "                 [--work-depth 8|16] [--output-depth 8|16] [--threads N] [--module PATH]\n"
    "  vizmira testcard OUTPUT [--size WxH] [--depth 8|16]\n"
    "  vizmira serve PICTURE [--custom-layer IMAGE] [--port 8642] [--listen ADDRESS]\n"
    "                [--threads N] [--module PATH]\n"
    "\n"
    "KEY is a control index (1-64) or a unique end of its path, such as Type, MODE,\n"
    "Fast Blur/Amount or Fast Blur/Visible. 'vizmira params' lists them all.\n"
    "VALUE@FRAME,VALUE@FRAME,... animates a control. Frame files are named with #### or\n"
    "%04d: 'vizmira render in.####.exr out.####.png --frames 1-240'.\n"
    "--settings reads a preset saved with 'vizmira params --json'; --set overrides it.\n";

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
  std::optional<std::string> custom_layer, module, settings, listen;
  std::optional<vzcli::FrameRange> frames;  // --frames, or --frame as a range of one
  int work_depth = 0, output_depth = 0, depth = 8, threads = 0, width = 1920, height = 1080;
  int port = 8642;
  bool json = false, keep_going = false;
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
    } else if (a == "--keep-going") {
      o.keep_going = true;
    } else if (a == "--settings") {
      o.settings = next();
    } else if (a == "--frames" || a == "--frame") {
      const std::string v = next();
      o.frames = vzcli::ParseFrameRange(v);
      if (!o.frames || (a == "--frame" && o.frames->first != o.frames->last))
        throw UsageError(a + (a == "--frame" ? " takes a frame number" : " takes A-B or A-B:STEP") +
                         ", not '" + v + "'");
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
    } else if (a == "--port") {
      o.port = ParseInt(a, next(), 0, 65535);
    } else if (a == "--listen") {
      o.listen = next();
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

// What the controls hold for a run: the module's controls, the custom layer's path, and
// the controls that change over time.
struct Setup {
  std::vector<Control> controls;
  std::optional<std::string> layer_path;
  std::vector<vzcli::Animation> animations;
};

// Loads the module, then applies the preset and every --set after it, in order.
Setup Prepare(Host& host, const Options& o) {
  LoadModule(host, o);
  Setup setup;
  setup.controls = minihost::DescribeControls(host.params());
  std::vector<std::pair<std::string, std::string>> sets;
  if (o.settings) {
    try {
      sets = vzcli::ReadSettings(*o.settings, setup.controls);
    } catch (const vzcli::SettingsError& e) {
      throw ValueError(e.what());
    }
  }
  const size_t from_file = sets.size();
  sets.insert(sets.end(), o.sets.begin(), o.sets.end());
  for (size_t n = 0; n < sets.size(); ++n) {
    const auto& [key, value] = sets[n];
    // A value the preset holds is reported with the file's name.
    auto fail = [&](const std::string& error) {
      return ValueError(n < from_file ? *o.settings + ": " + error : error);
    };
    std::string error;
    const int index = minihost::FindControl(setup.controls, key, &error);
    if (index < 0) throw fail(error);
    const Control& c = setup.controls[size_t(index - 1)];
    if (c.type == "layer") {
      setup.layer_path = value.empty() ? std::nullopt : std::optional<std::string>(value);
      continue;
    }
    vzcli::Animation animation;
    if (!animation.Parse(host, c, value, &error)) throw fail(error);
    if (animation.animated()) setup.animations.push_back(std::move(animation));
  }
  if (o.custom_layer) setup.layer_path = o.custom_layer;
  if (!setup.animations.empty() && !o.frames)
    throw ValueError("animated values need --frame N or --frames A-B");
  return setup;
}

void ApplyFrame(Host& host, const Setup& setup, int frame) {
  for (const vzcli::Animation& a : setup.animations) a.Apply(host, frame);
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
  const Setup setup = Prepare(host, o);
  if (o.frames) ApplyFrame(host, setup, o.frames->first);
  if (PF_Err err = host.UserChangedParam(2))
    throw EffectError("supervision returned error " + std::to_string(err));
  std::vector<std::string> layers(host.params().size());
  for (const Control& c : setup.controls)
    if (c.type == "layer" && setup.layer_path) layers[size_t(c.index)] = *setup.layer_path;
  std::cout << (o.json ? vzcli::ListJson(host, setup.controls, layers)
                       : minihost::ListText(host, setup.controls, layers));
  return kOk;
}

// A frame that could not be made: its exit status and why.
struct FrameFailure {
  int frame;
  int status;
  std::string why;
};

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, s < 10 ? "%.2f s" : "%.0f s", s);
  return text;
}

int CmdRender(const Options& o) {
  Expect(o, 2, "INPUT and OUTPUT");
  Host host;
  const Setup setup = Prepare(host, o);
  if (o.threads) host.SetThreads(o.threads);
  host.SetWorkDepth(o.work_depth);

  const vzcli::FramePattern input_name(o.positional[0]), output_name(o.positional[1]);
  const std::optional<vzcli::FramePattern> layer_name =
      setup.layer_path ? std::optional<vzcli::FramePattern>(*setup.layer_path) : std::nullopt;
  const bool sequence = o.frames.has_value();
  const std::vector<int> frames = sequence ? o.frames->Frames() : std::vector<int>{0};
  if (frames.size() > 1 && !output_name.numbered())
    throw UsageError("several frames need a frame number in OUTPUT (#### or %04d)");
  // Every frame the run needs is there before any work starts.
  if (sequence) {
    for (int f : frames) {
      for (const vzcli::FramePattern* name : {&input_name, layer_name ? &*layer_name : nullptr}) {
        if (name && name->numbered() && !fs::exists(name->At(f)))
          throw HostError("missing frame " + std::to_string(f) + ": " + name->At(f));
      }
    }
  }

  g_cancel = &host.cancel;
  std::signal(SIGINT, OnInterrupt);
  const bool tty = isatty(STDERR_FILENO);
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  std::string status_line;
  int pass = 0;
  double last = 1.0;
  if (tty) {
    host.onProgress = [&](double f) {
      if (f < last) ++pass;
      last = f;
      std::fprintf(stderr, "\r%spass %d %3d%%  ", status_line.c_str(), pass, int(f * 100));
    };
  }

  // Pictures that do not change from frame to frame are read once.
  std::optional<World> still_input, still_layer;
  std::vector<FrameFailure> failures;
  size_t done = 0;
  for (size_t n = 0; n < frames.size() && !host.cancel.load(); ++n) {
    const int frame = frames[n];
    const std::string what = sequence ? "frame " + std::to_string(frame) + ": " : "";
    if (tty && sequence) {
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      status_line = "frame " + std::to_string(n + 1) + " of " + std::to_string(frames.size()) +
                    " (" + std::to_string(frame) + ")";
      if (done) {
        const double each = elapsed / double(done);
        status_line += ", " + Seconds(each) + " a frame, " +
                       Seconds(each * double(frames.size() - n)) + " left";
      }
      status_line += "  ";
    }
    pass = 0;
    last = 1.0;
    try {
      if (sequence) {
        ApplyFrame(host, setup, frame);
        host.SetFrame(frame);
      }
      auto read = [&](const vzcli::FramePattern& name, std::optional<World>& still) -> World {
        if (!name.numbered() && still) return World::Copy(*still);
        World w = vzcli::ReadImage(name.At(frame));
        if (!name.numbered()) still = World::Copy(w);
        return w;
      };
      World input = read(input_name, still_input);
      std::optional<World> custom;
      if (layer_name) custom = read(*layer_name, still_layer);
      // The output has the work depth, as a host renders into a layer of its project's depth.
      const bool deep_work = o.work_depth ? o.work_depth == 16 : input.deep();
      World output(input.width(), input.height(), deep_work);
      const PF_Err err = host.Render(input, output, custom ? &*custom : nullptr);
      if (err == PF_Interrupt_CANCEL && host.cancel.load()) break;
      if (err) throw EffectError("the effect returned error " + std::to_string(err));
      const std::string out = output_name.At(frame);
      vzcli::WriteImage(output, out, o.output_depth ? o.output_depth : (input.deep() ? 16 : 8));
      if (host.cancel.load()) {  // interrupted while writing: no frame half-way
        std::error_code ec;
        fs::remove(out, ec);
        break;
      }
      ++done;
    } catch (const EffectError& e) {
      if (!sequence) throw;
      failures.push_back({frame, kEffectError, e.what()});
    } catch (const HostError& e) {
      if (!sequence) throw;
      failures.push_back({frame, kImageError, e.what()});
    }
    if (!failures.empty() && failures.back().frame == frame) {
      if (tty) std::fprintf(stderr, "\r%70s\r", "");
      std::fprintf(stderr, "vizmira: frame %d: %s\n", frame, failures.back().why.c_str());
      if (!o.keep_going) return failures.back().status;
    }
  }
  if (tty) std::fprintf(stderr, "\r%70s\r", "");
  if (host.cancel.load()) {
    if (sequence)
      std::fprintf(stderr, "vizmira: interrupted; %zu of %zu frames done\n", done, frames.size());
    return kInterrupted;
  }
  if (!failures.empty()) {
    std::string list;
    for (const FrameFailure& f : failures) list += (list.empty() ? "" : ", ") + std::to_string(f.frame);
    std::fprintf(stderr, "vizmira: %zu of %zu frames failed: %s\n", failures.size(),
                 frames.size(), list.c_str());
    return failures.front().status;
  }
  if (sequence && tty)
    std::fprintf(stderr, "%zu frames in %s\n", done,
                 Seconds(std::chrono::duration<double>(Clock::now() - start).count()).c_str());
  return kOk;
}

// The live preview in a browser, until Ctrl-C.
int CmdServe(const Options& o) {
  Expect(o, 1, "PICTURE");
  vzcli::ServeOptions s;
  s.module = o.module ? *o.module : DefaultModulePath();
  s.picture = o.positional[0];
  s.custom_layer = o.custom_layer;
  if (o.listen) s.listen = *o.listen;
  s.port = o.port;
  s.threads = o.threads;
  static std::atomic<bool> stop{false};
  g_cancel = &stop;
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  return vzcli::Serve(s, stop);
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
    if (cmd == "serve") return CmdServe(o);
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
