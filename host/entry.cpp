// The module's one export: command dispatch, and the guard that turns anything thrown
// below into a host error code.
#include <new>

#include "params/param_setup.h"
#include "params/strings.h"
#include "params/supervise.h"
#include "services/pipl_table.h"
#include "render/render.h"
#include "render/smart.h"
#include "services/suite_handler.h"

#if defined(_WIN32)
#define VZ_EXPORT __declspec(dllexport)
#else
#define VZ_EXPORT __attribute__((visibility("default")))
#endif

namespace {

PF_Err About(PF_InData* in_data, PF_OutData* out_data) {
  AEGP_SuiteHandler suites(in_data->pica_basicP);
  // The name in parentheses: some C libraries define sprintf as a function-like macro.
  (suites.ANSICallbacksSuite1()->sprintf)(out_data->return_msg, "%s\r%s",
                                          GetStringPtr(StrID_Name),
                                          GetStringPtr(StrID_Description));
  return PF_Err_NONE;
}

PF_Err GlobalSetup(PF_OutData* out_data) {
  out_data->my_version = vz::kVersion;
  out_data->out_flags = vz::kOutFlags;
  out_data->out_flags2 = vz::kOutFlags2;
  return PF_Err_NONE;
}

// A host that leaves out a record a command reads gets an error rather than a crash.
bool HasWhatItReads(PF_Cmd cmd, const PF_InData* in_data, const PF_OutData* out_data,
                    PF_ParamDef* params[], const PF_LayerDef* output, const void* extra) {
  switch (cmd) {
    case PF_Cmd_ABOUT:
    case PF_Cmd_PARAMS_SETUP: return in_data && out_data;
    case PF_Cmd_GLOBAL_SETUP: return out_data != nullptr;
    case PF_Cmd_USER_CHANGED_PARAM:
    case PF_Cmd_UPDATE_PARAMS_UI: return in_data && params;
    case PF_Cmd_RENDER: return in_data && out_data && params && params[0] && output;
    case PF_Cmd_SMART_PRE_RENDER:
    case PF_Cmd_SMART_RENDER: return in_data && out_data && extra;
    default: return true;
  }
}

}  // namespace

// Exceptions other than a thrown PF_Err: std::bad_alloc becomes PF_Err_OUT_OF_MEMORY; any
// other becomes PF_Err_INTERNAL_STRUCT_DAMAGED.
extern "C" VZ_EXPORT PF_Err EntryPointFunc(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data,
                                           PF_ParamDef* params[], PF_LayerDef* output,
                                           void* extra) {
  try {
    if (!HasWhatItReads(cmd, in_data, out_data, params, output, extra))
      return PF_Err_BAD_CALLBACK_PARAM;
    switch (cmd) {
      case PF_Cmd_ABOUT: return About(in_data, out_data);
      case PF_Cmd_GLOBAL_SETUP: return GlobalSetup(out_data);
      case PF_Cmd_PARAMS_SETUP: return ParamsSetup(in_data, out_data);
      case PF_Cmd_USER_CHANGED_PARAM:
      case PF_Cmd_UPDATE_PARAMS_UI: return UserChangedParam(in_data, nullptr, params, nullptr);
      // Renders of several frames may run at once: each has its own lens mask and
      // buffers, and the stages keep no other state.
      case PF_Cmd_RENDER: return Render(in_data, out_data, params, output);
      // The smart commands read no parameter array (the controls are checked out) and
      // render at the depth of the worlds they are handed, float included.
      case PF_Cmd_SMART_PRE_RENDER:
        return SmartPreRender(in_data, out_data, static_cast<PF_PreRenderExtra*>(extra));
      case PF_Cmd_SMART_RENDER:
        return SmartRender(in_data, out_data, static_cast<PF_SmartRenderExtra*>(extra));
      default: return PF_Err_NONE;
    }
  } catch (PF_Err err) {
    return err;
  } catch (const std::bad_alloc&) {
    return PF_Err_OUT_OF_MEMORY;
  } catch (...) {
    return PF_Err_INTERNAL_STRUCT_DAMAGED;
  }
}
