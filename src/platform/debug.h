// Debug output channel. The library reports faults it cannot return to the host as complete lines
// beginning "Vendrix: " and ending "\n", handed to a sink (standard error unless a host or test
// installs another).
#pragma once

namespace vendrix::platform {

using DebugSink = void (*)(const char* line);

// Installs `sink` (null restores the default) and returns the previous one.
DebugSink SetDebugSink(DebugSink sink);

// Hands one line to the sink.
void DebugOutput(const char* line);

// printf-style formatting into a 4,000-character buffer, then DebugOutput. A null format does nothing.
// A longer message is cut and still ends with "\n", so lines never run together.
void DebugPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

constexpr int kDebugBufferSize = 4000;

}  // namespace vendrix::platform
