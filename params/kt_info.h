// The render settings: every control value of one frame, in the units the stages use.
#pragma once

#include "AE_Effect.h"

// The popups' values, as the controls number their choices.
enum class LensType : A_long { kNone = 1, kCircle, kRectWide, kRectTall, kTriangle, kCustom };
enum class Placement : A_long { kCenterMap = 1, kStretchToFit };
enum class BlendMode : A_long { kNormal = 1, kAdd, kScreen, kMultiply };

// What the controls decide between the stages, derived once (DerivePlan) and only read by
// the stages, the chain and the composite.
struct KT_Plan {
  bool fastBlurRuns;      // on, at least a whole pixel, the lens not scaled to nothing
  A_long fastBlurRadius;  // the amount truncated: 0.9 gives no blur
  bool fastBlurUsesMap;   // the lens mask as its blur map (wider than the blur's share)
  bool fastBlurInMapPass; // runs again in the blur-map pass
  bool irisRuns;          // on and above the negligible amount
  bool irisInMapPass;     // in the blur-map pass instead of the main one
  bool blurMapPass;       // a second blur pass after the lens composite
  bool lensComposite;     // a lens shape not scaled to nothing
  bool lensBlurMap;       // the lens composite's weight raised by a blur's strength …
  double lensStrength;    // … this one
};

struct KT_Info {
  LensType lensType;
  PF_LayerDef* customLayer;   // set by the render command; data null when none chosen
  bool customFloat;           // the custom layer holds PF_PixelFloat
  Placement placement;
  bool invertAlpha;
  float feather;              // fraction, 0 to 10
  A_long posX, posY;          // lens centre, whole pixels
  float scaleW, scaleH;       // fractions, 1 = 100 %
  double rotation;            // radians
  bool fastBlurVisible;
  float fastBlurAmount;       // pixels, 0 to 32768
  bool fastBlurLensMap;
  bool irisBlurVisible;
  float irisBlurAmount;       // "Amount" / 100, 0 to 5
  A_long irisSides;           // 1 Triangle … 8 Decagon
  float irisRoundness;        // fraction
  float irisAspect;           // as entered, 0 to 4
  double irisRotation;        // radians
  bool irisBlurLensMap;
  bool distortVisible;
  float distortAmount;        // degrees, 0 to 180
  bool distortCenterOfLens;
  A_long distortCenterX, distortCenterY;  // whole pixels
  bool trailVisible;
  float trailAmount;          // fraction
  bool trailCenterOfLens;
  A_long trailCenterX, trailCenterY;      // whole pixels
  bool dirBlurVisible;
  float dirBlurAmount;        // pixels, 0 to 65536
  double dirBlurDirection;    // radians
  bool lightnessVisible;
  float lightnessAmount;      // fraction, -1 to 1
  bool colorVisible;
  float colorOpacity;         // fraction
  PF_Pixel color;
  bool chromaVisible;
  float chromaRedCyan, chromaGreenMagenta, chromaBlueYellow;  // fractions
  float intensity;            // fraction
  BlendMode mode;
  KT_Plan plan;
};

// Fills every field but customLayer from the host's parameter array, the plan included;
// always returns 0.
PF_Err SetInfoFromParam(PF_InData* in_data, KT_Info* info, PF_ParamDef* params[]);

// Fills info->plan from the other fields.
void DerivePlan(KT_Info* info);
