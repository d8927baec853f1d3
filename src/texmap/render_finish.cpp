// Finishing steps of a render: background fill (whole or margins only), edge extension with its blur,
// the last row and column, split-view copy, guide grid and frame border, and the colours each pixel
// format uses for them. Everything here is clipped to the surface it is given.
#include <cstring>

#include "texmap/render_internal.h"

namespace vendrix::texmap {
namespace {

int64_t Max64(int64_t a, int64_t b) { return a > b ? a : b; }
int64_t Min64(int64_t a, int64_t b) { return a < b ? a : b; }

// ---- Colours -----------------------------------------------------------------------------------------

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutF32(uint8_t* p, float a, float b, float c, float d) {
  const float v[4] = {a, b, c, d};
  std::memcpy(p, v, 16);
}

// 32-bit words little-endian; the divider uses the background colour.
FormatColours Words32(uint32_t background, uint32_t border, uint32_t white) {
  FormatColours c{};
  Put32(c.background, background);
  Put32(c.divider, background);
  Put32(c.border, border);
  Put32(c.white, white);
  return c;
}

// 64-bit words: four u16 from the lowest.
FormatColours Words64(uint64_t background, uint64_t border, uint64_t white) {
  FormatColours c{};
  Put64(c.background, background);
  Put64(c.divider, background);
  Put64(c.border, border);
  Put64(c.white, white);
  return c;
}

struct Rgba {
  float a, b, c, d;
};
FormatColours Floats(Rgba background, Rgba border, Rgba white) {
  FormatColours c{};
  PutF32(c.background, background.a, background.b, background.c, background.d);
  PutF32(c.divider, background.a, background.b, background.c, background.d);
  PutF32(c.border, border.a, border.b, border.c, border.d);
  PutF32(c.white, white.a, white.b, white.c, white.d);
  return c;
}

// Packed 4:2:2: background per 2-byte pixel, the others per 4-byte pixel pair.
FormatColours Packed(uint16_t background, uint32_t divider, uint32_t border, uint32_t white) {
  FormatColours c{};
  c.background[0] = static_cast<uint8_t>(background);
  c.background[1] = static_cast<uint8_t>(background >> 8);
  Put32(c.divider, divider);
  Put32(c.border, border);
  Put32(c.white, white);
  return c;
}

constexpr uint64_t kAllOnes = ~uint64_t{0};

struct ColourTable {
  FormatColours code[24];
  FormatColours other4;

  ColourTable() {
    for (FormatColours& c : code) c = Words64(0, kAllOnes, kAllOnes);
    other4 = Words32(0, 0xFFFFFFFFu, 0xFFFFFFFFu);
    code[VENDRIX_PIXFMT_BGRA8] = Words32(0xFF000000u, 0xFFFF0000u, 0xFFFFFFFFu);
    code[VENDRIX_PIXFMT_ARGB8] = Words32(0xFF000000u, 0xFF0000FFu, 0xFFFFFFFFu);
    code[VENDRIX_PIXFMT_VUYA8] = Words32(0xFF008080u, 0xFFFFFFFFu, 0xFFFF8080u);
    code[VENDRIX_PIXFMT_AYUV8] = Words32(0x808000FFu, 0xFFFFFFFFu, 0x8080FFFFu);
    code[VENDRIX_PIXFMT_UYVY8] = Packed(0x0080, 0x00800080u, 0xFFFFFFFFu, 0xFF80FF80u);
    code[VENDRIX_PIXFMT_YUYV8] = Packed(0x8000, 0x80008000u, 0xFFFFFFFFu, 0x80FF80FFu);
    code[VENDRIX_PIXFMT_BGRA16] = Words64(0xFFFF000000000000ull, 0xFFFFFFFF00000000ull, kAllOnes);
    code[VENDRIX_PIXFMT_ARGB16] = Words64(0x000000000000FFFFull, 0x00000000FFFFFFFFull, kAllOnes);
    code[VENDRIX_PIXFMT_AYUV16] = Words64(0x808080800000FFFFull, kAllOnes, 0x80808080FFFFFFFFull);
    code[VENDRIX_PIXFMT_VUYA16] = Words64(0xFFFF000080808080ull, kAllOnes, 0xFFFFFFFF80808080ull);
    code[VENDRIX_PIXFMT_BGRA32F] = Floats({0, 0, 0, 1}, {0, 0, 1, 1}, {1, 1, 1, 1});
    code[VENDRIX_PIXFMT_ARGB32F] = Floats({1, 0, 0, 0}, {1, 1, 0, 0}, {1, 1, 1, 1});
    code[VENDRIX_PIXFMT_AYUV32F] = Floats({1, 0, 0.5f, 0.5f}, {1, 1, 1, 1}, {1, 1, 0.5f, 0.5f});
    code[VENDRIX_PIXFMT_VUYA32F] = Floats({0, 0, 0, 1}, {1, 1, 1, 1}, {0, 0, 1, 1});
  }
};

const ColourTable& Colours() {
  static const ColourTable table;
  return table;
}

// ---- Line helpers ----------------------------------------------------------------------------------

// Writes `count` units of `colour` from p.
void FillUnits(uint8_t* p, int64_t count, const uint8_t* colour, int32_t unit) {
  if (count <= 0) return;
  std::memcpy(p, colour, static_cast<size_t>(unit));
  // Double the filled stretch until it covers the run.
  int64_t done = 1;
  while (done < count) {
    const int64_t n = Min64(done, count - done);
    std::memcpy(p + done * unit, p, static_cast<size_t>(n * unit));
    done += n;
  }
}

// Rewrites a line of n units (consecutive units `stride` bytes apart) from its neighbouring line q,
// per byte channel with truncating division: out[i] = (q[i-1] + 2 q[i] + q[i+1]) / 4 inside,
// out[0] = out[1] = (q[1] + q[2]) / 2, out[n-2] = out[n-1] = (q[n-3] + q[n-2]) / 2. Lines shorter
// than 4 units are left as they are.
void BlurLine(uint8_t* out, const uint8_t* q, int64_t stride, int64_t n, int32_t unit) {
  if (n < 4) return;
  for (int32_t ch = 0; ch < unit; ++ch) {
    uint8_t* o = out + ch;
    const uint8_t* s = q + ch;
    auto at = [&](int64_t i) { return static_cast<uint32_t>(s[i * stride]); };
    for (int64_t i = 2; i <= n - 3; ++i) o[i * stride] = static_cast<uint8_t>((at(i - 1) + 2 * at(i) + at(i + 1)) / 4);
    const auto first = static_cast<uint8_t>((at(1) + at(2)) / 2);
    const auto last = static_cast<uint8_t>((at(n - 3) + at(n - 2)) / 2);
    o[0] = first;
    o[stride] = first;
    o[(n - 2) * stride] = last;
    o[(n - 1) * stride] = last;
  }
}

void CopyColumn(const Surface& s, int64_t from, int64_t to, int64_t rows) {
  for (int64_t y = 0; y < rows; ++y) std::memcpy(s.At(to, y), s.At(from, y), static_cast<size_t>(s.unit));
}

void CopyRowUnits(const Surface& s, int64_t from, int64_t to, int64_t units) {
  if (units > 0) std::memcpy(s.At(0, to), s.At(0, from), static_cast<size_t>(units * s.unit));
}

}  // namespace

const FormatColours& ColoursFor(uint32_t format) {
  const ColourTable& t = Colours();
  return format < 24 ? t.code[format] : t.other4;
}

int32_t MarkerThickness(int32_t width) { return width < 800 ? 12 : (width < 1400 ? 20 : 32); }

void FillRect(const Surface& out, int64_t x0, int64_t y0, int64_t x1, int64_t y1, const uint8_t* colour) {
  x0 = Max64(x0, 0);
  y0 = Max64(y0, 0);
  x1 = Min64(x1, out.width);
  y1 = Min64(y1, out.height);
  if (x0 >= x1 || y0 >= y1) return;
  uint8_t* first = out.At(x0, y0);
  FillUnits(first, x1 - x0, colour, out.unit);
  const size_t bytes = static_cast<size_t>((x1 - x0) * out.unit);
  for (int64_t y = y0 + 1; y < y1; ++y) std::memcpy(out.At(x0, y), first, bytes);
}

void FillBackground(const Surface& out, const FxBox& visible, bool margins_only, const uint8_t* colour) {
  const int64_t w = out.width, h = out.height;
  if (margins_only) {
    const int64_t l = int64_t{FxFloor(visible.x0)} + 1;
    const int64_t r = w - FxFloor(visible.x1) + 2;
    const int64_t t = int64_t{FxFloor(visible.y0)} + 1;
    const int64_t b = h - FxFloor(visible.y1) + 2;
    if (l + r < w && t + b < h) {
      FillRect(out, 0, 0, l, h, colour);
      FillRect(out, w - r, 0, w, h, colour);
      FillRect(out, l, 0, w - r, t, colour);
      FillRect(out, l, h - b, w - r, h, colour);
      return;
    }
  }
  FillRect(out, 0, 0, w, h, colour);
}

void ExtendEdges(const Surface& out, const FxBox& visible) {
  const int64_t w = out.width, h = out.height;
  if (w < 2 || h < 2) return;
  int64_t x0 = int64_t{FxFloor(visible.x0)} + 1;
  int64_t x1 = int64_t{FxFloor(visible.x1)} - 2;
  int64_t y0 = int64_t{FxFloor(visible.y0)} + 1;
  int64_t y1 = int64_t{FxFloor(visible.y1)} - 2;
  if (x0 >= x1 || y0 >= y1) {
    // No picture left inside: extend from the bottom-right (or top-left) two columns and rows.
    if (x1 < 0) {
      x0 = 0;
      x1 = 1;
    } else {
      x0 = w - 2;
      x1 = w - 1;
    }
    if (y1 < 0) {
      y0 = 0;
      y1 = 1;
    } else {
      y0 = h - 2;
      y1 = h - 1;
    }
  }
  const bool left_open = x0 > 0, right_open = x1 < w - 1;
  const bool top_open = y0 > 0, bottom_open = y1 < h - 1;
  const int64_t rounds = Max64(Max64(Max64(x0, w - 1 - x1), Max64(y0, h - 1 - y1)), 0);
  const int64_t unit = out.unit;
  for (int64_t i = 0; i < rounds; ++i) {
    const bool left = x0 > 0, right = x1 < w - 1;
    if (left) BlurLine(out.At(x0, y0), out.At(x0 + 1, y0), out.pitch, y1 - y0 + 1, out.unit);
    if (right) BlurLine(out.At(x1, y0), out.At(x1 - 1, y0), out.pitch, y1 - y0 + 1, out.unit);
    if (y0 > 0) {
      BlurLine(out.At(x0, y0), out.At(x0, y0 + 1), unit, x1 - x0 + 1, out.unit);
      --y0;
    }
    if (y1 < h - 1) {
      BlurLine(out.At(x0, y1), out.At(x0, y1 - 1), unit, x1 - x0 + 1, out.unit);
      ++y1;
    }
    if (left) --x0;
    if (right) ++x1;
  }
  if (left_open) CopyColumn(out, 1, 0, h - 1);
  if (right_open) CopyColumn(out, w - 2, w - 1, h - 1);
  if (top_open) CopyRowUnits(out, 1, 0, w - 1);
  if (bottom_open) CopyRowUnits(out, h - 2, h - 1, w - 1);
}

void CopyLastColumnAndRow(const Surface& out, bool field_mode) {
  const int64_t w = out.width, h = out.height;
  if (w >= 2) CopyColumn(out, w - 2, w - 1, h);
  if (field_mode) {
    if (h >= 3) {
      CopyRowUnits(out, h - 3, h - 2, w);
      CopyRowUnits(out, h - 3, h - 1, w);
    }
  } else if (h >= 2) {
    CopyRowUnits(out, h - 2, h - 1, w);
  }
}

void CopySplitView(const Surface& out, const Surface& src, int32_t columns, int32_t rows) {
  const int64_t cols = Min64(Min64(columns, out.width), src.width);
  const int64_t n = Min64(Min64(rows, out.height), src.height);
  if (cols <= 0) return;
  for (int64_t y = 0; y < n; ++y) std::memmove(out.At(0, y), src.At(0, y), static_cast<size_t>(cols * out.unit));
}

void DrawGuideGrid(const Surface& out, const uint8_t* colour, int32_t row_lines, int32_t column_lines) {
  const int64_t g = out.width / 6, h = out.height / 6;
  if (h > 0)
    for (int64_t y = h / 2; y < out.height; y += h) FillRect(out, 0, y, out.width, y + row_lines, colour);
  if (g > 0)
    for (int64_t x = g / 2; x < out.width; x += g) FillRect(out, x, 0, x + column_lines, out.height, colour);
}

void DrawMarkerBorder(const Surface& out, const uint8_t* colour) {
  const int64_t t = MarkerThickness(out.width);
  const int64_t w = out.width, h = out.height;
  FillRect(out, 0, 0, w, t, colour);
  FillRect(out, 0, h - t, w, h, colour);
  FillRect(out, 0, t, t, h - t, colour);
  FillRect(out, w - t, t, w, h - t, colour);
}

}  // namespace vendrix::texmap
