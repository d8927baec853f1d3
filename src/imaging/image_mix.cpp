// A/B cross-fade: validation, field selection on private copies, the intersection area, and the row
// kernels for 8-bit values, u16 channels and f32 channels.
#include "imaging/image_mix.h"

#include <algorithm>
#include <cstring>

#include "imaging/pixel_formats.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vendrix::imaging {
namespace mix {

// Weighted sum of two values in 16.16: a (65535 - w) + b w, at most 65535 x 65535 = 4 294 836 225, so
// unsigned 32-bit arithmetic holds it; the result is its integer part.
inline uint32_t Blend(uint32_t a, uint32_t b, uint32_t weight_a, uint32_t weight_b) {
  return (a * weight_a + b * weight_b) >> kFxShift;
}

#if defined(__SSE2__)
namespace {

// The high 16 bits of a wa + b wb for eight u16 lanes, exactly: the sum of the two products' high
// halves plus the carry out of their low halves (a carry shows as a saturating add that differs from
// the wrapping one).
inline __m128i BlendHigh16(__m128i a, __m128i b, __m128i weight_a, __m128i weight_b) {
  const __m128i low_a = _mm_mullo_epi16(a, weight_a), low_b = _mm_mullo_epi16(b, weight_b);
  const __m128i high = _mm_add_epi16(_mm_mulhi_epu16(a, weight_a), _mm_mulhi_epu16(b, weight_b));
  const __m128i no_carry = _mm_cmpeq_epi16(_mm_adds_epu16(low_a, low_b), _mm_add_epi16(low_a, low_b));
  return _mm_add_epi16(_mm_add_epi16(high, _mm_set1_epi16(1)), no_carry);  // no_carry is -1 or 0
}
inline __m128i Load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void Store(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
inline __m128i WeightLanes(uint32_t w) { return _mm_set1_epi16(static_cast<int16_t>(static_cast<uint16_t>(w))); }

// Each block is loaded whole before it is stored, so c may be a or b.
int32_t MixU8Wide(const uint8_t* a, const uint8_t* b, uint8_t* c, int32_t count, uint32_t weight) {
  const __m128i wa = WeightLanes(kWeightMax - weight), wb = WeightLanes(weight), zero = _mm_setzero_si128();
  const int32_t blocks = count / 16;
  for (int32_t i = 0; i < blocks; ++i) {
    const __m128i va = Load(a + 16 * i), vb = Load(b + 16 * i);
    const __m128i low = BlendHigh16(_mm_unpacklo_epi8(va, zero), _mm_unpacklo_epi8(vb, zero), wa, wb);
    const __m128i high = BlendHigh16(_mm_unpackhi_epi8(va, zero), _mm_unpackhi_epi8(vb, zero), wa, wb);
    Store(c + 16 * i, _mm_packus_epi16(low, high));
  }
  return blocks * 16;
}
int32_t MixU16Wide(const uint8_t* a, const uint8_t* b, uint8_t* c, int32_t count, uint32_t weight) {
  const __m128i wa = WeightLanes(kWeightMax - weight), wb = WeightLanes(weight);
  const int32_t blocks = count / 8;
  for (int32_t i = 0; i < blocks; ++i) Store(c + 16 * i, BlendHigh16(Load(a + 16 * i), Load(b + 16 * i), wa, wb));
  return blocks * 8;
}
int32_t MixF32Wide(const uint8_t* a, const uint8_t* b, uint8_t* c, int32_t count, float factor) {
  const __m128 f = _mm_set1_ps(factor);
  const int32_t blocks = count / 4;
  for (int32_t i = 0; i < blocks; ++i) {
    const __m128 va = _mm_loadu_ps(reinterpret_cast<const float*>(a + 16 * i));
    const __m128 vb = _mm_loadu_ps(reinterpret_cast<const float*>(b + 16 * i));
    _mm_storeu_ps(reinterpret_cast<float*>(c + 16 * i), _mm_add_ps(va, _mm_mul_ps(_mm_sub_ps(vb, va), f)));
  }
  return blocks * 4;
}

}  // namespace
#else
namespace {
int32_t MixU8Wide(const uint8_t*, const uint8_t*, uint8_t*, int32_t, uint32_t) { return 0; }
int32_t MixU16Wide(const uint8_t*, const uint8_t*, uint8_t*, int32_t, uint32_t) { return 0; }
int32_t MixF32Wide(const uint8_t*, const uint8_t*, uint8_t*, int32_t, float) { return 0; }
}  // namespace
#endif

// The row kernels: the vector path takes the leading blocks, the plain loop (its reference) the rest.

void MixRowU8(const uint8_t* a, const uint8_t* b, uint8_t* c, int32_t count, uint32_t weight) {
  const uint32_t weight_a = kWeightMax - weight;
  for (int32_t i = MixU8Wide(a, b, c, count, weight); i < count; ++i)
    c[i] = static_cast<uint8_t>(Blend(a[i], b[i], weight_a, weight));
}

void MixRowU16(const uint8_t* a, const uint8_t* b, uint8_t* c, int32_t count, uint32_t weight) {
  const uint32_t weight_a = kWeightMax - weight;
  for (int32_t i = MixU16Wide(a, b, c, count, weight); i < count; ++i)
    Store16(c + 2 * i, static_cast<uint16_t>(Blend(Load16(a + 2 * i), Load16(b + 2 * i), weight_a, weight)));
}

void MixRowF32(const uint8_t* a, const uint8_t* b, uint8_t* c, int32_t count, uint32_t weight) {
  if (weight == static_cast<uint32_t>(kWeightMax)) {
    // The full weight gives B exactly; a + (b - a) x 1 can differ from b in the last bit.
    std::memmove(c, b, static_cast<size_t>(count) * 4);
    return;
  }
  const float factor = static_cast<float>(weight) * 1.5259022e-5f;  // weight / 65535
  for (int32_t i = MixF32Wide(a, b, c, count, factor); i < count; ++i) {
    const float va = LoadF32(a + 4 * i);
    StoreF32(c + 4 * i, va + (LoadF32(b + 4 * i) - va) * factor);
  }
}

namespace {

using RowMixer = void (*)(const uint8_t*, const uint8_t*, uint8_t*, int32_t, uint32_t);

struct Layout {
  RowMixer mixer;          // null: format not mixed
  int32_t valuesPerPixel;  // bytes, u16 channels or f32 channels
  int32_t valueBytes;
};

Layout LayoutOf(uint32_t format) {
  switch (format) {
    case VENDRIX_PIXFMT_BGRA8:
    case VENDRIX_PIXFMT_ARGB8:
    case VENDRIX_PIXFMT_VUYA8:
    case VENDRIX_PIXFMT_AYUV8:
      return {MixRowU8, 4, 1};
    case VENDRIX_PIXFMT_BGR8:
      return {MixRowU8, 3, 1};
    case VENDRIX_PIXFMT_UYVY8:
    case VENDRIX_PIXFMT_YUYV8:
      return {MixRowU8, 2, 1};
    case VENDRIX_PIXFMT_BGRA16:
    case VENDRIX_PIXFMT_ARGB16:
    case VENDRIX_PIXFMT_AYUV16:
    case VENDRIX_PIXFMT_VUYA16:
      return {MixRowU16, 4, 2};
    case VENDRIX_PIXFMT_BGRA32F:
    case VENDRIX_PIXFMT_ARGB32F:
    case VENDRIX_PIXFMT_AYUV32F:
    case VENDRIX_PIXFMT_VUYA32F:
      return {MixRowF32, 4, 4};
    default:
      return {nullptr, 0, 0};
  }
}

}  // namespace
}  // namespace mix

bool MixImages(const MixRecord& r) {
  if (r.tag != VENDRIX_IMAGE_TAG || r.mixMode != VENDRIX_MIX_LINEAR) return false;
  if (r.aFormat != r.b.format || r.aFormat != r.c.format) return false;
  if (r.aFieldMode != r.b.fieldMode || r.aFieldMode != r.c.fieldMode) return false;
  const mix::Layout layout = mix::LayoutOf(r.aFormat);
  if (!layout.mixer) return false;

  Image a, b, c;
  if (!SelectField(r.aFormat, r.aFieldMode, r.aWidth, r.aHeight, r.aPitch, r.aBuffer, &a) || !SelectField(r.b, &b) ||
      !SelectField(r.c, &c))
    return false;
  const int32_t width = std::min({a.width, b.width, c.width});
  const int32_t height = std::min({a.height, b.height, c.height});
  const int32_t values = width * layout.valuesPerPixel;
  const int64_t row_bytes = int64_t{values} * layout.valueBytes;
  if (Magnitude(a.pitch) < row_bytes || Magnitude(b.pitch) < row_bytes || Magnitude(c.pitch) < row_bytes) return false;

  const uint32_t weight = static_cast<uint32_t>(std::clamp(r.weight, 0, mix::kWeightMax));
  for (int32_t y = 0; y < height; ++y) layout.mixer(a.Row(y), b.Row(y), c.Row(y), values, weight);
  return true;
}

}  // namespace vendrix::imaging
