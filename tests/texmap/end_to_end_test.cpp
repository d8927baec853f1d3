// The whole offline road through the public exports: a synthetic shaky clip is scanned, finished,
// defined and rendered at the default settings; the rendered frames must be much steadier than the
// input, measured independently of the library by phase correlation between consecutive frames.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "support/synthetic_frames.h"
#include "vendrix/vendrix.h"

namespace {

constexpr int kW = 640, kH = 360, kFrames = 90;

cv::Mat ToBgra(const cv::Mat& grey) {
  cv::Mat bgra;
  cv::cvtColor(grey, bgra, cv::COLOR_GRAY2BGRA);
  return bgra;
}

// Frame-to-frame jitter of a clip: RMS second difference of the accumulated phase-correlation shifts.
double MeasuredJitter(const std::vector<cv::Mat>& frames) {
  std::vector<double> x{0.0}, y{0.0};
  cv::Mat window;
  cv::createHanningWindow(window, frames[0].size(), CV_64F);
  cv::Mat prev;
  frames[0].convertTo(prev, CV_64F);
  for (size_t i = 1; i < frames.size(); ++i) {
    cv::Mat cur;
    frames[i].convertTo(cur, CV_64F);
    const cv::Point2d d = cv::phaseCorrelate(prev, cur, window);
    x.push_back(x.back() + d.x);
    y.push_back(y.back() + d.y);
    prev = cur;
  }
  double s = 0;
  for (size_t i = 2; i < x.size(); ++i)
    s += std::pow(x[i] - 2 * x[i - 1] + x[i - 2], 2) + std::pow(y[i] - 2 * y[i - 1] + y[i - 2], 2);
  return std::sqrt(s / double(x.size() - 2));
}

TEST(EndToEnd, ScanFinishDefineRenderSteadiesAShakyClip) {
  const cv::Mat texture = vendrix::testing::MakeTexture(kW + 240, kH + 240, 77);
  std::mt19937 rng(3);
  std::normal_distribution<double> shake(0.0, 3.0);
  std::vector<cv::Mat> input;
  for (int i = 0; i < kFrames; ++i) {
    vendrix::testing::CameraPose p;
    p.tx = 0.5 * i + shake(rng);
    p.ty = shake(rng);
    p.theta = 0.003 * shake(rng);
    input.push_back(ToBgra(vendrix::testing::RenderFrame(texture, kW, kH, p)));
  }

  PathSettings settings;
  ASSERT_EQ(ApplyProfile(41, &settings), 1);  // the default record
  GlobalMotionPath* path = NewGlobalMotionPath(0, kFrames, 0);
  ASSERT_NE(path, nullptr);
  for (int i = 0; i < kFrames; ++i) {
    ScanInput in{};
    in.tag = VENDRIX_SCAN_INPUT_TAG;
    in.format = VENDRIX_PIXFMT_BGRA8;
    in.width = kW;
    in.height = kH;
    in.pitch = static_cast<int32_t>(input[i].step[0]);
    in.buffer = input[i].data;
    in.aspectFactor = 1.0f;
    in.settings = settings;
    ScanMapB(path, static_cast<uint32_t>(i), &in);
  }
  FinishPathB(path, 0, &settings);
  const int64_t size = SizeOfMotionCompArrayBPath(path);
  std::vector<uint32_t> comp(static_cast<size_t>(size / 4), 0);
  comp[0] = VENDRIX_COMP_B_TAG;
  ASSERT_EQ(CopyMotionCompArrayBPath(path, comp.data(), static_cast<int32_t>(size)), 1u);
  // The host places its settings in the array; the definition reads the framing from there.
  std::memcpy(reinterpret_cast<uint8_t*>(comp.data()) + VENDRIX_COMP_OFFSET_SETTINGS, &settings, sizeof(settings));

  std::vector<cv::Mat> output, output_grey;
  for (int i = 0; i < kFrames; ++i) {
    cv::Mat out(kH, kW, CV_8UC4, cv::Scalar(0, 0, 0, 0));
    TexMapDefA def{};
    def.version = VENDRIX_TEXMAP_A_VERSION;
    def.pixelFormat = VENDRIX_PIXFMT_BGRA8;
    def.srcRect = {0, 0, kW * VENDRIX_FX_ONE, kH * VENDRIX_FX_ONE};
    def.srcPitch = static_cast<int32_t>(input[i].step[0]);
    def.srcRows = kH;
    def.srcBuffer = input[i].data;
    def.outRect = {0, 0, kW * VENDRIX_FX_ONE, kH * VENDRIX_FX_ONE};
    def.outPitch = static_cast<int32_t>(out.step[0]);
    def.outRows = kH;
    def.outBuffer = out.data;
    DefTexMapA(&def, comp.data(), 0, i, 0, kW, kH);
    TexMap(&def);
    output.push_back(out);
  }
  // Compare the centre regions, where every frame has picture in both clips.
  const cv::Rect centre(kW / 4, kH / 4, kW / 2, kH / 2);
  std::vector<cv::Mat> in_c, out_c;
  for (int i = 0; i < kFrames; ++i) {
    cv::Mat g;
    cv::cvtColor(input[i](centre), g, cv::COLOR_BGRA2GRAY);
    in_c.push_back(g.clone());
    cv::cvtColor(output[i](centre), g, cv::COLOR_BGRA2GRAY);
    out_c.push_back(g.clone());
  }
  const double before = MeasuredJitter(in_c), after = MeasuredJitter(out_c);
  std::printf("[ end to end ] measured jitter %.3f px in, %.3f px out (%.1f %%)\n", before, after, 100 * after / before);
  EXPECT_LT(after, 0.15 * before);
  DeleteGlobalMotionPath(path);
}

}  // namespace
