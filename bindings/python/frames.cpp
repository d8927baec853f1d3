#include "frames.h"

#include <cstring>
#include <string>

namespace py = pybind11;

namespace vendrix::python {

namespace {

constexpr int kRowAlign = 64;
constexpr uint8_t kNeutralChroma = 128;

int32_t AlignUp(int64_t v, int a) { return int32_t((v + a - 1) / a * a); }

std::string SizeText(int w, int h) { return std::to_string(w) + "x" + std::to_string(h); }

// Bytes per pixel of the library layouts used here (YUV420P: of its luma plane).
int PixelBytes(uint32_t format) {
  switch (format) {
    case VENDRIX_PIXFMT_BGR8: return 3;
    case VENDRIX_PIXFMT_BGRA8: return 4;
    case VENDRIX_PIXFMT_BGRA16: return 8;
    default: return 1;
  }
}

// Channel c of a pixel as the library layout holds it, from a numpy pixel of `channels` channels: grey
// fills the colour channels, a missing alpha is opaque.
template <class T>
T LibraryChannel(const uint8_t* pixel, ptrdiff_t channel_stride, int channels, int c) {
  if (c == 3 && channels < 4) return T(~T{0});
  T v;
  std::memcpy(&v, pixel + (channels == 1 ? 0 : c) * channel_stride, sizeof v);
  return v;
}

template <class T>
void ToLibrary(const Strided& from, const FrameKind& k, uint8_t* block, int32_t pitch, int library_channels) {
  for (int y = 0; y < k.height; ++y) {
    T* out = reinterpret_cast<T*>(block + ptrdiff_t(y) * pitch);
    const uint8_t* in = from.data + y * from.row;
    for (int x = 0; x < k.width; ++x, in += from.column)
      for (int c = 0; c < library_channels; ++c) *out++ = LibraryChannel<T>(in, from.channel, k.channels, c);
  }
}

template <class T>
void FromLibrary(const uint8_t* block, int32_t pitch, int library_channels, const FrameKind& k, const Strided& to) {
  for (int y = 0; y < k.height; ++y) {
    const T* in = reinterpret_cast<const T*>(block + ptrdiff_t(y) * pitch);
    uint8_t* out = to.data + y * to.row;
    for (int x = 0; x < k.width; ++x, in += library_channels, out += to.column)
      for (int c = 0; c < k.channels; ++c) std::memcpy(out + c * to.channel, in + c, sizeof(T));
  }
}

}  // namespace

void CheckSize(int width, int height) {
  if (width < 16 || height < 16 || width > 16384 || height > 16384)
    throw py::value_error("width and height must be 16..16384, not " + SizeText(width, height));
}

FrameKind CheckFrame(const py::array& frame, int width, int height) {
  FrameKind k;
  if (frame.dtype().is(py::dtype::of<uint8_t>())) {
    k.deep = false;
  } else if (frame.dtype().is(py::dtype::of<uint16_t>())) {
    k.deep = true;
  } else {
    throw py::type_error("frames must be uint8 or uint16 arrays, not " + std::string(py::str(frame.dtype())));
  }
  const auto nd = frame.ndim();
  if (nd == 2) {
    k.channels = 1;
  } else if (nd == 3 && (frame.shape(2) == 3 || frame.shape(2) == 4)) {
    k.channels = int(frame.shape(2));
  } else {
    std::string shape;
    for (py::ssize_t i = 0; i < nd; ++i) shape += (i ? ", " : "") + std::to_string(frame.shape(i));
    throw py::value_error("a frame must be H x W (grey), H x W x 3 (BGR) or H x W x 4 (BGRA), not of shape (" + shape + ")");
  }
  k.height = int(frame.shape(0));
  k.width = int(frame.shape(1));
  if (frame.shape(0) != height || frame.shape(1) != width)
    throw py::value_error("the frame is " + SizeText(int(frame.shape(1)), int(frame.shape(0))) +
                          "; this stabilizer takes " + SizeText(width, height) + " frames");
  if (k.channels == 1) {
    k.format = k.deep ? VENDRIX_PIXFMT_BGRA16 : VENDRIX_PIXFMT_YUV420P;
  } else if (k.deep) {
    k.format = VENDRIX_PIXFMT_BGRA16;
    k.native = k.channels == 4;
  } else {
    k.format = k.channels == 3 ? VENDRIX_PIXFMT_BGR8 : VENDRIX_PIXFMT_BGRA8;
    k.native = true;
  }
  return k;
}

Strided StridedOf(const py::array& frame) {
  return {static_cast<uint8_t*>(const_cast<void*>(frame.data())), frame.strides(0), frame.strides(1),
          frame.ndim() == 3 ? frame.strides(2) : 0};
}

LibraryView ViewOf(const py::array& frame, const FrameKind& k) {
  if (!k.native) return {};
  const Strided s = StridedOf(frame);
  const ptrdiff_t pixel = k.channels * k.item();
  const ptrdiff_t row_bytes = pixel * k.width;
  const bool packed = s.channel == k.item() && s.column == pixel;
  const bool rows_apart = (s.row >= row_bytes || -s.row >= row_bytes) && s.row % pixel == 0 &&
                          s.row <= INT32_MAX && s.row >= -INT32_MAX;
  const bool aligned = reinterpret_cast<uintptr_t>(s.data) % uintptr_t(k.item()) == 0;
  if (!packed || !rows_apart || !aligned) return {};
  return LibraryView{k.format, int32_t(s.row), s.data};
}

LibraryImage::LibraryImage(const FrameKind& kind) : kind_(kind) {
  size_t bytes;
  if (kind.format == VENDRIX_PIXFMT_YUV420P) {
    // Chroma rows are pitch / 2 wide and must hold (width + 1) / 2 samples.
    pitch_ = AlignUp(kind.width + 1, kRowAlign);
    const size_t luma = size_t(pitch_) * size_t(kind.height);
    bytes = luma + 2 * size_t(pitch_ / 2) * size_t((kind.height + 1) / 2);
    block_.reset(new uint8_t[bytes]());
    std::memset(block_.get() + luma, kNeutralChroma, bytes - luma);
  } else {
    pitch_ = AlignUp(int64_t(kind.width) * PixelBytes(kind.format), kRowAlign);
    bytes = size_t(pitch_) * size_t(kind.height);
    block_.reset(new uint8_t[bytes]());
  }
}

void LibraryImage::CopyFrom(const Strided& frame) {
  const int channels = kind_.format == VENDRIX_PIXFMT_YUV420P ? 1 : PixelBytes(kind_.format) / kind_.item();
  if (kind_.deep)
    ToLibrary<uint16_t>(frame, kind_, block_.get(), pitch_, channels);
  else
    ToLibrary<uint8_t>(frame, kind_, block_.get(), pitch_, channels);
}

void LibraryImage::CopyTo(const Strided& frame) const {
  const int channels = kind_.format == VENDRIX_PIXFMT_YUV420P ? 1 : PixelBytes(kind_.format) / kind_.item();
  if (kind_.deep)
    FromLibrary<uint16_t>(block_.get(), pitch_, channels, kind_, frame);
  else
    FromLibrary<uint8_t>(block_.get(), pitch_, channels, kind_, frame);
}

}  // namespace vendrix::python
