// The counted heap: zero-filled blocks, the live-block count that every leak check relies on, and the
// injected failure of exactly the n-th allocation that every allocation-failure test relies on.
#include "platform/heap.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace vendrix::platform {
namespace {

TEST(Heap, ZeroFilledCountedBlocksAndExactlyTheNthAllocationFails) {
  const int64_t before = HeapLiveBlocks();
  auto* a = static_cast<unsigned char*>(HeapAllocate(4096));
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(std::all_of(a, a + 4096, [](unsigned char b) { return b == 0; }));
  EXPECT_EQ(HeapLiveBlocks(), before + 1);
  HeapFailAllocation(2);
  void* first = HeapAllocate(8);
  void* second = HeapAllocate(8);
  void* third = HeapAllocate(8);
  EXPECT_TRUE(first && !second && third);
  for (void* p : {first, third, static_cast<void*>(a), static_cast<void*>(nullptr)}) HeapRelease(p);
  EXPECT_EQ(HeapLiveBlocks(), before);
}

TEST(Heap, HeapNewConstructsAndFailsCleanly) {
  struct Obj {
    int set = 7;
  };
  const int64_t before = HeapLiveBlocks();
  Obj* o = HeapNew<Obj>();
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->set, 7);
  HeapDelete(o);
  HeapFailAllocation(1);
  EXPECT_EQ(HeapNew<Obj>(), nullptr);
  EXPECT_EQ(HeapLiveBlocks(), before);
}

}  // namespace
}  // namespace vendrix::platform
