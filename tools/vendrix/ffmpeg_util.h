// Owning handles for FFmpeg objects and the error text of an FFmpeg status code.
#pragma once

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace vendrix::cli {

struct CodecContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsFree {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using SwsPtr = std::unique_ptr<SwsContext, SwsFree>;

// "-" in place of a file name: standard input or standard output.
inline bool IsStandardStream(const std::string& path) { return path == "-"; }

FramePtr NewFrame();
PacketPtr NewPacket();

// "No such file or directory", "Invalid data found when processing input", ...
std::string AvErrorText(int status);

// Silences FFmpeg's own console logging unless the user asked for it: the command reports problems
// in its own words, one line each.
void SetFfmpegLogging(bool verbose);

}  // namespace vendrix::cli
