// The exports as a host sees them: through the public header and the shared library, loaded (and so
// attached) by the dynamic loader.
#include <gtest/gtest.h>

#include "vendrix/vendrix.h"

namespace {

// The profile exports pass through to the table (whose rows, lookup and range are tested in
// tests/model/profiles_test.cpp).
TEST(Exports, ProfilesRoundTrip) {
  PathSettings rec;
  EXPECT_EQ(ApplyProfile(GetProfileNums(), &rec), 0);
  ASSERT_EQ(ApplyProfile(8, &rec), 1);
  EXPECT_EQ(FindProfile(&rec), 10);  // profiles 8 and 10 are the same: the highest index is found
  EXPECT_TRUE(IsSameProfile(8, &rec) == 1 && IsSameProfile(0, &rec) == 0);
}

TEST(Exports, PathLifecycleSizesAndQueryFailures) {
  GlobalMotionPath* path = NewGlobalMotionPath(0, 100, VENDRIX_PATH_INTERLACED);
  ASSERT_NE(path, nullptr);
  // Two entries per interlaced frame.
  EXPECT_EQ(SizeOfMotionCompArrayBPath(path), VENDRIX_COMP_B_SIZE(200));
  EXPECT_EQ(SizeOfMotionCompArrayDPath(path), VENDRIX_COMP_D_SIZE(200));
  EXPECT_EQ(GetCurrentAnalysisFrameCount(path), 0);
  float out[3] = {1, 2, 3};
  EXPECT_EQ(GetAnalysisFrameTranslation(path, 0, 199, out), 1);
  EXPECT_EQ(out[0], 0.0f);
  EXPECT_EQ(GetAnalysisFrameTranslation(path, 0, 200, out), 0);
  EXPECT_EQ(GetAnalysisFrameRotation(path, 1, 0, out), 0);
  FrameMvRecord mv{};
  mv.tag = 2;
  GetFrameMV(path, 0, &mv);
  EXPECT_EQ(mv.workWidth, 0u);
  DeleteGlobalMotionPath(path);

  DeleteGlobalMotionPath(nullptr);
  EXPECT_EQ(SizeOfMotionCompArrayBPath(nullptr) + SizeOfMotionCompArrayDPath(nullptr), 0);
  EXPECT_EQ(GetCurrentAnalysisFrameCount(nullptr), -1);
  GetFrameMV(nullptr, 0, &mv);
  GetFrameMV(nullptr, 0, nullptr);
}

}  // namespace
