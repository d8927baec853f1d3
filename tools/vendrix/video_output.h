// Writing the stabilised file: one re-encoded video stream, every other stream of the input copied
// packet by packet, the container's and streams' metadata (rotation included) and the chapters
// carried over. Everything goes to a temporary file beside the output, renamed over it only when the
// trailer is written; an error or an interrupted run leaves nothing behind. "-" writes a stream to
// standard output instead, in the container --format names; it cannot be taken back.
#pragma once

#include <string>
#include <vector>

#include "ffmpeg_util.h"
#include "fields.h"
#include "video_input.h"

namespace vendrix::cli {

struct EncoderOptions {
  std::string codec;            // encoder name; empty: libx264 where the container takes H.264
  int crf = 18;                 // constant quality for encoders that have it (x264 / x265 / VP9 scale)
  std::string preset = "medium";  // speed preset for encoders that have one
  std::string format;             // container name; empty: guessed from the output's file name (a
                                  // file, not standard output)
};

// The video stream to encode: picture size and format, clock, colour description.
struct VideoSpec {
  int width = 0, height = 0;
  AVPixelFormat pixel_format = AV_PIX_FMT_YUV420P;
  AVRational time_base{1, 30}, frame_rate{30, 1}, sample_aspect{0, 1};
  AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
  AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
  AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
  AVColorSpace space = AVCOL_SPC_UNSPECIFIED;
  AVChromaLocation chroma_location = AVCHROMA_LOC_UNSPECIFIED;
  AVFieldOrder field_order = AV_FIELD_UNKNOWN;  // an interlaced order: the video is encoded interlaced
};

// The video stream of `input` as it was decoded, for an output that keeps all of it.
VideoSpec SpecOf(const VideoInput& input);

class VideoOutput {
 public:
  // Sets up the output beside `path` (or on standard output for "-"): the video as `spec` says and, when `input` is given, every other
  // stream of it copied. Throws CliError when the container cannot be guessed from the name, no
  // suitable encoder exists or the file cannot be created.
  VideoOutput(const std::string& path, const VideoSpec& spec, const EncoderOptions& options,
              const VideoInput* input = nullptr);
  ~VideoOutput();
  VideoOutput(const VideoOutput&) = delete;
  VideoOutput& operator=(const VideoOutput&) = delete;

  // The pixel format the encoder takes; frames given to WriteFrame have it.
  AVPixelFormat pixel_format() const { return encoder_->pix_fmt; }
  // A frame with buffers in the encoder's format and size that nothing else holds, for the caller to
  // fill whole (its pixels are left from an earlier frame). Frames are reused once the encoder, or a
  // queue feeding it, has let go of them.
  AVFrame* WritableFrame();

  // Encodes `frame` (pts in the input video stream's time base), marked interlaced or progressive as
  // the stream is.
  void WriteFrame(AVFrame* frame);
  // Copies a packet of a non-video input stream (ignored when that stream is not carried).
  void CopyPacket(AVPacket* packet);
  // Flushes the encoder, writes the trailer and moves the file to its final name.
  void Finish();
  // Copied packets may run `seconds` ahead of the video: the muxer keeps them that long (and 10 s
  // more, its usual allowance) to interleave them with the video of the same time.
  void AllowLead(double seconds);

  double encode_seconds() const { return encode_seconds_; }
  // Streams of the input that the output container cannot hold and that were left out.
  const std::vector<std::string>& dropped() const { return dropped_; }

 private:
  void Setup(const VideoSpec& spec, const EncoderOptions& options, const VideoInput* input);
  void Release();
  int OpenEncoder(const AVCodec* codec, const VideoSpec& spec, AVPixelFormat format, const AVOutputFormat* container,
                  const EncoderOptions& options);
  void CopyStreams(const VideoInput& input, const AVOutputFormat* container);
  void CopyChapters(const AVFormatContext& in);
  void Open(const AVOutputFormat* container);
  void Drain(bool flush);
  void Write(AVPacket* packet);
  // Throws OutputClosed for a broken pipe, else CliError naming the output and the reason.
  [[noreturn]] void Fail(int status);

  std::string path_, temp_path_;  // path_ as messages name it (the path or "standard output")
  AVFormatContext* format_ = nullptr;
  AVStream* video_out_ = nullptr;
  std::vector<int> map_;  // input stream index -> output stream index, -1 when not carried
  std::vector<AVRational> input_tb_;
  CodecContextPtr encoder_;
  std::vector<FramePtr> frames_;  // handed out by WritableFrame
  PacketPtr packet_;
  bool opened_ = false, finished_ = false;
  bool standard_output_;
  // False for standard output and for containers that write no file (null): nothing to rename or remove.
  bool through_temporary_ = true;
  FieldOrder fields_ = FieldOrder::kProgressive;
  int64_t last_pts_ = AV_NOPTS_VALUE;
  double encode_seconds_ = 0;
  std::vector<std::string> dropped_;
};

}  // namespace vendrix::cli
