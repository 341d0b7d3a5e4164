#pragma once

#include "AE_Effect.h"

// Declares the 64 controls of the control table to the host, in index order.
PF_Err ParamsSetup(PF_InData* in_data, PF_OutData* out_data);
