// Small system services: sleeping and the processor count.
#pragma once

#include <cstdint>

namespace vendrix::platform {

void SleepMs(uint32_t ms);

// Processors this process may run on (its affinity mask), at least 1; or the test override.
int32_t ProcessorCount();

// Test hook: report `count` processors instead of the real number; 0 restores the real number.
void SetProcessorCountOverride(int32_t count);

}  // namespace vendrix::platform
