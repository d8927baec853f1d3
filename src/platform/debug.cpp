#include "platform/debug.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace vendrix::platform {
namespace {

void StderrSink(const char* line) { std::fputs(line, stderr); }

std::atomic<DebugSink> g_sink{StderrSink};

}  // namespace

DebugSink SetDebugSink(DebugSink sink) { return g_sink.exchange(sink ? sink : StderrSink); }

void DebugOutput(const char* line) {
  if (line) g_sink.load()(line);
}

void DebugPrintf(const char* format, ...) {
  if (!format) return;
  char buffer[kDebugBufferSize];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  if (n < 0) return;
  if (static_cast<size_t>(n) >= sizeof(buffer)) buffer[sizeof(buffer) - 2] = '\n';  // cut, keep the line end
  DebugOutput(buffer);
}

}  // namespace vendrix::platform
