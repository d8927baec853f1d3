#include "platform/cpu.h"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace vendrix::platform {
namespace {

std::atomic<uint32_t> g_mask{kCpuAllFlags};

#if defined(__x86_64__) || defined(__i386__)
// The extended control register XCR0: which register states the operating system saves on a context
// switch. Only valid when CPUID reports OSXSAVE.
uint64_t ReadXcr0() {
  uint32_t low = 0, high = 0;
  __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return (uint64_t{high} << 32) | low;
}

uint32_t Detect() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return 0;
  uint32_t flags = 0;
  if (d & bit_SSE2) flags |= kCpuSse2;
  // 256-bit registers are usable only when the operating system saves them: XCR0 bits 1 (SSE state)
  // and 2 (AVX state). Without that an AVX2 instruction faults even on a processor that has it.
  constexpr uint64_t kSseAndAvxState = 0x6;
  const bool os_saves_ymm = (c & bit_OSXSAVE) && (c & bit_AVX) && (ReadXcr0() & kSseAndAvxState) == kSseAndAvxState;
  if (os_saves_ymm && __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2)) flags |= kCpuAvx2;
  return flags;
}
#else
uint32_t Detect() { return 0; }
#endif

}  // namespace

uint32_t CpuFlags() {
  static const uint32_t detected = Detect();  // once; thread-safe initialisation
  return detected & g_mask.load(std::memory_order_relaxed);
}

void SetCpuFlagsMask(uint32_t mask) { g_mask.store(mask & kCpuAllFlags, std::memory_order_relaxed); }

}  // namespace vendrix::platform
