#include "video_input.h"

#include <chrono>

#include <fmt/format.h>

#include "cli_error.h"

namespace vendrix::cli {

namespace {

struct Stopwatch {
  explicit Stopwatch(double& total) : total_(total), start_(std::chrono::steady_clock::now()) {}
  ~Stopwatch() { total_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count(); }
  double& total_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace

VideoInput::VideoInput(const std::string& path)
    : path_(path), name_(IsStandardStream(path) ? "standard input" : path) {
  Reopen();
}

bool VideoInput::seekable() const { return format_->pb && (format_->pb->seekable & AVIO_SEEKABLE_NORMAL); }

void VideoInput::Reopen() {
  format_.reset();
  decoder_.reset();
  draining_ = done_ = false;
  AVFormatContext* opened = nullptr;
  int status = avformat_open_input(&opened, IsStandardStream(path_) ? "pipe:0" : path_.c_str(), nullptr, nullptr);
  if (status < 0) throw CliError(fmt::format("cannot open {}: {}", name_, AvErrorText(status)));
  format_.reset(opened);
  status = avformat_find_stream_info(format_.get(), nullptr);
  if (status < 0) throw CliError(fmt::format("cannot read {}: {}", name_, AvErrorText(status)));

  const AVCodec* codec = nullptr;
  video_index_ = av_find_best_stream(format_.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (video_index_ == AVERROR_STREAM_NOT_FOUND) throw CliError(fmt::format("{} has no video stream", name_));
  if (video_index_ < 0 || codec == nullptr) {
    // A video stream exists, but nothing here decodes it.
    int index = av_find_best_stream(format_.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const AVCodecParameters* par = index >= 0 ? format_->streams[index]->codecpar : nullptr;
    throw CliError(fmt::format("{}: unsupported video codec '{}'", name_,
                               par ? avcodec_get_name(par->codec_id) : "unknown"));
  }
  AVStream* st = format_->streams[video_index_];
  decoder_.reset(avcodec_alloc_context3(codec));
  if (!decoder_) throw CliError("out of memory");
  status = avcodec_parameters_to_context(decoder_.get(), st->codecpar);
  if (status < 0) throw CliError(fmt::format("{}: {}", name_, AvErrorText(status)));
  decoder_->pkt_timebase = st->time_base;
  decoder_->thread_count = 0;  // as many decoding threads as the codec finds useful
  decoder_->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  status = avcodec_open2(decoder_.get(), codec, nullptr);
  if (status < 0)
    throw CliError(fmt::format("{}: cannot decode video codec '{}': {}", name_, codec->name, AvErrorText(status)));
  if (st->codecpar->width <= 0 || st->codecpar->height <= 0)
    throw CliError(fmt::format("{}: the video stream has no picture size", name_));
  packet_ = NewPacket();
}

int64_t VideoInput::CountPackets() {
  if (!seekable())
    throw CliError(fmt::format("{} can be read only once; stabilize --realtime reads it in one pass", name_));
  int64_t count = 0;
  for (;;) {
    const int status = av_read_frame(format_.get(), packet_.get());
    if (status < 0) break;
    if (packet_->stream_index == video_index_) ++count;
    av_packet_unref(packet_.get());
  }
  Reopen();
  return count;
}

void VideoInput::SkipOrThrow(const AVPacket* packet, int status) {
  // Whatever a decoder says about one packet (bad data, a failing zlib, ...) costs that frame only;
  // running out of memory, or nothing but damage for a long stretch, ends the run.
  if (status == AVERROR(ENOMEM) || ++damaged_in_a_row_ > kMaxDamagedInARow) {
    throw CliError(fmt::format("{}: decoding failed: {}", name_, AvErrorText(status)));
  }
  if (!warn_) return;
  const AVStream* st = stream();
  std::string where;
  if (packet && packet->pts != AV_NOPTS_VALUE) where = fmt::format(" at {:.2f} s", double(packet->pts) * av_q2d(st->time_base));
  warn_(fmt::format("{}: skipped a damaged video packet{} ({})", name_, where, AvErrorText(status)));
}

bool VideoInput::NextFrame(AVFrame* frame, const std::function<void(AVPacket*)>& other) {
  av_frame_unref(frame);
  for (;;) {
    ThrowIfInterrupted();
    {
      Stopwatch clock(decode_seconds_);
      const int status = avcodec_receive_frame(decoder_.get(), frame);
      if (status == 0) {
        damaged_in_a_row_ = 0;
        if ((frame->decode_error_flags || (frame->flags & AV_FRAME_FLAG_CORRUPT)) && warn_) {
          warn_(fmt::format("{}: the frame at {:.2f} s is damaged; using the decoder's repair", name_,
                            double(frame->best_effort_timestamp) * av_q2d(stream()->time_base)));
        }
        return true;
      }
      if (status == AVERROR_EOF) {
        done_ = true;
        return false;
      }
      if (status != AVERROR(EAGAIN)) {
        SkipOrThrow(nullptr, status);
        continue;
      }
    }
    if (done_) return false;
    if (draining_) {
      // EAGAIN after the flush packet cannot happen with a conforming decoder; treat it as the end.
      done_ = true;
      return false;
    }
    int status;
    {
      Stopwatch clock(decode_seconds_);
      status = av_read_frame(format_.get(), packet_.get());
    }
    if (status == AVERROR_EOF || status == AVERROR(EIO) || (status < 0 && avio_feof(format_->pb))) {
      draining_ = true;
      avcodec_send_packet(decoder_.get(), nullptr);
      continue;
    }
    if (status < 0) throw CliError(fmt::format("cannot read {}: {}", name_, AvErrorText(status)));
    if (packet_->stream_index != video_index_) {
      if (other) other(packet_.get());
      av_packet_unref(packet_.get());
      continue;
    }
    {
      Stopwatch clock(decode_seconds_);
      status = avcodec_send_packet(decoder_.get(), packet_.get());
    }
    // A damaged packet costs its frame; the decoder's concealment covers the next ones.
    if (status < 0 && status != AVERROR(EAGAIN)) SkipOrThrow(packet_.get(), status);
    av_packet_unref(packet_.get());
  }
}

}  // namespace vendrix::cli
