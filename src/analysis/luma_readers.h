// Luma readers: turn a source frame of any supported pixel format into an 8-bit luma plane of the
// working size. Formats that carry no luma (3 to 7, 14) leave the plane as it was.
#pragma once

#include <cstdint>

#include "model/analysis_image.h"

namespace vendrix::analysis {

constexpr int32_t kMaxImageSide = 32767;

// One luma value per source pixel.
void ReadLumaFull(const model::AnalysisImage& image, uint8_t* plane, int32_t plane_pitch);
// 2:1 in both directions with a 1-2-1 by 1-2-1 kernel; the outermost rows and columns are not written.
void ReadLumaHalf(const model::AnalysisImage& image, uint8_t* plane, int32_t plane_pitch);
// One field: each working row from the working image's row, 2:1 horizontally with 1-2-1; the first and
// last columns are not written.
void ReadLumaField(const model::AnalysisImage& image, uint8_t* plane, int32_t plane_pitch);

// Luma of `count` pixels of one source row in `format` (bytes per pixel by the format table).
// False for formats without luma.
bool LumaOfRow(uint32_t format, const uint8_t* src, uint8_t* dst, int32_t count);
// Bytes per pixel of a format the readers accept directly; 0 for the others.
int32_t LumaBytesPerPixel(uint32_t format);

}  // namespace vendrix::analysis
