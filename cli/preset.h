// Controls as JSON: the listing `vizmira params --json` prints, which is also the preset
// format `--settings` reads back.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "minihost/controls.h"
#include "minihost/host.h"
#include "sequence.h"

namespace vzcli {

// One JSON array, one object per declared control in index order; `layer_values` holds the
// image path of each layer control (empty: none).
std::string ListJson(minihost::Host& host, const std::vector<minihost::Control>& controls,
                     const std::vector<std::string>& layer_values);

// The settings of a preset file as (key, value) pairs in the form --set takes, in file
// order. Throws SettingsError naming the file and the entry for anything it cannot take:
// not JSON, an unknown control, a value of the wrong type or an unknown field.
struct SettingsError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
std::vector<std::pair<std::string, std::string>> ReadSettings(
    const std::string& path, const std::vector<minihost::Control>& controls);

// What the controls hold for a run: the module's controls, the custom layer's path, and
// the controls that change over time.
struct Setup {
  std::vector<minihost::Control> controls;
  std::optional<std::string> layer_path;
  std::vector<Animation> animations;
};

// The preset file, if any, then every (KEY, VALUE) after it, applied in order to the host's
// controls as --settings and --set apply them. Throws SettingsError with the message the
// command prints (a preset's entry named with the file).
Setup ApplySettings(minihost::Host& host, const std::optional<std::string>& preset,
                    const std::vector<std::pair<std::string, std::string>>& sets);

// Sets the animated controls' values for the frame.
void ApplyFrame(minihost::Host& host, const Setup& setup, int frame);

}  // namespace vzcli
