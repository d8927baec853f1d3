#include "library_image.h"

#include <cstring>

#include <fmt/format.h>

#include "cli_error.h"
#include "fields.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace vendrix::cli {

namespace {

constexpr int kRowAlign = 64;

int AlignUp(int v, int a) { return (v + a - 1) / a * a; }

bool Is8BitPlanar420(AVPixelFormat f) { return f == AV_PIX_FMT_YUV420P || f == AV_PIX_FMT_YUVJ420P; }

// Formats whose first plane is 8-bit luma, one byte per pixel: the analyser reads it in place.
bool HasByteLuma(AVPixelFormat f) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(f);
  if (!d || (d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM))) return false;
  if (d->nb_components < 1 || d->comp[0].depth != 8 || d->comp[0].plane != 0 || d->comp[0].step != 1) return false;
  return (d->flags & AV_PIX_FMT_FLAG_PLANAR) || d->nb_components == 1 || f == AV_PIX_FMT_NV12 || f == AV_PIX_FMT_NV21;
}

}  // namespace

RenderLayout ChooseRenderLayout(AVPixelFormat decoded, bool fields) {
  if (fields && (Is8BitPlanar420(decoded) || decoded == AV_PIX_FMT_NV12))
    return {VENDRIX_PIXFMT_YUYV8, AV_PIX_FMT_NONE, AV_PIX_FMT_YUYV422};
  if (Is8BitPlanar420(decoded)) return {VENDRIX_PIXFMT_YUV420P, decoded, AV_PIX_FMT_NONE};
  if (decoded == AV_PIX_FMT_NV12) return {VENDRIX_PIXFMT_NV12, AV_PIX_FMT_NV12, AV_PIX_FMT_NONE};
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(decoded);
  if (!d) throw CliError("the video has an unknown pixel format");
  const bool rgb = (d->flags & AV_PIX_FMT_FLAG_RGB) || (d->flags & AV_PIX_FMT_FLAG_PAL);
  const bool deep = d->comp[0].depth > 8;
  if (rgb) return deep ? RenderLayout{VENDRIX_PIXFMT_BGRA16, AV_PIX_FMT_NONE, AV_PIX_FMT_BGRA64LE}
                       : RenderLayout{VENDRIX_PIXFMT_BGRA8, AV_PIX_FMT_NONE, AV_PIX_FMT_BGRA};
  // Deep or not 4:2:0: 16-bit AYUV keeps every bit and every chroma sample.
  return {VENDRIX_PIXFMT_AYUV16, AV_PIX_FMT_NONE, AV_PIX_FMT_AYUV64LE};
}

LibraryImage::LibraryImage(const RenderLayout& layout, int width, int height)
    : layout_(layout), width_(width), height_(height) {
  size_t bytes = 0;
  switch (layout.code) {
    case VENDRIX_PIXFMT_YUV420P:
      // Chroma rows are pitch / 2 wide and must hold (width + 1) / 2 samples.
      pitch_ = AlignUp(width + 1, kRowAlign);
      bytes = size_t(pitch_) * height + 2 * size_t(pitch_ / 2) * ((height + 1) / 2);
      break;
    case VENDRIX_PIXFMT_NV12:
      pitch_ = AlignUp(width + 1, kRowAlign);
      bytes = size_t(pitch_) * (height + (height + 1) / 2);
      break;
    case VENDRIX_PIXFMT_YUYV8:  // pixel pairs of 4 bytes; an odd last pixel has a whole pair
      pitch_ = AlignUp((width + 1) / 2 * 4, kRowAlign);
      bytes = size_t(pitch_) * height;
      break;
    case VENDRIX_PIXFMT_BGRA8:
      pitch_ = AlignUp(width * 4, kRowAlign);
      bytes = size_t(pitch_) * height;
      break;
    default:  // 8 bytes per pixel: AYUV16, BGRA16
      pitch_ = AlignUp(width * 8, kRowAlign);
      bytes = size_t(pitch_) * height;
      break;
  }
  block_ = av_buffer_allocz(bytes + kRowAlign);
  if (!block_) throw CliError("out of memory");
}

LibraryImage::~LibraryImage() { av_buffer_unref(&block_); }

void LibraryImage::RefAsFrame(AVFrame& frame) const {
  av_frame_unref(&frame);
  frame.buf[0] = av_buffer_ref(block_);
  if (!frame.buf[0]) throw CliError("out of memory");
  Planes(frame.data, frame.linesize);
  frame.format = av_format();
  frame.width = width_;
  frame.height = height_;
}

void LibraryImage::Planes(uint8_t* planes[4], int strides[4]) const {
  uint8_t* base = block_->data;
  for (int i = 0; i < 4; ++i) planes[i] = nullptr, strides[i] = 0;
  planes[0] = base;
  strides[0] = pitch_;
  if (layout_.code == VENDRIX_PIXFMT_YUV420P) {
    planes[1] = base + size_t(pitch_) * height_;
    planes[2] = planes[1] + size_t(pitch_ / 2) * ((height_ + 1) / 2);
    strides[1] = strides[2] = pitch_ / 2;
  } else if (layout_.code == VENDRIX_PIXFMT_NV12) {
    planes[1] = base + size_t(pitch_) * height_;
    strides[1] = pitch_;
  }
}

SwsContext* FrameConverter::Context(SwsPtr& slot, int w, int h, AVPixelFormat from, AVPixelFormat to, int flags) {
  // Same-size repacking: point sampling keeps 4:2:0 -> 4:4:4 -> 4:2:0 lossless where nothing moved.
  slot.reset(sws_getCachedContext(slot.release(), w, h, from, w, h, to, flags, nullptr, nullptr, nullptr));
  if (!slot)
    throw CliError(fmt::format("cannot convert pixel format {} to {}", av_get_pix_fmt_name(from), av_get_pix_fmt_name(to)));
  return slot.get();
}

void FrameConverter::ToLibrary(const AVFrame& frame, LibraryImage& image, bool fields) {
  uint8_t* planes[4];
  int strides[4];
  image.Planes(planes, strides);
  const auto fmt = static_cast<AVPixelFormat>(frame.format);
  if (fmt == image.av_format()) {
    av_image_copy(planes, strides, const_cast<const uint8_t**>(frame.data), frame.linesize, fmt, image.width(), image.height());
    return;
  }
  const int rows = fields ? image.height() / 2 : image.height();
  SwsContext* sws = Context(to_library_, image.width(), rows, fmt, image.av_format(), SWS_POINT | SWS_ACCURATE_RND);
  if (fields)
    ScaleFields(sws, frame.data, frame.linesize, planes, strides, image.height());
  else
    sws_scale(sws, frame.data, frame.linesize, 0, image.height(), planes, strides);
}

void FrameConverter::FromLibrary(const LibraryImage& image, AVFrame& frame, bool fields) {
  uint8_t* planes[4];
  int strides[4];
  image.Planes(planes, strides);
  const auto fmt = static_cast<AVPixelFormat>(frame.format);
  if (fmt == image.av_format()) {
    av_image_copy(frame.data, frame.linesize, const_cast<const uint8_t**>(planes), strides, fmt, image.width(), image.height());
    return;
  }
  const int rows = fields ? image.height() / 2 : image.height();
  SwsContext* sws = Context(from_library_, image.width(), rows, image.av_format(), fmt, SWS_POINT | SWS_ACCURATE_RND);
  if (fields)
    ScaleFields(sws, planes, strides, frame.data, frame.linesize, image.height());
  else
    sws_scale(sws, planes, strides, 0, image.height(), frame.data, frame.linesize);
}

const uint8_t* FrameConverter::Luma(const AVFrame& frame, int& pitch) {
  const auto fmt = static_cast<AVPixelFormat>(frame.format);
  if (HasByteLuma(fmt) && frame.linesize[0] > 0) {
    pitch = frame.linesize[0];
    return frame.data[0];
  }
  if (!grey_ || grey_rows_ != frame.height || grey_pitch_ < frame.width) {
    grey_pitch_ = AlignUp(frame.width, kRowAlign);
    grey_rows_ = frame.height;
    // Room for a described 4:2:0 block behind the rows, which the analyser never reads but may expect.
    grey_.reset(new uint8_t[size_t(grey_pitch_) * grey_rows_ * 2]());
  }
  SwsContext* sws = Context(to_grey_, frame.width, frame.height, fmt, AV_PIX_FMT_GRAY8, SWS_POINT);
  uint8_t* planes[4] = {grey_.get(), nullptr, nullptr, nullptr};
  int strides[4] = {grey_pitch_, 0, 0, 0};
  sws_scale(sws, frame.data, frame.linesize, 0, frame.height, planes, strides);
  pitch = grey_pitch_;
  return grey_.get();
}

TexMapDefA WholeFrameDefinition(uint32_t format, int width, int height, const void* source, int source_pitch,
                                void* target, int target_pitch) {
  TexMapDefA def{};
  def.version = VENDRIX_TEXMAP_A_VERSION;
  def.pixelFormat = format;
  def.srcRect = {0, 0, width * VENDRIX_FX_ONE, height * VENDRIX_FX_ONE};
  def.srcPitch = source_pitch;
  def.srcRows = height;
  def.srcBuffer = source;
  def.outRect = def.srcRect;
  def.outPitch = target_pitch;
  def.outRows = height;
  def.outBuffer = target;
  return def;
}

}  // namespace vendrix::cli
