#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "platform/heap.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "platform/thread.h"

namespace vendrix::platform {
namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

TEST(Event, AutoResetWakesOneWaitAndTimesOut) {
  Event* e = EventCreate();
  ASSERT_NE(e, nullptr);
  EXPECT_FALSE(e->Wait(0));  // created unsignalled
  e->Set();
  e->Set();                  // signals do not count up
  EXPECT_TRUE(e->Wait(0));
  EXPECT_FALSE(e->Wait(0));  // reset by the first wait
  const auto t0 = Clock::now();
  EXPECT_FALSE(e->Wait(30));
  EXPECT_GE(MsSince(t0), 25.0);
  EventClose(e);
  EventClose(nullptr);
}

TEST(Event, CrossThreadHandOff) {
  struct Ctx {
    Event* ping;
    Event* pong;
    std::atomic<int> rounds{0};
  } ctx{EventCreate(), EventCreate()};
  Thread* t = ThreadCreate(
      [](void* p) -> uint32_t {
        auto& c = *static_cast<Ctx*>(p);
        for (int i = 0; i < 1000; ++i) {
          c.ping->Wait(kInfinite);
          c.rounds.fetch_add(1);
          c.pong->Set();
        }
        return 5;
      },
      &ctx, 0, nullptr);
  ASSERT_NE(t, nullptr);
  for (int i = 0; i < 1000; ++i) {
    ctx.ping->Set();
    ctx.pong->Wait(kInfinite);
    ASSERT_EQ(ctx.rounds.load(), i + 1);
  }
  ThreadJoin(t);
  EXPECT_EQ(ThreadExitCode(t), 5u);
  ThreadClose(t);
  EventClose(ctx.ping);
  EventClose(ctx.pong);
}

TEST(Thread, ExitCodeReadsStillActiveWhileRunningAndStackSizeIsHonoured) {
  struct Ctx {
    Event* go;
    size_t touched;
  } ctx{EventCreate(), 0};
  uint32_t id = 0;
  Thread* t = ThreadCreate(
      [](void* p) -> uint32_t {
        auto& c = *static_cast<Ctx*>(p);
        c.go->Wait(kInfinite);
        // Use most of a 4 MiB stack: a thread created with the default (often 8 MiB, but not
        // guaranteed) or a too small stack would crash here under the sanitizers' guard pages.
        volatile unsigned char big[3u << 20];
        for (size_t i = 0; i < sizeof(big); i += 4096) big[i] = 1;
        c.touched = sizeof(big);
        return 0;
      },
      &ctx, 4u << 20, &id);
  ASSERT_NE(t, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(ThreadExitCode(t), kStillActive);
  ThreadSetPriority(t, kPriorityBelowNormal);  // best effort, must not disturb the thread
  ctx.go->Set();
  ThreadJoin(t);
  EXPECT_EQ(ThreadExitCode(t), 0u);
  EXPECT_EQ(ctx.touched, size_t{3u << 20});
  ThreadClose(t);
  EventClose(ctx.go);
}

TEST(Thread, ClosingARunningThreadDetachesItSafely) {
  const int64_t before = HeapLiveBlocks();
  static std::atomic<bool> release{false};
  static std::atomic<bool> finished{false};
  Thread* t = ThreadCreate(
      [](void*) -> uint32_t {
        while (!release.load()) SleepMs(1);
        finished.store(true);
        return 0;
      },
      nullptr, 0, nullptr);
  ASSERT_NE(t, nullptr);
  ThreadClose(t);  // still running: detached, its state outlives the handle
  release.store(true);
  while (!finished.load()) SleepMs(1);
  for (int i = 0; i < 200 && HeapLiveBlocks() != before; ++i) SleepMs(5);
  EXPECT_EQ(HeapLiveBlocks(), before);
}

TEST(System, ProcessorCountOverride) {
  const int32_t real = ProcessorCount();
  EXPECT_GE(real, 1);
  SetProcessorCountOverride(64);
  EXPECT_EQ(ProcessorCount(), 64);
  SetProcessorCountOverride(0);
  EXPECT_EQ(ProcessorCount(), real);
}

TEST(CriticalSection, IsRecursive) {
  CriticalSection cs;
  cs.Enter();
  EXPECT_TRUE(cs.TryEnter());
  cs.Leave();
  cs.Leave();
}

}  // namespace
}  // namespace vendrix::platform
