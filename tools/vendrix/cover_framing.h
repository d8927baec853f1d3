// The cover framing's zoom for a whole clip.
//
// Covering every frame lets the shake's few largest excursions set the zoom of the whole clip: on
// handheld footage a handful of frames cost 7-8 % of the picture's width. The command zooms less when
// that is cheap: the rare frames that move further show a thin strip of stretched edge pixels instead,
// within a budget of the clip's output pixels.
#pragma once

#include <vector>

#include "motion.h"

namespace vendrix::cli {

// Below this zoom (a 92 % share of the picture kept) the command covers every frame: a zoom that
// small goes unnoticed, while strips of stretched edge do not.
inline constexpr double kUnnoticedZoom = 1.0425;

// A clip that moves beyond the cover framing's zoom limit is drawn at the limit with its edges
// stretched where the zoom falls short, instead of being shifted to hide them (a shift is a jolt of the
// picture: 21 px of residual jitter on the bench's strong-shake clip against 2 px). Beyond this share of
// the clip's output pixels, stretched edges stop being a detail and the library's shifted framing is
// kept.
inline constexpr double kMostStretched = 0.01;

// Share (0..1) of the output rectangle a record's warped frame leaves uncovered when the framing
// scales it by `zoom` about the frame's centre after moving it by `shift` (analysis pixels), as the
// fit and cover framings draw it. `width` x `height` is the analysed frame.
double UncoveredShare(const MotionCompArrayBRecord& record, double width, double height, double zoom,
                      PathSample shift);

// The compensation array of `motion` with `look` placed as its settings copy, ready for the
// texture-map definitions. When `look` is the cover framing and `uncovered_budget` (a share of the
// clip's output pixels, 0..0.01) is positive, the zoom is the largest of kUnnoticedZoom and the least
// zoom that keeps the uncovered share within the budget, as long as that is below the zoom that covers
// every frame; a clip that the limit cannot bring within the budget gets the limit (kMostStretched).
// The array then asks for the fit framing at that zoom (clip bounds narrowed to the window that zoom
// covers), so no frame is shifted to cover its edges. Otherwise the array is the motion's own.
std::vector<uint32_t> FramedArray(const Motion& motion, const PathSettings& look, double uncovered_budget);

}  // namespace vendrix::cli
