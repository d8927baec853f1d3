// Geometry shared by every quad rasteriser: extreme vertices, edge walks, edge and span set-up with
// the first-order corrections, and the clipping of rows and spans.
#include "texmap/quad_raster.h"

namespace vendrix::texmap {
namespace {

// One edge of the quad as the row loop follows it: the position (x) and texture coordinates (u, v)
// at the bottom boundary of the current row, their per-row steps, the rows left after the current
// one, and the vertex the edge ends at.
struct EdgeState {
  int32_t remaining;
  int32_t x, x_step;
  int32_t u, u_step;
  int32_t v, v_step;
  int32_t end;
};

// Left edges run towards lower vertex indices, right edges towards higher ones (the vertices are
// clockwise on screen).
constexpr int32_t kLeft = 3;   // index - 1 mod 4
constexpr int32_t kRight = 1;  // index + 1 mod 4

enum class Walk { kEdge, kClimbs };

// Walks from vertex `from` in direction `dir` to the first edge that reaches at least `limit` (the
// top of the row after the first row the edge must serve): edges ending above the limit are passed,
// as are horizontal edges ending at or above it. kClimbs when the walk meets a vertex above the one
// before it (the quad is not monotone in y there).
Walk WalkToEdge(const Quad& q, int32_t from, int32_t dir, int64_t limit, int32_t* a_out, int32_t* n_out) {
  int32_t a = from;
  for (int step = 0; step < 4; ++step) {
    const int32_t n = (a + dir) & 3;
    const int32_t ya = q.vert[a].y;
    const int32_t yn = q.vert[n].y;
    if (yn < ya) return Walk::kClimbs;
    if (yn < limit || (yn == ya && yn <= limit)) {
      a = n;
      continue;
    }
    *a_out = a;
    *n_out = n;
    return Walk::kEdge;
  }
  return Walk::kClimbs;  // once round the quad without an edge below the limit
}

// Sets up the edge a -> n: start values at the bottom boundary of row (y(a) >> 16), i.e. y = that
// row + 1, and per-row steps over h = max(rows spanned, 1).
void SetUpEdge(const Quad& q, int32_t a, int32_t n, EdgeState* e) {
  const int32_t ya = q.vert[a].y;
  const int32_t yn = q.vert[n].y;
  int32_t h = FxFloor(yn) - FxFloor(ya);
  if (h < 1) h = 1;
  e->remaining = h - 1;
  e->end = n;
  const int32_t fa = FxFrac(ya);
  const int32_t fn = FxFrac(yn);
  auto set = [&](int32_t from, int32_t to, int32_t* value, int32_t* step) {
    const int32_t delta = SubWrap(to, from);
    *step = CorrectedSlope(delta, fa, fn, h);
    *value = AddWrap(CorrectedOrigin(from, delta, fa, h), *step);
  };
  set(q.vert[a].x, q.vert[n].x, &e->x, &e->x_step);
  set(q.tex[a].x, q.tex[n].x, &e->u, &e->u_step);
  set(q.tex[a].y, q.tex[n].y, &e->v, &e->v_step);
}

void AdvanceRows(EdgeState* e, int32_t rows) {
  e->x = AddWrap(e->x, MulWrap(rows, e->x_step));
  e->u = AddWrap(e->u, MulWrap(rows, e->u_step));
  e->v = AddWrap(e->v, MulWrap(rows, e->v_step));
  e->remaining -= rows;
}

// The first edge on one side, advanced to the first drawn row. False when the quad climbs.
bool StartEdge(const Quad& q, int32_t top, int32_t dir, int64_t limit, int32_t first_row, EdgeState* e) {
  int32_t a = 0, n = 0;
  if (WalkToEdge(q, top, dir, limit, &a, &n) != Walk::kEdge) return false;
  SetUpEdge(q, a, n, e);
  const int32_t skip = first_row - FxFloor(q.vert[a].y);
  if (skip > 0) AdvanceRows(e, skip);
  return true;
}

// Moves the edge down one row, or on to the next edge of its side when it has no rows left; an edge
// whose walk meets a vertex above keeps its values for the remaining rows.
void NextRow(const Quad& q, int32_t dir, int64_t limit, EdgeState* e) {
  if (e->remaining >= 1) {
    AdvanceRows(e, 1);
    return;
  }
  int32_t a = 0, n = 0;
  if (WalkToEdge(q, e->end, dir, limit, &a, &n) == Walk::kEdge) SetUpEdge(q, a, n, e);
}

// Clips one row between the two edges and hands it to the sink.
void EmitSpan(const EdgeState& left, const EdgeState& right, int32_t row, const FxBox& clip, SpanSink sink,
              void* ctx) {
  const int32_t xl = left.x;
  const int32_t xr = right.x;
  const int32_t c0 = FxFloor(xl);
  const int32_t w = FxFloor(xr) - c0;
  if (w <= 0) return;
  int32_t skip = FxFloor(clip.x0) - c0;
  if (skip < 0) skip = 0;
  const int32_t end = xr > clip.x1 ? FxFloor(clip.x1) - c0 : w;
  const int32_t count = end - skip;
  if (count <= 0) return;
  const int32_t fl = FxFrac(xl);
  const int32_t fr = FxFrac(xr);
  const int32_t du_total = SubWrap(right.u, left.u);
  const int32_t dv_total = SubWrap(right.v, left.v);
  const int32_t du = CorrectedSlope(du_total, fl, fr, w);
  const int32_t dv = CorrectedSlope(dv_total, fl, fr, w);
  const int32_t u0 = CorrectedOrigin(left.u, du_total, fl, w);
  const int32_t v0 = CorrectedOrigin(left.v, dv_total, fl, w);
  // Pixel c0 + skip + j samples at the right boundary of its column: origin + (skip + 1 + j) * step.
  QuadSpan span;
  span.row = row;
  span.column = c0 + skip;
  span.count = count;
  span.u = AddWrap(u0, MulWrap(skip + 1, du));
  span.du = du;
  span.v = AddWrap(v0, MulWrap(skip + 1, dv));
  span.dv = dv;
  sink(ctx, span);
}

}  // namespace

int32_t CorrectedSlope(int32_t delta, int32_t frac_from, int32_t frac_to, int32_t len) {
  const int64_t n = len;
  const int64_t correction = int64_t{FxTop8(frac_from - frac_to)} * FxTop8(delta) / (n * n);
  return Wrap32(correction + delta / len);
}

int32_t CorrectedOrigin(int32_t value, int32_t delta, int32_t frac_from, int32_t len) {
  return Wrap32(int64_t{value} - int64_t{FxTop8(delta)} * FxTop8(frac_from) / len);
}

void ScanQuad(const Quad& q, const FxBox& clip, SpanSink sink, void* ctx) {
  // Top vertex: the first with the smallest y; bottom: the first with the largest y among the others.
  int32_t top = 0, bottom = 0;
  int32_t min_x = q.vert[0].x, max_x = q.vert[0].x;
  int32_t min_y = q.vert[0].y, max_y = q.vert[0].y;
  for (int32_t i = 1; i < 4; ++i) {
    const FxPoint& p = q.vert[i];
    if (p.y < q.vert[top].y)
      top = i;
    else if (p.y > q.vert[bottom].y)
      bottom = i;
    if (p.x < min_x) min_x = p.x;
    if (p.x > max_x) max_x = p.x;
    if (p.y < min_y) min_y = p.y;
    if (p.y > max_y) max_y = p.y;
  }
  const int32_t y_top = q.vert[top].y;
  const int32_t y_bottom = q.vert[bottom].y;
  if (min_x > clip.x1 || min_y > clip.y1 || max_x < clip.x0 || max_y < clip.y0 || y_top == y_bottom) return;

  const int32_t first_row = FxFloor(y_top > clip.y0 ? y_top : clip.y0);
  const int32_t rows = FxFloor(clip.y1 < y_bottom ? clip.y1 : y_bottom) - first_row;
  if (rows < 1) return;

  const int64_t limit = FxFromInt(first_row) + kFxOne;
  EdgeState left{}, right{};
  if (!StartEdge(q, top, kLeft, limit, first_row, &left)) return;
  if (!StartEdge(q, top, kRight, limit, first_row, &right)) return;

  for (int32_t i = 0; i < rows; ++i) {
    const int32_t row = first_row + i;
    EmitSpan(left, right, row, clip, sink, ctx);
    const int64_t next_limit = FxFromInt(row + 1) + kFxOne;
    NextRow(q, kLeft, next_limit, &left);
    NextRow(q, kRight, next_limit, &right);
  }
}

bool MakeSampleGrid(const QuadSource& src, int32_t unit, SampleGrid* g) {
  if (!src.buffer || unit <= 0 || src.width < 1 || src.rows < 1) return false;
  // Sample coordinates are 16.16 values, so no sample reaches beyond column or row 32767.
  constexpr int32_t kMaxExtent = 32768;
  const int32_t width = src.width < kMaxExtent ? src.width : kMaxExtent;
  const int32_t rows = src.rows < kMaxExtent ? src.rows : kMaxExtent;
  g->row0 = static_cast<const uint8_t*>(src.buffer);
  g->pitch = UnitPitch(src.pitch, unit);
  g->unit = unit;
  g->last_x = width - 1;
  g->last_y = rows - 1;
  g->u_max = g->last_x * kFxOne;
  g->v_max = g->last_y * kFxOne;
  g->x_max = width >= 2 ? width - 2 : 0;
  g->y_max = rows >= 2 ? rows - 2 : 0;
  g->right = width >= 2 ? unit : 0;
  g->down = rows >= 2 ? g->pitch : 0;
  const int64_t pitch_units = g->pitch / unit;
  const int64_t pitch_mag = pitch_units < 0 ? -pitch_units : pitch_units;
  const int64_t reach = int64_t{rows} * pitch_mag + width + 1;
  g->narrow = reach < (int64_t{1} << 31);
  return true;
}

}  // namespace vendrix::texmap
