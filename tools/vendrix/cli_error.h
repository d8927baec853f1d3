// The one error type of the vendrix command. Its message is the whole one-line report the user sees
// after "vendrix: error: ", so it names the file or option and the problem.
#pragma once

#include <stdexcept>
#include <string>

namespace vendrix::cli {

struct CliError : std::runtime_error {
  explicit CliError(const std::string& message) : std::runtime_error(message) {}
};

// Standard output was closed by the program reading it (a broken pipe): the end of a live run rather
// than a failure.
struct OutputClosed : CliError {
  using CliError::CliError;
};

// Set by SIGINT / SIGTERM; the frame loops check it and stop with an error, so no half-written output
// survives an interrupted run.
bool Interrupted();
void InstallInterruptHandler();
void ThrowIfInterrupted();

}  // namespace vendrix::cli
