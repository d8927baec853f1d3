#include "analysis/scan_params.h"

#include <gtest/gtest.h>

#include "model/profiles.h"

namespace vendrix::analysis {
namespace {

PathSettings Settings(int32_t level, int32_t degree, uint32_t flags, int32_t order) {
  PathSettings s = model::kDefaultPathSettings;
  s.AnalysisLevel = level;
  s.ModelDegree = degree;
  s.AnalysisFlags = flags;
  s.AnalysisOrder = order;
  return s;
}

struct Derived {
  model::MeasureParams m;
  model::ModelParams p;
  model::AnalysisImage img{};
};

Derived Derive(const PathSettings& s, int32_t w, int32_t h) {
  Derived d;
  d.img.sourceWidth = w;
  d.img.sourceHeight = h;
  d.img.sourcePitch = w;
  DeriveScanParams(s, w, h, d.m, d.p, &d.img);
  return d;
}

TEST(ScanParams, FullHdAtLevelFourIsHalvedWithTwoPassSearch) {
  Derived d = Derive(Settings(4, 1, 0, 2), 1920, 1080);
  EXPECT_EQ(d.img.halveAllowed, 1u);
  EXPECT_EQ(d.m.targetBlocks, 2025u);  // 1920 * 1080 / 16^2 = 8100, quartered
  EXPECT_EQ(d.m.searchRadius, 43);     // 59 halved to 29, plus half of it
  EXPECT_EQ(d.m.twoPass, 1);
  EXPECT_EQ(d.m.coarsestLevel, 1u);
  EXPECT_EQ(d.m.gridStep, 16);
  EXPECT_EQ(d.p.modelKind, 3u);
  EXPECT_EQ(d.p.degreeRotation, 1);
  EXPECT_EQ(d.p.degreeScale, 0);
  ChooseWorkingImage(d.img);
  EXPECT_EQ(d.img.width, 960);
  EXPECT_EQ(d.img.height, 540);
  EXPECT_EQ(d.img.pitch, 3840);
}

TEST(ScanParams, SmallFramesKeepTheirSizeAndLevelZeroKeepsFixedBlocks) {
  Derived d = Derive(Settings(4, 1, 0, 2), 640, 480);
  ChooseWorkingImage(d.img);
  EXPECT_EQ(d.img.width, 640);  // narrower than 700: read at full size
  EXPECT_EQ(d.m.targetBlocks, 640u * 480 / 256 / 4);  // reduced as for a halved frame all the same
  EXPECT_EQ(Derive(Settings(0, 0, 0, 2), 1920, 1080).m.targetBlocks, 160u);
  EXPECT_EQ(Derive(Settings(0, 1, 0, 2), 1920, 1080).m.targetBlocks, 220u);
  // Without a ModelDegree byte the denser k' applies: 1920 * 1080 / (8^2 * 2.4) / 4.
  EXPECT_EQ(Derive(Settings(2, 0, 0, 2), 1920, 1080).m.targetBlocks, 13500u / 4);
}

TEST(ScanParams, DefaultSettingsSelectTheFeatureTracker) {
  Derived d = Derive(model::kDefaultPathSettings, 1920, 1080);
  EXPECT_EQ(d.p.modelKind, 6u);
  EXPECT_EQ(d.p.analyserKind, 1u);
  EXPECT_EQ(d.p.fitEnabled, 1);
  EXPECT_EQ(d.p.translationStrength, 0.2f);
  EXPECT_EQ(d.p.zoomStrength, 0.2f);
  EXPECT_EQ(d.img.halveAllowed, 0u);      // the tracker halves on its own
  EXPECT_EQ(d.m.refineFine, 1);           // flags 0x4D include 0x08
  EXPECT_EQ(d.m.qualityFilter, 0);        // and 0x04 turns the quality filter off
  EXPECT_EQ(d.p.refitVariant, 1);         // and 0x40 selects the re-fit variant
  EXPECT_EQ(d.m.searchRadius, 47);        // trunc(2202.9 * 20 / 922), not halved
  EXPECT_EQ(d.m.minMatches, 40u);
}

TEST(ScanParams, FlagRoutingAndOddValues) {
  Derived hp = Derive(Settings(2, 1, 0x02 | 0x08 | 0x10 | 0x20, 3), 720, 576);
  EXPECT_EQ(hp.m.highPass, 1);
  EXPECT_EQ(hp.m.contrastStretch, 0);
  EXPECT_EQ(hp.m.refineFine, 0);  // level 2 had it on: traded for the smoothing prefilter
  EXPECT_EQ(hp.m.smoothPrefilter, 1);
  EXPECT_EQ(hp.m.multiDistance, 1);
  EXPECT_EQ(hp.p.extended, 1);
  EXPECT_EQ(hp.p.extendedBoth, 1);
  EXPECT_EQ(hp.m.coarsestLevel, 0u);
  Derived only20 = Derive(Settings(2, 1, 0x20, 7), 720, 576);
  EXPECT_EQ(only20.p.extendedBoth, 0);  // 0x20 means nothing without 0x10
  EXPECT_EQ(only20.m.coarsestLevel, 3u);
  // Level 12 behaves like level 2; a wide search multiplies the radius.
  Derived odd = Derive(Settings(12, 1, 0x04, 2), 720, 576);
  EXPECT_EQ(odd.m.gridStep, 8);
  EXPECT_EQ(odd.m.searchRadius, (12 + 8) * 4);  // 25 px per SD diagonal, halved to 12
  PathSettings framed = model::kDefaultPathSettings;
  framed.FramingMode = 6;
  framed.FramingAmount = 19660;
  framed.OutputFlags = 0x1000;
  Derived f = Derive(framed, 100, 100);
  EXPECT_NEAR(f.p.borderFraction, 0.3f, 1e-4f);
  EXPECT_EQ(f.p.adaptive, 1);
  EXPECT_EQ(f.m.searchRadius, 10);  // never below 10
}

TEST(ScanParams, WorkingImageOfFields) {
  model::AnalysisImage img{};
  img.sourceWidth = 720;
  img.sourceHeight = 576;
  img.sourcePitch = 1440;
  static const uint8_t pixels[1440 * 2] = {};
  img.sourceBuffer = pixels;
  img.fieldMode = VENDRIX_FIELD_IN_FRAME | VENDRIX_FIELD_SECOND;
  ChooseWorkingImage(img);
  EXPECT_EQ(img.buffer, pixels + 1440);  // the second field starts one row down
  EXPECT_EQ(img.pitch, 2880);
  EXPECT_EQ(img.width, 360);
  EXPECT_EQ(img.height, 288);
  img.fieldMode = VENDRIX_FIELD_FIRST;  // a buffer holding one field
  img.sourceHeight = 288;
  ChooseWorkingImage(img);
  EXPECT_EQ(img.buffer, pixels);
  EXPECT_EQ(img.width, 360);
  EXPECT_EQ(img.height, 288);
  EXPECT_EQ(img.pitch, 1440);
}

}  // namespace
}  // namespace vendrix::analysis
