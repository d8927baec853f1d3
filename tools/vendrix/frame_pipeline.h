// Pieces the offline and the real-time road share between decoding a frame and encoding it: the size
// check, opening the writer for an input, and the frame renderer.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "band_mesh.h"
#include "fields.h"
#include "library_image.h"
#include "progress.h"
#include "video_input.h"
#include "video_output.h"

namespace vendrix::cli {

// Throws CliError when `frame` is not width x height (a size change mid-stream).
void CheckSameSize(const AVFrame& frame, int width, int height, const std::string& in);

// The writer of `out` for the video of `input` and its other streams; names the streams the container
// cannot hold as warnings. The video is written progressive, or interlaced in `fields` order. Throws
// CliError when `out` is the input file itself.
std::unique_ptr<VideoOutput> OpenOutput(const VideoInput& input, const std::string& out, const EncoderOptions& encoder,
                                        Progress& progress, FieldOrder fields = FieldOrder::kProgressive);

// Warps decoded frames into the writer's frames: the frame is copied into the library layout its pixel
// format renders in, the library draws it by the definition the caller completes, and the result is
// converted into the encoder's format with the decoded frame's timestamp. Interlaced frames (`fields`
// not progressive) are drawn field by field, each field with its own correction. Where the encoder
// takes the layout's own format (8-bit 4:2:0, the common case), the library draws straight into the
// frame the encoder reads, and no conversion or copy follows.
class FrameRenderer {
 public:
  FrameRenderer(int width, int height, FieldOrder fields = FieldOrder::kProgressive)
      : width_(width), height_(height), fields_(fields) {}

  // Completes the definition of one frame, or of its field `field` (0: the first in time; 0 for a
  // progressive frame) whose field flags are already set; false when there is no correction for it
  // (the frame is then written as it came). It may give the entry's rolling-shutter band pairs in
  // `bands`; the frame is then drawn through the band mesh.
  using Define = std::function<bool(TexMapDefA& def, int field, BandRows& bands)>;
  // Returns the writer's frame holding the rendered `frame`, ready for VideoOutput::WriteFrame.
  AVFrame* Render(const AVFrame& frame, VideoOutput& output, const Define& define);

  // The 8-bit luma the analyser reads (see FrameConverter::Luma).
  const uint8_t* Luma(const AVFrame& frame, int& pitch) { return converter_.Luma(frame, pitch); }

 private:
  int width_, height_;
  FieldOrder fields_;
  // An image no encoder still reads, other than `a` and `b`; made when there is none.
  LibraryImage& FreeImage(const LibraryImage* a, const LibraryImage* b);

  FrameConverter converter_;
  RenderLayout layout_{};
  // Sources and targets, taken in turn from these; more than two only while the encoder keeps frames.
  std::vector<std::unique_ptr<LibraryImage>> images_;
  // The last image drawn into. The library leaves pixels outside the warped frame as they were, so
  // every render starts from the previous render's pixels, as with a single output buffer.
  LibraryImage* last_target_ = nullptr;
  bool direct_ = false;  // the encoder takes the images themselves as its frames
  FramePtr direct_frame_;
};

}  // namespace vendrix::cli
