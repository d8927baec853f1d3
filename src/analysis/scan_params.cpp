#include "analysis/scan_params.h"

#include <cmath>
#include <cstring>

#include "analysis/luma_readers.h"

namespace vendrix::analysis {
namespace {

// Per analysis level: grid step (= block size), the three search stages, density factors k (with a
// ModelDegree byte set) and k' (without), the radius factor, minimum matches and model kind.
struct LevelPreset {
  uint16_t step;
  bool mid, fine, third;
  double k, k_plain;  // double: 2.4 in float would make 1920 x 1080 at level 2 one block short
  double radius_factor;
  uint32_t min_matches;
  uint32_t model_kind;
};

constexpr LevelPreset kLevels[10] = {
    {12, true, false, false, 0.0, 0.0, 25.0, 30, 3},  // 0: fixed targetBlocks instead of a density
    {12, true, false, true, 2.5, 3.0, 25.0, 30, 3},
    {8, true, true, true, 2.0, 2.4, 25.0, 30, 3},
    {12, true, true, true, 1.3, 1.56, 25.0, 30, 3},
    {16, true, true, true, 1.0, 1.2, 25.0, 30, 3},
    {16, true, true, true, 0.6, 0.72, 25.0, 30, 3},
    {16, true, true, true, 1.0, 1.0, 20.0, 40, 4},
    {16, true, true, true, 1.0, 1.0, 20.0, 40, 4},
    {16, true, true, true, 1.0, 1.0, 20.0, 40, 6},
    {16, true, true, true, 1.0, 1.0, 20.0, 40, 6},
};

// 1 / 922: the radius is R pixels per standard-definition (720 x 576) diagonal.
constexpr double kRadiusPerDiagonal = 0.0010845987;

constexpr uint32_t kFlagHighPass = VENDRIX_ANALYSIS_HIGH_PASS, kFlagWide = VENDRIX_ANALYSIS_WIDE_SEARCH,
                   kFlagExtra = VENDRIX_ANALYSIS_EXTRA_MEASURE, kFlagRolling = VENDRIX_ANALYSIS_ROLLING_SHUTTER,
                   kFlagRollingExt = VENDRIX_ANALYSIS_ROLLING_SHUTTER_EXT, kFlagRefit = VENDRIX_ANALYSIS_REFIT_VARIANT;
constexpr uint32_t kOutputAdaptive = VENDRIX_OUTPUT_ADAPTIVE;

}  // namespace

void LoadMeasureDefaults(model::MeasureParams& m) {
  std::memset(&m, 0, sizeof(m));
  m.maxError = 5000;
  m.gridStep = 16;
  m.blockSize = 16;
  m.searchRadius = 20;
  m.targetBlocks = 400;
  m.minMatches = 40;
  m.maxDistance = 1;
  m.coarsestLevel = 2;
}

void LoadModelDefaults(model::ModelParams& p) {
  std::memset(&p, 0, sizeof(p));
  p.modelKind = model::kModelCornersTwoPass;
  p.rollingShutter = 1;
  p.translationStrength = p.rotationStrength = p.tilt1Strength = p.tilt2Strength = p.zoomStrength = 0.2f;
}

namespace {

// Values every level starts from; the level preset and the flags refine them.
void ApplyFixedValues(const PathSettings& s, model::MeasureParams& m, model::ModelParams& p) {
  m.maxError = 5000;
  m.maxDistance = 1;
  m.minMatches = 30;
  // Blocks keep clear of the frame's rim, where halving and field readers leave pixels unwritten and
  // compression damage collects; right and bottom less, since blocks already extend that way.
  m.marginLeft = 10, m.marginTop = 10, m.marginRight = 5, m.marginBottom = 5;
  m.fieldShiftOn = 1;
  m.contrastStretch = 1;
  p.modelKind = model::kModelCornersTwoPass;
  p.fitEnabled = 1;
  p.analyserKind = 0;
  p.refitVariant = 0;
  p.extended = p.extendedBoth = 0;
  p.adaptive = 0;
  p.borderFraction = 0.0f;
  p.degreeRotation = (s.ModelDegree == 1 || s.ModelDegree == 2) ? 1 : 0;
  p.degreeScale = s.ModelDegree == 2 ? 1 : 0;
  m.detailBias = static_cast<float>(s.AnalysisOffset) / 65536.0f;
}

// Block size and grid, search stages, matches needed and model kind of the analysis level.
void ApplyLevelPreset(uint32_t level, const LevelPreset& preset, bool degree, model::MeasureParams& m,
                      model::ModelParams& p) {
  m.gridStep = m.blockSize = preset.step;
  m.refineMid = preset.mid;
  m.refineFine = preset.fine;
  m.refineThird = preset.third;
  m.minMatches = preset.min_matches;
  p.modelKind = preset.model_kind;
  if (level == 6 || level == 7) p.refitVariant = 1;
  if (level == 9) p.analyserKind = 1;
  if (level == 0) m.targetBlocks = degree ? 220 : 160;  // a fixed count instead of a density
}

// The analysis flags and the finishing options the settings route through the parameters. Returns
// whether a large frame may be analysed at half size (the block matcher's choice).
bool ApplyFlags(const PathSettings& s, model::MeasureParams& m, model::ModelParams& p) {
  const uint32_t flags = s.AnalysisFlags;
  bool halve = false;
  if (p.analyserKind == 1) {
    m.refineFine = (flags & kFlagExtra) ? 1 : 0;  // Harris corners instead of the own detector
    m.qualityFilter = (flags & kFlagWide) ? 0 : 1;
  } else {
    halve = true;
    if (flags & kFlagExtra) m.multiDistance = 1;
    if (flags & kFlagHighPass) {
      m.highPass = 1;
      m.contrastStretch = 0;
      if (m.refineFine) {
        m.refineFine = 0;
        m.smoothPrefilter = 1;
      }
    }
  }
  if (flags & kFlagRolling) {
    p.extended = 1;
    if (flags & kFlagRollingExt) p.extendedBoth = 1;
  }
  if (s.OutputFlags & kOutputAdaptive) p.adaptive = 1;
  if (s.FramingMode == VENDRIX_FRAMING_BORDER_LIMIT) p.borderFraction = static_cast<float>(s.FramingAmount) / 65536.0f;
  return halve;
}

uint32_t CoarsestLevel(int32_t analysis_order) {
  switch (analysis_order) {
    case 1: return 2;
    case 2: return 1;
    case 3: return 0;
    default: return 3;
  }
}

// Block count and search radius from the frame size: the density factor k gives one block per
// k grid cells, the radius grows with the diagonal. Computed in double and clamped so that absurd
// sizes cannot overflow the fields.
void ApplySizes(const PathSettings& s, int32_t width, int32_t height, const LevelPreset& preset, double k, bool halve,
                model::MeasureParams& m, model::ModelParams& p) {
  const double w = width > 0 ? width : 0, h = height > 0 ? height : 0;
  if (k > 0.0) {
    double blocks = std::trunc(w * h / (static_cast<double>(m.gridStep) * m.gridStep * k));
    if (blocks > 4e9) blocks = 4e9;
    m.targetBlocks = static_cast<uint32_t>(blocks);
    if (halve) m.targetBlocks >>= 2;
  }
  uint32_t radius = static_cast<uint32_t>(std::trunc(std::sqrt(w * w + h * h) * preset.radius_factor * kRadiusPerDiagonal));
  if (radius < 10) radius = 10;
  if (halve) radius >>= 1;
  if (p.analyserKind != 1) {
    // The block matcher searches 1.5 radii, or a wide range with VENDRIX_ANALYSIS_WIDE_SEARCH; beyond
    // 30 pixels a coarse first measurement narrows the range per entry.
    radius = (s.AnalysisFlags & kFlagWide) ? (radius + 8) * 4 : radius + radius / 2;
    if (radius > 30) m.twoPass = 1;
  } else {
    p.refitVariant = (s.AnalysisFlags & kFlagRefit) ? 1 : 0;
  }
  m.searchRadius = static_cast<uint16_t>(radius > 0xFFFF ? 0xFFFF : radius);
}

}  // namespace

void DeriveScanParams(const PathSettings& s, int32_t width, int32_t height, model::MeasureParams& m, model::ModelParams& p,
                      model::AnalysisImage* image) {
  LoadMeasureDefaults(m);
  LoadModelDefaults(p);
  const uint32_t level = (s.AnalysisLevel >= 0 && s.AnalysisLevel <= 9) ? static_cast<uint32_t>(s.AnalysisLevel) : 2u;
  const LevelPreset& preset = kLevels[level];
  ApplyFixedValues(s, m, p);
  const bool degree = p.degreeRotation || p.degreeScale;
  ApplyLevelPreset(level, preset, degree, m, p);
  const bool halve = ApplyFlags(s, m, p);
  if (image) image->halveAllowed = halve ? 1u : 0u;
  m.coarsestLevel = CoarsestLevel(s.AnalysisOrder);
  ApplySizes(s, width, height, preset, degree ? preset.k : preset.k_plain, halve, m, p);
}

void ChooseWorkingImage(model::AnalysisImage& img) {
  img.width = img.sourceWidth;
  img.height = img.sourceHeight;
  img.pitch = img.sourcePitch;
  img.buffer = img.sourceBuffer;
  if (img.fieldMode & VENDRIX_FIELD_IN_FRAME) {
    // The buffer holds a whole frame: take every second row, from row 1 for the second field.
    if (img.fieldMode & VENDRIX_FIELD_SECOND) img.buffer += img.sourcePitch;
    img.pitch = img.sourcePitch * 2;
    img.width /= 2;
    img.height /= 2;
    img.readRow = ReadLumaField;
  } else if (img.fieldMode & (VENDRIX_FIELD_FIRST | VENDRIX_FIELD_SECOND)) {
    img.width /= 2;  // the buffer holds one field: halve horizontally to keep the aspect
    img.readRow = ReadLumaField;
  } else if (img.halveAllowed && img.sourceWidth >= 700 && img.sourceHeight >= 450) {
    img.width /= 2;
    img.height /= 2;
    img.pitch = img.sourcePitch * 2;
    img.readRow = ReadLumaHalf;
  } else {
    img.readRow = ReadLumaFull;
  }
}

}  // namespace vendrix::analysis
