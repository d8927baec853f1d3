// Test entry for the tests that link the library's internals: attach the library once, as loading the
// shared object would, and detach at the end.
#include <gtest/gtest.h>

#include "core/library.h"
#include "texmap/render.h"

namespace {
class LibraryEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    vendrix::core::CreateRTPathLock();
    ASSERT_TRUE(vendrix::core::ProcessAttach(nullptr));
  }
  void TearDown() override {
    vendrix::texmap::ReleaseRenderScratch();
    vendrix::core::ProcessDetach();
    vendrix::core::DeleteRTPathLock();
  }
};
}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new LibraryEnvironment);
  return RUN_ALL_TESTS();
}
