// The span kernels of the quad rasteriser and their table. ScanQuad (quad_raster.h) turns a quad into
// row spans; a span kernel writes the bilinear samples of one span for one pixel layout.
//
// A span kernel writes `span.count` output units from `out`, unit j taking the sample at
// (span.u + j * span.du, span.v + j * span.dv) of `grid`, and reads only inside the grid's extent (see
// SampleGrid). It accepts any grid and span. Every entry of the table starts as the plain C++ reference
// and is replaced by a vector version only where one exists for the running processor; all versions of
// an entry write identical bytes.
#pragma once

#include <cstdint>

#include "texmap/quad_raster.h"

namespace vendrix::texmap {

using SpanKernel = void (*)(const SampleGrid& grid, uint8_t* out, const QuadSpan& span);

// The layouts, as the DrawQuad* family members draw them (quad_raster.h).
enum SpanLayout : uint8_t {
  kSpan4x8,         // 4 x 8-bit pixels, 8-bit weights, all four bytes written
  kSpan4x16,        // 4 x u16 pixels, 16-bit weights
  kSpan4xF32,       // 4 x f32 pixels, single-precision blend
  kSpanLumaOdd,     // packed 4:2:2 luma in byte 1 of 2-byte units, byte 0 set to 128
  kSpanLumaEven,    // ... luma in byte 0, byte 1 set to 128
  kSpanChromaEven,  // packed 4:2:2 pixel pairs (4-byte units): bytes 0 and 2 written, 1 and 3 kept
  kSpanChromaOdd,   // ... bytes 1 and 3 written, 0 and 2 kept
  kSpanLayoutCount
};

// Bytes per storage unit of each layout's source and output.
constexpr int32_t kSpanUnitBytes[kSpanLayoutCount] = {4, 8, 16, 2, 2, 4, 4};

struct QuadSpanTable {
  SpanKernel spans[kSpanLayoutCount];
};

// The table for the running processor (see platform/kernel_table.h for when it is filled).
const QuadSpanTable& QuadSpanKernels();

// Each kernel file sets its own entries for the given CpuFlags().
void FillRgbaSpans(uint32_t flags, QuadSpanTable* table);
void FillYuvSpans(uint32_t flags, QuadSpanTable* table);

}  // namespace vendrix::texmap
