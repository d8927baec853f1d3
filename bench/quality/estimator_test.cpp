// The bench's estimator against the truth of `vendrix shake`: frame-to-frame motion on a lossless clip,
// on x264-encoded, zoomed and black-bordered versions of it, the uncovered share, and the path scores.
#include "estimator.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>

#include <unistd.h>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

namespace vendrix::quality {
namespace {

namespace fs = std::filesystem;

// Where frame i's pixel u shows in frame i + 1, from the two camera poses (pixel-index coordinates).
cv::Matx33d TrueStep(const Pose& a, const Pose& b, double w, double h) {
  auto rot = [](double r) { return cv::Matx33d(std::cos(r), -std::sin(r), 0, std::sin(r), std::cos(r), 0, 0, 0, 1); };
  auto shift = [](double x, double y) { return cv::Matx33d(1, 0, x, 0, 1, y, 0, 0, 1); };
  return shift(w / 2, h / 2) * rot(-b.roll) * shift(a.x - b.x, a.y - b.y) * rot(a.roll) * shift(-w / 2, -h / 2);
}

struct Errors {
  double rms = 0, max = 0;  // over frame pairs of the largest error at the centre and the four corners, px
  int failed = 0;
};

// `view` maps the generator's pixels to the measured clip's (a zoom), identity otherwise.
Errors Compare(const ClipTrack& t, const std::vector<Pose>& truth, const cv::Matx33d& view) {
  Errors e;
  const double w = t.width, h = t.height;
  const cv::Vec3d probes[] = {{w / 2, h / 2, 1}, {0, 0, 1}, {w, 0, 1}, {0, h, 1}, {w, h, 1}};
  for (size_t i = 0; i < t.motion.size(); ++i) {
    if (!t.motion[i].ok) {
      ++e.failed;
      continue;
    }
    const cv::Matx33d want = view * TrueStep(truth[i], truth[i + 1], w, h) * view.inv();
    const cv::Matx23d& got = t.motion[i].affine;
    double worst = 0;
    for (const cv::Vec3d& p : probes) {
      const cv::Vec3d q = want * p;
      worst = std::max(worst, std::hypot(got(0, 0) * p[0] + got(0, 1) * p[1] + got(0, 2) - q[0],
                                         got(1, 0) * p[0] + got(1, 1) * p[1] + got(1, 2) - q[1]));
    }
    e.rms += worst * worst;
    e.max = std::max(e.max, worst);
  }
  e.rms = std::sqrt(e.rms / double(t.motion.size() - size_t(e.failed)));
  return e;
}

class EstimatorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = fs::temp_directory_path() / ("vendrix-quality-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    const std::string clean = In("clean.mkv");
    // Lossless x264, so the clean clip carries only the generator's own resampling.
    Run(std::string(VENDRIX_CLI_PATH) + " shake -q " + VENDRIX_SOURCE_DIR + "/data/coffee.jpg " + clean +
        " --frames 60 --seed 5 --crf 0");
    const std::string x264 = " -c:v libx264 -crf 23 -preset veryfast ";
    Run("ffmpeg -v error -y -i " + clean + x264 + In("encoded.mp4"));
    // 1.1 x zoom about the centre: 640 x 360 -> 704 x 396, the middle 640 x 360 kept (offset 32, 18).
    Run("ffmpeg -v error -y -i " + clean + " -vf scale=704:396:flags=bicubic,crop=640:360" + x264 + In("zoomed.mp4"));
    // Black bars: 40 columns on the left and 24 rows at the top.
    Run("ffmpeg -v error -y -i " + clean +
        " -vf drawbox=x=0:y=0:w=40:h=ih:color=black:t=fill,drawbox=x=0:y=0:w=iw:h=24:color=black:t=fill" + x264 +
        In("bordered.mp4"));
    // Stretched edges: the same bars filled by repeating the picture's edge pixels.
    // A stabiliser's output with stretched edges: the picture moved right by 40 and down by 24, the
    // opened margins filled by repeating the picture's edge pixels.
    Run("ffmpeg -v error -y -i " + clean + " -vf crop=600:336:0:0,pad=640:360:40:24,fillborders=left=40:top=24:mode=smear" +
        x264 + In("moved.mp4"));
    Run(std::string(VENDRIX_CLI_PATH) + " shake -q " + VENDRIX_SOURCE_DIR + "/data/coffee.jpg " + In("shutter.mkv") +
        " --preset rolling-shutter --frames 90 --seed 5 --crf 0");
    truth_ = new Truth(ReadTruth(In("clean.json")));
  }
  static void TearDownTestSuite() {
    fs::remove_all(dir_);
    delete truth_;
    delete tracks_;
  }
  // Each clip is tracked once for all the tests.
  static const ClipTrack& Track(const std::string& clip) {
    if (!tracks_) tracks_ = new std::map<std::string, ClipTrack>;
    auto it = tracks_->find(clip);
    return it != tracks_->end() ? it->second : tracks_->emplace(clip, TrackClip(In(clip))).first->second;
  }
  static std::string In(const std::string& name) { return (dir_ / name).string(); }
  static void Run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

  static inline fs::path dir_;
  static inline Truth* truth_ = nullptr;
  static inline std::map<std::string, ClipTrack>* tracks_ = nullptr;
};

TEST_F(EstimatorTest, FrameMotionMatchesTheGeneratorsTruth) {
  const cv::Matx33d same = cv::Matx33d::eye();
  // Zoom: scaled pixel centres, (u + 0.5) * 1.1 - 0.5, then the crop offset.
  const cv::Matx33d zoom(1.1, 0, 0.05 - 32, 0, 1.1, 0.05 - 18, 0, 0, 1);
  struct Case {
    const char* clip;
    cv::Matx33d view;
    double rms, max;
  } cases[] = {{"clean.mkv", same, 0.04, 0.1},
               // x264 rounds every block's motion to a quarter pixel and CRF 23 drops most of the residual,
               // so the encoded frames themselves sit up to a few tenths of a pixel off the true motion; the
               // affine's two freedoms beyond a similarity take some of that at the corners.
               {"encoded.mp4", same, 0.35, 0.8},
               {"zoomed.mp4", zoom, 0.35, 0.8},
               {"bordered.mp4", same, 0.35, 0.8}};
  for (const Case& c : cases) {
    const ClipTrack& t = Track(c.clip);
    ASSERT_EQ(t.motion.size(), truth_->shaky.size() - 1) << c.clip;
    const Errors e = Compare(t, truth_->shaky, c.view);
    EXPECT_EQ(e.failed, 0) << c.clip;
    EXPECT_LT(e.rms, c.rms) << c.clip;
    EXPECT_LT(e.max, c.max) << c.clip;
    std::printf("%-13s frame-to-frame error: RMS %.3f px, max %.3f px (centre and corners)\n", c.clip, e.rms, e.max);
  }
}

TEST_F(EstimatorTest, UncoveredShareIsZeroOnPlainFramesAndTheBarsOnBorderedOrStretchedOnes) {
  const double bars = (40.0 * 360 + 24.0 * 600) / (640 * 360);
  const Scores plain = Score(Track("encoded.mp4"), {});
  // Not quite zero: the picture's flat, dark top-left corner, flattened further by the encoder, passes
  // for a black wedge in a few frames.
  EXPECT_LT(plain.uncovered_mean, 0.005);
  EXPECT_LT(plain.uncovered_max, 0.01);
  const Scores bordered = Score(Track("bordered.mp4"), {});
  EXPECT_NEAR(bordered.uncovered_mean, bars, 0.005);
  EXPECT_NEAR(bordered.uncovered_max, bars, 0.01);
  // Stretched edges look like picture; the input-to-output maps place them exactly.
  const InputViews views = CompareToInput(In("clean.mkv"), In("moved.mp4"));
  ASSERT_EQ(views.frames.size(), truth_->shaky.size());
  const Scores moved = Score(TrackClip(In("moved.mp4"), "", &views), {.views = &views});
  EXPECT_EQ(moved.failed_views, 0);
  EXPECT_NEAR(moved.uncovered_mean, bars, 0.003);
  EXPECT_NEAR(*moved.retained_mean, 600.0 * 336 / (640 * 360), 0.003);
  for (const FrameView& v : views.frames) {
    for (const cv::Vec3d& p : {cv::Vec3d(0, 0, 1), cv::Vec3d(640, 0, 1), cv::Vec3d(0, 360, 1), cv::Vec3d(640, 360, 1)})
      EXPECT_LT(cv::norm(v.similarity * p - cv::Vec2d(p[0] + 40, p[1] + 24)), 0.5);  // as encoded frames allow
  }
  std::printf("uncovered: plain mean %.4f max %.4f; black bars mean %.4f max %.4f; stretched %.4f (bars %.4f)\n",
              plain.uncovered_mean, plain.uncovered_max, bordered.uncovered_mean, bordered.uncovered_max,
              moved.uncovered_mean, bars);
}

TEST_F(EstimatorTest, PathErrorAgainstTheTruthHasLittleDrift) {
  // The shaky clip's own path given as the intended one: what is left is the estimator's drift, from
  // accumulated frame-to-frame tracking and from the input-to-output maps.
  Truth same = *truth_;
  same.intended = same.shaky;
  ScoreOptions o;
  o.truth = &same;
  const Scores tracked = Score(Track("encoded.mp4"), o);
  ASSERT_TRUE(tracked.intended_error_px);
  EXPECT_LT(*tracked.intended_error_px, 1.0);
  EXPECT_GT(tracked.jitter_px, 5.0);  // handheld shake is far above the estimator's noise
  EXPECT_LT(tracked.wobble_px, 0.3);  // a global shutter's rows do not bend (the rolling shutter's: 2.8)
  const InputViews views = CompareToInput(In("clean.mkv"), In("zoomed.mp4"));
  o.views = &views;
  const Scores mapped = Score(TrackClip(In("zoomed.mp4"), "", &views), o);
  ASSERT_TRUE(mapped.intended_error_px);
  EXPECT_LT(*mapped.intended_error_px, 0.75);
  EXPECT_EQ(mapped.failed_views, 0);
  // The 1.1 zoom keeps 1 / 1.21 of the picture and distorts nothing.
  EXPECT_NEAR(*mapped.retained_mean, 1 / 1.21, 0.003);
  EXPECT_GT(mapped.distortion, 0.995);
  std::printf("drift against the truth (1080 lines): accumulated %.3f px, mapped %.3f px; retained %.4f\n",
              *tracked.intended_error_px, *mapped.intended_error_px, *mapped.retained_mean);
}

TEST_F(EstimatorTest, RollingShutterPathFollowsTheCentreRow) {
  // Every row of a rolling-shutter frame shows its own moment; the truth gives the centre row's pose.
  Truth shutter = ReadTruth(In("shutter.json"));
  shutter.intended = shutter.shaky;
  ScoreOptions o;
  o.truth = &shutter;
  const ClipTrack& t = Track("shutter.mkv");
  const Scores s = Score(t, o);
  EXPECT_EQ(s.failed_pairs, 0);
  ASSERT_TRUE(s.intended_error_px);
  // A path of similarities drifts by 25 px here and overstates the jitter by a fifth; one of RANSAC
  // affines drifts by 5 px and overstates it by 2.5 %.
  EXPECT_LT(*s.intended_error_px, 1.5);
  // The truth's own jitter, by the score's low-pass.
  std::vector<double> x, y;
  for (const Pose& p : shutter.shaky) x.push_back(p.x * 1080 / shutter.height), y.push_back(p.y * 1080 / shutter.height);
  const double sigma = 0.1325 / o.lowpass_hz * t.fps;
  const std::vector<double> lx = LowPass(x, sigma), ly = LowPass(y, sigma);
  double sum = 0;
  for (size_t i = 0; i < x.size(); ++i) sum += std::pow(x[i] - lx[i], 2) + std::pow(y[i] - ly[i], 2);
  const double truth_jitter = std::sqrt(sum / double(x.size()));
  EXPECT_NEAR(s.jitter_px, truth_jitter, 0.015 * truth_jitter);
  EXPECT_GT(s.wobble_px, 1.5);
  std::printf("rolling shutter: jitter %.2f px (truth %.2f), drift %.3f px, wobble %.3f px\n", s.jitter_px, truth_jitter,
              *s.intended_error_px, s.wobble_px);
}

TEST(ScoreTest, SlowMotionIsStableAndFastMotionIsJitter) {
  // Synthetic tracks: a slow sinusoidal pan (one cycle over the clip) and a 10 Hz shake of 2 px.
  auto track = [](double hz, double amplitude) {
    ClipTrack t;
    t.width = 1920, t.height = 1080, t.fps = 30;
    t.uncovered.assign(150, 0);
    for (int i = 1; i < 150; ++i) {
      FrameMotion m;
      m.ok = true;
      const double step = amplitude * (std::sin(2 * M_PI * hz * i / 30) - std::sin(2 * M_PI * hz * (i - 1) / 30));
      m.similarity = m.affine = m.step = cv::Matx23d(1, 0, -step, 0, 1, 0);
      t.motion.push_back(m);
    }
    return t;
  };
  const Scores slow = Score(track(0.2, 10), {}), shaky = Score(track(10, 2), {});
  EXPECT_GT(slow.stability_translation, 0.95);
  EXPECT_LT(slow.jitter_px, 0.5);
  EXPECT_LT(shaky.stability_translation, 0.2);
  EXPECT_NEAR(shaky.jitter_px, 2 / std::sqrt(2.0), 0.1);
  EXPECT_DOUBLE_EQ(slow.stability_rotation, 1.0);  // no rotation at all
  // A steady pan is smooth to the last frame: no jitter at the clip's ends.
  std::vector<double> pan(60);
  for (size_t i = 0; i < pan.size(); ++i) pan[i] = 7.5 * double(i);
  const std::vector<double> low = LowPass(pan, 4);
  for (size_t i = 0; i < pan.size(); ++i) ASSERT_NEAR(low[i], pan[i], 1e-9) << i;
  // ... and a pan that turns back at a hard cut is smooth on both sides of it.
  for (size_t i = 30; i < pan.size(); ++i) pan[i] = 7.5 * 29 - 5.0 * double(i - 30);
  const std::vector<double> shots = LowPassShots(pan, 4, {30});
  for (size_t i = 0; i < pan.size(); ++i) ASSERT_NEAR(shots[i], pan[i], 1e-9) << i;
  EXPECT_DOUBLE_EQ(slow.distortion, 1.0);
}

}  // namespace
}  // namespace vendrix::quality
