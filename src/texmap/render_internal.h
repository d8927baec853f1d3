// Internals of the texture-map renderer shared by its files: the render context, the banded drawing
// of one strip on the worker pools, the format paths that draw through temporary images, and the
// finishing steps (fill, edge extension, split view, grid, marker border).
#pragma once

#include <cstddef>
#include <cstdint>

#include "texmap/quad_raster.h"
#include "vendrix/vendrix.h"

namespace vendrix::texmap {

constexpr int32_t kMaxStrips = 33;
constexpr int32_t kMeshStrips = VENDRIX_TEXMAP_BAND_COUNT;

// Everything one render works from, built from the definition (SetUpContext) and then adjusted by
// the format's sequence. Rectangles are 16.16 output pixels; sizes are whole pixels; pitches bytes.
struct RenderContext {
  FxBox visible;  // visibleRect, clamped to the output
  FxBox clip;     // what the rasteriser may write: the visible rect with one side moved by a split view
  FxBox split;    // its x1, y1 give the size of the split-view copy
  Quad strips[kMaxStrips];
  int32_t strip_count;  // 1, or 32 for the band mesh
  int32_t src_width, src_height;
  int32_t out_width, out_height;
  const uint8_t* src_buffer;
  int32_t src_pitch;
  int32_t src_rows;
  uint8_t* out_buffer;
  int32_t out_pitch;
  int32_t out_rows;
  uint8_t mesh;           // mapFlags 0x200
  uint8_t marker;         // a frame border is to be drawn
  uint8_t marker_select;  // 0: border colour (0x20), 1: white (0x40)
};

// ---- Definition checks and set-up (render.cpp) -----------------------------------------------------

// Bytes one row of `width` pixels of `format` occupies in a host buffer (0 for unsupported codes).
int64_t RowBytes(uint32_t format, int32_t width);

// True when the definition's images can be rendered safely: known format, buffers present, sizes of at
// least one pixel, output rows covering the output height, pitches holding a row, and field mode
// leaving at least one row with a pitch that still fits 32 bits.
bool DefinitionUsable(const TexMapDefD& def);

// Fills the context from the definition: strip 0, visible rect, rotation, band mesh, buffers, field
// mode, pull-in of the last strip, clamping, split view and marker.
void SetUpContext(const TexMapDefD& def, RenderContext* ctx);

// Renders a definition of any code: directly, or through the temporaries of render_formats.cpp.
void RenderDefinition(const TexMapDefD& def, RenderContext* ctx);
// Renders a definition whose code has its own rasteriser (1, 8, 9, 10, 11, 15, 16..23), writing the
// output buffer directly. The context is reset first.
void RenderDirect(const TexMapDefD& def, RenderContext* ctx);

// ---- Banding (render.cpp) -----------------------------------------------------------------------------

constexpr int32_t kBandPixels = 5000;  // output pixels per band
constexpr int32_t kMaxBandThreads = 8; // threads per strip, the caller included

struct BandPlan {
  bool pooled;    // the bands need a borrowed pool (false: one band on the calling thread)
  int32_t count;  // 1..kMaxBandThreads
  FxBox bands[kMaxBandThreads];
};

// Splits `clip` into horizontal bands of whole rows for `threads` threads: one band per 5000 pixels,
// split only from two bands, at most min(threads, 8) bands.
BandPlan PlanBands(const FxBox& clip, int32_t threads);

// Draws one strip restricted to `clip`, split into bands on a borrowed worker pool (band 0 on the
// calling thread). No free pool: the strip is not drawn. A fault ends only its own band.
void DrawStripBanded(DrawQuadFn draw, const QuadSource& src, const Quad& strip, const QuadTarget& out,
                     const FxBox& clip);

// ---- Paths through temporary images (render_formats.cpp) --------------------------------------------

// VENDRIX_MAP_IN_PLACE for the 4-byte formats and YUYV8: draws into a copy of the output, then copies it
// back.
void RenderInPlace(const TexMapDefD& def, RenderContext* ctx);
// BGR8: widened to 4 bytes per pixel, drawn as ARGB8, narrowed back.
void RenderWidened(const TexMapDefD& def, RenderContext* ctx);
// NV12 and YUV420P: converted to packed 4:2:2 (YUYV8), drawn, converted back.
void RenderPlanar(const TexMapDefD& def, RenderContext* ctx);
// The 16-bit and float formats with edge extension: narrowed to 4 x 8-bit, drawn as ARGB8, widened back.
void RenderNarrowed(const TexMapDefD& def, RenderContext* ctx);

// Temporary images: blocks kept between renders and handed out again when large enough, so that a
// stream of frames does not fault in fresh pages every frame. Null when the allocation fails.
void* AcquireScratch(size_t bytes);
void ReleaseScratch(void* block);

// ---- Finishing (render_finish.cpp) --------------------------------------------------------------------

// An image of `width` x `height` storage units of `unit` bytes, rows `pitch` bytes apart.
struct Surface {
  uint8_t* row0;
  int64_t pitch;
  int32_t width;
  int32_t height;
  int32_t unit;

  uint8_t* At(int64_t x, int64_t y) const { return row0 + y * pitch + x * unit; }
};

// Colours of the finishing steps, as the bytes of one storage unit. For packed 4:2:2 the background is
// one 2-byte pixel and the other colours (divider, border, white) one 4-byte pixel pair.
struct FormatColours {
  uint8_t background[16];
  uint8_t border[16];  // frame border for mapFlags 0x20
  uint8_t white[16];   // guide grid, frame border for mapFlags 0x40
  uint8_t divider[16]; // split-view divider
};

const FormatColours& ColoursFor(uint32_t format);

// mapFlags 0x1 (and 0x2): the whole surface, or only the margins outside `visible` when they are
// narrow enough (l + r < width and t + b < height).
void FillBackground(const Surface& out, const FxBox& visible, bool margins_only, const uint8_t* colour);
// Fills columns [x0, x1) of rows [y0, y1), clipped to the surface.
void FillRect(const Surface& out, int64_t x0, int64_t y0, int64_t x1, int64_t y1, const uint8_t* colour);
// mapFlags 0x100: extends the picture inside `visible` over the rest of the surface with a blur.
void ExtendEdges(const Surface& out, const FxBox& visible);
// Without fill or extension: column width-2 into width-1, then row height-2 into height-1 (in field
// mode both of the last two rows receive row height-3).
void CopyLastColumnAndRow(const Surface& out, bool field_mode);
// Split view: the first `columns` x `rows` units of `src` copied unchanged to the same place.
void CopySplitView(const Surface& out, const Surface& src, int32_t columns, int32_t rows);
// Guide grid: rows every height/6 starting at half a step, `row_lines` rows thick; columns every
// width/6 likewise, `column_lines` units wide.
void DrawGuideGrid(const Surface& out, const uint8_t* colour, int32_t row_lines, int32_t column_lines);
// Frame border of 12, 20 or 32 units (width below 800, below 1400, else).
void DrawMarkerBorder(const Surface& out, const uint8_t* colour);
int32_t MarkerThickness(int32_t width);

}  // namespace vendrix::texmap
