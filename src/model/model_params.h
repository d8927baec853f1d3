// Model and path parameters: which motion model the fit uses and how finishing smooths the path.
// The scanner derives the block from the clip's settings at every scan, the path keeps the latest
// copy, the model fit reads the first 32 bytes and finishing amends the rest.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vendrix::model {

enum ModelKind : uint32_t {
  kModelTranslation = 0,   // any kind not listed below: translation fit (+ bilinear refinement)
  kModelCorners = 2,       // corner fit, single pass
  kModelCornersTwoPass = 3,
  kModelCamera = 4,        // camera fit
  kModelCameraCoarse = 5,  // camera fit with the coarse and final phases
  kModelProjective = 6,    // homography by least median of squares, RANSAC retry
  kModelProjectiveRansac = 7,
};

struct ModelParams {
  uint32_t reserved0;        // 0
  uint32_t reserved1;        // 0
  uint32_t prefilterKind;    // match pre-filter of the fit: 0 none, 1 or 2
  uint32_t modelKind;        // ModelKind; 3 for levels 0-5, 4 for 6-7, 6 for 8-9
  uint32_t analyserKind;     // 1: feature-tracking analyser (no re-fit pass), 0: block matching
  uint8_t adaptive;          // adaptive window of the matrix finisher (VENDRIX_OUTPUT_ADAPTIVE)
  uint8_t keepTilt1;         // the correction compensates the first tilt angle (VENDRIX_OUTPUT_TILT1)
  uint8_t keepTilt2;         // ... the second tilt angle (VENDRIX_OUTPUT_TILT2)
  uint8_t degreeRotation;    // rotation: fitted, and compensated by the matrix finisher (ModelDegree >= 1)
  uint8_t degreeScale;       // scale: fitted, and zoom compensated by the matrix finisher (ModelDegree 2)
  uint8_t fitEnabled;        // 1: the model fit runs
  uint8_t refitVariant;      // re-fit variant flag
  uint8_t extended;          // VENDRIX_ANALYSIS_ROLLING_SHUTTER: longer fits, rolling-shutter stages
  uint8_t extendedBoth;      // ... together with VENDRIX_ANALYSIS_ROLLING_SHUTTER_EXT
  uint8_t rollingShutter;    // rolling-shutter option of the matrix finisher (1)
  uint8_t rollingShutterTest;  // rolling-shutter hypothesis test (0)
  uint8_t reserved31;        // 0
  float readoutFactor;       // rolling-shutter readout factor; 0 = not used
  float borderFraction;      // 0 = no border limit
  // Smoothing strengths of the finishers' channels, 0..1 (above 0.99 holds the channel still).
  float translationStrength;
  float tilt1Strength;
  float tilt2Strength;
  float rotationStrength;    // also the corner strength of the additive finisher
  float zoomStrength;
  uint32_t reserved60[2];
};
static_assert(sizeof(ModelParams) == 68);
static_assert(offsetof(ModelParams, prefilterKind) == 8);
static_assert(offsetof(ModelParams, modelKind) == 12);
static_assert(offsetof(ModelParams, analyserKind) == 16);
static_assert(offsetof(ModelParams, adaptive) == 20);
static_assert(offsetof(ModelParams, degreeRotation) == 23);
static_assert(offsetof(ModelParams, degreeScale) == 24);
static_assert(offsetof(ModelParams, fitEnabled) == 25);
static_assert(offsetof(ModelParams, refitVariant) == 26);
static_assert(offsetof(ModelParams, extended) == 27);
static_assert(offsetof(ModelParams, extendedBoth) == 28);
static_assert(offsetof(ModelParams, rollingShutter) == 29);
static_assert(offsetof(ModelParams, rollingShutterTest) == 30);
static_assert(offsetof(ModelParams, readoutFactor) == 32);
static_assert(offsetof(ModelParams, borderFraction) == 36);
static_assert(offsetof(ModelParams, translationStrength) == 40);
static_assert(offsetof(ModelParams, tilt1Strength) == 44);
static_assert(offsetof(ModelParams, tilt2Strength) == 48);
static_assert(offsetof(ModelParams, rotationStrength) == 52);
static_assert(offsetof(ModelParams, zoomStrength) == 56);

}  // namespace vendrix::model
