// A small host of our own: loads a built effect module and drives it through its entry
// point as the compositing host would, with worlds, suites, callbacks, a threaded iterate,
// fault injection and bookkeeping for tests.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "AE_Effect.h"
#include "AE_EffectSuites.h"
#include "SPBasic.h"
#include "worker_pool.h"

namespace minihost {

struct HostError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// An image the host owns (input, output, custom layer). Rows are padded, so code that
// assumes tight rows reads the padding and fails.
class World {
 public:
  // Pixels all 0, or not set, for a picture written whole before it is read (a frame read
  // from a file, a render's output): setting tens of megabytes twice costs a frame's time.
  enum class Pixels { kZero, kUnset };
  // extra_row_bytes: padding beyond the usual, a multiple of 8.
  World(A_long width, A_long height, bool deep, A_long extra_row_bytes = 0, Pixels pixels = Pixels::kZero);
  World(World&&) noexcept;
  World& operator=(World&&) noexcept;
  World(const World&) = delete;
  World& operator=(const World&) = delete;
  ~World();
  static World Copy(const World& from);  // the same size, depth and pixels
  // A world of PF_PixelFloat (its deep-world bit clear: the bit tells only 16 bits).
  static World Float(A_long width, A_long height, A_long extra_row_bytes = 0, Pixels pixels = Pixels::kZero);

  PF_EffectWorld& def() { return def_; }
  const PF_EffectWorld& def() const { return def_; }
  A_long width() const { return def_.width; }
  A_long height() const { return def_.height; }
  bool deep() const { return (def_.world_flags & PF_WorldFlag_DEEP) != 0; }
  bool isFloat() const { return float_; }

  template <class P>
  P& at(A_long x, A_long y) {
    return reinterpret_cast<P*>(reinterpret_cast<char*>(def_.data) + intptr_t(y) * def_.rowbytes)[x];
  }
  template <class P>
  const P& at(A_long x, A_long y) const {
    return const_cast<World*>(this)->at<P>(x, y);
  }
  // Channel values 0..max as ARGB, whatever the depth.
  void Set(A_long x, A_long y, int a, int r, int g, int b);
  std::array<int, 4> Get(A_long x, A_long y) const;

 private:
  std::unique_ptr<uint8_t[]> mem_;
  PF_EffectWorld def_{};
  bool float_ = false;
};

A_long PaddedRowBytes(A_long width, bool deep);

// What tests can make the host do wrong.
struct Faults {
  int failNewWorldAt = 0;        // the Nth new_world call fails (1-based); 0 never
  int failCopyAt = 0;            // the Nth copy call fails
  int failIterateAt = 0;         // the Nth iteration, per pixel or generic, fails
  std::string refuseSuite;       // acquiring the suite of this name fails
  bool nullBasicSuite = false;   // in_data->pica_basicP is null
  int abortAfterPolls = -1;      // polls after this many report a cancel; -1 never
  bool failUpdateParamUI = false;
  bool failPixelFormat = false;  // the World suite's pixel-format query fails
};

struct UpdateCall {
  int index;
  PF_ParamUIFlags ui_flags;
  PF_ParamFlags flags;
};

class Host {
 public:
  Host();
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Reads and checks the property list beside the module, loads it, resolves its entry
  // point, runs global set-up, parameter set-up and sequence set-up. Throws HostError with
  // the reason. The host's destructor sends sequence and global set-down.
  void Load(const std::string& module_path);
  // The same for an entry point linked into the caller (no property list to read).
  void Attach(PF_EntryPointFunc entry);

  // Sends one command with in-data and out-data filled as a host does; `extra` is the
  // entry point's sixth argument.
  PF_Err Command(PF_Cmd cmd, PF_ParamDef* params[] = nullptr, PF_LayerDef* output = nullptr,
                 void* extra = nullptr);
  // A hook that sees each selector and its records just before the call.
  std::function<void(PF_Cmd, PF_ParamDef**, PF_LayerDef*)> beforeCommand;
  const PF_InData& in_data() const { return in_data_; }

  PF_Err About(std::string* text);
  PF_Err GlobalSetup();
  PF_Err ParamsSetup();
  PF_Err SequenceSetup();
  // A supervised control changed: sends USER_CHANGED_PARAM with copies of the current
  // definitions; only PF_UpdateParamUI changes the host's state.
  PF_Err UserChangedParam(int index, PF_Cmd cmd = PF_Cmd_USER_CHANGED_PARAM);
  // Renders input into output as the next frame: frame set-up, render, frame set-down. The
  // input's depth decides the work depth unless workDepth says otherwise; custom is the
  // "Custom Layer" (null for none).
  PF_Err Render(const World& input, World& output, const World* custom = nullptr);
  // The smart path, as a host sends it to an effect that declares it: pre-render for
  // `request` (null: the whole layer), then smart render into output, at the input's depth
  // (8, 16 or float; output and custom of the same). Output is either the layer's size or
  // the request's; a smaller one's first pixel lies at its origin_x/y where those are set,
  // else at the request's corner. The pre-render's data is disposed of as the host does.
  PF_Err SmartRender(const World& input, World& output, const World* custom = nullptr,
                     const PF_LRect* request = nullptr);
  // Pre-render alone, as a host that then renders nothing: its result, its data disposed of.
  PF_Err SmartPreRenderOnly(const World& input, const World* custom, const PF_LRect& request,
                            PF_PreRenderOutput* result);
  bool DeclaresSmartRender() const {
    return (out_data_.out_flags2 & PF_OutFlag2_SUPPORTS_SMART_RENDER) != 0;
  }

  PF_OutData& out_data() { return out_data_; }
  // Control definitions as declared (index 0: the input layer), with current values.
  std::vector<PF_ParamDef>& params() { return params_; }
  // Points hold percent of the layer until set in pixels.
  void SetPoint(int index, double x, double y, bool pixels);
  void SetPointPixels(int index, double x, double y) { SetPoint(index, x, y, true); }
  bool PointInPixels(int index) const { return point_pixels_.count(index) != 0; }
  // Every control's value and state, to put back after trying changes.
  struct ControlState {
    std::vector<PF_ParamDef> params;
    std::map<int, bool> point_pixels;
  };
  ControlState SaveControls() const { return {params_, point_pixels_}; }
  void RestoreControls(const ControlState& state) {
    params_ = state.params;
    point_pixels_ = state.point_pixels;
  }

  // The frame the next render is: its time in in_data (frames count on from it).
  void SetFrame(A_long frame) { frame_ = frame; }
  void SetThreads(int n) { threads_ = n < 1 ? 1 : n; }
  int threads() const { return threads_; }
  void SetWorkDepth(int bits) { work_depth_ = bits; }  // 0: the input's, 8 or 16
  Faults faults;
  std::atomic<bool> cancel{false};  // a user cancel, as Ctrl-C
  std::function<void(double fraction)> onProgress;

  // Bookkeeping.
  int OutstandingSuites() const;
  int LiveWorlds() const;
  int OutstandingCheckouts() const { return checkouts_; }
  // Layer pixels checked out in a smart render and not checked back in by its end.
  int LayerPixelsLeftOut() const { return layer_pixels_left_out_; }
  int NewWorldCalls() const { return new_world_calls_; }
  int CopyCalls() const { return copy_calls_; }
  int IterateCalls() const { return iterate_calls_; }
  int GenericIterateCalls() const { return generic_calls_; }
  int AbortPolls() const { return polls_; }
  // The parameter-interface updates the latest command sent, in order; a long-running host
  // (the preview) sends one command per change, so older ones are not kept.
  std::vector<UpdateCall> updates;
  const std::map<uint32_t, std::vector<uint8_t>>& pipl() const { return pipl_; }

  // Host services, also reached by the callbacks.
  PF_Err NewWorld(A_long width, A_long height, PF_NewWorldFlags flags, PF_EffectWorld* world);
  // The World suite's: any of the three formats.
  PF_Err NewWorldOfFormat(A_long width, A_long height, bool clear, PF_PixelFormat format,
                          PF_EffectWorld* world);
  PF_PixelFormat FormatOf(const PF_EffectWorld* world) const;
  // The smart path's callbacks.
  PF_Err CheckoutLayer(PF_ParamIndex index, A_long id, const PF_RenderRequest* req,
                       PF_CheckoutResult* result);
  PF_Err CheckoutLayerPixels(A_long id, PF_EffectWorld** pixels);
  PF_Err CheckinLayerPixels(A_long id);
  PF_Err CheckoutOutput(PF_EffectWorld** output);
  PF_Err DisposeWorld(PF_EffectWorld* world);
  PF_Err Copy(PF_EffectWorld* src, PF_EffectWorld* dst, PF_Rect* src_r, PF_Rect* dst_r);
  PF_Err PollAbort();
  PF_Err Progress(A_long count, A_long total);  // reports, then polls abort
  SPErr AcquireSuite(const char* name, int32_t version, const void** suite);
  SPErr ReleaseSuite(const char* name, int32_t version);
  PF_Err AddParam(PF_ParamIndex index, const PF_ParamDef* def);
  PF_Err CheckoutParam(PF_ParamIndex index, PF_ParamDef* def);
  PF_Err CheckinParam(PF_ParamDef* def);
  PF_Err UpdateParamUI(PF_ParamIndex index, const PF_ParamDef* def);
  PF_Err IterateGeneric(A_long iterations, void* refcon, PF_IterateGenericFunc fn);
  // Runs fn on this thread as if a command of this host were in flight (for tests that call
  // the effect's functions directly).
  void RunAsCommand(const std::function<void()>& fn);
  template <class P, class Fn>
  PF_Err Iterate(PF_InData* in_data, A_long progress_base, A_long progress_final,
                 PF_EffectWorld* src, const PF_Rect* area, void* refcon, Fn fn,
                 PF_EffectWorld* dst);

 private:
  void CheckPipl(const std::vector<uint8_t>& bytes, const std::string& where);
  void FillInData();
  static std::vector<PF_ParamDef*> ParamPointers(std::vector<PF_ParamDef>& defs);
  void CheckGlobalSetupAgainstPipl();
  std::vector<PF_ParamDef> RenderParams(const World& input) const;
  PF_Err AllocateWorld(A_long width, A_long height, size_t pixel_bytes, bool deep, bool clear,
                       PF_EffectWorld* world);
  void BeginFrame(const World& input, const World* custom);
  // Pre-render of the frame BeginFrame set up, for `request`.
  PF_Err PreRender(const PF_LRect& request, PF_PreRenderOutput* result);

  void* module_ = nullptr;
  PF_EntryPointFunc entry_ = nullptr;
  std::map<uint32_t, std::vector<uint8_t>> pipl_;
  PF_InData in_data_{};
  PF_OutData out_data_{};
  PF_UtilCallbacks utils_{};
  PF_InteractCallbacks inter_{};
  bool global_open_ = false, sequence_open_ = false;
  A_long frame_ = 0;  // frames rendered: the next one's time
  A_long layer_width_ = 0, layer_height_ = 0;
  PF_Rect layer_extent_{};
  static constexpr size_t kMaxParams = PF_AE65_AND_EARLIER_MAX_NUM_EFFECT_PARAMS;
  static constexpr size_t kKeptBuffers = 16;  // disposed buffers kept for reuse
  std::vector<PF_ParamDef> params_;
  std::map<int, bool> point_pixels_;
  const World* custom_ = nullptr;
  int threads_;
  std::unique_ptr<WorkerPool> pool_;  // iterate's threads, kept from call to call
  int work_depth_ = 0;
  int current_depth_ = 8;  // the work depth of the command in flight
  // The frame in flight on the smart path: its layers' checkouts, its output, and the
  // controls checkout_param hands out (points in layer pixels).
  struct LayerCheckout {
    A_long id;
    const World* layer;  // null: none chosen
    PF_LRect rect;       // of the layer, handed out
    PF_EffectWorld view;
    bool pixels_out;
  };
  const World* input_ = nullptr;
  std::vector<LayerCheckout> layer_checkouts_;
  World* smart_output_ = nullptr;
  PF_LRect smart_result_{};
  PF_EffectWorld output_view_{};
  std::vector<PF_ParamDef> render_params_;
  int layer_pixels_left_out_ = 0;
  std::set<const void*> float_data_;  // the float worlds' pixels, by where they start

  mutable std::mutex mutex_;
  std::map<void*, std::unique_ptr<uint8_t[]>> live_;              // worlds handed out
  std::multimap<size_t, std::unique_ptr<uint8_t[]>> free_;        // kept for reuse
  std::map<std::string, int> suites_;                             // outstanding by name
  int checkouts_ = 0;
  int new_world_calls_ = 0, copy_calls_ = 0, iterate_calls_ = 0, generic_calls_ = 0;
  int iterations_ = 0;  // of either kind, for failIterateAt
  std::mutex progress_mutex_;
  std::atomic<int> polls_{0};
};

}  // namespace minihost
