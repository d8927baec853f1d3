#include "frame_pipeline.h"

#include <cstring>
#include <filesystem>

#include <fmt/format.h>

#include "cli_error.h"

namespace vendrix::cli {

void CheckSameSize(const AVFrame& frame, int width, int height, const std::string& in) {
  if (frame.width != width || frame.height != height)
    throw CliError(fmt::format("{}: the picture size changes from {}x{} to {}x{} mid-stream, which is not supported", in,
                               width, height, frame.width, frame.height));
}

std::unique_ptr<VideoOutput> OpenOutput(const VideoInput& input, const std::string& out, const EncoderOptions& encoder,
                                        Progress& progress, FieldOrder fields) {
  std::error_code ec;
  if (std::filesystem::equivalent(input.path(), out, ec) && !ec)
    throw CliError(fmt::format("{}: the output would overwrite the input", out));
  VideoSpec spec = SpecOf(input);
  spec.field_order = AvFieldOrder(fields);
  auto output = std::make_unique<VideoOutput>(out, spec, encoder, &input);
  for (const std::string& d : output->dropped()) progress.Warn(fmt::format("{} cannot be stored in {}; left out", d, out));
  return output;
}

LibraryImage& FrameRenderer::FreeImage(const LibraryImage* a, const LibraryImage* b) {
  for (auto& image : images_)
    if (image.get() != a && image.get() != b && image->writable()) return *image;
  images_.push_back(std::make_unique<LibraryImage>(layout_, width_, height_));
  return *images_.back();
}

AVFrame* FrameRenderer::Render(const AVFrame& frame, VideoOutput& output, const Define& define) {
  const bool by_field = IsInterlaced(fields_);
  if (images_.empty()) {
    layout_ = ChooseRenderLayout(static_cast<AVPixelFormat>(frame.format), by_field);
    direct_ = layout_.planar != AV_PIX_FMT_NONE && output.pixel_format() == layout_.planar;
    if (direct_) direct_frame_ = NewFrame();
  }
  // The target is the last one drawn into, unless the encoder still holds it: then a free image
  // starts as a copy of it.
  LibraryImage* target = last_target_;
  if (!target || !target->writable()) {
    target = &FreeImage(last_target_, nullptr);
    if (last_target_) std::memcpy(target->data(), last_target_->data(), target->bytes());
  }
  LibraryImage& source = FreeImage(target, last_target_);
  converter_.ToLibrary(frame, source, by_field);
  const TexMapDefA def = WholeFrameDefinition(source.code(), width_, height_, source.data(), source.pitch(),
                                              target->data(), target->pitch());
  // Each field is drawn from the same field of the source into its own rows of the target.
  bool corrected = true;
  for (int field = 0; field < (by_field ? 2 : 1) && corrected; ++field) {
    TexMapDefA one = def;
    one.fieldFlags = TexFieldFlags(fields_, field);
    BandRows bands;
    corrected = define(one, field, bands);
    if (corrected) DrawFrame(one, bands);
  }
  if (corrected) last_target_ = target;
  // A frame without a correction goes out as it came.
  const LibraryImage& result = corrected ? *target : source;
  AVFrame* encoded;
  if (direct_) {
    result.RefAsFrame(*direct_frame_);
    encoded = direct_frame_.get();
  } else {
    encoded = output.WritableFrame();
    converter_.FromLibrary(result, *encoded, by_field);
  }
  encoded->pts = frame.best_effort_timestamp;
  encoded->pkt_duration = frame.pkt_duration;
  return encoded;
}

}  // namespace vendrix::cli
