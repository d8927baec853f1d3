#include "frame_layout.h"

#include <algorithm>
#include <cstring>

#include "vendrix/vendrix.h"

namespace vendrix::gst {

namespace {

constexpr int kRowAlign = 64;
constexpr uint16_t kOpaque = 0xFFFF;
constexpr int kTenToEight = 2;

int AlignUp(int v, int a) { return (v + a - 1) / a * a; }

uint32_t CodeFor(GstVideoFormat format) {
  switch (format) {
    case GST_VIDEO_FORMAT_I420: return VENDRIX_PIXFMT_YUV420P;
    case GST_VIDEO_FORMAT_NV12: return VENDRIX_PIXFMT_NV12;
    case GST_VIDEO_FORMAT_YUY2: return VENDRIX_PIXFMT_YUYV8;
    case GST_VIDEO_FORMAT_BGRx:
    case GST_VIDEO_FORMAT_BGRA: return VENDRIX_PIXFMT_BGRA8;
    case GST_VIDEO_FORMAT_I420_10LE: return VENDRIX_PIXFMT_AYUV16;
    default: return 0;
  }
}

uint8_t* Plane(const GstVideoFrame& f, int i) { return static_cast<uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&f, i)); }
int Stride(const GstVideoFrame& f, int i) { return GST_VIDEO_FRAME_PLANE_STRIDE(&f, i); }

// Copies `rows` rows of `bytes` bytes between two strided planes.
void CopyRows(const uint8_t* from, int from_pitch, uint8_t* to, int to_pitch, int bytes, int rows) {
  for (int y = 0; y < rows; ++y) std::memcpy(to + size_t(y) * to_pitch, from + size_t(y) * from_pitch, size_t(bytes));
}


}  // namespace

bool IsSupportedFormat(GstVideoFormat format) { return CodeFor(format) != 0; }

FrameLayout::FrameLayout(const GstVideoInfo& info)
    : format_(GST_VIDEO_INFO_FORMAT(&info)),
      width_(GST_VIDEO_INFO_WIDTH(&info)),
      height_(GST_VIDEO_INFO_HEIGHT(&info)),
      fields_(GST_VIDEO_INFO_IS_INTERLACED(&info)),
      deep_(format_ == GST_VIDEO_FORMAT_I420_10LE),
      code_(CodeFor(format_)) {
  // Drawing one field of a 4:2:0 image, the renderer does not take its chroma rows from where
  // GStreamer's interlaced 4:2:0 has them (alternating between the fields): such video goes the
  // packed 16-bit way, where every pixel carries its own chroma.
  if (fields_ && (code_ == VENDRIX_PIXFMT_YUV420P || code_ == VENDRIX_PIXFMT_NV12)) code_ = VENDRIX_PIXFMT_AYUV16;
  size_t bytes = 0;
  if (code_ == VENDRIX_PIXFMT_YUV420P || code_ == VENDRIX_PIXFMT_NV12) {
    // The library's chroma rows are half the pitch wide (YUV420P) and must hold (width + 1) / 2 samples.
    block_pitch_ = AlignUp(width_ + 1, kRowAlign);
    bytes = size_t(block_pitch_) * height_ + size_t(block_pitch_) * ((height_ + 1) / 2);
  } else if (code_ == VENDRIX_PIXFMT_AYUV16) {
    block_pitch_ = AlignUp(width_ * 8, kRowAlign);
    bytes = size_t(block_pitch_) * height_;
    // Room for a described 4:2:0 block behind the luma rows, which the analyser may expect.
    if (deep_) luma_.reset(new uint8_t[size_t(AlignUp(width_, kRowAlign)) * height_ * 2]());
  } else {
    // Packed formats are read and drawn in place. A buffer whose rows are not a whole number of pixels
    // apart (a foreign video meta) is copied: the library would step its rows by whole pixels.
    block_pitch_ = AlignUp(PackedRowBytes(), kRowAlign);
    return;  // the blocks are made when such a buffer first comes
  }
  source_.reset(new uint8_t[bytes]());
  target_.reset(new uint8_t[bytes]());
}

// The blocks of a packed format, made when the first buffer that cannot be drawn in place comes.
void FrameLayout::MakeBlocks() {
  if (source_) return;
  const size_t bytes = size_t(block_pitch_) * height_;
  source_.reset(new uint8_t[bytes]());
  target_.reset(new uint8_t[bytes]());
}

int FrameLayout::PackedRowBytes() const { return code_ == VENDRIX_PIXFMT_BGRA8 ? 4 * width_ : 4 * ((width_ + 1) / 2); }

bool FrameLayout::InPlace(const GstVideoFrame& f) const {
  const int s = Stride(f, 0);
  if (code_ == VENDRIX_PIXFMT_AYUV16) return false;
  if (code_ == VENDRIX_PIXFMT_BGRA8 || code_ == VENDRIX_PIXFMT_YUYV8) return s > 0 && s % 4 == 0;  // BGRA pixels and YUYV pixel pairs are 4 bytes
  if (code_ == VENDRIX_PIXFMT_NV12) return s > 0 && Plane(f, 1) == Plane(f, 0) + size_t(s) * height_ && Stride(f, 1) == s;
  if (code_ == VENDRIX_PIXFMT_YUV420P) {
    const int half = s / 2;
    return s > 0 && half >= (width_ + 1) / 2 && Stride(f, 1) == half && Stride(f, 2) == half &&
           Plane(f, 1) == Plane(f, 0) + size_t(s) * height_ && Plane(f, 2) == Plane(f, 1) + size_t(half) * ((height_ + 1) / 2);
  }
  return true;
}

void FrameLayout::ToBlock(const GstVideoFrame& f, uint8_t* block) {
  const int p = block_pitch_;
  if (code_ == VENDRIX_PIXFMT_AYUV16) {
    for (int y = 0; y < height_; ++y) {
      auto* out = reinterpret_cast<uint16_t*>(block + size_t(y) * p);
      const int c = ChromaRow(y);
      for (int x = 0; x < width_; ++x, out += 4) {
        out[0] = kOpaque;
        out[1] = Widen(Sample(f, 0, y, x));
        out[2] = Widen(Sample(f, 1, c, x / 2));
        out[3] = Widen(Sample(f, 2, c, x / 2));
      }
    }
    return;
  }
  if (code_ == VENDRIX_PIXFMT_BGRA8 || code_ == VENDRIX_PIXFMT_YUYV8) {
    CopyRows(Plane(f, 0), Stride(f, 0), block, p, PackedRowBytes(), height_);
    return;
  }
  const int chroma_rows = (height_ + 1) / 2, chroma_width = GST_VIDEO_FRAME_COMP_WIDTH(&f, 1);
  CopyRows(Plane(f, 0), Stride(f, 0), block, p, width_, height_);
  uint8_t* chroma = block + size_t(p) * height_;
  if (code_ == VENDRIX_PIXFMT_NV12) {
    CopyRows(Plane(f, 1), Stride(f, 1), chroma, p, 2 * chroma_width, chroma_rows);
  } else {
    CopyRows(Plane(f, 1), Stride(f, 1), chroma, p / 2, chroma_width, chroma_rows);
    CopyRows(Plane(f, 2), Stride(f, 2), chroma + size_t(p / 2) * chroma_rows, p / 2, chroma_width, chroma_rows);
  }
}

LibraryImage FrameLayout::Analysis(const GstVideoFrame& f) {
  // The analyser steps rows by their byte pitch, whatever it is: 8-bit frames are read in place.
  if (!deep_) return {CodeFor(format_), Stride(f, 0), Plane(f, 0)};
  const int pitch = AlignUp(width_, kRowAlign);
  for (int y = 0; y < height_; ++y) {
    const auto* luma = reinterpret_cast<const uint16_t*>(Plane(f, 0) + size_t(y) * Stride(f, 0));
    uint8_t* out = luma_.get() + size_t(y) * pitch;
    for (int x = 0; x < width_; ++x) out[x] = uint8_t(luma[x] >> kTenToEight);
  }
  return {VENDRIX_PIXFMT_YUV420P, pitch, luma_.get()};
}

// The chroma row of luma row y: every second row of a field has its own, and in interlaced video
// the chroma rows of the two fields alternate as their luma rows do.
int FrameLayout::ChromaRow(int y) const { return fields_ ? (y / 4) * 2 + y % 2 : y / 2; }

// Sample x of row y of component c (0 luma, 1 Cb, 2 Cr) of a 4:2:0 frame, and its store.
uint32_t FrameLayout::Sample(const GstVideoFrame& f, int c, int y, int x) const {
  if (format_ == GST_VIDEO_FORMAT_NV12 && c > 0) return Plane(f, 1)[size_t(y) * Stride(f, 1) + 2 * x + (c - 1)];
  const uint8_t* row = Plane(f, c) + size_t(y) * Stride(f, c);
  return deep_ ? reinterpret_cast<const uint16_t*>(row)[x] : row[x];
}
void FrameLayout::SetSample(GstVideoFrame& f, int c, int y, int x, uint32_t v) const {
  if (format_ == GST_VIDEO_FORMAT_NV12 && c > 0) {
    Plane(f, 1)[size_t(y) * Stride(f, 1) + 2 * x + (c - 1)] = uint8_t(v);
    return;
  }
  uint8_t* row = Plane(f, c) + size_t(y) * Stride(f, c);
  if (deep_)
    reinterpret_cast<uint16_t*>(row)[x] = uint16_t(v);
  else
    row[x] = uint8_t(v);
}
// 8- and 10-bit samples sit in the top bits of the 16-bit channels; the renderer's 16-bit copy may
// land a little below a widened value, so the way back rounds to the nearest sample.
uint16_t FrameLayout::Widen(uint32_t v) const { return uint16_t(v << (deep_ ? 6 : 8)); }
uint32_t FrameLayout::Narrow(uint16_t v) const {
  const int shift = deep_ ? 6 : 8;
  return std::min((uint32_t(v) + (1u << (shift - 1))) >> shift, (1u << (16 - shift)) - 1);
}

LibraryImage FrameLayout::Source(const GstVideoFrame& f) {
  if (InPlace(f)) return {code_, Stride(f, 0), Plane(f, 0)};
  MakeBlocks();
  ToBlock(f, source_.get());
  return {code_, block_pitch_, source_.get()};
}

LibraryImage FrameLayout::Target(const GstVideoFrame& f) {
  target_in_block_ = !InPlace(f);
  if (!target_in_block_) return {code_, Stride(f, 0), Plane(f, 0)};
  MakeBlocks();
  return {code_, block_pitch_, target_.get()};
}

void FrameLayout::Store(GstVideoFrame& f) {
  if (!target_in_block_) return;
  const uint8_t* block = target_.get();
  const int p = block_pitch_;
  if (code_ == VENDRIX_PIXFMT_AYUV16) {
    // Luma of every pixel; chroma from the top-left pixel of each 2 x 2 block (of the field, for
    // interlaced video), so that pixels the warp left where they were come back unchanged.
    for (int y = 0; y < height_; ++y) {
      const auto* in = reinterpret_cast<const uint16_t*>(block + size_t(y) * p);
      const int c = ChromaRow(y);
      const bool chroma_row = (fields_ ? (y / 2) % 2 : y % 2) == 0;
      for (int x = 0; x < width_; ++x) {
        SetSample(f, 0, y, x, Narrow(in[4 * x + 1]));
        if (chroma_row && x % 2 == 0) {
          SetSample(f, 1, c, x / 2, Narrow(in[4 * x + 2]));
          SetSample(f, 2, c, x / 2, Narrow(in[4 * x + 3]));
        }
      }
    }
    return;
  }
  if (code_ == VENDRIX_PIXFMT_BGRA8 || code_ == VENDRIX_PIXFMT_YUYV8) {
    CopyRows(block, p, Plane(f, 0), Stride(f, 0), PackedRowBytes(), height_);
    return;
  }
  const int chroma_rows = (height_ + 1) / 2, chroma_width = GST_VIDEO_FRAME_COMP_WIDTH(&f, 1);
  CopyRows(block, p, Plane(f, 0), Stride(f, 0), width_, height_);
  const uint8_t* chroma = block + size_t(p) * height_;
  if (code_ == VENDRIX_PIXFMT_NV12) {
    CopyRows(chroma, p, Plane(f, 1), Stride(f, 1), 2 * chroma_width, chroma_rows);
  } else {
    CopyRows(chroma, p / 2, Plane(f, 1), Stride(f, 1), chroma_width, chroma_rows);
    CopyRows(chroma + size_t(p / 2) * chroma_rows, p / 2, Plane(f, 2), Stride(f, 2), chroma_width, chroma_rows);
  }
}

}  // namespace vendrix::gst
