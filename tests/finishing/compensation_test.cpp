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
  std::vector<uint32_t> Block(int64_t bytes, uint32_t tag) {
    std::vector<uint32_t> b(static_cast<size_t>(bytes / 4), 0xDEADBEEFu);
    b[0] = tag;
    return b;
  }
  GlobalMotionPath* path_ = nullptr;
};

TEST_F(CompArrays, ArrayBLayoutOfAHandSetCorrection) {
  model::FrameRecord& s = path_->smoothed->records[1];
  s.f(model::kSlotTx) = 2.0f;
  s.f(model::kSlotTy) = -1.0f;
  path_->boundsMin[0] = -1.5f;
  path_->fieldMode = 5;
  auto b = Block(VENDRIX_COMP_B_SIZE(3), VENDRIX_COMP_B_TAG);
  ASSERT_EQ(CopyCompArrayB(path_, b.data(), static_cast<int32_t>(b.size() * 4)), 1u);
  EXPECT_EQ(b[1], 0x12345678u);
  EXPECT_EQ(b[2], 3u);
  EXPECT_EQ(b[3], 640u);
  EXPECT_EQ(b[5], 5u);
  EXPECT_EQ(static_cast<int32_t>(b[6]), -98304);  // -1.5 in 16.16
  EXPECT_EQ(b[10], 0u);
  EXPECT_EQ(b[11], 0xDEADBEEFu);   // the reserved area and the settings are not written
  EXPECT_EQ(b[75], 0xDEADBEEFu);
  const uint32_t* rec = b.data() + (VENDRIX_COMP_B_OFFSET_RECORDS + VENDRIX_COMP_B_RECORD_SIZE) / 4;
  for (int c = 0; c < 4; ++c) {
    EXPECT_EQ(static_cast<int32_t>(rec[2 * c]), 131072) << c;
    EXPECT_EQ(static_cast<int32_t>(rec[2 * c + 1]), -65536) << c;
  }
  EXPECT_EQ(rec[8], 0u);  // no border fraction: never flagged
  EXPECT_EQ(b.back(), 0xDEADBEEFu);  // the spare record is not written
}

TEST_F(CompArrays, ArrayDBandsAndTheBorderFlagOfArrayB) {
  path_->smoothed->records[0].f(model::kSlotBands) = -0.5f;  // K = smoothed for slots >= 10: K[41] = -0.5
  auto d = Block(VENDRIX_COMP_D_SIZE(3), VENDRIX_COMP_D_TAG);
  ASSERT_EQ(CopyCompArrayD(path_, d.data(), static_cast<int32_t>(d.size() * 4)), 1u);
  int16_t band0;
  std::memcpy(&band0, reinterpret_cast<uint8_t*>(d.data()) + VENDRIX_COMP_D_OFFSET_RECORDS + 32, 2);
  EXPECT_EQ(band0, 128);
  path_->smoothed->records[0].f(model::kSlotBands) = 0.5f;
  CopyCompArrayD(path_, d.data(), static_cast<int32_t>(d.size() * 4));
  std::memcpy(&band0, reinterpret_cast<uint8_t*>(d.data()) + VENDRIX_COMP_D_OFFSET_RECORDS + 32, 2);
  EXPECT_EQ(band0, -128);  // 0.5 in K[41] is stored negated

  path_->modelParams.borderFraction = 0.5f;
  path_->limitX = 10.0f;
  path_->limitY = 10.0f;
  path_->limitAngle = 0.1f;
  path_->smoothed->records[2].f(model::kSlotTx) = -9.5f;  // |K.tx| = 9.5 > limit - 1
  auto b = Block(VENDRIX_COMP_B_SIZE(3), VENDRIX_COMP_B_TAG);
  ASSERT_EQ(CopyCompArrayB(path_, b.data(), static_cast<int32_t>(b.size() * 4)), 1u);
  auto flag = [&](int i) { return b[(VENDRIX_COMP_B_OFFSET_RECORDS + i * VENDRIX_COMP_B_RECORD_SIZE + 32) / 4]; };
  EXPECT_EQ(flag(1), 0u);
  EXPECT_EQ(flag(2), 1u);
}

TEST_F(CompArrays, ProbesWrongTagsAndSizesLeaveTheBlockUntouched) {
  auto b = Block(VENDRIX_COMP_B_SIZE(3), VENDRIX_COMP_B_TAG);
  const auto pristine = b;
  EXPECT_EQ(CopyCompArrayB(path_, b.data(), 0), 1u);  // probe
  EXPECT_EQ(CopyCompArrayB(path_, b.data(), static_cast<int32_t>(VENDRIX_COMP_B_SIZE(3) - 1)), 0u);
  EXPECT_EQ(CopyCompArrayD(path_, b.data(), 0), 0u);  // array D rejects a block tagged for B
  EXPECT_EQ(CopyCompArrayB(nullptr, b.data(), 0), 0u);
  EXPECT_EQ(CopyCompArrayB(path_, nullptr, 0), 0u);
  EXPECT_EQ(b, pristine);

  GlobalMotionPath* empty = model::PathCreate(0, 1);
  auto e = Block(VENDRIX_COMP_B_SIZE(0), VENDRIX_COMP_B_TAG);
  EXPECT_EQ(CopyCompArrayB(empty, e.data(), 668), 1u);
  EXPECT_EQ(e[10], 1u);  // interlaced
  EXPECT_EQ(e[158], 0xDEADBEEFu);  // only the header was written; the spare stays
  model::PathDelete(empty);
}

TEST_F(CompArrays, AdditiveCompensationScalesTranslationByTheFrameWidth) {
  path_->modelParams.modelKind = model::kModelCornersTwoPass;
  model::FrameRecord& in = path_->integrated->records[1];
  in.f(model::kSlotTx) = 4.0f;
  // Corner offsets 64 px apart across the frame give the scale (640 - 64) / 640.
  in.f(model::kSlotCorners + 0) = -32.0f;
  in.f(model::kSlotCorners + 6) = -32.0f;
  in.f(model::kSlotCorners + 2) = 32.0f;
  in.f(model::kSlotCorners + 4) = 32.0f;
  model::FrameRecord k;
  FrameCompensation(path_, 1, k);
  EXPECT_NEAR(k.f(model::kSlotTx), 4.0f * 576.0f / 640.0f, 1e-4f);  // (640 + (-64 - 64) / 2) / 640
  path_->width = 0;  // never scanned: no compensation instead of a division by zero
  FrameCompensation(path_, 1, k);
  EXPECT_EQ(k.f(model::kSlotTx), 0.0f);
}

}  // namespace
}  // namespace vendrix::finishing
