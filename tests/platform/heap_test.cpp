#include "platform/heap.h"

#include <gtest/gtest.h>

#include <cstring>

namespace vendrix::platform {
namespace {

bool AllZero(const void* p, size_t n) {
  const auto* b = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < n; ++i)
    if (b[i]) return false;
  return true;
}

TEST(Heap, ZeroFilledBlocksAndLiveCount) {
  const int64_t before = HeapLiveBlocks();
  auto* a = static_cast<unsigned char*>(HeapAllocate(4096));
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(AllZero(a, 4096));
  EXPECT_EQ(HeapLiveBlocks(), before + 1);
  HeapRelease(a);
  HeapRelease(nullptr);  // no-op
  EXPECT_EQ(HeapLiveBlocks(), before);
}

TEST(Heap, ReallocationZeroesOnlyTheGrownPartWhenAsked) {
  const int64_t before = HeapLiveBlocks();
  auto* a = static_cast<unsigned char*>(HeapAllocate(100));
  std::memset(a, 0xAB, 100);
  a = static_cast<unsigned char*>(MemAlloc(a, 100000, kHeapZero));
  ASSERT_NE(a, nullptr);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(a[i], 0xAB) << i;  // old contents kept
  EXPECT_TRUE(AllZero(a + 100, 100000 - 100));
  // Shrinking then growing again zeroes the regrown tail, not stale bytes.
  std::memset(a, 0xCD, 100000);
  a = static_cast<unsigned char*>(MemAlloc(a, 10, kHeapZero));
  a = static_cast<unsigned char*>(MemAlloc(a, 50, kHeapZero));
  EXPECT_TRUE(AllZero(a + 10, 40));
  EXPECT_EQ(HeapLiveBlocks(), before + 1);  // a reallocation is still one block
  HeapRelease(a);
  EXPECT_EQ(HeapLiveBlocks(), before);
}

TEST(Heap, InjectedFailureHitsExactlyTheNthAllocationAndKeepsTheOldBlock) {
  const int64_t before = HeapLiveBlocks();
  void* keep = HeapAllocate(16);
  HeapFailAllocation(2);
  void* first = HeapAllocate(8);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(MemAlloc(keep, 1 << 20, kHeapZero), nullptr);  // the second one fails
  EXPECT_TRUE(AllZero(keep, 16));                            // and leaves the old block usable
  void* third = HeapAllocate(8);
  EXPECT_NE(third, nullptr);
  HeapRelease(first);
  HeapRelease(third);
  HeapRelease(keep);
  EXPECT_EQ(HeapLiveBlocks(), before);
}

TEST(Heap, HeapNewConstructsInZeroedMemoryAndFailsCleanly) {
  struct Obj {
    int untouched;
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
