#include "concurrency/library.h"

#include "concurrency/thread_pool.h"
#include "concurrency/worker_registry.h"
#include "platform/heap.h"

namespace vendrix::concurrency {
namespace {
int32_t g_attach_count = 0;
void* g_module = nullptr;
platform::CriticalSection* g_rt_lock = nullptr;
}  // namespace

bool ProcessAttach(void* module) {
  if (g_attach_count >= 1) return true;
  g_module = module;
  if (!RegistryCreate()) return false;
  if (!CreatePools(2)) {
    RegistryDestroy();
    return false;
  }
  g_attach_count = 1;
  return true;
}

void ProcessDetach() {
  if (g_attach_count <= 0) return;
  --g_attach_count;
  RegistryDestroy();
  DestroyPools();
}

int32_t AttachCount() { return g_attach_count; }

void* ModuleHandle() { return g_module; }

void CreateRTPathLock() {
  if (!g_rt_lock) g_rt_lock = platform::HeapNew<platform::CriticalSection>();
}

void DeleteRTPathLock() {
  platform::HeapDelete(g_rt_lock);
  g_rt_lock = nullptr;
}

platform::CriticalSection* RTPathLock() { return g_rt_lock; }

}  // namespace vendrix::concurrency
