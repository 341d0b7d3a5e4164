#include "supervise.h"

#include <initializer_list>

#include "services/suite_handler.h"
#include "param_table.h"

namespace {

void SetEnabled(PF_ParamDef* def, bool enabled) {
  if (enabled) def->ui_flags = 0;
  else def->ui_flags |= PF_PUI_DISABLED;
}

}  // namespace

// The order of the updates is what the host sees; each sends the definition as it stands
// at that moment. Results of single updates are ignored on purpose.
PF_Err UserChangedParam(PF_InData* in_data, PF_OutData* /*out_data*/, PF_ParamDef* params[],
                        PF_LayerDef* /*output*/) {
  const A_long type = params[P_LENS_TYPE]->u.pd.value;
  const bool none = type == 1, custom = type == 6;

  for (ParamIndex i : {P_INVERT_ALPHA, P_ROTATION, P_SCALE, P_SCALE_HEIGHT, P_SCALE_WIDTH})
    SetEnabled(params[i], !none);

  AEGP_SuiteHandler suites(in_data->pica_basicP);
  const PF_ParamUtilsSuite3* utils = suites.ParamUtilsSuite3();
  auto update = [&](ParamIndex i) {
    utils->PF_UpdateParamUI(in_data->effect_ref, i, params[i]);
  };

  update(P_INVERT_ALPHA);
  update(P_ROTATION);
  update(P_SCALE);

  SetEnabled(params[P_CUSTOM_LAYER], custom);
  SetEnabled(params[P_PLACEMENT], custom);
  update(P_CUSTOM_LAYER);
  update(P_PLACEMENT);

  SetEnabled(params[P_FEATHER], !none && !custom);
  update(P_FEATHER);

  for (ParamIndex i : {P_FEATHER, P_SCALE, P_SCALE_HEIGHT, P_SCALE_WIDTH, P_ROTATION}) {
    params[i]->flags |= PF_ParamFlag_COLLAPSE_TWIRLY;
    update(i);
  }

  SetEnabled(params[P_DISTORT_CENTER], params[P_DISTORT_CENTER_OF_LENS]->u.bd.value != 1);
  update(P_DISTORT_CENTER);
  SetEnabled(params[P_TRAIL_CENTER], params[P_TRAIL_CENTER_OF_LENS]->u.bd.value != 1);
  update(P_TRAIL_CENTER);
  return PF_Err_NONE;
}
