// The render settings: every control value of one frame, in the units the stages use.
#pragma once

#include "AE_Effect.h"

struct KT_Info {
  A_long lensType;            // 1 None, 2 Circle, 3 wide rectangle, 4 tall rectangle,
                              // 5 Triangle, 6 Custom
  PF_LayerDef* customLayer;   // set by the render command; data null when none chosen
  A_long placement;           // 1 Center Map, 2 Stretch Map to Fit
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
  A_long mode;                // 1 Normal, 2 Add, 3 Screen, 4 Multiply
};

// Fills every field but customLayer from the host's parameter array; always returns 0.
PF_Err SetInfoFromParam(PF_InData* in_data, KT_Info* info, PF_ParamDef* params[]);
