#include "platform/system.h"

#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace vendrix::platform {
namespace {
std::atomic<int32_t> g_override{0};
}

void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int32_t ProcessorCount() {
  const int32_t forced = g_override.load(std::memory_order_relaxed);
  if (forced > 0) return forced;
  // The affinity mask, not the machine's total, so that a host pinned to a few cores (taskset,
  // containers) is not oversubscribed.
  cpu_set_t set;
  CPU_ZERO(&set);
  int n = 0;
  if (sched_getaffinity(0, sizeof(set), &set) == 0) n = CPU_COUNT(&set);
  if (n < 1) n = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
  return n < 1 ? 1 : n;
}

void SetProcessorCountOverride(int32_t count) { g_override.store(count > 0 ? count : 0, std::memory_order_relaxed); }

}  // namespace vendrix::platform
