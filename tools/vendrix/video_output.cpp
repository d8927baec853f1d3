#include "video_output.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>

#include <fmt/format.h>

#include "atomic_file.h"
#include "cli_error.h"

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace vendrix::cli {

namespace fs = std::filesystem;

namespace {

const AVCodec* ChooseEncoder(const AVOutputFormat* container, const std::string& name, const std::string& out) {
  if (!name.empty()) {
    const AVCodec* c = avcodec_find_encoder_by_name(name.c_str());
    if (!c || c->type != AVMEDIA_TYPE_VIDEO) throw CliError(fmt::format("unknown video encoder '{}'", name));
    if (avformat_query_codec(container, c->id, FF_COMPLIANCE_NORMAL) == 0)
      throw CliError(fmt::format("{}: the {} container cannot hold {} video", out, container->name, c->name));
    return c;
  }
  // H.264 through x264 is what people expect of a stabiliser; other containers get their own default.
  // Some muxers cannot say what they hold (MPEG-TS): they get H.264 too, unless they write nothing.
  const int h264 = avformat_query_codec(container, AV_CODEC_ID_H264, FF_COMPLIANCE_NORMAL);
  if (h264 == 1 || (h264 < 0 && !(container->flags & AVFMT_NOFILE))) {
    if (const AVCodec* c = avcodec_find_encoder_by_name("libx264")) return c;
  }
  const AVCodec* c = avcodec_find_encoder(container->video_codec);
  if (!c) throw CliError(fmt::format("{}: no video encoder for the {} container", out, container->name));
  return c;
}

// The input's own format when the encoder takes it; otherwise the closest one it does take.
AVPixelFormat ChoosePixelFormat(const AVCodec* codec, AVPixelFormat wanted) {
  if (!codec->pix_fmts) return wanted;
  for (const AVPixelFormat* f = codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f)
    if (*f == wanted) return wanted;
  return avcodec_find_best_pix_fmt_of_list(codec->pix_fmts, wanted, 0, nullptr);
}

bool Carryable(const AVOutputFormat* container, const AVCodecParameters* par) {
  if (par->codec_type == AVMEDIA_TYPE_UNKNOWN) return false;
  // 1: known to fit; negative: the muxer cannot tell, so it is tried (the header check will say).
  return avformat_query_codec(container, par->codec_id, FF_COMPLIANCE_NORMAL) != 0;
}

}  // namespace

VideoSpec SpecOf(const VideoInput& input) {
  const AVStream* st = input.stream();
  const AVCodecParameters* par = st->codecpar;
  const AVCodecContext* dec = input.decoder();
  VideoSpec spec;
  spec.width = par->width;
  spec.height = par->height;
  spec.pixel_format = dec->pix_fmt != AV_PIX_FMT_NONE ? dec->pix_fmt : AVPixelFormat(par->format);
  // The input stream's time base carries every timestamp over unchanged, variable frame rate included.
  spec.time_base = st->time_base;
  spec.frame_rate = av_guess_frame_rate(input.format(), const_cast<AVStream*>(st), nullptr);
  spec.sample_aspect = par->sample_aspect_ratio;
  spec.range = par->color_range;
  spec.primaries = par->color_primaries;
  spec.transfer = par->color_trc;
  spec.space = par->color_space;
  spec.chroma_location = par->chroma_location;
  spec.field_order = par->field_order;
  return spec;
}

VideoOutput::VideoOutput(const std::string& path, const VideoSpec& spec, const EncoderOptions& options,
                         const VideoInput* input)
    : path_(IsStandardStream(path) ? "standard output" : path),
      temp_path_(IsStandardStream(path) ? "pipe:1" : TemporaryNameFor(path)),
      standard_output_(IsStandardStream(path)),
      through_temporary_(!standard_output_) {
  // A constructor that throws gets no destructor: release what was made and remove the temporary.
  try {
    Setup(spec, options, input);
  } catch (...) {
    Release();
    throw;
  }
}

void VideoOutput::Setup(const VideoSpec& spec, const EncoderOptions& options, const VideoInput* input) {
  const std::string& path = path_;
  const AVOutputFormat* container = nullptr;
  if (!options.format.empty()) {
    container = av_guess_format(options.format.c_str(), nullptr, nullptr);
    if (!container) throw CliError(fmt::format("unknown container format '{}'", options.format));
  } else if (standard_output_) {
    throw CliError("writing to standard output needs --format to name the container (e.g. mpegts or matroska)");
  } else {
    container = av_guess_format(nullptr, path.c_str(), nullptr);
    if (!container)
      throw CliError(fmt::format("{}: cannot tell the container from the file name (use .mp4, .mkv, .mov, ...)", path));
  }
  // The null container writes nothing; it measures everything up to the muxer.
  if (container->flags & AVFMT_NOFILE) {
    through_temporary_ = false;
    temp_path_ = path;
  }
  if (avformat_alloc_output_context2(&format_, container, nullptr, temp_path_.c_str()) < 0 || !format_)
    throw CliError("out of memory");

  const AVCodec* codec = ChooseEncoder(container, options.codec, path);
  AVPixelFormat format = ChoosePixelFormat(codec, spec.pixel_format);
  int status = OpenEncoder(codec, spec, format, container, options);
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
  if (status < 0 && d && (spec.width & 1 || spec.height & 1) && (d->log2_chroma_w || d->log2_chroma_h)) {
    // Most encoders cannot subsample an odd size; the 4:4:4 form of the same depth keeps every pixel.
    format = ChoosePixelFormat(codec, d->comp[0].depth > 8 ? AV_PIX_FMT_YUV444P10LE : AV_PIX_FMT_YUV444P);
    status = OpenEncoder(codec, spec, format, container, options);
  }
  if (status < 0)
    throw CliError(fmt::format("{}: cannot start the {} encoder: {}", path, codec->name, AvErrorText(status)));

  if (!input) {
    video_out_ = avformat_new_stream(format_, nullptr);
    if (!video_out_ || avcodec_parameters_from_context(video_out_->codecpar, encoder_.get()) < 0)
      throw CliError("out of memory");
    video_out_->time_base = encoder_->time_base;
    video_out_->avg_frame_rate = encoder_->framerate;
  } else {
    CopyStreams(*input, container);
  }
  Open(container);
}

int VideoOutput::OpenEncoder(const AVCodec* codec, const VideoSpec& spec, AVPixelFormat format,
                             const AVOutputFormat* container, const EncoderOptions& options) {
  encoder_.reset(avcodec_alloc_context3(codec));
  if (!encoder_) throw CliError("out of memory");
  AVCodecContext* e = encoder_.get();
  e->width = spec.width;
  e->height = spec.height;
  e->pix_fmt = format;
  e->time_base = spec.time_base;
  if (spec.frame_rate.num > 0 && spec.frame_rate.den > 0) e->framerate = spec.frame_rate;
  e->sample_aspect_ratio = spec.sample_aspect;
  e->color_range = spec.range;
  e->color_primaries = spec.primaries;
  e->color_trc = spec.transfer;
  e->colorspace = spec.space;
  e->chroma_sample_location = spec.chroma_location;
  e->field_order = spec.field_order;
  // Interlaced pictures are coded with field-aware transforms and motion search where the encoder has
  // them (x264, MPEG-2, MPEG-4); the others store the field order only.
  fields_ = FromAvFieldOrder(spec.field_order);
  if (IsInterlaced(fields_)) e->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
  e->thread_count = 0;
  if (container->flags & AVFMT_GLOBALHEADER) e->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  AVDictionary* opts = nullptr;
  if (av_opt_find(e->priv_data, "crf", nullptr, 0, 0)) av_dict_set_int(&opts, "crf", options.crf, 0);
  if (av_opt_find(e->priv_data, "preset", nullptr, 0, 0)) av_dict_set(&opts, "preset", options.preset.c_str(), 0);
  // x264 starts top field first and follows each frame's flags, but its stream header keeps the start
  // order, which is what readers of MP4 take for the stream's field order.
  if (IsInterlaced(fields_) && av_opt_find(e->priv_data, "x264-params", nullptr, 0, 0))
    av_dict_set(&opts, "x264-params", fields_ == FieldOrder::kTopFirst ? "tff=1" : "bff=1", 0);
  const int status = avcodec_open2(e, codec, &opts);
  av_dict_free(&opts);
  return status;
}

void VideoOutput::CopyStreams(const VideoInput& input, const AVOutputFormat* container) {
  // Streams in input order: the video re-encoded, everything the container can hold copied.
  AVFormatContext* in = input.format();
  map_.assign(in->nb_streams, -1);
  input_tb_.resize(in->nb_streams);
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    const AVStream* is = in->streams[i];
    input_tb_[i] = is->time_base;
    const bool is_video = int(i) == input.video_index();
    if (!is_video && !Carryable(container, is->codecpar)) {
      dropped_.push_back(fmt::format("stream #{} ({} {})", i, av_get_media_type_string(is->codecpar->codec_type),
                                     avcodec_get_name(is->codecpar->codec_id)));
      continue;
    }
    AVStream* os = avformat_new_stream(format_, nullptr);
    if (!os) throw CliError("out of memory");
    map_[i] = os->index;
    if (is_video) {
      video_out_ = os;
      if (avcodec_parameters_from_context(os->codecpar, encoder_.get()) < 0) throw CliError("out of memory");
      os->time_base = encoder_->time_base;
      os->avg_frame_rate = is->avg_frame_rate;
      os->r_frame_rate = is->r_frame_rate;
      os->sample_aspect_ratio = is->sample_aspect_ratio;
    } else {
      if (avcodec_parameters_copy(os->codecpar, is->codecpar) < 0) throw CliError("out of memory");
      os->codecpar->codec_tag = 0;  // let the muxer pick the tag its container uses
      os->time_base = is->time_base;
    }
    os->disposition = is->disposition;
    av_dict_copy(&os->metadata, is->metadata, 0);
    // Side data carries the display matrix (rotation), stereo and mastering metadata.
    for (int k = 0; k < is->nb_side_data; ++k) {
      const AVPacketSideData& sd = is->side_data[k];
      uint8_t* copy = av_stream_new_side_data(os, sd.type, sd.size);
      if (!copy) throw CliError("out of memory");
      std::memcpy(copy, sd.data, sd.size);
    }
  }
  av_dict_copy(&format_->metadata, in->metadata, 0);
  av_dict_set(&format_->metadata, "encoder", nullptr, 0);
  CopyChapters(*in);
}

void VideoOutput::CopyChapters(const AVFormatContext& in) {
  if (in.nb_chapters == 0) return;
  auto** chapters = static_cast<AVChapter**>(av_calloc(in.nb_chapters, sizeof(AVChapter*)));
  if (!chapters) throw CliError("out of memory");
  format_->chapters = chapters;
  for (unsigned i = 0; i < in.nb_chapters; ++i) {
    const AVChapter* from = in.chapters[i];
    auto* to = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
    if (!to) throw CliError("out of memory");
    format_->chapters[format_->nb_chapters++] = to;  // owned (and freed) by the output context from here
    to->id = from->id;
    to->time_base = from->time_base;
    to->start = from->start;
    to->end = from->end;
    av_dict_copy(&to->metadata, from->metadata, 0);
  }
}

void VideoOutput::Open(const AVOutputFormat* container) {
  if (!(container->flags & AVFMT_NOFILE)) {
    const int s = avio_open(&format_->pb, temp_path_.c_str(), AVIO_FLAG_WRITE);
    if (s < 0) throw CliError(fmt::format("cannot create {}: {}", path_, AvErrorText(s)));
  }
  opened_ = true;
  AVDictionary* options = nullptr;
  if (standard_output_) {
    // A stream is read while it is written: every packet goes out at once, and MP4 / MOV, which
    // would seek back to write their index, write self-contained fragments instead.
    av_dict_set(&options, "flush_packets", "1", 0);
    if (av_opt_find(format_->priv_data, "movflags", nullptr, 0, 0))
      av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
  }
  const int s = avformat_write_header(format_, &options);
  av_dict_free(&options);
  if (s < 0) Fail(s);

  packet_ = NewPacket();
}

VideoOutput::~VideoOutput() { Release(); }

void VideoOutput::Release() {
  if (format_) {
    if (opened_ && format_->pb && !(format_->oformat->flags & AVFMT_NOFILE)) avio_closep(&format_->pb);
    avformat_free_context(format_);
    format_ = nullptr;
  }
  if (!finished_ && through_temporary_) {
    std::error_code ignored;
    fs::remove(temp_path_, ignored);
  }
}

AVFrame* VideoOutput::WritableFrame() {
  // A held frame is not copied to make it writable (the caller overwrites every pixel): another
  // frame is taken instead.
  for (FramePtr& f : frames_)
    if (av_frame_is_writable(f.get())) return f.get();
  FramePtr frame = NewFrame();
  frame->format = encoder_->pix_fmt;
  frame->width = encoder_->width;
  frame->height = encoder_->height;
  if (av_frame_get_buffer(frame.get(), 0) < 0) throw CliError("out of memory");
  frames_.push_back(std::move(frame));
  return frames_.back().get();
}

void VideoOutput::Fail(int status) {
  if (status == AVERROR(EPIPE)) throw OutputClosed(fmt::format("{} was closed by its reader", path_));
  throw CliError(fmt::format("cannot write {}: {}", path_, AvErrorText(status)));
}

void VideoOutput::Write(AVPacket* packet) {
  const int status = av_interleaved_write_frame(format_, packet);
  if (format_->pb && format_->pb->error < 0) Fail(format_->pb->error);
  if (status < 0) Fail(status);
}

void VideoOutput::Drain(bool flush) {
  for (;;) {
    const int status = avcodec_receive_packet(encoder_.get(), packet_.get());
    if (status == AVERROR(EAGAIN) || (flush && status == AVERROR_EOF)) return;
    if (status < 0) throw CliError(fmt::format("{}: encoding failed: {}", path_, AvErrorText(status)));
    packet_->stream_index = video_out_->index;
    av_packet_rescale_ts(packet_.get(), encoder_->time_base, video_out_->time_base);
    Write(packet_.get());
  }
}

void VideoOutput::WriteFrame(AVFrame* frame) {
  ThrowIfInterrupted();
  const auto start = std::chrono::steady_clock::now();
  // Decoders may repeat or omit timestamps; encoders need them strictly increasing.
  if (frame->pts == AV_NOPTS_VALUE || (last_pts_ != AV_NOPTS_VALUE && frame->pts <= last_pts_))
    frame->pts = last_pts_ == AV_NOPTS_VALUE ? 0 : last_pts_ + 1;
  last_pts_ = frame->pts;
  frame->pict_type = AV_PICTURE_TYPE_NONE;
  MarkFrame(*frame, fields_);
  const int status = avcodec_send_frame(encoder_.get(), frame);
  if (status < 0) throw CliError(fmt::format("{}: encoding failed: {}", path_, AvErrorText(status)));
  Drain(false);
  encode_seconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void VideoOutput::CopyPacket(AVPacket* packet) {
  const int in = packet->stream_index;
  if (in < 0 || in >= int(map_.size()) || map_[in] < 0) return;
  AVStream* os = format_->streams[map_[in]];
  av_packet_rescale_ts(packet, input_tb_[in], os->time_base);
  packet->stream_index = os->index;
  packet->pos = -1;
  Write(packet);
}

void VideoOutput::AllowLead(double seconds) {
  format_->max_interleave_delta = int64_t((seconds + 10) * AV_TIME_BASE);
}

void VideoOutput::Finish() {
  const auto start = std::chrono::steady_clock::now();
  avcodec_send_frame(encoder_.get(), nullptr);
  Drain(true);
  int status = av_write_trailer(format_);
  if (format_->pb && format_->pb->error < 0) Fail(format_->pb->error);
  if (status < 0) Fail(status);
  if (format_->pb && !(format_->oformat->flags & AVFMT_NOFILE)) {
    avio_flush(format_->pb);
    const int err = format_->pb->error;
    status = avio_closep(&format_->pb);
    if (err < 0 || status < 0) Fail(err < 0 ? err : status);
  }
  // Standard output is written as it goes: it has no temporary to rename (nor to remove on an
  // error), so a failed run leaves whatever the reader already took.
  std::error_code ec;
  if (through_temporary_) fs::rename(temp_path_, path_, ec);
  if (ec) throw CliError(fmt::format("cannot move the finished file to {}: {}", path_, ec.message()));
  finished_ = true;
  encode_seconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace vendrix::cli
