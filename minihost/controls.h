// The control model as a user sees it: paths, lookup by key, values in the units a user
// types, and listings. Everything comes from what the module declared.
#pragma once

#include <string>
#include <vector>

#include "host.h"

namespace minihost {

struct Control {
  int index;
  std::string path;   // group labels and own label joined by '/'
  std::string label;  // a checkbox's text where its name is empty
  PF_ParamType type;
};

// The kind's name as listings and presets write it: layer, angle, checkbox, color, point,
// popup, float, group_start, group_end.
const char* TypeName(PF_ParamType type);

std::vector<Control> DescribeControls(const std::vector<PF_ParamDef>& defs);

// The index named by `key` (1-based index or a unique suffix of a path, case-insensitive);
// -1 with a message listing the candidates when there is none or more than one.
int FindControl(const std::vector<Control>& controls, const std::string& key,
                std::string* error);

// Sets the control from text; false with a message naming the control and its valid range.
// Layer controls are not set here (they take an image).
bool SetValue(Host& host, const Control& control, const std::string& text, std::string* error);

// FindControl and SetValue in one: the control named by key takes the value.
bool SetByKey(Host& host, const std::string& key, const std::string& value, std::string* error);

// Value and default as a user would type them back.
std::string FormatValue(Host& host, const Control& control, bool dflt = false);
std::string RangeText(const PF_ParamDef& def);
std::vector<std::string> PopupChoices(const PF_ParamDef& def);

std::string ListText(Host& host, const std::vector<Control>& controls,
                     const std::vector<std::string>& layer_values);

// Text as keys and values are compared: lower case, and without surrounding blanks.
std::string Lower(std::string s);
std::string Trim(const std::string& s);

}  // namespace minihost
