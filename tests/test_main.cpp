// Test entry for the tests that link the library's internals: attach the library once, as loading the
// shared object would, and detach at the end.
#include <gtest/gtest.h>

#include "concurrency/library.h"
#include "texmap/render.h"

namespace {
class LibraryEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    vendrix::concurrency::CreateRTPathLock();
    ASSERT_TRUE(vendrix::concurrency::ProcessAttach(nullptr));
  }
  void TearDown() override {
    vendrix::texmap::ReleaseRenderScratch();
    vendrix::concurrency::ProcessDetach();
    vendrix::concurrency::DeleteRTPathLock();
  }
};
}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new LibraryEnvironment);
  return RUN_ALL_TESTS();
}
