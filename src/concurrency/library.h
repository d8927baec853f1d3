// Process-wide life of the library: attach and detach (the shared object's load and unload), the
// attach count and module handle, and the lock of the real-time path objects.
#pragma once

#include <cstdint>

#include "platform/sync.h"

namespace vendrix::concurrency {

constexpr uint32_t kVendrixVersion = 0x0201004Fu;  // 2.0.1.79

// Creates the worker registry and the two worker pools once; later calls succeed and do nothing.
// False when either cannot be created (then nothing stays allocated and the count stays 0).
bool ProcessAttach(void* module);
// Stops every worker and frees the registry, then the pools. Does nothing when not attached.
void ProcessDetach();
int32_t AttachCount();
void* ModuleHandle();

// The real-time path lock lives from load to unload, independently of the attach count.
void CreateRTPathLock();
void DeleteRTPathLock();
platform::CriticalSection* RTPathLock();

}  // namespace vendrix::concurrency
