// The exports as a host sees them: through the public header and the shared library, loaded (and so
// attached) by the dynamic loader.
#include <gtest/gtest.h>

#include "vendrix/vendrix.h"

namespace {

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
