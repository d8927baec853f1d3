// Preview: conversion, then the overlay of the hand-over match list's cells.
#include "analysis/preview.h"

#include <algorithm>

#include "model/global_motion_path.h"
#include "imaging/image_convert.h"
#include "imaging/pixel_formats.h"

namespace vendrix::analysis {
namespace {

// The destination as painted: its own descriptor, checked like a conversion destination.
struct Canvas {
  uint8_t* row0;
  int64_t pitch;
  int32_t width;
  int32_t height;

  uint8_t* Row(int64_t y) const { return row0 + y * pitch; }
};

bool CanvasFrom(const ImageDesc& d, Canvas* out) {
  if (!d.buffer || d.width < 1 || d.width > imaging::kMaxImageSide || d.height < 1 || d.height > imaging::kMaxImageSide) return false;
  // NV12 chroma pairs reach the width rounded up to even; the other formats touch whole pixels.
  const int64_t row =
      d.format == VENDRIX_PIXFMT_NV12 ? imaging::SourceRowBytes(d.format, d.width) : imaging::DestRowBytes(d.format, d.width);
  if (imaging::Magnitude(d.pitch) < row) return false;
  *out = Canvas{static_cast<uint8_t*>(d.buffer), d.pitch, d.width, d.height};
  return true;
}

// The cell grid along one axis: cell i starts at working position margin + i x step, which the 16.16
// scale (destination size / working size) takes to the destination.
struct Axis {
  uint32_t margin;
  uint32_t step;
  uint32_t scale;  // 16.16

  // 16.16 destination position of the start of cell i, in 64 bits; working positions beyond 32 bits
  // (only a corrupt list has them) are held there, which keeps the product within 64 bits.
  uint64_t Start(uint64_t i) const {
    constexpr uint64_t kFar = uint64_t{1} << 32;
    return std::min<uint64_t>(margin + i * step, kFar) * scale;
  }
};

// Destination pixel of a 16.16 position, clipped to 0..limit.
int32_t Pixel(uint64_t position, int32_t limit) {
  return static_cast<int32_t>(std::min<uint64_t>(position >> imaging::kFxShift, static_cast<uint64_t>(limit)));
}

// Sets byte `offset` of every pixel (pixel_bytes apart) in columns x0..x1-1 of rows y0..y1-1.
void MarkRect(const Canvas& canvas, int32_t x0, int32_t x1, int32_t y0, int32_t y1, int32_t pixel_bytes, int32_t offset,
              uint8_t value) {
  for (int32_t y = y0; y < y1; ++y) {
    uint8_t* row = canvas.Row(y) + offset;
    for (int32_t x = x0; x < x1; ++x) row[static_cast<int64_t>(x) * pixel_bytes] = value;
  }
}

// Codes 1, 2 and 10: per cell row, each maximal run of kept cells is marked once.
void MarkKeptRuns(const Canvas& canvas, const model::MatchCell* cells, uint32_t columns, uint32_t rows,
                  const Axis& ax, const Axis& ay, int32_t pixel_bytes, int32_t offset, uint8_t value) {
  for (uint32_t r = 0; r < rows; ++r) {
    const int32_t y0 = Pixel(ay.Start(r), canvas.height);
    const int32_t y1 = Pixel(ay.Start(r + 1), canvas.height);
    if (y0 >= y1) continue;
    const model::MatchCell* row = cells + static_cast<size_t>(r) * columns;
    for (uint32_t c = 0; c < columns;) {
      if (!row[c].keep) {
        ++c;
        continue;
      }
      const uint32_t first = c;
      while (c < columns && row[c].keep) ++c;
      MarkRect(canvas, Pixel(ax.Start(first), canvas.width), Pixel(ax.Start(c), canvas.width), y0, y1, pixel_bytes,
               offset, value);
    }
  }
}

// Code 12: every cell's chroma, in row-major order (later cells overwrite shared pairs). Chroma row of a
// 16.16 position y is y >> 17; a cell's pairs start at the even byte at or below its first column.
void PaintChromaCells(const Canvas& canvas, const model::MatchCell* cells, uint32_t columns, uint32_t rows,
                      const Axis& ax, const Axis& ay) {
  uint8_t* chroma = canvas.Row(canvas.height);
  const Canvas plane{chroma, canvas.pitch, canvas.width, (canvas.height + 1) / 2};
  for (uint32_t r = 0; r < rows; ++r) {
    const int32_t cy0 = Pixel(ay.Start(r) >> 1, plane.height);
    const int32_t cy1 = Pixel(ay.Start(r + 1) >> 1, plane.height);
    for (uint32_t c = 0; c < columns; ++c) {
      const uint8_t cb = cells[static_cast<size_t>(r) * columns + c].keep ? kPreviewMarkChroma : kPreviewNeutralChroma;
      const int32_t x0 = Pixel(ax.Start(c), plane.width) & ~1;
      const int32_t x1 = Pixel(ax.Start(c + 1), plane.width);
      for (int32_t y = cy0; y < cy1; ++y) {
        uint8_t* row = plane.Row(y);
        for (int32_t x = x0; x < x1; x += 2) {
          row[x] = cb;
          row[x + 1] = kPreviewNeutralChroma;
        }
      }
    }
  }
}

}  // namespace

void PaintMatchCells(const model::MatchList& list, const ImageDesc& destination) {
  if (list.step == 0 || !list.cells || list.capacity <= 0 || list.width == 0 || list.height == 0) return;
  const uint32_t format = destination.format;
  if (format != VENDRIX_PIXFMT_BGRA8 && format != VENDRIX_PIXFMT_BGR8 && format != VENDRIX_PIXFMT_YUYV8 &&
      format != VENDRIX_PIXFMT_NV12)
    return;
  Canvas canvas;
  if (!CanvasFrom(destination, &canvas)) return;

  const uint32_t columns = list.planeWidth / list.step;
  uint32_t rows = list.planeHeight / list.step;
  if (columns == 0 || rows == 0) return;
  rows = std::min(rows, static_cast<uint32_t>(list.capacity) / columns);  // only cells the list holds

  // Scales are unsigned 16.16; the widths are below 32768, so size x 65536 fits in 32 bits.
  const Axis ax{list.marginX, list.step, (static_cast<uint32_t>(canvas.width) << imaging::kFxShift) / list.width};
  const Axis ay{list.marginY, list.step, (static_cast<uint32_t>(canvas.height) << imaging::kFxShift) / list.height};
  switch (format) {
    case VENDRIX_PIXFMT_BGRA8:
      MarkKeptRuns(canvas, list.cells, columns, rows, ax, ay, 4, 0, kPreviewMarkRgb);
      break;
    case VENDRIX_PIXFMT_BGR8:
      MarkKeptRuns(canvas, list.cells, columns, rows, ax, ay, 3, 0, kPreviewMarkRgb);
      break;
    case VENDRIX_PIXFMT_YUYV8:
      MarkKeptRuns(canvas, list.cells, columns, rows, ax, ay, 2, 1, kPreviewMarkChroma);
      break;
    default:
      PaintChromaCells(canvas, list.cells, columns, rows, ax, ay);
      break;
  }
}

void PreparePreview(const GlobalMotionPath* path, const ConvRecord& record) {
  if (!path || record.tag != VENDRIX_IMAGE_TAG) return;
  imaging::ConvertImage(record);
  // The overlay is painted whether or not the conversion supported the pair: it marks the destination
  // as it is.
  const auto* list = static_cast<const model::MatchList*>(path->handover);
  if (list) PaintMatchCells(*list, record.destination);
}

}  // namespace vendrix::analysis
