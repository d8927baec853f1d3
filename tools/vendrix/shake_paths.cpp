#include "shake_paths.h"

#include <algorithm>
#include <cmath>
#include <random>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "cli_error.h"
#include "shake.h"

namespace vendrix::cli {

namespace {

constexpr double kDegree = M_PI / 180;

// A knock rises to its full size in this long (seconds) and dies away over a few times that.
constexpr double kKnockRise = 0.15;

// The knock's profile: 0 before it, 1 at its peak a rise time later, then decaying to nothing.
double KnockShape(double since, double rise) {
  if (since <= 0) return 0;
  const double s = since / rise;
  return s * std::exp(1 - s);
}

}  // namespace

Scenario ScenarioNamed(const std::string& name) {
  Scenario s;
  const ShakeStyle handheld{4.0, 0.80, 0.8, 1.3, 0.5, 10};
  if (name == "gentle" || name == "handheld" || name == "walk" || name == "vehicle") {
    s.first_four = true;
    if (name == "gentle") s.style = {1.5, 0.90, 0.0, 0.0, 0.15, 4};
    if (name == "handheld") s.style = handheld;
    if (name == "walk") s.style = {3.0, 0.85, 6.0, 1.9, 1.0, 18};
    if (name == "vehicle") s.style = {2.5, 0.35, 1.5, 11.0, 0.35, 40};
  } else if (name == "static") {
    s.style = {0, 0.8, 0, 0, 0, 0};
    s.objects = true;
  } else if (name == "strong") {
    // Four times the handheld tremor and roll, and knocks beyond the margins a 1.2 zoom opens.
    s.style = {16.0, 0.80, 3.0, 1.6, 2.0, 10};
    s.knock = 0.12;
  } else if (name == "pan-roll-zoom") {
    s.style = handheld;
    s.style.pan_px_per_s = 20;
    s.steered = true;
  } else if (name == "rolling-shutter") {
    // A quick walking shake with a fast vibration: each frame's rows see different poses.
    s.style = {5.0, 0.60, 5.0, 1.9, 0.8, 18};
    s.vibration_px = 2.5;
    s.vibration_hz = 8.5;
    s.readout = 0.75;
  } else if (name == "cut") {
    s.style = handheld;
    s.cut = true;
  } else {
    const std::vector<std::string> names = ShakePresetNames();
    throw CliError(fmt::format("--preset must be {} or {}, not '{}'",
                               fmt::join(names.begin(), names.end() - 1, ", "), names.back(), name));
  }
  return s;
}

std::vector<std::string> ShakePresetNames() {
  return {"walk", "handheld", "vehicle", "gentle", "static", "strong", "pan-roll-zoom", "rolling-shutter", "cut"};
}

std::string ShakePresetHelp() {
  return "kind of camera motion (default handheld): walk, handheld, vehicle, gentle; static (a tripod: no motion at "
         "all, with large objects crossing the view and a patch of swaying texture); strong (handheld shake with "
         "knocks too large for a 1.2 zoom to hide); pan-roll-zoom (a pan that rolls 4 degrees and zooms 1.0 to 1.3 "
         "and back, with handheld shake); rolling-shutter (quick walking shake and vibration, the rows read out "
         "over 0.75 of a frame, so the picture skews and wobbles); cut (handheld, with a hard cut to another view "
         "at the middle frame)";
}

CameraPath::CameraPath(const Scenario& scenario, int frames, int width, int height, double fps, uint32_t seed)
    : s_(scenario), frames_(frames), fps_(fps), scale_(width / 640.0) {
  // Tremor: first-order filtered noise, one knot per frame (and two past the end for the rolling
  // shutter's late rows). Everything else is drawn after it, so a seed keeps giving the same tremor.
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  const double keep = s_.style.tremor_pole, drive = std::sqrt(1 - keep * keep);
  phase_ = std::uniform_real_distribution<double>(0, 2 * M_PI)(rng);
  if (s_.cut) cut_ = frames / 2;
  double tx = 0, ty = 0, tr = 0;
  for (int i = 0; i < frames + 2; ++i) {
    if (i == cut_) {
      // The second shot was filmed at another time: its tremor starts afresh, anywhere in its range.
      tx = noise(rng);
      ty = noise(rng);
      tr = noise(rng);
    } else {
      tx = keep * tx + drive * noise(rng);
      ty = keep * ty + drive * noise(rng);
      tr = keep * tr + drive * noise(rng);
    }
    tx_.push_back(tx);
    ty_.push_back(ty);
    tr_.push_back(tr);
  }
  std::uniform_real_distribution<double> unit(0, 1);
  vibration_phase_ = s_.vibration_px > 0 ? 2 * M_PI * unit(rng) : 0;
  if (s_.knock > 0) {
    // Knocks 1.2 to 2.5 s apart, each in a random direction, 0.8 to 1.2 times the nominal size.
    auto sign = [&] { return unit(rng) < 0.5 ? -1.0 : 1.0; };
    for (double at = fps * (0.3 + 0.7 * unit(rng)); at < frames; at += fps * (1.2 + 1.3 * unit(rng))) {
      const double size = s_.knock * (0.8 + 0.4 * unit(rng));
      knocks_.push_back({at, sign() * size * width, sign() * size * height,
                         sign() * (1.0 + 1.5 * unit(rng)) * kDegree});
    }
  }
}

double CameraPath::Tremor(const std::vector<double>& knots, double frame) const {
  // Catmull-Rom through the knots: smooth between frames and exactly the knot at each frame.
  const int last = int(knots.size()) - 1;
  const int j = std::clamp(int(std::floor(frame)), 0, last);
  const double u = frame - j;
  if (u == 0 || j == last) return knots[size_t(j)];
  const double p0 = knots[size_t(std::max(j - 1, 0))], p1 = knots[size_t(j)], p2 = knots[size_t(j + 1)],
               p3 = knots[size_t(std::min(j + 2, last))];
  return p1 + 0.5 * u * (p2 - p0 + u * (2 * p0 - 5 * p1 + 4 * p2 - p3 + u * (3 * (p1 - p2) + p3 - p0)));
}

double CameraPath::Knocked(double frame, int axis) const {
  double sum = 0;
  for (const Knock& k : knocks_) {
    const double shape = KnockShape(frame - k.frame, kKnockRise * fps_);
    sum += shape * (axis == 0 ? k.x : axis == 1 ? k.y : k.roll);
  }
  return sum;
}

Pose CameraPath::Intended(double frame) const {
  const double t = frame / fps_;
  const double pan = s_.style.pan_px_per_s * scale_;
  Pose p;
  if (cut_ >= 0 && frame >= cut_) {
    // The second shot pans back and down, from where the first one left off.
    const double t_cut = cut_ / fps_;
    p.x = pan * t_cut - 1.5 * pan * (t - t_cut);
    p.y = 0.6 * pan * (t - t_cut);
    return p;
  }
  p.x = pan * t;
  if (s_.steered) {
    // Over the clip: a pan that tilts up a little, a roll of 4 degrees and a zoom to 1.3 and back.
    const double s = frame / std::max(frames_ - 1, 1);
    p.y = -0.25 * pan * t;
    p.roll = 4 * kDegree * 0.5 * (1 - std::cos(M_PI * s));
    p.zoom = 1 + 0.3 * std::pow(std::sin(M_PI * s), 2);
  }
  return p;
}

Pose CameraPath::Shake(double frame) const {
  const ShakeStyle& st = s_.style;
  const double t = frame / fps_;
  const double tx = Tremor(tx_, frame), ty = Tremor(ty_, frame), tr = Tremor(tr_, frame);
  const double bob = std::sin(2 * M_PI * st.bob_hz * t + phase_);
  Pose p;
  p.x = st.tremor_px * scale_ * tx + 0.3 * st.bob_px * scale_ * bob;
  p.y = st.tremor_px * scale_ * ty + st.bob_px * scale_ * std::abs(bob);
  p.roll = (st.roll_deg * M_PI / 180) * (0.7 * tr + 0.3 * bob);
  if (s_.vibration_px > 0) {
    const double a = 2 * M_PI * s_.vibration_hz * t + vibration_phase_;
    p.x += s_.vibration_px * scale_ * std::sin(a);
    p.y += 0.8 * s_.vibration_px * scale_ * std::sin(1.37 * a + 1.1);
    p.roll += 0.1 * kDegree * std::sin(0.83 * a + 2.3);
  }
  if (!knocks_.empty()) {
    p.x += Knocked(frame, 0);
    p.y += Knocked(frame, 1);
    p.roll += Knocked(frame, 2);
  }
  return p;
}

Pose CameraPath::Total(double frame) const {
  const Pose a = Intended(frame), b = Shake(frame);
  return {a.x + b.x, a.y + b.y, a.roll + b.roll, a.zoom * b.zoom};
}

Reach ViewReach(const CameraPath& path, int first, int end, int width, int height, double readout) {
  Reach r{1e300, -1e300, 1e300, -1e300};
  // Without a rolling shutter the corners tell; with one, rows down the frame too.
  const int rows = readout > 0 ? 17 : 2;
  for (int i = first; i < end; ++i) {
    for (int k = 0; k < rows; ++k) {
      const double fraction = double(k) / (rows - 1);
      const Pose p = path.Total(i + readout * fraction);
      const double c = std::cos(p.roll) / p.zoom, s = std::sin(p.roll) / p.zoom, v = (fraction - 0.5) * height;
      for (const double u : {-0.5 * width, 0.5 * width}) {
        const double x = p.x + c * u - s * v, y = p.y + s * u + c * v;
        r.x0 = std::min(r.x0, x);
        r.x1 = std::max(r.x1, x);
        r.y0 = std::min(r.y0, y);
        r.y1 = std::max(r.y1, y);
      }
    }
  }
  return r;
}

}  // namespace vendrix::cli
