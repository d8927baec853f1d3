// Preview: a frame converted for display with the measurement cells of the last analysed entry painted
// over it, so that a host can show which cells the motion estimation kept.
#pragma once

#include <cstdint>

#include "model/match_list.h"
#include "vendrix/vendrix.h"

namespace vendrix::analysis {

// Overlay marks: the byte written into kept cells of BGRA / BGR destinations (their first byte), into
// the chroma bytes of YUYV destinations, and the Cb/Cr pairs written into NV12 chroma.
constexpr uint8_t kPreviewMarkRgb = 160;
constexpr uint8_t kPreviewMarkChroma = 96;
constexpr uint8_t kPreviewNeutralChroma = 128;

// PrepPreviewImage: nothing for a null path or a record tag other than 1; otherwise converts the record
// as ConvImage does and paints the cells of the path's hand-over block, read as a match list, over the
// destination. The caller keeps scanning of the path and the preview apart.
void PreparePreview(const GlobalMotionPath* path, const ConvRecord& record);

// Paints the cells of `list` over `destination`, taken with its own size, pitch and row 0 (no field
// selection). The grid has planeWidth / step columns and planeHeight / step rows of cells in row-major
// order; cell (c, r) covers working-image x from marginX + c step to the next cell, likewise in y, scaled
// to the destination by destination size / working size in 16.16. BGRA (1), BGR (2) and YUYV (10)
// destinations get their kept cells marked; NV12 (12) destinations get every cell's chroma set, kept
// cells to (96, 128) and the others to neutral grey. Other formats, a step of 0, a list without cells or
// working size, and invalid destination descriptors paint nothing. Rows beyond the list's capacity are
// not read; the painting is clipped to the destination.
void PaintMatchCells(const model::MatchList& list, const ImageDesc& destination);

}  // namespace vendrix::analysis
