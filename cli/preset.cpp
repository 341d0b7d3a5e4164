#include "preset.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

namespace vzcli {

using minihost::Control;
using minihost::Host;
using ordered_json = nlohmann::ordered_json;

namespace {

// Numbers as a user types them (ten significant digits), so that a float slider's
// single-precision default reads 0.1, not 0.100000001490116.
ordered_json Number(double v) {
  std::ostringstream s;
  s.precision(10);
  s << v;
  return ordered_json::parse(s.str());
}

// A value in the units --set takes, typed for JSON.
ordered_json Value(Host& host, const Control& c, const std::string& layer, bool dflt) {
  if (c.type == PF_Param_FLOAT_SLIDER || c.type == PF_Param_ANGLE) return Number(std::stod(minihost::FormatValue(host, c, dflt)));
  if (c.type == PF_Param_POPUP) return std::stoi(minihost::FormatValue(host, c, dflt));
  if (c.type == PF_Param_CHECKBOX) return minihost::FormatValue(host, c, dflt) == "on";
  if (c.type == PF_Param_POINT || c.type == PF_Param_COLOR) return minihost::FormatValue(host, c, dflt);
  if (c.type == PF_Param_LAYER && !dflt && !layer.empty()) return layer;
  return nullptr;
}

bool IsGroup(const Control& c) { return c.type == PF_Param_GROUP_START || c.type == PF_Param_GROUP_END; }

// The fields a listing holds besides "path" and "value": a preset may carry them, and they
// are not read back.
const std::set<std::string> kDescriptiveFields = {
    "index", "id", "label", "type", "default", "min", "max", "slider_min", "slider_max",
    "precision", "percent", "choices", "enabled", "folded"};

}  // namespace

std::string ListJson(Host& host, const std::vector<Control>& controls,
                     const std::vector<std::string>& layer_values) {
  std::string out = "[\n";
  for (size_t n = 0; n < controls.size(); ++n) {
    const Control& c = controls[n];
    const PF_ParamDef& def = host.params()[size_t(c.index)];
    const std::string& layer = layer_values.at(size_t(c.index));
    ordered_json o;
    o["index"] = c.index;
    o["id"] = def.uu.id;
    o["path"] = c.path;
    o["label"] = c.label;
    o["type"] = minihost::TypeName(c.type);
    o["default"] = Value(host, c, layer, true);
    o["value"] = Value(host, c, layer, false);
    if (c.type == PF_Param_FLOAT_SLIDER) {
      const PF_FloatSliderDef& fs = def.u.fs_d;
      o["min"] = Number(fs.valid_min);
      o["max"] = Number(fs.valid_max);
      o["slider_min"] = Number(fs.slider_min);
      o["slider_max"] = Number(fs.slider_max);
      o["precision"] = fs.precision;
      o["percent"] = (fs.display_flags & PF_ValueDisplayFlag_PERCENT) != 0;
    }
    if (c.type == PF_Param_POPUP) o["choices"] = minihost::PopupChoices(def);
    o["enabled"] = (def.ui_flags & PF_PUI_DISABLED) == 0;
    o["folded"] = (def.flags & PF_ParamFlag_COLLAPSE_TWIRLY) != 0;
    // One object a line, its fields spaced as a person would write them.
    std::string line = "  {";
    bool first = true;
    for (const auto& [key, value] : o.items()) {
      std::string text;
      if (value.is_array()) {  // spaced like the rest
        for (const auto& v : value) text += (text.empty() ? "" : ", ") + v.dump();
        text = "[" + text + "]";
      } else {
        text = value.dump();
      }
      line += (first ? "" : ", ") + ordered_json(key).dump() + ": " + text;
      first = false;
    }
    out += line + "}" + (n + 1 < controls.size() ? "," : "") + "\n";
  }
  return out + "]\n";
}

std::vector<std::pair<std::string, std::string>> ReadSettings(
    const std::string& path, const std::vector<Control>& controls) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw SettingsError("cannot read settings " + path);
  const std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  ordered_json doc;
  try {
    doc = ordered_json::parse(text);
  } catch (const nlohmann::json::parse_error& e) {
    throw SettingsError(path + " is not JSON: " + e.what());
  }
  std::vector<std::pair<std::string, std::string>> sets;
  // A value as --set takes it, or an error naming the entry.
  auto text_of = [&](const std::string& where, const Control& c, const ordered_json& v) {
    auto wrong = [&](const char* want) {
      return SettingsError(path + ", " + where + ": " + c.path + " takes " + want + ", not " +
                           v.dump());
    };
    if (c.type == PF_Param_CHECKBOX) {
      if (!v.is_boolean()) throw wrong("true or false");
      return std::string(v.get<bool>() ? "on" : "off");
    }
    if (c.type == PF_Param_FLOAT_SLIDER || c.type == PF_Param_ANGLE) {
      if (!v.is_number()) throw wrong("a number");
      return v.dump();
    }
    if (c.type == PF_Param_POPUP) {
      if (v.is_number_integer()) return v.dump();
      if (v.is_string()) return v.get<std::string>();
      throw wrong("a choice number or its text");
    }
    if (c.type == PF_Param_LAYER) {
      if (v.is_null()) return std::string();
      if (!v.is_string()) throw wrong("an image path or null");
      return v.get<std::string>();
    }
    if (!v.is_string()) throw wrong(c.type == PF_Param_POINT ? "\"X,Y\" or \"X%,Y%\"" : "a colour text");
    return v.get<std::string>();
  };
  auto find = [&](const std::string& where, const std::string& key) -> const Control& {
    std::string error;
    const int index = minihost::FindControl(controls, key, &error);
    if (index < 0) throw SettingsError(path + ", " + where + ": " + error);
    return controls[size_t(index - 1)];
  };
  if (doc.is_array()) {  // a listing as `params --json` prints it
    for (size_t i = 0; i < doc.size(); ++i) {
      const ordered_json& e = doc[i];
      const std::string where = "entry " + std::to_string(i + 1);
      if (!e.is_object() || !e.contains("path") || !e["path"].is_string())
        throw SettingsError(path + ", " + where + ": an entry is an object with a \"path\"");
      for (const auto& [field, value] : e.items())
        if (field != "path" && field != "value" && !kDescriptiveFields.count(field))
          throw SettingsError(path + ", " + where + ": unknown field \"" + field + "\"");
      const std::string key = e["path"].get<std::string>();
      const auto group = std::find_if(controls.begin(), controls.end(), [&](const Control& c) {
        return IsGroup(c) && c.path == key;
      });
      if (group != controls.end()) continue;  // groups have no value
      const Control& c = find(where, key);
      if (!e.contains("value")) throw SettingsError(path + ", " + where + ": no \"value\"");
      if (c.type == PF_Param_LAYER && e["value"].is_null()) continue;
      sets.emplace_back(c.path, text_of(where + " (" + key + ")", c, e["value"]));
    }
  } else if (doc.is_object()) {  // written by hand: {"KEY": VALUE, ...}
    for (const auto& [key, value] : doc.items()) {
      const std::string where = "\"" + key + "\"";
      const Control& c = find(where, key);
      if (c.type == PF_Param_LAYER && value.is_null()) continue;
      sets.emplace_back(c.path, text_of(where, c, value));
    }
  } else {
    throw SettingsError(path + ": settings are a JSON array of controls or an object of KEY: VALUE");
  }
  return sets;
}

Setup ApplySettings(minihost::Host& host, const std::optional<std::string>& preset,
                    const std::vector<std::pair<std::string, std::string>>& given) {
  Setup setup;
  setup.controls = minihost::DescribeControls(host.params());
  std::vector<std::pair<std::string, std::string>> sets;
  if (preset) sets = ReadSettings(*preset, setup.controls);
  const size_t from_file = sets.size();
  sets.insert(sets.end(), given.begin(), given.end());
  for (size_t n = 0; n < sets.size(); ++n) {
    const auto& [key, value] = sets[n];
    // A value the preset holds is reported with the file's name.
    auto fail = [&](const std::string& error) {
      return SettingsError(n < from_file ? *preset + ": " + error : error);
    };
    std::string error;
    const int index = minihost::FindControl(setup.controls, key, &error);
    if (index < 0) throw fail(error);
    const minihost::Control& c = setup.controls[size_t(index - 1)];
    if (c.type == PF_Param_LAYER) {
      setup.layer_path = value.empty() ? std::nullopt : std::optional<std::string>(value);
      continue;
    }
    Animation animation;
    if (!animation.Parse(host, c, value, &error)) throw fail(error);
    if (animation.animated()) setup.animations.push_back(std::move(animation));
  }
  return setup;
}

void ApplyFrame(minihost::Host& host, const Setup& setup, int frame) {
  for (const Animation& a : setup.animations) a.Apply(host, frame);
}

}  // namespace vzcli
