// Measurement parameters: how the analyser looks at each entry (block grid, search, filters,
// reference distances). The scanner derives them from the clip's settings at every scan and the
// path keeps a copy of the last one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vendrix::model {

struct MeasureParams {
  float detailBias;        // AnalysisOffset as a float
  uint32_t maxError;       // a block match is kept only when its best SSD is below maxError * 32
  uint16_t gridStep;       // distance between block origins, pixels
  uint16_t blockSize;      // block edge, pixels: 8, 12, 16 or 24
  uint16_t searchRadius;   // largest displacement searched, pixels
  int16_t searchWindow[4]; // x min, y min, x max, y max of the displacements searched
  uint32_t targetBlocks;   // wanted number of kept blocks per entry
  uint32_t minMatches;     // kept matches needed before a grid is accepted
  uint32_t maxDistance;    // largest distance to the reference entry, in entries (1..4)
  uint32_t coarsestLevel;  // coarsest pyramid level used (0..3)
  uint8_t marginLeft, marginTop, marginRight, marginBottom;  // grid margins, pixels
  uint8_t refineMid;       // the +-6 pixel stage of the block search
  uint8_t refineFine;      // the +-1 pixel stage (feature tracker: Harris corners instead of the own detector)
  uint8_t refineThird;     // the third-pixel stage
  uint8_t smoothPrefilter, contrastStretch, highPass;  // level-0 filters
  uint8_t qualityFilter;   // drop low-quality matches
  uint8_t distanceStep, fixedDistance;  // reference-distance rules; never set by the scanner
  uint8_t multiDistance, twoPass;       // measurement variants
  uint8_t explicitWindow;  // search window from searchWindow instead of searchRadius
  uint8_t keepMatches;     // keep a copy of every entry's match list in the path
  uint8_t fieldShiftOn;    // apply the field shift
  uint8_t secondPass;      // measure a second, reversed record
  float fieldShift;        // vertical shift of the second field, pixels (+-0.5)
  uint8_t reserved[24];
};
static_assert(sizeof(MeasureParams) == 88);
static_assert(offsetof(MeasureParams, gridStep) == 8 && offsetof(MeasureParams, searchWindow) == 14);
static_assert(offsetof(MeasureParams, targetBlocks) == 24 && offsetof(MeasureParams, coarsestLevel) == 36);
static_assert(offsetof(MeasureParams, marginLeft) == 40 && offsetof(MeasureParams, qualityFilter) == 50);
static_assert(offsetof(MeasureParams, keepMatches) == 56 && offsetof(MeasureParams, fieldShift) == 60);

}  // namespace vendrix::model
