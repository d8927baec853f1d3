// Reading one video file: the container, its video stream and a decoder for it. Damaged packets are
// skipped with a warning (the decoder's own concealment decides what the next frames look like); the first
// decodable frame fixes the size and pixel format the rest of the run relies on. "-" reads standard input
// (any container FFmpeg reads as a stream, e.g. MPEG-TS or Matroska), which can be read only once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ffmpeg_util.h"

namespace vendrix::cli {

class VideoInput {
 public:
  // Opens `path` and its best video stream. Throws CliError for a missing or unreadable file, a file
  // without video, or a video codec this FFmpeg build cannot decode.
  explicit VideoInput(const std::string& path);
  VideoInput(const VideoInput&) = delete;
  VideoInput& operator=(const VideoInput&) = delete;

  const std::string& path() const { return path_; }
  // The input as messages name it: the path, or "standard input".
  const std::string& name() const { return name_; }
  // False for standard input and pipes: CountPackets needs to read the input twice.
  AVFormatContext* format() const { return format_.get(); }
  AVStream* stream() const { return format_->streams[video_index_]; }
  int video_index() const { return video_index_; }
  const AVCodecContext* decoder() const { return decoder_.get(); }

  bool seekable() const;

  // Number of video packets in the file, read without decoding (the frame count for all usual codecs).
  // Leaves the reader at the start of the file. Throws CliError for an input that is not seekable.
  int64_t CountPackets();

  // Decodes the next video frame into `frame` (unreferenced first). Packets of other streams are handed
  // to `other` when it is set. Returns false at the end of the stream.
  bool NextFrame(AVFrame* frame, const std::function<void(AVPacket*)>& other = {});

  // Wall seconds spent reading and decoding.
  double decode_seconds() const { return decode_seconds_; }
  // Called with a one-line warning for every damaged packet; unset means silent.
  void set_warning_sink(std::function<void(const std::string&)> sink) { warn_ = std::move(sink); }

 private:
  void Reopen();
  void SkipOrThrow(const AVPacket* packet, int status);
  static constexpr int kMaxDamagedInARow = 100;

  std::string path_, name_;
  struct InputClose {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
  };
  std::unique_ptr<AVFormatContext, InputClose> format_;
  int video_index_ = -1;
  CodecContextPtr decoder_;
  PacketPtr packet_;
  bool draining_ = false;
  bool done_ = false;
  int damaged_in_a_row_ = 0;
  double decode_seconds_ = 0;
  std::function<void(const std::string&)> warn_;
};

}  // namespace vendrix::cli
