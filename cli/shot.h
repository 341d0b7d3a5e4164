// Rendering a shot, or a single picture, with frames in flight: frame n+1 is read while
// frame n renders and earlier frames are written, several at once where writing is the
// slow part. Each frame is written to a temporary file beside its name and moved into
// place in frame order, so the files, the messages and the count of frames done are what a
// run one frame after another gives.
#pragma once

#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "minihost/host.h"
#include "sequence.h"

namespace vzcli {

struct Shot {
  Shot(FramePattern in, FramePattern out) : input(std::move(in)), output(std::move(out)) {}
  FramePattern input, output;
  std::optional<FramePattern> layer;
  std::vector<int> frames;
  bool sequence = false;    // --frame or --frames: messages name frames, failures may be kept going
  bool keep_going = false;  // a failed frame does not stop the rest
  int work_depth = 0;       // 0: the input's
  int output_depth = 0;     // 0: the input's
  std::function<void(int frame)> animate;  // sets the frame's animated values
  bool terminal = false;  // a progress line on the terminal
  bool json = false;      // one JSON object a line on standard output as frames are done
};

// Frames written at once, at most: with the one being read and the one rendering, the
// frames in memory number at most this plus two.
int WritersInFlight();

// Renders every frame, reporting failures in frame order as a run one frame after another
// does; Ctrl-C (host.cancel) finishes no frame half-way. Returns the exit status: 0, 3 (a
// picture could not be read or written), 4 (the effect returned an error) or 130.
int RenderShot(minihost::Host& host, const Shot& shot);

}  // namespace vzcli
