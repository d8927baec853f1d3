// The per-entry compensation of a finished path and its export as compensation arrays B and D: band
// values, the border flag, probes, wrong tags and sizes, and the frame scale the additive finisher's
// translation is corrected by. (The layout of whole arrays is pinned by the golden hashes.)
#include "finishing/compensation.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace vendrix::finishing {
namespace {

class CompArrays : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = model::PathCreate(3, 0);
    path_->width = 640;
    path_->height = 360;
    path_->modelParams.modelKind = model::kModelProjective;
  }
  void TearDown() override { model::PathDelete(path_); }
  // A host block of the exact size, tag set, every other word 0xDEADBEEF.
  static std::vector<uint32_t> Block(int64_t bytes, uint32_t tag) {
    std::vector<uint32_t> b(static_cast<size_t>(bytes / 4), 0xDEADBEEFu);
    b[0] = tag;
    return b;
  }
  static int32_t Size(const std::vector<uint32_t>& b) { return static_cast<int32_t>(b.size() * 4); }
  GlobalMotionPath* path_ = nullptr;
};

TEST_F(CompArrays, ArrayDBandsAndTheBorderFlagOfArrayB) {
  auto d = Block(VENDRIX_COMP_D_SIZE(3), VENDRIX_COMP_D_TAG);
  for (const float band : {-0.5f, 0.5f}) {  // stored negated in 8.8
    path_->smoothed->records[0].f(model::kSlotBands) = band;
    ASSERT_EQ(CopyCompArrayD(path_, d.data(), Size(d)), 1u);
    int16_t band0;
    std::memcpy(&band0, reinterpret_cast<uint8_t*>(d.data()) + VENDRIX_COMP_D_OFFSET_RECORDS + 32, 2);
    EXPECT_EQ(band0, band < 0 ? 128 : -128);
  }
  path_->modelParams.borderFraction = 0.5f;
  path_->limitX = path_->limitY = 10.0f;
  path_->limitAngle = 0.1f;
  path_->smoothed->records[1].f(model::kSlotTx) = -8.5f;  // |K.tx| = 8.5 <= limit - 1
  path_->smoothed->records[2].f(model::kSlotTx) = -9.5f;  // |K.tx| = 9.5 > limit - 1
  auto b = Block(VENDRIX_COMP_B_SIZE(3), VENDRIX_COMP_B_TAG);
  ASSERT_EQ(CopyCompArrayB(path_, b.data(), Size(b)), 1u);
  auto flag = [&](int i) { return b[(VENDRIX_COMP_B_OFFSET_RECORDS + i * VENDRIX_COMP_B_RECORD_SIZE + 32) / 4]; };
  EXPECT_EQ(flag(1), 0u);
  EXPECT_EQ(flag(2), 1u);
}

TEST_F(CompArrays, ProbesWrongTagsAndSizesLeaveTheBlockUntouched) {
  auto b = Block(VENDRIX_COMP_B_SIZE(3), VENDRIX_COMP_B_TAG);
  const auto pristine = b;
  EXPECT_EQ(CopyCompArrayB(path_, b.data(), 0), 1u);  // probe
  EXPECT_EQ(CopyCompArrayB(path_, b.data(), static_cast<int32_t>(VENDRIX_COMP_B_SIZE(3) - 1)), 0u);
  EXPECT_EQ(CopyCompArrayB(path_, b.data(), static_cast<int32_t>(VENDRIX_COMP_B_SIZE(3) + 4)), 0u);  // only the exact size
  EXPECT_EQ(CopyCompArrayD(path_, b.data(), 0), 0u);  // array D rejects a block tagged for B
  EXPECT_EQ(CopyCompArrayB(nullptr, b.data(), 0), 0u);
  EXPECT_EQ(CopyCompArrayB(path_, nullptr, 0), 0u);
  EXPECT_EQ(b, pristine);
  GlobalMotionPath* empty = model::PathCreate(0, kPathInterlaced);
  auto e = Block(VENDRIX_COMP_B_SIZE(0), VENDRIX_COMP_B_TAG);
  EXPECT_EQ(CopyCompArrayB(empty, e.data(), Size(e)), 1u);
  EXPECT_EQ(e[10], 1u);            // interlaced
  EXPECT_EQ(e[158], 0xDEADBEEFu);  // only the header was written; the spare stays
  model::PathDelete(empty);
}

TEST_F(CompArrays, AdditiveCompensationScalesTranslationByTheFrameWidth) {
  path_->modelParams.modelKind = model::kModelCornersTwoPass;
  model::FrameRecord& in = path_->integrated->records[1];
  in.f(model::kSlotTx) = 4.0f;
  // Corner offsets 64 px apart across the frame give the scale (640 - 64) / 640.
  const float x_offsets[4] = {-32.0f, 32.0f, 32.0f, -32.0f};
  for (int c = 0; c < 4; ++c) in.f(model::kSlotCorners + 2 * c) = x_offsets[c];
  model::FrameRecord k;
  FrameCompensation(path_, 1, k);
  EXPECT_NEAR(k.f(model::kSlotTx), 4.0f * 576.0f / 640.0f, 1e-4f);
  path_->width = 0;  // never scanned: no compensation instead of a division by zero
  FrameCompensation(path_, 1, k);
  EXPECT_EQ(k.f(model::kSlotTx), 0.0f);
}

}  // namespace
}  // namespace vendrix::finishing
