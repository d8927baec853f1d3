// The module's failures as C++ exceptions, translated to Python at the module boundary: a Failure
// becomes vendrix.Error (a RuntimeError); pybind11's value_error and type_error become ValueError and
// TypeError. The library itself reports failure by return values only, so every message is written here
// or by the command's host library.
#pragma once

#include <stdexcept>
#include <string>

#include <pybind11/pybind11.h>

#include "cli_error.h"

namespace vendrix::python {

struct Failure : std::runtime_error {
  explicit Failure(const std::string& message) : std::runtime_error(message) {}
};

// Thrown through C++ code running without the GIL after a Python error was stored in the thread's
// error indicator (Ctrl-C, an exception raised by a progress callback); turned back into that Python
// exception once the GIL is held again.
struct PythonErrorPending {};

// An error of the command's host library as a Python one. The command names a bad option by its flag
// ("--max-zoom must be ..."): that becomes a ValueError naming the keyword ("max_zoom must be ...");
// anything else is a Failure.
[[noreturn]] inline void Rethrow(const cli::CliError& e) {
  const std::string m = e.what();
  const size_t name_end = m.find(" must ");
  if (m.rfind("--", 0) != 0 || name_end == std::string::npos || m.find(' ') != name_end) throw Failure(m);
  std::string keyword = m.substr(2, name_end - 2);
  for (char& c : keyword)
    if (c == '-') c = '_';
  throw pybind11::value_error(keyword + m.substr(name_end));
}

// `f()`, with the host library's errors rethrown as above.
template <class F>
decltype(auto) Command(F&& f) {
  try {
    return f();
  } catch (const cli::CliError& e) {
    Rethrow(e);
  }
}

}  // namespace vendrix::python
