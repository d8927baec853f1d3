#include "model/profiles.h"

#include <cstring>

namespace vendrix::model {

// Field order: FramingAmount, ModelDegree, AnalysisFlags, AnalysisLevel, AnalysisOffset, Smoothing,
// SecondarySmoothing, FramingMode, OutputFlags, AnalysisOrder, Reserved, SmoothingWeight1..4.
// 16.16 raw values: 13107 ~ 0.2, 19660 ~ 0.3, 26214 ~ 0.4, 32768 = 0.5, 65536 = 1.0.
const PathSettings kDefaultPathSettings = {0, 1, 0x4D, 9, 0, 26214, 19660, 2, 0, 2, 0, 13107, 32768, 32768, 32768};

const PathSettings kProfileTable[kProfileCount] = {
    // Levels 0-5 of the block matcher with the additive finisher, edge extension, no per-channel weights.
    {0, 1, 0x0, 0, 0, 13107, 13107, 0, 0x100, 1, 0, 0, 0, 0, 0},
    {0, 1, 0x0, 3, 0, 19660, 13107, 0, 0x100, 1, 0, 0, 0, 0, 0},
    {0, 1, 0x4, 5, 0, 32768, 13107, 2, 0x100, 1, 0, 0, 0, 0, 0},
    {0, 1, 0x0, 3, -26214, 19660, 19660, 0, 0x100, 1, 0, 0, 0, 0, 0},
    {0, 1, 0x4, 3, -26214, 19660, 19660, 0, 0x100, 1, 0, 0, 0, 0, 0},
    {0, 1, 0x8, 3, -26214, 32768, 19660, 2, 0x100, 1, 0, 0, 0, 0, 0},
    {0, 1, 0xC, 3, -26214, 32768, 19660, 2, 0x100, 1, 0, 0, 0, 0, 0},
    {0, 2, 0x0, 2, 0, 19660, 19660, 0, 0x100, 1, 0, 0, 0, 0, 0},
    {0, 1, 0x4, 3, 0, 19660, 36044, 0, 0x100, 1, 0, 0, 0, 0, 0},
    {0, 0, 0x4, 2, 0, 19660, 36044, 0, 0x100, 1, 0, 0, 0, 0, 0},
    {0, 1, 0x4, 3, 0, 19660, 36044, 0, 0x100, 1, 0, 0, 0, 0, 0},
    {0, 2, 0x8, 3, 0, 58982, 19660, 2, 0x100, 1, 0, 0, 0, 0, 0},
    {0, 1, 0xC, 3, 0, 32768, 36044, 2, 0x100, 1, 0, 0, 0, 0, 0},
    {0, 1, 0x8, 3, 0, 62259, 36044, 2, 0x100, 1, 0, 0, 0, 0, 0},
    {0, 1, 0x8, 3, 0, 65536, 64225, 2, 0x100, 1, 0, 0, 0, 0, 0},
    {0, 1, 0x4, 3, 0, 13107, 13107, 0, 0x100, 1, 0, 0, 0, 0, 0},
    {0, 1, 0x4, 3, 0, 32768, 13107, 2, 0x100, 1, 0, 0, 0, 0, 0},
    {0, 1, 0x6, 3, 0, 13107, 13107, 0, 0x100, 1, 0, 0, 0, 0, 0},
    {0, 1, 0x6, 3, 0, 32768, 13107, 2, 0x100, 1, 0, 0, 0, 0, 0},
    {0, 1, 0xA, 3, 0, 32768, 13107, 2, 0x100, 1, 0, 0, 0, 0, 0},
    {0, 0, 0x4, 2, 26214, 13107, 13107, 2, 0x100, 0, 0, 0, 0, 0, 0},
    {0, 0, 0x6, 2, 26214, 13107, 13107, 0, 0x100, 1, 0, 0, 0, 0, 0},
    {0, 0, 0x4, 2, 26214, 52428, 13107, 2, 0x100, 1, 0, 0, 0, 0, 0},
    {0, 1, 0x0, 2, 0, 19660, 19660, 0, 0x100, 1, 0, 0, 0, 0, 0},
    {0, 1, 0x4, 2, 0, 19660, 19660, 2, 0x100, 0, 0, 0, 0, 0, 0},
    {0, 1, 0x0, 2, 0, 9830, 36044, 0, 0x100, 1, 0, 0, 0, 0, 0},
    {0, 1, 0x4, 2, 0, 9830, 36044, 0, 0x100, 0, 0, 0, 0, 0, 0},
    {0, 1, 0x0, 2, 0, 19660, 19660, 0, 0x100, 0, 0, 0, 0, 0, 0},
    {0, 1, 0x4, 2, 0, 26214, 36044, 0, 0x100, 0, 0, 0, 0, 0, 0},
    {0, 1, 0x4, 3, 0, 52428, 64225, 2, 0x100, 0, 0, 0, 0, 0, 0},
    // Level 4 with both model features, coarsest level 1, a framing amount.
    {65536, 2, 0x14, 4, 0, 11796, 20971, 2, 0x100, 2, 0, 0, 0, 0, 0},
    {16384, 2, 0x14, 4, 0, 11796, 20971, 2, 0x100, 2, 0, 0, 0, 0, 0},
    {26214, 2, 0x14, 4, 0, 19660, 26214, 2, 0x100, 2, 0, 0, 0, 0, 0},
    {65536, 2, 0x18, 4, 0, 19005, 26214, 2, 0x100, 2, 0, 0, 0, 0, 0},
    // Levels 6 and 9 with the matrix finisher, framing mode 6 and per-channel weights.
    {19660, 1, 0x4, 6, 0, 16384, 13107, 6, 0x1000, 1, 0, 9830, 13107, 13107, 13107},
    {19660, 1, 0x1, 9, 0, 26214, 19660, 6, 0x1000, 2, 0, 13107, 32768, 32768, 32768},
    {19660, 1, 0x11, 9, 0, 26214, 19660, 6, 0x1000, 2, 0, 13107, 32768, 32768, 32768},
    {19660, 1, 0x9, 9, 0, 26214, 19660, 6, 0x1000, 2, 0, 13107, 19660, 32768, 32768},
    {19660, 1, 0x4D, 9, 0, 26214, 19660, 6, 0x1000, 2, 0, 13107, 32768, 32768, 32768},
    // Level 9, ordinary framing, no output flags; 41 is the default record.
    {13107, 1, 0x1, 9, 0, 62259, 62259, 2, 0, 2, 0, 32768, 62259, 32768, 32768},
    {13107, 1, 0x49, 9, 0, 65536, 64225, 2, 0, 2, 0, 32768, 64225, 32768, 32768},
    {0, 1, 0x4D, 9, 0, 26214, 19660, 2, 0, 2, 0, 13107, 32768, 32768, 32768},
};

bool SameSettings(const PathSettings& a, const PathSettings& b) { return std::memcmp(&a, &b, sizeof(PathSettings)) == 0; }

bool CopyProfile(uint32_t index, PathSettings* out) {
  if (index >= static_cast<uint32_t>(kProfileCount) || !out) return false;
  std::memcpy(out, &kProfileTable[index], sizeof(PathSettings));
  return true;
}

int32_t FindProfileIndex(const PathSettings* rec) {
  if (!rec) return -1;
  for (int32_t i = kProfileCount - 1; i >= 0; --i)
    if (SameSettings(*rec, kProfileTable[i])) return i;
  return -1;
}

bool MatchesProfile(uint32_t index, const PathSettings* rec) {
  if (index >= static_cast<uint32_t>(kProfileCount)) return true;
  return rec && SameSettings(*rec, kProfileTable[index]);
}

}  // namespace vendrix::model
