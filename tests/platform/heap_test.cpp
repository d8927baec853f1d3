// The counted heap: zero-filled blocks, the live-block count that every leak check relies on, and the
// injected failure of exactly the n-th allocation (or of allocations at random, by a seed) that the
// allocation-failure tests rely on.
#include "platform/heap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace vendrix::platform {
namespace {

TEST(Heap, ZeroFilledCountedBlocksAndExactlyTheNthAllocationFails) {
  struct Obj {
    int set = 7;
  };
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
  Obj* o = HeapNew<Obj>();  // constructed in a counted block, and failing as a plain allocation does
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->set, 7);
  HeapDelete(o);
  HeapFailAllocation(1);
  EXPECT_EQ(HeapNew<Obj>(), nullptr);
  EXPECT_EQ(HeapLiveBlocks(), before);
}

TEST(Heap, RandomFailuresFollowTheSeed) {
  auto failures = [](uint64_t seed) {
    HeapFailAtRandom(4, seed);
    std::vector<bool> failed;
    for (int i = 0; i < 400; ++i) {
      void* p = HeapAllocate(8);
      failed.push_back(!p);
      HeapRelease(p);
    }
    HeapFailAtRandom(0, 0);
    return failed;
  };
  const std::vector<bool> one = failures(1);
  EXPECT_EQ(one, failures(1));
  EXPECT_NE(one, failures(2));
  const auto count = std::count(one.begin(), one.end(), true);
  EXPECT_TRUE(count > 60 && count < 140) << count;  // one in four
}

}  // namespace
}  // namespace vendrix::platform
