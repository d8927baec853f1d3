// The per-entry motion record: 105 four-byte slots (420 bytes), mostly floats with a few integer slots.
//
// Slot meanings (slot n is at byte 4n):
//   0, 1      translation (x, y) of the content from the reference entry to this one, analysis pixels
//   2..9      corner offsets c0..c3 as (x, y): 0 top-left, 1 top-right, 2 bottom-right, 3 bottom-left
//   10, 11    measurement spread (multi-distance block matching); 11 is the fusion weight in the
//             integrated array
//   12        u32 match count the model was fitted on; 0 = no valid motion
//   13        u32 span: entry distance the motion was measured over (1 = consecutive)
//   14, 15    sine, cosine of the in-plane rotation
//   16..19    sine, cosine pairs of the two tilt angles (about the vertical, then the horizontal axis)
//   20        zoom term: (zoom - 1) * height * 0.9, additive under composition
//   21        rolling-shutter estimate (matrix finisher)
//   22, 23    tilt terms (perspective coefficients times the image height)
//   24        shear term (read by the finisher's shear damping)
//   25..40    4 x 4 camera matrix, row-major (identity for the non-projective models)
//   41..104   32 horizontal-band displacement pairs (x, y), top band first
//
// The motion vector on which the linear operations act is slots 0..9 plus 41..104 (74 values).
#pragma once

#include <cstdint>
#include <cstring>

namespace vendrix::model {

enum RecordSlot : int {
  kSlotTx = 0,
  kSlotTy = 1,
  kSlotCorners = 2,
  kSlotSpread = 10,
  kSlotWeight = 11,
  kSlotCount = 12,
  kSlotSpan = 13,
  kSlotRotSin = 14,
  kSlotRotCos = 15,
  kSlotTilt1Sin = 16,
  kSlotTilt1Cos = 17,
  kSlotTilt2Sin = 18,
  kSlotTilt2Cos = 19,
  kSlotZoom = 20,
  kSlotRollingShutter = 21,
  kSlotTiltA = 22,
  kSlotTiltB = 23,
  kSlotShear = 24,
  kSlotMatrix = 25,
  kSlotBands = 41,
  kRecordSlots = 105,
};
constexpr int kBandCount = 32;
constexpr int kMotionVectorSize = 74;

struct FrameRecord {
  union Slot {
    float f;
    uint32_t u;
  } s[kRecordSlots];

  float& f(int slot) { return s[slot].f; }
  float f(int slot) const { return s[slot].f; }
  uint32_t& u(int slot) { return s[slot].u; }
  uint32_t u(int slot) const { return s[slot].u; }
  uint32_t count() const { return s[kSlotCount].u; }
  uint32_t span() const { return s[kSlotSpan].u; }
  float* matrix() { return &s[kSlotMatrix].f; }
  const float* matrix() const { return &s[kSlotMatrix].f; }

  void Clear() { std::memset(this, 0, sizeof(*this)); }
};
static_assert(sizeof(FrameRecord) == 420);

// Record operations. Unless said otherwise they act on the motion vector only.
void RecordReset(FrameRecord& r);  // no motion: pairs (0, 1), zoom 0; keeps the weight and the matrix
void RecordAdd(FrameRecord& a, const FrameRecord& b);
void RecordSubtract(FrameRecord& a, const FrameRecord& b);
void RecordAddScaled(FrameRecord& a, const FrameRecord& b, float w);
void RecordScale(FrameRecord& a, float w);
void RecordInterpolate(FrameRecord& out, const FrameRecord& a, const FrameRecord& b, float u);
// Motion a followed by b: translations, zoom and tilt terms add, the three angles add.
void RecordCompose(FrameRecord& a, const FrameRecord& b);
// a followed by w times b (angles scaled by w).
void RecordComposeScaled(FrameRecord& a, const FrameRecord& b, float w);
// a followed by the inverse of b.
void RecordDifference(FrameRecord& a, const FrameRecord& b);
// Moves a one third of the way toward b (translation, zoom, tilt terms, rotation sines).
void RecordBlend(FrameRecord& a, const FrameRecord& b);

// Sets the matrix slots to the identity.
void RecordSetIdentityMatrix(FrameRecord& r);

}  // namespace vendrix::model
