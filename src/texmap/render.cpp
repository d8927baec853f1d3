// TexMap / TexMapD: the render context and its set-up, the dispatch by pixel format, the drawing
// sequences of the layouts with their own rasteriser, and the banding of each strip on the worker
// pools.
#include "texmap/render.h"

#include <cmath>
#include <cstring>

#include "concurrency/thread_pool.h"
#include "platform/debug.h"
#include "platform/heap.h"
#include "texmap/render_internal.h"

namespace vendrix::texmap {
namespace {

constexpr char kFaultMessage[] = "Vendrix: InternalTexMap exception\n";

constexpr uint32_t kRotationMask = 3;
constexpr uint32_t kAnyFieldBit = VENDRIX_TEXFIELD_SECOND | VENDRIX_TEXFIELD_FIELDS | 0x1u;
constexpr uint32_t kWholeSourceFields = VENDRIX_TEXFIELD_FIELDS | VENDRIX_TEXFIELD_FULL_SOURCE;
constexpr int32_t kMaxPitchForFields = INT32_MAX / 2;

int32_t Min32(int32_t a, int32_t b) { return a < b ? a : b; }
int32_t Max32(int32_t a, int32_t b) { return a > b ? a : b; }
int64_t Abs64(int64_t v) { return v < 0 ? -v : v; }

// A single-precision 16.16 result as the host would get it, truncated toward zero; NaN becomes 0 and
// values beyond the 32-bit range saturate instead of being undefined.
int32_t FxFromScaledFloat(float scaled) {
  if (!(scaled == scaled)) return 0;
  if (scaled >= 2147483648.0f) return INT32_MAX;
  if (scaled <= -2147483648.0f) return INT32_MIN;
  return static_cast<int32_t>(scaled);
}

// Aspect factors outside (0.01, 10), and NaN, count as 1.
float AspectOrOne(float v) { return (v > 0.01f && v < 10.0f) ? v : 1.0f; }

// Quarter turns about the output centre (cx, cy, in pixels): x' = (x - cx) * a, y' = y - cy, turned,
// then x = (x' / b + cx), y = (y' + cy), all in single precision.
struct Rotation {
  uint32_t turns;
  float cx, cy, a, b;

  FxPoint Apply(FxPoint p) const {
    const float xp = (static_cast<float>(p.x) / 65536.0f - cx) * a;
    const float yp = static_cast<float>(p.y) / 65536.0f - cy;
    float rx = xp, ry = yp;
    if (turns == 1) {
      rx = -yp;
      ry = xp;
    } else if (turns == 2) {
      rx = -xp;
      ry = -yp;
    } else if (turns == 3) {
      rx = yp;
      ry = -xp;
    }
    return {FxFromScaledFloat((rx / b + cx) * 65536.0f), FxFromScaledFloat((ry + cy) * 65536.0f)};
  }
};

void RotateStripAndVisible(const TexMapDefD& def, RenderContext* c) {
  Rotation r;
  r.turns = def.rotation & kRotationMask;
  r.cx = static_cast<float>(def.outRect.w) / 65536.0f / 2.0f;
  r.cy = static_cast<float>(def.outRect.h) / 65536.0f / 2.0f;
  r.a = AspectOrOne(def.srcAspect);
  r.b = AspectOrOne(def.outAspect);
  for (FxPoint& v : c->strips[0].vert) v = r.Apply(v);
  const FxPoint p0 = r.Apply({c->visible.x0, c->visible.y0});
  const FxPoint p1 = r.Apply({c->visible.x1, c->visible.y1});
  c->visible = {Min32(p0.x, p1.x), Min32(p0.y, p1.y), Max32(p0.x, p1.x), Max32(p0.y, p1.y)};
}

FxPoint Offset(FxPoint p, const VendrixFxPoint& d) { return {AddWrap(p.x, d.x), AddWrap(p.y, d.y)}; }

// 32 strips between the boundaries k = 0..32 that divide strip 0's left and right edges into 32
// equal (truncated) steps; the output points of boundaries 0..31 move by bandShift[k].
void BuildBandMesh(const VendrixFxPoint* shift, RenderContext* c) {
  const Quad s0 = c->strips[0];
  auto step = [](FxPoint from, FxPoint to) {
    return FxPoint{SubWrap(to.x, from.x) / kMeshStrips, SubWrap(to.y, from.y) / kMeshStrips};
  };
  auto at = [](FxPoint origin, FxPoint st, int32_t k) {
    return FxPoint{AddWrap(origin.x, MulWrap(k, st.x)), AddWrap(origin.y, MulWrap(k, st.y))};
  };
  const FxPoint left_tex = step(s0.tex[0], s0.tex[3]);
  const FxPoint right_tex = step(s0.tex[1], s0.tex[2]);
  const FxPoint left_out = step(s0.vert[0], s0.vert[3]);
  const FxPoint right_out = step(s0.vert[1], s0.vert[2]);
  struct Boundary {
    FxPoint tl, tr, vl, vr;
  };
  auto boundary = [&](int32_t k) {
    Boundary b{at(s0.tex[0], left_tex, k), at(s0.tex[1], right_tex, k), at(s0.vert[0], left_out, k),
               at(s0.vert[1], right_out, k)};
    if (k < kMeshStrips) {
      b.vl = Offset(b.vl, shift[k]);
      b.vr = Offset(b.vr, shift[k]);
    }
    return b;
  };
  Boundary top = boundary(0);
  for (int32_t k = 0; k < kMeshStrips; ++k) {
    const Boundary bottom = boundary(k + 1);
    Quad& s = c->strips[k];
    s.tex[0] = top.tl;
    s.tex[1] = top.tr;
    s.tex[2] = bottom.tr;
    s.tex[3] = bottom.tl;
    s.vert[0] = top.vl;
    s.vert[1] = top.vr;
    s.vert[2] = bottom.vr;
    s.vert[3] = bottom.vl;
    top = bottom;
  }
  c->strip_count = kMeshStrips;
}

bool AnyBandShift(const TexMapDefD& def) {
  for (const VendrixFxPoint& p : def.bandShift)
    if (p.x != 0 || p.y != 0) return true;
  return false;
}

// Field mode: both images become one field of an interlaced frame (halved heights and y coordinates,
// doubled pitches, the second field one row further), or only the output does (0x8).
void ApplyFieldMode(uint32_t field_flags, RenderContext* c) {
  const bool whole_source = (field_flags & VENDRIX_TEXFIELD_FULL_SOURCE) != 0;
  if (!whole_source) {
    c->src_height /= 2;
    c->src_rows /= 2;
    for (int32_t s = 0; s < c->strip_count; ++s)
      for (FxPoint& t : c->strips[s].tex) t.y /= 2;
  }
  c->out_height /= 2;
  c->out_rows /= 2;
  for (int32_t s = 0; s < c->strip_count; ++s)
    for (FxPoint& v : c->strips[s].vert) v.y /= 2;
  c->visible.y0 /= 2;
  c->visible.y1 /= 2;
  if (field_flags & VENDRIX_TEXFIELD_SECOND) {
    c->src_buffer += c->src_pitch;
    c->out_buffer += c->out_pitch;
    // A whole-frame source moved down one row has one readable row less.
    if (whole_source) c->src_rows -= 1;
  }
  if (!whole_source) c->src_pitch *= 2;
  c->out_pitch *= 2;
}

// The last strip is pulled in by one pixel at its right and bottom edges, so that its texture
// coordinates stay on the source's last column and row.
void PullInLastStrip(RenderContext* c) {
  Quad& s = c->strips[c->strip_count - 1];
  for (FxPoint* p : {&s.tex[1], &s.tex[2], &s.vert[1], &s.vert[2]}) p->x = SubWrap(p->x, kFxOne);
  for (FxPoint* p : {&s.tex[2], &s.tex[3], &s.vert[2], &s.vert[3]}) p->y = SubWrap(p->y, kFxOne);
}

// Keeps a rectangle inside the output (the clip after a split view of a one-pixel output could
// otherwise start left of column 0).
FxBox ClampToOutput(FxBox b, const RenderContext& c) {
  const int32_t w = static_cast<int32_t>(FxFromInt(c.out_width));
  const int32_t h = static_cast<int32_t>(FxFromInt(c.out_height));
  b.x0 = ClampI32(b.x0, 0, w);
  b.x1 = ClampI32(b.x1, 0, w);
  b.y0 = ClampI32(b.y0, 0, h);
  b.y1 = ClampI32(b.y1, 0, h);
  return b;
}

// ---- Drawing sequences ----------------------------------------------------------------------------

// How the finishing steps size the split-view divider and the guide grid's columns, in units.
struct FinishShape {
  int32_t divider_start;    // the vertical divider starts this many units left of int(split x1)
  int32_t divider_columns;  // and is this many units wide
  int32_t grid_columns;     // guide-grid column width
};

// Steps 3..6 of every sequence: edge extension or last row and column, split view with divider,
// guide grid, frame border.
void Finish(const TexMapDefD& def, const RenderContext& c, const Surface& out, const Surface& src,
            const FormatColours& colours, const FinishShape& shape) {
  const uint32_t flags = def.mapFlags;
  const bool field_mode = (def.fieldFlags & VENDRIX_TEXFIELD_FIELDS) != 0;
  const bool thin = (def.fieldFlags & kAnyFieldBit) != 0;
  if (flags & VENDRIX_MAP_EDGE_EXTEND)
    ExtendEdges(out, c.visible);
  else if (!(flags & VENDRIX_MAP_FILL))
    CopyLastColumnAndRow(out, field_mode);

  if (flags & (VENDRIX_MAP_SPLIT_LEFT | VENDRIX_MAP_SPLIT_TOP)) {
    const int32_t sx = FxFloor(c.split.x1);
    const int32_t sy = FxFloor(c.split.y1);
    CopySplitView(out, src, sx, sy);
    if (flags & VENDRIX_MAP_SPLIT_LEFT) {
      const int64_t x = int64_t{sx} - shape.divider_start;
      FillRect(out, x, 0, x + shape.divider_columns, out.height, colours.divider);
    } else {
      const int64_t y = thin ? int64_t{sy} - 1 : int64_t{sy} - 2;
      FillRect(out, 0, y, out.width, y + (thin ? 2 : 4), colours.divider);
    }
  }
  if (flags & VENDRIX_MAP_GRID) DrawGuideGrid(out, colours.white, thin ? 1 : 2, shape.grid_columns);
  if (c.marker) DrawMarkerBorder(out, c.marker_select ? colours.white : colours.border);
}

// The sequence of the layouts drawn one unit per pixel (4, 8 and 16 bytes).
void RunPixelSequence(const TexMapDefD& def, RenderContext* c, DrawQuadFn draw, int32_t unit,
                      const FormatColours& colours) {
  const uint32_t flags = def.mapFlags;
  const Surface out{c->out_buffer, UnitPitch(c->out_pitch, unit), c->out_width, c->out_height, unit};
  if (flags & VENDRIX_MAP_FILL) FillBackground(out, c->visible, (flags & VENDRIX_MAP_FILL_MARGINS) != 0, colours.background);

  const QuadSource src{c->src_buffer, c->src_pitch, c->src_width, c->src_rows};
  const QuadTarget target{c->out_buffer, c->out_pitch};
  for (int32_t s = c->strip_count - 1; s >= 0; --s) DrawStripBanded(draw, src, c->strips[s], target, c->clip);

  const Surface src_surface{const_cast<uint8_t*>(c->src_buffer), UnitPitch(c->src_pitch, unit), c->src_width,
                            c->src_rows, unit};
  Finish(def, *c, out, src_surface, colours, FinishShape{2, 4, 2});
}

// From full-resolution pixels to pixel pairs: right-edge coordinates regain the pulled-in pixel, every
// x is halved, and the right edge is pulled in again by one (now pair-sized) unit.
void ToPixelPairs(const TexMapDefD& def, RenderContext* c) {
  for (int32_t s = 0; s < c->strip_count; ++s) {
    Quad& q = c->strips[s];
    for (int k : {1, 2}) {
      q.tex[k].x = SubWrap(AddWrap(q.tex[k].x, kFxOne) / 2, kFxOne);
      q.vert[k].x = SubWrap(AddWrap(q.vert[k].x, kFxOne) / 2, kFxOne);
    }
    for (int k : {0, 3}) {
      q.tex[k].x /= 2;
      q.vert[k].x /= 2;
    }
  }
  c->src_width /= 2;
  c->out_width /= 2;
  c->visible.x0 /= 2;
  c->clip.x0 /= 2;
  c->clip.x1 /= 2;
  c->split.x0 /= 2;
  c->split.x1 /= 2;
  const int32_t x1 = def.visibleRect.x1 / 2;
  c->visible.x1 = Min32(x1, static_cast<int32_t>(FxFromInt(c->out_width)));
}

// Packed 4:2:2: luma at full resolution, then chroma on pixel pairs; both passes clip to the visible
// rect; finishing works on pixel pairs.
void RunPackedSequence(const TexMapDefD& def, RenderContext* c, DrawQuadFn luma, DrawQuadFn chroma,
                       const FormatColours& colours) {
  constexpr int32_t kPixel = 2, kPair = 4;
  const uint32_t flags = def.mapFlags;
  const Surface pixels{c->out_buffer, UnitPitch(c->out_pitch, kPixel), c->out_width, c->out_height, kPixel};
  if (flags & VENDRIX_MAP_FILL)
    FillBackground(pixels, c->visible, (flags & VENDRIX_MAP_FILL_MARGINS) != 0, colours.background);

  // Whole pairs only: x1 rounded down to an even pixel, x0 to the even pixel at or below int(x0) + 1.
  // (Kept at or below pixel 32766 so that the value stays a 16.16 number.)
  c->visible.x1 &= ~((kFxOne << 1) - 1);
  c->visible.x0 = static_cast<int32_t>(FxFromInt(Min32((FxFloor(c->visible.x0) + 1) & ~1, 32766)));

  const QuadTarget target{c->out_buffer, c->out_pitch};
  const QuadSource src{c->src_buffer, c->src_pitch, c->src_width, c->src_rows};
  for (int32_t s = c->strip_count - 1; s >= 0; --s) DrawStripBanded(luma, src, c->strips[s], target, c->visible);

  ToPixelPairs(def, c);
  const QuadSource pairs_src{c->src_buffer, c->src_pitch, c->src_width, c->src_rows};
  for (int32_t s = c->strip_count - 1; s >= 0; --s)
    DrawStripBanded(chroma, pairs_src, c->strips[s], target, c->visible);

  const Surface pairs{c->out_buffer, UnitPitch(c->out_pitch, kPair), c->out_width, c->out_height, kPair};
  // The split view reads whole-frame sources two rows at a time to stay on the output's field.
  const bool skip_rows = (def.fieldFlags & kWholeSourceFields) == kWholeSourceFields;
  const int64_t src_pitch = UnitPitch(c->src_pitch, kPair) * (skip_rows ? 2 : 1);
  const int32_t src_rows = skip_rows ? (c->src_rows + 1) / 2 : c->src_rows;
  const Surface src_pairs{const_cast<uint8_t*>(c->src_buffer), src_pitch, c->src_width, src_rows, kPair};
  Finish(def, *c, pairs, src_pairs, colours, FinishShape{1, 2, 1});
}

// Band jobs: the strip, source and target live on the submitting thread's stack until ReleasePool.
struct BandArgs {
  DrawQuadFn draw;
  const QuadSource* src;
  const Quad* strip;
  const QuadTarget* out;
  FxBox clip;
};

void DrawBandGuarded(const BandArgs& a) noexcept {
  try {
    a.draw(*a.src, *a.strip, *a.out, a.clip);
  } catch (...) {
    platform::DebugOutput(kFaultMessage);
  }
}

void RunBandJob(concurrency::PoolJob* job) { DrawBandGuarded(*concurrency::PoolJobArgs<BandArgs>(job)); }

}  // namespace

// ---- Definitions ------------------------------------------------------------------------------------

int64_t RowBytes(uint32_t format, int32_t width) {
  const int64_t w = width;
  switch (format) {
    case VENDRIX_PIXFMT_BGRA8:
    case VENDRIX_PIXFMT_ARGB8:
    case VENDRIX_PIXFMT_VUYA8:
    case VENDRIX_PIXFMT_AYUV8:
      return 4 * w;
    case VENDRIX_PIXFMT_BGR8:
      return 3 * w;
    case VENDRIX_PIXFMT_UYVY8:
    case VENDRIX_PIXFMT_YUYV8:
      return 2 * w;
    case VENDRIX_PIXFMT_NV12:
    case VENDRIX_PIXFMT_YUV420P:
      return 2 * ((w + 1) / 2);  // room for the chroma of an odd last pixel
    case VENDRIX_PIXFMT_BGRA16:
    case VENDRIX_PIXFMT_ARGB16:
    case VENDRIX_PIXFMT_AYUV16:
    case VENDRIX_PIXFMT_VUYA16:
      return 8 * w;
    case VENDRIX_PIXFMT_BGRA32F:
    case VENDRIX_PIXFMT_ARGB32F:
    case VENDRIX_PIXFMT_AYUV32F:
    case VENDRIX_PIXFMT_VUYA32F:
      return 16 * w;
    default:
      return 0;
  }
}

bool DefinitionUsable(const TexMapDefD& def) {
  const int32_t src_w = FxFloor(def.srcRect.w);
  const int32_t out_w = FxFloor(def.outRect.w);
  const int32_t out_h = FxFloor(def.outRect.h);
  if (!def.srcBuffer || !def.outBuffer) return false;
  if (src_w < 1 || out_w < 1 || out_h < 1 || def.srcRows < 1 || def.outRows < out_h) return false;
  const int64_t src_row = RowBytes(def.pixelFormat, src_w);
  const int64_t out_row = RowBytes(def.pixelFormat, out_w);
  if (src_row == 0 || Abs64(def.srcPitch) < src_row || Abs64(def.outPitch) < out_row) return false;
  if (def.fieldFlags & VENDRIX_TEXFIELD_FIELDS) {
    const bool whole_source = (def.fieldFlags & VENDRIX_TEXFIELD_FULL_SOURCE) != 0;
    if (out_h < 2 || Abs64(def.outPitch) > kMaxPitchForFields) return false;
    if (!whole_source && Abs64(def.srcPitch) > kMaxPitchForFields) return false;
    if (def.srcRows < 2) return false;
  }
  return true;
}

void SetUpContext(const TexMapDefD& def, RenderContext* c) {
  c->mesh = (def.mapFlags & VENDRIX_MAP_BAND_MESH) != 0;
  c->src_width = FxFloor(def.srcRect.w);
  c->src_height = FxFloor(def.srcRect.h);
  c->out_width = FxFloor(def.outRect.w);
  c->out_height = FxFloor(def.outRect.h);

  // Strip 0: the source rectangle onto the output rectangle's corners moved by cornerShift.
  const VendrixFxRect& s = def.srcRect;
  const VendrixFxRect& o = def.outRect;
  const VendrixFxPoint* cs = def.cornerShift;
  const int32_t sx1 = AddWrap(s.x, s.w), sy1 = AddWrap(s.y, s.h);
  const int32_t ox1 = AddWrap(o.x, o.w), oy1 = AddWrap(o.y, o.h);
  Quad& q = c->strips[0];
  q.tex[0] = {s.x, s.y};
  q.tex[1] = {sx1, s.y};
  q.tex[2] = {sx1, sy1};
  q.tex[3] = {s.x, sy1};
  q.vert[0] = Offset({o.x, o.y}, cs[0]);
  q.vert[1] = Offset({ox1, o.y}, cs[1]);
  q.vert[2] = Offset({ox1, oy1}, cs[2]);
  q.vert[3] = Offset({o.x, oy1}, cs[3]);
  c->strip_count = 1;

  const VendrixFxBox& v = def.visibleRect;
  c->visible = {Max32(v.x0, 0), Max32(v.y0, 0), v.x1, v.y1};

  if (def.rotation & kRotationMask) RotateStripAndVisible(def, c);
  if (c->mesh && AnyBandShift(def)) BuildBandMesh(def.bandShift, c);

  c->src_buffer = static_cast<const uint8_t*>(def.srcBuffer);
  c->src_pitch = def.srcPitch;
  c->src_rows = def.srcRows;
  c->out_buffer = static_cast<uint8_t*>(def.outBuffer);
  c->out_pitch = def.outPitch;
  c->out_rows = def.outRows;

  if (def.fieldFlags & VENDRIX_TEXFIELD_FIELDS) ApplyFieldMode(def.fieldFlags, c);
  PullInLastStrip(c);

  c->visible.x1 = Min32(c->visible.x1, static_cast<int32_t>(FxFromInt(c->out_width)));
  c->visible.y1 = Min32(c->visible.y1, static_cast<int32_t>(FxFromInt(c->out_height)));
  c->visible.x0 = Max32(c->visible.x0, 0);
  c->visible.y0 = Max32(c->visible.y0, 0);
  c->clip = c->visible;
  c->split = c->visible;

  const int32_t w = static_cast<int32_t>(FxFromInt(c->out_width));
  const int32_t h = static_cast<int32_t>(FxFromInt(c->out_height));
  if (def.mapFlags & VENDRIX_MAP_SPLIT_LEFT) {
    c->split.x1 = w / 2;
    c->split.y1 = h - kFxOne;
    c->clip.x0 = w / 2 - kFxOne;
  } else if (def.mapFlags & VENDRIX_MAP_SPLIT_TOP) {
    c->split.x1 = w - kFxOne;
    c->split.y1 = h / 2;
    c->clip.y0 = h / 2 - kFxOne;
  }
  c->clip = ClampToOutput(c->clip, *c);

  const uint32_t marker = def.mapFlags & (VENDRIX_MAP_BORDER_SET | VENDRIX_MAP_BORDER_CLEAR);
  if (marker == VENDRIX_MAP_BORDER_SET) {
    c->marker = 1;
    c->marker_select = 0;
  } else if (marker == VENDRIX_MAP_BORDER_CLEAR) {
    c->marker = 1;
    c->marker_select = 1;
  }
}

void RenderDirect(const TexMapDefD& def, RenderContext* c) {
  std::memset(c, 0, sizeof(*c));
  SetUpContext(def, c);
  if (c->out_width < 1 || c->out_height < 1 || c->src_width < 1 || c->src_rows < 1) return;
  const FormatColours& colours = ColoursFor(def.pixelFormat);
  switch (def.pixelFormat) {
    case VENDRIX_PIXFMT_BGRA8:
    case VENDRIX_PIXFMT_ARGB8:
    case VENDRIX_PIXFMT_VUYA8:
    case VENDRIX_PIXFMT_AYUV8:
      RunPixelSequence(def, c, DrawQuad4x8, 4, colours);
      break;
    case VENDRIX_PIXFMT_UYVY8:
      RunPackedSequence(def, c, DrawQuadLumaOdd, DrawQuadChromaEven, colours);
      break;
    case VENDRIX_PIXFMT_YUYV8:
      RunPackedSequence(def, c, DrawQuadLumaEven, DrawQuadChromaOdd, colours);
      break;
    case VENDRIX_PIXFMT_BGRA16:
    case VENDRIX_PIXFMT_ARGB16:
    case VENDRIX_PIXFMT_AYUV16:
    case VENDRIX_PIXFMT_VUYA16:
      RunPixelSequence(def, c, DrawQuad4x16, 8, colours);
      break;
    case VENDRIX_PIXFMT_BGRA32F:
    case VENDRIX_PIXFMT_ARGB32F:
    case VENDRIX_PIXFMT_AYUV32F:
    case VENDRIX_PIXFMT_VUYA32F:
      RunPixelSequence(def, c, DrawQuad4xF32, 16, colours);
      break;
    default:
      break;  // no rasteriser of its own: reaches here only through a misrouted call
  }
}

void RenderDefinition(const TexMapDefD& def, RenderContext* c) {
  if (!DefinitionUsable(def)) return;
  const bool in_place = (def.mapFlags & VENDRIX_MAP_IN_PLACE) != 0;
  const bool extend = (def.mapFlags & VENDRIX_MAP_EDGE_EXTEND) != 0;
  switch (def.pixelFormat) {
    case VENDRIX_PIXFMT_BGRA8:
    case VENDRIX_PIXFMT_ARGB8:
    case VENDRIX_PIXFMT_VUYA8:
    case VENDRIX_PIXFMT_AYUV8:
    case VENDRIX_PIXFMT_YUYV8:
      if (in_place)
        RenderInPlace(def, c);
      else
        RenderDirect(def, c);
      break;
    case VENDRIX_PIXFMT_UYVY8:
      RenderDirect(def, c);
      break;
    case VENDRIX_PIXFMT_BGR8:
      RenderWidened(def, c);
      break;
    case VENDRIX_PIXFMT_NV12:
    case VENDRIX_PIXFMT_YUV420P:
      RenderPlanar(def, c);
      break;
    case VENDRIX_PIXFMT_BGRA16:
    case VENDRIX_PIXFMT_ARGB16:
    case VENDRIX_PIXFMT_AYUV16:
    case VENDRIX_PIXFMT_VUYA16:
    case VENDRIX_PIXFMT_BGRA32F:
    case VENDRIX_PIXFMT_ARGB32F:
    case VENDRIX_PIXFMT_AYUV32F:
    case VENDRIX_PIXFMT_VUYA32F:
      if (extend)
        RenderNarrowed(def, c);
      else
        RenderDirect(def, c);
      break;
    default:
      break;  // unsupported code: nothing is drawn
  }
}

// ---- Banding --------------------------------------------------------------------------------------

BandPlan PlanBands(const FxBox& clip, int32_t threads) {
  BandPlan plan{};
  plan.pooled = false;
  plan.count = 1;
  plan.bands[0] = clip;
  const int32_t t = threads < kMaxBandThreads ? threads : kMaxBandThreads;
  const int64_t width = (int64_t{clip.x1} - clip.x0) >> kFxShift;
  const int64_t height = int64_t{clip.y1} - clip.y0;
  const int64_t n = width * (height >> kFxShift) / kBandPixels;
  if (t < 2 || n < 2) return plan;
  int32_t k = static_cast<int32_t>(n < t ? n : t);
  plan.pooled = true;
  // Whole rows per band; bands start from the clip's first whole row, except that band 0 starts
  // exactly at the clip and the last band ends exactly at it.
  const int64_t band_height = (height / k) & ~int64_t{kFxFracMask};
  if (band_height == 0) return plan;
  const int64_t base = FxWhole(clip.y0);
  for (int32_t j = 0; j < k; ++j) {
    FxBox& b = plan.bands[j];
    b.x0 = clip.x0;
    b.x1 = clip.x1;
    b.y0 = j == 0 ? clip.y0 : static_cast<int32_t>(base + j * band_height);
    b.y1 = j == k - 1 ? clip.y1 : static_cast<int32_t>(base + (j + 1) * band_height);
  }
  plan.count = k;
  return plan;
}

void DrawStripBanded(DrawQuadFn draw, const QuadSource& src, const Quad& strip, const QuadTarget& out,
                     const FxBox& clip) {
  if (clip.x0 >= clip.x1 || clip.y0 >= clip.y1) return;
  concurrency::ThreadPoolService* svc = concurrency::PoolService();
  const BandPlan plan = PlanBands(clip, svc->ThreadCount());
  if (!plan.pooled) {
    draw(src, strip, out, clip);
    return;
  }
  concurrency::WorkerPool* pool = svc->AcquirePool();
  if (!pool) return;  // both pools are lent out: this strip is not drawn
  for (int32_t j = plan.count - 1; j >= 1; --j) {
    const BandArgs args{draw, &src, &strip, &out, plan.bands[j]};
    concurrency::PoolJob job;
    *concurrency::PoolJobArgs<BandArgs>(&job) = args;
    job.fn.store(RunBandJob, std::memory_order_relaxed);
    // A job the pool cannot take is drawn here rather than lost.
    if (!svc->SubmitJob(pool, &job)) DrawBandGuarded(args);
  }
  DrawBandGuarded(BandArgs{draw, &src, &strip, &out, plan.bands[0]});
  svc->ReleasePool(pool);
}

// ---- Entry points -------------------------------------------------------------------------------------

TexMapDefD WidenDefinition(const TexMapDefA& a) {
  TexMapDefD d;
  std::memset(&d, 0, sizeof(d));
  d.version = VENDRIX_TEXMAP_D_VERSION;
  d.pixelFormat = a.pixelFormat;
  d.fieldFlags = a.fieldFlags;
  d.mapFlags = a.mapFlags & ~VENDRIX_MAP_BAND_MESH;
  d.srcRect = a.srcRect;
  d.srcPitch = a.srcPitch;
  d.srcRows = a.srcRows;
  d.srcBuffer = a.srcBuffer;
  d.outRect = a.outRect;
  d.outPitch = a.outPitch;
  d.outRows = a.outRows;
  d.outBuffer = a.outBuffer;
  d.visibleRect = a.visibleRect;
  std::memcpy(d.cornerShift, a.cornerShift, sizeof(d.cornerShift));
  return d;
}

void RenderTexMapD(const TexMapDefD* def) noexcept {
  if (!def || def->version != VENDRIX_TEXMAP_D_VERSION) return;
  const TexMapDefD d = *def;  // the host's record is read once
  auto* ctx = static_cast<RenderContext*>(platform::HeapAllocate(sizeof(RenderContext), platform::kHeapZero));
  if (!ctx) return;
  try {
    RenderDefinition(d, ctx);
  } catch (...) {
    platform::DebugOutput(kFaultMessage);
  }
  platform::HeapRelease(ctx);
}

void RenderTexMapA(const TexMapDefA* def) noexcept {
  if (!def || def->version != VENDRIX_TEXMAP_A_VERSION) return;
  const TexMapDefD d = WidenDefinition(*def);
  RenderTexMapD(&d);
}

}  // namespace vendrix::texmap
