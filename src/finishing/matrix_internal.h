// Internals shared by the source files of the matrix finisher: its per-call context, the planar
// homography helpers it works with, and the entry points of its preparation, stages and output step.
//
// Coordinates. Everything inside the finisher works in centred display coordinates: analysis pixels
// with the origin at the image centre and x multiplied by the aspect factor s (the scan input's float
// when it lies in 0.1 .. 10, else 1), so that an in-plane rotation is a true rotation on anamorphic
// material. The output step divides x by s again.
//
// Homographies are row-major 3 x 3 in double precision: the (0, 1, 3) rows and columns of the 4 x 4
// camera matrices that the records store (camera_matrix.h). A correction maps a point of the source
// frame to where it is drawn in the output.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "concurrency/frame_parallel.h"
#include "model/frame_record.h"
#include "model/global_motion_path.h"
#include "model/model_params.h"

namespace vendrix::finishing::matrix {

// ---- Planar homographies ----

void H3Identity(double h[9]);
// out = a * b; out may alias a or b.
void H3Multiply(const double a[9], const double b[9], double out[9]);
// False (out untouched) when a is singular or not finite.
bool H3Inverse(const double a[9], double out[9]);
// Scales h so that h[8] = 1. False when h[8] is (almost) 0 or any entry is not finite.
bool H3Normalise(double h[9]);
// Maps (x, y); *w receives the projective denominator (the point is valid only when it is positive).
void H3Apply(const double h[9], double x, double y, double* ox, double* oy, double* w);

// The camera view of a homography: h = T(tx, ty) * zoom * R(angle) * P(p, q), with P the perspective
// whose last row is (p, q, 1) and the angle kept as its unit (cosine, sine) pair. Any shear or
// anisotropic scale is left out (closest similarity).
struct Camera {
  double tx, ty, cs, sn, zoom, p, q;
};
// False when h is degenerate (zero scale, not finite).
bool DecomposeH(const double h[9], Camera& cam);
void ComposeH(const Camera& cam, double h[9]);

// Operations in output space (left) and in source space (right).
void LeftTranslate(double h[9], double dx, double dy);
void LeftRotate(double h[9], double angle);  // about the output origin
void LeftScale(double h[9], double s);       // about the output origin
void RightPerspective(double h[9], double dp, double dq);  // adds (dp, dq) to the perspective row

// The record's camera matrix as a homography.
void ReadMatrix(const model::FrameRecord& r, double h[9]);
// Stores h (normalised) as the record's camera matrix and writes its decomposition: translation,
// rotation pair, zoom term, tilt terms p * height and q * height and the two tilt pairs as sine and
// cosine of atan(tilt term). A degenerate h makes the
// record the identity correction; false is returned then.
bool WriteCorrection(model::FrameRecord& r, const double h[9], double height);
// The identity correction: no motion in every slot above, corner offsets 0.
void WriteZeroCorrection(model::FrameRecord& r);

// The in-plane angle of a record's rotation pair, radians.
inline double Angle(const model::FrameRecord& r) { return std::atan2(r.f(model::kSlotRotSin), r.f(model::kSlotRotCos)); }

// The rolling-shutter corrections fade out at high image speed, where velocity estimates are
// unreliable: min(1, 2 exp(-x^2 / 6e6)), x the frame's speed slot (1/6000 of the width per frame).
inline double SkewDamping(double speed) {
  const double damping = 2.0 * std::exp(-speed * speed * 1.6666666666666668e-7);
  return damping < 1.0 ? damping : 1.0;
}

// Rows that would have to move more than this share of the height against the centre row are no
// rolling shutter's doing but a cut or a failed measurement: that frame gets no wobble correction.
constexpr double kMaxWobble = 0.1;

// Every output frame stays close to a similarity of its input: where the wobble correction would lean
// or stretch a band of rows against its neighbours by more than kMaxRowLean, or twist the frame (the
// turn between the centre row and a row one height away) by more than kMaxTwist radians, the frame's
// bands, or its twist, are scaled down to the bound. The steepest bends come from the jerk and
// roll-rate terms, differences of a measured path, and bounding them gives up little of the
// straightening. When the bounds were chosen, on three clips read out over 0.75 of a frame: the worst
// frame within 0.9 % of a similarity of its input (0.991 in the quality bench's distortion score,
// 0.982 with no bound), the frames' bending from one to the next 1.98 px RMS (1.89 with no bound, 2.64
// with no correction). With the readout now estimated near its true value rather than at 1.0 the
// bounded figures are 0.993 and 2.02 px.
constexpr double kMaxRowLean = 0.009;
constexpr double kMaxTwist = 0.007;

// ---- Context ----

constexpr int32_t kStageParallelFrom = 50;    // fewer frames: every stage on the calling thread
constexpr int32_t kOutputParallelFrom = 101;  // the output step pays for a pool from here
constexpr int32_t kPadMargin = 598;           // widest kernel radius of the matrix finisher
constexpr int32_t kMaxAdaptiveWindow = 400;

struct Context {
  GlobalMotionPath* path = nullptr;
  model::ModelParams p{};  // the amended parameters with non-finite values read as 0
  int32_t n = 0;    // usable frames
  double width = 0.0, height = 0.0;  // analysis size
  double aspect = 1.0;               // s
  int32_t adaptiveWindow = 0;        // A
  double limitX = 0.0, limitY = 0.0, limitAngle = 0.0;

  const model::FrameRecord* measured[4] = {};
  model::FrameRecord* integ = nullptr;  // path->integrated: prepared camera path (cached)
  model::FrameRecord* work = nullptr;   // path->smoothed: the correction being built

  // Temporaries of one call, all in one heap block.
  double* pad = nullptr;  // kPadChannels padded channel copies for the kernel sums
  int64_t padStride = 0;
  double* taps = nullptr;  // the current kernel, 2 * radius + 1 taps
  double* corrX = nullptr;  // per-frame corrections of the adaptive pass and the border rounds
  double* corrY = nullptr;
  double* corrA = nullptr;
  int32_t* prevValid = nullptr;  // preparation: nearest usable measurement before / after each frame
  int32_t* nextValid = nullptr;
  double* range = nullptr;  // adaptive pass: 3 per-frame ranges, then 4 window scans of rangeStride
  int64_t rangeStride = 0;
  double* track = nullptr;  // adaptive pass: the unwrapped angle of the camera path

  double* skewSumX = nullptr;  // preparation: the fits' skews summed over the clip (matrix_prepare.cpp)
  double* skewSumY = nullptr;
  double readout = 0.0;  // rolling-shutter readout fraction in use (0 = no rolling-shutter correction)
};
constexpr int32_t kPadChannels = 4;

// Runs body(i) for every frame i < c.n on the pool service; on the calling thread alone below
// min_frames frames. The atomic counter hands out runs of kFramesPerTask consecutive frames rather
// than single frames: neighbouring records share cache lines, and threads taking alternate frames
// made a stage slower on two threads than on one. False when the stage was skipped because no pool
// was free.
constexpr int32_t kFramesPerTask = 64;

template <class F>
bool ForFrames(const Context& c, int32_t min_frames, F& body) {
  const int32_t n = c.n;
  auto run = [n, &body](int32_t task) {
    const int32_t first = task * kFramesPerTask, end = n - first < kFramesPerTask ? n : first + kFramesPerTask;
    for (int32_t i = first; i < end; ++i) body(i);
  };
  const int32_t tasks = n / kFramesPerTask + (n % kFramesPerTask != 0);
  return concurrency::ForEachFrame(tasks, n < min_frames ? INT32_MAX : 0, run);
}

// ---- Stages (matrix_prepare.cpp, matrix_stages.cpp, matrix_output.cpp) ----

// Preparation: fusion, rolling-shutter stages, vertical-skew correction, integration, inversion and
// decomposition into path->integrated. False when a stage could not run (the cache stays invalid).
bool Prepare(Context& c);

// The smoothing stages in their fixed order: translation, rotation, tilt 1, tilt 2, zoom.
void SmoothingStages(Context& c);
// Removes the components the settings do not compensate and re-decomposes every frame.
void RefreshPass(Context& c);
// Adaptive pass with its correction steps and apply (only when the adaptive window is > 0).
void AdaptivePass(Context& c);
// The four border rounds (only when a limit is set).
void BorderRounds(Context& c);

// Projects centre and corners of every frame's final correction into path->smoothed.
void OutputStep(Context& c);

}  // namespace vendrix::finishing::matrix
