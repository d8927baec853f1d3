// Formats drawn through temporary images: BGR8 widened to 4 bytes, NV12 and YUV420P converted to
// packed 4:2:2, 16-bit and float formats narrowed to 8 bits for edge extension, and in-place rendering
// (the output buffer is also the source). Also the cache that keeps temporaries between renders.
//
// Every path converts whole host buffers (all their rows), so that field selection applies to the
// temporaries exactly as it would to the host's images, and the output temporary starts as a copy
// (or conversion) of the host's output: pixels the render does not touch come back unchanged, as they
// do when the output buffer is drawn directly. (Where the round trip is lossy - the narrowed 16-bit
// and float paths - untouched pixels come back at 8-bit precision.)
#include <cstring>
#include <mutex>

#include "concurrency/parallel.h"
#include "concurrency/thread_pool.h"
#include "platform/heap.h"
#include "texmap/render.h"
#include "texmap/render_internal.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vendrix::texmap {
namespace {

// ---- Scratch cache -------------------------------------------------------------------------------------

// Each block carries its capacity in a header that keeps the payload 64-byte aligned.
constexpr size_t kScratchHeader = 64;
constexpr int kCachedBlocks = 4;                          // two temporaries for each of two concurrent renders
constexpr size_t kCacheLimitBytes = size_t{512} << 20;   // larger blocks (and beyond it in total) are freed

struct ScratchCache {
  std::mutex lock;
  uint8_t* blocks[kCachedBlocks] = {};

  ~ScratchCache() { Clear(); }
  void Clear() {
    uint8_t* freed[kCachedBlocks];
    {
      std::lock_guard<std::mutex> hold(lock);
      for (int i = 0; i < kCachedBlocks; ++i) {
        freed[i] = blocks[i];
        blocks[i] = nullptr;
      }
    }
    for (uint8_t* b : freed) platform::HeapRelease(b);
  }
};

ScratchCache g_scratch;

size_t CapacityOf(const uint8_t* base) {
  size_t c;
  std::memcpy(&c, base, sizeof(c));
  return c;
}

// A temporary released on every path out of the scope that acquired it.
class Scratch {
 public:
  explicit Scratch(size_t bytes) : p_(static_cast<uint8_t*>(AcquireScratch(bytes))) {}
  ~Scratch() { ReleaseScratch(p_); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  uint8_t* get() const { return p_; }

 private:
  uint8_t* p_;
};

// ---- Row-parallel conversions -----------------------------------------------------------------------

// A conversion of rows [first, end) of some work item; the work is cut into one chunk per thread
// (at most 8) when it is large enough to be worth a pool.
using RowRangeFn = void (*)(const void* work, int32_t first, int32_t end);

struct RowChunks {
  RowRangeFn fn;
  const void* work;
  int32_t rows;
  int32_t chunks;
};

void RunChunk(void* ctx, int32_t index) {
  const RowChunks& c = *static_cast<const RowChunks*>(ctx);
  const int64_t first = int64_t{c.rows} * index / c.chunks;
  const int64_t end = int64_t{c.rows} * (index + 1) / c.chunks;
  c.fn(c.work, static_cast<int32_t>(first), static_cast<int32_t>(end));
}

void ForRowRanges(int32_t rows, int64_t bytes_per_row, RowRangeFn fn, const void* work) {
  constexpr int64_t kParallelBytes = int64_t{1} << 20;
  int32_t chunks = 1;
  if (bytes_per_row * rows >= kParallelBytes) {
    const int32_t t = concurrency::PoolService()->ThreadCount();
    chunks = t < kMaxBandThreads ? t : kMaxBandThreads;
    if (chunks > rows) chunks = rows;
    if (chunks < 1) chunks = 1;
  }
  RowChunks c{fn, work, rows, chunks};
  if (chunks == 1) {
    fn(work, 0, rows);
    return;
  }
  concurrency::ParallelFor(chunks, RunChunk, &c);
}

// Two images of the same row count; rows `pitch` bytes apart.
struct RowPair {
  const uint8_t* src;
  int64_t src_pitch;
  uint8_t* dst;
  int64_t dst_pitch;
  int32_t width;  // pixels
  int32_t rows;
};

template <void (*Row)(const uint8_t*, uint8_t*, int32_t)>
void ConvertRows(const void* work, int32_t first, int32_t end) {
  const RowPair& r = *static_cast<const RowPair*>(work);
  for (int64_t y = first; y < end; ++y) Row(r.src + y * r.src_pitch, r.dst + y * r.dst_pitch, r.width);
}

template <void (*Row)(const uint8_t*, uint8_t*, int32_t)>
void ConvertImage(const RowPair& r, int64_t bytes_per_row) {
  ForRowRanges(r.rows, bytes_per_row, ConvertRows<Row>, &r);
}

// ---- Row kernels ---------------------------------------------------------------------------------------

template <int kBytesPerPixel>
void CopyRow(const uint8_t* s, uint8_t* d, int32_t width) {
  std::memmove(d, s, static_cast<size_t>(width) * kBytesPerPixel);
}

// 3 bytes per pixel to 4 (fourth byte 0), and back (fourth byte dropped).
void WidenBgrRow(const uint8_t* s, uint8_t* d, int32_t width) {
  for (int32_t x = 0; x < width; ++x, s += 3, d += 4) {
    d[0] = s[0];
    d[1] = s[1];
    d[2] = s[2];
    d[3] = 0;
  }
}
void NarrowBgrRow(const uint8_t* s, uint8_t* d, int32_t width) {
  for (int32_t x = 0; x < width; ++x, s += 4, d += 3) {
    d[0] = s[0];
    d[1] = s[1];
    d[2] = s[2];
  }
}

// 4 x u16 to 4 x 8-bit (high bytes), and back (v * 257).
void NarrowU16Row(const uint8_t* s, uint8_t* d, int32_t width) {
  for (int64_t i = 0; i < int64_t{width} * 4; ++i) d[i] = s[2 * i + 1];
}
void WidenU16Row(const uint8_t* s, uint8_t* d, int32_t width) {
  for (int64_t i = 0; i < int64_t{width} * 4; ++i) {
    const uint16_t v = static_cast<uint16_t>(s[i] * 257u);
    std::memcpy(d + 2 * i, &v, 2);
  }
}

// 4 x f32 to 4 x 8-bit (clamped to 0..1, x 255, truncated; NaN as 0), and back (v / 255).
void NarrowF32Row(const uint8_t* s, uint8_t* d, int32_t width) {
  for (int64_t i = 0; i < int64_t{width} * 4; ++i) {
    float f;
    std::memcpy(&f, s + 4 * i, 4);
    if (!(f > 0.0f)) f = 0.0f;  // also NaN
    if (f > 1.0f) f = 1.0f;
    d[i] = static_cast<uint8_t>(f * 255.0f);
  }
}
void WidenF32Row(const uint8_t* s, uint8_t* d, int32_t width) {
  for (int64_t i = 0; i < int64_t{width} * 4; ++i) {
    const float f = static_cast<float>(s[i]) / 255.0f;
    std::memcpy(d + 4 * i, &f, 4);
  }
}

// ---- 4:2:0 planar <-> packed 4:2:2 (Y0 Cb Y1 Cr) -------------------------------------------------

// A 4:2:0 host image: `rows` luma rows, then the chroma of (rows + 1) / 2 row pairs. NV12: one
// plane of interleaved Cb/Cr pairs with the luma pitch; YUV420P: a Cb plane, then a Cr plane, each
// with half the pitch (truncated toward zero) and (width + 1) / 2 samples per row. Rows continue in
// the pitch's direction, so bottom-up images (negative pitch) work as they are.
struct Planar {
  uint8_t* luma;
  int64_t pitch;
  uint8_t* cb;  // NV12: the interleaved plane
  uint8_t* cr;  // YUV420P only
  int64_t chroma_pitch;
  bool interleaved;
  int32_t width;
  int32_t rows;
};

Planar DescribePlanar(uint32_t format, void* buffer, int32_t pitch, int32_t width, int32_t rows) {
  Planar p{};
  p.luma = static_cast<uint8_t*>(buffer);
  p.pitch = pitch;
  p.width = width;
  p.rows = rows;
  p.cb = p.luma + p.pitch * rows;
  p.interleaved = format == VENDRIX_PIXFMT_NV12;
  if (p.interleaved) {
    p.chroma_pitch = p.pitch;
  } else {
    p.chroma_pitch = p.pitch / 2;
    p.cr = p.cb + p.chroma_pitch * ((int64_t{rows} + 1) / 2);
  }
  return p;
}

struct PlanarWork {
  Planar planar;
  uint8_t* packed;
  int64_t packed_pitch;
};

// One packed row from a luma row and its row pair's chroma: pair k = Y[2k], Cb[k], Y[2k+1], Cr[k]; an
// odd last pixel repeats its luma into the pair's second slot.
void PackRow(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, bool interleaved, uint8_t* out, int32_t width) {
  int32_t x = 0;
#if defined(__SSE2__)
  for (; x + 16 <= width; x += 16) {
    const __m128i luma = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + x));
    __m128i chroma;
    if (interleaved) {
      chroma = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cb + x));
    } else {
      const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cb + x / 2));
      const __m128i r = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cr + x / 2));
      chroma = _mm_unpacklo_epi8(b, r);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * x), _mm_unpacklo_epi8(luma, chroma));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * x + 16), _mm_unpackhi_epi8(luma, chroma));
  }
#endif
  for (; x < width; x += 2) {
    const int32_t k = x / 2;
    uint8_t* o = out + 2 * x;
    o[0] = y[x];
    o[1] = interleaved ? cb[2 * k] : cb[k];
    o[2] = x + 1 < width ? y[x + 1] : y[x];
    o[3] = interleaved ? cb[2 * k + 1] : cr[k];
  }
}

// Row pairs [first, end): both rows of a pair use the pair's chroma.
void PackPlanarPairs(const void* work, int32_t first, int32_t end) {
  const PlanarWork& w = *static_cast<const PlanarWork*>(work);
  const Planar& p = w.planar;
  for (int64_t k = first; k < end; ++k) {
    const uint8_t* cb = p.cb + k * p.chroma_pitch;
    const uint8_t* cr = p.interleaved ? nullptr : p.cr + k * p.chroma_pitch;
    for (int64_t y = 2 * k; y < 2 * k + 2 && y < p.rows; ++y)
      PackRow(p.luma + y * p.pitch, cb, cr, p.interleaved, w.packed + y * w.packed_pitch, p.width);
  }
}

// Luma copied from each packed row; chroma of a row pair = truncated mean of its two rows (a lone last
// row gives its own chroma).
void UnpackRowPair(const uint8_t* t0, const uint8_t* t1, uint8_t* y0, uint8_t* y1, uint8_t* cb, uint8_t* cr,
                   bool interleaved, int32_t width) {
  int32_t x = 0;
#if defined(__SSE2__)
  const __m128i low = _mm_set1_epi16(0x00FF);
  for (; x + 16 <= width; x += 16) {
    const __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t0 + 2 * x));
    const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t0 + 2 * x + 16));
    const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t1 + 2 * x));
    const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t1 + 2 * x + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y0 + x),
                     _mm_packus_epi16(_mm_and_si128(a0, low), _mm_and_si128(a1, low)));
    if (y1)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(y1 + x),
                       _mm_packus_epi16(_mm_and_si128(b0, low), _mm_and_si128(b1, low)));
    // Chroma bytes as 16-bit lanes Cb, Cr, Cb, Cr ...; the sum of two rows fits, halved truncating.
    const __m128i m0 = _mm_srli_epi16(_mm_add_epi16(_mm_srli_epi16(a0, 8), _mm_srli_epi16(b0, 8)), 1);
    const __m128i m1 = _mm_srli_epi16(_mm_add_epi16(_mm_srli_epi16(a1, 8), _mm_srli_epi16(b1, 8)), 1);
    const __m128i pairs = _mm_packus_epi16(m0, m1);  // Cb0 Cr0 Cb1 Cr1 ... for 8 pixel pairs
    if (interleaved) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(cb + x), pairs);
    } else {
      const __m128i blue = _mm_packus_epi16(_mm_and_si128(pairs, low), _mm_setzero_si128());
      const __m128i red = _mm_packus_epi16(_mm_srli_epi16(pairs, 8), _mm_setzero_si128());
      _mm_storel_epi64(reinterpret_cast<__m128i*>(cb + x / 2), blue);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(cr + x / 2), red);
    }
  }
#endif
  for (; x < width; x += 2) {
    const int32_t k = x / 2;
    const uint8_t* a = t0 + 2 * x;
    const uint8_t* b = t1 + 2 * x;
    y0[x] = a[0];
    if (x + 1 < width) y0[x + 1] = a[2];
    if (y1) {
      y1[x] = b[0];
      if (x + 1 < width) y1[x + 1] = b[2];
    }
    const uint8_t u = static_cast<uint8_t>((a[1] + b[1]) >> 1);
    const uint8_t v = static_cast<uint8_t>((a[3] + b[3]) >> 1);
    if (interleaved) {
      cb[2 * k] = u;
      cb[2 * k + 1] = v;
    } else {
      cb[k] = u;
      cr[k] = v;
    }
  }
}

void UnpackPlanarPairs(const void* work, int32_t first, int32_t end) {
  const PlanarWork& w = *static_cast<const PlanarWork*>(work);
  const Planar& p = w.planar;
  for (int64_t k = first; k < end; ++k) {
    const int64_t r0 = 2 * k;
    const bool has_second = r0 + 1 < p.rows;
    const uint8_t* t0 = w.packed + r0 * w.packed_pitch;
    const uint8_t* t1 = has_second ? t0 + w.packed_pitch : t0;
    uint8_t* cb = p.cb + k * p.chroma_pitch;
    uint8_t* cr = p.interleaved ? nullptr : p.cr + k * p.chroma_pitch;
    UnpackRowPair(t0, t1, p.luma + r0 * p.pitch, has_second ? p.luma + (r0 + 1) * p.pitch : nullptr, cb, cr,
                  p.interleaved, p.width);
  }
}

void PlanarToPacked(const Planar& p, uint8_t* packed, int64_t packed_pitch) {
  const PlanarWork w{p, packed, packed_pitch};
  ForRowRanges((p.rows + 1) / 2, 6 * int64_t{p.width}, PackPlanarPairs, &w);
}

void PackedToPlanar(const uint8_t* packed, int64_t packed_pitch, const Planar& p) {
  const PlanarWork w{p, const_cast<uint8_t*>(packed), packed_pitch};
  ForRowRanges((p.rows + 1) / 2, 6 * int64_t{p.width}, UnpackPlanarPairs, &w);
}

// A definition redirected to temporaries: new buffers and pitches, the given code, not in place.
TexMapDefD Redirect(const TexMapDefD& def, uint32_t format, const void* src, int32_t src_pitch, void* out,
                    int32_t out_pitch) {
  TexMapDefD d = def;
  d.pixelFormat = format;
  d.mapFlags &= ~VENDRIX_MAP_IN_PLACE;
  d.srcBuffer = src;
  d.srcPitch = src_pitch;
  d.outBuffer = out;
  d.outPitch = out_pitch;
  return d;
}

size_t ImageBytes(int64_t pitch, int64_t rows) { return static_cast<size_t>(pitch) * static_cast<size_t>(rows); }

// Draws `def` (whose code has its own rasteriser) from a `temp_format` copy of the source into a
// `temp_format` copy of the output, converting both ways with the given row kernels.
template <void (*ToTemp)(const uint8_t*, uint8_t*, int32_t), void (*FromTemp)(const uint8_t*, uint8_t*, int32_t)>
void RenderConverted(const TexMapDefD& def, RenderContext* ctx, uint32_t temp_format, int32_t temp_bpp) {
  const int32_t src_w = FxFloor(def.srcRect.w);
  const int32_t out_w = FxFloor(def.outRect.w);
  const int64_t src_pitch = int64_t{src_w} * temp_bpp;
  const int64_t out_pitch = int64_t{out_w} * temp_bpp;
  Scratch src(ImageBytes(src_pitch, def.srcRows));
  Scratch out(ImageBytes(out_pitch, def.outRows));
  if (!src.get() || !out.get()) return;
  const int64_t src_row = RowBytes(def.pixelFormat, src_w);
  const int64_t out_row = RowBytes(def.pixelFormat, out_w);
  auto* host_out = static_cast<uint8_t*>(def.outBuffer);
  ConvertImage<ToTemp>(RowPair{static_cast<const uint8_t*>(def.srcBuffer), def.srcPitch, src.get(), src_pitch, src_w,
                               def.srcRows},
                       src_row);
  ConvertImage<ToTemp>(RowPair{host_out, def.outPitch, out.get(), out_pitch, out_w, def.outRows}, out_row);
  RenderDirect(Redirect(def, temp_format, src.get(), static_cast<int32_t>(src_pitch), out.get(),
                        static_cast<int32_t>(out_pitch)),
               ctx);
  ConvertImage<FromTemp>(RowPair{out.get(), out_pitch, host_out, def.outPitch, out_w, def.outRows}, out_row);
}

}  // namespace

// ---- Scratch cache ----------------------------------------------------------------------------------

void* AcquireScratch(size_t bytes) {
  if (bytes > SIZE_MAX - kScratchHeader) return nullptr;
  {
    std::lock_guard<std::mutex> hold(g_scratch.lock);
    int best = -1;
    for (int i = 0; i < kCachedBlocks; ++i) {
      uint8_t* b = g_scratch.blocks[i];
      if (b && CapacityOf(b) >= bytes && (best < 0 || CapacityOf(b) < CapacityOf(g_scratch.blocks[best]))) best = i;
    }
    if (best >= 0) {
      uint8_t* b = g_scratch.blocks[best];
      g_scratch.blocks[best] = nullptr;
      return b + kScratchHeader;
    }
  }
  auto* base = static_cast<uint8_t*>(platform::HeapAllocate(bytes + kScratchHeader, platform::kHeapZero));
  if (!base) {
    // Cached blocks too small for this image may be what stands in the way.
    g_scratch.Clear();
    base = static_cast<uint8_t*>(platform::HeapAllocate(bytes + kScratchHeader, platform::kHeapZero));
    if (!base) return nullptr;
  }
  std::memcpy(base, &bytes, sizeof(bytes));
  return base + kScratchHeader;
}

void ReleaseScratch(void* block) {
  if (!block) return;
  uint8_t* base = static_cast<uint8_t*>(block) - kScratchHeader;
  uint8_t* freed = base;
  const size_t capacity = CapacityOf(base);
  if (capacity <= kCacheLimitBytes) {
    std::lock_guard<std::mutex> hold(g_scratch.lock);
    size_t total = 0;
    int empty = -1, smallest = -1;
    for (int i = 0; i < kCachedBlocks; ++i) {
      uint8_t* b = g_scratch.blocks[i];
      if (!b) {
        if (empty < 0) empty = i;
        continue;
      }
      total += CapacityOf(b);
      if (smallest < 0 || CapacityOf(b) < CapacityOf(g_scratch.blocks[smallest])) smallest = i;
    }
    if (empty >= 0 && total + capacity <= kCacheLimitBytes) {
      g_scratch.blocks[empty] = base;
      freed = nullptr;
    } else if (smallest >= 0 && CapacityOf(g_scratch.blocks[smallest]) < capacity &&
               total - CapacityOf(g_scratch.blocks[smallest]) + capacity <= kCacheLimitBytes) {
      // Keep the larger block: it serves every frame the smaller one would.
      freed = g_scratch.blocks[smallest];
      g_scratch.blocks[smallest] = base;
    }
  }
  platform::HeapRelease(freed);
}

void ReleaseRenderScratch() { g_scratch.Clear(); }

// ---- Format paths ---------------------------------------------------------------------------------

void RenderInPlace(const TexMapDefD& def, RenderContext* ctx) {
  const int32_t out_w = FxFloor(def.outRect.w);
  const bool packed = def.pixelFormat == VENDRIX_PIXFMT_YUYV8;
  // Whole pixel pairs per row: 8 bytes per pair of 4-byte pixels, 4 per pair of packed 4:2:2 pixels.
  const int64_t pitch = (packed ? 4 : 8) * ((int64_t{out_w} + 1) / 2);
  Scratch temp(ImageBytes(pitch, def.outRows));
  if (!temp.get()) return;
  auto* host_out = static_cast<uint8_t*>(def.outBuffer);
  const int64_t row = RowBytes(def.pixelFormat, out_w);
  if (packed) {
    ConvertImage<CopyRow<2>>(RowPair{host_out, def.outPitch, temp.get(), pitch, out_w, def.outRows}, row);
  } else {
    ConvertImage<CopyRow<4>>(RowPair{host_out, def.outPitch, temp.get(), pitch, out_w, def.outRows}, row);
  }
  const uint32_t format = packed ? VENDRIX_PIXFMT_YUYV8 : VENDRIX_PIXFMT_ARGB8;
  RenderDirect(Redirect(def, format, def.srcBuffer, def.srcPitch, temp.get(), static_cast<int32_t>(pitch)), ctx);
  if (packed) {
    ConvertImage<CopyRow<2>>(RowPair{temp.get(), pitch, host_out, def.outPitch, out_w, def.outRows}, row);
  } else {
    ConvertImage<CopyRow<4>>(RowPair{temp.get(), pitch, host_out, def.outPitch, out_w, def.outRows}, row);
  }
}

void RenderWidened(const TexMapDefD& def, RenderContext* ctx) {
  RenderConverted<WidenBgrRow, NarrowBgrRow>(def, ctx, VENDRIX_PIXFMT_ARGB8, 4);
}

void RenderNarrowed(const TexMapDefD& def, RenderContext* ctx) {
  const int32_t bpp = static_cast<int32_t>(RowBytes(def.pixelFormat, 1));
  if (bpp == 8)
    RenderConverted<NarrowU16Row, WidenU16Row>(def, ctx, VENDRIX_PIXFMT_ARGB8, 4);
  else
    RenderConverted<NarrowF32Row, WidenF32Row>(def, ctx, VENDRIX_PIXFMT_ARGB8, 4);
}

void RenderPlanar(const TexMapDefD& def, RenderContext* ctx) {
  const int32_t src_w = FxFloor(def.srcRect.w);
  const int32_t out_w = FxFloor(def.outRect.w);
  // One size for both temporaries: the wider image rounded up to whole pixel pairs, the larger row count.
  const int32_t wide = src_w > out_w ? src_w : out_w;
  const int64_t pitch = ((int64_t{wide} + 1) & ~int64_t{1}) * 2;
  const int32_t rows = def.srcRows > def.outRows ? def.srcRows : def.outRows;
  Scratch src(ImageBytes(pitch, rows));
  Scratch out(ImageBytes(pitch, rows));
  if (!src.get() || !out.get()) return;
  const Planar host_src = DescribePlanar(def.pixelFormat, const_cast<void*>(def.srcBuffer), def.srcPitch, src_w, def.srcRows);
  const Planar host_out = DescribePlanar(def.pixelFormat, def.outBuffer, def.outPitch, out_w, def.outRows);
  PlanarToPacked(host_src, src.get(), pitch);
  PlanarToPacked(host_out, out.get(), pitch);
  RenderDirect(
      Redirect(def, VENDRIX_PIXFMT_YUYV8, src.get(), static_cast<int32_t>(pitch), out.get(), static_cast<int32_t>(pitch)),
      ctx);
  PackedToPlanar(out.get(), pitch, host_out);
}

}  // namespace vendrix::texmap
