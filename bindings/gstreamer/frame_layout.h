// How GStreamer raw video maps onto the images the library reads and draws.
//
//   I420, NV12     -> YUV420P, NV12: the buffer itself when its planes already lie as the library
//                     expects (luma rows, then the chroma rows in the same block at the pitch the
//                     library derives), else copied into one contiguous block
//   YUY2           -> YUYV8, BGRx / BGRA -> BGRA8: the buffer itself, unless its rows are not a multiple of
//                     4 bytes apart (then copied: the library steps rows by whole pixels or pixel pairs)
//   I420_10LE      -> AYUV16: widened to 16 bits per channel and back, no bit lost; so is interlaced
//                     8-bit 4:2:0, whose chroma rows alternate between the fields as the renderer's
//                     4:2:0 field drawing does not expect
// The analyser reads 8-bit luma only: the Y plane of 8-bit 4:2:0 in place, a reduced copy for 10 bits,
// the packed formats as they are.
#pragma once

#include <cstdint>
#include <memory>

#include <gst/video/video.h>

namespace vendrix::gst {

// The raw formats the element takes, as GStreamer names them (for caps and messages).
inline constexpr const char* kFormatNames = "I420, NV12, YUY2, BGRx, BGRA, I420_10LE";

// Whether the element takes this format.
bool IsSupportedFormat(GstVideoFormat format);

// One image as the library addresses it: format code, first byte of row 0 and row pitch in bytes.
struct LibraryImage {
  uint32_t code = 0;
  int32_t pitch = 0;
  uint8_t* data = nullptr;
};

// Maps the frames of one negotiated format; keeps the blocks frames are copied into between calls.
class FrameLayout {
 public:
  explicit FrameLayout(const GstVideoInfo& info);

  // The image the analyser reads for `frame` (valid until the next call).
  LibraryImage Analysis(const GstVideoFrame& frame);
  // `frame` as the renderer's source (valid until the next call).
  LibraryImage Source(const GstVideoFrame& frame);
  // Where the renderer draws `frame`; Store(frame) must follow the drawing.
  LibraryImage Target(const GstVideoFrame& frame);
  void Store(GstVideoFrame& frame);

 private:
  bool InPlace(const GstVideoFrame& frame) const;
  void MakeBlocks();
  int PackedRowBytes() const;  // bytes of one row of a packed format
  void ToBlock(const GstVideoFrame& frame, uint8_t* block);
  int ChromaRow(int y) const;
  uint32_t Sample(const GstVideoFrame& f, int c, int y, int x) const;
  void SetSample(GstVideoFrame& f, int c, int y, int x, uint32_t v) const;
  uint16_t Widen(uint32_t v) const;
  uint32_t Narrow(uint16_t v) const;

  GstVideoFormat format_;
  int width_, height_;
  bool fields_;  // interlaced
  bool deep_;    // 10-bit samples
  uint32_t code_;
  int32_t block_pitch_ = 0;
  std::unique_ptr<uint8_t[]> source_, target_, luma_;
  bool target_in_block_ = false;
};

}  // namespace vendrix::gst
