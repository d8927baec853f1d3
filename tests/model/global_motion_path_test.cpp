#include "model/global_motion_path.h"

#include <gtest/gtest.h>

#include "platform/heap.h"

namespace vendrix::model {
namespace {

void* Tagged(uint32_t tag) {
  auto* p = static_cast<uint32_t*>(platform::HeapAllocate(16));
  *p = tag;
  return p;
}
uint32_t TagOf(void* p) { return p ? *static_cast<uint32_t*>(p) : 0; }

TEST(GlobalMotionPath, CapacitiesAndFlags) {
  const int64_t before = platform::HeapLiveBlocks();
  GlobalMotionPath* p = PathCreate(100, 1);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(PathCapacity(p), 200);
  EXPECT_EQ(p->flags, kPathInterlaced);
  EXPECT_EQ(p->analysis, p->measured[0]);
  EXPECT_EQ(p->smoothed->count, 200);
  EXPECT_EQ(p->lastFrame, 0);
  PathDelete(p);

  p = PathCreate(10, 4 | 2);  // unknown bits ignored
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->flags, kPathKeepMatches);
  EXPECT_EQ(PathCapacity(p), 10);
  PathDelete(p);

  p = PathCreate(0, 0);  // an empty clip still holds the spare record in every array
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(PathCapacity(p), 0);
  p->integrated->records[0].f(kSlotTx) = 1.0f;
  PathDelete(p);
  PathDelete(nullptr);
  EXPECT_EQ(platform::HeapLiveBlocks(), before);
  EXPECT_EQ(PathCreate(0xFFFFFFFFu, 1), nullptr);  // more entries than can be addressed
}

TEST(GlobalMotionPath, CreationFailsCleanlyAtEveryAllocation) {
  const int64_t before = platform::HeapLiveBlocks();
  for (int nth = 1; nth <= 7; ++nth) {
    platform::HeapFailAllocation(nth);
    EXPECT_EQ(PathCreate(50, 0), nullptr) << nth;
    platform::HeapFailAllocation(0);
    EXPECT_EQ(platform::HeapLiveBlocks(), before) << nth;
  }
  GlobalMotionPath* p = PathCreate(50, 0);  // the eighth allocation is not needed: 1 object + 6 arrays
  ASSERT_NE(p, nullptr);
  PathDelete(p);
}

TEST(GlobalMotionPath, DeleteFreesOwnedBlocksAndAnalysisResources) {
  const int64_t before = platform::HeapLiveBlocks();
  GlobalMotionPath* p = PathCreate(8, 2);
  RecordArraySetOwned(p->measured[0]->keptMatches, 3, Tagged(1));
  RecordArraySetOwned(p->measured[0]->keptMatches, 3, Tagged(2));  // replacing frees the old copy
  RecordArraySetOwned(p->measured[2]->originalMatches, 8, Tagged(3));  // the spare's slot too
  p->handover = Tagged(4);
  p->matchStore = static_cast<void**>(platform::HeapAllocate(8 * sizeof(void*)));
  p->matchStore[0] = Tagged(5);
  p->matchStore[7] = Tagged(6);
  PathDelete(p);
  EXPECT_EQ(platform::HeapLiveBlocks(), before);
}

TEST(GlobalMotionPath, ShiftMovesRecordsWithTheirBlocks) {
  const int64_t before = platform::HeapLiveBlocks();
  GlobalMotionPath* p = PathCreate(10, 0);
  p->matchStore = static_cast<void**>(platform::HeapAllocate(10 * sizeof(void*)));
  for (int i = 0; i < 10; ++i) {
    p->analysis->records[i].f(kSlotTx) = static_cast<float>(i + 1);
    RecordArraySetOwned(p->analysis->keptMatches, i, Tagged(100 + i));
    p->matchStore[i] = Tagged(200 + i);
  }
  p->lastFrame = 9;
  PathShift(p, -3);
  EXPECT_EQ(p->lastFrame, 6);
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(p->analysis->records[i].f(kSlotTx), static_cast<float>(i + 4)) << i;
    EXPECT_EQ(TagOf(p->analysis->keptMatches[i]), 103u + i);
    EXPECT_EQ(TagOf(p->matchStore[i]), 203u + i);
  }
  for (int i = 7; i < 10; ++i) {
    EXPECT_EQ(p->analysis->records[i].f(kSlotTx), 0.0f);
    EXPECT_EQ(p->analysis->keptMatches[i], nullptr);
    EXPECT_EQ(p->matchStore[i], nullptr);
  }
  // Ten blocks dropped so far would show up here if they leaked.
  EXPECT_EQ(platform::HeapLiveBlocks(), before + 8 + 7 + 7);
  PathShift(p, 2);
  EXPECT_EQ(p->analysis->records[2].f(kSlotTx), 4.0f);
  EXPECT_EQ(p->analysis->records[0].f(kSlotTx), 0.0f);
  EXPECT_EQ(TagOf(p->matchStore[8]), 209u);
  PathShift(p, 25);  // beyond the capacity: everything dropped
  for (int i = 0; i < 10; ++i) EXPECT_EQ(p->matchStore[i], nullptr);
  PathDelete(p);
  EXPECT_EQ(platform::HeapLiveBlocks(), before);
}

}  // namespace
}  // namespace vendrix::model
