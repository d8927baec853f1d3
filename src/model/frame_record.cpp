#include "model/frame_record.h"

#include <cmath>

namespace vendrix::model {
namespace {

// Calls fn(slot) for every slot of the motion vector: 0..9 and 41..104.
template <class Fn>
inline void ForMotionVector(Fn&& fn) {
  for (int i = 0; i < 10; ++i) fn(i);
  for (int i = kSlotBands; i < kRecordSlots; ++i) fn(i);
}

constexpr int kPairs[3] = {kSlotRotSin, kSlotTilt1Sin, kSlotTilt2Sin};
constexpr int kAdditive[3] = {kSlotZoom, kSlotTiltA, kSlotTiltB};

// Rotates the (sine, cosine) pair at `slot` by the angle whose sine and cosine are (sb, cb).
inline void RotatePair(FrameRecord& a, int slot, float sb, float cb) {
  const float sa = a.f(slot), ca = a.f(slot + 1);
  a.f(slot) = sb * ca + cb * sa;
  a.f(slot + 1) = cb * ca - sb * sa;
}

}  // namespace

void RecordReset(FrameRecord& r) {
  for (int i = 0; i <= 10; ++i) r.s[i].u = 0;
  r.s[kSlotCount].u = 0;
  r.s[kSlotSpan].u = 0;
  r.f(kSlotRotSin) = 0.0f;
  r.f(kSlotRotCos) = 1.0f;
  r.f(kSlotTilt1Sin) = 0.0f;
  r.f(kSlotTilt1Cos) = 1.0f;
  r.f(kSlotTilt2Sin) = 0.0f;
  r.f(kSlotTilt2Cos) = 1.0f;
  r.f(kSlotZoom) = 0.0f;
  r.f(kSlotTiltA) = 0.0f;
  r.f(kSlotTiltB) = 0.0f;
  for (int i = kSlotBands; i < kRecordSlots; ++i) r.f(i) = 0.0f;
}

void RecordAdd(FrameRecord& a, const FrameRecord& b) {
  ForMotionVector([&](int i) { a.f(i) += b.f(i); });
}

void RecordSubtract(FrameRecord& a, const FrameRecord& b) {
  ForMotionVector([&](int i) { a.f(i) -= b.f(i); });
}

void RecordAddScaled(FrameRecord& a, const FrameRecord& b, float w) {
  ForMotionVector([&](int i) { a.f(i) += w * b.f(i); });
}

void RecordScale(FrameRecord& a, float w) {
  ForMotionVector([&](int i) { a.f(i) *= w; });
}

void RecordInterpolate(FrameRecord& out, const FrameRecord& a, const FrameRecord& b, float u) {
  ForMotionVector([&](int i) { out.f(i) = a.f(i) + (b.f(i) - a.f(i)) * u; });
}

void RecordCompose(FrameRecord& a, const FrameRecord& b) {
  a.f(kSlotTx) += b.f(kSlotTx);
  a.f(kSlotTy) += b.f(kSlotTy);
  for (int slot : kAdditive) a.f(slot) += b.f(slot);
  for (int slot : kPairs) RotatePair(a, slot, b.f(slot), b.f(slot + 1));
}

void RecordComposeScaled(FrameRecord& a, const FrameRecord& b, float w) {
  a.f(kSlotTx) += w * b.f(kSlotTx);
  a.f(kSlotTy) += w * b.f(kSlotTy);
  for (int slot : kAdditive) a.f(slot) += w * b.f(slot);
  for (int slot : kPairs) {
    const float angle = w * std::atan2(b.f(slot), b.f(slot + 1));
    RotatePair(a, slot, std::sin(angle), std::cos(angle));
  }
}

void RecordDifference(FrameRecord& a, const FrameRecord& b) {
  a.f(kSlotTx) -= b.f(kSlotTx);
  a.f(kSlotTy) -= b.f(kSlotTy);
  for (int slot : kAdditive) a.f(slot) -= b.f(slot);
  // Rotating by minus an angle: same cosine, negated sine.
  for (int slot : kPairs) RotatePair(a, slot, -b.f(slot), b.f(slot + 1));
}

void RecordBlend(FrameRecord& a, const FrameRecord& b) {
  auto third = [](float x, float y) { return (2.0f * x + y) / 3.0f; };
  a.f(kSlotTx) = third(a.f(kSlotTx), b.f(kSlotTx));
  a.f(kSlotTy) = third(a.f(kSlotTy), b.f(kSlotTy));
  for (int slot : kAdditive) a.f(slot) = third(a.f(slot), b.f(slot));
  for (int slot : kPairs) {
    const float s = third(a.f(slot), b.f(slot));
    a.f(slot) = s;
    a.f(slot + 1) = std::sqrt(std::fmax(0.0f, 1.0f - s * s));
  }
}

void RecordSetIdentityMatrix(FrameRecord& r) {
  for (int i = 0; i < 16; ++i) r.f(kSlotMatrix + i) = (i % 5 == 0) ? 1.0f : 0.0f;
}

}  // namespace vendrix::model
