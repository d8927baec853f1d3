// numpy frames as the library reads and renders them.
//
// Frames come as OpenCV hands them: uint8 or uint16, H x W grey, H x W x 3 BGR or H x W x 4 BGRA.
// Three of the six map onto a library layout byte for byte and are passed without copying when their
// strides allow it (pixels packed in a row, rows a whole number of pixels apart):
//   uint8 BGR -> BGR8      uint8 BGRA -> BGRA8      uint16 BGRA -> BGRA16
// The others are copied into a layout the library has and back, never handed over under a code whose
// layout differs:
//   uint8 grey  -> the luma plane of a YUV420P image with neutral chroma (luma is rendered alone)
//   uint16 grey -> BGRA16 with the grey in B, G and R and an opaque alpha; read back from B
//   uint16 BGR  -> BGRA16 with an opaque alpha
// Frames with other strides (a slice, a channel-reversed view) take the copying road too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include <pybind11/numpy.h>

#include "vendrix/vendrix.h"

namespace vendrix::python {

// What a frame array is, checked against the size its stabilizer was made for.
struct FrameKind {
  int width = 0, height = 0;
  int channels = 0;   // 1, 3 or 4
  bool deep = false;  // uint16 rather than uint8
  uint32_t format = 0;  // VENDRIX_PIXFMT_* the library works in for this kind
  bool native = false;  // the array's own layout is `format`'s

  int item() const { return deep ? 2 : 1; }
};

// Throws pybind11::value_error unless a stabilizer can take width x height frames (16..16384 each).
void CheckSize(int width, int height);

// Throws pybind11::type_error for a dtype other than uint8 / uint16 and value_error for a shape other
// than H x W, H x W x 3, H x W x 4 or a size other than width x height.
FrameKind CheckFrame(const pybind11::array& frame, int width, int height);

// An image as the library addresses it. `pitch` may be negative (bottom-up rows).
struct LibraryView {
  uint32_t format = 0;
  int32_t pitch = 0;
  uint8_t* data = nullptr;
};

// The array's own memory as a library image; a null `data` when the kind is not native or the strides
// do not allow it. The array must outlive every use of the view.
LibraryView ViewOf(const pybind11::array& frame, const FrameKind& kind);

// Where a numpy frame's pixels lie: element (y, x, c) at data + y * row + x * column + c * channel.
struct Strided {
  uint8_t* data;
  ptrdiff_t row, column, channel;
};
Strided StridedOf(const pybind11::array& frame);

// One frame in its library layout, owned: a single block of rows `pitch` bytes apart (for YUV420P the
// chroma planes follow the luma rows inside the block, half as wide and half as high).
class LibraryImage {
 public:
  explicit LibraryImage(const FrameKind& kind);

  void CopyFrom(const Strided& frame);  // the frame's pixels into the block (converted as above)
  void CopyTo(const Strided& frame) const;  // and back
  LibraryView view() { return {kind_.format, pitch_, block_.get()}; }

 private:
  FrameKind kind_;
  int32_t pitch_ = 0;
  std::unique_ptr<uint8_t[]> block_;
};

}  // namespace vendrix::python
