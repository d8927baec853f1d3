#include "analysis/luma_readers.h"

#include <cmath>
#include <cstring>

#include "imaging/image_convert.h"
#include "imaging/pixel_formats.h"
#include "platform/heap.h"
#include "vendrix/vendrix.h"

namespace vendrix::analysis {
namespace {

inline uint8_t Avg3(unsigned a, unsigned b, unsigned c) { return static_cast<uint8_t>((a + b + c) / 3); }

// Float channels are scaled to 0..255 and clamped; NaN reads as 0.
inline uint8_t FloatToLuma(float v) {
  if (!(v > 0.0f)) return 0;
  return v >= 255.0f ? 255 : static_cast<uint8_t>(v);
}

inline float LoadF(const uint8_t* p) {
  float f;
  std::memcpy(&f, p, sizeof f);
  return f;
}

// Per-format row kernels: `Bpp` bytes per pixel; `Luma(p)` computes one value from the pixel at p.
template <int Bpp, class Luma>
inline void Row(const uint8_t* src, uint8_t* dst, int32_t n, Luma luma) {
  for (int32_t i = 0; i < n; ++i, src += Bpp) dst[i] = luma(src);
}

// The luma value of format 12/24 rows is the byte itself.
void Row1(const uint8_t* src, uint8_t* dst, int32_t n) { std::memcpy(dst, src, static_cast<size_t>(n)); }

struct TempPlane {
  uint8_t* block = nullptr;
  ~TempPlane() { platform::HeapRelease(block); }
};

// Formats converted first (v210) are read through a code-12 copy of the source; the copy keeps the
// working image's relation to its source (row offset and row step).
bool ConvertToGrey(const model::AnalysisImage& in, model::AnalysisImage& out, TempPlane& temp) {
  const int32_t w = in.sourceWidth, h = in.sourceHeight;
  if (w <= 0 || h <= 0 || in.sourcePitch == 0) return false;
  const int32_t pitch = (w + 3) & ~3;
  // Grey output carries a half-height chroma plane below the luma rows.
  temp.block = static_cast<uint8_t*>(platform::HeapAllocate(size_t(pitch) * size_t(h + h / 2 + 1), 0));
  if (!temp.block) return false;
  ConvRecord rec{};
  rec.tag = 1;
  rec.source.format = VENDRIX_PIXFMT_V210;
  rec.source.width = w;
  rec.source.height = h;
  rec.source.pitch = in.sourcePitch;
  rec.source.buffer = const_cast<uint8_t*>(in.sourceBuffer);
  rec.destination.format = VENDRIX_PIXFMT_NV12;
  rec.destination.width = w;
  rec.destination.height = h;
  rec.destination.pitch = pitch;
  rec.destination.buffer = temp.block;
  imaging::ConvertImage(rec);
  const int64_t row_offset = (in.buffer - in.sourceBuffer) / in.sourcePitch;
  const int32_t row_step = in.pitch / in.sourcePitch;
  out = in;
  out.format = VENDRIX_PIXFMT_NV12;
  out.sourcePitch = pitch;
  out.sourceBuffer = temp.block;
  out.pitch = pitch * row_step;
  out.buffer = temp.block + row_offset * pitch;
  return true;
}

// Runs `body(image)` on the image itself or, for v210, on its grey copy.
template <class Body>
void WithReadableImage(const model::AnalysisImage& image, Body body) {
  if (image.format == VENDRIX_PIXFMT_V210) {
    TempPlane temp;
    model::AnalysisImage grey;
    if (ConvertToGrey(image, grey, temp)) body(grey);
    return;
  }
  if (LumaBytesPerPixel(image.format) == 0) return;
  body(image);
}

bool Usable(const model::AnalysisImage& im, const uint8_t* plane) {
  return plane && im.buffer && im.width > 0 && im.height > 0 && im.width <= kMaxImageSide &&
         im.height <= kMaxImageSide && im.sourceWidth > 0 && im.sourceWidth <= kMaxImageSide;
}

inline uint8_t Kernel121(const uint8_t* l, int32_t x) {
  return static_cast<uint8_t>((l[2 * x - 1] + 2 * l[2 * x] + l[2 * x + 1] + 2) >> 2);
}

}  // namespace

int32_t LumaBytesPerPixel(uint32_t format) {
  // The 4:2:0 layouts are read as their luma plane; 16-bit packed 4:2:2 yields no luma.
  if (format == VENDRIX_PIXFMT_NV12 || format == VENDRIX_PIXFMT_YUV420P) return 1;
  return format == VENDRIX_PIXFMT_UYVY16 ? 0 : imaging::BytesPerPixel(format);
}

bool LumaOfRow(uint32_t format, const uint8_t* s, uint8_t* d, int32_t n) {
  switch (format) {
    case VENDRIX_PIXFMT_BGRA8: Row<4>(s, d, n, [](const uint8_t* p) { return Avg3(p[0], p[1], p[2]); }); return true;
    case VENDRIX_PIXFMT_BGR8: Row<3>(s, d, n, [](const uint8_t* p) { return Avg3(p[0], p[1], p[2]); }); return true;
    case VENDRIX_PIXFMT_ARGB8: Row<4>(s, d, n, [](const uint8_t* p) { return Avg3(p[1], p[2], p[3]); }); return true;
    case VENDRIX_PIXFMT_UYVY8: Row<2>(s, d, n, [](const uint8_t* p) { return p[1]; }); return true;
    case VENDRIX_PIXFMT_YUYV8: Row<2>(s, d, n, [](const uint8_t* p) { return p[0]; }); return true;
    case VENDRIX_PIXFMT_VUYA8: Row<4>(s, d, n, [](const uint8_t* p) { return p[2]; }); return true;
    case VENDRIX_PIXFMT_NV12: case VENDRIX_PIXFMT_YUV420P: Row1(s, d, n); return true;
    case VENDRIX_PIXFMT_AYUV8: Row<4>(s, d, n, [](const uint8_t* p) { return p[1]; }); return true;
    case VENDRIX_PIXFMT_BGRA16: Row<8>(s, d, n, [](const uint8_t* p) { return Avg3(p[1], p[3], p[5]); }); return true;
    case VENDRIX_PIXFMT_BGRA32F:
      Row<16>(s, d, n, [](const uint8_t* p) { return FloatToLuma((LoadF(p) + LoadF(p + 4) + LoadF(p + 8)) * 85.0f); });
      return true;
    case VENDRIX_PIXFMT_ARGB16: Row<8>(s, d, n, [](const uint8_t* p) { return Avg3(p[3], p[5], p[7]); }); return true;
    case VENDRIX_PIXFMT_ARGB32F:
      Row<16>(s, d, n,
              [](const uint8_t* p) { return FloatToLuma((LoadF(p + 4) + LoadF(p + 8) + LoadF(p + 12)) * 85.0f); });
      return true;
    case VENDRIX_PIXFMT_AYUV16: Row<8>(s, d, n, [](const uint8_t* p) { return p[3]; }); return true;
    case VENDRIX_PIXFMT_AYUV32F: Row<16>(s, d, n, [](const uint8_t* p) { return FloatToLuma(LoadF(p + 4) * 255.0f); }); return true;
    case VENDRIX_PIXFMT_VUYA16: Row<8>(s, d, n, [](const uint8_t* p) { return p[5]; }); return true;
    case VENDRIX_PIXFMT_VUYA32F: Row<16>(s, d, n, [](const uint8_t* p) { return FloatToLuma(LoadF(p + 8) * 255.0f); }); return true;
    default: return false;
  }
}

void ReadLumaFull(const model::AnalysisImage& image, uint8_t* plane, int32_t plane_pitch) {
  if (!Usable(image, plane)) return;
  WithReadableImage(image, [&](const model::AnalysisImage& im) {
    for (int32_t y = 0; y < im.height; ++y)
      LumaOfRow(im.format, im.buffer + int64_t{y} * im.pitch, plane + int64_t{y} * plane_pitch, im.width);
  });
}

void ReadLumaHalf(const model::AnalysisImage& image, uint8_t* plane, int32_t plane_pitch) {
  if (!Usable(image, plane) || image.width < 3 || image.height < 3) return;
  WithReadableImage(image, [&](const model::AnalysisImage& im) {
    // Luma of the three source rows 2y - 2, 2y, 2y + 2 (working rows y - 1, y, y + 1); each row is
    // converted once and reused by the next two output rows.
    const int32_t n = im.width * 2;  // source columns 0 .. 2W - 1 cover every tap
    uint8_t rows[3][kMaxImageSide + 1];
    auto load = [&](int32_t wy, uint8_t* dst) { LumaOfRow(im.format, im.buffer + int64_t{wy} * im.pitch, dst, n - 1); };
    uint8_t* r0 = rows[0];
    uint8_t* r1 = rows[1];
    uint8_t* r2 = rows[2];
    load(0, r0);
    load(1, r1);
    for (int32_t y = 1; y <= im.height - 2; ++y) {
      load(y + 1, r2);
      uint8_t* out = plane + int64_t{y} * plane_pitch;
      for (int32_t x = 1; x <= im.width - 2; ++x) {
        const int32_t c = 2 * x;
        const unsigned top = r0[c - 1] + 2u * r0[c] + r0[c + 1];
        const unsigned mid = r1[c - 1] + 2u * r1[c] + r1[c + 1];
        const unsigned bot = r2[c - 1] + 2u * r2[c] + r2[c + 1];
        out[x] = static_cast<uint8_t>((top + 2u * mid + bot + 8u) >> 4);
      }
      uint8_t* t = r0;
      r0 = r1;
      r1 = r2;
      r2 = t;
    }
  });
}

void ReadLumaField(const model::AnalysisImage& image, uint8_t* plane, int32_t plane_pitch) {
  if (!Usable(image, plane) || image.width < 3) return;
  WithReadableImage(image, [&](const model::AnalysisImage& im) {
    uint8_t row[kMaxImageSide + 1];
    const int32_t n = im.width * 2 - 1;  // source columns up to 2(W - 2) + 1
    for (int32_t y = 0; y < im.height; ++y) {
      LumaOfRow(im.format, im.buffer + int64_t{y} * im.pitch, row, n);
      uint8_t* out = plane + int64_t{y} * plane_pitch;
      for (int32_t x = 1; x <= im.width - 2; ++x) out[x] = Kernel121(row, x);
    }
  });
}

}  // namespace vendrix::analysis
