// The module's failures as C++ exceptions, translated to Python at the module boundary: a Failure
// becomes vendrix.Error (a RuntimeError); pybind11's value_error and type_error become ValueError and
// TypeError. The library itself reports failure by return values only, so every message is written here.
#pragma once

#include <stdexcept>
#include <string>

namespace vendrix::python {

struct Failure : std::runtime_error {
  explicit Failure(const std::string& message) : std::runtime_error(message) {}
};

// Thrown through C++ code running without the GIL after a Python error was stored in the thread's
// error indicator (Ctrl-C, an exception raised by a progress callback); turned back into that Python
// exception once the GIL is held again.
struct PythonErrorPending {};

}  // namespace vendrix::python
