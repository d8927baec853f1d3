// Completing a texture-map definition for one frame from a compensation array and grading it.
#include "texmap/texmap_def.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vendrix::texmap {
namespace {

constexpr int32_t kOne = 65536;
constexpr int32_t kModeFit = VENDRIX_FRAMING_FIT, kModeCrop = VENDRIX_FRAMING_CROP_BOUNDS, kModeFollow = VENDRIX_FRAMING_FOLLOW,
                  kModeFill = VENDRIX_FRAMING_FILL, kModeFit4 = VENDRIX_FRAMING_FIT_4, kModeZoom = VENDRIX_FRAMING_ZOOM_COVER,
                  kModeBorder = VENDRIX_FRAMING_BORDER_LIMIT;
constexpr uint32_t kOutSplitLeft = VENDRIX_OUTPUT_SPLIT_LEFT, kOutSplitTop = VENDRIX_OUTPUT_SPLIT_TOP,
                   kOutGrid = VENDRIX_OUTPUT_GRID, kOutBorderMark = VENDRIX_OUTPUT_BORDER_MARK,
                   kOutEdgeExtend = VENDRIX_OUTPUT_EDGE_EXTEND;

// Arithmetic of the builder is 32-bit; products are formed in 64 bits and saturated, so that absurd
// bounds or sizes give a clamped warp instead of a wrapped one.
inline int32_t Sat(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

// The parts of a definition the builder writes, for both record versions.
struct View {
  uint32_t* mapFlags;
  VendrixFxBox* r;
  VendrixFxPoint* c;       // four corners
  VendrixFxPoint* bands;   // 32 bands (version D) or null
  const VendrixFxRect* out;
};

struct Array {
  const MotionCompHeader* head;
  const PathSettings* settings;
  const uint8_t* records;
  int32_t recordSize;
};

struct Framing {
  int32_t s;      // FramingAmount, 0..65536
  int32_t mode;   // FramingMode
  uint32_t output;
};

Framing FramingOf(const PathSettings& p) {
  return {std::clamp(p.FramingAmount, 0, kOne), p.FramingMode, p.OutputFlags};
}

// The clip moves more than a third of the frame.
bool RangeTest(const MotionCompHeader& h) {
  const int64_t W = int64_t{h.width} * kOne, H = int64_t{h.height} * kOne;
  const int64_t ex = (std::min<int64_t>(h.boundsMaxX, W) - std::max<int64_t>(h.boundsMinX, -W)) >> 16;
  const int64_t ey = (std::min<int64_t>(h.boundsMaxY, H) - std::max<int64_t>(h.boundsMinY, -H)) >> 16;
  return std::llabs(ex) > h.width / 3 || std::llabs(ey) > h.height / 3;
}

int32_t RecordIndex(const MotionCompHeader& h, int32_t frame, int32_t field) {
  int64_t i = std::max(frame, 0);
  if (h.interlaced & 1) i = 2 * i + (field > 0 ? 1 : 0);
  if (i >= h.count) i = int64_t{h.count} - 1;
  return static_cast<int32_t>(i);
}

// Scales the warped frame about the analysis frame's centre so that it covers the frame over the
// clip's whole range of movement (limited to zmax when a limit is given).
void FitZoom(const MotionCompHeader& h, float zmax, VendrixFxPoint* c, VendrixFxPoint* bands) {
  const int64_t W = int64_t{h.width} * kOne, H = int64_t{h.height} * kOne;
  const int64_t uw = std::max(W / 4, int64_t{h.boundsMinX} - h.boundsMaxX + W);
  const int64_t uh = std::max(H / 4, int64_t{h.boundsMinY} - h.boundsMaxY + H);
  const float f = std::max(static_cast<float>(W) / static_cast<float>(uw), static_cast<float>(H) / static_cast<float>(uh));
  const int64_t cx = (int64_t{h.boundsMinX} + h.boundsMaxX) / 2, cy = (int64_t{h.boundsMinY} + h.boundsMaxY) / 2;
  const int64_t ox[4] = {cx, cx + W, cx + W, cx}, oy[4] = {cy, cy, cy + H, cy + H};
  const float z = (zmax > 1.0f && f >= zmax) ? zmax : f;
  auto scale = [z](int64_t v, int64_t half) {
    return Sat(static_cast<int64_t>(std::trunc(static_cast<float>(v - half) * z)) + half);
  };
  for (int k = 0; k < 4; ++k) {
    c[k].x = scale(c[k].x + ox[k], W / 2);
    c[k].y = scale(c[k].y + oy[k], H / 2);
  }
  c[1].x = Sat(int64_t{c[1].x} - W);
  c[2].x = Sat(int64_t{c[2].x} - W);
  c[2].y = Sat(int64_t{c[2].y} - H);
  c[3].y = Sat(int64_t{c[3].y} - H);
  if (bands)
    for (int k = 0; k < VENDRIX_TEXMAP_BAND_COUNT; ++k) {
      bands[k].x = Sat(static_cast<int64_t>(std::trunc(static_cast<float>(bands[k].x) * z)));
      bands[k].y = Sat(static_cast<int64_t>(std::trunc(static_cast<float>(bands[k].y) * z)));
    }
}

int32_t Quality(const Array& a, const View& v) {
  const Framing fr = FramingOf(*a.settings);
  if (fr.mode == kModeBorder || fr.mode == kModeFill) return 0;
  if (fr.mode == kModeFollow && !(fr.output & kOutEdgeExtend) && RangeTest(*a.head)) return 0;
  const int64_t X = v.out->x, Y = v.out->y, W = v.out->w, H = v.out->h;
  const VendrixFxBox& r = *v.r;
  const VendrixFxPoint* c = v.c;
  if (int64_t{r.x1} - r.x0 < W / 2 || int64_t{r.y1} - r.y0 < H / 2) return VENDRIX_TEXMAP_QUALITY_SMALL_VISIBLE;
  const int64_t L = X + std::min(c[0].x, c[3].x), R = X + W + std::max(c[1].x, c[2].x);
  const int64_t T = Y + std::min(c[0].y, c[1].y), B = Y + H + std::max(c[2].y, c[3].y);
  if (R - L > 4 * W || B - T > 4 * H) return VENDRIX_TEXMAP_QUALITY_TOO_LARGE;
  if (R < X + W - W / 2 || L > X + W / 2 || B < Y + H - H / 2 || T > Y + H / 2) return VENDRIX_TEXMAP_QUALITY_OFF_CENTRE;
  return 0;
}

// The zoom limit of the zoom-to-cover mode, about 1.1 to 4.0 over the framing amount; 0 in the other
// modes. An amount at the very top of its range turns the modes that move toward the fit into the fit.
float ZoomLimit(Framing& fr) {
  if (fr.mode != kModeFit && fr.mode != kModeZoom && fr.s >= 65534) fr.mode = kModeFit;
  return fr.mode == kModeZoom ? static_cast<float>(fr.s) * 4.4251166e-5f + 1.1f : 0.0f;
}

// Split view, grid and (array B in the border-limit mode) the frame border coloured by whether the
// frame's correction reached the border limits.
void SetOutputFlags(const Framing& fr, bool version_a, const uint8_t* rec, uint32_t& flags) {
  if (fr.output & kOutSplitLeft)
    flags |= VENDRIX_MAP_SPLIT_LEFT;
  else if (fr.output & kOutSplitTop)
    flags |= VENDRIX_MAP_SPLIT_TOP;
  if (fr.output & kOutGrid) flags |= VENDRIX_MAP_GRID;
  if (version_a && (fr.output & kOutBorderMark) && fr.mode == kModeBorder) {
    uint32_t border = 0;
    if (rec) std::memcpy(&border, rec + VENDRIX_COMP_B_RECORD_OFFSET_BORDER, 4);
    flags |= (border & 1) ? VENDRIX_MAP_BORDER_SET : VENDRIX_MAP_BORDER_CLEAR;
  }
}

// The frame's corner displacements and (array D) band displacements, 8.8 widened to 16.16; zero when
// the array holds no record.
void LoadDisplacements(const uint8_t* rec, const View& v) {
  for (int k = 0; k < 4; ++k) {
    v.c[k] = {0, 0};
    if (rec) {
      std::memcpy(&v.c[k].x, rec + 8 * k, 4);
      std::memcpy(&v.c[k].y, rec + 8 * k + 4, 4);
    }
  }
  if (v.bands)
    for (int k = 0; k < VENDRIX_TEXMAP_BAND_COUNT; ++k) {
      int16_t bx = 0, by = 0;
      if (rec) {
        std::memcpy(&bx, rec + VENDRIX_COMP_D_RECORD_OFFSET_BANDS + 4 * k, 2);
        std::memcpy(&by, rec + VENDRIX_COMP_D_RECORD_OFFSET_BANDS + 4 * k + 2, 2);
      }
      v.bands[k] = {int32_t{bx} * 256, int32_t{by} * 256};
    }
}

// What the fit mode would produce: the corners and bands zoomed to cover the clip's range of movement,
// the full visible region and the fill flags.
struct Fitted {
  VendrixFxPoint c[4];
  VendrixFxPoint bands[VENDRIX_TEXMAP_BAND_COUNT];
  VendrixFxBox r;
  uint32_t flags;
};

// Crop mode: the visible region shrinks by the clip's bounds (at most a quarter of the output each
// way, scaled to output pixels) and the corners move by the bounds' centre.
void CropToClipBounds(const MotionCompHeader& h, int64_t ow, int64_t oh, int64_t sx8, int64_t sy8, const View& v) {
  const int64_t a0 = std::max(-(ow / 4), int64_t{h.boundsMinX}), b0 = std::max(-(oh / 4), int64_t{h.boundsMinY});
  const int64_t a1 = std::min(int64_t{h.boundsMaxX}, ow / 4), b1 = std::min(int64_t{h.boundsMaxY}, oh / 4);
  const int64_t cx = (a0 + a1) / 2, cy = (b0 + b1) / 2;
  VendrixFxBox& r = *v.r;
  *v.mapFlags |= VENDRIX_MAP_FILL | VENDRIX_MAP_FILL_MARGINS;
  r.x0 = Sat(r.x0 - (a0 - cx) * sx8 / 8);
  r.y0 = Sat(r.y0 - (b0 - cy) * sy8 / 8);
  r.x1 = Sat(r.x1 - (a1 - cx) * sx8 / 8);
  r.y1 = Sat(r.y1 - (b1 - cy) * sy8 / 8);
  for (int k = 0; k < 4; ++k) v.c[k] = {Sat(v.c[k].x + cx), Sat(v.c[k].y + cy)};
}

// Every mode but the fit moves the corners and the visible region toward the fitted ones by the
// framing amount (0 keeps them, 65536 reaches the fit).
void BlendTowardFit(const Fitted& fit, int32_t amount, const View& v) {
  auto blend = [&](int32_t val, int32_t to) { return Sat(val + int64_t{(to - int64_t{val}) / 256} * (amount / 256)); };
  for (int k = 0; k < 4; ++k) v.c[k] = {blend(v.c[k].x, fit.c[k].x), blend(v.c[k].y, fit.c[k].y)};
  VendrixFxBox& r = *v.r;
  r = {blend(r.x0, fit.r.x0), blend(r.y0, fit.r.y0), blend(r.x1, fit.r.x1), blend(r.y1, fit.r.y1)};
}

// Analysis pixels to output pixels, in eighths (the visible region is already in output pixels).
void ScaleToOutput(int64_t sx8, int64_t sy8, const View& v) {
  for (int k = 0; k < 4; ++k) v.c[k] = {Sat(int64_t{v.c[k].x} * sx8 / 8), Sat(int64_t{v.c[k].y} * sy8 / 8)};
  if (v.bands)
    for (int k = 0; k < VENDRIX_TEXMAP_BAND_COUNT; ++k)
      v.bands[k] = {Sat(int64_t{v.bands[k].x} * sx8 / 8), Sat(int64_t{v.bands[k].y} * sy8 / 8)};
}

// Follow mode: the visible region is what the moved frame still covers, one pixel in on the right and
// bottom so the filled margin hides the rasteriser's last partial column and row.
void VisibleRegionOfFollow(const View& v) {
  const VendrixFxPoint* c = v.c;
  VendrixFxBox& r = *v.r;
  *v.mapFlags |= VENDRIX_MAP_FILL | VENDRIX_MAP_FILL_MARGINS;
  r.x0 = std::max(c[0].x, c[3].x);
  r.y0 = std::max(c[0].y, c[1].y);
  if (const int32_t m = std::min(c[1].x, c[2].x); m < 0) r.x1 = Sat(int64_t{r.x1} + m);
  if (const int32_t m = std::min(c[2].y, c[3].y); m < 0) r.y1 = Sat(int64_t{r.y1} + m);
  r.x1 = Sat(int64_t{r.x1} - kOne);
  r.y1 = Sat(int64_t{r.y1} - kOne);
}

// Zoom-to-cover mode: after the limited zoom, shift the frame so that it covers the visible region
// where it can; where both sides are uncovered the larger gap wins.
void ShiftToCover(int64_t ow, int64_t oh, const View& v) {
  // Start values meaning "no uncovered side": the left and top gaps are negative when found, the
  // right and bottom ones positive, so these never win the comparison below.
  constexpr int64_t kNoGap = 16000;
  VendrixFxPoint* c = v.c;
  const VendrixFxBox& r = *v.r;
  int64_t nx = kNoGap, ny = kNoGap, px = -kNoGap, py = -kNoGap;
  for (int k : {0, 3})
    if (c[k].x > r.x0) nx = std::min<int64_t>(nx, int64_t{r.x0} - c[k].x);
  for (int k : {0, 1})
    if (c[k].y > r.y0) ny = std::min<int64_t>(ny, int64_t{r.y0} - c[k].y);
  for (int k : {1, 2})
    if (c[k].x + ow < r.x1) px = std::max<int64_t>(px, int64_t{r.x1} - c[k].x - ow);
  for (int k : {2, 3})
    if (c[k].y + oh < r.y1) py = std::max<int64_t>(py, int64_t{r.y1} - c[k].y - oh);
  const int64_t dx = -nx > std::max<int64_t>(px, 0) ? nx : std::max<int64_t>(px, 0);
  const int64_t dy = -ny > std::max<int64_t>(py, 0) ? ny : std::max<int64_t>(py, 0);
  for (int k = 0; k < 4; ++k) c[k] = {Sat(c[k].x + dx), Sat(c[k].y + dy)};
}

// Completes the record behind `v` for one frame of the array at width x height output pixels.
// `version_a` marks array B (border flags instead of band displacements).
void Complete(const Array& a, const View& v, bool version_a, int32_t frame, int32_t field, int32_t width,
              int32_t height) {
  const MotionCompHeader& h = *a.head;
  Framing fr = FramingOf(*a.settings);
  const int64_t ow = int64_t{width} * kOne, oh = int64_t{height} * kOne;
  const float zmax = ZoomLimit(fr);
  const int32_t i = RecordIndex(h, frame, field);
  const uint8_t* rec = i >= 0 ? a.records + int64_t{i} * a.recordSize : nullptr;  // none in an empty array
  *v.r = {0, 0, Sat(ow), Sat(oh)};
  SetOutputFlags(fr, version_a, rec, *v.mapFlags);
  // Output pixels per analysis pixel, in eighths.
  const int64_t sx8 = int64_t{width} * 8 / h.width, sy8 = int64_t{height} * 8 / h.height;
  LoadDisplacements(rec, v);

  Fitted fit;
  std::memcpy(fit.c, v.c, sizeof(fit.c));
  if (v.bands) std::memcpy(fit.bands, v.bands, sizeof(fit.bands));
  FitZoom(h, zmax, fit.c, v.bands ? fit.bands : nullptr);
  fit.r = *v.r;
  fit.flags = *v.mapFlags;

  // A clip that moves more than a third of the frame cannot be followed: fill instead.
  if (fr.mode == kModeFollow && !(fr.output & kOutEdgeExtend) && RangeTest(h)) fr.mode = kModeFill;
  switch (fr.mode) {
    case kModeCrop:
      CropToClipBounds(h, ow, oh, sx8, sy8, v);
      break;
    case kModeFollow:
      *v.mapFlags |= VENDRIX_MAP_FILL;
      break;
    case kModeFill:
      *v.mapFlags = (*v.mapFlags & ~VENDRIX_MAP_EDGE_EXTEND) | VENDRIX_MAP_FILL;
      v.r->x1 = Sat((int64_t{width} - 2) * kOne);
      v.r->y1 = Sat((int64_t{height} - 2) * kOne);
      break;
    case kModeFit:
    case kModeFit4:
    case kModeZoom:
    case kModeBorder:
      std::memcpy(v.c, fit.c, sizeof(fit.c));
      if (v.bands) std::memcpy(v.bands, fit.bands, sizeof(fit.bands));
      *v.r = fit.r;
      *v.mapFlags = fit.flags | VENDRIX_MAP_FILL | VENDRIX_MAP_FILL_MARGINS;
      break;
    default:
      break;
  }
  if (fr.mode != kModeFit) BlendTowardFit(fit, fr.s, v);
  ScaleToOutput(sx8, sy8, v);
  if (fr.mode == kModeFollow)
    VisibleRegionOfFollow(v);
  else if (fr.mode == kModeZoom)
    ShiftToCover(ow, oh, v);
  if (fr.output & kOutEdgeExtend)
    *v.mapFlags = (*v.mapFlags & ~(VENDRIX_MAP_FILL | VENDRIX_MAP_FILL_MARGINS)) | VENDRIX_MAP_EDGE_EXTEND;
  VendrixFxBox& r = *v.r;
  r.x0 = std::max(r.x0, 0);
  r.y0 = std::max(r.y0, 0);
  r.x1 = Sat(std::min<int64_t>(r.x1, ow));
  r.y1 = Sat(std::min<int64_t>(r.y1, oh));
}

Array ArrayOf(const uint32_t* comp, int32_t records_offset, int32_t record_size) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(comp);
  return {reinterpret_cast<const MotionCompHeader*>(bytes),
          reinterpret_cast<const PathSettings*>(bytes + VENDRIX_COMP_OFFSET_SETTINGS), bytes + records_offset,
          record_size};
}

bool Usable(const Array& a) { return a.head->width > 0 && a.head->height > 0; }

}  // namespace

int32_t DefineTexMapA(TexMapDefA* def, const uint32_t* comp_b, int32_t skip_compute, int32_t frame, int32_t field,
                      int32_t width, int32_t height) {
  if (!def || !comp_b || def->version != VENDRIX_TEXMAP_A_VERSION || width <= 0 || height <= 0) return 0;
  const Array a = ArrayOf(comp_b, VENDRIX_COMP_B_OFFSET_RECORDS, VENDRIX_COMP_B_RECORD_SIZE);
  if (!Usable(a)) return 0;
  const View v{&def->mapFlags, &def->visibleRect, def->cornerShift, nullptr, &def->outRect};
  if (!skip_compute) Complete(a, v, true, frame, field, width, height);
  return Quality(a, v);
}

int32_t DefineTexMapD(TexMapDefD* def, const uint32_t* comp_d, int32_t frame, int32_t field, int32_t width,
                      int32_t height) {
  if (!def || !comp_d || def->version != VENDRIX_TEXMAP_D_VERSION) return 0;
  const Array a = ArrayOf(comp_d, VENDRIX_COMP_D_OFFSET_RECORDS, VENDRIX_COMP_D_RECORD_SIZE);
  // The builder divides by the analysis size and scales to the output size: refuse what it cannot use,
  // as the compact version does.
  if (!Usable(a) || width <= 0 || height <= 0) return 0;
  const View v{&def->mapFlags, &def->visibleRect, def->cornerShift, def->bandShift, &def->outRect};
  Complete(a, v, false, frame, field, width, height);
  return Quality(a, v);
}

}  // namespace vendrix::texmap
