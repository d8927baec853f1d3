// Events and threads of the platform layer: auto-reset and timeouts, exit codes and the requested
// stack size. (The pool tests hand events back and forth between threads thousands of times.)
#include <gtest/gtest.h>

#include <chrono>

#include "platform/sync.h"
#include "platform/thread.h"

namespace vendrix::platform {
namespace {

TEST(Event, AutoResetWakesOneWaitAndTimesOut) {
  Event* e = EventCreate();
  ASSERT_NE(e, nullptr);
  EXPECT_FALSE(e->Wait(0));  // created unsignalled
  e->Set();
  e->Set();  // signals do not count up
  EXPECT_TRUE(e->Wait(0));
  EXPECT_FALSE(e->Wait(0));  // reset by the first wait
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(e->Wait(30));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(25));
  EventClose(e);
  EventClose(nullptr);
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
        // Most of a 4 MiB stack: a smaller stack would crash here under the sanitizers' guard pages.
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

}  // namespace
}  // namespace vendrix::platform
