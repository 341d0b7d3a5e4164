#include "sequence.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace vzcli {

FramePattern::FramePattern(std::string text) : text_(std::move(text)) {
  const size_t hash = text_.find('#');
  if (hash != std::string::npos) {
    size_t end = hash;
    while (end < text_.size() && text_[end] == '#') ++end;
    before_ = text_.substr(0, hash);
    after_ = text_.substr(end);
    width_ = int(end - hash);
    return;
  }
  // %d or %0Nd
  for (size_t at = text_.find('%'); at != std::string::npos; at = text_.find('%', at + 1)) {
    size_t i = at + 1;
    int width = 0;
    if (i < text_.size() && text_[i] == '0') {
      ++i;
      while (i < text_.size() && std::isdigit(static_cast<unsigned char>(text_[i])))
        width = width * 10 + (text_[i++] - '0');
    }
    if (i < text_.size() && text_[i] == 'd') {
      before_ = text_.substr(0, at);
      after_ = text_.substr(i + 1);
      width_ = width;
      return;
    }
  }
}

std::string FramePattern::At(int frame) const {
  if (!numbered()) return text_;
  char digits[32];
  std::snprintf(digits, sizeof digits, "%0*d", width_, frame);
  return before_ + digits + after_;
}

std::vector<int> FrameRange::Frames() const {
  std::vector<int> out;
  for (int f = first; f <= last; f += step) out.push_back(f);
  return out;
}

namespace {

bool ParseInt(const std::string& text, int* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (*end || v < -1000000 || v > 1000000) return false;
  *out = int(v);
  return true;
}

}  // namespace

std::optional<FrameRange> ParseFrameRange(const std::string& text) {
  FrameRange r;
  std::string span = text;
  const size_t colon = text.find(':');
  if (colon != std::string::npos) {
    if (!ParseInt(text.substr(colon + 1), &r.step) || r.step < 1) return std::nullopt;
    span = text.substr(0, colon);
  }
  const size_t dash = span.find('-', 1);  // a first frame may be negative
  if (dash == std::string::npos) {
    if (!ParseInt(span, &r.first)) return std::nullopt;
    r.last = r.first;
  } else if (!ParseInt(span.substr(0, dash), &r.first) ||
             !ParseInt(span.substr(dash + 1), &r.last) || r.last < r.first) {
    return std::nullopt;
  }
  return r;
}

bool Animation::Parse(minihost::Host& host, const minihost::Control& control,
                      const std::string& text, std::string* error) {
  control_ = control;
  keys_.clear();
  const size_t index = size_t(control.index);
  // "value@frame" pairs joined by commas; values may hold commas of their own (points,
  // colours), so a pair ends at the digits after its '@'.
  size_t at = 0;
  while (at <= text.size()) {
    const size_t sign = text.find('@', at);
    Key key;
    std::string value = text.substr(at, sign == std::string::npos ? std::string::npos : sign - at);
    size_t next = std::string::npos;
    if (sign != std::string::npos) {
      size_t end = sign + 1;
      while (end < text.size() && (std::isdigit(static_cast<unsigned char>(text[end])) ||
                                   (end == sign + 1 && text[end] == '-')))
        ++end;
      int frame = 0;
      if (!ParseInt(text.substr(sign + 1, end - sign - 1), &frame) ||
          (end < text.size() && text[end] != ',')) {
        *error = "invalid key '" + text.substr(sign) + "' for " + control.path +
                 ": keys are VALUE@FRAME, joined by commas";
        return false;
      }
      key.frame = frame;
      next = end < text.size() ? end + 1 : std::string::npos;
    } else if (!keys_.empty()) {
      *error = "invalid keys '" + text + "' for " + control.path +
               ": every value needs its @FRAME when there are several";
      return false;
    }
    if (!minihost::SetValue(host, control, value, error)) return false;
    key.def = host.params()[index];
    key.pixels = host.PointInPixels(control.index);
    if (!keys_.empty() && key.pixels != keys_.front().pixels) {
      *error = "the keys of " + control.path + " mix pixels and percent";
      return false;
    }
    if (!keys_.empty() && *key.frame <= *keys_.back().frame) {
      *error = "the keys of " + control.path + " must be in increasing frame order";
      return false;
    }
    keys_.push_back(key);
    if (next == std::string::npos) break;
    at = next;
  }
  return true;
}

void Animation::Apply(minihost::Host& host, int frame) const {
  if (keys_.empty()) return;
  // The keys around the frame: a at or before it, b after it.
  size_t b = 0;
  while (b < keys_.size() && keys_[b].frame && *keys_[b].frame <= frame) ++b;
  const Key& a = keys_[b == 0 ? 0 : b - 1];
  PF_ParamDef& def = host.params().at(size_t(control_.index));
  const PF_ParamType type = def.param_type;
  const bool holds = type == PF_Param_POPUP || type == PF_Param_CHECKBOX;
  if (b == 0 || b == keys_.size() || holds) {
    def = a.def;
    if (type == PF_Param_POINT)
      host.SetPoint(control_.index, a.def.u.td.x_value / 65536.0, a.def.u.td.y_value / 65536.0,
                    a.pixels);
    return;
  }
  const Key& k = keys_[b];
  const double t = double(frame - *a.frame) / double(*k.frame - *a.frame);
  auto mix = [t](double x, double y) { return x + (y - x) * t; };
  switch (type) {
    case PF_Param_FLOAT_SLIDER:
      def.u.fs_d.value = mix(a.def.u.fs_d.value, k.def.u.fs_d.value);
      break;
    case PF_Param_ANGLE:
      def.u.ad.value = PF_Fixed(std::lround(mix(a.def.u.ad.value, k.def.u.ad.value)));
      break;
    case PF_Param_POINT:
      host.SetPoint(control_.index, mix(a.def.u.td.x_value, k.def.u.td.x_value) / 65536.0,
                    mix(a.def.u.td.y_value, k.def.u.td.y_value) / 65536.0, a.pixels);
      break;
    case PF_Param_COLOR: {
      auto channel = [&](A_u_char x, A_u_char y) { return A_u_char(std::lround(mix(x, y))); };
      const PF_Pixel& p = a.def.u.cd.value;
      const PF_Pixel& q = k.def.u.cd.value;
      def.u.cd.value = PF_Pixel{channel(p.alpha, q.alpha), channel(p.red, q.red),
                                channel(p.green, q.green), channel(p.blue, q.blue)};
      break;
    }
    default:
      def = a.def;
  }
}

}  // namespace vzcli
