// Controls as JSON: the listing `vizmira params --json` prints, which is also the preset
// format `--settings` reads back.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "minihost/controls.h"
#include "minihost/host.h"

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

}  // namespace vzcli
