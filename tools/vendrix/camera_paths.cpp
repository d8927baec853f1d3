#include <cmath>
#include <cstring>

#include "motion.h"

namespace vendrix::cli {

namespace {

// The similarity a correction applies to the analysis frame, read from its four corner displacements:
// translation of the centre, rotation and scale of the top and left edges.
PathSample CorrectionOf(const MotionCompArrayBRecord& r, double w, double h) {
  auto fx = [](int32_t v) { return double(v) / VENDRIX_FX_ONE; };
  PathSample c;
  c.x = (fx(r.corner[0].x) + fx(r.corner[1].x) + fx(r.corner[2].x) + fx(r.corner[3].x)) / 4;
  c.y = (fx(r.corner[0].y) + fx(r.corner[1].y) + fx(r.corner[2].y) + fx(r.corner[3].y)) / 4;
  const double top_dx = w + fx(r.corner[1].x) - fx(r.corner[0].x), top_dy = fx(r.corner[1].y) - fx(r.corner[0].y);
  const double left_dx = fx(r.corner[3].x) - fx(r.corner[0].x), left_dy = h + fx(r.corner[3].y) - fx(r.corner[0].y);
  c.rotation = (std::atan2(top_dy, top_dx) - std::atan2(left_dx, left_dy)) / 2;
  c.zoom = (std::hypot(top_dx, top_dy) / w + std::hypot(left_dx, left_dy) / h) / 2;
  return c;
}

}  // namespace

void ComputeCameraPaths(GlobalMotionPath* path, Motion& motion) {
  MotionCompHeader head;
  std::memcpy(&head, motion.comp.data(), sizeof head);
  const double w = head.width > 0 ? head.width : 1, h = head.height > 0 ? head.height : 1;
  // Analysis pixels to video pixels.
  const double sx = motion.video_width / w, sy = motion.video_height / h;
  motion.camera.assign(size_t(motion.frames), PathSample{});
  motion.smoothed.assign(size_t(motion.frames), PathSample{});
  PathSample at;
  for (int64_t i = 0; i < motion.frames; ++i) {
    float t[3] = {0, 0, 0}, r[3] = {0, 0, 0};
    if (path && i > 0 && GetAnalysisFrameTranslation(path, 0, int32_t(i), t) == 1 &&
        GetAnalysisFrameRotation(path, 0, int32_t(i), r) == 1 && std::isfinite(t[0]) && std::isfinite(t[1])) {
      // The analysis measures how the content moved; the camera moved the opposite way.
      at.x -= t[0] * sx;
      at.y -= t[1] * sy;
      at.rotation -= std::isfinite(r[2]) ? r[2] : 0.0;
      // The zoom term is the scale change expressed in working pixels: 0.9 x height per unit of zoom.
      at.zoom *= std::isfinite(t[2]) ? 1.0 + t[2] / (0.9 * h) : 1.0;
    }
    motion.camera[size_t(i)] = at;
    MotionCompArrayBRecord rec;
    std::memcpy(&rec,
                reinterpret_cast<const uint8_t*>(motion.comp.data()) + VENDRIX_COMP_B_OFFSET_RECORDS +
                    size_t(i) * VENDRIX_COMP_B_RECORD_SIZE,
                sizeof rec);
    const PathSample c = CorrectionOf(rec, w, h);
    motion.smoothed[size_t(i)] = {at.x - c.x * sx, at.y - c.y * sy, at.rotation - c.rotation, at.zoom * c.zoom};
  }
}

}  // namespace vendrix::cli
