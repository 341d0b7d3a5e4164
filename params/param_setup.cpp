#include "param_setup.h"

#include <cstring>

#include "param_table.h"

namespace {

PF_Fixed ToFixed(float v) { return PF_Fixed(v * 65536.0f); }

void FillDefinition(const ParamRow& row, PF_InData* in_data, PF_ParamDef& def) {
  def.param_type = row.type;
  def.flags = row.flags;
  def.ui_flags = row.ui_flags;
  const char* label = GetStringPtr(row.label);
  switch (row.type) {
    case PF_Param_POPUP:
      def.u.pd.value = A_long(row.dflt);
      def.u.pd.num_choices = row.num_choices;
      def.u.pd.dephault = A_short(row.dflt);
      def.u.pd.u.namesptr = GetStringPtr(row.choices);
      break;
    case PF_Param_FLOAT_SLIDER:
      def.u.fs_d.value = row.dflt;
      def.u.fs_d.valid_min = row.valid_min;
      def.u.fs_d.valid_max = row.valid_max;
      def.u.fs_d.slider_min = row.slider_min;
      def.u.fs_d.slider_max = row.slider_max;
      def.u.fs_d.dephault = row.dflt;
      def.u.fs_d.precision = row.precision;
      def.u.fs_d.display_flags = row.percent ? PF_ValueDisplayFlag_PERCENT : 0;
      def.u.fs_d.fs_flags = PF_FSliderFlag_WANT_PHASE;
      def.u.fs_d.curve_tolerance = 0.05f;
      break;
    case PF_Param_CHECKBOX:
      def.u.bd.value = A_long(row.dflt);
      def.u.bd.dephault = PF_Boolean(row.dflt);
      def.u.bd.u.nameptr = label;
      label = "";  // a checkbox shows its text beside the box, not as its name
      break;
    case PF_Param_POINT:
      def.u.td.x_value = def.u.td.x_dephault = ToFixed(row.point_x);
      def.u.td.y_value = def.u.td.y_dephault = ToFixed(row.point_y);
      break;
    case PF_Param_ANGLE:
      def.u.ad.value = def.u.ad.dephault = ToFixed(row.dflt);
      break;
    case PF_Param_COLOR:
      def.u.cd.value = def.u.cd.dephault = row.color;
      break;
    default:  // layer (default none), group start and end
      break;
  }
  (in_data->utils->ansi.strcpy)(def.name, label);  // see About: strcpy may be a macro
}

}  // namespace

PF_Err ParamsSetup(PF_InData* in_data, PF_OutData* out_data) {
  for (int i = P_INPUT + 1; i < P_NUM_PARAMS; ++i) {
    const ParamRow& row = kParamTable[i];
    PF_ParamDef def;
    std::memset(&def, 0, sizeof def);
    FillDefinition(row, in_data, def);
    def.uu.id = row.id;
    if (PF_Err err = in_data->inter.add_param(in_data->effect_ref, -1, &def)) return err;
  }
  out_data->num_params = P_NUM_PARAMS;
  return PF_Err_NONE;
}
