// vizmira: applies the lens effect to pictures outside the compositing host.
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

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

#include <CLI/CLI.hpp>

#include "image_io.h"
#include "preset.h"
#include "sequence.h"
#include "messages.h"
#include "serve.h"
#include "shot.h"
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
  std::string command;
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> sets;
  std::optional<std::string> custom_layer, module, settings, listen;
  std::optional<vzcli::FrameRange> frames;  // --frames, or --frame as a range of one
  int work_depth = 0, output_depth = 0, depth = 8, threads = 0, width = 1920, height = 1080;
  int port = 8642;
  bool json = false, keep_going = false;
  bool json_progress = false;
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
  if (v != "8" && v != "16" && v != "32") throw UsageError(flag + " takes 8, 16 or 32, not '" + v + "'");
  return std::stoi(v);
}

// The command line as the text of each option; the values are checked afterwards, with the
// messages the tool has always given.
struct Raw {
  std::string first, second;  // the positional arguments
  std::vector<std::string> sets;
  std::string custom_layer, module, settings, listen, frames, frame, work_depth, output_depth,
      depth, threads, size, port, progress;
  bool json = false, keep_going = false;
};

// Each subcommand takes its own options and no others: a stray option is an error naming it.
std::unique_ptr<CLI::App> CommandLine(Raw& raw) {
  auto app = std::make_unique<CLI::App>(
      "vizmira: the lens effect outside the compositing host.\n\n"
      "KEY is a control index (1-64) or a unique end of its path, such as Type, MODE,\n"
      "Fast Blur/Amount or Fast Blur/Visible; 'vizmira params' lists them all.\n"
      "VALUE@FRAME,VALUE@FRAME,... animates a control. Frame files are named with #### or\n"
      "%04d: 'vizmira render in.####.exr out.####.png --frames 1-240'.\n"
      "--settings reads a preset saved with 'vizmira params --json'; --set overrides it.",
      "vizmira");
  app->require_subcommand(1);
  app->set_version_flag("--version", "vizmira " VIZMIRA_VERSION);
  auto module = [&](CLI::App* c) {
    c->add_option("--module", raw.module, "the effect module (default: the one built beside vizmira)");
  };
  auto threads = [&](CLI::App* c) { c->add_option("--threads", raw.threads, "threads the host renders on"); };
  auto layer = [&](CLI::App* c) { c->add_option("--custom-layer", raw.custom_layer, "the Custom lens's layer"); };
  auto controls = [&](CLI::App* c) {
    c->add_option("--settings", raw.settings, "a preset: the controls saved as JSON");
    c->add_option("--set", raw.sets, "a control's value, KEY=VALUE (repeatable)")->allow_extra_args(false);
  };

  CLI::App* about = app->add_subcommand("about", "the module's About text");
  module(about);

  CLI::App* params = app->add_subcommand("params", "the 64 controls, their values, ranges and states");
  controls(params);
  layer(params);
  params->add_option("--frame", raw.frame, "the frame whose animated values to show");
  params->add_flag("--json", raw.json, "as JSON, one object per control");
  module(params);

  CLI::App* render = app->add_subcommand("render", "applies the effect to a picture or a shot");
  render->add_option("INPUT", raw.first, "the picture, or a numbered sequence (in.####.exr)")->required();
  render->add_option("OUTPUT", raw.second, "the file to write, numbered for a shot (out.####.png)")->required();
  controls(render);
  layer(render);
  CLI::Option* frames = render->add_option("--frames", raw.frames, "A-B or A-B:STEP: the frames of a shot");
  render->add_option("--frame", raw.frame, "N: one frame of a shot")->excludes(frames);
  render->add_flag("--keep-going", raw.keep_going, "render the other frames when one fails");
  render->add_option("--work-depth", raw.work_depth,
                     "8, 16 or 32 (float): the depth the host works at (default: the input's; "
                     "float for half and float files)");
  render->add_option("--output-depth", raw.output_depth,
                     "8, 16 or 32: the file's depth (default: the input's; 16 is half in EXR)");
  render->add_option("--progress", raw.progress,
                     "json: one JSON object a line on standard output as frames are done");
  threads(render);
  module(render);

  CLI::App* testcard = app->add_subcommand("testcard", "writes a synthetic picture for demos and tests");
  testcard->add_option("OUTPUT", raw.first, "the file to write")->required();
  testcard->add_option("--size", raw.size, "WxH (default 1920x1080)");
  testcard->add_option("--depth", raw.depth, "8, 16 or 32 (float, highlights above white; default 8)");

  CLI::App* serve = app->add_subcommand("serve", "the preview in a browser");
  serve->add_option("PICTURE", raw.first, "the picture to preview")->required();
  layer(serve);
  serve->add_option("--port", raw.port, "the port (default 8642; 0: any free one)");
  serve->add_option("--listen", raw.listen, "the address to listen on (default 127.0.0.1)");
  threads(serve);
  module(serve);
  return app;
}

Options Check(const CLI::App& app, const Raw& raw) {
  Options o;
  for (const CLI::App* c : app.get_subcommands()) o.command = c->get_name();
  for (const std::string* p : {&raw.first, &raw.second})
    if (!p->empty()) o.positional.push_back(*p);
  for (const std::string& kv : raw.sets) {
    const size_t eq = kv.find('=');
    if (eq == std::string::npos || eq == 0) throw UsageError("--set takes KEY=VALUE, not '" + kv + "'");
    o.sets.emplace_back(kv.substr(0, eq), kv.substr(eq + 1));
  }
  auto given = [](const std::string& v) { return v.empty() ? std::nullopt : std::optional<std::string>(v); };
  o.custom_layer = given(raw.custom_layer);
  o.module = given(raw.module);
  o.settings = given(raw.settings);
  o.listen = given(raw.listen);
  o.json = raw.json;
  o.keep_going = raw.keep_going;
  for (const auto& [flag, v] : {std::pair{"--frames", raw.frames}, std::pair{"--frame", raw.frame}}) {
    if (v.empty()) continue;
    const std::string a = flag;
    o.frames = vzcli::ParseFrameRange(v);
    if (!o.frames || (a == "--frame" && o.frames->first != o.frames->last))
      throw UsageError(a + (a == "--frame" ? " takes a frame number" : " takes A-B or A-B:STEP") +
                       ", not '" + v + "'");
  }
  if (!raw.work_depth.empty()) o.work_depth = ParseDepth("--work-depth", raw.work_depth);
  if (!raw.output_depth.empty()) o.output_depth = ParseDepth("--output-depth", raw.output_depth);
  if (!raw.depth.empty()) o.depth = ParseDepth("--depth", raw.depth);
  if (!raw.port.empty()) o.port = ParseInt("--port", raw.port, 0, 65535);
  if (!raw.threads.empty()) o.threads = ParseInt("--threads", raw.threads, 1, 1024);
  if (!raw.size.empty()) {
    const size_t x = raw.size.find_first_of("xX");
    if (x == std::string::npos) throw UsageError("--size takes WxH, not '" + raw.size + "'");
    o.width = ParseInt("--size width", raw.size.substr(0, x), 1, 16384);
    o.height = ParseInt("--size height", raw.size.substr(x + 1), 1, 16384);
  }
  if (!raw.progress.empty() && raw.progress != "json")
    throw UsageError("--progress takes json, not '" + raw.progress + "'");
  o.json_progress = raw.progress == "json";
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

// Loads the module, then applies the preset and every --set after it, in order.
vzcli::Setup Prepare(Host& host, const Options& o) {
  LoadModule(host, o);
  vzcli::Setup setup;
  try {
    setup = vzcli::ApplySettings(host, o.settings, o.sets);
  } catch (const vzcli::SettingsError& e) {
    throw ValueError(e.what());
  }
  if (o.custom_layer) setup.layer_path = o.custom_layer;
  if (!setup.animations.empty() && !o.frames)
    throw ValueError("animated values need --frame N or --frames A-B");
  return setup;
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
  const vzcli::Setup setup = Prepare(host, o);
  if (o.frames) vzcli::ApplyFrame(host, setup, o.frames->first);
  if (PF_Err err = host.UserChangedParam(2))
    throw EffectError("supervision returned error " + std::to_string(err));
  std::vector<std::string> layers(host.params().size());
  for (const Control& c : setup.controls)
    if (c.type == PF_Param_LAYER && setup.layer_path) layers[size_t(c.index)] = *setup.layer_path;
  std::cout << (o.json ? vzcli::ListJson(host, setup.controls, layers)
                       : minihost::ListText(host, setup.controls, layers));
  return kOk;
}

int CmdRender(const Options& o) {
  Expect(o, 2, "INPUT and OUTPUT");
  Host host;
  const vzcli::Setup setup = Prepare(host, o);
  if (o.threads) host.SetThreads(o.threads);
  host.SetWorkDepth(o.work_depth == 32 ? 0 : o.work_depth);  // float works the smart way

  vzcli::Shot shot(vzcli::FramePattern(o.positional[0]), vzcli::FramePattern(o.positional[1]));
  if (setup.layer_path) shot.layer = vzcli::FramePattern(*setup.layer_path);
  shot.sequence = o.frames.has_value();
  shot.frames = shot.sequence ? o.frames->Frames() : std::vector<int>{0};
  shot.keep_going = o.keep_going;
  shot.work_depth = o.work_depth;
  shot.output_depth = o.output_depth;
  shot.animate = [&](int frame) { vzcli::ApplyFrame(host, setup, frame); };
  shot.terminal = isatty(STDERR_FILENO);
  shot.json = o.json_progress;
  if (shot.frames.size() > 1 && !shot.output.numbered())
    throw UsageError("several frames need a frame number in OUTPUT (#### or %04d)");
  // Every frame the run needs is there before any work starts.
  if (shot.sequence) {
    for (int f : shot.frames) {
      for (const vzcli::FramePattern* name : {&shot.input, shot.layer ? &*shot.layer : nullptr}) {
        if (name && name->numbered() && !fs::exists(name->At(f)))
          throw HostError("missing frame " + std::to_string(f) + ": " + name->At(f));
      }
    }
  }
  g_cancel = &host.cancel;
  std::signal(SIGINT, OnInterrupt);
  return vzcli::RenderShot(host, shot);
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
  World card = o.depth == 32 ? minihost::TestCardFloat(o.width, o.height)
                             : minihost::TestCard(o.width, o.height, o.depth == 16);
  vzcli::WriteImage(card, o.positional[0], o.depth);
  return kOk;
}

// Frames of tens of megabytes are made and freed on several threads, one after another: kept
// in one heap and reused, rather than each mapped afresh and faulted in page by page (a
// float shot spent a third of its time in the kernel doing that).
void KeepFramesInTheHeap() {
#if defined(__GLIBC__)
  mallopt(M_ARENA_MAX, 1);
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  KeepFramesInTheHeap();
  std::FILE* err = vzcli::Messages();
  Raw raw;
  std::unique_ptr<CLI::App> app = CommandLine(raw);
  if (argc < 2) {  // what the tool does, where a user typed just its name
    std::fprintf(err, "%s", app->help().c_str());
    return kBadArgs;
  }
  try {
    // A word that is no command is named as such, not as an unexpected argument.
    const auto commands = app->get_subcommands([](const CLI::App*) { return true; });
    if (argc > 1 && argv[1][0] != '-' &&
        std::none_of(commands.begin(), commands.end(),
                     [&](const CLI::App* c) { return c->get_name() == argv[1]; }))
      throw UsageError(std::string("unknown command '") + argv[1] + "'");
    app->parse(argc, argv);
    const Options o = Check(*app, raw);
    if (o.command == "about") return CmdAbout(o);
    if (o.command == "params") return CmdParams(o);
    if (o.command == "render") return CmdRender(o);
    if (o.command == "testcard") return CmdTestcard(o);
    if (o.command == "serve") return CmdServe(o);
    throw UsageError("unknown command '" + o.command + "'");
  } catch (const CLI::CallForHelp&) {
    const CLI::App* asked = app.get();
    for (const CLI::App* c : app->get_subcommands()) asked = c;
    std::cout << asked->help();
    return kOk;
  } catch (const CLI::CallForVersion& e) {
    std::cout << e.what() << "\n";
    return kOk;
  } catch (const CLI::ExtrasError&) {
    // Named in the order they were typed, with the command that does not take them.
    const CLI::App* asked = app.get();
    for (const CLI::App* c : app->get_subcommands()) asked = c;
    std::string extras;
    for (const std::string& a : asked->remaining()) extras += " " + a;
    std::fprintf(err, "vizmira: %s does not take:%s\n(vizmira %s--help lists what it takes)\n",
                 asked == app.get() ? "vizmira" : ("vizmira " + asked->get_name()).c_str(), extras.c_str(),
                 asked == app.get() ? "" : (asked->get_name() + " ").c_str());
    return kBadArgs;
  } catch (const CLI::ParseError& e) {
    std::fprintf(err, "vizmira: %s\n(vizmira --help, or vizmira COMMAND --help, lists the options)\n",
                 e.what());
    return kBadArgs;
  } catch (const UsageError& e) {
    std::fprintf(err, "vizmira: %s\n(vizmira --help, or vizmira COMMAND --help, lists the options)\n",
                 e.what());
    return kBadArgs;
  } catch (const ValueError& e) {
    std::fprintf(err, "vizmira: %s\n", e.what());
    return kBadArgs;
  } catch (const EffectError& e) {
    std::fprintf(err, "vizmira: %s\n", e.what());
    return kEffectError;
  } catch (const std::exception& e) {  // HostError among them: a picture could not be read or written
    std::fprintf(err, "vizmira: %s\n", e.what());
    return kImageError;
  }
}
