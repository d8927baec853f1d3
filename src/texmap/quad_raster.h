// The quad rasteriser: scan-converts one textured quadrilateral in 16.16 fixed point and writes one
// bilinearly filtered source sample per covered output pixel.
//
// Geometry (quad_geometry.cpp) is shared by every pixel layout: it finds the top and bottom vertices,
// walks the left and right edges row by row with first-order corrections for the fractional parts of
// the vertex positions, and hands each clipped row span to the layout's span kernel, an entry of the
// span table (quad_spans.h). The kernels (draw_quad_rgba.cpp, draw_quad_yuv.cpp) only differ in how a
// sample is read, blended and stored.
//
// A call reads only the source and writes only output pixels inside both the quad and the clip
// rectangle; it keeps no state and may run concurrently with calls that write other output rows.
#pragma once

#include <cstdint>

namespace vendrix::texmap {

// ---- 16.16 fixed point --------------------------------------------------------------------------------

constexpr int32_t kFxOne = 65536;
constexpr int kFxShift = 16;
constexpr int32_t kFxFracMask = kFxOne - 1;

// Integer part (floor) of a 16.16 value.
constexpr int32_t FxFloor(int32_t v) { return v >> kFxShift; }
// Fractional part of a 16.16 value, 0..65535.
constexpr int32_t FxFrac(int32_t v) { return v & kFxFracMask; }
// The value with its fraction cleared (rounded down to a whole pixel).
constexpr int32_t FxWhole(int32_t v) { return v & ~kFxFracMask; }
// A whole number of pixels as 16.16, computed wide so that callers can clamp before narrowing.
constexpr int64_t FxFromInt(int64_t pixels) { return pixels * kFxOne; }
// Top 8 bits of a 16.16 fraction (or of any value): the operands of the 32-bit-safe correction products.
constexpr int32_t FxTop8(int32_t v) { return v >> 8; }

// Two's-complement wrap of a wide result into 32 bits: the rasteriser's sums are 32-bit quantities and
// wrap for absurd coordinates instead of being undefined.
constexpr int32_t Wrap32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v))); }
constexpr int32_t AddWrap(int32_t a, int32_t b) { return Wrap32(int64_t{a} + b); }
constexpr int32_t SubWrap(int32_t a, int32_t b) { return Wrap32(int64_t{a} - b); }
constexpr int32_t MulWrap(int32_t a, int32_t b) { return Wrap32(int64_t{a} * b); }

// ---- Arguments ----------------------------------------------------------------------------------------

struct FxPoint {
  int32_t x;
  int32_t y;
};

// x0, y0, x1, y1 in 16.16 pixels; the pixels written are columns [x0 >> 16, x1 >> 16) of rows
// [y0 >> 16, y1 >> 16).
struct FxBox {
  int32_t x0;
  int32_t y0;
  int32_t x1;
  int32_t y1;
};

// One textured quad: texture coordinates T0..T3 (16.16 source pixels) and output vertices V0..V3
// (16.16 output pixels), both top-left, top-right, bottom-right, bottom-left (clockwise on screen).
struct Quad {
  FxPoint tex[4];
  FxPoint vert[4];
};

// The source as the kernels may read it: `width` storage units per row and `rows` rows, rows `pitch`
// bytes apart (negative for bottom-up images). Samples are clamped to this extent (see SampleGrid).
struct QuadSource {
  const void* buffer;  // first byte of row 0
  int32_t pitch;       // bytes; truncated to whole storage units
  int32_t width;       // storage units per row that may be read
  int32_t rows;        // rows that may be read
};

struct QuadTarget {
  void* buffer;   // first byte of row 0
  int32_t pitch;  // bytes; truncated to whole storage units
};

// A family member: draws `quad` from `src` into `out`, writing only inside `clip`.
using DrawQuadFn = void (*)(const QuadSource& src, const Quad& quad, const QuadTarget& out, const FxBox& clip);

// 4 x 8-bit pixels (4-byte units), 8-bit weights, all four bytes written.
void DrawQuad4x8(const QuadSource& src, const Quad& quad, const QuadTarget& out, const FxBox& clip);
// 4 x u16 pixels (8-byte units), 16-bit weights.
void DrawQuad4x16(const QuadSource& src, const Quad& quad, const QuadTarget& out, const FxBox& clip);
// 4 x f32 pixels (16-byte units), single-precision blend.
void DrawQuad4xF32(const QuadSource& src, const Quad& quad, const QuadTarget& out, const FxBox& clip);
// Packed 4:2:2 at full horizontal resolution, 2-byte units: luma in byte 1 (byte 0 = 128) ...
void DrawQuadLumaOdd(const QuadSource& src, const Quad& quad, const QuadTarget& out, const FxBox& clip);
// ... or luma in byte 0 (byte 1 = 128).
void DrawQuadLumaEven(const QuadSource& src, const Quad& quad, const QuadTarget& out, const FxBox& clip);
// Packed 4:2:2 pixel pairs (4-byte units): bytes 0 and 2 written, 1 and 3 kept ...
void DrawQuadChromaEven(const QuadSource& src, const Quad& quad, const QuadTarget& out, const FxBox& clip);
// ... or bytes 1 and 3 written, 0 and 2 kept.
void DrawQuadChromaOdd(const QuadSource& src, const Quad& quad, const QuadTarget& out, const FxBox& clip);

// ---- Geometry shared by the family --------------------------------------------------------------------

// One clipped row span: `count` pixels from output column `column` of output row `row`; pixel j takes
// the sample at (u + j * du, v + j * dv), 16.16 source pixels, in 32-bit wrapping arithmetic.
struct QuadSpan {
  int32_t row;
  int32_t column;
  int32_t count;
  int32_t u;
  int32_t du;
  int32_t v;
  int32_t dv;
};

using SpanSink = void (*)(void* ctx, const QuadSpan& span);

// Scan-converts `quad` restricted to `clip` and calls sink(ctx, span) for every non-empty row span,
// top to bottom. Writes nothing itself.
void ScanQuad(const Quad& quad, const FxBox& clip, SpanSink sink, void* ctx);

// Edge and span interpolation with the first-order correction for the fractional positions of the two
// ends. `delta` is the change of the value over `len` whole rows (or columns); `frac_from` and
// `frac_to` are the 16.16 fractions of the two ends' positions. 32-bit results, wrapping.
//   slope  = ((frac_from - frac_to) >> 8) * (delta >> 8) / len^2 + delta / len
//   origin = value - ((delta >> 8) * (frac_from >> 8)) / len
int32_t CorrectedSlope(int32_t delta, int32_t frac_from, int32_t frac_to, int32_t len);
int32_t CorrectedOrigin(int32_t value, int32_t delta, int32_t frac_from, int32_t len);

// ---- Sampling ------------------------------------------------------------------------------------------

// Where the 2 x 2 neighbourhood of a sample may be read. Sample coordinates are clamped to
// [0, u_max] x [0, v_max] (the centres of the last column and row), and the neighbourhood's top-left
// unit to x_max = width - 2, y_max = rows - 2: a sample exactly on the last column (weight 0 for the
// column beyond it) is read as the pair (width - 2, width - 1) with the full weight on the right unit,
// which gives the identical result without touching anything past the row. A source of one column or
// row has no neighbour: the offsets are 0 and the weight is 0.
struct SampleGrid {
  const uint8_t* row0;
  int64_t pitch;  // bytes between rows, whole units
  int32_t unit;   // bytes per storage unit
  int32_t u_max;  // 16.16
  int32_t v_max;  // 16.16
  int32_t x_max;  // largest left unit of the neighbourhood
  int32_t y_max;  // largest top row of the neighbourhood
  int32_t last_x; // width - 1
  int32_t last_y; // rows - 1
  int32_t right;  // bytes to the right neighbour (0 for one column)
  int64_t down;   // bytes to the lower neighbour (0 for one row)
  bool narrow;    // every neighbourhood offset from row0, in units, fits a signed 32-bit index
};

// False (nothing may be drawn) for a null buffer or an empty extent.
bool MakeSampleGrid(const QuadSource& src, int32_t unit, SampleGrid* grid);

// Bytes from one row to the next for a pitch truncated to whole storage units.
constexpr int64_t UnitPitch(int32_t pitch, int32_t unit) { return int64_t{pitch / unit} * unit; }

// Integer position of a sample inside the grid: the neighbourhood's top-left unit (x, y) and the
// weights of its right column and lower row, 0..65536 in 16.16 (65536 only on the clamped last
// column or row).
struct SamplePos {
  int32_t x;
  int32_t y;
  int32_t fx;
  int32_t fy;
};

inline int32_t ClampI32(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

inline SamplePos LocateSample(const SampleGrid& g, int32_t u, int32_t v) {
  const int32_t uc = ClampI32(u, 0, g.u_max);
  const int32_t vc = ClampI32(v, 0, g.v_max);
  int32_t x = FxFloor(uc);
  int32_t y = FxFloor(vc);
  if (x > g.x_max) x = g.x_max;
  if (y > g.y_max) y = g.y_max;
  return {x, y, uc - x * kFxOne, vc - y * kFxOne};
}

}  // namespace vendrix::texmap
