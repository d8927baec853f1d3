#include "estimator.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

namespace vendrix::quality {

namespace {

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string RunCapture(const std::string& command) {
  FILE* p = popen(command.c_str(), "r");
  if (!p) throw std::runtime_error("cannot run: " + command);
  std::string out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  pclose(p);
  return out;
}

double ParseRate(const std::string& s) {
  int num = 0, den = 1;
  if (std::sscanf(s.c_str(), "%d/%d", &num, &den) == 2 && num > 0 && den > 0) return double(num) / den;
  return 0;
}

// The camera path's step between two frames: the motion of the centre row. On rolling-shutter footage
// each row is exposed at its own moment, so the rows of the later frame sit where a bent map puts them:
// a camera that accelerates bows them, one that rolls turns each row by its own angle. A single affine
// fitted with RANSAC follows whichever band of rows agrees within its threshold, and which band that is
// changes from frame to frame. Here every tracked point takes part with a robust (Cauchy) weight, and the
// map is an affine about the frame centre plus the shapes of a changing bend: quadratic and cubic in the
// row for both axes, and row times column for the vertical one (a changing roll rate). Its linear part
// at the centre row is the step. On global-shutter frames the extra terms come out near zero.
cv::Matx23d CentreRowStep(const std::vector<cv::Point2f>& from, const std::vector<cv::Point2f>& to,
                          const cv::Matx23d& start, cv::Size size, double unit, double* bend) {
  const double cx = size.width / 2.0, cy = size.height / 2.0, norm = size.height / 2.0;
  const int n = int(from.size());
  // A bend needs rows to be told from: points bunched in a few rows (a view mostly covered by moving
  // objects) keep the RANSAC affine.
  double spread = 0;
  for (const cv::Point2f& p : from) spread += std::pow((p.y - cy) / norm, 2);
  *bend = 0;
  if (n < 24 || spread < 0.04 * n) return start;
  // Columns: 1, u, v, v^2, v^3, u v, in centred coordinates scaled by half the height.
  cv::Mat basis(n, 6, CV_64F), bx(n, 1, CV_64F), by(n, 1, CV_64F);
  for (int i = 0; i < n; ++i) {
    const double u = (from[size_t(i)].x - cx) / norm, v = (from[size_t(i)].y - cy) / norm;
    double* b = basis.ptr<double>(i);
    b[0] = 1, b[1] = u, b[2] = v, b[3] = v * v, b[4] = v * v * v, b[5] = u * v;
    bx.at<double>(i) = to[size_t(i)].x - cx, by.at<double>(i) = to[size_t(i)].y - cy;
  }
  // The starting residuals are the RANSAC affine's.
  std::vector<double> residual(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const cv::Point2f& p = from[size_t(i)];
    residual[size_t(i)] = std::hypot(start(0, 0) * p.x + start(0, 1) * p.y + start(0, 2) - to[size_t(i)].x,
                                     start(1, 0) * p.x + start(1, 1) * p.y + start(1, 2) - to[size_t(i)].y);
  }
  const double scale = 0.7 * unit;  // the Cauchy weight halves at the RANSAC threshold
  cv::Mat cx_fit, cy_fit, fitted_x, fitted_y, weighted(n, 6, CV_64F), wx(n, 1, CV_64F), wy(n, 1, CV_64F);
  for (int round = 0; round < 8; ++round) {
    for (int i = 0; i < n; ++i) {
      const double r = residual[size_t(i)] / scale, w = 1.0 / std::sqrt(1.0 + r * r);  // sqrt of the weight
      for (int k = 0; k < 6; ++k) weighted.at<double>(i, k) = w * basis.at<double>(i, k);
      wx.at<double>(i) = w * bx.at<double>(i), wy.at<double>(i) = w * by.at<double>(i);
    }
    // x does not take the row-times-column term: a roll rate moves a turning row sideways by a bow in v.
    if (!cv::solve(weighted.colRange(0, 5), wx, cx_fit, cv::DECOMP_QR) ||
        !cv::solve(weighted, wy, cy_fit, cv::DECOMP_QR))
      return start;
    fitted_x = basis.colRange(0, 5) * cx_fit;
    fitted_y = basis * cy_fit;
    for (int i = 0; i < n; ++i)
      residual[size_t(i)] = std::hypot(fitted_x.at<double>(i) - bx.at<double>(i), fitted_y.at<double>(i) - by.at<double>(i));
  }
  // How far the bend moves the frame's pixels beyond the best affine, RMS over the frame: over a uniform
  // frame v^2 less its affine part has RMS 0.298, v^3 0.151, u v a / 3 (a = width / height).
  const double a = double(size.width) / size.height;
  const double qx = cx_fit.at<double>(3), kx = cx_fit.at<double>(4), qy = cy_fit.at<double>(3),
               ky = cy_fit.at<double>(4), t = cy_fit.at<double>(5);
  *bend = std::sqrt((qx * qx + qy * qy) * 0.0889 + (kx * kx + ky * ky) * 0.0229 + t * t * a * a / 9);
  // The centre row's map in pixel-index coordinates: to = A (from - c) + t + c.
  const double a00 = cx_fit.at<double>(1) / norm, a01 = cx_fit.at<double>(2) / norm;
  const double a10 = cy_fit.at<double>(1) / norm, a11 = cy_fit.at<double>(2) / norm;
  const double tx = cx_fit.at<double>(0), ty = cy_fit.at<double>(0);
  return {a00, a01, tx + cx - a00 * cx - a01 * cy, a10, a11, ty + cy - a10 * cx - a11 * cy};
}

}  // namespace

GreyReader::GreyReader(const std::string& path) {
  // Coded size (no auto-rotation on either side), so the pipe's frame size is known in advance.
  const std::string info = RunCapture("ffprobe -v error -select_streams v:0 -show_entries "
                                      "stream=width,height,avg_frame_rate,r_frame_rate -of default=nw=1 " +
                                      ShellQuote(path));
  std::string avg, real;
  for (size_t at = 0; at < info.size();) {
    const size_t end = info.find('\n', at), eq = info.find('=', at);
    const std::string line = info.substr(at, end - at);
    if (eq < end) {
      const std::string key = info.substr(at, eq - at), value = info.substr(eq + 1, end - eq - 1);
      if (key == "width") width_ = std::atoi(value.c_str());
      if (key == "height") height_ = std::atoi(value.c_str());
      if (key == "avg_frame_rate") avg = value;
      if (key == "r_frame_rate") real = value;
    }
    at = end == std::string::npos ? info.size() : end + 1;
  }
  if (width_ <= 0 || height_ <= 0) throw std::runtime_error(path + ": no video stream");
  fps_ = ParseRate(avg) > 0 ? ParseRate(avg) : ParseRate(real) > 0 ? ParseRate(real) : 30;
  pipe_ = popen(("ffmpeg -v error -noautorotate -i " + ShellQuote(path) +
                 " -map 0:v:0 -f rawvideo -pix_fmt gray -vsync passthrough -")
                    .c_str(),
                "r");
  if (!pipe_) throw std::runtime_error(path + ": cannot start ffmpeg");
}

GreyReader::~GreyReader() {
  if (pipe_) pclose(pipe_);
}

bool GreyReader::Next(cv::Mat& grey) {
  grey.create(height_, width_, CV_8UC1);
  return fread(grey.data, 1, grey.total(), pipe_) == grey.total();
}

cv::Mat UncoveredMask(const cv::Mat& g) {
  // From each frame edge, every line is walked inward while each pixel stays close to its outer
  // neighbour (slow drift: a stretched edge of a slightly rotated frame) and to the edge pixel itself (no
  // drift into smooth picture). Flat picture gives such runs too, but ragged ones; what a stabiliser
  // leaves uncovered is bounded by the straight image of the input frame's edge. So the runs along an
  // edge must follow one straight line, found robustly (clamped at zero for a wedge that covers only
  // part of the edge), or the edge counts as covered.
  constexpr int kStep = 2, kDrift = 6, kMinRun = 3, kTolerance = 2;
  constexpr double kSupport = 0.75;  // share of the edge's lines that must agree with the line
  cv::Mat mask = cv::Mat::zeros(g.size(), CV_8UC1);
  auto edge = [&](int lines, int depth, auto at, auto mark) {
    std::vector<int> run(size_t(lines), 0), with_run;
    for (int l = 0; l < lines; ++l) {
      const int first = at(l, 0);
      int n = 1;
      while (n < depth && std::abs(at(l, n) - at(l, n - 1)) <= kStep && std::abs(at(l, n) - first) <= kDrift) ++n;
      if (n >= kMinRun) run[size_t(l)] = n, with_run.push_back(l);
    }
    if (with_run.size() < size_t(lines) / 10) return;
    auto predict = [](double a, double b, int l) { return std::max(0.0, a + b * l); };
    // Lines that agree with the line; where it predicts a border, fewer than kSupport agreeing disqualify
    // it (a wedge fitted to a few lines would otherwise win on the lines it predicts empty).
    auto agreeing = [&](double a, double b) {
      int n = 0, inside = 0, inside_agree = 0;
      for (int l = 0; l < lines; ++l) {
        const double p = predict(a, b, l);
        const bool agree = std::abs(p - run[size_t(l)]) <= kTolerance;
        n += agree;
        if (p >= kMinRun) ++inside, inside_agree += agree;
      }
      return inside_agree >= kSupport * inside ? n : 0;
    };
    double best_a = 0, best_b = 0;
    int best = -1;
    uint32_t seed = 12345;
    auto pick = [&] { return with_run[((seed = seed * 1664525u + 1013904223u) >> 8) % with_run.size()]; };
    for (int trial = 0; trial < 100; ++trial) {
      const int l0 = pick(), l1 = trial == 0 ? l0 : pick();  // the first trial is a level line
      const double b = l0 == l1 ? 0.0 : double(run[size_t(l1)] - run[size_t(l0)]) / (l1 - l0);
      const double a = run[size_t(l0)] - b * l0;
      const int n = agreeing(a, b);
      if (n > best) best = n, best_a = a, best_b = b;
    }
    if (best < kSupport * lines) return;
    for (int l = 0; l < lines; ++l) mark(l, std::min(depth, int(std::lround(predict(best_a, best_b, l)))));
  };
  const int w = g.cols, h = g.rows;
  edge(h, w, [&](int y, int n) { return int(g.at<uint8_t>(y, n)); },
       [&](int y, int n) { mask.row(y).colRange(0, n).setTo(255); });
  edge(h, w, [&](int y, int n) { return int(g.at<uint8_t>(y, w - 1 - n)); },
       [&](int y, int n) { mask.row(y).colRange(w - n, w).setTo(255); });
  edge(w, h, [&](int x, int n) { return int(g.at<uint8_t>(n, x)); },
       [&](int x, int n) { mask.col(x).rowRange(0, n).setTo(255); });
  edge(w, h, [&](int x, int n) { return int(g.at<uint8_t>(h - 1 - n, x)); },
       [&](int x, int n) { mask.col(x).rowRange(h - n, h).setTo(255); });
  return mask;
}

FrameMotion MeasureMotion(const cv::Mat& earlier, const cv::Mat& later, const cv::Mat& exclude,
                          const cv::Mat& exclude_later, const cv::Matx23d* guess) {
  // Corners per frame and the tracking window: enough for a few hundredths of a pixel on clean frames,
  // few enough that a 300-frame 720p clip is measured in seconds.
  constexpr int kCorners = 500, kWindow = 21;
  FrameMotion m;
  const double unit = std::max(1.0, earlier.rows / 720.0);  // tolerances grow with the picture
  cv::Mat allow;
  if (!exclude.empty()) {
    // Keep a tracking window's distance from excluded pixels: corners on the edge of a black border or
    // of a moving object belong to neither side.
    cv::Mat grown;
    cv::dilate(exclude, grown, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(21, 21)));
    allow = grown == 0;
  }
  std::vector<cv::Point2f> p0, p1, back;
  cv::goodFeaturesToTrack(earlier, p0, kCorners, 0.005, std::max(5, earlier.rows / 60), allow, 5);
  if (p0.size() < 12) return m;
  std::vector<uchar> ok, ok_back;
  std::vector<float> err;
  const cv::TermCriteria until(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 30, 0.003);
  const int levels = earlier.rows > 720 ? 4 : 3;
  int flags = 0;
  if (guess) {
    // Start every point where the guess puts it: the pyramid then only has to find the difference.
    for (const cv::Point2f& p : p0) p1.push_back(cv::Point2f(float((*guess)(0, 0) * p.x + (*guess)(0, 1) * p.y + (*guess)(0, 2)),
                                                             float((*guess)(1, 0) * p.x + (*guess)(1, 1) * p.y + (*guess)(1, 2))));
    back = p0;
    flags = cv::OPTFLOW_USE_INITIAL_FLOW;
  }
  cv::calcOpticalFlowPyrLK(earlier, later, p0, p1, ok, err, cv::Size(kWindow, kWindow), levels, until, flags);
  cv::calcOpticalFlowPyrLK(later, earlier, p1, back, ok_back, err, cv::Size(kWindow, kWindow), levels, until, flags);
  std::vector<cv::Point2f> from, to;
  const cv::Rect inside(0, 0, later.cols, later.rows);
  for (size_t k = 0; k < p0.size(); ++k) {
    // Forward-backward check: a point that does not come back to where it started was lost.
    if (!ok[k] || !ok_back[k] || !(cv::norm(back[k] - p0[k]) < 0.3 * unit) || !inside.contains(cv::Point(p1[k])))
      continue;
    if (!exclude_later.empty() && exclude_later.at<uint8_t>(cv::Point(p1[k])) != 0) continue;
    from.push_back(p0[k]), to.push_back(p1[k]);
  }
  if (from.size() < 12) return m;
  cv::Mat inliers;
  const cv::Mat s = cv::estimateAffinePartial2D(from, to, inliers, cv::RANSAC, 0.7 * unit, 2000, 0.995, 10);
  if (s.empty()) return m;
  m.inliers = cv::countNonZero(inliers);
  const cv::Mat a = cv::estimateAffine2D(from, to, cv::noArray(), cv::RANSAC, 0.7 * unit, 2000, 0.995, 10);
  m.similarity = cv::Matx23d(s);
  m.affine = a.empty() ? m.similarity : cv::Matx23d(a);
  m.step = CentreRowStep(from, to, m.affine, earlier.size(), unit, &m.bend);
  m.ok = m.inliers >= 12;
  return m;
}

ClipTrack TrackClip(const std::string& path, const std::string& mask_path, const InputViews* views) {
  GreyReader reader(path);
  std::optional<GreyReader> masks;
  if (!mask_path.empty()) masks.emplace(mask_path);
  ClipTrack t;
  t.width = reader.width();
  t.height = reader.height();
  t.fps = reader.fps();
  cv::Mat previous, previous_exclude, frame, object, moved;
  cv::Matx23d view(1, 0, 0, 0, 1, 0);
  for (size_t i = 0; reader.Next(frame); ++i) {
    // A frame whose map failed keeps the last good one.
    if (views && i < views->frames.size() && views->frames[i].ok) view = views->frames[i].affine;
    cv::Mat exclude;
    if (views) {
      // Known maps say exactly which output pixels the input frame covers, whatever fills the rest
      // (black, stretched edges or older pictures).
      const cv::Mat covered(views->input_height, views->input_width, CV_8UC1, cv::Scalar(255));
      cv::warpAffine(covered, exclude, view, frame.size(), cv::INTER_NEAREST, cv::BORDER_CONSTANT, cv::Scalar(0));
      exclude = exclude == 0;
    } else {
      exclude = UncoveredMask(frame);
    }
    t.uncovered.push_back(double(cv::countNonZero(exclude)) / double(exclude.total()));
    if (masks && masks->Next(object)) {
      if (views) {
        // The objects where the stabiliser put them.
        cv::warpAffine(object, moved, view, frame.size(), cv::INTER_NEAREST);
        object = moved;
      }
      if (object.size() != frame.size()) throw std::runtime_error(mask_path + ": not the clip's size");
      exclude |= object != 0;
    }
    if (!previous.empty()) t.motion.push_back(MeasureMotion(previous, frame, previous_exclude));
    frame.copyTo(previous);
    previous_exclude = exclude;
  }
  return t;
}

std::vector<Pose> CameraPath(const std::vector<FrameMotion>& motion, int width, int height) {
  // to_first maps a point of frame i to frame 0; the camera's view centre follows it. The steps are the
  // centre rows' maps (CentreRowStep): on rolling-shutter footage consecutive frames differ by a shear,
  // a vertical stretch and bends that neither a similarity nor an affine takes, and one fitted with
  // RANSAC follows whichever band of rows agrees best. The input of the bench's rolling-shutter clip
  // scores 17.3 px of jitter against the truth's 17.0 (RANSAC affines 18.0, similarities 23.7), and
  // the estimator test's clip drifts 0.26 px from the truth (5.2 and 25.4). Roll and scale come from
  // the image of the centre row.
  const cv::Vec3d centre(width / 2.0, height / 2.0, 1);
  cv::Matx33d to_first = cv::Matx33d::eye();
  std::vector<Pose> path;
  auto pose = [&] {
    const cv::Vec3d c = to_first * centre;
    path.push_back({c[0] - centre[0], c[1] - centre[1], std::atan2(to_first(1, 0), to_first(0, 0)),
                    std::hypot(to_first(0, 0), to_first(1, 0))});
  };
  pose();
  for (const FrameMotion& m : motion) {
    if (m.ok) {
      const cv::Matx23d& s = m.step;
      const cv::Matx33d step(s(0, 0), s(0, 1), s(0, 2), s(1, 0), s(1, 1), s(1, 2), 0, 0, 1);
      to_first = to_first * step.inv();
    }
    pose();
  }
  return path;
}

std::vector<double> LowPass(const std::vector<double>& v, double sigma) {
  const int n = int(v.size()), r = int(std::ceil(3 * sigma));
  std::vector<double> out(v.size());
  // Point-mirrored about the ends: a pan runs on past them at its own pace, so a path that keeps
  // moving to the last frame is smooth there. (Mirroring the values themselves would fold a pan back
  // on itself and charge the kink as jitter, favouring paths that stop short of the ends.)
  auto at = [&](int i) {
    if (i < 0) return 2 * v[0] - v[size_t(std::min(-i, n - 1))];
    if (i >= n) return 2 * v[size_t(n - 1)] - v[size_t(std::max(2 * (n - 1) - i, 0))];
    return v[size_t(i)];
  };
  for (int i = 0; i < n; ++i) {
    double sum = 0, weight = 0;
    for (int k = -r; k <= r; ++k) {
      const double w = sigma > 0 ? std::exp(-0.5 * k * k / (sigma * sigma)) : (k == 0);
      sum += w * at(i + k);
      weight += w;
    }
    out[size_t(i)] = sum / weight;
  }
  return out;
}

std::vector<double> LowPassShots(const std::vector<double>& v, double sigma, const std::vector<int>& starts) {
  std::vector<double> out;
  out.reserve(v.size());
  size_t first = 0;
  for (size_t i = 1; i <= v.size(); ++i) {
    if (i < v.size() && std::find(starts.begin(), starts.end(), int(i)) == starts.end()) continue;
    const std::vector<double> shot = LowPass(std::vector<double>(v.begin() + long(first), v.begin() + long(i)), sigma);
    out.insert(out.end(), shot.begin(), shot.end());
    first = i;
  }
  return out;
}

namespace {

// Liu et al. 2013: the share of a path's spectral energy (DC left out, up to half the rate) that lies in
// its five lowest frequencies. A steady path is mostly slow motion; 1 when there is no motion at all.
double LowFrequencyShare(const std::vector<double>& v) {
  const size_t n = v.size();
  double low = 0, all = 0;
  for (size_t k = 1; k <= n / 2; ++k) {
    std::complex<double> sum = 0;
    for (size_t i = 0; i < n; ++i) sum += v[i] * std::polar(1.0, -2 * M_PI * double(k * i % n) / double(n));
    const double e = std::norm(sum);
    all += e;
    if (k <= 5) low += e;
  }
  return all > 1e-18 ? low / all : 1.0;
}

}  // namespace

std::vector<std::optional<cv::Point2d>> PlaceOnTruth(const InputViews& views, const Truth& t, int width, int height) {
  // Through the input-to-output map onto the input frame, then onto the path by the input frame's true
  // pose (the picture's pixel u shows the scene at pose + R(roll) (u - centre) / zoom).
  std::vector<std::optional<cv::Point2d>> placed;
  for (size_t i = 0; i < std::min(views.frames.size(), t.shaky.size()); ++i) {
    if (!views.frames[i].ok) {
      placed.emplace_back();
      continue;
    }
    const cv::Matx23d& a = views.frames[i].affine;
    const cv::Matx22d l(a(0, 0), a(0, 1), a(1, 0), a(1, 1));
    const cv::Vec2d at_input = l.inv() * (cv::Vec2d(width / 2.0, height / 2.0) - cv::Vec2d(a(0, 2), a(1, 2)));
    const Pose& p = t.shaky[i];
    const cv::Vec2d d = (at_input - cv::Vec2d(t.width / 2.0, t.height / 2.0)) * (1 / p.scale);
    placed.emplace_back(cv::Point2d(p.x + std::cos(p.roll) * d[0] - std::sin(p.roll) * d[1],
                                    p.y + std::sin(p.roll) * d[0] + std::cos(p.roll) * d[1]));
  }
  return placed;
}

Scores Score(const ClipTrack& track, const ScoreOptions& o) {
  Scores s;
  std::vector<Pose> path = CameraPath(track.motion, track.width, track.height);
  const double unit = 1080.0 / track.height;
  for (Pose& p : path) p.x *= unit, p.y *= unit;
  s.frames = int(path.size());
  s.failed_pairs = int(std::count_if(track.motion.begin(), track.motion.end(), [](auto& m) { return !m.ok; }));

  std::vector<double> x, y, roll, shift, scale;
  for (const Pose& p : path) {
    x.push_back(p.x), y.push_back(p.y), roll.push_back(p.roll), scale.push_back(p.scale);
    shift.push_back(std::hypot(p.x, p.y));
  }
  // A Gaussian of sigma 0.1325 / f seconds passes half the power at f.
  const double sigma = 0.1325 / o.lowpass_hz * track.fps;
  // Shots start at the truth's cuts and after every pair the tracker could not measure: nothing ties
  // the path on one side of such a pair to the other, so the low-pass must not blend them (the
  // intended path of a clip with a hard cut would otherwise score 0.39 px of jitter).
  std::vector<int> starts = o.truth ? o.truth->cuts : std::vector<int>{};
  for (size_t i = 0; i < track.motion.size(); ++i)
    if (!track.motion[i].ok) starts.push_back(int(i) + 1);
  const std::vector<double> lx = LowPassShots(x, sigma, starts), ly = LowPassShots(y, sigma, starts),
                            lr = LowPassShots(roll, sigma, starts);
  double sum_xy = 0, sum_r = 0;
  for (size_t i = 0; i < path.size(); ++i) {
    sum_xy += std::pow(x[i] - lx[i], 2) + std::pow(y[i] - ly[i], 2);
    sum_r += std::pow(roll[i] - lr[i], 2);
  }
  s.jitter_px = std::sqrt(sum_xy / double(path.size()));
  s.jitter_roll_deg = std::sqrt(sum_r / double(path.size())) * 180 / M_PI;
  double bend = 0;
  int bends = 0;
  for (const FrameMotion& m : track.motion)
    if (m.ok) bend += m.bend * m.bend, ++bends;
  s.wobble_px = bends ? std::sqrt(bend / bends) * unit : 0;

  if (o.truth) {
    // Without maps, the accumulated output path scaled back by the zoom stands in for the placed centres.
    const Truth& t = *o.truth;
    const double to_1080 = 1080.0 / t.height;
    std::vector<cv::Point2d> error;
    const std::vector<std::optional<cv::Point2d>> placed =
        o.views ? PlaceOnTruth(*o.views, t, track.width, track.height) : std::vector<std::optional<cv::Point2d>>{};
    for (size_t i = 0; i < std::min(path.size(), t.intended.size()); ++i) {
      if (o.views) {
        if (i < placed.size() && placed[i]) error.push_back(*placed[i] - cv::Point2d(t.intended[i].x, t.intended[i].y));
      } else {
        error.emplace_back(x[i] / (o.zoom * unit) - t.intended[i].x, y[i] / (o.zoom * unit) - t.intended[i].y);
      }
    }
    if (!error.empty()) {
      cv::Point2d mean;
      for (const cv::Point2d& e : error) mean += e;
      mean *= 1.0 / double(error.size());
      double sum = 0;
      for (const cv::Point2d& e : error) sum += (e - mean).dot(e - mean);
      s.intended_error_px = std::sqrt(sum / double(error.size())) * to_1080;
    }
  }

  s.stability_translation = LowFrequencyShare(shift);
  s.stability_rotation = LowFrequencyShare(roll);
  s.stability = std::min(s.stability_translation, s.stability_rotation);
  s.zoom_range = *std::max_element(scale.begin(), scale.end()) / *std::min_element(scale.begin(), scale.end()) - 1;

  // Distortion: how far each affine is from a similarity.
  double ratio_sum = 0;
  int ratios = 0;
  auto distortion = [&](const cv::Matx23d& a) {
    cv::Vec2d w;
    cv::SVD::compute(cv::Matx22d(a(0, 0), a(0, 1), a(1, 0), a(1, 1)), w);
    const double r = w[0] > 0 ? w[1] / w[0] : 1;
    s.distortion = std::min(s.distortion, r);
    ratio_sum += r, ++ratios;
  };
  if (o.views) {
    double retained = 0, least = 1;
    for (const FrameView& v : o.views->frames) {
      if (!v.ok) {
        ++s.failed_views;
        continue;
      }
      distortion(v.affine);
      retained += v.retained, least = std::min(least, v.retained);
    }
    if (ratios) s.retained_mean = retained / ratios, s.retained_min = least;
  } else {
    for (const FrameMotion& m : track.motion)
      if (m.ok) distortion(m.affine);
  }
  s.distortion_mean = ratios ? ratio_sum / ratios : 1;
  for (double u : track.uncovered) s.uncovered_mean += u, s.uncovered_max = std::max(s.uncovered_max, u);
  if (!track.uncovered.empty()) s.uncovered_mean /= double(track.uncovered.size());
  return s;
}

Truth ReadTruth(const std::string& truth_json) {
  std::ifstream f(truth_json);
  if (!f) throw std::runtime_error(truth_json + ": cannot read");
  const nlohmann::json j = nlohmann::json::parse(f);
  Truth t;
  t.width = j.at("width").get<int>();
  t.height = j.at("height").get<int>();
  for (const auto& frame : j.at("frames")) {
    const auto& i = frame.at("intended");
    const auto& k = frame.at("shake");
    const Pose p{i.at("x").get<double>(), i.at("y").get<double>(), i.at("roll").get<double>(), i.value("zoom", 1.0)};
    t.intended.push_back(p);
    t.shaky.push_back({p.x + k.at("x").get<double>(), p.y + k.at("y").get<double>(),
                       p.roll + k.at("roll").get<double>(), p.scale * k.value("zoom", 1.0)});
  }
  t.cuts = j.value("cuts", std::vector<int>{});
  if (j.contains("mask"))
    t.mask = (std::filesystem::path(truth_json).parent_path() / j.at("mask").get<std::string>()).string();
  return t;
}

}  // namespace vendrix::quality
