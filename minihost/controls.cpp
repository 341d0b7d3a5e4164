#include "controls.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <utility>
#include <vector>

namespace minihost {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

namespace {

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::string cur;
  std::istringstream in(s);
  while (std::getline(in, cur, sep)) parts.push_back(cur);
  if (!s.empty() && s.back() == sep) parts.push_back("");
  return parts;
}

bool ParseNumber(const std::string& text, double* out) {
  std::string t = Trim(text);
  if (t.empty()) return false;
  char* end = nullptr;
  const double v = std::strtod(t.c_str(), &end);
  if (*end != '\0' || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

std::string Num(double v) {
  std::ostringstream s;
  s.precision(10);
  s << v;
  return s.str();
}

bool IsGroup(const Control& c) { return c.type == PF_Param_GROUP_START || c.type == PF_Param_GROUP_END; }

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

// How far a key is from naming a control: the closest of its path's endings.
size_t Distance(const std::string& key, const Control& c) {
  const std::string path = Lower(c.path);
  size_t best = EditDistance(key, path);
  for (size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1))
    best = std::min(best, EditDistance(key, path.substr(at + 1)));
  return best;
}

}  // namespace

const char* TypeName(PF_ParamType t) {
  switch (t) {
    case PF_Param_LAYER: return "layer";
    case PF_Param_ANGLE: return "angle";
    case PF_Param_CHECKBOX: return "checkbox";
    case PF_Param_COLOR: return "color";
    case PF_Param_POINT: return "point";
    case PF_Param_POPUP: return "popup";
    case PF_Param_FLOAT_SLIDER: return "float";
    case PF_Param_GROUP_START: return "group_start";
    case PF_Param_GROUP_END: return "group_end";
    default: return "unknown";
  }
}

std::vector<std::string> PopupChoices(const PF_ParamDef& def) {
  return def.u.pd.u.namesptr ? Split(def.u.pd.u.namesptr, '|') : std::vector<std::string>{};
}

std::vector<Control> DescribeControls(const std::vector<PF_ParamDef>& defs) {
  std::vector<Control> out;
  std::vector<std::string> groups;
  auto join = [&](const std::string& last) {
    std::string p;
    for (auto& g : groups) p += g + "/";
    return p + last;
  };
  for (size_t i = 1; i < defs.size(); ++i) {
    const PF_ParamDef& d = defs[i];
    Control c{int(i), "", d.name, d.param_type};
    if (d.param_type == PF_Param_CHECKBOX && c.label.empty() && d.u.bd.u.nameptr)
      c.label = d.u.bd.u.nameptr;
    if (d.param_type == PF_Param_GROUP_END) {
      c.label = groups.empty() ? "(end)" : "(end of " + groups.back() + ")";
      c.path = join("(end)");
      if (!groups.empty()) groups.pop_back();
    } else {
      c.path = join(c.label);
      if (d.param_type == PF_Param_GROUP_START) groups.push_back(c.label);
    }
    out.push_back(c);
  }
  return out;
}

int FindControl(const std::vector<Control>& controls, const std::string& key,
                std::string* error) {
  const std::string k = Trim(key);
  if (!k.empty() && std::all_of(k.begin(), k.end(), [](unsigned char c) { return std::isdigit(c); })) {
    const long index = std::strtol(k.c_str(), nullptr, 10);
    for (const Control& c : controls) {
      if (c.index != index) continue;
      if (IsGroup(c)) {
        *error = "control " + k + " (" + c.path + ") is a group and has no value";
        return -1;
      }
      return c.index;
    }
    *error = "no control " + k + "; controls are numbered 1 to " + std::to_string(controls.size());
    return -1;
  }
  const std::string lk = Lower(k);
  std::vector<const Control*> hits;
  for (const Control& c : controls) {
    if (IsGroup(c)) continue;
    const std::string lp = Lower(c.path);
    if (lp == lk || (lp.size() > lk.size() && lp.compare(lp.size() - lk.size(), lk.size(), lk) == 0 &&
                     lp[lp.size() - lk.size() - 1] == '/'))
      hits.push_back(&c);
  }
  if (hits.size() == 1) return hits[0]->index;
  std::string list;
  if (hits.empty()) {
    *error = "unknown control '" + key + "'";
    // Offer the controls whose label contains the key, else the closest paths.
    for (const Control& c : controls)
      if (!IsGroup(c) && Lower(c.label).find(lk) != std::string::npos)
        list += "\n  " + std::to_string(c.index) + "  " + c.path;
    if (list.empty()) {
      std::vector<std::pair<size_t, const Control*>> near;
      for (const Control& c : controls)
        if (!IsGroup(c)) near.emplace_back(Distance(lk, c), &c);
      std::stable_sort(near.begin(), near.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
      const size_t limit = near.empty() ? 0
                           : std::min(std::max<size_t>(2, lk.size() / 2), near[0].first + 1);
      for (size_t i = 0; i < near.size() && i < 5 && near[i].first <= limit; ++i)
        list += "\n  " + std::to_string(near[i].second->index) + "  " + near[i].second->path;
    }
    if (!list.empty()) *error += "; did you mean one of:" + list;
  } else {
    *error = "ambiguous control '" + key + "'; candidates:";
    for (const Control* c : hits) *error += "\n  " + std::to_string(c->index) + "  " + c->path;
  }
  return -1;
}

std::string RangeText(const PF_ParamDef& def) {
  switch (def.param_type) {
    case PF_Param_FLOAT_SLIDER: {
      const bool pct = def.u.fs_d.display_flags & PF_ValueDisplayFlag_PERCENT;
      return Num(def.u.fs_d.valid_min) + " to " + Num(def.u.fs_d.valid_max) + (pct ? " (%)" : "");
    }
    case PF_Param_POPUP: {
      std::string s = "1 to " + std::to_string(def.u.pd.num_choices) + " (";
      const auto choices = PopupChoices(def);
      for (size_t i = 0; i < choices.size(); ++i) s += (i ? ", " : "") + choices[i];
      return s + ")";
    }
    case PF_Param_CHECKBOX: return "0/1, on/off";
    case PF_Param_POINT: return "X,Y in pixels (or X%,Y% of the layer), each within ±32767";
    case PF_Param_ANGLE: return "degrees, within ±32767";
    case PF_Param_COLOR: return "#RRGGBB, R,G,B or R,G,B,A with channels 0 to 255";
    case PF_Param_LAYER: return "an image file";
    default: return "";
  }
}

bool SetValue(Host& host, const Control& control, const std::string& text, std::string* error) {
  PF_ParamDef& def = host.params().at(size_t(control.index));
  const std::string t = Trim(text);
  auto fail = [&] {
    *error = "invalid value '" + text + "' for " + control.path + " (control " +
             std::to_string(control.index) + "); valid: " + RangeText(def);
    return false;
  };
  switch (def.param_type) {
    case PF_Param_FLOAT_SLIDER: {
      std::string n = t;
      if (!n.empty() && n.back() == '%') n.pop_back();
      double v;
      if (!ParseNumber(n, &v) || v < def.u.fs_d.valid_min || v > def.u.fs_d.valid_max)
        return fail();
      def.u.fs_d.value = v;
      return true;
    }
    case PF_Param_POPUP: {
      const auto choices = PopupChoices(def);
      double v;
      if (ParseNumber(t, &v)) {
        if (v != std::floor(v) || v < 1 || v > def.u.pd.num_choices) return fail();
        def.u.pd.value = A_long(v);
        return true;
      }
      // Choice text, case-insensitive; runs of spaces count as one.
      auto squeeze = [](std::string s) {
        s = Lower(s);
        s.erase(std::unique(s.begin(), s.end(), [](char a, char b) { return a == ' ' && b == ' '; }),
                s.end());
        return s;
      };
      for (size_t i = 0; i < choices.size(); ++i) {
        if (squeeze(choices[i]) == squeeze(t)) {
          def.u.pd.value = A_long(i + 1);
          return true;
        }
      }
      return fail();
    }
    case PF_Param_CHECKBOX: {
      const std::string l = Lower(t);
      if (l == "1" || l == "on" || l == "true") def.u.bd.value = 1;
      else if (l == "0" || l == "off" || l == "false") def.u.bd.value = 0;
      else return fail();
      return true;
    }
    case PF_Param_POINT: {
      const auto parts = Split(t, ',');
      if (parts.size() != 2) return fail();
      double xy[2];
      bool pct[2];
      for (int i = 0; i < 2; ++i) {
        std::string p = Trim(parts[size_t(i)]);
        pct[i] = !p.empty() && p.back() == '%';
        if (pct[i]) p.pop_back();
        if (!ParseNumber(p, &xy[i]) || std::fabs(xy[i]) > 32767) return fail();
      }
      if (pct[0] != pct[1]) return fail();
      host.SetPoint(control.index, xy[0], xy[1], !pct[0]);
      return true;
    }
    case PF_Param_ANGLE: {
      double v;
      if (!ParseNumber(t, &v) || std::fabs(v) > 32767) return fail();
      def.u.ad.value = PF_Fixed(std::lround(v * 65536.0));
      return true;
    }
    case PF_Param_COLOR: {
      int c[4] = {0, 0, 0, 255};  // r, g, b, a
      if (!t.empty() && t[0] == '#') {
        if (t.size() != 7 || !std::all_of(t.begin() + 1, t.end(), [](unsigned char ch) { return std::isxdigit(ch); }))
          return fail();
        for (int i = 0; i < 3; ++i) c[i] = int(std::strtol(t.substr(size_t(1 + 2 * i), 2).c_str(), nullptr, 16));
      } else {
        const auto parts = Split(t, ',');
        if (parts.size() != 3 && parts.size() != 4) return fail();
        for (size_t i = 0; i < parts.size(); ++i) {
          double v;
          if (!ParseNumber(parts[i], &v) || v != std::floor(v) || v < 0 || v > 255) return fail();
          c[i] = int(v);
        }
      }
      def.u.cd.value = PF_Pixel{A_u_char(c[3]), A_u_char(c[0]), A_u_char(c[1]), A_u_char(c[2])};
      return true;
    }
    default:
      *error = control.path + " cannot be set this way";
      return false;
  }
}

bool SetByKey(Host& host, const std::string& key, const std::string& value, std::string* error) {
  const std::vector<Control> controls = DescribeControls(host.params());
  const int index = FindControl(controls, key, error);
  return index > 0 && SetValue(host, controls[size_t(index - 1)], value, error);
}

std::string FormatValue(Host& host, const Control& control, bool dflt) {
  const PF_ParamDef& def = host.params().at(size_t(control.index));
  switch (def.param_type) {
    case PF_Param_FLOAT_SLIDER: return Num(dflt ? def.u.fs_d.dephault : def.u.fs_d.value);
    case PF_Param_POPUP: return std::to_string(dflt ? def.u.pd.dephault : def.u.pd.value);
    case PF_Param_CHECKBOX: return (dflt ? def.u.bd.dephault : def.u.bd.value) == 1 ? "on" : "off";
    case PF_Param_POINT: {
      if (!dflt && host.PointInPixels(control.index))
        return Num(def.u.td.x_value / 65536.0) + "," + Num(def.u.td.y_value / 65536.0);
      const PF_Fixed x = dflt ? def.u.td.x_dephault : def.u.td.x_value;
      const PF_Fixed y = dflt ? def.u.td.y_dephault : def.u.td.y_value;
      return Num(x / 65536.0) + "%," + Num(y / 65536.0) + "%";
    }
    case PF_Param_ANGLE: return Num((dflt ? def.u.ad.dephault : def.u.ad.value) / 65536.0);
    case PF_Param_COLOR: {
      const PF_Pixel p = dflt ? def.u.cd.dephault : def.u.cd.value;
      char buf[32];
      if (p.alpha == 255) std::snprintf(buf, sizeof buf, "#%02X%02X%02X", p.red, p.green, p.blue);
      else std::snprintf(buf, sizeof buf, "%d,%d,%d,%d", p.red, p.green, p.blue, p.alpha);
      return buf;
    }
    default: return "";
  }
}

std::string ListText(Host& host, const std::vector<Control>& controls,
                     const std::vector<std::string>& layer_values) {
  std::ostringstream out;
  for (const Control& c : controls) {
    const PF_ParamDef& def = host.params()[size_t(c.index)];
    const bool enabled = !(def.ui_flags & PF_PUI_DISABLED);
    const bool folded = def.flags & PF_ParamFlag_COLLAPSE_TWIRLY;
    char head[16];
    std::snprintf(head, sizeof head, "%3d  ", c.index);
    out << head << c.path << "  [" << TypeName(c.type) << "]";
    if (c.type == PF_Param_LAYER) {
      const std::string& v = layer_values.at(size_t(c.index));
      out << " = " << (v.empty() ? "none" : v);
    } else if (!IsGroup(c)) {
      out << " = " << FormatValue(host, c);
      if (c.type == PF_Param_POPUP) {
        const auto choices = PopupChoices(def);
        const A_long v = def.u.pd.value;
        if (v >= 1 && size_t(v) <= choices.size()) out << " (" << choices[size_t(v - 1)] << ")";
      }
      out << "  default " << FormatValue(host, c, true);
      if (c.type == PF_Param_FLOAT_SLIDER || c.type == PF_Param_POPUP) out << "  range " << RangeText(def);
    }
    if (!enabled) out << "  (greyed out)";
    if (folded) out << "  (folded)";
    out << "\n";
  }
  return out.str();
}

}  // namespace minihost
