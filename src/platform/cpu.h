// Instruction-set extensions of the running processor, for the kernel tables that pick vector
// versions of the hot loops at run time.
//
// Vector kernels are compiled for the baseline (SSE2 on x86-64) as ordinary code, and for AVX2 inside
// functions marked VENDRIX_TARGET_AVX2, which may only run when CpuFlags() has kCpuAvx2. The target is
// AVX2 alone, without FMA: float kernels keep their multiplies and adds apart to match their references.
#pragma once

#include <cstdint>

#if defined(__SSE2__)
// SSE2 kernels are compiled in, and AVX2 kernels can be (x86-64, or x86 with SSE2 enabled).
#define VENDRIX_X86_KERNELS 1
#define VENDRIX_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define VENDRIX_X86_KERNELS 0
#define VENDRIX_TARGET_AVX2
#endif

namespace vendrix::platform {

enum CpuFlag : uint32_t {
  kCpuSse2 = 1u << 0,  // part of every x86-64 processor
  kCpuAvx2 = 1u << 1,  // the processor has AVX2 and the operating system saves the 256-bit registers
};
constexpr uint32_t kCpuAllFlags = kCpuSse2 | kCpuAvx2;

// The extensions of the running processor (detected on first call), restricted by the mask.
uint32_t CpuFlags();

// Restricts CpuFlags() to the flags in `mask` (kCpuAllFlags restores them all), so that tests can run
// every level of the kernel tables on one machine. The tables follow on their next use. Call it only
// while no kernel runs.
void SetCpuFlagsMask(uint32_t mask);

}  // namespace vendrix::platform
