// Frames as the library reads and renders them, and the conversions between them and FFmpeg frames.
//
// Each decoded pixel format is rendered in a layout the library draws natively, chosen so that no
// precision is lost and 8-bit 4:2:0 video (almost all video) takes no colour conversion at all:
//   8-bit 4:2:0 planar -> YUV420P (planes copied into one block)   NV12 -> NV12
//   other YUV / grey   -> AYUV16 (16 bits per channel)              RGB  -> BGRA8, or BGRA16 above 8 bits
// Interlaced frames are rendered one field at a time, and in 4:2:0 a chroma row belongs to one field:
// 8-bit 4:2:0 interlaced video is rendered as YUYV8 (packed 4:2:2, every row its own chroma), and every
// conversion of an interlaced frame converts its two fields apart, so no chroma crosses between fields.
// The analysis only needs 8-bit luma: the Y plane itself where the frame has one, else a grey copy.
#pragma once

#include <cstdint>
#include <memory>

#include "ffmpeg_util.h"
#include "vendrix/vendrix.h"

namespace vendrix::cli {

struct RenderLayout {
  uint32_t code;            // VENDRIX_PIXFMT_* the library works in
  AVPixelFormat planar;     // the FFmpeg format whose planes the block holds as they are (4:2:0 layouts)
  AVPixelFormat packed;     // otherwise the packed FFmpeg format swscale converts to and from
};

// `fields`: the frames are interlaced and rendered by field.
RenderLayout ChooseRenderLayout(AVPixelFormat decoded, bool fields = false);

// One image in a library layout: a single block, rows `pitch` bytes apart; for the 4:2:0 layouts the
// chroma planes follow the luma rows inside the same block. The block is a reference-counted FFmpeg
// buffer, so that an encoder can take the image as its input frame without a copy.
class LibraryImage {
 public:
  LibraryImage(const RenderLayout& layout, int width, int height);
  ~LibraryImage();
  LibraryImage(const LibraryImage&) = delete;
  LibraryImage& operator=(const LibraryImage&) = delete;

  uint8_t* data() { return block_->data; }
  const uint8_t* data() const { return block_->data; }
  int pitch() const { return pitch_; }
  size_t bytes() const { return block_->size; }  // of the whole block, every plane included
  int width() const { return width_; }
  int height() const { return height_; }
  uint32_t code() const { return layout_.code; }

  // Plane pointers and strides as FFmpeg describes this block.
  void Planes(uint8_t* planes[4], int strides[4]) const;
  AVPixelFormat av_format() const { return layout_.planar != AV_PIX_FMT_NONE ? layout_.planar : layout_.packed; }

  // False while a frame made by RefAsFrame is still held (by an encoder): the pixels must not change.
  bool writable() const { return av_buffer_is_writable(block_) != 0; }
  // Makes `frame` (emptied first) a reference to this image, as a frame of av_format().
  void RefAsFrame(AVFrame& frame) const;

 private:
  RenderLayout layout_;
  int width_, height_, pitch_;
  AVBufferRef* block_ = nullptr;
};

// A definition of the warp of a whole width x height image at `source` into one at `target`, both in
// library layout `format` with rows `*_pitch` bytes apart; the correction is for a Def* call to fill.
TexMapDefA WholeFrameDefinition(uint32_t format, int width, int height, const void* source, int source_pitch,
                                void* target, int target_pitch);

// Converts decoded frames into a LibraryImage and rendered LibraryImages into encoder frames, reusing
// one swscale context per direction.
class FrameConverter {
 public:
  // Decoded frame -> library image of the same size. `fields`: the frame is interlaced (its height even)
  // and each field is converted on its own.
  void ToLibrary(const AVFrame& frame, LibraryImage& image, bool fields = false);
  // Library image -> `frame`, whose format, width and height are already set and whose buffers exist.
  void FromLibrary(const LibraryImage& image, AVFrame& frame, bool fields = false);
  // The 8-bit luma the analyser reads: the frame's own Y plane where it has one, else a grey copy kept
  // in this converter. Returns the first row and sets `pitch`.
  const uint8_t* Luma(const AVFrame& frame, int& pitch);

 private:
  SwsContext* Context(SwsPtr& slot, int w, int h, AVPixelFormat from, AVPixelFormat to, int flags);
  SwsPtr to_library_, from_library_, to_grey_;
  std::unique_ptr<uint8_t[]> grey_;
  int grey_pitch_ = 0, grey_rows_ = 0;
};

}  // namespace vendrix::cli
