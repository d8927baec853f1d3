// The analysis queries of a path (count, translation, rotation, frame motion vector) on hand-set
// records, and writing an entry's record with the kept copy of its matches. (A wrong tag and the
// other refusals of the exports: Exports.PathLifecycleSizesAndQueryFailures in tests/api/golden_test.cpp.)
#include "analysis/frame_queries.h"
#include "analysis/frame_records.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/heap.h"
#include "support/synthetic_matches.h"

namespace vendrix::analysis {
namespace {

using model::kSlotTx;
using model::kSlotTy;

class FrameQueries : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(path_ = model::PathCreate(10, 0), nullptr); }
  void TearDown() override { model::PathDelete(path_); }
  model::FrameRecord& Record(int e) { return path_->analysis->records[e]; }
  GlobalMotionPath* path_ = nullptr;
};

// The slots each query reads are pinned by the golden hashes of the queries; an entry beyond the
// capacity, level 1 and a count of a path never scanned or of none are the export tests'.
TEST_F(FrameQueries, CountIsCappedAndRefusedCallsWriteNothing) {
  path_->lastFrame = 50;
  EXPECT_EQ(CurrentAnalysisFrameCount(path_), 10);  // capped at the capacity
  float a[3] = {9, 9, 9};
  EXPECT_FALSE(AnalysisFrameTranslation(path_, 0, -1, a) || AnalysisFrameTranslation(nullptr, 0, 0, a));
  EXPECT_FALSE(AnalysisFrameRotation(nullptr, 0, 0, a) || AnalysisFrameRotation(path_, 0, 0, nullptr));
  EXPECT_EQ(a[0], 9.0f);
}

TEST_F(FrameQueries, FrameMotionVectorAveragesTheEntryWithTheOneBefore) {
  path_->width = 960, path_->height = 540, path_->inputWidth = 1920, path_->inputHeight = 1080, path_->searchRadius = 43;
  Record(2).f(kSlotTx) = 2.0f;
  Record(3).f(kSlotTx) = 4.0f;
  Record(0).f(kSlotTy) = 5.0f;
  path_->integrated->records[3].f(kSlotTy) = 7.0f;
  FrameMvRecord rec{};
  rec.tag = VENDRIX_FRAME_MV_TAG;
  path_->handoverValue = 3;
  FrameMotionVector(path_, &rec);
  EXPECT_TRUE(rec.workWidth == 960u && rec.sourceHeight == 1080u && rec.searchRadius == 43u && rec.pathY == 7.0f);
  EXPECT_FLOAT_EQ(rec.motion[0], 3.0f);
  path_->handoverValue = 0;  // entry 0 is averaged with itself
  FrameMotionVector(path_, &rec);
  EXPECT_FLOAT_EQ(rec.motion[1], 5.0f);
  path_->handoverValue = 10;  // beyond the arrays: untouched
  const FrameMvRecord before = rec;
  FrameMotionVector(path_, &rec);
  EXPECT_EQ(std::memcmp(&rec, &before, sizeof(rec)), 0);
}

TEST(FrameQueriesInterlaced, LongSpanFieldReportsTheSecondArrayScaledToOneEntry) {
  GlobalMotionPath* p = model::PathCreate(5, VENDRIX_PATH_INTERLACED);
  p->searchRadius = 10;
  p->handoverValue = 2;  // frame 2: entry 4
  model::FrameRecord& r = p->measured[1]->records[4];
  r.u(model::kSlotSpan) = 2;
  r.f(kSlotTx) = 6.0f;
  p->analysis->records[4].f(kSlotTx) = 100.0f;  // not used
  FrameMvRecord rec{};
  rec.tag = VENDRIX_FRAME_MV_TAG;
  FrameMotionVector(p, &rec);
  EXPECT_EQ(rec.searchRadius, 20u);
  EXPECT_FLOAT_EQ(rec.motion[0], 6.0f);  // (6 + 6) * 256 / 512: the per-entry motion over a span of 2
  model::PathDelete(p);
}

TEST(FrameRecords, WriteFitsTheRecordAndKeepsACopyOwnedByThePath) {
  const int64_t before = platform::HeapLiveBlocks();
  GlobalMotionPath* p = model::PathCreate(4, VENDRIX_PATH_KEEP_MATCHES);
  vendrix::testing::SyntheticOptions o;
  o.count = 40;
  model::MatchList* list = vendrix::testing::MakeMatches(vendrix::testing::Similarity(3.0, -1.0, 0.0, 1.0), o);
  model::ModelParams params{};
  params.fitEnabled = 1;
  for (int round = 0; round < 2; ++round)  // the second write replaces the first copy
    ASSERT_TRUE(WriteEntryRecord(p, params, *list, EntryFit{0, 2, 1, false, 0, true}));
  EXPECT_EQ(p->analysis->records[2].count(), 40u);
  EXPECT_NEAR(p->analysis->records[2].f(kSlotTx), 3.0f, 1e-4f);
  const auto* kept = static_cast<model::MatchList*>(p->analysis->keptMatches[2]);
  ASSERT_NE(kept, nullptr);
  EXPECT_TRUE(kept->count == 40u && kept->columns == 1u && kept->matches[39].x == list->matches[39].x);
  EXPECT_FALSE(WriteEntryRecord(p, params, *list, EntryFit{4, 0, 1, false, 0, false}));  // no array 4
  EXPECT_FALSE(WriteEntryRecord(p, params, *list, EntryFit{0, 4, 1, false, 0, false}));  // no entry 4
  model::MatchListRelease(list);
  model::PathDelete(p);
  EXPECT_EQ(platform::HeapLiveBlocks(), before);
}

}  // namespace
}  // namespace vendrix::analysis
