// The whole offline road through the public exports at every analysis level: a synthetic shaky clip is
// scanned, finished, defined and rendered; the rendered frames must be much steadier than the input,
// measured independently of the library.
#include <gtest/gtest.h>

#include "support/shaky_clip.h"

namespace {

struct Road {
  uint32_t profile;
  int32_t level;  // the profile's own level, or another one with its smoothing and framing
  double keep;    // the jitter that may remain, as a share of the input's
};

class EndToEnd : public ::testing::TestWithParam<Road> {};

TEST_P(EndToEnd, ScanFinishDefineRenderSteadiesAShakyClip) {
  static const std::vector<cv::Mat> input = vendrix::testing::ShakyClip(480, 270, 72, 3);
  const Road road = GetParam();
  PathSettings settings;
  ASSERT_EQ(ApplyProfile(road.profile, &settings), 1);
  settings.AnalysisLevel = road.level;
  const double before = vendrix::testing::MeasuredJitter(input);
  const double after = vendrix::testing::MeasuredJitter(vendrix::testing::Stabilise(input, settings));
  EXPECT_LT(after, road.keep * before) << "jitter " << before << " px in, " << after << " px out";
}

// Levels 0-5 smooth with the additive finisher, 6-9 with the matrix finisher; 9 is feature tracking.
INSTANTIATE_TEST_SUITE_P(Levels, EndToEnd,
                         ::testing::Values(Road{0, 0, 0.2}, Road{0, 1, 0.2}, Road{7, 2, 0.2}, Road{1, 3, 0.2},
                                           Road{30, 4, 0.2}, Road{2, 5, 0.2}, Road{34, 6, 0.2}, Road{34, 7, 0.2},
                                           Road{41, 8, 0.2}, Road{41, 9, 0.15}));

}  // namespace
