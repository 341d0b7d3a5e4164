// Shots: numbered frame names, frame ranges, and control values that change over time.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "minihost/controls.h"
#include "minihost/host.h"

namespace vzcli {

// A file name with a frame number in it: "in.####.exr" (one '#' per digit) or
// "in.%04d.exr". A name without one names the same file for every frame.
class FramePattern {
 public:
  explicit FramePattern(std::string text);
  bool numbered() const { return width_ >= 0; }
  std::string At(int frame) const;
  const std::string& text() const { return text_; }

 private:
  std::string text_, before_, after_;
  int width_ = -1;  // digits, at least; -1: not numbered
};

struct FrameRange {
  int first = 1, last = 1, step = 1;
  std::vector<int> Frames() const;
};
// "A-B", "A-B:STEP" or "N"; nullopt when the text is not one of these.
std::optional<FrameRange> ParseFrameRange(const std::string& text);

// One control's keys: values at frames. Numbers (sliders, angles, points, colours channel by
// channel) move in a straight line between keys and hold outside them; popups and
// checkboxes hold the last key at or before the frame.
class Animation {
 public:
  // "V@F,V@F,..." (a value without '@' is constant). Each value is checked as --set checks
  // it; false with the reason.
  bool Parse(minihost::Host& host, const minihost::Control& control, const std::string& text,
             std::string* error);
  bool animated() const { return keys_.size() > 1 || (keys_.size() == 1 && keys_[0].frame); }
  // Sets the control's value for the frame.
  void Apply(minihost::Host& host, int frame) const;

 private:
  struct Key {
    std::optional<int> frame;
    PF_ParamDef def;
    bool pixels = false;  // points: in layer pixels, not percent
  };
  minihost::Control control_;
  std::vector<Key> keys_;
};

}  // namespace vzcli
