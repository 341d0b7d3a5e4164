#include "host.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "services/pipl_format.h"
#include "traps.h"

#include "tables.h"

namespace minihost {

// ---- host --------------------------------------------------------------------------------

Host::Host()
    : threads_(std::max(1u, std::thread::hardware_concurrency())),
      pool_(std::make_unique<WorkerPool>()) {
  FillUtils(utils_);
  FillInteract(inter_);
}

Host::~Host() {
  // The end of the instance and of the module, as the host sends them.
  if (entry_ && sequence_open_) Command(PF_Cmd_SEQUENCE_SETDOWN, ParamPointers(params_).data());
  if (entry_ && global_open_) Command(PF_Cmd_GLOBAL_SETDOWN);
#if defined(_WIN32)
  if (module_) FreeLibrary(static_cast<HMODULE>(module_));
#else
  if (module_) dlclose(module_);
#endif
}

std::vector<PF_ParamDef*> Host::ParamPointers(std::vector<PF_ParamDef>& defs) {
  std::vector<PF_ParamDef*> ptrs;
  for (auto& d : defs) ptrs.push_back(&d);
  return ptrs;
}

// Every field as a host fills it for one command: a 24 fps layer at full resolution, square
// pixels, the current frame's time, no handles, no audio.
void Host::FillInData() {
  std::memset(&in_data_, 0, sizeof in_data_);
  in_data_.inter = inter_;
  in_data_.utils = &utils_;
  in_data_.effect_ref = reinterpret_cast<PF_ProgPtr>(this);
  in_data_.quality = PF_Quality_HI;
  in_data_.version = PF_SpecVersion{PF_PLUG_IN_VERSION, PF_PLUG_IN_SUBVERS};
  in_data_.serial_num = 1;
  in_data_.appl_id = A_AppID(vz::FourCC("FXTC"));
  in_data_.num_params = A_long(params_.size());
  in_data_.time_step = 1;
  in_data_.local_time_step = 1;
  in_data_.time_scale = 24;
  in_data_.current_time = frame_ * in_data_.time_step;
  in_data_.total_time = (frame_ + 1) * in_data_.time_step;
  in_data_.field = PF_Field_FRAME;
  in_data_.shutter_angle = 180 << 16;
  in_data_.width = layer_width_;
  in_data_.height = layer_height_;
  in_data_.extent_hint = layer_extent_;
  in_data_.downsample_x = PF_RationalScale{1, 1};
  in_data_.downsample_y = PF_RationalScale{1, 1};
  in_data_.pixel_aspect_ratio = PF_RationalScale{1, 1};
  in_data_.in_flags = PF_InFlag_NONE;
  in_data_.pica_basicP = faults.nullBasicSuite ? nullptr : &TheSuites().basic;
}

PF_Err Host::Command(PF_Cmd cmd, PF_ParamDef* params[], PF_LayerDef* output, void* extra) {
  if (!entry_) throw HostError("no module loaded");
  CurrentHost current(this);
  FillInData();
  updates.clear();
  if (beforeCommand) beforeCommand(cmd, params, output);
  return entry_(cmd, &in_data_, &out_data_, params, output, extra);
}

PF_Err Host::SequenceSetup() {
  PF_Err err = Command(PF_Cmd_SEQUENCE_SETUP, ParamPointers(params_).data());
  sequence_open_ = err == PF_Err_NONE;
  return err;
}

PF_Err Host::About(std::string* text) {
  std::memset(out_data_.return_msg, 0, sizeof out_data_.return_msg);
  PF_Err err = Command(PF_Cmd_ABOUT);
  if (!err && text) *text = out_data_.return_msg;
  return err;
}

PF_Err Host::GlobalSetup() {
  PF_Err err = Command(PF_Cmd_GLOBAL_SETUP);
  global_open_ = global_open_ || err == PF_Err_NONE;
  return err;
}

PF_Err Host::ParamsSetup() {
  params_.clear();
  point_pixels_.clear();
  PF_ParamDef input{};
  input.param_type = PF_Param_LAYER;
  params_.push_back(input);  // index 0: the input layer, supplied by the host
  return Command(PF_Cmd_PARAMS_SETUP);
}

PF_Err Host::UserChangedParam(int /*index*/, PF_Cmd cmd) {
  std::vector<PF_ParamDef> copies = params_;
  return Command(cmd, ParamPointers(copies).data(), nullptr);
}

void Host::SetPoint(int index, double x, double y, bool pixels) {
  PF_ParamDef& d = params_.at(size_t(index));
  d.u.td.x_value = PF_Fixed(std::lround(x * 65536.0));
  d.u.td.y_value = PF_Fixed(std::lround(y * 65536.0));
  if (pixels) point_pixels_[index] = true;
  else point_pixels_.erase(index);
}

std::vector<PF_ParamDef> Host::RenderParams(const World& input) const {
  std::vector<PF_ParamDef> defs = params_;
  defs[0].u.ld = input.def();
  for (size_t i = 1; i < defs.size(); ++i) {
    PF_ParamDef& d = defs[i];
    if (d.param_type == PF_Param_POINT && !point_pixels_.count(int(i))) {
      // Percent of the layer to layer pixels, 16.16.
      d.u.td.x_value = PF_Fixed(std::llround(double(d.u.td.x_value) * input.width() / 100.0));
      d.u.td.y_value = PF_Fixed(std::llround(double(d.u.td.y_value) * input.height() / 100.0));
    }
  }
  return defs;
}

// One frame as the host renders it: frame set-up, render, frame set-down.
PF_Err Host::Render(const World& input, World& output, const World* custom) {
  std::vector<PF_ParamDef> defs = RenderParams(input);
  std::vector<PF_ParamDef*> ptrs = ParamPointers(defs);
  custom_ = custom;
  current_depth_ = work_depth_ ? work_depth_ : (input.deep() ? 16 : 8);
  layer_width_ = input.width();
  layer_height_ = input.height();
  layer_extent_ = input.def().extent_hint;
  PF_Err err = Command(PF_Cmd_FRAME_SETUP, ptrs.data(), &output.def());
  if (!err) err = Command(PF_Cmd_RENDER, ptrs.data(), &output.def());
  const PF_Err setdown = Command(PF_Cmd_FRAME_SETDOWN, ptrs.data(), &output.def());
  if (!err) err = setdown;
  custom_ = nullptr;
  ++frame_;
  return err;
}

int Host::OutstandingSuites() const {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (auto& [name, count] : suites_) n += count;
  return n;
}

int Host::LiveWorlds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return int(live_.size());
}

PF_Err Host::PollAbort() {
  const int n = ++polls_;
  if (cancel.load() || (faults.abortAfterPolls >= 0 && n > faults.abortAfterPolls))
    return PF_Interrupt_CANCEL;
  return PF_Err_NONE;
}

PF_Err Host::Progress(A_long count, A_long total) {
  if (onProgress && total > 0) {
    std::lock_guard<std::mutex> lock(progress_mutex_);
    onProgress(std::clamp(double(count) / total, 0.0, 1.0));
  }
  return PollAbort();
}

SPErr Host::AcquireSuite(const char* name, int32_t version, const void** suite) {
  *suite = nullptr;
  if (!faults.refuseSuite.empty() && faults.refuseSuite == name) return kSPSuiteNotFoundError;
  for (const SuiteEntry& e : SuiteList()) {
    if (std::strcmp(e.name, name) == 0 && e.version == version) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++suites_[SuiteKey(name, version)];
      *suite = e.suite;
      return kSPNoError;
    }
  }
  return kSPSuiteNotFoundError;
}

SPErr Host::ReleaseSuite(const char* name, int32_t version) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = suites_.find(SuiteKey(name, version));
  if (it == suites_.end() || it->second == 0) return kSPSuiteNotFoundError;
  --it->second;
  return kSPNoError;
}

PF_Err Host::AddParam(PF_ParamIndex index, const PF_ParamDef* def) {
  if (!def) return PF_Err_BAD_CALLBACK_PARAM;
  if (params_.size() > kMaxParams) return PF_Err_INVALID_INDEX;
  if (index != -1 && index != PF_ParamIndex(params_.size())) return PF_Err_INVALID_INDEX;
  params_.push_back(*def);
  return PF_Err_NONE;
}

PF_Err Host::CheckoutParam(PF_ParamIndex index, PF_ParamDef* def) {
  if (!def) return PF_Err_BAD_CALLBACK_PARAM;
  if (index < 0 || size_t(index) >= params_.size()) return PF_Err_INVALID_INDEX;
  // A render's controls as it sees them: points in layer pixels.
  *def = render_params_.empty() ? params_[size_t(index)] : render_params_[size_t(index)];
  if (def->param_type == PF_Param_LAYER) {
    std::memset(&def->u.ld, 0, sizeof def->u.ld);
    if (index != 0 && custom_) def->u.ld = custom_->def();
  }
  ++checkouts_;
  return PF_Err_NONE;
}

PF_Err Host::CheckinParam(PF_ParamDef* def) {
  if (!def || checkouts_ == 0) return PF_Err_BAD_CALLBACK_PARAM;
  --checkouts_;
  return PF_Err_NONE;
}

PF_Err Host::UpdateParamUI(PF_ParamIndex index, const PF_ParamDef* def) {
  if (!def) return PF_Err_BAD_CALLBACK_PARAM;
  updates.push_back(UpdateCall{index, def->ui_flags, def->flags});
  if (faults.failUpdateParamUI) return PF_Err_INTERNAL_STRUCT_DAMAGED;
  if (index < 0 || size_t(index) >= params_.size()) return PF_Err_INVALID_INDEX;
  params_[size_t(index)].ui_flags = def->ui_flags;
  params_[size_t(index)].flags = def->flags;
  return PF_Err_NONE;
}

// Calls fn once for every i below iterations, on the pool's threads, each with its thread's
// index; the first error stops the rest.
}  // namespace minihost
