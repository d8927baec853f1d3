// The global motion path: capacities and flags, and sliding the real-time window with the blocks its
// records own, releasing every block it drops or still owns. (A creation that fails at any allocation
// is covered by the block scanner's allocation-failure test, which creates its path under each one.)
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
  // (Two entries a frame on an interlaced path, and deleting none: the export tests.)
  const int64_t before = platform::HeapLiveBlocks();
  GlobalMotionPath* p = PathCreate(10, 4 | kPathKeepMatches);  // unknown bits ignored
  EXPECT_EQ(p->flags, kPathKeepMatches);
  EXPECT_EQ(PathCapacity(p), 10);
  PathDelete(p);
  p = PathCreate(0, 0);  // an empty clip still holds the spare record in every array
  ASSERT_NE(p, nullptr);
  p->integrated->records[0].f(kSlotTx) = 1.0f;
  PathDelete(p);
  EXPECT_EQ(platform::HeapLiveBlocks(), before);
  EXPECT_EQ(PathCreate(0xFFFFFFFFu, kPathInterlaced), nullptr);  // more entries than can be addressed
}

TEST(GlobalMotionPath, ShiftAndDeleteReleaseEveryOwnedBlock) {
  const int64_t before = platform::HeapLiveBlocks();
  GlobalMotionPath* p = PathCreate(10, 0);
  p->matchStore = static_cast<void**>(platform::HeapAllocate(10 * sizeof(void*)));
  for (int i = 0; i < 10; ++i) {
    p->analysis->records[i].f(kSlotTx) = static_cast<float>(i + 1);
    RecordArraySetOwned(p->analysis->keptMatches, i, Tagged(100 + i));
    p->matchStore[i] = Tagged(200 + i);
  }
  p->lastFrame = 9;
  PathShift(p, -3);  // record 3 moves to 0; records 0..2 and their blocks are dropped
  EXPECT_EQ(p->lastFrame, 6);
  for (int i = 0; i < 10; ++i) {
    const bool kept = i < 7;
    EXPECT_EQ(p->analysis->records[i].f(kSlotTx), kept ? i + 4.0f : 0.0f) << i;
    EXPECT_EQ(TagOf(p->analysis->keptMatches[i]), kept ? 103u + i : 0u) << i;
    EXPECT_EQ(TagOf(p->matchStore[i]), kept ? 203u + i : 0u) << i;
  }
  EXPECT_EQ(platform::HeapLiveBlocks(), before + 8 + 7 + 7);  // path + 6 arrays + store; 7 + 7 blocks
  PathShift(p, 2);
  EXPECT_EQ(p->analysis->records[2].f(kSlotTx), 4.0f);
  EXPECT_EQ(p->analysis->records[0].f(kSlotTx), 0.0f);
  EXPECT_EQ(TagOf(p->matchStore[8]), 209u);
  PathShift(p, 25);  // beyond the capacity: everything dropped
  for (int i = 0; i < 10; ++i) EXPECT_EQ(p->matchStore[i], nullptr);
  // Deleting frees every owned block, the spare record's too. (Replaced copies, the hand-over list and
  // the point stores are freed under the live-block checks of the block-scan and point-store tests.)
  RecordArraySetOwned(p->measured[2]->originalMatches, 10, Tagged(3));
  PathDelete(p);
  EXPECT_EQ(platform::HeapLiveBlocks(), before);
}

}  // namespace
}  // namespace vendrix::model
