#include "finishing/compensation.h"

#include <cmath>
#include <cstring>

#include "model/fixed_point.h"
#include "vendrix/vendrix.h"

namespace vendrix::finishing {
namespace {

constexpr uint32_t kHeaderMagic = 0x12345678u;
constexpr int kCornerSlots = 8;

void Put32(uint8_t* base, int64_t offset, uint32_t v) { std::memcpy(base + offset, &v, 4); }
void PutI32(uint8_t* base, int64_t offset, int32_t v) { std::memcpy(base + offset, &v, 4); }

// The header fields both arrays share (offsets 4..40).
void WriteHeader(const GlobalMotionPath* path, uint8_t* block) {
  Put32(block, 4, kHeaderMagic);
  PutI32(block, 8, model::PathCapacity(path));
  PutI32(block, 12, path->width);
  PutI32(block, 16, path->height);
  Put32(block, 20, path->fieldMode);
  PutI32(block, 24, model::ToFixed16(path->boundsMin[0]));
  PutI32(block, 28, model::ToFixed16(path->boundsMin[1]));
  PutI32(block, 32, model::ToFixed16(path->boundsMax[0]));
  PutI32(block, 36, model::ToFixed16(path->boundsMax[1]));
  Put32(block, 40, (path->flags & kPathInterlaced) ? 1u : 0u);
}

// The copy both arrays share: tag check, size probe, exact size, header, then per entry the corner
// displacements (16.16) and whatever the format adds behind them (`tail(record, k)`).
template <class Tail>
uint32_t CopyArray(const GlobalMotionPath* path, uint32_t* block, int32_t size, uint32_t tag, Tail tail) {
  if (!path || !block || block[0] != tag) return 0;
  if (size == 0) return 1;  // a probe for the supported format
  const bool b = tag == VENDRIX_COMP_B_TAG;
  const int32_t n = model::PathCapacity(path);
  if (int64_t{size} != (b ? VENDRIX_COMP_B_SIZE(n) : VENDRIX_COMP_D_SIZE(n))) return 0;
  auto* bytes = reinterpret_cast<uint8_t*>(block);
  WriteHeader(path, bytes);
  const int64_t first = b ? VENDRIX_COMP_B_OFFSET_RECORDS : VENDRIX_COMP_D_OFFSET_RECORDS;
  const int64_t stride = b ? VENDRIX_COMP_B_RECORD_SIZE : VENDRIX_COMP_D_RECORD_SIZE;
  for (int32_t i = 0; i < n; ++i) {
    model::FrameRecord k;
    FrameCompensation(path, i, k);
    float d[kCornerSlots];
    CornerDisplacements(k, d);
    uint8_t* rec = bytes + first + int64_t{i} * stride;
    for (int s = 0; s < kCornerSlots; ++s) PutI32(rec, 4 * s, model::ToFixed16(d[s]));
    tail(rec, k);
  }
  return 1;
}

}  // namespace

void FrameCompensation(const GlobalMotionPath* path, int32_t i, model::FrameRecord& k) {
  k.Clear();
  if (!path || !path->integrated || !path->smoothed || i < 0 || i >= path->smoothed->count ||
      i >= path->integrated->count)
    return;
  const model::FrameRecord& smoothed = path->smoothed->records[i];
  if (path->modelParams.modelKind >= model::kModelCamera) {
    k = smoothed;
    for (int s = model::kSlotTx; s < model::kSlotSpread; ++s) k.f(s) = -k.f(s);  // translation and corners
    return;
  }
  k = path->integrated->records[i];
  model::RecordSubtract(k, smoothed);
  // The translation is scaled by the frame's horizontal scale: the width the corner offsets give the
  // frame over its nominal width. A path never scanned has width 0 and no compensation at all.
  const double w = path->width;
  if (!(w > 0.0)) {
    k.Clear();
    return;
  }
  // Corner offsets, (x, y) per corner: 0 top-left, 1 top-right, 2 bottom-right, 3 bottom-left.
  auto cx = [&k](int c) { return k.f(model::kSlotCorners + 2 * c); };
  auto cy = [&k](int c) { return k.f(model::kSlotCorners + 2 * c + 1); };
  const double ex = w + ((cx(0) + cx(3)) - (cx(1) + cx(2))) / 2.0;
  const double ey = ((cy(0) + cy(3)) - (cy(1) + cy(2))) / 2.0;
  const double z = std::hypot(ex, ey) / w;
  k.f(model::kSlotTx) = static_cast<float>(k.f(model::kSlotTx) * z);
  k.f(model::kSlotTy) = static_cast<float>(k.f(model::kSlotTy) * z);
}

void CornerDisplacements(const model::FrameRecord& k, float d[8]) {
  for (int c = 0; c < 4; ++c) {
    d[2 * c] = -(k.f(model::kSlotCorners + 2 * c) + k.f(model::kSlotTx));
    d[2 * c + 1] = -(k.f(model::kSlotCorners + 2 * c + 1) + k.f(model::kSlotTy));
  }
}

uint32_t CopyCompArrayB(const GlobalMotionPath* path, uint32_t* block, int32_t size) {
  const bool bordered = path && path->modelParams.borderFraction > 0.0f;
  return CopyArray(path, block, size, VENDRIX_COMP_B_TAG, [&](uint8_t* rec, const model::FrameRecord& k) {
    // Flagged when the correction reaches the border limits (always, before the matrix finisher has
    // computed them).
    const bool border = bordered && (std::fabs(k.f(model::kSlotTx)) > path->limitX - 1.0f ||
                                     std::fabs(k.f(model::kSlotTy)) > path->limitY - 1.0f ||
                                     std::fabs(k.f(model::kSlotRotSin)) >= path->limitAngle);
    Put32(rec, VENDRIX_COMP_B_RECORD_OFFSET_BORDER, border ? 1u : 0u);
  });
}

uint32_t CopyCompArrayD(const GlobalMotionPath* path, uint32_t* block, int32_t size) {
  return CopyArray(path, block, size, VENDRIX_COMP_D_TAG, [](uint8_t* rec, const model::FrameRecord& k) {
    for (int j = 0; j < 2 * model::kBandCount; ++j) {
      const int16_t v = model::ToFixed8(-k.f(model::kSlotBands + j));  // band pairs negated, 8.8
      std::memcpy(rec + VENDRIX_COMP_D_RECORD_OFFSET_BANDS + 2 * j, &v, 2);
    }
  });
}

}  // namespace vendrix::finishing
