// Every export is a thin wrapper that never lets a C++ exception reach the host: a throw inside the
// library becomes the export's failure value.
#pragma once

#include <utility>

namespace vendrix::api {

template <class R, class F>
R Guarded(R failure, F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (...) {
    return failure;
  }
}

template <class F>
void GuardedVoid(F&& body) noexcept {
  try {
    std::forward<F>(body)();
  } catch (...) {
  }
}

}  // namespace vendrix::api
