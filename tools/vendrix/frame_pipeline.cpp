#include "frame_pipeline.h"

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

AVFrame* FrameRenderer::Render(const AVFrame& frame, VideoOutput& output, const Define& define) {
  const bool by_field = IsInterlaced(fields_);
  if (!source_) {
    const RenderLayout layout = ChooseRenderLayout(static_cast<AVPixelFormat>(frame.format), by_field);
    source_ = std::make_unique<LibraryImage>(layout, width_, height_);
    target_ = std::make_unique<LibraryImage>(layout, width_, height_);
  }
  converter_.ToLibrary(frame, *source_, by_field);
  const TexMapDefA def = WholeFrameDefinition(source_->code(), width_, height_, source_->data(), source_->pitch(),
                                              target_->data(), target_->pitch());
  // Each field is drawn from the same field of the source into its own rows of the target.
  bool corrected = true;
  for (int field = 0; field < (by_field ? 2 : 1) && corrected; ++field) {
    TexMapDefA one = def;
    one.fieldFlags = TexFieldFlags(fields_, field);
    corrected = define(one, field);
    if (corrected) TexMap(&one);
  }
  AVFrame* encoded = output.WritableFrame();
  converter_.FromLibrary(corrected ? *target_ : *source_, *encoded, by_field);
  encoded->pts = frame.best_effort_timestamp;
  encoded->pkt_duration = frame.pkt_duration;
  return encoded;
}

}  // namespace vendrix::cli
