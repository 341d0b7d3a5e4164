#include "shot.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "files.h"
#include "image_io.h"
#include "messages.h"

namespace vzcli {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using minihost::HostError;
using minihost::World;

constexpr int kImageError = 3, kEffectError = 4, kInterrupted = 130;

struct Pictures {
  World input;
  std::optional<World> custom;
  int file_depth;  // the input file's: 8, 16 (half too) or 32
};

struct Failure {
  int frame;
  int status;
  std::string why;
};

struct EffectFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A frame on its way out: written to `temp` on a thread of its own, then moved into place.
struct Outgoing {
  int frame;
  std::string file, temp;
  std::future<void> written;       // absent where the frame failed before writing
  std::optional<Failure> failure;  // reading or rendering failed
};

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, s < 10 ? "%.2f s" : "%.0f s", s);
  return text;
}

// What the user sees while the shot renders: a line that rewrites itself on a terminal, or
// one JSON object a line on standard output for a program that watches the run.
class Reporter {
 public:
  Reporter(bool terminal, bool json, size_t total) : terminal_(terminal), json_(json), total_(total) {}

  double Elapsed() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

  void Starting(size_t n, int frame, size_t done) {
    if (!terminal_) return;
    line_ = "frame " + std::to_string(n + 1) + " of " + std::to_string(total_) + " (" +
            std::to_string(frame) + ")";
    const double elapsed = Elapsed();
    if (done && elapsed > 0) {
      const double each = elapsed / double(done);
      char fps[32];
      std::snprintf(fps, sizeof fps, "%.1f", double(done) / elapsed);
      line_ += ", " + std::string(fps) + " frames/s, " + Seconds(each * double(total_ - done)) + " left";
    }
    line_ += "  ";
    pass_ = 0;
    last_ = 1.0;
  }
  void Rendering(double fraction) {
    if (fraction < last_) ++pass_;
    last_ = fraction;
    std::fprintf(Messages(), "\r%spass %d %3d%%  ", line_.c_str(), pass_, int(fraction * 100));
  }
  void Done(int frame, size_t done, const std::string& file) {
    if (!json_) return;
    nlohmann::ordered_json line = {{"frame", frame}, {"done", done}, {"total", total_},
                                   {"seconds", std::round(Elapsed() * 1000) / 1000}, {"file", file}};
    std::printf("%s\n", line.dump().c_str());
    std::fflush(stdout);
  }
  // Clears the terminal's line before a message.
  void Clear() {
    if (terminal_) std::fprintf(Messages(), "\r%90s\r", "");
  }

 private:
  bool terminal_, json_;
  size_t total_;
  Clock::time_point start_ = Clock::now();
  std::string line_;
  int pass_ = 0;
  double last_ = 1.0;
};

}  // namespace

int WritersInFlight() {
  return int(std::clamp(std::thread::hardware_concurrency(), 2u, 4u));
}

int RenderShot(minihost::Host& host, const Shot& shot) {
  const size_t total = shot.frames.size();
  Reporter report(shot.terminal, shot.json, total);
  if (shot.terminal) host.onProgress = [&](double f) { report.Rendering(f); };

  // Pictures that do not change from frame to frame are read once. Reads run one after
  // another on the reader's thread.
  std::optional<World> still_input, still_layer;
  int still_depth = 8;
  auto read_one = [](const FramePattern& name, int frame, std::optional<World>& still, ReadAs as,
                     int* depth) {
    if (!name.numbered() && still) return World::Copy(*still);
    World w = ReadImage(name.At(frame), as, depth);
    if (!name.numbered()) still = World::Copy(w);
    return w;
  };
  // Work depth 32 makes every picture float; with none given, half and float files work
  // at float. A float input takes its custom layer as float too.
  const ReadAs input_as = shot.work_depth == 32 ? ReadAs::kFloat
                          : shot.work_depth    ? ReadAs::kInteger
                                               : ReadAs::kStored;
  auto read = [&](int frame) {
    int depth = still_depth;
    Pictures p{read_one(shot.input, frame, still_input, input_as, &depth), std::nullopt, 8};
    if (shot.input.numbered() || !still_layer) still_depth = depth;
    p.file_depth = depth;
    const ReadAs layer_as = p.input.isFloat() ? ReadAs::kFloat : ReadAs::kInteger;
    if (shot.layer) p.custom = read_one(*shot.layer, frame, still_layer, layer_as, nullptr);
    return p;
  };

  std::deque<Outgoing> outgoing;
  std::vector<Failure> failures;
  size_t done = 0;
  bool stopped = false;  // a failure ended the run: nothing after it is kept
  auto discard = [](const Outgoing& o) {
    std::error_code ec;
    if (!o.temp.empty()) fs::remove(o.temp, ec);
  };
  // The oldest frame out: reported, and moved into place unless the run has ended.
  auto retire = [&](bool wait) {
    Outgoing& o = outgoing.front();
    if (o.written.valid()) {
      if (!wait && o.written.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        return false;
      try {
        o.written.get();
      } catch (const std::exception& e) {
        o.failure = Failure{o.frame, kImageError, e.what()};
      }
    }
    if (!stopped && !host.cancel.load() && !o.failure) {
      if (const std::error_code ec = MoveIntoPlace(o.temp, o.file, true))
        o.failure = Failure{o.frame, kImageError, "cannot write " + o.file + ": " + ec.message()};
      else
        report.Done(o.frame, ++done, o.file);
    }
    if (!stopped && !host.cancel.load() && o.failure) {
      failures.push_back(*o.failure);
      if (shot.sequence) {
        report.Clear();
        std::fprintf(Messages(), "vizmira: frame %d: %s\n", o.frame, o.failure->why.c_str());
      }
      if (!shot.keep_going || !shot.sequence) stopped = true;
    }
    discard(o);
    outgoing.pop_front();
    return true;
  };
  auto writing = [&] {
    return size_t(std::count_if(outgoing.begin(), outgoing.end(),
                                [](const Outgoing& o) { return o.written.valid(); }));
  };

  std::future<Pictures> next;
  auto read_ahead = [&](size_t n) {
    if (n < total) next = std::async(std::launch::async, read, shot.frames[n]);
  };
  read_ahead(0);
  for (size_t n = 0; n < total; ++n) {
    while (!outgoing.empty() && retire(false)) {
    }
    if (stopped || host.cancel.load()) break;
    const int frame = shot.frames[n];
    report.Starting(n, frame, done);
    std::future<Pictures> current = std::move(next);
    read_ahead(n + 1);
    Outgoing out{frame, shot.output.At(frame), {}, {}, std::nullopt};
    try {
      Pictures pictures = current.get();
      if (shot.sequence) {
        shot.animate(frame);
        host.SetFrame(frame);
      }
      // The output has the work depth, as a host renders into a layer of its project's depth.
      // Float goes the smart way, the only one a host renders float by.
      const World* custom = pictures.custom ? &*pictures.custom : nullptr;
      const bool float_work = pictures.input.isFloat();
      const bool deep_input = pictures.input.deep();
      const bool deep_work = shot.work_depth ? shot.work_depth == 16 : deep_input;
      // Written whole by the render before anything reads it.
      const A_long w = pictures.input.width(), h = pictures.input.height();
      World output = float_work ? World::Float(w, h, 0, World::Pixels::kUnset)
                                : World(w, h, deep_work, 0, World::Pixels::kUnset);
      const PF_Err err = float_work ? host.SmartRender(pictures.input, output, custom)
                                    : host.Render(pictures.input, output, custom);
      if (err == PF_Interrupt_CANCEL && host.cancel.load()) break;
      if (err) throw EffectFailure("the effect returned error " + std::to_string(err));
      const int depth = shot.output_depth ? shot.output_depth
                        : float_work        ? pictures.file_depth
                                            : (deep_input ? 16 : 8);
      out.temp = TemporaryBeside(out.file).string();
      out.written = std::async(std::launch::async, [picture = std::move(output), temp = out.temp,
                                                    file = out.file, depth] {
        try {
          WriteImage(picture, temp, depth);
        } catch (const HostError& e) {  // named as the user named it
          std::string why = e.what();
          for (size_t at; (at = why.find(temp)) != std::string::npos;) why.replace(at, temp.size(), file);
          throw HostError(why);
        }
      });
    } catch (const EffectFailure& e) {
      out.failure = Failure{frame, kEffectError, e.what()};
    } catch (const HostError& e) {
      out.failure = Failure{frame, kImageError, e.what()};
    }
    outgoing.push_back(std::move(out));
    while (writing() >= size_t(WritersInFlight())) retire(true);
  }
  while (!outgoing.empty()) retire(true);
  if (next.valid()) next.wait();
  report.Clear();
  host.onProgress = nullptr;

  if (host.cancel.load()) {
    if (shot.sequence)
      std::fprintf(Messages(), "vizmira: interrupted; %zu of %zu frames done\n", done, total);
    return kInterrupted;
  }
  if (!failures.empty()) {
    if (!shot.sequence) {
      std::fprintf(Messages(), "vizmira: %s\n", failures.front().why.c_str());
    } else if (shot.keep_going) {
      std::string list;
      for (const Failure& f : failures) list += (list.empty() ? "" : ", ") + std::to_string(f.frame);
      std::fprintf(Messages(), "vizmira: %zu of %zu frames failed: %s\n", failures.size(), total,
                   list.c_str());
    }
    return failures.front().status;
  }
  if (shot.sequence && shot.terminal)
    std::fprintf(Messages(), "%zu frames in %s\n", done, Seconds(report.Elapsed()).c_str());
  return 0;
}

}  // namespace vzcli
