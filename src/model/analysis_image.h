// The working image of one entry: where the analysis reads its luma from and at what size.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vendrix::model {

struct AnalysisImage;

// Fills a width x height luma plane (the working size) from the image's source pixels.
using LumaReader = void (*)(const AnalysisImage& image, uint8_t* plane, int32_t plane_pitch);

struct AnalysisImage {
  uint32_t format;       // pixel-format code of the source
  uint32_t fieldMode;    // field bits; the second field's copy has bits 0 and 1 exchanged
  int32_t width;         // working size, after field split or halving
  int32_t height;
  int32_t pitch;         // working pitch, bytes (twice the source pitch when rows are skipped)
  const uint8_t* buffer; // working first row
  float aspectFactor;    // horizontal pixel aspect of the scan
  uint32_t halveAllowed; // the working-size rules may halve a large frame
  LumaReader readRow;    // the reader chosen for the working size
  float fieldShift;      // vertical shift of the field, rows: 0, -0.5 or +0.5
  int32_t sourceWidth;   // values before the working-size rules
  int32_t sourceHeight;
  int32_t sourcePitch;
  const uint8_t* sourceBuffer;
};

}  // namespace vendrix::model
