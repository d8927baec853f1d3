#include "profiles_table.h"

#include <fmt/format.h>

#include "vendrix/vendrix.h"

namespace vendrix::cli {

namespace {

double Fx(int32_t v) { return double(v) / VENDRIX_FX_ONE; }

const char* Analysis(int32_t level) { return level == 9 ? "tracking" : "blocks"; }

const char* Model(int32_t degree) {
  switch (degree) {
    case 0: return "shift";
    case 1: return "shift+roll";
    case 2: return "shift+roll+zoom";
    default: return "?";
  }
}

const char* Framing(int32_t mode) {
  switch (mode) {
    case VENDRIX_FRAMING_FIT: return "fit";
    case VENDRIX_FRAMING_CROP_BOUNDS: return "crop";
    case VENDRIX_FRAMING_FOLLOW: return "follow";
    case VENDRIX_FRAMING_FILL: return "fill";
    case VENDRIX_FRAMING_FIT_4: return "fit";
    case VENDRIX_FRAMING_ZOOM_COVER: return "cover";
    case VENDRIX_FRAMING_BORDER_LIMIT: return "border-limit";
    default: return "?";
  }
}

}  // namespace

void PrintProfiles(std::FILE* out) {
  fmt::print(out, "{:>3}  {:<8} {:>5}  {:<15} {:>9} {:>9}  {:<12} {:>6}  {}\n", "#", "analysis", "level", "model",
             "smoothing", "secondary", "framing", "amount", "options");
  for (int i = 0; i < GetProfileNums(); ++i) {
    PathSettings s{};
    if (ApplyProfile(uint32_t(i), &s) != 1) continue;
    std::string options;
    auto add = [&](bool on, const char* name) {
      if (!on) return;
      if (!options.empty()) options += ",";
      options += name;
    };
    add(s.AnalysisFlags & VENDRIX_ANALYSIS_ROLLING_SHUTTER, "rolling-shutter");
    add(s.AnalysisFlags & VENDRIX_ANALYSIS_EXTRA_MEASURE, "fine");
    add(s.AnalysisFlags & VENDRIX_ANALYSIS_WIDE_SEARCH, "wide");
    add(s.AnalysisFlags & VENDRIX_ANALYSIS_HIGH_PASS, "high-pass");
    add(s.OutputFlags & VENDRIX_OUTPUT_EDGE_EXTEND, "edge-extend");
    add(s.OutputFlags & VENDRIX_OUTPUT_ADAPTIVE, "adaptive");
    fmt::print(out, "{:>3}  {:<8} {:>5}  {:<15} {:>9.2f} {:>9.2f}  {:<12} {:>6.2f}  {}{}\n", i, Analysis(s.AnalysisLevel),
               s.AnalysisLevel, Model(s.ModelDegree), Fx(s.Smoothing), Fx(s.SecondarySmoothing), Framing(s.FramingMode),
               Fx(s.FramingAmount), options.empty() ? "-" : options, i == VENDRIX_PROFILE_DEFAULT ? "  (default)" : "");
  }
}

}  // namespace vendrix::cli
