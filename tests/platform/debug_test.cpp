#include "platform/debug.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vendrix::platform {
namespace {

std::vector<std::string>* g_lines = nullptr;

class DebugTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_lines = &lines_;
    previous_ = SetDebugSink([](const char* line) { g_lines->emplace_back(line); });
  }
  void TearDown() override { SetDebugSink(previous_); }
  std::vector<std::string> lines_;
  DebugSink previous_ = nullptr;
};

TEST_F(DebugTest, FormatsIntoTheSinkAndIgnoresNullFormat) {
  DebugPrintf("Vendrix: %s %d\n", "value", 42);
  DebugPrintf(nullptr);
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_EQ(lines_[0], "Vendrix: value 42\n");
}

TEST_F(DebugTest, OverlongMessageIsCutToTheBufferAndStillEndsTheLine) {
  const std::string huge(10000, 'x');
  DebugPrintf("Vendrix: %s\n", huge.c_str());
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_EQ(lines_[0].size(), static_cast<size_t>(kDebugBufferSize - 1));
  EXPECT_EQ(lines_[0].back(), '\n');
  EXPECT_EQ(lines_[0].rfind("Vendrix: xxx", 0), 0u);
}

}  // namespace
}  // namespace vendrix::platform
