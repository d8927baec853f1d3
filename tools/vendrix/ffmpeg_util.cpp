#include "ffmpeg_util.h"

#include <atomic>
#include <csignal>

#include "cli_error.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace vendrix::cli {

FramePtr NewFrame() {
  FramePtr f(av_frame_alloc());
  if (!f) throw CliError("out of memory");
  return f;
}

PacketPtr NewPacket() {
  PacketPtr p(av_packet_alloc());
  if (!p) throw CliError("out of memory");
  return p;
}

std::string AvErrorText(int status) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(status, text, sizeof text);
  return text;
}

void SetFfmpegLogging(bool verbose) { av_log_set_level(verbose ? AV_LOG_INFO : AV_LOG_QUIET); }

namespace {
std::atomic<bool> g_interrupted{false};
extern "C" void OnInterrupt(int) { g_interrupted.store(true); }
}  // namespace

bool Interrupted() { return g_interrupted.load(); }

void InstallInterruptHandler() {
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  // A reader of standard output that goes away must not kill the process silently: the write fails
  // with EPIPE instead, and the run ends with a message.
  std::signal(SIGPIPE, SIG_IGN);
}

void ThrowIfInterrupted() {
  if (Interrupted()) throw CliError("interrupted; no output written");
}

}  // namespace vendrix::cli
