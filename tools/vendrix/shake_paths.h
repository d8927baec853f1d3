// The camera motion of `vendrix shake`: what each preset does and the camera path it makes, a function
// of time so that a rolling shutter can sample it row by row.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vendrix::cli {

// How a kind of camera shakes, for a 640-pixel-wide frame (scaled with the width): the amplitude of the
// random tremor and how quickly it wanders (a pole near 1 is slow), a periodic bob (walking steps,
// engine vibration) and the roll that goes with both, and the speed of the intended pan.
struct ShakeStyle {
  double tremor_px, tremor_pole, bob_px, bob_hz, roll_deg, pan_px_per_s;
};

struct Scenario {
  ShakeStyle style{};
  double vibration_px = 0, vibration_hz = 0;  // fast vibration that a rolling shutter turns into wobble
  double knock = 0;         // knocks that throw the view this fraction of the frame size away and back
  double readout = 0;       // rolling shutter: the rows' readout time, as a fraction of the frame period
  bool steered = false;     // the intended path also rolls a few degrees and zooms in and out
  bool cut = false;         // a second shot from the middle frame, with its own pan and shake
  bool objects = false;     // moving objects and swaying texture over the background
  bool first_four = false;  // walk, handheld, vehicle, gentle: a window sized by a margin rule
};

// Throws CliError for an unknown name.
Scenario ScenarioNamed(const std::string& name);

// A camera pose: where the view's centre sits on the image plane (output pixels at zoom 1), its roll
// (radians) and zoom (how much larger the content appears). The picture content moves the opposite way.
struct Pose {
  double x = 0, y = 0, roll = 0, zoom = 1;
};

// The intended path and the shake on top of it, at any time in frames (frame i is at time i; fractional
// times lie between frames).
class CameraPath {
 public:
  CameraPath(const Scenario& scenario, int frames, int width, int height, double fps, uint32_t seed);

  Pose Intended(double frame) const;
  Pose Shake(double frame) const;
  // Intended and shake combined: positions and rolls add, zooms multiply.
  Pose Total(double frame) const;
  // The first frame of the second shot, or -1.
  int cut() const { return cut_; }

 private:
  double Tremor(const std::vector<double>& knots, double frame) const;
  double Knocked(double frame, int axis) const;

  Scenario s_;
  int frames_;
  double fps_, scale_, phase_ = 0, vibration_phase_ = 0;
  int cut_ = -1;
  std::vector<double> tx_, ty_, tr_;  // the tremor, one knot per frame
  struct Knock {
    double frame, x, y, roll;
  };
  std::vector<Knock> knocks_;
};

// How far the view reaches over frames [first, end): the box its corners stay in, in output pixels
// relative to the view centre at rest. With a rolling shutter the rows' own poses are included.
struct Reach {
  double x0 = 0, x1 = 0, y0 = 0, y1 = 0;
};
Reach ViewReach(const CameraPath& path, int first, int end, int width, int height, double readout);

}  // namespace vendrix::cli
