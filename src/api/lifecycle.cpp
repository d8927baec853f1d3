// Load and unload of the shared object: the real-time path lock, then process attach; at unload the
// reverse. Only the shared library carries these; tests that link the internals call them directly.
#include <dlfcn.h>

#include "concurrency/library.h"
#include "texmap/render.h"

namespace {

__attribute__((constructor)) void VendrixLoad() {
  vendrix::concurrency::CreateRTPathLock();
  Dl_info info{};
  void* module = dladdr(reinterpret_cast<void*>(&VendrixLoad), &info) ? info.dli_fbase : nullptr;
  // The loader cannot be told that a constructor failed. Without the worker registry and pools every
  // parallel step runs on the calling thread instead, which is slower but still correct.
  vendrix::concurrency::ProcessAttach(module);
}

__attribute__((destructor)) void VendrixUnload() {
  vendrix::texmap::ReleaseRenderScratch();  // the renderer's temporaries, kept between frames
  vendrix::concurrency::ProcessDetach();
  vendrix::concurrency::DeleteRTPathLock();
}

}  // namespace
