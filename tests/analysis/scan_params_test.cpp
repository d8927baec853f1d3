// Scan parameters derived from the settings and the frame size, checked against hand-computed values
// (block counts from the density factors, radii from the diagonal), the routing of the analysis and
// output flags, and the working image of halved frames and of fields.
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
  Derived(const PathSettings& s, int32_t w, int32_t h) {
    img.sourceWidth = w;
    img.sourceHeight = h;
    img.sourcePitch = w;
    DeriveScanParams(s, w, h, m, p, &img);
    ChooseWorkingImage(img);
  }
};

TEST(ScanParams, FullHdAtLevelFourIsHalvedWithTwoPassSearch) {
  const Derived d(Settings(4, 1, 0, 2), 1920, 1080);
  EXPECT_EQ(d.img.width, 960);
  EXPECT_EQ(d.img.height, 540);
  EXPECT_EQ(d.img.pitch, 3840);
  EXPECT_EQ(d.m.targetBlocks, 2025u);  // 1920 * 1080 / 16^2 = 8100, quartered
  EXPECT_EQ(d.m.searchRadius, 43);     // 59 halved to 29, plus half of it
  EXPECT_EQ(d.m.twoPass, 1);
  EXPECT_EQ(d.m.coarsestLevel, 1u);
  EXPECT_EQ(d.m.gridStep, 16);
  EXPECT_EQ(d.p.modelKind, model::kModelCornersTwoPass);
  EXPECT_TRUE(d.p.degreeRotation && !d.p.degreeScale);
}

TEST(ScanParams, SmallFramesKeepTheirSizeAndLevelZeroKeepsFixedBlocks) {
  const Derived small(Settings(4, 1, 0, 2), 640, 480);
  EXPECT_EQ(small.img.width, 640);                          // narrower than 700: read at full size
  EXPECT_EQ(small.m.targetBlocks, 640u * 480 / 256 / 4);  // reduced as for a halved frame all the same
  EXPECT_EQ(Derived(Settings(0, 0, 0, 2), 1920, 1080).m.targetBlocks, 160u);
  EXPECT_EQ(Derived(Settings(0, 1, 0, 2), 1920, 1080).m.targetBlocks, 220u);
  // Without a ModelDegree the denser k' applies: 1920 * 1080 / (8^2 * 2.4) / 4.
  EXPECT_EQ(Derived(Settings(2, 0, 0, 2), 1920, 1080).m.targetBlocks, 13500u / 4);
}

TEST(ScanParams, DefaultSettingsSelectTheFeatureTracker) {
  const Derived d(model::kDefaultPathSettings, 1920, 1080);
  EXPECT_EQ(d.p.modelKind, model::kModelProjective);
  EXPECT_EQ(d.p.analyserKind, 1u);
  EXPECT_EQ(d.p.fitEnabled, 1);
  EXPECT_EQ(d.p.translationStrength, 0.2f);
  EXPECT_EQ(d.img.halveAllowed, 0u);  // the tracker halves on its own
  EXPECT_EQ(d.m.refineFine, 1);       // the default flags include VENDRIX_ANALYSIS_EXTRA_MEASURE,
  EXPECT_EQ(d.m.qualityFilter, 0);    // VENDRIX_ANALYSIS_WIDE_SEARCH (quality filter off)
  EXPECT_EQ(d.p.refitVariant, 1);     // and VENDRIX_ANALYSIS_REFIT_VARIANT
  EXPECT_EQ(d.m.searchRadius, 47);    // trunc(2202.9 * 20 / 922), not halved
  EXPECT_EQ(d.m.minMatches, 40u);
}

TEST(ScanParams, FlagRoutingAndOddValues) {
  const Derived hp(Settings(2, 1,
                            VENDRIX_ANALYSIS_HIGH_PASS | VENDRIX_ANALYSIS_EXTRA_MEASURE | VENDRIX_ANALYSIS_ROLLING_SHUTTER |
                                VENDRIX_ANALYSIS_ROLLING_SHUTTER_EXT,
                            3),
                   720, 576);
  EXPECT_TRUE(hp.m.highPass && !hp.m.contrastStretch && hp.m.multiDistance);
  EXPECT_TRUE(!hp.m.refineFine && hp.m.smoothPrefilter);  // level 2 had fine refinement: traded for the prefilter
  EXPECT_TRUE(hp.p.extended && hp.p.extendedBoth);
  EXPECT_EQ(hp.m.coarsestLevel, 0u);
  const Derived ext_only(Settings(2, 1, VENDRIX_ANALYSIS_ROLLING_SHUTTER_EXT, 7), 720, 576);
  EXPECT_EQ(ext_only.p.extendedBoth, 0);  // means nothing without VENDRIX_ANALYSIS_ROLLING_SHUTTER
  EXPECT_EQ(ext_only.m.coarsestLevel, 3u);
  // Level 12 acts as level 2; a wide search multiplies the radius: 25 px per SD diagonal halved to 12.
  const Derived odd(Settings(12, 1, VENDRIX_ANALYSIS_WIDE_SEARCH, 2), 720, 576);
  EXPECT_EQ(odd.m.gridStep, 8);
  EXPECT_EQ(odd.m.searchRadius, (12 + 8) * 4);
  PathSettings framed = model::kDefaultPathSettings;
  framed.FramingMode = VENDRIX_FRAMING_BORDER_LIMIT;
  framed.FramingAmount = 19660;
  framed.OutputFlags = VENDRIX_OUTPUT_ADAPTIVE;
  const Derived f(framed, 100, 100);
  EXPECT_NEAR(f.p.borderFraction, 0.3f, 1e-4f);
  EXPECT_EQ(f.p.adaptive, 1);
  EXPECT_EQ(f.m.searchRadius, 10);  // never below 10
}

TEST(ScanParams, WorkingImageOfFields) {
  static const uint8_t pixels[1440 * 2] = {};
  model::AnalysisImage img{};
  img.sourceWidth = 720;
  img.sourceHeight = 576;
  img.sourcePitch = 1440;
  img.sourceBuffer = pixels;
  img.fieldMode = VENDRIX_FIELD_IN_FRAME | VENDRIX_FIELD_SECOND;
  ChooseWorkingImage(img);
  EXPECT_EQ(img.buffer, pixels + 1440);  // the second field starts one row down
  EXPECT_TRUE(img.pitch == 2880 && img.width == 360 && img.height == 288);
  img.fieldMode = VENDRIX_FIELD_FIRST;  // a buffer holding one field
  img.sourceHeight = 288;
  ChooseWorkingImage(img);
  EXPECT_EQ(img.buffer, pixels);
  EXPECT_TRUE(img.pitch == 1440 && img.width == 360 && img.height == 288);
}

}  // namespace
}  // namespace vendrix::analysis
