// The span table, and the family members of quad_raster.h: each draws a quad by handing the spans of
// ScanQuad to its layout's entry of the table.
#include "texmap/quad_spans.h"

#include "platform/kernel_table.h"

namespace vendrix::texmap {
namespace {

void FillTable(uint32_t flags, QuadSpanTable* table) {
  FillRgbaSpans(flags, table);
  FillYuvSpans(flags, table);
}

constinit platform::KernelTable<QuadSpanTable> g_table(FillTable);

// Per-quad state: where the samples come from, where rows go, and the kernel that writes them.
struct SpanTarget {
  SampleGrid grid;
  uint8_t* row0;
  int64_t pitch;  // bytes between output rows, whole units
  int32_t unit;   // bytes per output unit
  SpanKernel kernel;
};

void DrawQuadSpans(SpanLayout layout, const QuadSource& src, const Quad& quad, const QuadTarget& out,
                   const FxBox& clip) {
  SpanTarget t;
  t.unit = kSpanUnitBytes[layout];
  if (!out.buffer || !MakeSampleGrid(src, t.unit, &t.grid)) return;
  t.row0 = static_cast<uint8_t*>(out.buffer);
  t.pitch = UnitPitch(out.pitch, t.unit);
  t.kernel = g_table.Get().spans[layout];
  ScanQuad(
      quad, clip,
      [](void* ctx, const QuadSpan& s) {
        const SpanTarget& st = *static_cast<const SpanTarget*>(ctx);
        st.kernel(st.grid, st.row0 + int64_t{s.row} * st.pitch + int64_t{s.column} * st.unit, s);
      },
      &t);
}

}  // namespace

const QuadSpanTable& QuadSpanKernels() { return g_table.Get(); }

void DrawQuad4x8(const QuadSource& src, const Quad& quad, const QuadTarget& out, const FxBox& clip) {
  DrawQuadSpans(kSpan4x8, src, quad, out, clip);
}
void DrawQuad4x16(const QuadSource& src, const Quad& quad, const QuadTarget& out, const FxBox& clip) {
  DrawQuadSpans(kSpan4x16, src, quad, out, clip);
}
void DrawQuad4xF32(const QuadSource& src, const Quad& quad, const QuadTarget& out, const FxBox& clip) {
  DrawQuadSpans(kSpan4xF32, src, quad, out, clip);
}
void DrawQuadLumaOdd(const QuadSource& src, const Quad& quad, const QuadTarget& out, const FxBox& clip) {
  DrawQuadSpans(kSpanLumaOdd, src, quad, out, clip);
}
void DrawQuadLumaEven(const QuadSource& src, const Quad& quad, const QuadTarget& out, const FxBox& clip) {
  DrawQuadSpans(kSpanLumaEven, src, quad, out, clip);
}
void DrawQuadChromaEven(const QuadSource& src, const Quad& quad, const QuadTarget& out, const FxBox& clip) {
  DrawQuadSpans(kSpanChromaEven, src, quad, out, clip);
}
void DrawQuadChromaOdd(const QuadSource& src, const Quad& quad, const QuadTarget& out, const FxBox& clip) {
  DrawQuadSpans(kSpanChromaOdd, src, quad, out, clip);
}

}  // namespace vendrix::texmap
