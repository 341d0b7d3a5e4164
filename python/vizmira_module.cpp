// vizmira for Python: the effect on numpy arrays, through our own host, with the controls
// and values the command takes and the pictures it makes, bit for bit.
#include <dlfcn.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/image_io.h"
#include "cli/pixels.h"
#include "cli/preset.h"
#include "minihost/host.h"

namespace py = pybind11;

namespace {

using minihost::Host;
using minihost::HostError;
using minihost::World;

// The effect module built beside this one.
std::string BuiltModule() {
  Dl_info self{};
  if (!dladdr(reinterpret_cast<void*>(&BuiltModule), &self) || !self.dli_fname) return "Vizmira.so";
  return (std::filesystem::path(self.dli_fname).parent_path() / "Vizmira.so").string();
}

// A Python value as --set takes it: text as it is, True/False as on/off, numbers as text.
std::string SetValue(const std::string& key, const py::handle& value) {
  if (py::isinstance<py::str>(value)) return value.cast<std::string>();
  if (py::isinstance<py::bool_>(value)) return value.cast<bool>() ? "on" : "off";
  if (py::isinstance<py::int_>(value) || py::isinstance<py::float_>(value))
    return py::str(value).cast<std::string>();
  throw py::value_error("the value of '" + key + "' is a string, a number or True/False, as --set takes it");
}

// settings: None, a dict of KEY: VALUE as --set takes them, or a preset file's path as
// --settings takes it.
struct Settings {
  std::optional<std::string> preset;
  std::vector<std::pair<std::string, std::string>> sets;
};
Settings ReadSettings(const py::object& settings) {
  Settings out;
  if (settings.is_none()) return out;
  if (py::isinstance<py::str>(settings) || py::hasattr(settings, "__fspath__")) {
    out.preset = py::str(py::module_::import("os").attr("fspath")(settings)).cast<std::string>();
    return out;
  }
  if (!py::isinstance<py::dict>(settings))
    throw py::value_error("settings is a dict of KEY: VALUE as --set takes them, or a preset file");
  for (const auto& [key, value] : settings.cast<py::dict>()) {
    if (!py::isinstance<py::str>(key)) throw py::value_error("a settings key is a string, as --set takes it");
    const std::string k = key.cast<std::string>();
    out.sets.emplace_back(k, SetValue(k, value));
  }
  return out;
}

// A world of this size and depth: `kept` when it is one, else a new one (a process that
// renders picture after picture then maps no new memory for them).
World& Sized(std::optional<World>& kept, int width, int height, bool deep) {
  if (!kept || kept->width() != width || kept->height() != height || kept->deep() != deep)
    kept.emplace(width, height, deep);
  return *kept;
}

void CheckShape(const py::array& image, const char* what) {
  if (image.ndim() != 3 || (image.shape(2) != 4 && image.shape(2) != 3))
    throw py::value_error(std::string(what) + " is an array of shape (height, width, 4) or (height, width, 3), not " +
                          py::str(py::tuple(py::cast(std::vector<py::ssize_t>(image.shape(), image.shape() + image.ndim())))).cast<std::string>());
  if (image.shape(0) < 1 || image.shape(1) < 1 || image.shape(0) > PF_MAX_WORLD_HEIGHT ||
      image.shape(1) > PF_MAX_WORLD_WIDTH)
    throw py::value_error(std::string(what) + " must be 1 to " + std::to_string(PF_MAX_WORLD_WIDTH) +
                          " pixels wide and 1 to " + std::to_string(PF_MAX_WORLD_HEIGHT) + " high");
  if (py::isinstance<py::array_t<float>>(image))
    throw py::value_error(std::string(what) + " is float32, and this binding renders at 8 and 16 "
                          "bits only (float pictures render through vizmira render): pass uint8 or uint16");
  if (!py::isinstance<py::array_t<uint8_t>>(image) && !py::isinstance<py::array_t<uint16_t>>(image))
    throw py::value_error(std::string(what) + " holds " + py::str(image.dtype()).cast<std::string>() +
                          "; the effect takes uint8 or uint16");
}

// A picture array, checked by CheckShape, as a layer in `kept`. RGB gets full alpha, as an
// RGB file does. Runs without the interpreter: the array's values are read as they are.
World& LayerOf(const py::array& image, std::optional<World>& kept) {
  const vzcli::Interleaved from{int(image.shape(1)), int(image.shape(0)), int(image.shape(2)),
                                image.shape(2) == 4 ? 3 : -1};
  const bool deep = image.itemsize() == 2;
  World& world = Sized(kept, from.width, from.height, deep);
  if (deep) {
    const auto& host = vzcli::HostOf16();
    vzcli::Fill<PF_Pixel16>(world, from, static_cast<const uint16_t*>(image.data()),
                            [&](uint16_t v) { return int(host[v]); });
  } else {
    vzcli::Fill<PF_Pixel>(world, from, static_cast<const uint8_t*>(image.data()),
                          [](uint8_t v) { return int(v); });
  }
  return world;
}

// The array laid out row after row: itself, or a copy where it is a view that is not.
py::array RowAfterRow(const py::array& image) {
  if (image.itemsize() == 2) return py::array_t<uint16_t, py::array::c_style>::ensure(image);
  return py::array_t<uint8_t, py::array::c_style>::ensure(image);
}

// A new array of the image's shape and type.
py::array Like(const py::array& image) {
  const std::vector<py::ssize_t> shape(image.shape(), image.shape() + 3);
  if (image.itemsize() == 2) return py::array_t<uint16_t>(shape);
  return py::array_t<uint8_t>(shape);
}

// A layer into an array made by Like, its values as a file of the array's depth holds them.
// Runs without the interpreter.
void Store(const World& world, py::array& out) {
  const int nc = int(out.shape(2));
  const std::vector<uint16_t> table = vzcli::FileValues(world.deep(), out.itemsize() == 2 ? 16 : 8);
  auto fill = [&](auto* values) {
    if (world.deep()) vzcli::Interleave<PF_Pixel16>(world, nc, table, values);
    else vzcli::Interleave<PF_Pixel>(world, nc, table, values);
  };
  if (out.itemsize() == 2) fill(static_cast<uint16_t*>(out.mutable_data()));
  else fill(static_cast<uint8_t*>(out.mutable_data()));
}

// The loaded effect. Each render takes a host of its own from those not rendering (loading a
// new one when all are busy) with every control at its default, so renders from several
// threads run at once and none sees another's settings.
class Effect {
 public:
  Effect(std::optional<std::string> module, std::optional<int> threads)
      : module_(module ? *module : BuiltModule()), threads_(threads.value_or(0)) {
    if (threads_ < 0 || threads_ > 1024) throw py::value_error("threads is a whole number from 1 to 1024");
    Give(Load());  // a module that cannot be loaded is an error now, not at the first render
  }

  // The controls as `vizmira params --json` lists them for these settings.
  py::object Controls(const py::object& settings, std::optional<int> frame) {
    const Settings s = ReadSettings(settings);
    std::string json;
    {
      py::gil_scoped_release unlocked;
      Lease host(*this);
      const vzcli::Setup setup = Apply(*host, s, frame);
      if (PF_Err err = host->UserChangedParam(2))
        throw std::runtime_error("supervision returned error " + std::to_string(err));
      std::vector<std::string> layers(host->params().size());
      for (const minihost::Control& c : setup.controls)
        if (c.type == PF_Param_LAYER && setup.layer_path) layers[size_t(c.index)] = *setup.layer_path;
      json = vzcli::ListJson(*host, setup.controls, layers);
    }
    return py::module_::import("json").attr("loads")(json);
  }

  py::array Render(const py::array& given, const py::object& settings, std::optional<int> frame,
                   const py::object& custom_layer, std::optional<int> depth) {
    if (depth && *depth != 8 && *depth != 16) throw py::value_error("depth is 8 or 16");
    const Settings s = ReadSettings(settings);
    CheckShape(given, "the image");
    const py::array image = RowAfterRow(given);
    std::optional<py::array> layer;
    std::optional<std::string> layer_path;
    if (py::isinstance<py::array>(custom_layer)) {
      CheckShape(custom_layer, "custom_layer");
      layer = RowAfterRow(custom_layer);
    } else if (!custom_layer.is_none()) {
      layer_path = py::str(py::module_::import("os").attr("fspath")(custom_layer)).cast<std::string>();
    }
    py::array result = Like(image);
    {
      py::gil_scoped_release unlocked;
      Lease slot(*this);
      const vzcli::Setup setup = Apply(*slot, s, frame);
      World& input = LayerOf(image, slot.input());
      std::optional<World> read;
      const World* custom = layer ? &LayerOf(*layer, slot.custom()) : nullptr;
      if (!custom && (layer_path || setup.layer_path)) {
        read = vzcli::ReadImage(layer_path ? *layer_path : *setup.layer_path);
        custom = &*read;
      }
      slot->SetWorkDepth(depth.value_or(0));
      World& output = Sized(slot.output(), input.width(), input.height(), depth ? *depth == 16 : input.deep());
      for (A_long y = 0; y < output.height(); ++y)  // as a new world: the effect owes us every pixel
        std::memset(&output.at<char>(0, 0) + intptr_t(y) * output.def().rowbytes, 0,
                    size_t(output.width()) * (output.deep() ? sizeof(PF_Pixel16) : sizeof(PF_Pixel)));
      const PF_Err err = slot->Render(input, output, custom);
      if (err) throw std::runtime_error("the effect returned error " + std::to_string(err));
      Store(output, result);
    }
    return result;
  }

 private:
  // A host and the worlds its last render used, kept for the next.
  struct Slot {
    std::unique_ptr<Host> host;
    std::optional<World> input, output, custom;
  };

  Slot Load() {
    Slot slot{std::make_unique<Host>(), {}, {}, {}};
    slot.host->Load(module_);
    if (threads_) slot.host->SetThreads(threads_);
    return slot;
  }
  void Give(Slot slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!defaults_) defaults_ = slot.host->SaveControls();
    idle_.push_back(std::move(slot));
  }
  // A slot for one call, its host's controls at their defaults, given back at its end.
  class Lease {
   public:
    explicit Lease(Effect& effect) : effect_(effect) {
      {
        std::lock_guard<std::mutex> lock(effect.mutex_);
        if (!effect.idle_.empty()) {
          slot_ = std::move(effect.idle_.back());
          effect.idle_.pop_back();
        }
      }
      if (!slot_.host) slot_ = effect.Load();
      slot_.host->RestoreControls(*effect.defaults_);
    }
    ~Lease() { effect_.Give(std::move(slot_)); }
    Host* operator->() { return slot_.host.get(); }
    Host& operator*() { return *slot_.host; }
    std::optional<World>& input() { return slot_.input; }
    std::optional<World>& output() { return slot_.output; }
    std::optional<World>& custom() { return slot_.custom; }

   private:
    Effect& effect_;
    Slot slot_;
  };

  // The settings on a host's controls, then the frame's animated values, as the command
  // applies them; a frame is also the frame the host renders, as in a shot.
  static vzcli::Setup Apply(Host& host, const Settings& s, std::optional<int> frame) {
    vzcli::Setup setup;
    try {
      setup = vzcli::ApplySettings(host, s.preset, s.sets);
    } catch (const vzcli::SettingsError& e) {
      throw py::value_error(e.what());
    }
    if (!setup.animations.empty() && !frame) throw py::value_error("animated values need frame=N");
    if (frame) vzcli::ApplyFrame(host, setup, *frame);
    host.SetFrame(frame.value_or(0));
    return setup;
  }

  std::string module_;
  int threads_;
  std::mutex mutex_;
  std::vector<Slot> idle_;
  std::optional<Host::ControlState> defaults_;
};

}  // namespace

PYBIND11_MODULE(vizmira, m) {
  m.doc() = "The Vizmira lens effect on numpy arrays: vizmira.Effect().render(image, {\"Type\": \"Triangle\"})";
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const HostError& e) {  // a module or a picture that cannot be read
      PyErr_SetString(PyExc_OSError, e.what());
    }
  });
  py::class_<Effect>(m, "Effect", "The effect module, loaded: the built one unless `module` names another.")
      .def(py::init<std::optional<std::string>, std::optional<int>>(), py::arg("module") = py::none(),
           py::arg("threads") = py::none())
      .def("controls", &Effect::Controls, py::arg("settings") = py::none(), py::arg("frame") = py::none(),
           "The controls with their values and states, as `vizmira params --json` gives them.")
      .def("render", &Effect::Render, py::arg("image"), py::arg("settings") = py::none(), py::kw_only(),
           py::arg("frame") = py::none(), py::arg("custom_layer") = py::none(),
           py::arg("depth") = py::none(),
           "The effect applied to an array of shape (height, width, 4) or (height, width, 3), uint8 "
           "or uint16: a new array of the same shape and type.");
}
