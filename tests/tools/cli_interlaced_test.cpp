// Interlaced video end to end: clips woven from two fields filmed half a frame apart are stabilised
// field by field and stay interlaced in their field order; --progressive writes whole frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include "cli_support.h"

extern "C" {
#include <libavcodec/codec_par.h>
}

namespace vendrix::testing {
namespace {

// Field `parity` (0: rows 0, 2, 4 ...) of every frame, as pictures of half the height.
std::vector<cv::Mat> Fields(const std::vector<cv::Mat>& frames, int parity) {
  std::vector<cv::Mat> fields;
  for (const cv::Mat& f : frames) {
    cv::Mat field(f.rows / 2, f.cols, f.type());
    for (int y = 0; y < field.rows; ++y) f.row(2 * y + parity).copyTo(field.row(y));
    fields.push_back(field);
  }
  return fields;
}

// The larger jitter of the two fields' own sequences, measured apart.
double FieldJitter(const std::string& clip) {
  const std::vector<cv::Mat> frames = DecodeGrey(clip);
  return std::max(Jitter(CentreMotion(Fields(frames, 0))), Jitter(CentreMotion(Fields(frames, 1))));
}

// Horizontal motion from field to field in the order they were filmed (only x: the fields lie half a
// row apart vertically); its jitter sees whether the two fields of a frame were corrected apart.
std::vector<cv::Point2d> InterleavedMotion(const std::string& clip, bool top_first) {
  const std::vector<cv::Mat> frames = DecodeGrey(clip);
  const std::vector<cv::Mat> first = Fields(frames, top_first ? 0 : 1), second = Fields(frames, top_first ? 1 : 0);
  std::vector<cv::Mat> in_time;
  for (size_t i = 0; i < first.size(); ++i) in_time.push_back(first[i]), in_time.push_back(second[i]);
  std::vector<cv::Point2d> motion = CentreMotion(in_time);
  for (cv::Point2d& m : motion) m.y = 0;
  return motion;
}

TEST(CliInterlaced, FieldsAreStabilisedApartAndTheFieldOrderKept) {
  ScratchDir dir;
  for (const std::string order : {"top", "bottom"}) {
    SCOPED_TRACE(order);
    const std::string clip = dir / (order + ".mp4"), out = dir / (order + ".out.mp4");
    ASSERT_TRUE(VendrixOk("shake -q " + SampleImage() + " " + clip +
                          " --preset vehicle --size 320x240 --frames 40 --interlaced --field-order " + order));
    // The fields show the poses the truth gives them (the content moves against the camera).
    const nlohmann::json truth = ReadJson(dir / (order + ".json"));
    ASSERT_TRUE(truth["interlaced"].get<bool>() && truth["field_order"] == order);
    auto camera_x = [&](size_t field) {
      const nlohmann::json& f = truth["frames"][field / 2];
      const nlohmann::json& pose = field % 2 ? f["second_field"] : f;
      return pose["intended"]["x"].get<double>() + pose["shake"]["x"].get<double>();
    };
    const std::vector<cv::Point2d> steps = InterleavedMotion(clip, order == "top");
    double sq = 0;
    for (size_t k = 0; k < steps.size(); ++k) sq += std::pow(steps[k].x + camera_x(k + 1) - camera_x(k), 2);
    EXPECT_LT(std::sqrt(sq / double(steps.size())), 0.25);  // measured 0.06 (the steps themselves: 0.8)
    // The bottom-first clip goes through a motion file, which must keep the fields and their order.
    const std::string motion = dir / "m.vxm";
    if (order == "bottom") {
      ASSERT_TRUE(VendrixOk("analyze -q " + clip + " " + motion));
    }
    ASSERT_TRUE(VendrixOk(order == "top" ? "stabilize -q " + clip + " " + out : "render -q " + clip + " " + motion + " " + out));
    const VideoInfo info = Probe(out);
    EXPECT_EQ(info.field_order, order == "top" ? AV_FIELD_TT : AV_FIELD_BB);
    EXPECT_EQ(order == "top" ? info.top_first_frames : info.bottom_first_frames, 40);
    EXPECT_EQ(info.pts.size(), 40u);
    // The vehicle's fast shake changes within half a frame (measured: each field 2.7 -> 0.2-0.3 px,
    // fields in time order 0.79 -> 0.14-0.22 px).
    EXPECT_LT(FieldJitter(out), 0.3 * FieldJitter(clip));
    const double interleaved = Jitter(InterleavedMotion(out, order == "top"));
    EXPECT_LT(interleaved, 0.5 * Jitter(steps));

    if (order == "bottom") {
      const std::string whole = dir / "progressive.mp4";
      ASSERT_TRUE(VendrixOk("stabilize -q --progressive " + clip + " " + whole));
      const VideoInfo p = Probe(whole);
      EXPECT_EQ(p.field_order, AV_FIELD_PROGRESSIVE);
      EXPECT_EQ(p.top_first_frames + p.bottom_first_frames, 0);
      // One correction per frame leaves the fields' difference within a frame (measured 0.36 px).
      EXPECT_GT(Jitter(InterleavedMotion(whole, false)), 1.5 * interleaved);
    }
  }
}

}  // namespace
}  // namespace vendrix::testing
