#include <cmath>
#include <cstring>

#include "motion.h"

namespace vendrix::cli {

namespace {

// The similarity a correction applies to a w x h frame, read from the displacements of its four corners:
// translation of the centre, rotation and scale of the top and left edges.
PathSample CorrectionOf(const VendrixFxPoint (&corner)[VENDRIX_CORNER_COUNT], double w, double h) {
  const auto fx = &FromFixed;
  PathSample c;
  c.x = (fx(corner[0].x) + fx(corner[1].x) + fx(corner[2].x) + fx(corner[3].x)) / 4;
  c.y = (fx(corner[0].y) + fx(corner[1].y) + fx(corner[2].y) + fx(corner[3].y)) / 4;
  const double top_dx = w + fx(corner[1].x) - fx(corner[0].x), top_dy = fx(corner[1].y) - fx(corner[0].y);
  const double left_dx = fx(corner[3].x) - fx(corner[0].x), left_dy = h + fx(corner[3].y) - fx(corner[0].y);
  c.rotation = (std::atan2(top_dy, top_dx) - std::atan2(left_dx, left_dy)) / 2;
  c.zoom = (std::hypot(top_dx, top_dy) / w + std::hypot(left_dx, left_dy) / h) / 2;
  return c;
}

}  // namespace

MotionCompArrayBRecord RecordOf(const Motion& motion, int64_t i) {
  MotionCompArrayBRecord rec;
  std::memcpy(&rec,
              reinterpret_cast<const uint8_t*>(motion.comp.data()) + VENDRIX_COMP_B_OFFSET_RECORDS +
                  size_t(i) * VENDRIX_COMP_B_RECORD_SIZE,
              sizeof rec);
  return rec;
}

SideReach SideReachOf(const MotionCompArrayBRecord& record) {
  const VendrixFxPoint* c = record.corner;
  return {std::min(-FromFixed(c[0].x), -FromFixed(c[3].x)), std::max(-FromFixed(c[1].x), -FromFixed(c[2].x)),
          std::min(-FromFixed(c[0].y), -FromFixed(c[1].y)), std::max(-FromFixed(c[3].y), -FromFixed(c[2].y))};
}

void ComputeCameraPaths(GlobalMotionPath* path, Motion& motion) {
  MotionCompHeader head;
  std::memcpy(&head, motion.comp.data(), sizeof head);
  const double w = head.width > 0 ? head.width : 1, h = head.height > 0 ? head.height : 1;
  // Analysis pixels to video pixels.
  const double sx = motion.video_width / w, sy = motion.video_height / h;
  const int64_t entries = motion.entries();
  motion.camera.assign(size_t(entries), PathSample{});
  motion.smoothed.assign(size_t(entries), PathSample{});
  motion.measured.assign(size_t(entries), 1);
  PathSample at;
  for (int64_t i = 0; i < entries; ++i) {
    float t[3] = {0, 0, 0}, r[3] = {0, 0, 0};
    const bool answered = path && GetAnalysisFrameTranslation(path, 0, int32_t(i), t) == 1 &&
                          GetAnalysisFrameRotation(path, 0, int32_t(i), r) == 1;
    // An entry the analysis could not measure keeps a cleared record: every value the queries report
    // is exactly zero (a fitted record holds a rotation cosine, so its rotations are not all atan2(0, 0)
    // with a zero translation). The first frame has no reference and is not judged.
    const bool cleared = t[0] == 0 && t[1] == 0 && t[2] == 0 && r[0] == 0 && r[1] == 0 && r[2] == 0;
    if (i > 0 && (!answered || cleared || !std::isfinite(t[0]) || !std::isfinite(t[1]))) motion.measured[size_t(i)] = 0;
    if (i > 0 && motion.measured[size_t(i)]) {
      // The analysis measures how the content moved; the camera moved the opposite way.
      at.x -= t[0] * sx;
      at.y -= t[1] * sy;
      at.rotation -= std::isfinite(r[2]) ? r[2] : 0.0;
      // The zoom term is the scale change expressed in working pixels: 0.9 x height per unit of zoom.
      at.zoom *= std::isfinite(t[2]) ? 1.0 + t[2] / (0.9 * h) : 1.0;
    }
    motion.camera[size_t(i)] = at;
    const PathSample c = CorrectionOf(RecordOf(motion, i).corner, w, h);
    motion.smoothed[size_t(i)] = {at.x - c.x * sx, at.y - c.y * sy, at.rotation - c.rotation, at.zoom * c.zoom};
  }
}

std::vector<double> FramingZoom(const Motion& motion, const std::vector<uint32_t>& framed) {
  std::vector<uint32_t> comp = framed;
  MotionCompHeader head;
  std::memcpy(&head, comp.data(), sizeof head);
  const double w = head.width > 0 ? head.width : 1, h = head.height > 0 ? head.height : 1;
  const int per_frame = IsInterlaced(motion.field_order) ? 2 : 1;
  std::vector<double> zoom(size_t(motion.entries()), 1.0);
  for (int64_t i = 0; i < motion.entries(); ++i) {
    // Only the geometry is asked for: no buffers, nothing is drawn.
    TexMapDefA def{};
    def.version = VENDRIX_TEXMAP_A_VERSION;
    if (DefTexMapA(&def, comp.data(), 0, int32_t(i / per_frame), int32_t(i % per_frame), motion.video_width,
                   motion.video_height) == 0)
      continue;
    const double drawn = CorrectionOf(def.cornerShift, motion.video_width, motion.video_height).zoom;
    const double corrected = CorrectionOf(RecordOf(motion, i).corner, w, h).zoom;
    if (drawn > 0 && corrected > 0) zoom[size_t(i)] = drawn / corrected;
  }
  return zoom;
}

}  // namespace vendrix::cli
