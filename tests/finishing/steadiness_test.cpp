// End to end through the analysis and the finisher: a synthetic shaky clip is scanned at the default
// settings and finished; the compensation arrays must remove most of the shake and keep the pan.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "analysis/scan.h"
#include "model/analyser.h"
#include "finishing/compensation.h"
#include "finishing/finish.h"
#include "support/synthetic_frames.h"
#include "model/profiles.h"

namespace vendrix::finishing {
namespace {

constexpr int kW = 640, kH = 360, kFrames = 120;

// RMS of the second difference: the frame-to-frame jitter of a path.
double Jitter(const std::vector<double>& x) {
  double s = 0;
  for (size_t i = 2; i < x.size(); ++i) s += std::pow(x[i] - 2 * x[i - 1] + x[i - 2], 2);
  return std::sqrt(s / double(x.size() - 2));
}

TEST(Steadiness, DefaultSettingsRemoveNinetyPercentOfTheShake) {
  const cv::Mat texture = vendrix::testing::MakeTexture(kW + 240, kH + 240, 31);
  std::vector<vendrix::testing::CameraPose> poses;
  std::vector<cv::Mat> frames;
  std::mt19937 rng(5);
  std::normal_distribution<double> shake(0.0, 2.5);
  for (int i = 0; i < kFrames; ++i) {
    vendrix::testing::CameraPose p;
    p.tx = 0.8 * i + shake(rng);  // a slow pan with handheld shake
    p.ty = shake(rng);
    p.theta = 0.004 * shake(rng);
    poses.push_back(p);
    frames.push_back(vendrix::testing::RenderFrame(texture, kW, kH, p));
  }
  GlobalMotionPath* path = model::PathCreate(kFrames, 0);
  for (int i = 0; i < kFrames; ++i) {
    ScanInput in{};
    in.tag = VENDRIX_SCAN_INPUT_TAG;
    in.format = VENDRIX_PIXFMT_NV12;
    in.width = kW;
    in.height = kH;
    in.pitch = static_cast<int32_t>(frames[i].step[0]);
    in.buffer = frames[i].data;
    in.aspectFactor = 1.0f;
    in.settings = model::kDefaultPathSettings;
    analysis::ScanFrame(path, static_cast<uint32_t>(i), &in);
  }
  FinishPathWith(path, nullptr, &model::kDefaultPathSettings);

  std::vector<uint32_t> b(VENDRIX_COMP_B_SIZE(kFrames) / 4);
  b[0] = VENDRIX_COMP_B_TAG;
  ASSERT_EQ(CopyCompArrayB(path, b.data(), static_cast<int32_t>(b.size() * 4)), 1u);
  std::vector<double> in_x, in_y, out_x, out_y;
  for (int i = 0; i < kFrames; ++i) {
    const auto& rec = reinterpret_cast<const MotionCompArrayBRecord*>(
        reinterpret_cast<const uint8_t*>(b.data()) + VENDRIX_COMP_B_OFFSET_RECORDS)[i];
    // Follow one point of the scene, the texture's centre: in frame i it lies at the pose's translation
    // (centred coordinates). The warp moves it by the corner displacements interpolated bilinearly at
    // that position, which is exact for the similarity warps of this clip.
    const double x = poses[i].tx, y = poses[i].ty;
    const double u = (x + kW / 2.0) / kW, v = (y + kH / 2.0) / kH;
    const double w[4] = {(1 - u) * (1 - v), u * (1 - v), u * v, (1 - u) * v};
    double dx = 0, dy = 0;
    for (int c = 0; c < 4; ++c) dx += w[c] * rec.corner[c].x / 65536.0, dy += w[c] * rec.corner[c].y / 65536.0;
    in_x.push_back(x);
    in_y.push_back(y);
    out_x.push_back(x + dx);
    out_y.push_back(y + dy);
  }
  const double before = std::hypot(Jitter(in_x), Jitter(in_y)), after = std::hypot(Jitter(out_x), Jitter(out_y));
  RecordProperty("residual_jitter_percent", std::to_string(100.0 * after / before));
  std::printf("[ steadiness ] input jitter %.3f px, output %.3f px (%.1f %% left)\n", before, after,
              100.0 * after / before);
  EXPECT_LT(after, 0.1 * before);
  // The pan is kept: over the middle of the clip the stabilised view still travels with the camera.
  EXPECT_NEAR(out_x[100] - out_x[20], poses[100].tx - poses[20].tx, 12.0);
  model::PathDelete(path);
}

}  // namespace
}  // namespace vendrix::finishing
